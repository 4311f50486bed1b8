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

# The first shown window titled $1 within $2 s. Searched again and again, as
# a search ends with an X error when a window goes away meanwhile (wine makes
# and drops windows while a program starts).
shown_window() {
    for _ in $(seq $(($2 * 5))); do
        xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 | grep . && return 0
        sleep 0.2
    done
    return 1
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

# Steps, checks and skips. `step NAME COMMAND...` runs a step the next ones
# need: a failure ends the script. `check [--live] NAME COMMAND...` runs a
# check whose output goes to a file (with --live, to the terminal as well);
# every check runs. `summary` shows each check's outcome and output (of a
# --live one only its last line, a leg's own verdict, the rest having been
# shown) and ends the script: 0 when everything ran and passed.
#
# What cannot run is a skip, not a pass: a check that exits 77 (as ctest's
# skipped tests do), a test ctest skipped (ctest_run), or `skipped NAME WHY`.
# A skip fails the run unless TESSALY_SKIP_LEGS (names, separated by spaces
# or commas) names it or the leg it is in: legs as scripts/test.sh names
# them (debian-qt sanitizers fuzz release-qt windows), tests by their ctest
# name (e2e_signin). Then summary exits 77, and its last line names every
# skip. Skips are written to the file $TESSALY_SKIP_RECORD, which a script's
# legs share with it.
checks=()
check_dir=
skips_from=1
[ -z "${TESSALY_SKIP_RECORD:-}" ] || skips_from=$(( $(wc -l <"$TESSALY_SKIP_RECORD") + 1 ))
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
    local name live='' started status=0 log skips
    [ "$1" != --live ] || { live=1; shift; }
    name=$1
    shift
    started=$(date +%s)
    [ -n "$check_dir" ] || check_dir=$(mktemp -d "${TMPDIR:-/tmp}/$label-checks.XXXXXX")
    mkdir -p "$check_dir"
    log=$check_dir/check-${#checks[@]}.log
    skip_record
    skips=$(wc -l <"$TESSALY_SKIP_RECORD")
    if [ -n "$live" ]; then
        say "$name ..."
        { "$@" 2>&1 | tee "$log"; status=${PIPESTATUS[0]}; } || true
    else
        "$@" >"$log" 2>&1 || status=$?
    fi
    if [ $status -eq 77 ] && [ "$(wc -l <"$TESSALY_SKIP_RECORD")" -eq "$skips" ]; then
        skipped "$name" "exit 77" >>"$log" || true
    fi
    checks+=("$status|$live|$(elapsed "$started")|$name|$log")
    say "$name: $(outcome $status) in $(elapsed "$started")"
}
outcome() {
    case $1 in 0) echo passed ;; 77) echo "did not run in full" ;; *) echo "FAILED (exit $1)" ;; esac
}

skip_record() {
    [ -n "${TESSALY_SKIP_RECORD:-}" ] && return 0
    TESSALY_SKIP_RECORD=$(mktemp "${TMPDIR:-/tmp}/tessaly-skips.XXXXXX")
    export TESSALY_SKIP_RECORD
}
# Whether TESSALY_SKIP_LEGS names $1 or this script's leg.
skip_asked() {
    local asked=${TESSALY_SKIP_LEGS:-} name
    for name in ${asked//,/ }; do
        [ "$name" != "$1" ] && [ "$name" != "$label" ] || return 0
    done
    return 1
}
# `skipped NAME WHY`: NAME, this leg or a part of it, did not run. Returns 77
# unless that was asked for.
skipped() {
    local how=asked where=$label
    skip_asked "$1" || how=unasked
    [ "$1" = "$label" ] || where="$label: $1"
    skip_record
    echo "$how|$where|$2" >>"$TESSALY_SKIP_RECORD"
    echo "SKIPPED$([ $how = asked ] && echo ' on request'): $where: $2"
    [ $how = asked ] || return 77
}
# `ctest_run LOG COMMAND...` runs COMMAND, a ctest run, with its output in LOG
# as well; then each test ctest skipped (its SKIP_RETURN_CODE) is a skip.
ctest_run() {
    local log=$1 status=0 test
    shift
    { "$@" 2>&1 | tee "$log"; status=${PIPESTATUS[0]}; } || true
    while read -r test; do
        echo "($test: ctest -R '^$test\$' -V says why it skipped)"
        skipped "$test" "skipped by ctest" || [ $status -ne 0 ] || status=77
    done < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
    return $status
}

summary() {
    local entry status live time name log how where why failed=() asked=() unasked=() verdict
    echo
    echo "=== $label summary ==="
    for entry in "${checks[@]}"; do
        IFS='|' read -r status live time name log <<<"$entry"
        say "$name: $(outcome "$status") in $time"
        if [ -n "$live" ]; then tail -n 1 "$log" | indent; else indent <"$log"; fi
        [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || failed+=("$name")
    done
    while IFS='|' read -r how where why; do
        if [ "$how" = asked ]; then asked+=("$where"); else unasked+=("$where ($why)"); fi
    done < <([ -z "${TESSALY_SKIP_RECORD:-}" ] || tail -n +"$skips_from" "$TESSALY_SKIP_RECORD")
    verdict=
    [ ${#failed[@]} -eq 0 ] || verdict="failed: $(joined "${failed[@]}")"
    [ ${#unasked[@]} -eq 0 ] ||
        verdict="${verdict:+$verdict; }not run, and TESSALY_SKIP_LEGS does not name: $(joined "${unasked[@]}")"
    [ ${#asked[@]} -eq 0 ] || verdict="${verdict:+$verdict; }skipped on request: $(joined "${asked[@]}")"
    if [ ${#failed[@]} -gt 0 ]; then
        fail "$verdict"
    elif [ ${#unasked[@]} -gt 0 ]; then
        echo "FAIL: $verdict"
        exit 77
    elif [ ${#asked[@]} -gt 0 ]; then
        say "passed, but not all tests ran: $verdict"
    else
        say "all tests passed"
    fi
    exit 0
}
joined() { local IFS='|'; echo "$*" | sed 's/|/, /g'; }
