#!/usr/bin/env python3
"""Regenerate Tessaly's embedded media: resources/icon.ico and resources/mailsound.mp3.

Both files are committed; run this script again whenever the artwork or the
chime changes and commit what it writes.  Every run writes identical bytes:
there are no timestamps, no random data and no host-dependent fields.

  icon.ico       16x16, 24x24 and 32x32 RGBA images, each stored as a PNG
                 that carries exactly IHDR, iCCP, IDAT and IEND.  The artwork
                 is drawn here with anti-aliased signed-distance shapes and
                 the PNG chunks are written by hand.
  mailsound.mp3  A 256-byte ID3v2.2 tag followed by 18 MPEG-2.5 Layer III
                 frames (11,025 Hz, mono, 128 kbit/s CBR) of a two-note
                 chime.  The chime is synthesised here and encoded with
                 LAME; the frames are then re-laid into 128 kbit/s frames,
                 because LAME will not write MPEG-2.5 above 64 kbit/s.

Needs Python 3 and the `lame` command (Debian package "lame").

Usage: make-resources.py [--out-dir DIR]   (default: <repo>/resources)
"""

import argparse
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave
import zlib

# ---------------------------------------------------------------------------
# Icon
# ---------------------------------------------------------------------------

ICON_SIZES = (16, 24, 32)
ICC_PROFILE_NAME = b"ICC Profile"


def s15f16(value):
    """ICC s15Fixed16Number."""
    return struct.pack(">i", int(round(value * 65536.0)))


def icc_xyz_tag(x, y, z):
    return b"XYZ " + b"\0" * 4 + s15f16(x) + s15f16(y) + s15f16(z)


def icc_text_description(text):
    ascii_text = text.encode("ascii") + b"\0"
    return (b"desc" + b"\0" * 4
            + struct.pack(">I", len(ascii_text)) + ascii_text
            + struct.pack(">II", 0, 0)            # no Unicode description
            + struct.pack(">HB", 0, 0) + b"\0" * 67)  # no ScriptCode description


def icc_text(text):
    return b"text" + b"\0" * 4 + text.encode("ascii") + b"\0"


def icc_gamma_curve(gamma):
    # curveType with a single entry: a pure power law, gamma as u8Fixed8.
    return b"curv" + b"\0" * 4 + struct.pack(">IH", 1, int(round(gamma * 256.0)))


