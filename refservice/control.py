"""The control API under /_ref/, for tests and people; never recorded."""

import base64
import html
import json
import time
import urllib.parse

from .config import ConfigError
from .log import log
from .reply import Reply, json_reply

RECENT_ON_PAGE = 50


def is_control(path):
    return path == "/_ref" or path.startswith("/_ref/")


def handle(state, method, path, query, content_type, body):
    """The Reply to one control call."""
    params = urllib.parse.parse_qs(query)
    route = (method, path.rstrip("/") or "/")
    try:
        if route == ("GET", "/_ref/requests"):
            since = int(params.get("since", ["0"])[0])
            only = params.get("path", [None])[0]
            return json_reply(200, state.records_copy(only, since))
        if route == ("POST", "/_ref/reset"):
            state.reset()
            return json_reply(200, {"status": "ok"})
        if route == ("GET", "/_ref/config"):
            return json_reply(200, state.config())
        if route == ("POST", "/_ref/config"):
            try:
                update = json.loads(body.decode("utf-8") or "null")
            except (UnicodeDecodeError, ValueError) as e:
                raise ConfigError("not valid JSON: %s" % e)
            return json_reply(200, state.merge(update))
        if route == ("POST", "/_ref/identify"):
            state.request_identify()
            if content_type.startswith("application/x-www-form-urlencoded"):
                # From the page's button: back to the page.
                return Reply(303, "text/plain", b"see /_ref/\n",
                             [("Location", "/_ref/")])
            return json_reply(200, {"status": "ok"})
        if route == ("POST", "/_ref/shutdown"):
            # Stops only once the answer is on its way, so the caller gets it.
            def stop():
                log("shutdown requested through the control API")
                state.stop_requested.set()
            return json_reply(200, {"status": "stopping"}, after=stop)
        if route == ("GET", "/_ref"):
            return Reply(200, "text/html; charset=utf-8", page(state))
        return json_reply(404, {"error": "no such control call"})
    except ValueError as e:
        # ConfigError is a ValueError too.
        return json_reply(400, {"error": str(e)})


def page(state):
    records = state.records_copy()
    rows = []
    for r in reversed(records[-RECENT_ON_PAGE:]):
        body = base64.b64decode(r["body"]).decode("utf-8", "replace")
        target = r["path"] + ("?" + r["query"] if r["query"] else "")
        rows.append(
            "<tr><td>%d</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>"
            "<td><pre>%s</pre></td></tr>" % (
                r["seq"],
                html.escape(time.strftime("%H:%M:%S",
                                          time.localtime(r["time"]))),
                html.escape(r["protocol"]), html.escape(r["method"]),
                html.escape(target), html.escape(body[:2000])))
    config = html.escape(json.dumps(state.config(), indent=2))
    text = """<!DOCTYPE html>
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
<table><tr><th>#</th><th>time</th><th>protocol</th><th>method</th><th>path</th>
<th>body</th></tr>
{rows}
</table>
<h2>Configuration</h2>
<pre>{config}</pre>
</body></html>
""".format(count=len(records), rows="\n".join(rows), config=config)
    return text.encode("utf-8")
