#!/usr/bin/env bash
# A person signs in with the built program: on a virtual X display with a tray,
# xdotool types the user name and password and clicks Login; the reference
# service's record must then hold the login and the registration, byte for byte.
# The service then asks the device to identify itself: the first poll comes
# about 15 s after start, shows the "Identify" box, and the next poll while it
# is open does not stack a second one.
#
# One agent per session: with the window closed to the tray, a second start
# ends at once with exit code 0 and the first agent shows its window again,
# still with one tray icon and one identify poll every 15 s. Killed outright,
# the agent leaves nothing that keeps the next start from running, even when
# its process number has since gone to another process of its name.
#
# The program talks to its compiled-in address, https://localhost:PORT. To
# give it that port without touching anything else on the machine, the test
# runs in a network namespace of its own, with only a loopback interface.
#
# Usage: login.sh PROGRAM SERVICE_URL REFSERVICE_SCRIPT STATE_DIR MACPROBE WMCLOSE
#        login.sh --wine SESSION PREFIX SCREENSHOT PROGRAM SERVICE_URL REFSERVICE_SCRIPT STATE_DIR MACPROBE WMCLOSE PROBE
# WMCLOSE is tests/e2e/wmclose, built for this machine.
# With --wine, PROGRAM and MACPROBE are Windows executables run under wine,
# in wine prefix PREFIX, in the display, tray and sound sink that SESSION
# (scripts/wine-session.sh) gives, and PROBE is tests/wine/probe.cpp built for
# Windows: wine keeps a hidden window's X window mapped, so Windows is asked
# whether the window is shown. The window must then have a 220 x 224 client
# area, the expected MAC is what GetAdaptersInfo gives (MACPROBE), the OS name
# is Windows', SCREENSHOT is written with the Identify box open, and whether
# the tray icon docks and the sound plays is reported.
set -uo pipefail

wine_session= wine_prefix= screenshot=
if [ "${1:-}" = --wine ]; then
    wine_session=$2 wine_prefix=$3 screenshot=$4
    shift 4
fi
program=$1 service_url=$2 refservice=$3 state_dir=$4 macprobe=$5 wmclose=$6 probe=${7:-}
here=$(cd "$(dirname "$0")" && pwd)

