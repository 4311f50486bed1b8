#!/bin/bash
# usage: wine-session.sh WINEPREFIX COMMAND...
# Runs COMMAND with wine set up for WINEPREFIX (made first if it is new), on a
# fresh virtual X display with a system tray and with a PulseAudio null sink
# to play sound into; stops all of it, wine included, afterwards. Runs inside
# the sid chroot (scripts/test-windows.sh).
set -u
source "$(dirname "$0")/lib.sh"
export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=" XDG_RUNTIME_DIR=/tmp/xdg
shift
# Debian keeps wineserver out of PATH.
wineserver=$(ls /usr/lib/*/wine/wineserver /usr/bin/wineserver 2>/dev/null | head -1)
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    "$wineserver" -k 2>/dev/null
    stop_processes "${pids[@]}"
}
trap cleanup EXIT
fifo=$(mktemp -u); mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
pids+=($!)
read -r -t 20 number <"$fifo" || { echo "session: Xvfb did not start"; exit 1; }
rm -f "$fifo"
export DISPLAY=:$number
stalonetray --config /dev/null --geometry 1x1-0-0 --icon-size 32 --window-type dock \
            --log-level err >/dev/null 2>&1 &
pids+=($!)
pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
           --load=module-null-sink --load=module-native-protocol-unix >/dev/null 2>&1 &
pids+=($!)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wine wineboot --init >/dev/null 2>&1 || { echo "session: wineboot failed"; exit 1; }
    "$wineserver" -w
fi
"$@"
status=$?
exit $status
