#!/usr/bin/env python3
"""Tessaly reference service.

A stand-in for the maker's HTTPS service, used during development and by the
test suite.  It answers the agent's four service calls and the public address
lookup, records every request it gets, and lets a test (or a person) change
how it answers through a small control API under /_ref/.

Python 3 standard library only; certificates are made with the openssl
command line tool.

    refservice.py make-certs [--state-dir DIR]
    refservice.py serve [--port N] [--state-dir DIR] [--host ADDR ...]
    refservice.py identify|requests|config|reset [--url URL] [--state-dir DIR]

Run "refservice.py --help" or read README.md beside this file for details.
"""

import argparse
import base64
import contextlib
import copy
import errno
import fcntl
import html
import ipaddress
import json
import os
import secrets
import select
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEFAULT_PORT = 8443
DEFAULT_URL = "https://localhost:%d" % DEFAULT_PORT

CA_CERT = "ca.pem"
CA_KEY = "ca.key"
SERVER_CERT = "server.pem"
SERVER_KEY = "server.key"
LOCK_FILE = ".lock"

CA_DAYS = 3650
SERVER_DAYS = 825
# Certificates this close to expiry are made anew.
RENEW_MARGIN_SECONDS = 2 * 24 * 3600

ROUTES = ("login", "devices", "heartbeat", "identify", "ip")
ACTIONS = ("answer", "hang", "drop", "drop_mid_body")
ROUTE_FIELDS = {
    "status": int,
    "body": str,
    "body_repeat": int,
    "content_type": str,
    "delay": (int, float),
    "action": str,
}
DEFAULT_USERS = {"demo": {"password": "demo", "user_id": 42}}

HANDSHAKE_TIMEOUT = 10.0
RECENT_ON_PAGE = 50


def log(message):
    sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), message))
    sys.stderr.flush()


