# What the Windows leg (scripts/test-windows.sh) and the wine benchmarks
# (bench/wine.sh) share: what the sid chroot must hold to cross-build the
# Windows program and run it under wine, and the cross build's configure.
# Sourced, not run, before scripts/chroot.sh; cross_configure once the chroot
# is open.

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
chroot_check_leg() {
    local qt wine
    qt=$(in_chroot "$1" qmake6 -query QT_VERSION 2>/dev/null || true)
    version_ge "${qt:-0}" 6.9 || { say "qmake6 in $1 reports Qt '${qt:-none}', not 6.9 or later"; return 1; }
    # wine 8 fails TLS with a private CA.
    wine=$(in_chroot "$1" wine --version 2>/dev/null | sed -n 's/^wine-\([0-9.]*\).*/\1/p')
    version_ge "${wine:-0}" 10 || { say "wine in $1 is '${wine:-missing}', not 10 or later"; return 1; }
}

# `cross_configure SOURCE BUILD QT_PREFIX [CMAKE_ARGUMENTS...]`: in the open
# chroot, configures a Release build of the program from SOURCE into BUILD
# against Qt for Windows at QT_PREFIX (paths in the chroot; the chroot's own
# Qt gives the host tools), as the release is built: Qt must bound HTTP/1.1
# framing (scripts/qt-mingw-patches).
cross_configure() {
    in_chroot "$chroot_dir" bash -c 'cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$3" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR="$(qmake6 -query QT_INSTALL_LIBS)/cmake" \
        -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DTESSALY_REQUIRE_BOUNDED_HTTP1=ON "${@:4}"' configure "$@"
}
