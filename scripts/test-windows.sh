#!/usr/bin/env bash
# The Windows program: cross-built with MinGW-w64 against Qt for Windows
# (scripts/qt-mingw-cache.sh) and run under wine, in the Debian sid chroot
# that scripts/chroot.sh makes and the release-Qt leg shares. The steps are
# listed at the end; docs/WINDOWS.md tells what each one checks.
#
# If no chroot can be had at all this prints one line starting with "SKIPPED:"
# and exits 0; any failure exits non-zero. Environment: as scripts/chroot.sh
# and scripts/qt-mingw-cache.sh describe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=windows
started=$(date +%s)

chroot_packages=(
    # MinGW-w64, and the chroot's own Qt as host tools (moc, rcc, uic, qsb)
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
    # the setup program, signed
    nsis osslsigncode
    # tests/e2e/wmclose, closing a window as a window manager does
    g++ libx11-dev
)
chroot_tools=(cmake ninja ccache x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump
              qmake6 dpkg-source wine wine64 Xvfb stalonetray xdotool xwininfo
              pulseaudio pactl import python3 openssl ip makensis osslsigncode g++)
chroot_skip_what="Windows tests (the agent cross-built for Windows, run under wine in a Debian sid chroot)"
# The commit's time for every time stamp the build writes; the test
# certificate's password reaches the build through the environment only.
chroot_keep_env=(SOURCE_DATE_EPOCH TESSALY_SIGN_PASSWORD)
chroot_check_leg() {
    local qt wine
    qt=$(in_chroot "$1" qmake6 -query QT_VERSION 2>/dev/null || true)
    version_ge "${qt:-0}" 6.9 || { say "qmake6 in $1 reports Qt '${qt:-none}', not 6.9 or later"; return 1; }
    # wine 8 fails TLS with a private CA.
    wine=$(in_chroot "$1" wine --version 2>/dev/null | sed -n 's/^wine-\([0-9.]*\).*/\1/p')
    version_ge "${wine:-0}" 10 || { say "wine in $1 is '${wine:-missing}', not 10 or later"; return 1; }
}
source "$root/scripts/chroot.sh"
chroot_open "$@"
source "$root/scripts/qt-mingw-cache.sh"

# Fixed paths, so that ccache hits whatever clone the sources came from.
c=$chroot_dir win=/build/windows
src=$win/src build=$win/build dist=$win/dist qt=/opt/qt-mingw
session=$src/scripts/session.sh
check_dir=$c$win/checks
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
TESSALY_SIGN_PASSWORD=$(head -c 18 /dev/urandom | base64)
export SOURCE_DATE_EPOCH TESSALY_SIGN_PASSWORD
run() { in_chroot "$c" "$@"; }
logged() { local log=$1; shift; "$@" >"$c$log" 2>&1 || { tail -n 40 "$c$log" | indent; return 1; }; }

sources() {
    rm -rf --one-file-system "$c$win" && copy_sources "$root" "$c$src" && mkdir -p "$c$build" "$check_dir"
}

# wmclose closes a window as a window manager does; probe.exe asks Windows
# what X11 cannot tell under wine.
helpers() {
    run g++ -O1 -o "$win/wmclose" "$src/tests/e2e/wmclose.cpp" -lX11 &&
        run x86_64-w64-mingw32-g++-posix -municode -static -O1 -o "$win/probe.exe" "$src/tests/wine/probe.cpp"
}

cross_build() {
    run ccache --zero-stats >/dev/null 2>&1 || true
    logged "$build/build.log" run bash -c 'set -e
        cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" \
              -DCMAKE_PREFIX_PATH="$3" -DQT_HOST_PATH=/usr \
              -DQT_HOST_PATH_CMAKE_DIR="$(qmake6 -query QT_INSTALL_LIBS)/cmake" \
              -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
              -DTESSALY_SIGN_PKCS12="$4/signer.p12" -DTESSALY_REQUIRE_BOUNDED_HTTP1=ON
        nice cmake --build "$2" --parallel "$(nproc)" -- -k 0' build "$src" "$build" "$qt" "$win" || return 1
    local warnings
    warnings=$(compiler_warnings "$c$build/build.log" "$src")
    say "$(grep -c . <<<"$warnings" || true) warnings; $(run ccache --print-stats | ccache_figures)"
    [ -z "$warnings" ] || indent <<<"$warnings"
}

deploy() {
    logged "$build/install.log" run cmake --install "$build" --prefix "$1" || return 1
    say "$1: $(find "$c$1" -type f | wc -l) files, $(du -sh "$c$1" | cut -f1): $(cd "$c$1/bin" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"
}

