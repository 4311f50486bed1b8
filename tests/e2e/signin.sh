#!/usr/bin/env bash
# A person signs in: xdotool clicks into each field of the built program,
# types the user name and password and presses Login. The reference service's
# record must then hold one login, one public-address lookup and one
# registration, byte for byte: the host name as it is, the MAC that the
# adapter reader gives, the OS name (under wine, Windows' as Qt reads it).
# Usage: as tests/e2e/lib.sh describes.

on_display() {
    start_program agent
    await_window "after start" || return 1
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool mousemove --window "$window" 110 55 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 95 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 135 click 1
    # Registered, and a few seconds more for anything sent twice.
    for _ in $(seq "$window_wait"); do
        service requests --path /api/devices | grep -q '^#' && break
        sleep 1
    done
    echo "registration recorded $(since "$started") s after start"
    sleep 5
    kill "$pid"
}

on_record() {
    python3 - "$work/requests.json" <<'PY'
import base64, json, os, socket, sys

records = json.load(open(sys.argv[1]))
def of(path):
    return [r for r in records if r["path"] == path]

def os_pretty_name():
    for line in open("/etc/os-release"):
        if line.startswith("PRETTY_NAME="):
            return line.split("=", 1)[1].strip().strip('"')
    return ""

failures = []
logins, lookups, registrations = of("/login"), of("/"), of("/api/devices")
if len(logins) != 1 or len(lookups) != 1 or len(registrations) != 1:
    print("FAIL: expected one login, one address lookup and one registration, got %d, %d, %d"
          % (len(logins), len(lookups), len(registrations)))
    sys.exit(1)

login = base64.b64decode(logins[0]["body"])
expected_login = b'{\n    "password": "demo",\n    "username": "demo"\n}\n'
if login != expected_login:
    failures.append("login body %r, expected %r" % (login, expected_login))

address = lookups[0]["client"]
registration = registrations[0]
body = base64.b64decode(registration["body"])
os_name = os_pretty_name()
if os.environ["wine_prefix"]:
    # Windows' name as Qt reads it under wine: only its start is known here.
    try:
        os_name = json.loads(body).get("os", "")
    except ValueError:
        os_name = ""
    print("registered OS name: %r" % os_name)
    if not os_name.startswith("Windows"):
        failures.append("OS name %r does not start with 'Windows'" % os_name)
expected = ('{\n    "device_name": "%s",\n    "ip_address": "%s",\n    "mac_address": "%s",\n'
            '    "os": "%s",\n    "user_id": 42\n}\n'
            % (socket.gethostname(), address, os.environ["mac"], os_name)).encode()
if registration["query"] != "uid=42":
    failures.append("registration query %r" % registration["query"])
if body != expected:
    failures.append("registration body %r, expected %r" % (body, expected))
for record in logins + registrations:
    headers = {k.lower(): v for k, v in record["headers"]}
    if headers.get("content-type") != "application/json":
        failures.append("%s Content-Type %r" % (record["path"], headers.get("content-type")))

if failures:
    print("FAIL: " + "\nFAIL: ".join(failures))
    sys.exit(1)
print("ok: typed sign-in sent the login and registered the device, byte for byte")
PY
}

source "$(dirname "$0")/lib.sh"
