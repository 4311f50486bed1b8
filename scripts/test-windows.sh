#!/usr/bin/env bash
# Builds the agent for 64-bit Windows and runs it and its QtTest suites under
# wine, in the Debian sid chroot that scripts/chroot.sh makes and shares with
# the release-Qt leg.
#
#  1. Qt for Windows: cross-built from Debian's sources by
#     scripts/build-qt-mingw.sh, or reused from its cache (below).
#  2. The agent and its test suites, cross-built with cmake/mingw-w64-x86_64.cmake
#     (Release); configuring against a Qt older than 6.9 must be refused.
#  3. tessaly.exe's PE headers: PE32+ x86-64, GUI subsystem, no resource section,
#     GetAdaptersInfo from iphlpapi.
#  4. cmake --install deploys; every suite runs under wine 10 (ctest with wine
#     as the cross-compiling emulator) against the reference service on
#     loopback, in a fresh wine prefix.
#  5. The deployed tessaly.exe starts in another fresh prefix, with no Qt on
#     the path: its "Tessaly" window maps with a 220 x 224 client area, a sign-in
#     typed with xdotool registers the device and the Identify box opens, each
#     checked on the reference service's record (tests/e2e/login.sh --wine).
#  6. The NSIS setup program (cpack), installed, upgraded from an older version
#     and uninstalled in a fresh prefix (tests/wine/installer.sh).
#
# Under wine, Schannel's trusted roots are the chroot's CA bundle, so the
# reference service's test CA is added to it for this run only (a bind mount
# that goes away with the run).
#
# The cross-built Qt is kept in $TESSALY_QT_MINGW_CACHE (default
# /var/cache/tessaly/qt-mingw), one directory per Qt version and hash of the
# build script, the toolchain file and the patches. An entry counts only once
# its marker is written, last, after its files check out; it is built in a
# temporary directory and renamed into place, so an interrupted build never
# counts. TESSALY_QT_MINGW_REBUILD=1 builds it again.
#
# If no chroot can be had at all this prints one line starting with "SKIPPED:"
# and exits 0; any other failure exits non-zero. Environment: as
# scripts/chroot.sh describes, and the two variables above.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
min_qt=6.9
min_wine=10
jobs=$(nproc)

chroot_packages=(
    # cross build: MinGW-w64, and the chroot's own Qt as host tools (moc, rcc,
    # uic, and qsb for Multimedia's shaders)
    cmake ninja-build ccache g++-mingw-w64-x86-64-posix qt6-base-dev qt6-shadertools-dev
    # Qt's sources
    dpkg-dev xz-utils patch
    # running it: wine, a display with a tray, a sound sink, the reference service
    wine wine64 xvfb xauth stalonetray xdotool x11-utils pulseaudio pulseaudio-utils libpulse0
    # wine decodes the alert sound with GStreamer
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    imagemagick python3 python3-h2 openssl ca-certificates
    # the end-to-end sign-in runs in a network namespace of its own
    iproute2 hostname
    # the setup program
    nsis
    # tests/e2e/wmclose, closing a window as a window manager does
    g++ libx11-dev
)
chroot_tools=(cmake ninja ccache x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump
              qmake6 dpkg-source wine wine64 Xvfb stalonetray xdotool xwininfo
              pulseaudio pactl import python3 openssl ip makensis)
chroot_label=windows
chroot_skip_what="Windows tests (the agent cross-built for Windows, run under wine in a Debian sid chroot)"
started=$(date +%s)

chroot_check_leg() {
    local c=$1 qt wine
    qt=$(in_chroot "$c" qmake6 -query QT_VERSION 2>/dev/null || true)
    if [ -z "$qt" ] || ! version_ge "$qt" "$min_qt"; then
        say "qmake6 in $c reports Qt '${qt:-none}', not $min_qt or later"; return 1
    fi
    # wine 8 fails TLS with a private CA.
    wine=$(in_chroot "$c" wine --version 2>/dev/null | sed -n 's/^wine-\([0-9.]*\).*/\1/p')
    if [ -z "$wine" ] || ! version_ge "$wine" "$min_wine"; then
        say "wine in $c is '${wine:-missing}', not $min_wine or later"; return 1
    fi
}

source "$root/scripts/chroot.sh"
chroot_open "$@"
c=$chroot_dir

fail() {
    echo "FAIL: $*"
    exit 1
}

# --- Sources ---------------------------------------------------------------
# Fixed paths, so that ccache hits whatever clone the sources came from.
win=/build/windows
src=$win/src
build=$win/build
dist=$win/dist
step_started=$(date +%s)
copy_sources "$root" "$c$src"
say "copied $(find "$c$src" -type f | wc -l) source files into the chroot ($(elapsed "$step_started"))"