package() {
    logged "$build/cpack.log" run bash -c 'cd "$1" && cpack -G NSIS -B "$2" "${@:3}"' cpack "$build" "$@"
}

# Built again (the resources touched, so that they are compiled again), then
# staged and packed again without SOURCE_DATE_EPOCH, so that the time the
# build was configured with must do: the same bytes (docs/WINDOWS.md).
reproducible() {
    touch "$c$src"/resources/*
    logged "$build/rebuild.log" run cmake --build "$build" --target tessaly || return 1
    logged "$build/install-again.log" run env -u SOURCE_DATE_EPOCH \
        cmake --install "$build" --prefix "$win/dist-again" || return 1
    diff -r -q "$c$dist" "$c$win/dist-again" || return 1
    logged "$build/cpack-again.log" run env -u SOURCE_DATE_EPOCH \
        bash -c 'cd "$1" && cpack -G NSIS -B "$1/package-again"' cpack "$build" || return 1
    cmp "$c$build/package/tessaly-$version-win64-setup.exe" "$c$build/package-again/tessaly-$version-win64-setup.exe"
}

# Under wine, TLS goes through Schannel, whose roots are the chroot's CA
# bundle: the reference service's test CA joins it for this run only.
trust_test_ca() {
    local bundle=/etc/ssl/certs/ca-certificates.crt
    cat "$c$bundle" "$c$build/refservice-state/ca.pem" >"$c$win/ca-bundle-with-test-ca.crt"
    mount --bind "$c$win/ca-bundle-with-test-ca.crt" "$c$bundle"
}

suites() { run "$session" --tray --sound --wine "$win/wine-tests" bash "$src/tests/wine/suites.sh" "$build" "$qt"; }

# The deployed program in a fresh prefix with no Qt on the path, one
# end-to-end script after the other.
end_to_end() {
    local url script status=0
    url=$(sed -n 's/^TESSALY_SERVICE_URL:STRING=//p' "$c$build/CMakeCache.txt")
    for script in signin identify handover restart; do
        echo "--- $script"
        run bash "$src/tests/e2e/$script.sh" --wine "$win/wine-deployed" "$win/probe.exe" \
            --screenshot "$win/tessaly-under-wine.png" "$dist/bin/tessaly.exe" "$url" \
            "$src/refservice/refservice.py" "$build/refservice-state" "$build/macprobe.exe" "$win/wmclose" ||
            status=1
    done
    if [ -s "$c$win/tessaly-under-wine.png" ]; then mkdir -p "$root/build" && cp "$c$win/tessaly-under-wine.png" "$root/build/"; fi
    return $status
}

# This build's setup program, and the same payload as an older version to upgrade from.
setup_program() {
    package "$build/package-old" -D CPACK_PACKAGE_VERSION=0.9.0 -D CPACK_PACKAGE_FILE_NAME=tessaly-0.9.0-win64-setup ||
        return 1
    run "$session" --tray --sound --wine "$win/wine-installer" bash "$src/tests/wine/installer.sh" \
        "$build/package-old/tessaly-0.9.0-win64-setup.exe" "$build/package/tessaly-$version-win64-setup.exe" \
        "$version" "$win/ca.pem" "$win/probe.exe"
}

step "sources copied into the chroot" sources
step "Qt for Windows" qt_mingw_open "$root" "$src/scripts/build-qt-mingw.sh" "$qt"
# No time stamp for the test's signatures: nothing beyond loopback is reachable.
step "a code-signing certificate for the test" logged "$win/certificate.log" run bash "$src/tests/wine/signingcert.sh" "$win"
step "the tests' own helpers" helpers
step "cross build (Release)" cross_build
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$c$build/CMakeCache.txt")
step "configuring against Qt 6.8 is refused" run bash "$src/tests/wine/oldqt.sh" "$src" "$win/qt-6.8"
step "deployment" deploy "$dist"
step "tessaly.exe's PE headers" run bash "$src/tests/wine/peheaders.sh" "$dist/bin/tessaly.exe"
step "the setup program" package "$build/package"
step "the same bytes built, staged and packed again" reproducible
trust_test_ca
check "ctest under wine" suites
check "the deployed tessaly.exe under wine, end to end" end_to_end
check "the setup program under wine" setup_program
say "host Qt $(run qmake6 -query QT_VERSION), $(run wine --version), Qt for Windows $qt_mingw_origin, total $(elapsed "$started")"
summary
