#!/usr/bin/env bash
# The Windows program: cross-built with MinGW-w64 against Qt for Windows
# (scripts/qt-mingw-cache.sh) and run under wine, in the Debian sid chroot
# that scripts/chroot.sh makes and the release-Qt leg shares. The steps are
# listed at the end; docs/WINDOWS.md tells what each one checks.
#
# If no chroot can be had at all the leg is skipped, which fails it unless
# TESSALY_SKIP_LEGS names it (scripts/lib.sh); any failure exits non-zero.
# With --prepare it only makes the chroot and Qt for Windows, in folders of
# its own, so that scripts/test.sh can have them made beside the other legs.
# Environment: as scripts/chroot.sh and scripts/qt-mingw-cache.sh describe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
label=windows
started=$(date +%s)
prepare=
[ "${1:-}" != --prepare ] || prepare=-prepare

source "$root/scripts/cross-build.sh"
chroot_skip_what="Windows tests (the agent cross-built for Windows, run under wine in a Debian sid chroot)"
# The commit's time for every time stamp the build writes; the test
# certificate's password reaches the build through the environment only.
chroot_keep_env=(SOURCE_DATE_EPOCH TESSALY_SIGN_PASSWORD)
source "$root/scripts/chroot.sh"
chroot_open "$@"
source "$root/scripts/qt-mingw-cache.sh"

# Fixed paths, so that ccache hits whatever clone the sources came from.
c=$chroot_dir win=/build/windows$prepare
src=$win/src build=$win/build dist=$win/dist qt=/opt/qt-mingw
session=$src/scripts/session.sh
check_dir=$c$win/checks
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
TESSALY_SIGN_PASSWORD=$(head -c 18 /dev/urandom | base64)
export SOURCE_DATE_EPOCH TESSALY_SIGN_PASSWORD
run() { in_chroot "$c" "$@"; }

sources() {
    rm -rf --one-file-system "$c$win" && copy_sources "$root" "$c$src" && mkdir -p "$c$build" "$check_dir"
}

# wmclose closes a window as a window manager does; probe.exe asks Windows
# what X11 cannot tell under wine.
helpers() {
    run g++ -O1 -o "$win/wmclose" "$src/tests/e2e/wmclose.cpp" -lX11 &&
        run x86_64-w64-mingw32-g++-posix -municode -static -O1 -o "$win/probe.exe" "$src/tests/wine/probe.cpp"
}

compile() {
    cross_configure "$src" "$build" "$qt" -DTESSALY_SIGN_PKCS12="$win/signer.p12" &&
        run env CCACHE_BASEDIR=$win nice cmake --build "$build" --parallel "$(nproc)" -- -k 0
}
cross_build() {
    run ccache --zero-stats >/dev/null 2>&1 || true
    logged "$c$build/build.log" compile || return 1
    local warnings
    warnings=$(compiler_warnings "$c$build/build.log" "$src")
    say "$(grep -c . <<<"$warnings" || true) warnings; $(run ccache --print-stats | ccache_figures)"
    [ -z "$warnings" ] || indent <<<"$warnings"
}

deploy() {
    logged "$c$build/install.log" run cmake --install "$build" --prefix "$1" || return 1
    say "$1: $(find "$c$1" -type f | wc -l) files, $(du -sh "$c$1" | cut -f1): $(cd "$c$1/bin" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"
}

package() {
    logged "$c$build/cpack.log" run bash -c 'cd "$1" && cpack -G NSIS -B "$2" "${@:3}"' cpack "$build" "$@"
}

