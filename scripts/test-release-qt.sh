#!/usr/bin/env bash
# Builds the agent and runs its whole test suite against the release Qt (6.9 or
# later), which Debian 12 does not have, inside a Debian sid chroot.
#
# The chroot (made, reused and repaired by scripts/chroot.sh, which the Windows
# leg shares) must hold the packages below and a Qt new enough. If no chroot
# can be had at all (no root, no debootstrap, the archive out of reach, sid
# uninstallable today) this prints one line starting with "SKIPPED:" and exits
# 0. A build or test failure inside the chroot exits non-zero.
#
# The sources (tracked files and untracked, not ignored ones, so that uncommitted
# work is tested too) are copied into the chroot, built there with CMake and
# Ninja, and tested with ctest on Xvfb. Deprecation warnings from the build
# are listed at the end.
#
# Environment: TESSALY_SID_CHROOT, TESSALY_SID_MIRROR, TESSALY_SID_MAX_AGE_DAYS
# and TESSALY_SID_REBUILD, as scripts/chroot.sh describes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=release-qt
min_qt=6.9
jobs=$(nproc)

# What the build and the test suite need, as Debian sid names it. sid has no
# trayer; scripts/session.sh uses stalonetray instead. MinGW and wine are
# left out: the wine cross-check reports itself skipped without them.
chroot_packages=(
    # build
    cmake ninja-build g++ ccache qt6-base-dev qt6-multimedia-dev libgl-dev
    # the alert sound plays through Qt Multimedia
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    # the reference service and its certificates
    python3 python3-h2 openssl
    # a virtual display with a system tray, driven like a person would
    xvfb xauth stalonetray xdotool x11-utils imagemagick libx11-dev fonts-dejavu-core
    # the end-to-end login runs in a network namespace of its own
    iproute2 hostname
)

chroot_tools=(cmake ninja g++ ccache qmake6 python3 openssl Xvfb xauth stalonetray
              xdotool xwininfo ip)
chroot_skip_what="release-Qt tests (Qt >= $min_qt in a Debian sid chroot)"
started=$(date +%s)

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
qt_version=$(in_chroot "$c" qmake6 -query QT_VERSION)
qt_package=$(in_chroot "$c" dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
say "Qt inside the chroot: $qt_version (Debian qt6-base-dev $qt_package, $(in_chroot "$c" g++ --version | head -1))"

# The same paths every run, so that ccache hits whatever clone the sources came from.
src=/build/src
build=/build/build
step_started=$(date +%s)
rm -rf --one-file-system "$c$build"
mkdir -p "$c$build"
copy_sources "$root" "$c$src"
say "copied $(find "$c$src" -type f | wc -l) source files into the chroot ($(elapsed "$step_started"))"

step_started=$(date +%s)
build_log=$c/build/build.log
in_chroot "$c" ccache --zero-stats >/dev/null 2>&1 || true
if ! in_chroot "$c" bash -c '
        set -e
        cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        cmake --build "$2" --parallel "$3" -- -k 0' build "$src" "$build" "$jobs" 2>&1 | tee "$build_log"; then
    echo "FAIL: the build against Qt $qt_version failed (log in the chroot: $build_log)"
    exit 1
fi
say "built in $(elapsed "$step_started") ($(in_chroot "$c" ccache --print-stats 2>/dev/null | ccache_figures))"

warnings=$(compiler_warnings "$build_log" "$src")
deprecations=$(grep -E '\[-Wdeprecated' <<<"$warnings" || true)
others=$(grep -v -E '\[-Wdeprecated' <<<"$warnings" || true)

step_started=$(date +%s)
test_log=$c/build/ctest.log
set +e
in_chroot "$c" bash -c 'cd "$1" && ctest --output-on-failure --parallel "$2"' ctest "$build" "$jobs" 2>&1 |
    tee "$test_log"
test_status=${PIPESTATUS[0]}
set -e

echo
echo "=== release Qt summary ==="
say "Qt $qt_version in a Debian sid chroot at $c"
if [ -n "$deprecations" ]; then
    say "deprecation warnings against Qt $qt_version: $(echo "$deprecations" | wc -l)"
    echo "$deprecations" | indent
else
    say "no deprecation warnings against Qt $qt_version"
fi
if [ -n "$others" ]; then
    say "other compiler warnings: $(echo "$others" | wc -l)"
    echo "$others" | indent
fi
say "ctest in the chroot ($(elapsed "$step_started")):"
sed -n '/tests passed\|tests failed out of/,$p' "$test_log" | indent
say "total $(elapsed "$started")"
if [ "$test_status" -ne 0 ]; then
    echo "FAIL: tests failed against Qt $qt_version"
    exit "$test_status"
fi
