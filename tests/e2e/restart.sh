#!/usr/bin/env bash
# Killed outright (on Windows as taskkill /F does), the agent leaves its lock
# and socket behind; the next start runs all the same, even where the lock's
# process number has since gone to another process of the agent's name, and
# a second start hands over to it.
# Usage: as tests/e2e/lib.sh describes.

on_display() {
    local impostor=
    start_program agent
    await_window "after start" || return 1
    kill_program
    if [ -z "$wine_prefix" ]; then
        # Wine hands process numbers out again after a restart: no agent
        # answers, so the lock is held by no one.
        cp "$(command -v sleep)" "$work/tessaly"
        "$work/tessaly" 120 &
        impostor=$!
        sed -i "1s/.*/$impostor/" "$XDG_RUNTIME_DIR"/tessaly-*.lock || { echo "FAIL: the killed agent left no lock"; return 1; }
    fi
    start_program restart
    await_window "after a kill" || return 1
    echo "after a kill, a new start shows its window"
    hand_over || return 1
    kill "$pid" $impostor
}

source "$(dirname "$0")/lib.sh"
