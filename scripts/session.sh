#!/usr/bin/env bash
# A virtual X session for the program, its tests and its benchmarks: a display
# (Xvfb), and as asked a system tray, a PulseAudio null sink for sound to play
# into, and a wine prefix (made with wineboot where it is new).
#
#   scripts/session.sh [--tray] [--sound] [--wine PREFIX] [--screen WxHxD] [--] COMMAND...
#     runs COMMAND in the session, stops the session and passes COMMAND's exit
#     code on; 77 (skipped, for ctest) where Xvfb or a part asked for is missing.
#   source scripts/session.sh; session_start [options]
#     starts the session in the calling shell, its processes added to $pids;
#     session_stop stops everything in $pids, the caller's own as well.
#
# The display is in $DISPLAY; the sound server in $PULSE_SERVER.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
declare -p pids >/dev/null 2>&1 || pids=()
session_dir= session_wineserver=

# What follows the options is left in $session_command.
session_start() {
    local tray=0 sound=0 screen=1024x768x24 prefix= number tray_program=
    while [ $# -gt 0 ]; do
        case $1 in
            --tray) tray=1 ;;
            --sound) sound=1 ;;
            --wine) prefix=$2; shift ;;
            --screen) screen=$2; shift ;;
            --) shift; break ;;
            *) break ;;
        esac
        shift
    done
    session_command=("$@")
    command -v Xvfb >/dev/null || { echo "session: Xvfb is missing"; return 77; }
    if [ $tray -eq 1 ]; then
        # trayer where it exists; stalonetray where only that does (Debian after 12).
        tray_program=$(command -v trayer stalonetray | head -1) || true
        [ -n "$tray_program" ] || { echo "session: no tray (trayer or stalonetray) here"; return 77; }
    fi
    [ $sound -eq 0 ] || command -v pulseaudio >/dev/null || { echo "session: pulseaudio is missing"; return 77; }
    session_dir=$(mktemp -d)

    # -displayfd lets the server pick a free display number and tell us.
    mkfifo "$session_dir/displayfd"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$session_dir/displayfd" 2>/dev/null &
    pids+=($!)
    read -r -t 20 number <"$session_dir/displayfd" || { echo "session: Xvfb did not start"; return 1; }
    export DISPLAY=:$number
    unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    # A client opens the display only once the server takes clients; one
    # started too early, or at an unlucky moment, ends with "cannot open
    # display" (a tray, about 1 start in 15 here).
    for _ in $(seq 200); do timeout 2 xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
    if [ $tray -eq 1 ]; then
        session_tray "$tray_program" || session_tray "$tray_program" || session_tray "$tray_program" ||
            { echo "session: $(basename "$tray_program") did not start:"; cat "$session_dir/tray.log"; return 1; }
    fi
    if [ $sound -eq 1 ]; then
        mkdir -m 700 "$session_dir/pulse"
        export PULSE_SERVER=unix:$session_dir/pulse/native PULSE_RUNTIME_PATH=$session_dir/pulse
        pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --use-pid-file=no \
                   --load=module-null-sink \
                   --load="module-native-protocol-unix auth-anonymous=1 socket=$session_dir/pulse/native" \
                   >"$session_dir/pulse.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 100); do [ -S "$session_dir/pulse/native" ] && break; sleep 0.1; done
        [ -S "$session_dir/pulse/native" ] || { echo "session: pulseaudio did not start:"; cat "$session_dir/pulse.log"; return 1; }
    fi
    if [ -n "$prefix" ]; then
        # A Windows program finds no Linux platform plugin.
        unset QT_QPA_PLATFORM
        export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
        # Debian keeps wineserver out of PATH.
        session_wineserver=$(command -v wineserver || ls /usr/lib/*/wine/wineserver /usr/lib/wine/wineserver 2>/dev/null | head -1)
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            timeout 300 wine wineboot --init >"$session_dir/wineboot.log" 2>&1 ||
                { echo "session: wineboot failed:"; tail -n 20 "$session_dir/wineboot.log"; return 1; }
            "$session_wineserver" -w
        fi
    else
        export QT_QPA_PLATFORM=xcb
    fi
}

# Starts the tray; it is there once its window is, and is started again by
# the caller if that takes more than 5 s.
session_tray() {
    local name
    name=$(basename "$1")
    if [ "$name" = trayer ]; then
        "$1" --edge bottom --align right --widthtype request --height 32 --SetDockType true \
             --transparent false >"$session_dir/tray.log" 2>&1 &
    else
        "$1" --config /dev/null --geometry 1x1-0-0 --icon-size 32 --window-type dock \
             --log-level err >"$session_dir/tray.log" 2>&1 &
    fi
    pids+=($!)
    for _ in $(seq 50); do
        xwininfo -root -tree 2>/dev/null | grep -qi "(\"$name\"" && { sleep 0.3; return 0; }
        kill -0 $! 2>/dev/null || return 1
        sleep 0.1
    done
    kill $! 2>/dev/null
    return 1
}

# Wine's processes first (they are the newest), then everything in $pids,
# newest first.
session_stop() {
    if [ -n "$session_wineserver" ]; then
        "$session_wineserver" -k 2>/dev/null || true
        # A server left running would take the next session's programs, in
        # whatever network namespace it was started.
        timeout 30 "$session_wineserver" -w 2>/dev/null || true
    fi
    stop_processes "${pids[@]}"
    [ -z "$session_dir" ] || rm -rf "$session_dir"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    trap session_stop EXIT
    session_start "$@" || exit $?
    "${session_command[@]}"
fi
