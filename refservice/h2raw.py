"""HTTP/2 frames written by hand, for header blocks h2 would never send."""

HEADERS, CONTINUATION = 0x1, 0x9
END_STREAM, END_HEADERS = 0x1, 0x4

# The header bomb: one field of about 4 KiB taken into the peer's dynamic
# table, then one-byte references to it filling a header block of this size.
BOMB_BLOCK_BYTES = 256 * 1024
BOMB_VALUE_BYTES = 4096
BOMB_NAME = b"x-bomb"
NEWEST_DYNAMIC_ENTRY = b"\xbe"  # indexed field, index 62


def frame(kind, flags, stream_id, payload):
    return (len(payload).to_bytes(3, "big") + bytes((kind, flags))
            + stream_id.to_bytes(4, "big") + payload)


def header_frames(stream_id, block, max_frame, end_stream):
    """HEADERS and as many CONTINUATION frames as block needs."""
    pieces = [block[i:i + max_frame]
              for i in range(0, len(block), max_frame)] or [b""]
    frames = []
    for i, piece in enumerate(pieces):
        flags = END_HEADERS if i == len(pieces) - 1 else 0
        if i == 0:
            frames.append(frame(HEADERS, flags | (END_STREAM if end_stream
                                                  else 0), stream_id, piece))
        else:
            frames.append(frame(CONTINUATION, flags, stream_id, piece))
    return b"".join(frames)


def literal_field(name, value):
    """A header field literal without indexing: leaves both tables alone."""
    return b"\x00" + bytes((len(name),)) + name + bytes((len(value),)) + value


def header_bomb_block(encoder, status, serial):
    """A header block of BOMB_BLOCK_BYTES: ":status", one field taken into
    the peer's dynamic table, then one-byte references to it.

    The field's value is the largest the peer's table keeps (4,096 bytes by
    default, 32 of them overhead), and new to it (serial differs each time),
    so it becomes the table's newest entry, index 62, in the peer's decoder
    and in encoder alike: later answers on the connection stay in step.
    """
    size = max(1, min(BOMB_VALUE_BYTES,
                      encoder.header_table_size - 32 - len(BOMB_NAME)))
    value = (b"%d-" % serial).ljust(size, b"a")
    block = encoder.encode([(b":status", str(status).encode()),
                            (BOMB_NAME, value)], huffman=False)
    return block + NEWEST_DYNAMIC_ENTRY * (BOMB_BLOCK_BYTES - len(block))


def continuation_batch(stream_id, max_frame, frames=16):
    """CONTINUATION frames without END_HEADERS, full of valid fields."""
    field = literal_field(b"x-more", b"continued")
    payload = field * (max_frame // len(field))
    return frame(CONTINUATION, 0, stream_id, payload) * frames
