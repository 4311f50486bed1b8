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
# Where no chroot can be had it writes nothing and is skipped, which fails it
# unless TESSALY_SKIP_LEGS names bench-wine (scripts/lib.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
source "$root/scripts/lib.sh"
label=bench-wine
source "$root/scripts/cross-build.sh"
chroot_skip_what="the Windows program's benchmarks"
source "$root/scripts/chroot.sh"
chroot_open "$@"
c=$chroot_dir
source "$root/scripts/qt-mingw-cache.sh"

port=18444
top=/build/bench-wine
src=$top/src
build=$top/build
qt=/opt/qt-mingw
state=$top/work/refservice-state
run() { in_chroot "$c" "$@"; }

sources() {
    rm -rf --one-file-system "$c$top/dist" "$c$top/work" && mkdir -p "$c$top/work" && copy_sources "$root" "$c$src"
}
compile() {
    cross_configure "$src" "$build" "$qt" -DBUILD_TESTING=OFF -DTESSALY_BUILD_BENCHMARKS=ON \
            -DTESSALY_SERVICE_URL=https://localhost:$port \
            -DTESSALY_PUBLIC_ADDRESS_URL=https://localhost:$port -DTESSALY_TRUSTED_CA= &&
        run nice cmake --build "$build" --parallel "$(nproc)" --target tessaly bench_form bench_empty &&
        run cmake --install "$build" --prefix "$top/dist" &&
        cp "$c$build"/bench/bench_form.exe "$c$build"/bench/bench_empty.exe "$c$top/dist/bin/" &&
        grep -E '^qtbase ' "$c$qt/tessaly-qt-mingw.txt" | awk '{ print $2 }' >"$c$top/dist/qt-version.txt"
}
# The reference service's certificates, and its CA among the roots that
# wine's Schannel trusts (the chroot's CA bundle), for this run only.
trust_test_ca() {
    local bundle=/etc/ssl/certs/ca-certificates.crt
    run python3 "$src/refservice/refservice.py" make-certs --state-dir "$state" >/dev/null &&
        cat "$c$bundle" "$c$state/ca.pem" >"$c$top/work/ca-bundle.crt" &&
        mount --bind "$c$top/work/ca-bundle.crt" "$c$bundle"
}
measure() {
    run env BENCH_WINE_ROUNDS="${BENCH_WINE_ROUNDS:-15}" BENCH_PORT=$port \
        "$src/scripts/session.sh" --tray --sound --wine "$top/work/prefix" \
        python3 "$src/bench/wine.py" --bin "$top/dist/bin" --state-dir "$state" \
        --out "$top/work/wine.json" &&
        cp "$c$top/work/wine.json" "$out"
}

step "sources copied into the chroot" sources
step "Qt for Windows" qt_mingw_open "$root" "$src/scripts/build-qt-mingw.sh" "$qt"
step "cross-built and deployed" logged "$c$top/work/build.log" compile
step "the test CA trusted for this run" trust_test_ca
step "measured; figures in $out" measure
summary
