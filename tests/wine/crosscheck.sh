#!/bin/bash
# Checks the Windows MAC reader against the Linux one on the same machine:
# builds tests/wine/macprobe.cpp with MinGW, runs it under wine (whose
# GetAdaptersInfo lists the interfaces it finds) and compares its line with
# the natively built probe's. Both run in a network namespace of their own
# with two adapters of known addresses, so that both have a real one to find.
#
# usage: crosscheck.sh BUILD_TMP_DIR NATIVE_PROBE_PATH
# exit:  0 same text, 1 different text or a step failed, 77 MinGW or wine
#        missing, or no network namespace to be had (skipped), 2 bad usage
#
# Environment: MINGW_CXX (default x86_64-w64-mingw32-g++-posix), WINE64
# (default /usr/lib/wine/wine64), TESSALY_WINEPREFIX (default
# BUILD_TMP_DIR/wineprefix; point it at a cache directory to keep the prefix
# between builds).
set -u -o pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_TMP_DIR NATIVE_PROBE_PATH" >&2
    exit 2
fi
work=$1
native_probe=$2
root=$(cd "$(dirname "$0")/../.." && pwd)

mingw_cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$mingw_cxx" >/dev/null 2>&1; then
    echo "skipped: $mingw_cxx not found (apt-get install g++-mingw-w64-x86-64-posix)"
    exit 77
fi
wine=${WINE64:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
    wine=$(command -v wine64 2>/dev/null) || {
        echo "skipped: wine64 not found (apt-get install wine64)"
        exit 77
    }
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver 2>/dev/null) || wineserver=
if [ ! -x "$native_probe" ]; then
    echo "FAIL: native probe $native_probe is not an executable"
    exit 1
fi

mkdir -p "$work" || exit 1
exe=$work/macprobe.exe
sources=("$root/tests/wine/macprobe.cpp" "$root/identity/hardwareaddress.cpp"
         "$root/identity/hardwareaddress_win.cpp")
stale=0
[ -f "$exe" ] || stale=1
for source in "${sources[@]}" "$root/identity/hardwareaddress.h"; do
    [ "$source" -nt "$exe" ] && stale=1
done
if [ $stale = 1 ]; then
    echo "building $exe"
    if ! "$mingw_cxx" -std=c++17 -static -O2 -Wall -Wextra -I "$root" -o "$exe" \
            "${sources[@]}" -liphlpapi; then
        echo "FAIL: MinGW build of the probe failed"
        exit 1
    fi
fi

if [ -z "${TESSALY_CROSSCHECK_NETNS:-}" ]; then
    unshare --net true 2>/dev/null || { echo "skipped: cannot make a network namespace here"; exit 77; }
    exec env TESSALY_CROSSCHECK_NETNS=1 unshare --net bash "$0" "$@"
fi
ip link set lo up
ip link add tsy0 address 02:ff:00:00:00:01 type veth peer name tsy1 address 02:0a:1b:2c:3d:4e ||
    { echo "FAIL: cannot make the veth adapters"; exit 1; }
# The one the kernel lists first.
expected=02:0A:1B:2C:3D:4E

# No display, no dialogs, no Mono/Gecko installers on the first start.
export WINEPREFIX=${TESSALY_WINEPREFIX:-$work/wineprefix}
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

stop_wineserver() {
    # Let this prefix's wineserver go away before returning to the caller.
    [ -n "$wineserver" ] && timeout 60 "$wineserver" -w >/dev/null 2>&1
}
# One left from an earlier run would list that run's namespace's adapters.
[ -z "$wineserver" ] || "$wineserver" -k >/dev/null 2>&1
stop_wineserver

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating wine prefix $WINEPREFIX"
    started=$(date +%s)
    if ! timeout 300 "$wine" wineboot --init >"$work/wineboot.log" 2>&1; then
        echo "FAIL: wineboot did not finish; see $work/wineboot.log"
        stop_wineserver
        exit 1
    fi
    stop_wineserver
    echo "wine prefix ready after $(( $(date +%s) - started )) s"
fi

run_wine() {
    timeout 120 "$wine" "$exe" "$@" | tr -d '\r'
}

status=0
if ! self_check=$(run_wine --self-check 2>&1); then
    echo "FAIL: picker self-check under wine"
    status=1
fi
echo "$self_check" | sed 's/^/  self-check: /'

native_text=$("$native_probe") || { echo "FAIL: native probe exited non-zero"; status=1; }
wine_text=$(run_wine) || { echo "FAIL: probe under wine exited non-zero"; status=1; }

if [ "$native_text" = "$expected" ] && [ "$wine_text" = "$expected" ]; then
    echo "same MAC text natively and under wine: [$native_text]"
else
    echo "MAC text differs"
    echo "  expected (first adapter):    [$expected]"
    echo "  native (Linux reader):       [$native_text]"
    echo "  wine   (GetAdaptersInfo):    [$wine_text]"
    echo "  adapters as wine lists them:"
    run_wine --adapters 2>&1 | sed 's/^/    /'
    echo "  interfaces as the kernel lists them:"
    ip -o link 2>/dev/null | sed 's/\\.*link\// link\//; s/^/    /'
    status=1
fi

stop_wineserver
exit $status