# Built again (the resources touched, so that they are compiled again), then
# staged and packed again without SOURCE_DATE_EPOCH, so that the time the
# build was configured with must do: the same bytes (docs/WINDOWS.md).
reproducible() {
    touch "$c$src"/resources/*
    logged "$c$build/rebuild.log" run cmake --build "$build" --target tessaly || return 1
    logged "$c$build/install-again.log" run env -u SOURCE_DATE_EPOCH \
        cmake --install "$build" --prefix "$win/dist-again" || return 1
    diff -r -q "$c$dist" "$c$win/dist-again" || return 1
    logged "$c$build/cpack-again.log" run env -u SOURCE_DATE_EPOCH \
        bash -c 'cd "$1" && cpack -G NSIS -B "$1/package-again"' cpack "$build" || return 1
    cmp "$c$build/package/tessaly-$version-win64-setup.exe" "$c$build/package-again/tessaly-$version-win64-setup.exe" || return 1
    logged "$c$build/msi-again.log" run env -u SOURCE_DATE_EPOCH cmake -DOUTPUT="$build/msi-again.msi" -P "$build/msi.cmake" ||
        return 1
    cmp "$c$build/tessaly-$version-win64.msi" "$c$build/msi-again.msi"
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

# This build's setup program and MSI package, and the same payload as an
# older version (packed a day earlier) to upgrade from.
setup_program() {
    package "$build/package-old" -D CPACK_PACKAGE_VERSION=0.9.0 -D CPACK_PACKAGE_FILE_NAME=tessaly-0.9.0-win64-setup ||
        return 1
    logged "$c$build/msi-old.log" run cmake -DVERSION=0.9.0 -DSOURCE_DATE_EPOCH=$((SOURCE_DATE_EPOCH - 86400)) \
        -P "$build/msi.cmake" || return 1
    run "$session" --tray --sound bash "$src/tests/wine/installer.sh" \
        "$build/package-old/tessaly-0.9.0-win64-setup.exe" "$build/package/tessaly-$version-win64-setup.exe" \
        "$version" "$win/ca.pem" "$win/probe.exe" \
        "$build/tessaly-0.9.0-win64.msi" "$build/tessaly-$version-win64.msi" "$dist"
}

# The program as a release is configured (the system's roots only), for a
# service named by host names, behind the manual proxy that a fresh prefix's
# Internet Settings name. The shipped build talks to localhost, which Qt
# never sends through a proxy, hence this second build of tessaly.exe.
proxy_build() {
    cross_configure "$src" "$win/build-proxy" "$qt" -DBUILD_TESTING=OFF -DTESSALY_TRUSTED_CA= \
        -DTESSALY_SERVICE_URL=https://service.tessaly.test \
        -DTESSALY_PUBLIC_ADDRESS_URL=https://address.tessaly.test &&
        run env CCACHE_BASEDIR=$win nice cmake --build "$win/build-proxy" --target tessaly &&
        run cmake --install "$win/build-proxy" --prefix "$win/dist-proxy"
}
behind_proxy() {
    local built
    built=$(date +%s)
    logged "$c$win/build-proxy.log" proxy_build || return 1
    say "tessaly.exe configured, built and staged again in $(elapsed "$built")"
    run bash "$src/tests/wine/proxy.sh" "$session" "$win/wine-proxy" "$win/dist-proxy/bin/tessaly.exe" \
        "$src/refservice/refservice.py" "$build/refservice-state"
}

step "sources copied into the chroot" sources
step "Qt for Windows" qt_mingw_open "$root" "$src/scripts/build-qt-mingw.sh" "$qt"
[ -z "$prepare" ] || exit 0
# No time stamp for the test's signatures: nothing beyond loopback is reachable.
step "a code-signing certificate for the test" logged "$c$win/certificate.log" run bash "$src/tests/wine/signingcert.sh" "$win"
step "the tests' own helpers" helpers
step "cross build (Release)" cross_build
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$c$build/CMakeCache.txt")
step "configuring against Qt 6.8 is refused" run bash "$src/tests/wine/oldqt.sh" "$src" "$win/qt-6.8"
step "deployment" deploy "$dist"
step "tessaly.exe's PE headers" run bash "$src/tests/wine/peheaders.sh" "$dist/bin/tessaly.exe"
step "the setup program" package "$build/package"
step "the MSI package" logged "$c$build/msi.log" run cmake --build "$build" --target msi
step "the same bytes built, staged and packed again" reproducible
trust_test_ca
check "ctest under wine" suites
check "the deployed tessaly.exe under wine, end to end" end_to_end
check "tessaly.exe behind a manual proxy under wine" behind_proxy
check "the setup program and the MSI package under wine" setup_program
say "host Qt $(run qmake6 -query QT_VERSION), $(run wine --version), Qt for Windows $qt_mingw_origin, total $(elapsed "$started")"
summary
