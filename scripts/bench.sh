#!/usr/bin/env bash
# Measures the agent and rewrites BENCHMARKS.md: start-up against a bare Qt
# program showing the same form, peak memory under each row of the fault
# matrix, the idle wake-ups of every thread, memory growth over thousands of
# answers, and the Windows program's start-up and idle memory under wine.
# Not part of the test suite. At e2e6738 it measured for 21 minutes on two
# cores and 12 under wine, with the Windows leg's chroot and Qt for Windows
# cached (bench/wine.sh makes them first where they are missing, as the leg
# does; the times of Qt's build steps go into its cache's record).
#
# Usage: scripts/bench.sh
# Environment: the BENCH_* knobs at the top of bench/bench.py shorten a run
# for a quick look; TESSALY_SKIP_LEGS=bench-wine leaves the Windows program
# out (scripts/lib.sh), which is otherwise required.
#
# Two Release builds: build/bench, with the reference service's test CA
# compiled in, for the fault matrix and the programs of bench/; and
# build/bench-release, the agent as a release is built (no extra CA), whose
# service is the reference service on port 18443. It trusts that service the
# way a release trusts the real one, through the system's roots: the test CA
# joins them for this run only, in a mount namespace of its own.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib.sh"
label=bench
build=$root/build/bench
release=$build-release
work=$build/bench-work
port=18443
started=$(date +%s)

step "dependencies" "$root/scripts/install-deps.sh" bench
[ "$(id -u)" -eq 0 ] || fail "needs root, to add the test CA to the system's roots for its run"
! ss -ltn 2>/dev/null | grep -q ":$port " || fail "port $port is taken; the release-like agent's service needs it"

builds() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
            -DTESSALY_BUILD_BENCHMARKS=ON &&
        cmake --build "$build" --parallel "$(nproc)" \
            --target tst_faultmatrix bench_empty bench_form bench_form_linked bench_busy &&
        cmake -S "$root" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
            -DTESSALY_SERVICE_URL=https://localhost:$port \
            -DTESSALY_PUBLIC_ADDRESS_URL=https://localhost:$port -DTESSALY_TRUSTED_CA= &&
        cmake --build "$release" --parallel "$(nproc)" --target tessaly
}
measure() {
    mkdir -p "$work"
    [ -n "${BENCH_ONLY:-}" ] || rm -f "$work/results.json"
    unshare --mount --propagation private bash -c '
        set -euo pipefail
        root=$1 ca=$2; shift 2
        roots=$(mktemp -d)
        trap "rm -rf \"\$roots\"" EXIT
        cp -a /etc/ssl/certs/. "$roots/"
        cp "$ca" "$roots/tessaly-bench-ca.pem"
        ln -s tessaly-bench-ca.pem "$roots/$(openssl x509 -hash -noout -in "$ca").0"
        cat "$ca" >>"$roots/ca-certificates.crt"
        mount --bind "$roots" /etc/ssl/certs
        "$root/scripts/session.sh" --tray --sound python3 "$root/bench/bench.py" "$@"
    ' bench "$root" "$build/refservice-state/ca.pem" \
        --build "$build" --release-build "$release" --out "$work/results.json"
}

step "Release builds" builds
built=$(date +%s)
step "measuring on this machine" measure
measured=$(date +%s)

wine_results=$work/wine.json
rm -f "$wine_results"
if skip_asked bench-wine; then
    label=bench-wine skipped bench-wine "TESSALY_SKIP_LEGS names it"
else
    check --live "the Windows program under wine" "$root/bench/wine.sh" "$wine_results"
fi

step "report" python3 "$root/bench/report.py" "$work/results.json" "$wine_results" "$root/BENCHMARKS.md" \
    "$((built - started))" "$((measured - built))"
say "builds $((built - started)) s, this machine $((measured - built)) s," \
    "wine $(( $(date +%s) - measured )) s; see BENCHMARKS.md"
summary
