#!/usr/bin/env bash
# Builds the agent and runs its whole test suite against the release Qt (6.9 or
# later), which Debian 12 does not have, inside a Debian sid chroot.
#
# The chroot (made, reused and repaired by scripts/chroot.sh, which the Windows
# leg shares) must hold the packages below and a Qt new enough. If no chroot
# can be had at all (no root, no debootstrap, the archive out of reach, sid
# uninstallable today) the leg is skipped, which fails it unless
# TESSALY_SKIP_LEGS names it (scripts/lib.sh).
#
# The sources (tracked files and untracked, not ignored ones, so that uncommitted
# work is tested too) are copied into the chroot, built there with CMake and
# Ninja, and tested with ctest on Xvfb. Deprecation warnings from the build
# are listed after it.
#
# Environment: TESSALY_SID_CHROOT, TESSALY_SID_MIRROR, TESSALY_SID_MAX_AGE_DAYS
# and TESSALY_SID_REBUILD, as scripts/chroot.sh describes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=release-qt
min_qt=6.9
jobs=$(nproc)

chroot_tools=(cmake ninja g++ ccache qmake6 python3 openssl Xvfb xauth stalonetray
              xdotool xwininfo ip)
chroot_skip_what="release-Qt tests (Qt >= $min_qt in a Debian sid chroot)"

chroot_check_leg() {
    local c=$1 qt
    qt=$(in_chroot "$c" qmake6 -query QT_VERSION 2>/dev/null || true)
    if [ -z "$qt" ] || ! version_ge "$qt" "$min_qt"; then
        say "qmake6 in $c reports Qt '${qt:-none}', not $min_qt or later"; return 1
    fi
    qt=$(chroot_qt_version "$c")
    if [ -z "$qt" ] || ! version_ge "$qt" "$min_qt"; then
        say "Qt6Core's CMake package in $c is '${qt:-missing}', not $min_qt or later"; return 1
    fi
}

source "$root/scripts/chroot.sh"
chroot_open "$@"

# --- Build and test -----------------------------------------------------------
c=$chroot_dir
run() { in_chroot "$c" "$@"; }
qt_version=$(run qmake6 -query QT_VERSION)
qt_package=$(run dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
say "Qt inside the chroot: $qt_version (Debian qt6-base-dev $qt_package, $(run g++ --version | head -1))"

# The same paths every run, so that ccache hits whatever clone the sources came from.
src=/build/src
build=/build/build
check_dir=$c/build/checks

sources() {
    rm -rf --one-file-system "$c$build" && mkdir -p "$c$build" "$check_dir" && copy_sources "$root" "$c$src"
}
compile() {
    run ccache --zero-stats >/dev/null 2>&1 || true
    logged "$c$build/build.log" run bash -c '
        set -e
        cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        cmake --build "$2" --parallel "$3" -- -k 0' build "$src" "$build" "$jobs" || return 1
    say "$(run ccache --print-stats 2>/dev/null | ccache_figures)"
    local warnings deprecations others
    warnings=$(compiler_warnings "$c$build/build.log" "$src")
    deprecations=$(grep -E '\[-Wdeprecated' <<<"$warnings" || true)
    others=$(grep -v -E '\[-Wdeprecated' <<<"$warnings" || true)
    say "deprecation warnings against Qt $qt_version: $(grep -c . <<<"$deprecations" || true)"
    [ -z "$deprecations" ] || indent <<<"$deprecations"
    say "other compiler warnings: $(grep -c . <<<"$others" || true)"
    [ -z "$others" ] || indent <<<"$others"
}
# mac_wine_crosscheck compares the adapter reader built for Linux and for
# Windows, neither of which uses Qt: the debian-qt leg runs it.
tests() {
    run bash -c 'cd "$1" && ctest --output-on-failure --parallel "$2" -E "^mac_wine_crosscheck\$"' \
        ctest "$build" "$jobs"
}

step "sources copied into the chroot" sources
step "build against Qt $qt_version" compile
check "ctest against Qt $qt_version" ctest_run "$c$build/ctest.log" tests
summary
