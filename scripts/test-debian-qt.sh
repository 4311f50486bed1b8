#!/usr/bin/env bash
# The everyday build, on Debian's Qt 6.4 in build/debug, and its whole test
# suite. Usage: scripts/test-debian-qt.sh [extra ctest arguments, e.g. -R tst_login]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=debian-qt
build=$root/build/debug
check_dir=$build/checks

compile() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug &&
        cmake --build "$build" --parallel "$(nproc)"
}
tests() { cd "$build" && ctest --output-on-failure --parallel "$(nproc)" "$@"; }

mkdir -p "$build"
step "build" logged "$build/build.log" compile
check "ctest" ctest_run "$build/ctest.log" tests "$@"
summary
