#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the suite on Debian's
# Qt, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the
# fuzzers for a bounded time, the suite again on the release Qt (6.9 or later)
# in a Debian sid chroot, and the Windows program with its suites and setup
# program, cross-built in that chroot and run under wine. Any failure fails the
# whole run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

step "dependencies"
scripts/install-deps.sh test

step "build and test on Debian's Qt"
cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug
cmake --build build/debug --parallel "$jobs"
(cd build/debug && ctest --output-on-failure --parallel "$jobs")

step "sanitizers"
scripts/test-sanitizers.sh

step "fuzzing"
scripts/test-fuzz.sh

step "release Qt in a Debian sid chroot"
scripts/test-release-qt.sh

step "the Windows program, cross-built and run under wine in the same chroot"
scripts/test-windows.sh

step "all tests passed"
