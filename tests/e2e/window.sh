#!/usr/bin/env bash
# The built program on a real X display: the window appears with its title
# and size; closing it hides it while a tray is there, and ends the program
# with exit code 0 when there is none.
# Usage: window.sh PROGRAM WMCLOSE
set -uo pipefail

program=$1
wmclose=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

close_check() {
    local tray=$1
    "$program" >"$work/out.log" 2>&1 &
    local pid=$!
    local window
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tessaly$' | head -1)
    if [ -z "$window" ]; then
        echo "FAIL: no visible window titled Tessaly"; cat "$work/out.log"; kill $pid; return 1
    fi
    local size
    size=$(xwininfo -id "$window" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w "x" h}')
    if [ "$size" != 220x224 ]; then
        echo "FAIL: window is $size, not 220x224"; kill $pid; return 1
    fi
    if [ "$tray" = yes ]; then
        # Closing hides the window only once the tray shows the icon; on a
        # busy machine the tray may take that long to be ready.
        local docked=0
        for _ in $(seq 200); do
            xwininfo -root -tree | grep -Eqi '^ {6,}0x[0-9a-f]+ .*\("tessaly"' && { docked=1; break; }
            sleep 0.1
        done
        [ $docked = 1 ] || { echo "FAIL: the tray shows no icon"; kill $pid; return 1; }
    fi
    "$wmclose" "$window"

    if [ "$tray" = yes ]; then
        local waited=0
        until xwininfo -id "$window" 2>/dev/null | grep -q 'Map State: IsUnMapped' || [ $waited -ge 100 ]; do
            sleep 0.1; waited=$((waited + 1))
        done
        if ! xwininfo -id "$window" | grep -q 'Map State: IsUnMapped'; then
            echo "FAIL: with a tray, the closed window is still shown"; kill $pid; return 1
        fi
        sleep 0.5
        if ! kill -0 $pid 2>/dev/null; then
            echo "FAIL: with a tray, closing the window ended the program"; return 1
        fi
        kill $pid; wait $pid 2>/dev/null
        echo "ok: with a tray, close hides the window and the program keeps running"
    else
        local waited=0
        while kill -0 $pid 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
        if kill -0 $pid 2>/dev/null; then
            echo "FAIL: without a tray, closing the window did not end the program"; kill $pid; return 1
        fi
        wait $pid; local status=$?
        if [ $status -ne 0 ]; then echo "FAIL: exit code $status"; return 1; fi
        echo "ok: without a tray, close ends the program with exit code 0"
    fi
}

export -f close_check
export program wmclose work
"$here/../../scripts/session.sh" --tray bash -c 'close_check yes' || exit 1
"$here/../../scripts/session.sh" bash -c 'close_check no' || exit 1
