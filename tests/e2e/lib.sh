# What the end-to-end scripts share: each proves one thing about the shipped
# program. A script defines `on_display`, run on a virtual display with a
# tray while the reference service runs, optionally `on_record`, run after it
# with the service's record of requests in $work/requests.json, and
# $service_config (a JSON object for the service, if any); then it sources
# this file with its own arguments:
#
#   SCRIPT [--wine PREFIX PROBE] [--screenshot FILE] PROGRAM SERVICE_URL REFSERVICE_SCRIPT STATE_DIR MACPROBE WMCLOSE
#
# WMCLOSE is tests/e2e/wmclose, built for this machine. With --wine, PROGRAM
# and MACPROBE are Windows executables run under wine in wine prefix PREFIX,
# with a PulseAudio null sink to play into, and PROBE is tests/wine/probe.cpp
# built for Windows: wine keeps a hidden window's X window mapped, so Windows
# is asked whether the window is shown.
#
# The program talks to its compiled-in address, https://localhost:PORT. To
# give it that port without touching anything else on the machine, the script
# runs in a network namespace of its own, with loopback and two Ethernet-like
# adapters of known addresses.
set -uo pipefail

args=("$@")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib.sh"
wine_prefix= probe= screenshot=
while :; do
    case ${1:-} in
        --wine) wine_prefix=$2 probe=$3; shift 3 ;;
        --screenshot) screenshot=$2; shift 2 ;;
        *) break ;;
    esac
done
program=$1 service_url=$2 refservice=$3 state_dir=$4 macprobe=$5 wmclose=$6
run=(${wine_prefix:+wine})
# Under wine a program takes longer to show its window.
window_wait=$([ -n "$wine_prefix" ] && echo 120 || echo 20)

