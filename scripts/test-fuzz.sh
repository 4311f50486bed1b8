#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build/fuzz and runs
# each for a bounded time, starting from the seeds committed in
# tests/fuzz/corpus. The seeds are copied into build/fuzz/corpus first, and
# new inputs go there, so the committed corpus stays as it is.
#
# A crash, a sanitizer report, a leak, a slow input or a broken property
# fails the run; the input that did it is kept in build/fuzz/artifacts.
#
# Usage: scripts/test-fuzz.sh [target...]   (default: all of them)
# Environment: TESSALY_FUZZ_SECONDS (default 30) per target.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib.sh"
label=fuzz
build=$root/build/fuzz
check_dir=$build/checks
seconds=${TESSALY_FUZZ_SECONDS:-30}
fuzzdir=$root/tests/fuzz

case $seconds in
    '' | *[!0-9]*) fail "TESSALY_FUZZ_SECONDS must be a whole number" ;;
esac

# Each target with the dictionary of the tokens its input is made of.
declare -A dictionaries=(
    [loginreply]=json.dict
    [identifyreply]=json.dict
    [publicaddress]=address.dict
)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(loginreply identifyreply publicaddress)
for target in "${targets[@]}"; do
    [ -n "${dictionaries[$target]:-}" ] || fail "no fuzz target named $target"
done

compile() {
    cmake -S "$fuzzdir" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ &&
        cmake --build "$build" --parallel "$(nproc)"
}
mkdir -p "$build"
step "build" logged "$build/build.log" compile

use_symbolizer
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:symbolize=1"

# Runs fuzz_$1 for $seconds and says what it did; on a failure, the end of
# its log and the input that did it, kept in build/fuzz/artifacts.
fuzz() {
    local target=$1 corpus=$build/corpus/$1 artifacts=$build/artifacts log=$build/logs/$1.log
    local status=0 runs done_line cov features units artifact
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # Inputs found by earlier runs in this build tree are kept; the seeds are
    # put back in case they were reduced away.
    cp "$fuzzdir/corpus/$target"/* "$corpus"/
    rm -f "$artifacts/$target"-*

    "$build/fuzz_$target" \
        -max_total_time="$seconds" \
        -max_len=4096 \
        -timeout=10 \
        -rss_limit_mb=2560 \
        -dict="$fuzzdir/${dictionaries[$target]}" \
        -artifact_prefix="$artifacts/$target-" \
        -print_final_stats=1 \
        "$corpus" >"$log" 2>&1 || status=$?

    # "#123 DONE cov: 93 ft: 283 corp: 110/5608b ..." is libFuzzer's last word.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    cov=$(sed -E -n 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
    features=$(sed -E -n 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
    units=$(sed -E -n 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$done_line")

    if [ $status -eq 0 ] && [ -n "$done_line" ]; then
        echo "${runs:-?} runs, coverage ${cov:-?} edges, ${features:-?} features, corpus ${units:-?}"
        return 0
    fi
    echo "exit $status after ${runs:-?} runs; the end of $log:"
    grep -v -E '^(#[0-9]+|"|###|INFO:|MERGE)' "$log" | tail -60
    for artifact in "$artifacts/$target"-*; do
        [ -e "$artifact" ] || continue
        echo "input kept in $artifact; run it again with:"
        echo "    $build/fuzz_$target $artifact"
    done
    return 1
}
for target in "${targets[@]}"; do
    check "fuzz_$target for $seconds s" fuzz "$target"
done
summary
