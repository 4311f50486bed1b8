# What the Windows leg (scripts/test-windows.sh) and the wine benchmarks
# (bench/wine.sh) share: the tools the sid chroot must have to cross-build the
# Windows program and run it under wine (scripts/chroot.sh lists the packages),
# and the cross build's configure.
# Sourced, not run, before scripts/chroot.sh; cross_configure once the chroot
# is open.

chroot_tools=(cmake ninja ccache x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump
              qmake6 dpkg-source wine wine64 Xvfb stalonetray xdotool xwininfo
              pulseaudio pactl import python3 openssl ip makensis wixl osslsigncode g++)
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
