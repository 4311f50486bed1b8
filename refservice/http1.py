"""HTTP/1.1 over one TLS connection, in that connection's own thread."""

import itertools
import math
import select
import socket
import ssl
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler

from . import control, routes
from .log import log
from .reply import Reply

PROTOCOL = "http/1.1"


class Handler(BaseHTTPRequestHandler):
    """Runs on a socket whose TLS handshake the server has already done;
    self.server.state is the shared State."""

    protocol_version = "HTTP/1.1"
    server_version = "TessalyRefService/1"
    disable_nagle_algorithm = True

    def handle(self):
        try:
            super().handle()
        except OSError as e:
            # Includes the socket being shut down under us when we stop.
            log("%s connection ended: %s" % (self.client_address[0], e))

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass

    def log_message(self, format, *args):
        log("%s %s" % (self.client_address[0], format % args))

    def log_request(self, code="-", size="-"):
        self._note(code)

    def _note(self, what):
        # A request line that did not parse leaves no command nor path.
        log("%s %s %s %s" % (self.client_address[0],
                             getattr(self, "command", None) or "-",
                             getattr(self, "path", None) or "-", what))

    # -- request reading

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            parts = []
            while True:
                line = self.rfile.readline(65537)
                size = int(line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    # Trailers, up to the empty line.
                    while self.rfile.readline(65537) not in (b"\r\n", b"\n",
                                                             b""):
                        pass
                    break
                parts.append(self.rfile.read(size))
                self.rfile.readline(65537)
            return b"".join(parts)
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        length = int(length)
        if length < 0:
            raise ValueError("negative Content-Length")
        return self.rfile.read(length)

    def _dispatch(self):
        try:
            body = self._read_body()
        except ValueError:
            self.close_connection = True
            self._send(Reply(400, "text/plain", b"bad request body\n"))
            return
        split = urllib.parse.urlsplit(self.path)
        path, query = split.path or "/", split.query
        state = self.server.state
        if control.is_control(path):
            self._send(control.handle(state, self.command, path, query,
                                      self.headers.get("Content-Type", ""),
                                      body))
            return
        state.record(self.client_address, self.command, path, query,
                     self.headers.items(), body, PROTOCOL)
        self._service(path, body)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = \
        do_OPTIONS = _dispatch

    # -- replies

    def _send(self, reply):
        if reply.after:
            # What comes after ends this service or connection.
            self.close_connection = True
        self.send_response(reply.status)
        if reply.content_type:
            self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(reply.body)
        self.wfile.flush()
        if reply.after:
            reply.after()

    def _service(self, path, body):
        state = self.server.state
        name, error = routes.find(path, self.command)
        if error:
            self._send(error)
            return
        plan = routes.Plan(name, state.take_route(name), PROTOCOL)
        if plan.delay and state.stopping.wait(plan.delay):
            self.close_connection = True
            return

        action = plan.action
        if action == "hang":
            self._note("hanging")
            self.close_connection = True
            self._client_gone(math.inf)
            self._note("hang ended")
            return
        if action == "drop":
            self._note("dropped")
            self.close_connection = True
            return
        if action == "redirect":
            status, location = plan.redirect()
            self._send(Reply(status, None, b"", [("Location", location)]))
            return
        if action in ("endless", "endless_chunked"):
            self._endless(plan, chunked=action == "endless_chunked")
            return
        if action in ("endless_headers", "endless_header_line"):
            self._endless_headers(plan, one_line=action == "endless_header_line")
            return
        if action in ("endless_chunk_line", "one_byte_chunks"):
            self._endless_chunks(plan, one_byte=action == "one_byte_chunks")
            return

        status, content_type, payload, repeat = plan.answer(
            state, body, self.client_address[0])
        if action == "drop_mid_body":
            self._drop_mid_body(status, content_type, payload * repeat)
        elif action == "trickle":
            self._trickle(status, content_type, payload, plan.interval, plan.announced)
        else:
            self._send_repeated(status, content_type, payload, repeat, plan.body_delay)

    def _send_repeated(self, status, content_type, payload, repeat, body_delay=0):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload) * repeat))
        self.end_headers()
        if body_delay and payload and repeat:
            self.wfile.flush()
            if self.server.state.stopping.wait(body_delay):
                self.close_connection = True
                return
        if payload and repeat:
            # Large bodies go out in pieces of about 256 KiB.
            per_write = max(1, (256 * 1024) // len(payload))
            left = repeat
            while left > 0:
                count = min(per_write, left)
                self.wfile.write(payload * count)
                left -= count
        self.wfile.flush()

    def _drop_mid_body(self, status, content_type, payload):
        if not payload:
            payload = b"x" * 64
        announced = len(payload) * 2 + 1024
        self.send_response_only(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(announced))
        self.end_headers()
        self.wfile.write(payload[:max(1, len(payload) // 2)])
        self.wfile.flush()
        self._note("dropped after part of the body")
        self.close_connection = True

    def _trickle(self, status, content_type, payload, interval, announced):
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(announced))
        self.end_headers()
        self.wfile.flush()
        self._note("trickling a byte every %gs" % interval)
        unit = payload or routes.ENDLESS_FILLER
        # One byte short of the announced length, so the body never ends.
        for sent in range(announced - 1):
            if self._client_gone(interval):
                break
            at = sent % len(unit)
            self.wfile.write(unit[at:at + 1])
        else:
            self._client_gone(math.inf)
        self._note("trickle ended")

    def _endless(self, plan, chunked):
        self.close_connection = True
        self.send_response(plan.status())
        self.send_header("Content-Type", plan.content_type())
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        piece = plan.endless_piece()
        if chunked:
            piece = b"%x\r\n%s\r\n" % (len(piece), piece)
        self._note("streaming for ever")
        stopping = self.server.state.stopping
        # Ends with an error once the client closes, or we shut the socket.
        while not stopping.is_set():
            self.wfile.write(piece)

    def _endless_headers(self, plan, one_line):
        self.close_connection = True
        self.send_response_only(plan.status())
        self.flush_headers()
        self._note("sending %s for ever" % ("one header line" if one_line else "header lines"))
        if one_line:
            self.wfile.write(b"X-Filler: ")
            lines = (routes.HEADER_FILLER * 64 for _ in iter(int, 1))
        else:
            lines = (b"".join(b"X-Filler-%d: %s\r\n" % (number + i, routes.HEADER_FILLER)
                              for i in range(64))
                     for number in itertools.count(0, 64))
        # Never the blank line that ends the head. Ends with an error once
        # the client closes, or we shut the socket.
        stopping = self.server.state.stopping
        for piece in lines:
            if stopping.is_set():
                break
            self.wfile.write(piece)

    def _endless_chunks(self, plan, one_byte):
        """A chunked body that never ends: chunks of one byte each, or one
        chunk-size line whose extension never ends."""
        self.close_connection = True
        self.send_response(plan.status())
        self.send_header("Content-Type", plan.content_type())
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        if one_byte:
            self._note("sending one-byte chunks for ever")
            piece = b"1\r\nx\r\n" * 16384
        else:
            self._note("sending one chunk-size line for ever")
            self.wfile.write(b"1;ext=")
            piece = routes.HEADER_FILLER * 64
        stopping = self.server.state.stopping
        while not stopping.is_set():
            self.wfile.write(piece)

    def _client_gone(self, seconds):
        """Waits up to seconds; True once the client has closed the
        connection or the service stops, False if the time ran out."""
        sock = self.connection
        stopping = self.server.state.stopping
        deadline = time.monotonic() + seconds
        while not stopping.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if sock.pending() == 0:
                readable, _, _ = select.select([sock], [], [], min(left, 0.2))
                if not readable:
                    continue
            try:
                sock.settimeout(0.2)
                data = sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError:
                return True
            finally:
                sock.settimeout(None)
            if not data:
                return True
        return True

