"""What a configuration update may hold, checked before anything is applied."""

import importlib

try:
    importlib.import_module("h2.connection")
    HTTP2_MISSING = None
except ImportError:
    HTTP2_MISSING = ("http2: this Python cannot import the h2 module "
                     "(Debian: apt-get install python3-h2); only HTTP/1.1 "
                     "is available")

ROUTES = ("login", "devices", "heartbeat", "identify", "ip")
ACTIONS = ("answer", "hang", "drop", "drop_mid_body", "trickle", "endless",
           "endless_chunked", "endless_headers", "endless_header_line",
           "endless_chunk_line", "one_byte_chunks", "redirect",
           "h2_header_bomb", "h2_endless_continuation")
# Over HTTP/1.1 these fall back to the route's normal answer. The other way
# round, endless_headers has no HTTP/2 form: an h2 stream answers as usual.
HTTP2_ONLY_ACTIONS = ("h2_header_bomb", "h2_endless_continuation")
REDIRECT_STATUSES = (301, 302, 303, 307, 308)
DEFAULT_REDIRECT_STATUS = 307
DEFAULT_TRICKLE_INTERVAL = 1.0

ROUTE_FIELDS = {
    "status": int,
    "body": str,
    "body_repeat": int,
    "content_type": str,
    "delay": (int, float),
    "body_delay": (int, float),
    "action": str,
    "interval": (int, float),
    "announced": int,
    "location": str,
    "times": int,
}

DEFAULT_USERS = {"demo": {"password": "demo", "user_id": 42}}


class ConfigError(ValueError):
    pass


def check_route(name, value):
    if not isinstance(value, dict):
        raise ConfigError("%s: expected an object or null" % name)
    for key, item in value.items():
        if key not in ROUTE_FIELDS:
            raise ConfigError("%s: unknown key %r" % (name, key))
        wanted = ROUTE_FIELDS[key]
        if isinstance(item, bool) or not isinstance(item, wanted):
            raise ConfigError("%s.%s: wrong type" % (name, key))
    action = value.get("action", "answer")
    if action not in ACTIONS:
        raise ConfigError("%s.action: must be one of %s" % (
            name, ", ".join(ACTIONS)))
    if "status" in value and not 100 <= value["status"] <= 599:
        raise ConfigError("%s.status: out of range" % name)
    if value.get("body_repeat", 1) < 0:
        raise ConfigError("%s.body_repeat: must not be negative" % name)
    for key in ("delay", "body_delay"):
        if value.get(key, 0) < 0:
            raise ConfigError("%s.%s: must not be negative" % (name, key))
    if value.get("interval", DEFAULT_TRICKLE_INTERVAL) <= 0:
        raise ConfigError("%s.interval: must be more than 0" % name)
    if value.get("announced", 1) < 1:
        raise ConfigError("%s.announced: must be at least 1" % name)
    if value.get("times", 1) < 1:
        raise ConfigError("%s.times: must be at least 1" % name)
    if action == "redirect":
        if value.get("status", DEFAULT_REDIRECT_STATUS) not in REDIRECT_STATUSES:
            raise ConfigError("%s.status: a redirect is one of %s" % (
                name, ", ".join(map(str, REDIRECT_STATUSES))))
        if "location" not in value:
            raise ConfigError("%s.location: a redirect needs one" % name)


def check_update(update):
    """Raises ConfigError unless every key and value of update is good."""
    if not isinstance(update, dict):
        raise ConfigError("the configuration must be a JSON object")
    for key, value in update.items():
        if key == "identify":
            if value is not None and not isinstance(value, (bool, dict)):
                raise ConfigError("identify: expected true, false, "
                                  "an object or null")
            if isinstance(value, dict):
                check_route(key, value)
        elif key in ROUTES:
            if value is not None:
                check_route(key, value)
        elif key == "handshake_delay":
            if value is not None and (isinstance(value, bool)
                                      or not isinstance(value, (int, float)) or value < 0):
                raise ConfigError("handshake_delay: expected a number of seconds")
        elif key == "silent":
            if value is not None and (not isinstance(value, (bool, int, float))
                                      or (not isinstance(value, bool) and value <= 0)):
                raise ConfigError("silent: expected true, false or a number of seconds")
        elif key in ("identify_once", "http2"):
            if value is not None and not isinstance(value, bool):
                raise ConfigError("%s: expected true or false" % key)
            if key == "http2" and value and HTTP2_MISSING:
                raise ConfigError(HTTP2_MISSING)
        elif key == "fail_heartbeats":
            if value is None:
                continue
            if (isinstance(value, bool) or not isinstance(value, int)
                    or value < 0):
                raise ConfigError("fail_heartbeats: expected a count")
        elif key == "users":
            check_users(value)
        else:
            raise ConfigError("unknown configuration key %r" % key)


def check_users(value):
    if value is None:
        return
    if not isinstance(value, dict):
        raise ConfigError("users: expected an object or null")
    for user, entry in value.items():
        if entry is None:
            continue
        if not isinstance(entry, dict):
            raise ConfigError("users.%s: expected an object" % user)
        if not isinstance(entry.get("password"), str):
            raise ConfigError("users.%s.password: expected a string" % user)
