"""HTTP/2 over one TLS connection, with Debian's python3-h2.

One thread runs the connection: it reads frames and, between reads, moves
each stream's answer on as far as flow control and its timers allow. An
answer is a generator that yields what it waits for (seconds to sleep, or
WAIT_WINDOW), so a stream that trickles or hangs never holds up the others.
"""

import email.utils
import math
import select
import time
import urllib.parse

try:
    import h2.config
    import h2.connection
    import h2.events
    import h2.exceptions
except ImportError:
    h2 = None

from . import control, h2raw, routes
from .log import log
from .reply import Reply

PROTOCOL = "h2"
SERVER = "TessalyRefService/1"

WAIT_WINDOW = object()


class CloseConnection(Exception):
    """Raised by an answer that ends the whole connection."""


class _Stream:
    def __init__(self, headers):
        self.headers = headers
        self.body = []


class _Answer:
    def __init__(self, program):
        self.program = program
        self.wake = 0.0
        self.waiting_window = False


class Connection:
    def __init__(self, sock, client_address, state):
        self.sock = sock
        self.client_address = client_address
        self.state = state
        self.streams = {}
        self.answers = {}
        self.bombs = 0
        self.conn = h2.connection.H2Connection(config=h2.config.H2Configuration(
            client_side=False, header_encoding=None))

    def run(self):
        try:
            self.conn.initiate_connection()
            self.flush()
            while not self.state.stopping.is_set():
                if not self._read(self._timeout()):
                    break
                try:
                    self._advance()
                finally:
                    self.flush()
        except CloseConnection:
            log("%s h2 connection dropped" % self.client_address[0])
        except (OSError, h2.exceptions.ProtocolError) as e:
            log("%s h2 connection ended: %s" % (self.client_address[0], e))

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.sock.sendall(data)

    def _timeout(self):
        now = time.monotonic()
        timeout = 0.2
        for answer in self.answers.values():
            if not answer.waiting_window:
                timeout = min(timeout, max(0.0, answer.wake - now))
        return timeout

    def _read(self, timeout):
        """Reads and handles what has come; False once the client is gone."""
        if self.sock.pending() == 0:
            readable, _, _ = select.select([self.sock], [], [], timeout)
            if not readable:
                return True
        data = self.sock.recv(65536)
        if not data:
            return False
        for event in self.conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                self.streams[event.stream_id] = _Stream(event.headers)
            elif isinstance(event, h2.events.DataReceived):
                if event.stream_id in self.streams:
                    self.streams[event.stream_id].body.append(event.data)
                self.conn.acknowledge_received_data(
                    event.flow_controlled_length, event.stream_id)
            elif isinstance(event, h2.events.StreamEnded):
                stream = self.streams.pop(event.stream_id, None)
                if stream is not None:
                    self.answers[event.stream_id] = _Answer(
                        self._answer(event.stream_id, stream))
            elif isinstance(event, h2.events.StreamReset):
                self.streams.pop(event.stream_id, None)
                self.answers.pop(event.stream_id, None)
            elif isinstance(event, (h2.events.WindowUpdated,
                                    h2.events.RemoteSettingsChanged)):
                for answer in self.answers.values():
                    answer.waiting_window = False
            elif isinstance(event, h2.events.ConnectionTerminated):
                return False
        return True

    def _advance(self):
        now = time.monotonic()
        for stream_id, answer in list(self.answers.items()):
            if answer.waiting_window or answer.wake > now:
                continue
            try:
                waits_for = next(answer.program)
            except (StopIteration, h2.exceptions.StreamClosedError):
                del self.answers[stream_id]
                continue
            if waits_for is WAIT_WINDOW:
                answer.waiting_window = True
            elif waits_for is not None:
                answer.wake = now + waits_for

    # -- answers, as generators

    def _answer(self, stream_id, stream):
        pseudo = dict((k, v) for k, v in stream.headers if k.startswith(b":"))
        method = pseudo.get(b":method", b"").decode("ascii", "replace")
        split = urllib.parse.urlsplit(
            pseudo.get(b":path", b"/").decode("utf-8", "replace"))
        path, query = split.path or "/", split.query
        body = b"".join(stream.body)
        headers = [(k.decode("utf-8", "replace"), v.decode("utf-8", "replace"))
                   for k, v in stream.headers]
        log("%s %s %s (h2)" % (self.client_address[0], method, path))
        if control.is_control(path):
            content_type = dict(headers).get("content-type", "")
            reply = control.handle(self.state, method, path, query,
                                   content_type, body)
            yield from self._send_reply(stream_id, reply, method)
            if reply.after:
                self.flush()
                reply.after()
            return
        self.state.record(self.client_address, method, path, query, headers,
                          body, PROTOCOL)
        yield from self._service(stream_id, method, path, body)

    def _service(self, stream_id, method, path, body):
        name, error = routes.find(path, method)
        if error:
            yield from self._send_reply(stream_id, error, method)
            return
        plan = routes.Plan(name, self.state.take_route(name), PROTOCOL)
        if plan.delay:
            yield plan.delay
        action = plan.action
        if action == "hang":
            yield math.inf
        elif action == "drop":
            raise CloseConnection()
        elif action == "redirect":
            status, location = plan.redirect()
            yield from self._send_reply(
                stream_id, Reply(status, None, b"", [("location", location)]),
                method)
        elif action in ("endless", "endless_chunked"):
            # HTTP/2 has no chunked framing: both are DATA frames for ever.
            self._send_head(stream_id, plan.status(), plan.content_type())
            piece = plan.endless_piece()
            while True:
                yield from self._send_body(stream_id, piece, end=False)
        elif action == "h2_header_bomb":
            self._header_bomb(stream_id, plan.status())
        elif action == "h2_endless_continuation":
            self._endless_continuation(stream_id, plan.status())
        else:
            yield from self._route_answer(stream_id, plan, body)

    def _route_answer(self, stream_id, plan, body):
        status, content_type, payload, repeat = plan.answer(
            self.state, body, self.client_address[0])
        if plan.action == "drop_mid_body":
            payload = (payload * repeat) or b"x" * 64
            self._send_head(stream_id, status, content_type,
                            len(payload) * 2 + 1024)
            yield from self._send_body(stream_id,
                                       payload[:max(1, len(payload) // 2)])
            self.flush()
            raise CloseConnection()
        if plan.action == "trickle":
            self._send_head(stream_id, status, content_type, plan.announced)
            unit = payload or routes.ENDLESS_FILLER
            for sent in range(plan.announced - 1):
                yield plan.interval
                at = sent % len(unit)
                yield from self._send_body(stream_id, unit[at:at + 1])
            yield math.inf
            return
        self._send_head(stream_id, status, content_type, len(payload) * repeat,
                        end=not (payload and repeat))
        if plan.body_delay and payload and repeat:
            yield plan.body_delay
        per_piece = max(1, routes.ENDLESS_PIECE_BYTES // max(1, len(payload)))
        left = repeat if payload else 0
        while left > 0:
            count = min(per_piece, left)
            left -= count
            yield from self._send_body(stream_id, payload * count,
                                       end=left == 0)

    def _send_head(self, stream_id, status, content_type=None, length=None,
                   extra=(), end=False):
        headers = [(":status", str(status)), ("server", SERVER),
                   ("date", email.utils.formatdate(usegmt=True))]
        if content_type:
            headers.append(("content-type", content_type))
        if length is not None:
            headers.append(("content-length", str(length)))
        headers += [(name.lower(), value) for name, value in extra]
        self.conn.send_headers(stream_id, headers, end_stream=end)

    def _send_reply(self, stream_id, reply, method):
        bodyless = method == "HEAD" or not reply.body
        self._send_head(stream_id, reply.status, reply.content_type,
                        len(reply.body), reply.headers, end=bodyless)
        if not bodyless:
            yield from self._send_body(stream_id, reply.body, end=True)

    def _send_body(self, stream_id, data, end=False):
        """Sends data as flow control allows, a piece per step."""
        view = memoryview(data)
        while view:
            window = self.conn.local_flow_control_window(stream_id)
            if window <= 0:
                yield WAIT_WINDOW
                continue
            piece = min(window, len(view), routes.ENDLESS_PIECE_BYTES)
            while piece > 0:
                size = min(piece, self.conn.max_outbound_frame_size)
                last = end and size == len(view)
                self.conn.send_data(stream_id, view[:size].tobytes(),
                                    end_stream=last)
                view, piece = view[size:], piece - size
            yield None
        if end and not data:
            self.conn.end_stream(stream_id)

    # -- raw frames, past what h2 would send

    def _header_bomb(self, stream_id, status):
        self.bombs += 1
        block = h2raw.header_bomb_block(self.conn.encoder, status, self.bombs)
        self.flush()
        self.sock.sendall(h2raw.header_frames(
            stream_id, block, self.conn.max_outbound_frame_size,
            end_stream=True))
        log("%s sent a %d byte header bomb" % (self.client_address[0],
                                               len(block)))

    def _endless_continuation(self, stream_id, status):
        block = self.conn.encoder.encode([(b":status", str(status).encode())],
                                         huffman=False)
        batch = h2raw.continuation_batch(stream_id,
                                         self.conn.max_outbound_frame_size)
        self.flush()
        self.sock.sendall(h2raw.frame(h2raw.HEADERS, 0, stream_id, block))
        log("%s endless CONTINUATION frames" % self.client_address[0])
        # Nothing else may go out on this connection now; ends with an
        # error once the client closes, or we shut the socket.
        while not self.state.stopping.is_set():
            self.sock.sendall(batch)
        raise CloseConnection()
