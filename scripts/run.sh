#!/usr/bin/env bash
# Installs what is missing, builds, starts the local reference service and the
# agent against it. Without a display it starts a virtual X server with a
# system tray, says so, and saves a screenshot.
#
#   TESSALY_RUN_SECONDS=N   stop after N seconds (default: until the agent quits;
#                           60 s without a display and without a terminal)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build/run
port=8443

scripts/install-deps.sh run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"

# Whatever is started here, the virtual session included, is stopped newest first.
source scripts/session.sh
trap session_stop EXIT
trap 'exit 130' INT TERM

state="$build/refservice-state"
service_log="$build/refservice.log"
if python3 refservice/refservice.py config --url "https://localhost:$port" --state-dir "$state" >/dev/null 2>&1; then
    echo "run: the reference service already runs on https://localhost:$port"
else
    python3 refservice/refservice.py serve --port "$port" --state-dir "$state" \
        >"$build/refservice.out" 2>"$service_log" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$build/refservice.out" ] && break; sleep 0.1; done
    [ -s "$build/refservice.out" ] || { echo "run: the reference service did not start:"; cat "$service_log"; exit 1; }
    echo "run: reference service on https://localhost:$port (log: $service_log)"
fi

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    headless=1
    session_start --tray --screen 480x300x24
    echo "run: no display here, so the agent runs on a virtual X server ($DISPLAY) with a system tray"
fi

"$build/tessaly" &
agent=$!
pids+=($agent)
echo "run: Tessaly started (pid $agent). Sign in as demo / demo."
echo "run: to make the device identify itself at its next poll (every 15 s):"
echo "       python3 refservice/refservice.py identify --state-dir $state"
echo "run: to see what the agent sent: python3 refservice/refservice.py requests --state-dir $state"

if [ $headless -eq 1 ]; then
    if window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tessaly$' | head -1); then
        sleep 1
        import -window root "$build/screenshot.png"
        echo "run: screenshot of the virtual screen saved to $build/screenshot.png"
    else
        echo "run: the window did not appear"
        exit 1
    fi
fi

seconds=${TESSALY_RUN_SECONDS:-}
if [ -z "$seconds" ] && [ $headless -eq 1 ] && [ ! -t 0 ]; then seconds=60; fi
if [ -n "$seconds" ]; then
    echo "run: stopping after $seconds s"
    for _ in $(seq "$seconds"); do kill -0 $agent 2>/dev/null || break; sleep 1; done
else
    echo "run: press Ctrl-C to stop (or use Quit in the tray menu)"
    wait $agent || true
fi
