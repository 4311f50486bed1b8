"""The command line: serve, make-certs, actions, and the calls for people."""

import argparse
import base64
import json
import os
import ssl
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

from .certs import CA_CERT, CertError, ensure_certs
from .config import ACTIONS
from .server import serve

DEFAULT_PORT = 8443
DEFAULT_URL = "https://localhost:%d" % DEFAULT_PORT


def default_state_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(
        os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tessaly-refservice")


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


def cmd_actions(args):
    print("\n".join(ACTIONS))


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

    p = sub.add_parser("actions", help="list the actions a route can be "
                       "told to take, one a line")
    p.set_defaults(func=cmd_actions)

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
    p.add_argument("--ready-file", metavar="PATH",
                   help="once listening, also write the line printed on "
                        "standard output to this file (atomically)")
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
