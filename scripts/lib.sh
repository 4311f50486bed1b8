# What the test scripts share. Sourced, not run; a script sets $label, the
# prefix of its messages, after sourcing it (default: its own name).
label=${label:-$(basename "$0" .sh)}

say() { printf '%s: %s\n' "$label" "$*"; }
indent() { sed 's/^/    /'; }
fail() { echo "FAIL: $*"; exit 1; }
# Seconds since the epoch second $1.
elapsed() { echo "$(( $(date +%s) - $1 )) s"; }
# Whether version $1 is $2 or later.
version_ge() { printf '%s\n%s\n' "$2" "$1" | sort -V -C; }

# The distinct compiler warnings in build log $1, with paths relative to the
# source directory $2.
compiler_warnings() {
    grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$1" | sed "s|^$2/||" | sort -u || true
}

# Stops processes $@ (started in that order), newest first, so that a tray
# ends while its display is still there: a tray whose display went first once
# ignored its TERM for hours. What outlives 5 s is killed.
stop_processes() {
    local i pid alive
    for ((i = $#; i >= 1; i--)); do kill "${!i}" 2>/dev/null || true; done
    for _ in $(seq 50); do
        alive=
        for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ -z "$alive" ] && break
        sleep 0.1
    done
    for pid in "$@"; do kill -KILL "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# "ccache: N hits, M misses", from `ccache --print-stats` on standard input.
ccache_figures() {
    awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { h += $2 }
                $1 == "cache_miss" { m = $2 } END { printf "ccache: %d hits, %d misses", h, m }'
}

# Gives the sanitizers a symbolizer, which turns a report's addresses into
# file:line; without one the reports still fail the run, less readable.
use_symbolizer() {
    local candidate symbolizer
    for candidate in llvm-symbolizer llvm-symbolizer-14 /usr/lib/llvm-14/bin/llvm-symbolizer; do
        if symbolizer=$(command -v "$candidate"); then
            export ASAN_SYMBOLIZER_PATH=$symbolizer
            return 0
        fi
    done
}

# Steps and checks. `step NAME COMMAND...` runs a step the next ones need: a
# failure ends the script. `check NAME COMMAND...` runs a check whose output
# goes to a file; every check runs, and `summary` shows each one's output and
# outcome and fails if any failed.
checks=()
check_dir=
# `logged FILE COMMAND...` sends COMMAND's output to FILE and, if it fails,
# shows the last 40 lines of it.
logged() {
    local log=$1 status=0
    shift
    "$@" >"$log" 2>&1 || status=$?
    [ $status -eq 0 ] || { tail -n 40 "$log" | indent; say "(all of it: $log)"; }
    return $status
}
step() {
    local name=$1 started status=0
    shift
    started=$(date +%s)
    "$@" || status=$?
    [ $status -eq 0 ] || fail "$name (exit $status)"
    say "$name: done in $(elapsed "$started")"
}
check() {
    local name=$1 started status=0 log
    shift
    started=$(date +%s)
    log=${check_dir:-${TMPDIR:-/tmp}}/check-${#checks[@]}.log
    "$@" >"$log" 2>&1 || status=$?
    checks+=("$status|$(elapsed "$started")|$name|$log")
    say "$name: $([ $status -eq 0 ] && echo passed || echo "FAILED (exit $status)") in $(elapsed "$started")"
}
summary() {
    local entry status time name log failed=()
    echo
    echo "=== $label summary ==="
    for entry in "${checks[@]}"; do
        IFS='|' read -r status time name log <<<"$entry"
        say "$name ($time):"
        indent <"$log"
        [ "$status" -eq 0 ] || failed+=("$name")
    done
    [ ${#failed[@]} -eq 0 ] || fail "$(IFS=';'; echo "${failed[*]}" | sed 's/;/; /g')"
}