if [[ ! $service_url =~ ^https://localhost:([0-9]+)$ ]]; then
    echo "SKIP: this build talks to $service_url, not to a local reference service"
    exit 77
fi
port=${BASH_REMATCH[1]}

if [ -z "${TESSALY_IN_NETNS:-}" ]; then
    if ! unshare --net true 2>/dev/null; then
        echo "SKIP: cannot make a network namespace here"
        exit 77
    fi
    # A host name with capitals, too: registered as it is, polled in lower case.
    exec env TESSALY_IN_NETNS=1 unshare --net --uts bash "$0" ${wine_session:+--wine "$wine_session" "$wine_prefix" "$screenshot"} "$@"
fi

ip link set lo up
hostname Tessaly-E2E-Host
# Two Ethernet-like adapters with addresses of our choosing; the program must
# report the one the kernel lists first. Where veth is not available, the
# namespace has no adapter and the MAC text is empty.
ip link add tsy0 address 02:ff:00:00:00:01 type veth peer name tsy1 address 02:0a:1b:2c:3d:4e 2>/dev/null || true
work=$(mktemp -d)
service_pid=
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

python3 "$refservice" serve --port "$port" --state-dir "$state_dir" >"$work/service.out" 2>"$work/service.log" &
service_pid=$!
for _ in $(seq 100); do [ -s "$work/service.out" ] && break; sleep 0.1; done
[ -s "$work/service.out" ] || { echo "FAIL: the reference service did not start"; cat "$work/service.log"; exit 1; }
python3 "$refservice" config '{"identify": true}' --url "https://localhost:$port" --state-dir "$state_dir" >/dev/null \
    || { echo "FAIL: could not configure the service"; exit 1; }

if [ -n "$wine_session" ]; then
    session=("$wine_session" "$wine_prefix")
    run=(wine)
    window_wait=120 box_wait=60
else
    session=("$here/xsession.sh" --tray)
    run=()
    # The session's lock is this test's own, whatever agent runs elsewhere.
    export XDG_RUNTIME_DIR=$work/run
    window_wait=20 box_wait=30
fi
export program macprobe wmclose probe work window_wait box_wait screenshot
export run_prefix="${run[*]}"
"${session[@]}" bash -c '
    export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/run}
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    # What the adapter reader gives here, on the platform the program runs on.
    $run_prefix "$macprobe" >"$work/mac.txt" 2>"$work/macprobe.log" ||
        { echo "FAIL: the MAC probe failed"; cat "$work/macprobe.log"; exit 1; }
    started=$(date +%s.%N)
    $run_prefix "$program" >"$work/program.log" 2>&1 &
    pid=$!
    window=$(timeout "$window_wait" xdotool search --sync --onlyvisible --name "^Tessaly$" | head -1)
    [ -n "$window" ] || { echo "FAIL: no window"; cat "$work/program.log"; exit 1; }
    date +%s.%N >"$work/mapped"
    size=$(xwininfo -id "$window" | awk "/Width:/ { w = \$2 } /Height:/ { h = \$2 } END { print w \"x\" h }")
    echo "window \"Tessaly\" mapped $(awk -v a="$started" -v b="$(cat "$work/mapped")" "BEGIN { printf \"%.1f\", b - a }") s after start, client area $size"
    if [ -n "$screenshot" ] && [ "$size" != 220x224 ]; then
        echo "FAIL: the client area is $size, not 220x224"; kill $pid; exit 1
    fi
    # Icons docked in the tray: windows nested in another client (a top-level
    # window sits right below the root) of the program, or under wine of its
    # shell, which docks each icon as a window of its own.
    tray_icons() { xwininfo -root -tree | grep -Eci "^ {6,}0x[0-9a-f]+ .*\(\"(tessaly|explorer\.exe)\""; }
    window_state() {
        if [ -n "$probe" ]; then
            wine "$probe" shown Tessaly | tr -d "\r"
        else
            xwininfo -id "$window" | sed -n "s/.*Map State: IsViewable/shown/p; s/.*Map State: IsUnMapped/hidden/p"
        fi
    }
    window_becomes() {
        for _ in $(seq 100); do [ "$(window_state)" = "$1" ] && return 0; sleep 0.1; done
        return 1
    }
    # Closed to the tray, then started again: the second start ends at once
    # with 0 and the running agent shows its window again.
    hand_over() {
        # Closing hides the window only once the tray shows the icon.
        for _ in $(seq 100); do [ "$(tray_icons)" -ge 1 ] && break; sleep 0.1; done
        "$wmclose" "$window"
        window_becomes hidden || {
            local state; state=$(window_state)
            echo "FAIL: the closed window is ${state:-gone}, not hidden ($(tray_icons) tray icon(s))"
            cat "$work/program.log" "$work/restart.log" 2>/dev/null; return 1; }
        local second status took icons
        second=$(date +%s.%N)
        timeout "$window_wait" $run_prefix "$program" >"$work/second.log" 2>&1
        status=$?
        took=$(awk -v a="$second" -v b="$(date +%s.%N)" "BEGIN { printf \"%.1f\", b - a }")
        [ $status -eq 0 ] || { echo "FAIL: a second start exited with $status after $took s"; cat "$work/second.log"; return 1; }
        window_becomes shown || { echo "FAIL: a second start did not show the window again"; return 1; }
        icons=$(tray_icons)
        echo "a second start ended with 0 after $took s; the window is shown again; $icons tray icon(s)"
        [ "$icons" -eq 1 ] || { echo "FAIL: $icons tray icons"; return 1; }
    }
    hand_over || { kill $pid; exit 1; }
    # Click into each field as a person would, type, then press Login.
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool mousemove --window "$window" 110 55 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 95 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 135 click 1

    # The first identify poll opens the notice.
    box=$(timeout "$box_wait" xdotool search --sync --onlyvisible --name "^Identify$" | head -1)
    [ -n "$box" ] || { echo "FAIL: no Identify box within $box_wait s"; kill $pid; exit 1; }
    shown=$(date +%s.%N)
    after=$(awk -v a="$started" -v b="$shown" "BEGIN { printf \"%.1f\", b - a }")
    echo "Identify box after $after s"
    # Nothing is polled at start-up: the first poll waits for the 15 s tick.
    awk -v t="$after" "BEGIN { exit !(t >= 14) }" || { echo "FAIL: polled too early"; kill $pid; exit 1; }
    if [ -n "$screenshot" ]; then
        # Reported, not required: wine docks its tray icons only where its
        # explorer finds an XEMBED tray, and plays sound through its own
        # media stack.
        tray=$(xwininfo -root -tree | grep -ci "stalonetray")
        docked=$(xwininfo -root -tree | awk "/stalonetray/ { found = 1; next } found && /^ +0x/ && /[0-9]+x[0-9]+\+/ { n++ } END { print n + 0 }")
        echo "tray: $tray stalonetray window(s), $docked window(s) below them"
        streams=0
        for _ in $(seq 20); do
            streams=$(pactl list short sink-inputs 2>/dev/null | wc -l)
            [ "$streams" -gt 0 ] && break
            sleep 0.25
        done
        echo "sound: $streams stream(s) playing into the null sink while the box is open"
        import -window root "$screenshot" 2>/dev/null && echo "screenshot: $screenshot"
    fi
    # The next poll, 15 s later, finds it open: still one box.
    sleep 17
    boxes=$(xdotool search --onlyvisible --name "^Identify$" | wc -l)
    [ "$boxes" -eq 1 ] || { echo "FAIL: $boxes Identify boxes open"; kill $pid; exit 1; }

    # Killed outright (on Windows as taskkill /F does), the agent leaves its
    # lock and socket behind; the next start runs all the same.
    if [ -n "$run_prefix" ]; then $run_prefix taskkill /F /IM tessaly.exe >/dev/null 2>&1; else kill -KILL $pid; fi
    wait $pid 2>/dev/null
    for _ in $(seq 100); do xdotool search --onlyvisible --name "^Tessaly$" >/dev/null || break; sleep 0.1; done
    if [ -z "$run_prefix" ]; then
        # Its number may since belong to another process of the same name (as
        # wine hands numbers out again after a restart): no agent answers, so
        # the lock is held by no one.
        cp "$(command -v sleep)" "$work/tessaly"
        "$work/tessaly" 120 &
        impostor=$!
        sed -i "1s/.*/$impostor/" "$XDG_RUNTIME_DIR"/tessaly-*.lock || { echo "FAIL: the killed agent left no lock"; exit 1; }
    fi
    $run_prefix "$program" >"$work/restart.log" 2>&1 &
    pid=$!
    window=$(timeout "$window_wait" xdotool search --sync --onlyvisible --name "^Tessaly$" | head -1)
    [ -n "$window" ] || { echo "FAIL: after a kill, a new start shows no window"; cat "$work/restart.log"; kill $pid; exit 1; }
    echo "after a kill, a new start shows its window"
    hand_over || { kill $pid; exit 1; }
    kill $pid ${impostor:-}
    wait $pid 2>/dev/null
    exit 0
' || exit 1

python3 "$refservice" requests --json --url "https://localhost:$port" --state-dir "$state_dir" >"$work/requests.json" \
    || { echo "FAIL: could not read the service's record"; exit 1; }

mac=$(tr -d '\r\n' <"$work/mac.txt")
echo "adapters in the namespace:"; ip -o link | sed 's/^/    /'
echo "expected MAC text: '$mac' (the adapter reader's own probe)"
if [ -z "$wine_session" ]; then
    # On Linux the reader must also agree with the kernel's own list.
    kernel_mac=$(ip -o link | awk '$2 != "lo:" { for (i = 1; i <= NF; i++) if ($i == "link/ether") { print toupper($(i + 1)); exit } }')
    [ "$mac" = "$kernel_mac" ] || { echo "FAIL: the reader says '$mac', the kernel lists '$kernel_mac' first"; exit 1; }
fi
export os_prefix=${wine_session:+Windows}
export mac
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
polls = of("/api/ping-identify")
if len(polls) < 2:
    failures.append("%d identify polls, expected at least 2" % len(polls))
# One agent polls: every poll about 15 s after the one before.
for before, after in zip(polls, polls[1:]):
    gap = after["time"] - before["time"]
    if not 13 <= gap <= 17:
        failures.append("identify polls %.1f s apart, expected about 15" % gap)
for poll in polls:
    expected_poll = ('{\n    "device_name": "%s",\n    "mac_address": "%s"\n}\n'
                     % (socket.gethostname().lower(), os.environ["mac"])).encode()
    if base64.b64decode(poll["body"]) != expected_poll:
        failures.append("identify poll body %r, expected %r" % (base64.b64decode(poll["body"]), expected_poll))
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
if os.environ.get("os_prefix"):
    # Windows' name as Qt reads it under wine: only its start is known here.
    try:
        os_name = json.loads(body).get("os", "")
    except ValueError:
        os_name = ""
    print("registered OS name: %r" % os_name)
    if not os_name.startswith(os.environ["os_prefix"]):
        failures.append("OS name %r does not start with %r" % (os_name, os.environ["os_prefix"]))
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
