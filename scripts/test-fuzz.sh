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
# Environment: TESSALY_FUZZ_SECONDS (default 30) per target,
#              TESSALY_FUZZ_BUILD_DIR (default build/fuzz),
#              TESSALY_FUZZ_CXX (default clang++; it has to be clang).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib.sh"
build=${TESSALY_FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${TESSALY_FUZZ_SECONDS:-30}
fuzzdir=$root/tests/fuzz

case $seconds in
    '' | *[!0-9]*) echo "test-fuzz: TESSALY_FUZZ_SECONDS must be a whole number" >&2; exit 2 ;;
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
    if [ -z "${dictionaries[$target]:-}" ]; then
        echo "test-fuzz: no fuzz target named $target" >&2
        exit 2
    fi
done

cmake -S "$fuzzdir" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${TESSALY_FUZZ_CXX:-clang++}"
cmake --build "$build" --parallel "$(nproc)"

use_symbolizer
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:symbolize=1"

failed=()
summaries=()
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    artifacts=$build/artifacts
    log=$build/logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # Inputs found by earlier runs in this build tree are kept; the seeds are
    # put back in case they were reduced away.
    cp "$fuzzdir/corpus/$target"/* "$corpus"/
    rm -f "$artifacts/$target"-*

    echo "test-fuzz: fuzz_$target for $seconds s"
    status=0
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
        summaries+=("fuzz_$target: ok, ${runs:-?} runs in $seconds s, coverage ${cov:-?} edges, ${features:-?} features, corpus ${units:-?}")
    else
        failed+=("$target")
        summaries+=("fuzz_$target: FAILED (exit $status) after ${runs:-?} runs; log $log")
        echo "test-fuzz: fuzz_$target failed; the end of its log:"
        grep -v -E '^(#[0-9]+|"|###|INFO:|MERGE)' "$log" | tail -60 || true
        for artifact in "$artifacts/$target"-*; do
            [ -e "$artifact" ] || continue
            echo "test-fuzz: input kept in $artifact; run it again with:"
            echo "    $build/fuzz_$target $artifact"
        done
    fi
done

echo
printf '%s\n' "${summaries[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "test-fuzz: FAILED: ${failed[*]}"
    exit 1
fi
echo "test-fuzz: no crash, sanitizer report or broken property"