host_qt=$(in_chroot "$c" qmake6 -query QT_VERSION)
host_qt_cmake=$(in_chroot "$c" qmake6 -query QT_INSTALL_LIBS)/cmake
mingw_package=$(in_chroot "$c" dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
wine_version=$(in_chroot "$c" wine --version)

# --- Qt for Windows -----------------------------------------------------------
qt_prefix=/opt/qt-mingw
qt_cache=${TESSALY_QT_MINGW_CACHE:-/var/cache/tessaly/qt-mingw}
qt_cache=${qt_cache%/}
qt_marker=.tessaly-qt-ready
qt_hash=$(cd "$root" && { cat scripts/build-qt-mingw.sh cmake/mingw-w64-x86_64.cmake
                          find scripts/qt-mingw-patches -type f -name '*.patch' 2>/dev/null |
                              sort | xargs -r cat
                          echo "mingw $mingw_package"; } | sha256sum | cut -c1-12)
qt_entry=$qt_cache/$host_qt-$qt_hash
# What the agent, its tests and its deployment need from it.
qt_expected=(
    bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Test.dll
    bin/Qt6Multimedia.dll
    plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll
    plugins/tls/qschannelbackend.dll plugins/imageformats/qico.dll
    plugins/styles/qmodernwindowsstyle.dll plugins/multimedia/windowsmediaplugin.dll
    lib/libQt6EntryPoint.a
    lib/cmake/Qt6/Qt6Config.cmake lib/cmake/Qt6Multimedia/Qt6MultimediaConfig.cmake
)
qt_files_present() {
    local file
    for file in "${qt_expected[@]}"; do
        [ -s "$1/$file" ] || { say "$1 lacks $file"; return 1; }
    done
}
qt_entry_sound() { [ -f "$1/$qt_marker" ] && qt_files_present "$1"; }

mkdir -p "$qt_cache"
exec 8>"$qt_cache/.lock"
flock 8
for leftover in "$qt_cache"/.*.new.*; do
    [ -e "$leftover" ] || continue
    say "removing leftover $leftover"
    rm -rf --one-file-system "$leftover"
done

qt_built=no
if [ -z "${TESSALY_QT_MINGW_REBUILD:-}" ] && qt_entry_sound "$qt_entry"; then
    say "reusing Qt $host_qt for Windows from $qt_entry"
else
    if [ -n "${TESSALY_QT_MINGW_REBUILD:-}" ]; then
        say "building Qt $host_qt for Windows again: TESSALY_QT_MINGW_REBUILD is set"
    else
        say "building Qt $host_qt for Windows into $qt_entry (about 15 min on 2 idle cores)"
    fi
    step_started=$(date +%s)
    new_entry=$(mktemp -d "$qt_cache/.$host_qt-$qt_hash.new.XXXXXX")
    chmod 755 "$new_entry"
    bind_into_chroot "$new_entry" "$qt_prefix"
    if ! in_chroot "$c" nice bash "$src/scripts/build-qt-mingw.sh" "$qt_prefix" /build/qt-mingw; then
        fail "building Qt for Windows failed (logs in the chroot under /build/qt-mingw)"
    fi
    umount "$c$qt_prefix"
    qt_files_present "$new_entry" || fail "the new Qt for Windows lacks files it should have"
    echo "# Written last, once the build finished; see scripts/test-windows.sh" >"$new_entry/$qt_marker"
    rm -rf --one-file-system "$c/build/qt-mingw"
    if [ -e "$qt_entry" ]; then
        old=$(mktemp -u "$qt_cache/.$host_qt-$qt_hash.old.XXXXXX")
        mv "$qt_entry" "$old"
        mv "$new_entry" "$qt_entry"
        rm -rf --one-file-system "$old"
    else
        mv "$new_entry" "$qt_entry"
    fi
    # Entries for other versions or options are not used again.
    find "$qt_cache" -mindepth 1 -maxdepth 1 -type d ! -path "$qt_entry" -exec rm -rf --one-file-system {} +
    qt_built=yes
    say "Qt for Windows built in $(elapsed "$step_started")"
fi
bind_into_chroot "$qt_entry" "$qt_prefix" ro
qt_info=$(grep -E '^(qtbase|qtmultimedia|mingw) ' "$qt_entry/tessaly-qt-mingw.txt" | tr '\n' ';' | sed 's/;$//; s/;/; /g')
say "Qt for Windows: $qt_info; size $(du -sh "$qt_entry" | cut -f1)"

# --- Cross build --------------------------------------------------------------
step_started=$(date +%s)
rm -rf --one-file-system "$c$build" "$c$dist"
mkdir -p "$c$build"
build_log=$c$build/build.log
in_chroot "$c" ccache --zero-stats >/dev/null 2>&1 || true
if ! in_chroot "$c" bash -c '
        set -e
        cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" \
              -DCMAKE_PREFIX_PATH="$3" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$4" \
              -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine \
              -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        nice cmake --build "$2" --parallel "$5" -- -k 0' build \
        "$src" "$build" "$qt_prefix" "$host_qt_cmake" "$jobs" >"$build_log" 2>&1; then
    tail -n 40 "$build_log" | sed 's/^/    /'
    fail "the cross build failed (log in the chroot: $build$build.log)"
fi
warnings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$build_log" | sed "s|^$src/||" | sort -u || true)
say "cross-built in $(elapsed "$step_started"), $(grep -c . <<<"$warnings" || true) warnings"
[ -z "$warnings" ] || echo "$warnings" | sed 's/^/    /'

# A Windows build refuses a Qt older than 6.9: a package that says it is 6.8.
fake_qt=$c$win/qt-6.8
mkdir -p "$fake_qt/lib/cmake/Qt6"
printf '%s\n' 'set(PACKAGE_VERSION 6.8.3)' 'set(PACKAGE_VERSION_COMPATIBLE TRUE)' \
    >"$fake_qt/lib/cmake/Qt6/Qt6ConfigVersion.cmake"
printf '%s\n' 'set(Qt6_FOUND TRUE)' >"$fake_qt/lib/cmake/Qt6/Qt6Config.cmake"
old_qt_output=$(in_chroot "$c" cmake -S "$src" -B "$win/build-qt-6.8" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$win/qt-6.8" 2>&1 || true)
rm -rf --one-file-system "$fake_qt" "$c$win/build-qt-6.8"
if ! grep -q 'A Windows build needs Qt 6.9 or later' <<<"$old_qt_output"; then
    echo "$old_qt_output" | tail -n 20 | sed 's/^/    /'
    fail "configuring for Windows against Qt 6.8 was not refused"
fi
say "configuring for Windows against Qt 6.8 is refused"

# --- The program's PE headers -----------------------------------------------
exe=$c$build/tessaly.exe
[ -f "$exe" ] || fail "no tessaly.exe in $build"
pe_headers=$(in_chroot "$c" x86_64-w64-mingw32-objdump -h -p "$build/tessaly.exe")
pe_problems=()
grep -q 'file format pei-x86-64' <<<"$pe_headers" || pe_problems+=("not a pei-x86-64 file")
grep -Eq '^Magic[[:space:]]+020b' <<<"$pe_headers" || pe_problems+=("not PE32+ (optional header magic is not 020b)")
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$pe_headers" || pe_problems+=("not the Windows GUI subsystem")
! grep -Eq '^ *[0-9]+ \.rsrc ' <<<"$pe_headers" || pe_problems+=("has a resource section (.rsrc)")
grep -Eq '^Entry 2 0+ 0+ Resource Directory' <<<"$pe_headers" ||
    pe_problems+=("its resource data directory is not empty")
grep -qi 'DLL Name: iphlpapi.dll' <<<"$pe_headers" || pe_problems+=("does not import iphlpapi.dll")
grep -q 'GetAdaptersInfo' <<<"$pe_headers" || pe_problems+=("does not import GetAdaptersInfo")
if [ ${#pe_problems[@]} -ne 0 ]; then
    printf '    %s\n' "${pe_problems[@]}"
    fail "tessaly.exe's PE headers"
fi
say "tessaly.exe: PE32+ x86-64, GUI subsystem, no resource section, imports GetAdaptersInfo ($(( $(stat -c %s "$exe") / 1024 )) KiB)"

# --- Deployment ---------------------------------------------------------------
install_log=$c$build/install.log
if ! in_chroot "$c" cmake --install "$build" --prefix "$dist" >"$install_log" 2>&1; then
    tail -n 30 "$install_log" | sed 's/^/    /'
    fail "cmake --install failed"
fi
say "deployed $(find "$c$dist" -type f | wc -l) files, $(du -sh "$c$dist" | cut -f1): $(cd "$c$dist/bin" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"

# --- Wine --------------------------------------------------------------------
# The reference service's test CA joins the CA bundle that wine's root store
# reads, for this run only.
ca=$c$build/refservice-state/ca.pem
[ -s "$ca" ] || fail "the build made no reference service CA at $build/refservice-state/ca.pem"
bundle=/etc/ssl/certs/ca-certificates.crt
cat "$c$bundle" "$ca" >"$c$win/ca-bundle-with-test-ca.crt"
mount --bind "$c$win/ca-bundle-with-test-ca.crt" "$c$bundle"

# wine-session.sh gives each run a display with a tray (for the windows
# platform) and a sound sink.
session=$src/scripts/wine-session.sh

# --- The suites under wine ----------------------------------------------------
# The Qt and MinGW libraries come from their own folders through WINEPATH.
runtime_path=$(in_chroot "$c" bash -c '
    q=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
    p=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
    printf "Z:%s;Z:%s;Z:%s" "$1/bin" "$q" "$p" | tr / "\\\\"' path "$qt_prefix")
step_started=$(date +%s)
test_log=$c$build/ctest.log
rm -rf --one-file-system "$c$win/wine-tests"
set +e
in_chroot "$c" env WINEPATH="$runtime_path" "$session" "$win/wine-tests" \
    bash -c 'cd "$1" && ctest --output-on-failure --timeout 300' ctest "$build" >"$test_log" 2>&1
test_status=$?
set -e
test_time=$(elapsed "$step_started")

# --- The deployed program, end to end ------------------------------------------
# A fresh prefix, no WINEPATH: everything must come from the deployed folder.
# tests/e2e/login.sh types a sign-in and waits for the Identify box, and checks
# the service's record byte for byte.
step_started=$(date +%s)
rm -rf --one-file-system "$c$win/wine-deployed"
service_url=$(sed -n 's/^TESSALY_SERVICE_URL:STRING=//p' "$c$build/CMakeCache.txt")
screenshot=$win/tessaly-under-wine.png
set +e
e2e_output=$(in_chroot "$c" g++ -O1 -o "$win/wmclose" "$src/tests/e2e/wmclose.cpp" -lX11 2>&1 &&
    in_chroot "$c" bash "$src/tests/e2e/login.sh" --wine "$session" "$win/wine-deployed" "$screenshot" \
    "$dist/bin/tessaly.exe" "$service_url" "$src/refservice/refservice.py" "$build/refservice-state" \
    "$build/macprobe.exe" "$win/wmclose" 2>&1)
e2e_status=$?
set -e
e2e_time=$(elapsed "$step_started")
if [ -s "$c$screenshot" ]; then
    mkdir -p "$root/build"
    cp "$c$screenshot" "$root/build/tessaly-under-wine.png"
fi

# --- The setup program ----------------------------------------------------------
# This build's setup, and the same payload as an older version to upgrade from.
step_started=$(date +%s)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$c$build/CMakeCache.txt")
package_log=$c$build/cpack.log
set +e
in_chroot "$c" bash -c '
    set -e
    cd "$1"
    cpack -G NSIS -B "$1/package"
    cpack -G NSIS -B "$1/package-old" -D CPACK_PACKAGE_VERSION=0.9.0 \
          -D CPACK_PACKAGE_FILE_NAME=tessaly-0.9.0-win64-setup' cpack "$build" >"$package_log" 2>&1
package_status=$?
installer_status=1
installer_output=
if [ $package_status -eq 0 ]; then
    new_setup=$build/package/tessaly-$version-win64-setup.exe
    old_setup=$build/package-old/tessaly-0.9.0-win64-setup.exe
    installer_output=$(in_chroot "$c" "$session" "$win/wine-installer" \
        bash "$src/tests/wine/installer.sh" "$old_setup" "$new_setup" "$version" 2>&1)
    installer_status=$?
else
    installer_output=$(tail -n 30 "$package_log")
fi
set -e
installer_time=$(elapsed "$step_started")

echo
echo "=== Windows summary ==="
say "Qt for Windows $qt_info ($( [ $qt_built = yes ] && echo built || echo from the cache))"
say "host Qt $host_qt, $wine_version, MinGW g++ $mingw_package"
say "ctest under wine ($test_time):"
grep -E '^ *[0-9]+/[0-9]+ Test +#' "$test_log" | sed 's/^ */    /'
sed -n '/tests passed\|tests failed out of/,$p' "$test_log" | sed 's/^/    /'
# A suite's own output is in a file of its own (tests/CMakeLists.txt).
for suite in $(sed -n 's/^[[:space:]]*[0-9]* - \(tst_[a-z]*\) (.*/\1/p' "$test_log"); do
    say "$suite under wine, its failures:"
    grep -E -A4 '^(FAIL!|XPASS)' "$c$build/tests/$suite.txt" 2>/dev/null | sed 's/^/    /' ||
        echo "    (no output file: it did not start, or it crashed before writing)"
done
say "the deployed tessaly.exe under wine, end to end ($e2e_time):"
echo "$e2e_output" | sed 's/^/    /'
say "the setup program ($installer_time):"
echo "$installer_output" | sed 's/^/    /'
say "total $(elapsed "$started")"
[ $e2e_status -eq 0 ] || fail "the deployed tessaly.exe under wine, end to end"
[ $installer_status -eq 0 ] || fail "the setup program under wine"
if [ $test_status -ne 0 ]; then
    echo "FAIL: test suites failed under wine (log in the chroot: $build/ctest.log)"
    exit $test_status
fi
