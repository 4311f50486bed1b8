#!/usr/bin/env bash
# The service asks the device to identify itself: the first poll comes about
# 15 s after start (nothing is polled at start-up), opens the "Identify" box
# and plays the alert; the next poll, while the box is open, does not stack a
# second one. Each poll carries the host name in lower case and the MAC that
# the adapter reader gives, byte for byte. Under wine the alert must play into
# the PulseAudio null sink (winepulse shows it there as a stream), and
# SCREENSHOT is written with the box open.
# Usage: as tests/e2e/lib.sh describes.
service_config='{"identify": true}'

on_display() {
    local box after boxes streams
    start_program agent
    await_window "after start" || return 1
    box=$(shown_window Identify $((window_wait + 30))) || { echo "FAIL: no Identify box"; cat "$log"; return 1; }
    after=$(since "$started")
    echo "Identify box after $after s"
    awk -v t="$after" 'BEGIN { exit !(t >= 14) }' || { echo "FAIL: polled too early"; return 1; }
    if [ -n "$wine_prefix" ]; then
        for _ in $(seq 20); do
            streams=$(pactl list short sink-inputs | wc -l)
            [ "$streams" -gt 0 ] && break
            sleep 0.25
        done
        echo "$streams stream(s) playing into the null sink while the box is open"
        [ "$streams" -gt 0 ] || { echo "FAIL: the alert plays into no sound sink"; return 1; }
        [ -z "$screenshot" ] || { import -window root "$screenshot" && echo "screenshot: $screenshot"; }
    fi
    # The next poll, 15 s later, finds it open: still one box.
    sleep 17
    for _ in $(seq 5); do boxes=$(xdotool search --onlyvisible --name '^Identify$' 2>/dev/null) && break; sleep 0.2; done
    boxes=$(grep -c . <<<"$boxes")
    [ "$boxes" -eq 1 ] || { echo "FAIL: $boxes Identify boxes open"; return 1; }
    kill "$pid"
}

on_record() {
    python3 - "$work/requests.json" <<'PY'
import base64, json, os, socket, sys

polls = [r for r in json.load(open(sys.argv[1])) if r["path"] == "/api/ping-identify"]
failures = []
if len(polls) < 2:
    failures.append("%d identify polls, expected at least 2" % len(polls))
expected = ('{\n    "device_name": "%s",\n    "mac_address": "%s"\n}\n'
            % (socket.gethostname().lower(), os.environ["mac"])).encode()
for poll in polls:
    if base64.b64decode(poll["body"]) != expected:
        failures.append("identify poll body %r, expected %r" % (base64.b64decode(poll["body"]), expected))
if failures:
    print("FAIL: " + "\nFAIL: ".join(failures))
    sys.exit(1)
print("ok: %d identify polls, byte for byte" % len(polls))
PY
}

source "$(dirname "$0")/lib.sh"
