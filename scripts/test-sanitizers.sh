#!/usr/bin/env bash
# Builds the program and its tests with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer in build/asan and runs the whole test suite there,
# the end-to-end tests included (they start the instrumented program).
#
# Any sanitizer report fails the run: a report ends the process with a
# non-zero status, and every report is also written to a log file under
# build/asan/sanitizer-logs, which must be empty at the end - so a report from
# a process whose exit status nobody looks at still counts.
#
# Qt and the other system libraries come from Debian and are not
# instrumented. Memory that some of them allocate and keep to the end is
# listed, with the reason for each entry, in tests/sanitizers/lsan.supp.
#
# Usage: scripts/test-sanitizers.sh [extra ctest arguments, e.g. -R tst_login]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib.sh"
label=sanitizers
build=$root/build/asan
check_dir=$build/checks
logs=$build/sanitizer-logs
suppressions=$root/tests/sanitizers/lsan.supp

# With the compiler Debian built Qt with.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
compile() {
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_COMPILER=g++ \
        -DCMAKE_CXX_FLAGS="-O1 $sanitize" \
        -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
        -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" &&
        cmake --build "$build" --parallel "$(nproc)"
}
mkdir -p "$build"
step "build" logged "$build/build.log" compile

use_symbolizer

rm -rf "$logs"
mkdir -p "$logs"

# halt_on_error/exitcode: the first report ends the process with status 66.
# detect_leaks: LeakSanitizer runs when each process exits.
# Allocation stacks are taken with the frame-pointer unwinder: exact through
# the program's code, but they stop at the first frame of a Debian library,
# which has no frame pointers. So the suppressions match on the library
# function that called malloc. (The exact unwinder, fast_unwind_on_malloc=0,
# makes every allocation so slow that the end-to-end tests' timing breaks.)
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=66:detect_leaks=1\
:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1\
:symbolize=1:print_summary=1:log_path=$logs/report"
export LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0:exitcode=66\
:log_path=$logs/report"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=66:report_error_type=1\
:symbolize=1:log_path=$logs/report"

# mac_wine_crosscheck is left out: nearly all of it is building the Windows
# reader with MinGW and running it under wine, which no sanitizer here sees;
# the Linux reader it compares with runs instrumented in tst_hardwareaddress.
# (Another -E given on the command line replaces this one.)
tests() {
    cd "$build" && ctest --output-on-failure --parallel "$(nproc)" -E '^mac_wine_crosscheck$' "$@"
}
# Every report, also from a process whose exit status nobody looks at.
no_reports() {
    local report found=1
    for report in "$logs"/*; do
        [ -e "$report" ] || continue
        echo "--- $report"
        cat "$report"
        found=0
    done
    [ $found = 1 ]
}
check "ctest" ctest_run "$build/ctest.log" tests "$@"
check "no sanitizer report" no_reports
summary
