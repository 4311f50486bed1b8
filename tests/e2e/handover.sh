#!/usr/bin/env bash
# One agent per graphical session. With the window closed to the tray, a
# second start on the same display ends at once with exit code 0 and the
# running agent shows its window again, still with one icon in the tray and
# one identify poll every 15 s. On Linux, the same user on a second display,
# with the same $XDG_RUNTIME_DIR and no login session, gets an agent of its
# own there, and a second start on the first display still goes to the first.
# Usage: as tests/e2e/lib.sh describes.

# The time between each identify poll so far and the one before.
poll_gaps() {
    service requests --json --path /api/ping-identify | python3 -c '
import json, sys
times = [r["time"] for r in json.load(sys.stdin)]
print(" ".join("%.1f" % (b - a) for a, b in zip(times, times[1:])))'
}

on_display() {
    local gaps
    start_program agent
    await_window "after start" || return 1
    hand_over || return 1
    for _ in $(seq $((window_wait + 40))); do
        gaps=$(poll_gaps)
        [ -n "$gaps" ] && break
        sleep 1
    done
    echo "identify polls ${gaps:-(fewer than two)} s apart"
    [ -n "$gaps" ] && awk -v g="$gaps" 'BEGIN { n = split(g, a, " "); for (i = 1; i <= n; i++) if (a[i] < 13 || a[i] > 17) exit 1 }' ||
        { echo "FAIL: expected one identify poll every 15 s"; return 1; }
    if [ -z "$wine_prefix" ]; then one_per_display || return 1; fi
    kill "$pid"
}

one_per_display() {
    local first_display=$DISPLAY first_pid=$pid first_window=$window
    (
        source "$here/../../scripts/session.sh"
        trap session_stop EXIT
        session_start --tray || exit 1
        start_program other-display
        pids+=($pid)
        await_window "on a second display" || exit 1
        sleep 1
        kill -0 "$pid" 2>/dev/null || { echo "FAIL: the agent on a second display ended"; cat "$log"; exit 1; }
        [ "$(xdotool getwindowpid "$window")" = "$pid" ] &&
            [ "$(DISPLAY=$first_display xdotool getwindowpid "$first_window")" = "$first_pid" ] ||
            { echo "FAIL: the windows on $first_display and $DISPLAY are not their own agents'"; exit 1; }
        echo "on $DISPLAY too, an agent of its own: $(cd "$XDG_RUNTIME_DIR" && echo tessaly-*.lock)"
        DISPLAY=$first_display window=$first_window hand_over
    )
}

source "$(dirname "$0")/lib.sh"