if [[ ! $service_url =~ ^https://localhost:([0-9]+)$ ]]; then
    echo "SKIP: this build talks to $service_url, not to a local reference service"
    exit 77
fi
port=${BASH_REMATCH[1]}
service() { python3 "$refservice" "$@" --url "https://localhost:$port" --state-dir "$state_dir"; }

# Seconds since `date +%s.%N` time $1, to a tenth.
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# --- On the display -----------------------------------------------------------
# Starts the program ($pid), logging to $log, $work/$1.log.
start_program() {
    started=$(date +%s.%N) log=$work/$1.log
    "${run[@]}" "$program" >"$log" 2>&1 &
    pid=$!
}
# Waits for the program's window ($window), which has the form's size.
await_window() {
    local size
    window=$(shown_window Tessaly "$window_wait") || { echo "FAIL: no window $1"; cat "$log"; return 1; }
    size=$(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }')
    echo "window \"Tessaly\" mapped $(since "$started") s after start, client area $size"
    [ "$size" = 220x224 ] || { echo "FAIL: the client area is $size, not 220x224"; return 1; }
}
# Icons docked in the tray: windows of the program (under wine, of its shell,
# whose explorer docks each icon as a window of its own) below the tray's.
docked_icons() {
    xwininfo -root -tree | awk '
        { match($0, /^ */); indent = RLENGTH; line = tolower($0) }
        line ~ /^ *0x/ && tray && indent <= tray { tray = 0 }
        line ~ /^ *0x.*\("[^"]*" "(trayer|stalonetray)"\)/ { tray = indent; next }
        tray && line ~ /\("(tessaly|explorer\.exe)"/ { n++ }
        END { print n + 0 }'
}
window_state() {
    if [ -n "$probe" ]; then
        wine "$probe" shown Tessaly | tr -d '\r'
    else
        xwininfo -id "$window" | sed -n 's/.*Map State: IsViewable/shown/p; s/.*Map State: IsUnMapped/hidden/p'
    fi
}
window_becomes() {
    for _ in $(seq 100); do [ "$(window_state)" = "$1" ] && return 0; sleep 0.1; done
    return 1
}
# Closed to the tray, then started again: the second start ends at once with
# 0, the running agent shows its window again, and one icon is in the tray.
hand_over() {
    local second status took icons state
    # Closing hides the window only once the tray shows the icon.
    for _ in $(seq 100); do [ "$(docked_icons)" -ge 1 ] && break; sleep 0.1; done
    "$wmclose" "$window"
    window_becomes hidden || {
        state=$(window_state)
        echo "FAIL: the closed window is ${state:-gone}, not hidden ($(docked_icons) icon(s) in the tray)"
        cat "$log"; return 1; }
    second=$(date +%s.%N)
    timeout "$window_wait" "${run[@]}" "$program" >"$work/second.log" 2>&1
    status=$?
    took=$(since "$second")
    [ $status -eq 0 ] || { echo "FAIL: a second start exited with $status after $took s"; cat "$work/second.log"; return 1; }
    window_becomes shown || { echo "FAIL: a second start did not show the window again"; return 1; }
    icons=$(docked_icons)
    echo "a second start ended with 0 after $took s; the window is shown again; $icons icon(s) in the tray"
    [ "$icons" -eq 1 ] || { echo "FAIL: $icons icons in the tray"; return 1; }
}
# Killed outright, as taskkill /F does on Windows.
kill_program() {
    if [ -n "$wine_prefix" ]; then wine taskkill /F /IM tessaly.exe >/dev/null 2>&1; else kill -KILL "$pid"; fi
    wait "$pid" 2>/dev/null
    for _ in $(seq 100); do xdotool search --onlyvisible --name '^Tessaly$' >/dev/null || break; sleep 0.1; done
}

if [ -n "${TESSALY_E2E_DISPLAY:-}" ]; then
    export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    # What the adapter reader gives here, on the platform the program runs on:
    # the adapter the kernel lists first.
    "${run[@]}" "$macprobe" 2>"$work/macprobe.log" | tr -d '\r' >"$work/mac.txt" ||
        { echo "FAIL: the MAC probe failed"; cat "$work/macprobe.log"; exit 1; }
    mac=$(cat "$work/mac.txt")
    first=$(ip -o link | awk '$2 != "lo:" { for (i = 1; i <= NF; i++) if ($i == "link/ether") { print toupper($(i + 1)); exit } }')
    echo "the adapter reader's own probe gives '$mac'"
    [ -n "$mac" ] && [ "$mac" = "$first" ] || { echo "FAIL: the reader says '$mac', the kernel lists '$first' first"; exit 1; }
    on_display
    exit $?
fi

# --- The network namespace, the service and the session ----------------------
if [ -z "${TESSALY_E2E_NETNS:-}" ]; then
    unshare --net true 2>/dev/null || { echo "SKIP: cannot make a network namespace here"; exit 77; }
    exec env TESSALY_E2E_NETNS=1 unshare --net --uts bash "$0" "${args[@]}"
fi
ip link set lo up
# A host name with capitals: registered as it is, polled in lower case.
hostname Tessaly-E2E-Host
# Two adapters of our choosing; the program must report the one the kernel
# lists first.
ip link add tsy0 address 02:ff:00:00:00:01 type veth peer name tsy1 address 02:0a:1b:2c:3d:4e ||
    { echo "FAIL: cannot make the veth adapters"; exit 1; }
# The agents' lock and socket are keyed by the display, not by a login session.
unset XDG_SESSION_ID
work=$(mktemp -d)
service_pid=
trap '[ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null; rm -rf "$work"' EXIT

python3 "$refservice" serve --port "$port" --state-dir "$state_dir" >"$work/service.out" 2>"$work/service.log" &
service_pid=$!
for _ in $(seq 100); do [ -s "$work/service.out" ] && break; sleep 0.1; done
[ -s "$work/service.out" ] || { echo "FAIL: the reference service did not start"; cat "$work/service.log"; exit 1; }
if [ -n "${service_config:-}" ]; then
    service config "$service_config" >/dev/null || { echo "FAIL: could not configure the service"; exit 1; }
fi

export work
"$here/../../scripts/session.sh" --tray ${wine_prefix:+--sound --wine "$wine_prefix"} \
    env TESSALY_E2E_DISPLAY=1 bash "$0" "${args[@]}" || exit 1
declare -F on_record >/dev/null || exit 0
service requests --json >"$work/requests.json" || { echo "FAIL: could not read the service's record"; exit 1; }
mac=$(cat "$work/mac.txt")
export mac wine_prefix
on_record
