"""Listening on loopback, the TLS handshake, and stopping."""

import contextlib
import errno
import ipaddress
import json
import os
import select
import signal
import socket
import socketserver
import ssl
import struct
import sys
import tempfile
import threading
import time

from . import http1, http2
from .certs import CertError, ensure_certs
from .log import log
from .state import State

HANDSHAKE_TIMEOUT = 10.0
# How long stopping waits for connection threads to notice.
STOP_GRACE_SECONDS = 1.0


class Server(socketserver.ThreadingTCPServer):
    """One listening socket; every connection gets its own thread, which
    runs the TLS handshake and then HTTP/1.1 or HTTP/2 as ALPN chose."""

    daemon_threads = True
    allow_reuse_address = True
    # Never share a port with another process: with port 0 the IPv6 socket
    # must get the port only if nobody else has it.
    allow_reuse_port = False
    request_queue_size = 64

    def __init__(self, address, family, state, contexts, connections):
        self.address_family = family
        self.state = state
        self.contexts = contexts
        self.connections = connections
        super().__init__(address, None, bind_and_activate=False)
        if family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            self.server_bind()
            self.server_activate()
        except BaseException:
            self.server_close()
            raise

    def finish_request(self, raw, client_address):
        if self.state.is_silent():
            self._stay_silent(raw, client_address)
            return
        # A slow network or a busy service: the client's hello goes
        # unanswered for a while, then the handshake runs as usual.
        delay = self.state.delay_before_handshake()
        if delay and self.state.stopping.wait(delay):
            with contextlib.suppress(OSError):
                raw.close()
            return
        # Offer h2 only to connections accepted while HTTP/2 is on.
        context = self.contexts["h2" if self.state.offers_http2()
                                else "http/1.1"]
        try:
            raw.settimeout(HANDSHAKE_TIMEOUT)
            sock = context.wrap_socket(raw, server_side=True)
            sock.settimeout(None)
        except (ssl.SSLError, OSError) as e:
            log("%s TLS handshake failed: %s" % (client_address[0], e))
            with contextlib.suppress(OSError):
                raw.close()
            return
        with self.connections.open(sock):
            if sock.selected_alpn_protocol() == "h2":
                http2.Connection(sock, client_address, self.state).run()
            else:
                http1.Handler(sock, client_address, self)

    def _stay_silent(self, raw, client_address):
        """An outage that still accepts connections: the connection gets no
        TLS handshake, not even once the service answers again, until the
        client closes it or the service stops."""
        log("%s accepted, staying silent" % client_address[0])
        stopping = self.state.stopping
        with self.connections.open(raw):
            while not stopping.is_set():
                readable, _, _ = select.select([raw], [], [], 0.2)
                if not readable:
                    continue
                # The client's hello is read and dropped; nothing comes back.
                try:
                    if not raw.recv(65536):
                        break
                except OSError:
                    break
        log("%s silent connection ended" % client_address[0])

    def handle_error(self, request, client_address):
        log("%s error: %s" % (client_address[0], sys.exc_info()[1]))


class Connections:
    """The open TLS connections, so that stopping can end them all, even
    those blocked writing to a client that does not read."""

    def __init__(self):
        self.lock = threading.Lock()
        self.open_sockets = {}

    @contextlib.contextmanager
    def open(self, sock):
        with self.lock:
            self.open_sockets[sock] = threading.current_thread()
        try:
            yield
        finally:
            with self.lock:
                self.open_sockets.pop(sock, None)
            with contextlib.suppress(OSError):
                sock.close()

    def end_all(self):
        with self.lock:
            entries = list(self.open_sockets.items())
        for sock, _ in entries:
            with contextlib.suppress(OSError):
                # Closed with a reset: what an endless answer has queued
                # for a slow reader is dropped rather than sent.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                struct.pack("ii", 1, 0))
                # The plain socket's shutdown, not SSLSocket's: that one
                # drops the TLS state another thread may be using right
                # now. Blocked reads then see the end, blocked writes fail.
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
        deadline = time.monotonic() + STOP_GRACE_SECONDS
        for _, thread in entries:
            thread.join(max(0.0, deadline - time.monotonic()))