def build_icc_profile():
    """A small ICC v2.1 display profile: sRGB primaries (adapted to D50), gamma 2.2."""
    rtrc = icc_gamma_curve(2.2)
    tags = [
        (b"desc", icc_text_description("Tessaly sRGB-like (gamma 2.2)")),
        (b"cprt", icc_text("No copyright, use freely")),
        (b"wtpt", icc_xyz_tag(0.9642, 1.0, 0.8249)),
        (b"rXYZ", icc_xyz_tag(0.4360747, 0.2225045, 0.0139322)),
        (b"gXYZ", icc_xyz_tag(0.3850649, 0.7168786, 0.0971045)),
        (b"bXYZ", icc_xyz_tag(0.1430804, 0.0606169, 0.7141733)),
        (b"rTRC", rtrc),
        (b"gTRC", rtrc),
        (b"bTRC", rtrc),
    ]
    table_size = 4 + 12 * len(tags)
    offset = 128 + table_size
    entries = b""
    data = b""
    placed = {}  # identical tag data is stored once and shared
    for sig, payload in tags:
        if payload in placed:
            tag_offset = placed[payload]
        else:
            tag_offset = offset + len(data)
            placed[payload] = tag_offset
            data += payload
            data += b"\0" * (-len(data) % 4)  # every tag starts on a 4-byte boundary
        entries += sig + struct.pack(">II", tag_offset, len(payload))
    size = offset + len(data)

    header = b"".join([
        struct.pack(">I", size),
        b"\0" * 4,                        # preferred CMM: none
        struct.pack(">I", 0x02100000),    # version 2.1.0
        b"mntr", b"RGB ", b"XYZ ",
        struct.pack(">6H", 2024, 1, 1, 0, 0, 0),  # fixed creation date, keeps output reproducible
        b"acsp",
        b"\0" * 4,                        # primary platform: none
        struct.pack(">I", 0),             # flags
        b"\0" * 4, b"\0" * 4,             # device manufacturer, model
        b"\0" * 8,                        # device attributes
        struct.pack(">I", 0),             # rendering intent: perceptual
        s15f16(0.9642), s15f16(1.0), s15f16(0.8249),  # PCS illuminant (D50)
        b"\0" * 4,                        # creator
        b"\0" * 44,                       # profile ID + reserved
    ])
    assert len(header) == 128
    profile = header + struct.pack(">I", len(tags)) + entries + data
    assert len(profile) == size and size % 4 == 0
    return profile


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def sd_round_rect(px, py, x0, y0, x1, y1, r):
    """Signed distance from (px, py) to a rounded rectangle (negative inside)."""
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = clamp01(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def sd_polyline(px, py, points):
    return min(sd_segment(px, py, *points[i], *points[i + 1]) for i in range(len(points) - 1))


# A heartbeat trace across the screen, in unit coordinates.
PULSE = [(0.27, 0.45), (0.39, 0.45), (0.45, 0.31), (0.53, 0.58),
         (0.59, 0.45), (0.73, 0.45)]

TOP_BLUE = (0.18, 0.55, 0.75)
BOTTOM_BLUE = (0.08, 0.33, 0.58)
WHITE = (1.0, 1.0, 1.0)
SCREEN = (0.06, 0.17, 0.27)
PULSE_GREEN = (0.45, 0.95, 0.55)


def render_icon(size):
    """Return straight-alpha RGBA rows (list of bytes) for a size x size icon.

    Shapes are described in pixel units; coverage = clamp(0.5 - distance)
    gives a one-pixel anti-aliased edge at every size.
    """
    s = float(size)
    stroke = max(1.0, s / 16.0)          # monitor frame thickness in pixels
    pulse_half = max(0.55, s / 28.0)     # half thickness of the trace
    bg = (0.5, 0.5, s - 0.5, s - 0.5, s * 0.22)
    frame = (s * 0.16, s * 0.2, s * 0.84, s * 0.68, s * 0.08)
    screen = (frame[0] + stroke, frame[1] + stroke, frame[2] - stroke, frame[3] - stroke,
              max(0.0, frame[4] - stroke))
    neck = (s * 0.44, s * 0.66, s * 0.56, s * 0.77, 0.0)
    base = (s * 0.3, s * 0.76, s * 0.7, s * 0.82, s * 0.03)
    pulse = [(x * s, y * s) for x, y in PULSE]

    rows = []
    for j in range(size):
        row = bytearray()
        for i in range(size):
            px, py = i + 0.5, j + 0.5
            # Premultiplied "over" compositing, bottom layer first.
            a_bg = clamp01(0.5 - sd_round_rect(px, py, *bg))
            t = py / s
            base_col = tuple(TOP_BLUE[k] + (BOTTOM_BLUE[k] - TOP_BLUE[k]) * t for k in range(3))
            col = [c * a_bg for c in base_col]
            alpha = a_bg

            def over(colour, cov):
                nonlocal alpha
                cov *= a_bg  # everything stays inside the rounded square
                for k in range(3):
                    col[k] = colour[k] * cov + col[k] * (1.0 - cov)
                alpha = cov + alpha * (1.0 - cov)

            over(WHITE, clamp01(0.5 - sd_round_rect(px, py, *frame)))
            over(WHITE, clamp01(0.5 - min(sd_round_rect(px, py, *neck),
                                          sd_round_rect(px, py, *base))))
            over(SCREEN, clamp01(0.5 - sd_round_rect(px, py, *screen)))
            over(PULSE_GREEN, clamp01(0.5 - (sd_polyline(px, py, pulse) - pulse_half)))

            a8 = int(round(alpha * 255.0))
            if a8 == 0:
                row += b"\0\0\0\0"
            else:
                row += bytes(min(255, int(round(c / alpha * 255.0))) for c in col) + bytes([a8])
        rows.append(bytes(row))
    return rows


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))


def encode_png(size, rows, icc_profile):
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, not interlaced
    iccp = ICC_PROFILE_NAME + b"\0" + b"\0" + zlib.compress(icc_profile, 9)
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"iCCP", iccp)
            + png_chunk(b"IDAT", zlib.compress(raw, 9))
            + png_chunk(b"IEND", b""))


def build_icon():
    profile = build_icc_profile()
    pngs = [encode_png(size, render_icon(size), profile) for size in ICON_SIZES]
    header = struct.pack("<HHH", 0, 1, len(pngs))
    offset = len(header) + 16 * len(pngs)
    entries = b""
    for size, png in zip(ICON_SIZES, pngs):
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 0, 32, len(png), offset)
        offset += len(png)
    return header + entries + b"".join(pngs), pngs


# ---------------------------------------------------------------------------
# Mail chime
# ---------------------------------------------------------------------------

SAMPLE_RATE = 11025
SAMPLES_PER_FRAME = 576          # MPEG-2/2.5 Layer III: one granule of 576 samples
FRAME_COUNT = 18
TARGET_BITRATE_INDEX = 12        # 128 kbit/s in the MPEG-2/2.5 Layer III table
TARGET_KBPS = 128
LAME_KBPS = 64                   # the highest rate LAME offers for MPEG-2.5
LAME_DELAY = 576 + 529           # LAME's encoder delay, in samples
SIDE_INFO_BYTES = 9              # MPEG-2/2.5, single channel
ID3_TOTAL = 256
ID3_TEXT = b"\0" + b"tessaly-mkres 1"   # encoding byte (ISO-8859-1), then 15 characters

