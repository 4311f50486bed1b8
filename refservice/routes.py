"""Which request is which service route, and what that route answers.

HTTP/1.1 and HTTP/2 connections both ask here what to send; they differ
only in how they put it on the wire.
"""

import json

from .config import (DEFAULT_REDIRECT_STATUS, DEFAULT_TRICKLE_INTERVAL,
                     HTTP2_ONLY_ACTIONS)
from .reply import Reply, json_reply

SERVICE_ROUTES = {
    "/login": ("login", "POST"),
    "/api/devices": ("devices", "POST"),
    "/api/heartbeat": ("heartbeat", "POST"),
    "/api/ping-identify": ("identify", "POST"),
    "/": ("ip", "GET"),
}

# A trickled answer announces this length and never gets near it: at one
# byte a second that takes a quarter of an hour. It stays below the
# smallest size the agent refuses on sight (1 KiB for the public address),
# so what ends the exchange is the client's clock, which is what a trickle
# is for.
TRICKLE_ANNOUNCED_LENGTH = 1000
# Endless answers go out in writes of about this size.
ENDLESS_PIECE_BYTES = 256 * 1024
ENDLESS_FILLER = b"endless "
# endless_headers: one header line per this much filler.
HEADER_FILLER = b"f" * 1024


def find(path, method):
    """(route name, None), or (None, the error Reply) for an unknown path or
    a known path with the wrong method."""
    if path not in SERVICE_ROUTES:
        return None, json_reply(404, {"error": "not found"})
    name, wanted = SERVICE_ROUTES[path]
    if method != wanted:
        return None, Reply(405, "application/json",
                           b'{"error": "method not allowed"}\n',
                           [("Allow", wanted)])
    return name, None


class Plan:
    """How one request to a service route is answered, fixed on arrival."""

    def __init__(self, name, override, protocol):
        self.name = name
        self.override = override
        action = override.get("action", "answer")
        if action in HTTP2_ONLY_ACTIONS and protocol != "h2":
            # A client that did not negotiate HTTP/2 sees the usual answer.
            action = "answer"
        self.action = action
        self.delay = override.get("delay", 0)
        self.body_delay = override.get("body_delay", 0)
        self.interval = override.get("interval", DEFAULT_TRICKLE_INTERVAL)
        self.announced = override.get("announced", TRICKLE_ANNOUNCED_LENGTH)

    def status(self, default=200):
        return self.override.get("status", default)

    def content_type(self):
        default = "text/plain" if self.name == "ip" else "application/json"
        return self.override.get("content_type", default)

    def redirect(self):
        """(status, location) of a redirect answer."""
        return (self.override.get("status", DEFAULT_REDIRECT_STATUS),
                self.override["location"])

    def answer(self, state, body, client_host):
        """(status, content_type, payload, repeat) of the route's own answer.

        Uses up one-shot settings (identify_once, fail_heartbeats), so call
        it only for requests that get (part of) that answer.
        """
        if self.name == "login":
            status, value = state.answer_login(body)
        elif self.name == "devices":
            status, value = 201, {"status": "ok"}
        elif self.name == "heartbeat":
            status, value = state.answer_heartbeat()
        elif self.name == "identify":
            status, value = state.answer_identify()
        else:
            status, value = 200, None
        if value is None:
            payload = (client_host + "\n").encode("utf-8")
        else:
            payload = (json.dumps(value) + "\n").encode("utf-8")
        if "body" in self.override:
            payload = self.override["body"].encode("utf-8")
        return (self.status(status), self.content_type(), payload,
                self.override.get("body_repeat", 1))

    def endless_piece(self):
        """One write's worth of an endless body: the route's body repeated,
        or filler."""
        unit = self.override.get("body", "").encode("utf-8") or ENDLESS_FILLER
        return unit * max(1, ENDLESS_PIECE_BYTES // len(unit))
