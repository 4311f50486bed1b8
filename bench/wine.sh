#!/usr/bin/env bash
# The Windows program's benchmarks under wine, for scripts/bench.sh: in the
# Windows leg's sid chroot and with its cached Qt for Windows (both made by
# the leg's own scripts when missing), cross-builds the agent as a release is
# built (no extra CA; its service the reference service on port 18444, apart
# from the Linux runs' 18443) with
# the programs of bench/, deploys them into one folder, and runs
# bench/wine.py there in a wine session. Writes its figures to OUT.
#
# Usage: bench/wine.sh OUT.json
# Prints "SKIPPED: ..." and writes nothing where no chroot can be had.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
source "$root/scripts/lib.sh"
label=bench-wine
# What building against Qt for Windows and running under wine need; a subset
# of the Windows leg's list, so the shared chroot already holds it.
chroot_packages=(
    cmake ninja-build ccache g++-mingw-w64-x86-64-posix qt6-base-dev qt6-shadertools-dev
    dpkg-dev xz-utils patch
    wine wine64 xvfb xauth stalonetray x11-utils pulseaudio libpulse0
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good python3 python3-h2 openssl ca-certificates
)
chroot_tools=(cmake ninja x86_64-w64-mingw32-g++-posix qmake6 wine Xvfb stalonetray pulseaudio python3)
chroot_skip_what="the Windows program's benchmarks"
source "$root/scripts/chroot.sh"
chroot_open "$@"
c=$chroot_dir
source "$root/scripts/qt-mingw-cache.sh"

port=18444
top=/build/bench-wine
src=$top/src
build=$top/build
copy_sources "$root" "$c$src"
qt=/opt/qt-mingw
qt_mingw_open "$root" "$src/scripts/build-qt-mingw.sh" "$qt"

started=$(date +%s)
rm -rf --one-file-system "$c$top/dist" "$c$top/work"
mkdir -p "$c$top/work"
in_chroot "$c" bash -c '
    set -e
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$3" \
          -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$(qmake6 -query QT_INSTALL_LIBS)/cmake" \
          -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DBUILD_TESTING=OFF -DTESSALY_BUILD_BENCHMARKS=ON \
          -DTESSALY_SERVICE_URL=https://localhost:$5 \
          -DTESSALY_PUBLIC_ADDRESS_URL=https://localhost:$5 -DTESSALY_TRUSTED_CA=
    nice cmake --build "$2" --parallel "$(nproc)" --target tessaly bench_form bench_empty
    cmake --install "$2" --prefix "$4"
    cp "$2"/bench/bench_form.exe "$2"/bench/bench_empty.exe "$4/bin/"
    ' build "$src" "$build" "$qt" "$top/dist" "$port" >"$c$top/work/build.log" 2>&1 ||
    { tail -n 30 "$c$top/work/build.log" | indent; fail "the cross build failed"; }
grep -E '^qtbase ' "$c$qt/tessaly-qt-mingw.txt" | awk '{ print $2 }' >"$c$top/dist/qt-version.txt"
say "cross-built and deployed in $(elapsed "$started")"

# The reference service's certificates, and its CA among the roots that
# wine's Schannel trusts (the chroot's CA bundle), for this run only.
state=$top/work/refservice-state
in_chroot "$c" python3 "$src/refservice/refservice.py" make-certs --state-dir "$state" >/dev/null
bundle=/etc/ssl/certs/ca-certificates.crt
cat "$c$bundle" "$c$state/ca.pem" >"$c$top/work/ca-bundle.crt"
mount --bind "$c$top/work/ca-bundle.crt" "$c$bundle"

in_chroot "$c" env BENCH_WINE_ROUNDS="${BENCH_WINE_ROUNDS:-15}" BENCH_PORT=$port \
    "$src/scripts/session.sh" --tray --sound --wine "$top/work/prefix" \
    python3 "$src/bench/wine.py" --bin "$top/dist/bin" --state-dir "$state" \
    --out "$top/work/wine.json"
cp "$c$top/work/wine.json" "$out"
say "done in $(elapsed "$started"); figures in $out"