LSF_L3_KBPS = (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, None)


def synthesise_chime():
    """Two soft bell notes (E6 then A5, a falling fourth) as 16-bit mono PCM.

    Audio starts at sample 0 and decays to silence well before the end of
    the 18th frame, leaving room for LAME's encoder delay.
    """
    usable = FRAME_COUNT * SAMPLES_PER_FRAME - LAME_DELAY
    length = usable - 400                # keep clear of the final granule's overlap
    notes = [  # (start s, frequency Hz, peak, decay time constant s)
        (0.000, 1318.51, 0.42, 0.13),
        (0.150, 880.00, 0.48, 0.17),
    ]
    attack = 0.006
    out = bytearray()
    for n in range(length):
        t = n / SAMPLE_RATE
        v = 0.0
        for start, freq, peak, tau in notes:
            u = t - start
            if u < 0.0:
                continue
            env = peak * min(1.0, u / attack) * math.exp(-u / tau)
            # A quiet second partial and a faster-decaying third give a bell tint.
            v += env * (math.sin(2 * math.pi * freq * u)
                        + 0.22 * math.exp(-u / 0.05) * math.sin(2 * math.pi * 2 * freq * u)
                        + 0.08 * math.exp(-u / 0.03) * math.sin(2 * math.pi * 3 * freq * u))
        # Fade the last 60 ms to exact silence so nothing is cut off.
        tail = (length - n) / (0.06 * SAMPLE_RATE)
        v *= min(1.0, tail)
        out += struct.pack("<h", int(round(max(-1.0, min(1.0, v)) * 32767.0)))
    return bytes(out)


class Frame:
    def __init__(self, data):
        self.data = data
        h = struct.unpack(">I", data[:4])[0]
        self.version = (h >> 19) & 3       # 0 = MPEG-2.5
        self.layer = (h >> 17) & 3         # 1 = Layer III
        self.no_crc = (h >> 16) & 1
        self.bitrate_index = (h >> 12) & 15
        self.rate_index = (h >> 10) & 3
        self.padding = (h >> 9) & 1
        self.mode = (h >> 6) & 3           # 3 = single channel
        self.emphasis = h & 3
        self.header = h
        side = data[4:4 + SIDE_INFO_BYTES]
        bits = int.from_bytes(side, "big")
        total = SIDE_INFO_BYTES * 8
        self.main_data_begin = bits >> (total - 8)
        self.part2_3_length = (bits >> (total - 9 - 12)) & 0xFFF
        self.side_info = side


def mpeg25_frame_length(kbps, padding):
    return 72 * kbps * 1000 // SAMPLE_RATE + padding


def split_frames(stream):
    """Split LAME's output into frames, skipping any tags LAME may have added."""
    pos = 0
    if stream[:3] == b"ID3":
        size = 0
        for b in stream[6:10]:
            size = (size << 7) | (b & 0x7F)
        pos = 10 + size
    end = len(stream)
    if end - pos >= 128 and stream[end - 128:end - 125] == b"TAG":
        end -= 128
    frames = []
    while pos + 4 <= end:
        if stream[pos] != 0xFF or (stream[pos + 1] & 0xE0) != 0xE0:
            raise SystemExit("make-resources: unexpected bytes in LAME output at %d" % pos)
        h = struct.unpack(">I", stream[pos:pos + 4])[0]
        kbps = LSF_L3_KBPS[(h >> 12) & 15]
        if (h >> 19) & 3 != 0 or (h >> 17) & 3 != 1 or kbps is None or kbps == 0:
            raise SystemExit("make-resources: LAME did not write MPEG-2.5 Layer III CBR frames")
        length = mpeg25_frame_length(kbps, (h >> 9) & 1)
        frame = Frame(stream[pos:pos + length])
        body = frame.data[4 + SIDE_INFO_BYTES:]
        if not (b"Xing" in body[:40] or b"Info" in body[:40] or b"VBRI" in frame.data[:40]):
            frames.append(frame)
        pos += length
    return frames


