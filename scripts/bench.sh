#!/usr/bin/env bash
# Builds the agent and its benchmark programs in Release, measures start-up,
# memory, idle cost, behaviour under a hostile service and the cost of one
# round trip, and writes the figures to BENCHMARKS.md. Not part of the test
# suite; takes about 20 minutes on two cores.
#
# Usage: scripts/bench.sh
# Environment: TESSALY_BENCH_BUILD_DIR (default build/bench); the BENCH_*
# knobs described at the top of bench/bench.py shorten a run for a quick look
# (BENCH_ONLY=startup,idle... re-measures only those sections and keeps the
# others' figures).
#
# Two builds are made: build/bench, whose agent has the reference service on
# port 18443 and its test CA compiled in (the idle and hostile runs talk to
# it) and which also holds the benchmark programs (bench/CMakeLists.txt, built
# with -DTESSALY_BUILD_BENCHMARKS=ON); and build/bench-noca, the agent alone
# built with no extra CA, the way a release is built. bench/README.md says
# which module measures what.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSALY_BENCH_BUILD_DIR:-$root/build/bench}
jobs=$(nproc)
port=18443
started=$(date +%s)

step() { printf '\n=== %s ===\n' "$*"; }

step "dependencies"
"$root/scripts/install-deps.sh" bench

if command -v ss >/dev/null && ss -ltn 2>/dev/null | grep -q ":$port "; then
    echo "bench: port $port is taken; the benchmark's reference service needs it" >&2
    exit 1
fi

step "Release builds"
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF \
    -DTESSALY_BUILD_BENCHMARKS=ON \
    -DTESSALY_SERVICE_URL=https://localhost:$port \
    -DTESSALY_PUBLIC_ADDRESS_URL=https://localhost:$port
cmake --build "$build" --parallel "$jobs" \
    --target tessaly bench_baseline bench_launch bench_hostile bench_ladder
cmake -S "$root" -B "$build-noca" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF \
    -DTESSALY_SERVICE_URL=https://localhost:$port \
    -DTESSALY_PUBLIC_ADDRESS_URL=https://localhost:$port \
    -DTESSALY_TRUSTED_CA=
cmake --build "$build-noca" --parallel "$jobs" --target tessaly
built=$(date +%s)

step "measuring"
mkdir -p "$build/bench-work"
results=$build/bench-work/results.json
[ -n "${BENCH_ONLY:-}" ] || rm -f "$results"
# A fresh virtual display with a system tray; the reference service is
# started and stopped by bench.py.
"$root/tests/e2e/xsession.sh" --tray \
    python3 "$root/bench/bench.py" run --build "$build" --noca-build "$build-noca" --out "$results"

step "report"
python3 "$root/bench/report.py" "$results" "$root/BENCHMARKS.md"
finished=$(date +%s)
echo "bench: build $((built - started)) s, measuring $((finished - built)) s; see BENCHMARKS.md"