def _family(host):
    return (socket.AF_INET6 if ipaddress.ip_address(host).version == 6
            else socket.AF_INET)


def bind_servers(hosts, port, state, contexts, connections):
    """Bind every host on one port; with port 0 pick one free on all."""
    attempts = 20 if port == 0 else 1
    hosts = list(hosts)
    while True:
        servers = []
        try:
            chosen = port
            for host in hosts:
                server = Server((host, chosen), _family(host), state,
                                contexts, connections)
                servers.append(server)
                chosen = server.server_address[1]
            return servers
        except OSError as e:
            for server in servers:
                server.server_close()
            if (e.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT)
                    and len(hosts) > 1):
                # No IPv6 (or IPv4) loopback on this machine: go without it.
                missing = hosts[len(servers)]
                log("cannot bind %s (%s); going on without it" % (missing, e))
                hosts.remove(missing)
                continue
            attempts -= 1
            if attempts <= 0:
                raise


def make_ssl_contexts(certs):
    """One context per ALPN offer: h2 first then http/1.1, or http/1.1."""
    contexts = {}
    for name, protocols in (("h2", ["h2", "http/1.1"]),
                            ("http/1.1", ["http/1.1"])):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(certs["cert"], certs["key"])
        context.set_alpn_protocols(protocols)
        contexts[name] = context
    return contexts


def write_ready_file(path, line):
    """Writes line to path so that a reader sees all of it or nothing."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".ready-", dir=directory)
    try:
        with os.fdopen(fd, "w") as f:
            f.write(line)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def serve(args):
    hosts = args.host or ["127.0.0.1", "::1"]
    for host in hosts:
        try:
            if not ipaddress.ip_address(host).is_loopback:
                raise ValueError
        except ValueError:
            sys.exit("refservice: --host must be a loopback address, not %r"
                     % host)
    if socket.has_ipv6 is False:
        hosts = [h for h in hosts if _family(h) != socket.AF_INET6]

    try:
        certs = ensure_certs(args.state_dir)
    except CertError as e:
        sys.exit("refservice: %s" % e)
    state = State()
    connections = Connections()
    try:
        servers = bind_servers(hosts, args.port, state,
                               make_ssl_contexts(certs), connections)
    except OSError as e:
        sys.exit("refservice: cannot listen on port %d: %s" % (args.port, e))

    port = servers[0].server_address[1]
    first_line = json.dumps({
        "port": port,
        "url": "https://localhost:%d" % port,
        "ca": certs["ca"],
        "hosts": [s.server_address[0] for s in servers],
        "pid": os.getpid(),
    }) + "\n"
    # A parent that cannot read our output uses the ready file instead.
    with contextlib.suppress(OSError, ValueError):
        sys.stdout.write(first_line)
        sys.stdout.flush()
    if args.ready_file:
        try:
            write_ready_file(args.ready_file, first_line)
        except OSError as e:
            sys.exit("refservice: cannot write %s: %s" % (args.ready_file, e))
    log("listening on %s port %d" % (
        ", ".join(s.server_address[0] for s in servers), port))

    def stop(*_):
        state.stop_requested.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    threads = [threading.Thread(target=s.serve_forever, daemon=True,
                                kwargs={"poll_interval": 0.2})
               for s in servers]
    for t in threads:
        t.start()
    if args.stdin_watch:
        # Stop when whoever started us goes away and its pipe closes.
        def watch():
            # The file descriptor, not sys.stdin: a thread still blocked in
            # a buffered read would abort the interpreter's exit.
            with contextlib.suppress(OSError):
                while os.read(sys.stdin.fileno(), 4096):
                    pass
            stop()
        threading.Thread(target=watch, daemon=True).start()

    while not state.stop_requested.wait(0.5):
        pass
    log("stopping")
    state.stopping.set()
    connections.end_all()
    for server in servers:
        server.shutdown()
        server.server_close()
    # Any connection accepted while the listeners were closing.
    connections.end_all()
