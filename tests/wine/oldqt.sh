#!/usr/bin/env bash
# A Windows build refuses a Qt older than 6.9: configuring against a Qt
# package that says it is 6.8 must stop with the reason.
# Usage: oldqt.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$1 work=$2
mkdir -p "$work/qt-6.8/lib/cmake/Qt6"
printf '%s\n' 'set(PACKAGE_VERSION 6.8.3)' 'set(PACKAGE_VERSION_COMPATIBLE TRUE)' \
    >"$work/qt-6.8/lib/cmake/Qt6/Qt6ConfigVersion.cmake"
echo 'set(Qt6_FOUND TRUE)' >"$work/qt-6.8/lib/cmake/Qt6/Qt6Config.cmake"
output=$(cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
             -DCMAKE_PREFIX_PATH="$work/qt-6.8" 2>&1)
if ! grep -q 'A Windows build needs Qt 6.9 or later' <<<"$output"; then
    tail -n 20 <<<"$output"
    echo "FAIL: configuring for Windows against Qt 6.8 was not refused"
    exit 1
fi
echo "ok: configuring for Windows against Qt 6.8 is refused"