def encode_with_lame(pcm):
    lame = shutil.which("lame")
    if lame is None:
        raise SystemExit("make-resources: the 'lame' encoder is required (apt-get install lame)")
    with tempfile.TemporaryDirectory() as tmp:
        wav_path = os.path.join(tmp, "chime.wav")
        mp3_path = os.path.join(tmp, "chime.mp3")
        with wave.open(wav_path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(SAMPLE_RATE)
            w.writeframes(pcm)
        cmd = [lame, "--quiet", "-q", "0", "-m", "m", "-b", str(LAME_KBPS), "--cbr",
               "--resample", "11.025", "-t", "--nores", wav_path, mp3_path]
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if result.returncode != 0:
            raise SystemExit("make-resources: lame failed: %s" % result.stderr.decode(errors="replace"))
        with open(mp3_path, "rb") as f:
            return f.read()


def padding_pattern(count):
    """Which frames carry the padding byte, as a CBR encoder spreads them.

    72 * 128000 / 11025 = 835.918 bytes per frame: the running remainder
    decides when a frame needs the extra byte (first frame unpadded).
    """
    frac = (72 * TARGET_KBPS * 1000) % SAMPLE_RATE
    lag = frac
    pattern = []
    for _ in range(count):
        lag -= frac
        if lag < 0:
            lag += SAMPLE_RATE
            pattern.append(1)
        else:
            pattern.append(0)
    return pattern


def relay_frames(frames):
    """Lay LAME's granules out again in 128 kbit/s frames.

    The main data of every frame is gathered from the bit reservoir as the
    decoder would see it, then written straight after the frame's own side
    information with main_data_begin = 0; the rest of each frame is zero
    ancillary data.  Side information and Huffman data are unchanged.
    """
    reservoir = b""
    out = []
    for index, (frame, padded) in enumerate(zip(frames, padding_pattern(len(frames)))):
        if frame.main_data_begin > len(reservoir):
            raise SystemExit("make-resources: frame %d reaches before the stream start" % index)
        own = frame.data[4 + SIDE_INFO_BYTES:]
        start = len(reservoir) - frame.main_data_begin
        reservoir += own
        main_len = (frame.part2_3_length + 7) // 8
        main_data = reservoir[start:start + main_len]
        length = mpeg25_frame_length(TARGET_KBPS, padded)
        room = length - 4 - SIDE_INFO_BYTES
        if main_len > room or len(main_data) != main_len:
            raise SystemExit("make-resources: frame %d main data does not fit" % index)
        header = frame.header
        header = (header & ~(0xF << 12)) | (TARGET_BITRATE_INDEX << 12)
        header = (header & ~(1 << 9)) | (padded << 9)
        header &= ~(1 << 8)   # private bit
        header &= ~0xF        # copyright, original, emphasis
        side = bytearray(frame.side_info)
        side[0] = 0           # main_data_begin = 0
        side[1] &= 0x7F       # private bit
        out.append(struct.pack(">I", header) + bytes(side) + main_data
                   + b"\0" * (room - main_len))
    return out


def id3v22_tag():
    assert len(ID3_TEXT) == 16
    frame = b"TSS" + len(ID3_TEXT).to_bytes(3, "big") + ID3_TEXT
    body_size = ID3_TOTAL - 10
    syncsafe = bytes([(body_size >> 21) & 0x7F, (body_size >> 14) & 0x7F,
                      (body_size >> 7) & 0x7F, body_size & 0x7F])
    tag = b"ID3\x02\x00\x00" + syncsafe + frame
    return tag + b"\0" * (ID3_TOTAL - len(tag))


def build_chime():
    frames = split_frames(encode_with_lame(synthesise_chime()))
    if len(frames) != FRAME_COUNT:
        # The chime's length is chosen so that, with LAME's delay and flush,
        # the stream is exactly FRAME_COUNT frames long; never truncate audio.
        raise SystemExit("make-resources: LAME wrote %d audio frames, expected %d"
                         % (len(frames), FRAME_COUNT))
    for f in frames:
        if (f.version, f.layer, f.no_crc, f.rate_index, f.mode) != (0, 1, 1, 0, 3):
            raise SystemExit("make-resources: LAME frame is not 11,025 Hz mono MPEG-2.5 Layer III")
    frames = relay_frames(frames)
    return id3v22_tag() + b"".join(frames), frames


# ---------------------------------------------------------------------------


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return "unchanged"
    except FileNotFoundError:
        pass
    with open(path, "wb") as f:
        f.write(data)
    return "written"


def main():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="Regenerate icon.ico and mailsound.mp3.")
    parser.add_argument("--out-dir", default=os.path.join(repo, "resources"),
                        help="directory to write into (default: the repository's resources/)")
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)

    icon, pngs = build_icon()
    chime, frames = build_chime()
    icon_path = os.path.join(args.out_dir, "icon.ico")
    chime_path = os.path.join(args.out_dir, "mailsound.mp3")
    print("%s: %d bytes (PNG sizes %s), %s" % (icon_path, len(icon),
          ", ".join(str(len(p)) for p in pngs), write_if_changed(icon_path, icon)))
    print("%s: %d bytes (%d frames), %s" % (chime_path, len(chime), len(frames),
          write_if_changed(chime_path, chime)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
