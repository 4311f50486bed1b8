"""Configuration and request records, shared by all connections."""

import base64
import copy
import json
import threading
import time

from .config import DEFAULT_USERS, ROUTES, check_update


class State:
    def __init__(self):
        self.lock = threading.Lock()
        # Set once the service stops: every connection's loop watches it.
        self.stopping = threading.Event()
        # Set by whatever asks the service to stop (a signal, a closed
        # standard input, the shutdown control call).
        self.stop_requested = threading.Event()
        self.records = []
        self.sequence = 0
        self._defaults()

    def _defaults(self):
        self.routes = {}
        self.identify = False
        self.identify_once = False
        self.fail_heartbeats = 0
        self.http2 = False
        # Connections accepted before this time (time.monotonic()) stay silent.
        self.silent_until = 0.0
        # Seconds a connection accepted from now on waits for its handshake.
        self.handshake_delay = 0
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
            "http2": self.http2,
            "silent": self.silent_until > time.monotonic(),
            "handshake_delay": self.handshake_delay,
            "users": copy.deepcopy(self.users),
            "routes": copy.deepcopy(self.routes),
        }

    def merge(self, update):
        """Merge a configuration object; checks everything before applying."""
        check_update(update)
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
                elif key == "http2":
                    self.http2 = bool(value)
                elif key == "silent":
                    if value is True:
                        self.silent_until = float("inf")
                    elif not value:
                        self.silent_until = 0.0
                    else:
                        self.silent_until = time.monotonic() + value
                elif key == "handshake_delay":
                    self.handshake_delay = value or 0
                elif key == "fail_heartbeats":
                    self.fail_heartbeats = value or 0
                elif key == "users":
                    self._merge_users(value)
            return self._config_locked()

    def _merge_users(self, value):
        if value is None:
            self.users = copy.deepcopy(DEFAULT_USERS)
            return
        for user, entry in value.items():
            if entry is None:
                self.users.pop(user, None)
            else:
                self.users[user] = copy.deepcopy(entry)

    def offers_http2(self):
        with self.lock:
            return self.http2

    def is_silent(self):
        with self.lock:
            return time.monotonic() < self.silent_until

    def delay_before_handshake(self):
        with self.lock:
            return self.handshake_delay

    def request_identify(self):
        with self.lock:
            self.identify_once = True

    def record(self, client, method, path, query, headers, body, protocol):
        """Records one request; headers is a list of (name, value) strings."""
        with self.lock:
            self.sequence += 1
            entry = {
                "seq": self.sequence,
                "time": time.time(),
                "monotonic": time.monotonic(),
                "client": client[0],
                "client_port": client[1],
                "method": method,
                "path": path,
                "query": query,
                "headers": [[name, value] for name, value in headers],
                "body": base64.b64encode(body).decode("ascii"),
                "protocol": protocol,
            }
            self.records.append(entry)
            return entry

    def records_copy(self, path=None, since=0):
        with self.lock:
            return [copy.deepcopy(r) for r in self.records
                    if (path is None or r["path"] == path)
                    and r["seq"] > since]

    def take_route(self, name):
        """The override for one request to route name.

        An override with "times" applies to that many requests; the one that
        uses it up puts the route back to its default for the next.
        """
        with self.lock:
            override = self.routes.get(name)
            if override is None:
                return {}
            taken = copy.deepcopy(override)
            if "times" in override:
                override["times"] -= 1
                if override["times"] <= 0:
                    del self.routes[name]
            return taken

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