def default_state_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(
        os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tessaly-refservice")


# --------------------------------------------------------------------------
# Certificates
# --------------------------------------------------------------------------

class CertError(Exception):
    pass


def _openssl(*args, cwd=None):
    try:
        result = subprocess.run(["openssl"] + list(args), cwd=cwd,
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise CertError("the openssl command line tool is not installed")
    if result.returncode != 0:
        raise CertError("openssl %s failed: %s" % (
            args[0], result.stderr.decode("utf-8", "replace").strip()))
    return result.stdout


def _valid_for(cert_path, seconds):
    result = subprocess.run(
        ["openssl", "x509", "-in", cert_path, "-noout",
         "-checkend", str(int(seconds))],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    return result.returncode == 0


def _ca_usable(state_dir):
    ca_cert = os.path.join(state_dir, CA_CERT)
    ca_key = os.path.join(state_dir, CA_KEY)
    if not (os.path.isfile(ca_cert) and os.path.isfile(ca_key)):
        return False
    # Leave enough life in the CA for a full-length server certificate.
    return _valid_for(ca_cert, RENEW_MARGIN_SECONDS)


def _server_usable(state_dir):
    ca_cert = os.path.join(state_dir, CA_CERT)
    cert = os.path.join(state_dir, SERVER_CERT)
    key = os.path.join(state_dir, SERVER_KEY)
    if not (os.path.isfile(cert) and os.path.isfile(key)):
        return False
    if not _valid_for(cert, RENEW_MARGIN_SECONDS):
        return False
    # The server certificate must still chain to the CA on disk (the CA may
    # have been made anew) and the key must belong to it.
    verify = subprocess.run(
        ["openssl", "verify", "-CAfile", ca_cert, "-purpose", "sslserver",
         cert], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    if verify.returncode != 0:
        return False
    try:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    except (ssl.SSLError, OSError):
        return False
    return True


def _write_ext(path, lines):
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def _make_ca(work):
    _openssl("req", "-x509", "-new", "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-sha256",
             "-days", str(CA_DAYS), "-subj", "/O=Tessaly/CN=Tessaly Test CA",
             "-set_serial", "0x" + secrets.token_hex(8),
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash",
             "-keyout", CA_KEY, "-out", CA_CERT, cwd=work)


def _make_server(work, ca_cert, ca_key):
    _openssl("req", "-new", "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-sha256",
             "-subj", "/O=Tessaly/CN=localhost",
             "-keyout", SERVER_KEY, "-out", "server.csr", cwd=work)
    # Only the DNS name: https://127.0.0.1 must fail host name checks.
    _write_ext(os.path.join(work, "server.ext"), [
        "basicConstraints=critical,CA:FALSE",
        "keyUsage=critical,digitalSignature",
        "extendedKeyUsage=serverAuth",
        "subjectAltName=DNS:localhost",
        "subjectKeyIdentifier=hash",
        "authorityKeyIdentifier=keyid,issuer",
    ])
    _openssl("x509", "-req", "-in", "server.csr", "-sha256",
             "-CA", ca_cert, "-CAkey", ca_key,
             "-set_serial", "0x" + secrets.token_hex(8),
             "-days", str(SERVER_DAYS), "-extfile", "server.ext",
             "-out", SERVER_CERT, cwd=work)


@contextlib.contextmanager
def _state_lock(state_dir):
    # Several test processes may start at once on one state directory; the
    # lock makes sure only one of them makes certificates and the others
    # then find them ready.
    fd = os.open(os.path.join(state_dir, LOCK_FILE), os.O_RDWR | os.O_CREAT,
                 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def ensure_certs(state_dir):
    """Make sure state_dir holds a usable CA and server certificate.

    Returns a dict with the absolute paths. Existing, still valid files are
    kept, so the CA that a build has compiled in stays the same.
    """
    state_dir = os.path.abspath(state_dir)
    os.makedirs(state_dir, mode=0o700, exist_ok=True)
    paths = {name: os.path.join(state_dir, name)
             for name in (CA_CERT, CA_KEY, SERVER_CERT, SERVER_KEY)}
    with _state_lock(state_dir):
        new_ca = not _ca_usable(state_dir)
        if new_ca or not _server_usable(state_dir):
            work = tempfile.mkdtemp(prefix=".make-", dir=state_dir)
            try:
                if new_ca:
                    _make_ca(work)
                    ca_cert = os.path.join(work, CA_CERT)
                    ca_key = os.path.join(work, CA_KEY)
                else:
                    ca_cert, ca_key = paths[CA_CERT], paths[CA_KEY]
                _make_server(work, ca_cert, ca_key)
                for name in (SERVER_KEY, CA_KEY):
                    if os.path.exists(os.path.join(work, name)):
                        os.chmod(os.path.join(work, name), 0o600)
                # Server files first, so that a reader that does not take the
                # lock never sees a new CA next to an unknown server key
                # for long; every file is replaced atomically.
                names = [SERVER_KEY, SERVER_CERT]
                if new_ca:
                    names += [CA_KEY, CA_CERT]
                for name in names:
                    os.replace(os.path.join(work, name), paths[name])
            finally:
                shutil.rmtree(work, ignore_errors=True)
            log("made %s in %s" % (
                "a new CA and server certificate" if new_ca
                else "a new server certificate", state_dir))
    return {
        "state_dir": state_dir,
        "ca": paths[CA_CERT],
        "ca_key": paths[CA_KEY],
        "cert": paths[SERVER_CERT],
        "key": paths[SERVER_KEY],
    }


# --------------------------------------------------------------------------
# Behaviour and records
# --------------------------------------------------------------------------

class ConfigError(ValueError):
    pass


def _check_route(name, value):
    if not isinstance(value, dict):
        raise ConfigError("%s: expected an object or null" % name)
    for key, item in value.items():
        if key not in ROUTE_FIELDS:
            raise ConfigError("%s: unknown key %r" % (name, key))
        wanted = ROUTE_FIELDS[key]
        if isinstance(item, bool) or not isinstance(item, wanted):
            raise ConfigError("%s.%s: wrong type" % (name, key))
    if value.get("action", "answer") not in ACTIONS:
        raise ConfigError("%s.action: must be one of %s" % (
            name, ", ".join(ACTIONS)))
    if "status" in value and not 100 <= value["status"] <= 599:
        raise ConfigError("%s.status: out of range" % name)
    if value.get("body_repeat", 1) < 0:
        raise ConfigError("%s.body_repeat: must not be negative" % name)
    if value.get("delay", 0) < 0:
        raise ConfigError("%s.delay: must not be negative" % name)


class State:
    """Configuration and request records, shared by all connections."""

    def __init__(self):
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.records = []
        self.sequence = 0
        self._defaults()

    def _defaults(self):
        self.routes = {}
        self.identify = False
        self.identify_once = False
        self.fail_heartbeats = 0
        self.users = copy.deepcopy(DEFAULT_USERS)

    def reset(self):
        with self.lock:
            self.records = []
            self._defaults()

    def config(self):
        with self.lock:
            return self._config_locked()

    def _config_locked(self):
        # A view of the settings; route overrides are listed under "routes"
        # because "identify" is both a route and the standing answer.
        return {
            "identify": self.identify,
            "identify_once": self.identify_once,
            "fail_heartbeats": self.fail_heartbeats,
            "users": copy.deepcopy(self.users),
            "routes": copy.deepcopy(self.routes),
        }

    def merge(self, update):
        """Merge a configuration object; checks everything before applying."""
        if not isinstance(update, dict):
            raise ConfigError("the configuration must be a JSON object")
        for key, value in update.items():
            if key == "identify":
                if value is not None and not isinstance(value, (bool, dict)):
                    raise ConfigError("identify: expected true, false, "
                                      "an object or null")
                if isinstance(value, dict):
                    _check_route(key, value)
            elif key in ROUTES:
                if value is not None:
                    _check_route(key, value)
            elif key == "identify_once":
                if value is not None and not isinstance(value, bool):
                    raise ConfigError("identify_once: expected true or false")
            elif key == "fail_heartbeats":
                if value is None:
                    continue
                if (isinstance(value, bool) or not isinstance(value, int)
                        or value < 0):
                    raise ConfigError("fail_heartbeats: expected a count")
            elif key == "users":
                if value is None:
                    continue
                if not isinstance(value, dict):
                    raise ConfigError("users: expected an object or null")
                for user, entry in value.items():
                    if entry is None:
                        continue
                    if not isinstance(entry, dict):
                        raise ConfigError("users.%s: expected an object" % user)
                    if not isinstance(entry.get("password"), str):
                        raise ConfigError("users.%s.password: expected a "
                                          "string" % user)
            else:
                raise ConfigError("unknown configuration key %r" % key)

        with self.lock:
            for key, value in update.items():
                if key == "identify":
                    if value is None:
                        self.identify = False
                        self.routes.pop("identify", None)
                    elif isinstance(value, bool):
                        self.identify = value
                    else:
                        self.routes["identify"] = copy.deepcopy(value)
                elif key in ROUTES:
                    if value is None:
                        self.routes.pop(key, None)
                    else:
                        self.routes[key] = copy.deepcopy(value)
                elif key == "identify_once":
                    self.identify_once = bool(value)
                elif key == "fail_heartbeats":
                    self.fail_heartbeats = value or 0
                elif key == "users":
                    if value is None:
                        self.users = copy.deepcopy(DEFAULT_USERS)
                        continue
                    for user, entry in value.items():
                        if entry is None:
                            self.users.pop(user, None)
                        else:
                            self.users[user] = copy.deepcopy(entry)
            return self._config_locked()

    def request_identify(self):
        with self.lock:
            self.identify_once = True

    def record(self, handler, path, query, body):
        with self.lock:
            self.sequence += 1
            entry = {
                "seq": self.sequence,
                "time": time.time(),
                "monotonic": time.monotonic(),
                "client": handler.client_address[0],
                "client_port": handler.client_address[1],
                "method": handler.command,
                "path": path,
                "query": query,
                "headers": [[name, value]
                            for name, value in handler.headers.items()],
                "body": base64.b64encode(body).decode("ascii"),
            }
            self.records.append(entry)
            return entry

    def records_copy(self, path=None, since=0):
        with self.lock:
            return [copy.deepcopy(r) for r in self.records
                    if (path is None or r["path"] == path)
                    and r["seq"] > since]

    def route(self, name):
        with self.lock:
            return copy.deepcopy(self.routes.get(name, {}))

    # Default answers. These run only for requests that get (part of) an
    # answer, so one-shot settings are not used up by a hang or a drop.

    def answer_login(self, body):
        try:
            data = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            data = None
        with self.lock:
            name = data.get("username") if isinstance(data, dict) else None
            if isinstance(name, str):
                user = self.users.get(name)
                if (user is not None
                        and data.get("password") == user.get("password")):
                    reply = {"success": True}
                    if "user_id" in user:
                        reply["user_id"] = user["user_id"]
                    return 200, reply
            return 200, {"success": False}

    def answer_heartbeat(self):
        with self.lock:
            if self.fail_heartbeats > 0:
                self.fail_heartbeats -= 1
                return 500, {"status": "error"}
            return 200, {"status": "ok"}

    def answer_identify(self):
        with self.lock:
            if self.identify_once:
                self.identify_once = False
                return 200, {"identify": True}
            return 200, {"identify": bool(self.identify)}


# --------------------------------------------------------------------------
# HTTP
# --------------------------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TessalyRefService/1"

    # -- connection set-up: the TLS handshake runs in the connection's own
    #    thread, so a slow or failing client never blocks the others.

    disable_nagle_algorithm = True

    def setup(self):
        self.tls_ok = False
        raw = self.request
        try:
            raw.settimeout(HANDSHAKE_TIMEOUT)
            self.request = self.server.ssl_context.wrap_socket(
                raw, server_side=True)
            self.request.settimeout(None)
        except (ssl.SSLError, OSError) as e:
            log("%s TLS handshake failed: %s" % (self.client_address[0], e))
            with contextlib.suppress(OSError):
                raw.close()
            return
        self.tls_ok = True
        super().setup()

    def handle(self):
        if self.tls_ok:
            try:
                super().handle()
            except (ConnectionError, ssl.SSLError, socket.timeout) as e:
                log("%s connection ended: %s" % (self.client_address[0], e))

    def finish(self):
        if not self.tls_ok:
            return
        with contextlib.suppress(OSError, ssl.SSLError):
            super().finish()
        with contextlib.suppress(OSError):
            self.request.close()

    def log_message(self, format, *args):
        log("%s %s" % (self.client_address[0], format % args))

    def log_request(self, code="-", size="-"):
        log("%s %s %s %s" % (self.client_address[0], self.command,
                             self.path, code))

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
            self._send(400, "text/plain", b"bad request body\n")
            return
        split = urllib.parse.urlsplit(self.path)
        path, query = split.path or "/", split.query
        if path == "/_ref" or path.startswith("/_ref/"):
            self._control(path, query, body)
            return
        self.server.state.record(self, path, query, body)
        self._service(path, body)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = \
        do_OPTIONS = _dispatch

    # -- replies

    def _send(self, status, content_type, body, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra_headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def _send_json(self, status, value):
        self._send(status, "application/json",
                   (json.dumps(value, indent=2) + "\n").encode("utf-8"))

    # -- the service's own endpoints

    SERVICE_ROUTES = {
        "/login": ("login", "POST"),
        "/api/devices": ("devices", "POST"),
        "/api/heartbeat": ("heartbeat", "POST"),
        "/api/ping-identify": ("identify", "POST"),
        "/": ("ip", "GET"),
    }

    def _service(self, path, body):
        state = self.server.state
        if path not in self.SERVICE_ROUTES:
            self._send_json(404, {"error": "not found"})
            return
        name, method = self.SERVICE_ROUTES[path]
        if self.command != method:
            self._send(405, "application/json",
                       b'{"error": "method not allowed"}\n',
                       [("Allow", method)])
            return

        override = state.route(name)
        action = override.get("action", "answer")
        if override.get("delay"):
            if state.stopping.wait(override["delay"]):
                self.close_connection = True
                return
        if action == "hang":
            self._hang()
            return
        if action == "drop":
            log("%s %s %s dropped" % (self.client_address[0], self.command,
                                      self.path))
            self.close_connection = True
            return

        content_type = "application/json"
        if name == "login":
            status, value = state.answer_login(body)
        elif name == "devices":
            status, value = 201, {"status": "ok"}
        elif name == "heartbeat":
            status, value = state.answer_heartbeat()
        elif name == "identify":
            status, value = state.answer_identify()
        else:
            status, value = 200, None
            content_type = "text/plain"
        if value is None:
            payload = (self.client_address[0] + "\n").encode("utf-8")
        else:
            payload = (json.dumps(value) + "\n").encode("utf-8")

        status = override.get("status", status)
        content_type = override.get("content_type", content_type)
        if "body" in override:
            payload = override["body"].encode("utf-8")
        repeat = override.get("body_repeat", 1)

        if action == "drop_mid_body":
            self._drop_mid_body(status, content_type, payload * repeat)
            return
        self._send_repeated(status, content_type, payload, repeat)

    def _send_repeated(self, status, content_type, payload, repeat):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload) * repeat))
        self.end_headers()
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
        log("%s %s %s dropped after part of the body" % (
            self.client_address[0], self.command, self.path))
        self.close_connection = True

    def _hang(self):
        """Never answer; return once the client goes away or we stop."""
        log("%s %s %s hanging" % (self.client_address[0], self.command,
                                  self.path))
        self.close_connection = True
        sock = self.connection
        state = self.server.state
        while not state.stopping.is_set():
            if sock.pending() == 0:
                readable, _, _ = select.select([sock], [], [], 0.2)
                if not readable:
                    continue
            try:
                sock.settimeout(0.2)
                data = sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError):
                break
            if not data:
                break
        log("%s %s %s hang ended" % (self.client_address[0], self.command,
                                     self.path))

    # -- control API

    def _control(self, path, query, body):
        state = self.server.state
        params = urllib.parse.parse_qs(query)
        route = (self.command, path.rstrip("/") or "/")
        try:
            if route == ("GET", "/_ref/requests"):
                since = int(params.get("since", ["0"])[0])
                only = params.get("path", [None])[0]
                self._send_json(200, state.records_copy(only, since))
            elif route == ("POST", "/_ref/reset"):
                state.reset()
                self._send_json(200, {"status": "ok"})
            elif route == ("GET", "/_ref/config"):
                self._send_json(200, state.config())
            elif route == ("POST", "/_ref/config"):
                try:
                    update = json.loads(body.decode("utf-8") or "null")
                except (UnicodeDecodeError, ValueError) as e:
                    raise ConfigError("not valid JSON: %s" % e)
                self._send_json(200, state.merge(update))
            elif route == ("POST", "/_ref/identify"):
                state.request_identify()
                form = self.headers.get("Content-Type", "")
                if form.startswith("application/x-www-form-urlencoded"):
                    # From the page's button: back to the page.
                    self._send(303, "text/plain", b"see /_ref/\n",
                               [("Location", "/_ref/")])
                else:
                    self._send_json(200, {"status": "ok"})
            elif route == ("GET", "/_ref"):
                self._send(200, "text/html; charset=utf-8", self._page())
            else:
                self._send_json(404, {"error": "no such control call"})
        except ConfigError as e:
            self._send_json(400, {"error": str(e)})
        except ValueError as e:
            self._send_json(400, {"error": str(e)})

    def _page(self):
        state = self.server.state
        records = state.records_copy()[-RECENT_ON_PAGE:]
        rows = []
        for r in reversed(records):
            body = base64.b64decode(r["body"]).decode("utf-8", "replace")
            target = r["path"] + ("?" + r["query"] if r["query"] else "")
            rows.append(
                "<tr><td>%d</td><td>%s</td><td>%s</td><td>%s</td>"
                "<td><pre>%s</pre></td></tr>" % (
                    r["seq"],
                    html.escape(time.strftime("%H:%M:%S",
                                              time.localtime(r["time"]))),
                    html.escape(r["method"]), html.escape(target),
                    html.escape(body[:2000])))
        config = html.escape(json.dumps(state.config(), indent=2))
        page = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Tessaly reference service</title>
<style>
body {{ font-family: sans-serif; margin: 1.5em; }}
table {{ border-collapse: collapse; }}
td, th {{ border: 1px solid #ccc; padding: 0.2em 0.5em; vertical-align: top;
          text-align: left; }}
pre {{ margin: 0; white-space: pre-wrap; max-width: 60em; }}
button {{ font-size: 1.2em; padding: 0.3em 1em; }}
</style></head>
<body>
<h1>Tessaly reference service</h1>
<form method="post" action="/_ref/identify">
<button type="submit">Ask the device to identify itself</button>
</form>
<p>The next identify poll will be answered with "identify": true.
<a href="/_ref/">Refresh</a></p>
<h2>Recent requests ({count} in total)</h2>
<table><tr><th>#</th><th>time</th><th>method</th><th>path</th><th>body</th></tr>
{rows}
</table>
<h2>Configuration</h2>
<pre>{config}</pre>
</body></html>
""".format(count=len(state.records_copy()), rows="\n".join(rows),
           config=config)
        return page.encode("utf-8")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Never share a port with another process: with port 0 the IPv6 socket
    # must get the port only if nobody else has it.
    allow_reuse_port = False
    request_queue_size = 64

    def __init__(self, address, family, state, ssl_context):
        self.address_family = family
        self.state = state
        self.ssl_context = ssl_context
        super().__init__(address, Handler, bind_and_activate=False)
        if family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            self.server_bind()
            self.server_activate()
        except BaseException:
            self.server_close()
            raise

    def server_bind(self):
        # Skips HTTPServer's reverse lookup of the host name.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        log("%s error: %s" % (client_address[0], sys.exc_info()[1]))


def _family(host):
    return (socket.AF_INET6 if ipaddress.ip_address(host).version == 6
            else socket.AF_INET)


def bind_servers(hosts, port, state, ssl_context):
    """Bind every host on one port; with port 0 pick one free on all."""
    attempts = 20 if port == 0 else 1
    hosts = list(hosts)
    while True:
        servers = []
        try:
            chosen = port
            for host in hosts:
                server = Server((host, chosen), _family(host), state,
                                ssl_context)
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


def make_ssl_context(certs):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(certs["cert"], certs["key"])
    context.set_alpn_protocols(["http/1.1"])
    return context


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
    try:
        servers = bind_servers(hosts, args.port, state, make_ssl_context(certs))
    except OSError as e:
        sys.exit("refservice: cannot listen on port %d: %s" % (args.port, e))

    port = servers[0].server_address[1]
    first_line = {
        "port": port,
        "url": "https://localhost:%d" % port,
        "ca": certs["ca"],
        "hosts": [s.server_address[0] for s in servers],
        "pid": os.getpid(),
    }
    sys.stdout.write(json.dumps(first_line) + "\n")
    sys.stdout.flush()
    log("listening on %s port %d" % (
        ", ".join(first_line["hosts"]), port))

    done = threading.Event()

    def stop(*_):
        done.set()

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
            with contextlib.suppress(OSError, ValueError):
                while sys.stdin.buffer.read1(4096):
                    pass
            done.set()
        threading.Thread(target=watch, daemon=True).start()

    while not done.wait(0.5):
        pass
    log("stopping")
    state.stopping.set()
    for server in servers:
        server.shutdown()
        server.server_close()


# --------------------------------------------------------------------------
# Command line client for people
# --------------------------------------------------------------------------

def _client_call(args, method, path, body=None):
    ca = os.path.join(os.path.abspath(args.state_dir), CA_CERT)
    if not os.path.isfile(ca):
        sys.exit("refservice: no %s; is --state-dir right?" % ca)
    context = ssl.create_default_context(cafile=ca)
    data = None if body is None else body.encode("utf-8")
    request = urllib.request.Request(args.url.rstrip("/") + path, data=data,
                                     method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(request, context=context,
                                    timeout=10) as reply:
            return json.loads(reply.read().decode("utf-8"))
    except urllib.error.HTTPError as e:
        detail = e.read().decode("utf-8", "replace").strip()
        sys.exit("refservice: %s %s: HTTP %d %s" % (method, path, e.code,
                                                      detail))
    except (urllib.error.URLError, OSError) as e:
        sys.exit("refservice: cannot reach %s: %s" % (args.url, e))


def _print_record(record, full):
    stamp = time.strftime("%Y-%m-%d %H:%M:%S",
                          time.localtime(record["time"]))
    target = record["path"] + ("?" + record["query"] if record["query"] else "")
    print("#%d %s.%03d %s %s %s" % (
        record["seq"], stamp, int(record["time"] * 1000) % 1000,
        record["client"], record["method"], target))
    for name, value in record["headers"]:
        print("    %s: %s" % (name, value))
    body = base64.b64decode(record["body"])
    if body:
        text = body.decode("utf-8", "replace")
        if not full and len(text) > 4000:
            text = text[:4000] + "\n... (%d bytes in all)" % len(body)
        print()
        for line in text.splitlines():
            print("    " + line)
    print()


def cmd_identify(args):
    _client_call(args, "POST", "/_ref/identify", "{}")
    print("The next identify poll will be answered with \"identify\": true.")


def cmd_requests(args):
    query = {}
    if args.path:
        query["path"] = args.path
    suffix = "?" + urllib.parse.urlencode(query) if query else ""
    records = _client_call(args, "GET", "/_ref/requests" + suffix)
    if args.json:
        print(json.dumps(records, indent=2))
        return
    if not records:
        print("No requests recorded.")
    for record in records:
        _print_record(record, args.full)


def cmd_config(args):
    if args.json is None:
        config = _client_call(args, "GET", "/_ref/config")
    else:
        try:
            json.loads(args.json)
        except ValueError as e:
            sys.exit("refservice: the configuration is not valid JSON: %s" % e)
        config = _client_call(args, "POST", "/_ref/config", args.json)
    print(json.dumps(config, indent=2))


def cmd_reset(args):
    _client_call(args, "POST", "/_ref/reset", "{}")
    print("Records cleared and configuration back to defaults.")


def cmd_make_certs(args):
    try:
        certs = ensure_certs(args.state_dir)
    except CertError as e:
        sys.exit("refservice: %s" % e)
    print(certs["ca"])


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="refservice.py",
        description="Reference HTTPS service for developing and testing "
                    "the Tessaly agent.")
    sub = parser.add_subparsers(dest="command", required=True)

    def with_state(p):
        p.add_argument("--state-dir", default=default_state_dir(),
                       help="where the CA and server certificate live "
                            "(default: %(default)s)")

    def with_url(p):
        with_state(p)
        p.add_argument("--url", default=DEFAULT_URL,
                       help="the running service (default: %(default)s)")

    p = sub.add_parser("make-certs", help="create the certificates and exit; "
                       "prints the CA file's path")
    with_state(p)
    p.set_defaults(func=cmd_make_certs)

    p = sub.add_parser("serve", help="run the service")
    with_state(p)
    p.add_argument("--port", type=int, default=DEFAULT_PORT,
                   help="port to listen on, 0 for any free one "
                        "(default: %(default)s)")
    p.add_argument("--host", action="append",
                   help="loopback address to listen on; may be repeated "
                        "(default: 127.0.0.1 and ::1)")
    p.add_argument("--stdin-watch", action="store_true",
                   help="stop when standard input is closed")
    p.set_defaults(func=serve)

    p = sub.add_parser("identify", help="ask the device to identify itself "
                       "at its next poll")
    with_url(p)
    p.set_defaults(func=cmd_identify)

    p = sub.add_parser("requests", help="show the recorded requests")
    with_url(p)
    p.add_argument("--path", help="only requests for this path")
    p.add_argument("--full", action="store_true",
                   help="do not shorten long bodies")
    p.add_argument("--json", action="store_true",
                   help="print the records as JSON, bodies in base64")
    p.set_defaults(func=cmd_requests)

    p = sub.add_parser("config", help="show the configuration, or merge a "
                       "JSON object into it")
    with_url(p)
    p.add_argument("json", nargs="?", help='e.g. \'{"identify": true}\'')
    p.set_defaults(func=cmd_config)

    p = sub.add_parser("reset", help="clear records and configuration")
    with_url(p)
    p.set_defaults(func=cmd_reset)

    args = parser.parse_args(argv)
    args.func(args)


if __name__ == "__main__":
    main()
