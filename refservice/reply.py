"""A complete, ordinary answer, the same over HTTP/1.1 and HTTP/2."""

import collections
import json

Reply = collections.namedtuple(
    "Reply", "status content_type body headers after", defaults=((), None))
Reply.__doc__ = """status, content_type, body (bytes), extra headers as
(name, value) pairs, and after: called once the answer is on its way (or
None)."""


def json_reply(status, value, after=None):
    return Reply(status, "application/json",
                 (json.dumps(value, indent=2) + "\n").encode("utf-8"),
                 after=after)
