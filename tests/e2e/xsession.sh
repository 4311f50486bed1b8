#!/usr/bin/env bash
# Runs a command on a fresh virtual X display, optionally with a system tray.
# Usage: xsession.sh [--tray] [--] command args...
# The display is in $DISPLAY for the command; everything started here is
# stopped when the command ends, and its exit code is passed on.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"

tray=0
if [ "${1:-}" = --tray ]; then tray=1; shift; fi
[ "${1:-}" = -- ] && shift

command -v Xvfb >/dev/null || { echo "xsession: Xvfb is missing"; exit 77; }
# trayer where it exists; stalonetray where only that does (Debian after 12).
tray_program=trayer
if ! command -v trayer >/dev/null && command -v stalonetray >/dev/null; then tray_program=stalonetray; fi
[ $tray -eq 0 ] || command -v $tray_program >/dev/null || { echo "xsession: trayer is missing"; exit 77; }

pids=()
cleanup() {
    stop_processes "${pids[@]}"
}
trap cleanup EXIT

# -displayfd lets the server pick a free display number and tell us.
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
pids+=($!)
read -r -t 20 number <"$fifo" || { echo "xsession: Xvfb did not start"; rm -f "$fifo"; exit 1; }
rm -f "$fifo"
export DISPLAY=":$number"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
# A client opens the display only once the server takes clients; a tray
# started too early, or at an unlucky moment, ends with "cannot open display"
# (about 1 start in 15 here), so a tray that is not there in 5 s is started again.
for _ in $(seq 200); do timeout 2 xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done

start_tray() {
    if [ $tray_program = trayer ]; then
        trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
               --transparent false >"$tray_log" 2>&1 &
    else
        stalonetray --config /dev/null --geometry 1x1-0-0 --icon-size 32 --window-type dock \
                    --log-level err >"$tray_log" 2>&1 &
    fi
    pids+=($!)
    # The tray is there once it owns the system-tray selection.
    for _ in $(seq 50); do
        timeout 2 xdotool search --class $tray_program >/dev/null 2>&1 && return 0
        kill -0 $! 2>/dev/null || return 1
        sleep 0.1
    done
    kill $! 2>/dev/null
    return 1
}

if [ $tray -eq 1 ]; then
    tray_log=$(mktemp)
    start_tray || start_tray || start_tray ||
        { echo "xsession: $tray_program did not start:"; cat "$tray_log"; rm -f "$tray_log"; exit 1; }
    rm -f "$tray_log"
    sleep 0.3
fi

set +e
"$@"
status=$?
set -e
exit $status
