#!/usr/bin/env python3
"""Tessaly's benchmarks: measures, and writes the results as JSON.

    bench.py run --build DIR [--noca-build DIR] --out RESULTS.json

(report.py turns RESULTS.json into BENCHMARKS.md.)

"run" must be started on an X display with a system tray (scripts/bench.sh
runs it through tests/e2e/xsession.sh --tray). It starts its own reference
service on a fixed port, which the benchmark build of the agent has compiled
in, and stops it at the end. Each section is measured by its figure's module
(README.md beside this file says which).

Every figure is measured and printed as it comes; nothing is assumed.
Environment knobs, for a quick look rather than a full run:
  BENCH_STARTUP_ROUNDS (25), BENCH_LADDER_ROUNDS (10), BENCH_IDLE_SECONDS (120),
  BENCH_STRACE_SECONDS (60), BENCH_EVENTS (2000), BENCH_VALGRIND_EVENTS (200),
  BENCH_COST_ROUNDS (200), BENCH_ONLY (comma list of sections to run:
  startup, ladder, trust, idle, hostile, memcheck, cost).
"""

import argparse
import json
import os
import sys
import time

import cost
import hostile
import idle
import ladder
import leaks
import startup
from common import Service, knob, machine, say


def run(args):
    build = os.path.abspath(args.build)
    noca = os.path.abspath(args.noca_build) if args.noca_build else None
    work = os.path.join(build, "bench-work")
    os.makedirs(work, exist_ok=True)
    if not os.environ.get("DISPLAY"):
        sys.exit("bench: no X display; run through tests/e2e/xsession.sh --tray")

    # The programs keep their files (the heartbeat log, caches such as
    # GStreamer's plugin registry) in a directory of the benchmark's own.
    home = os.path.join(work, "xdg")
    env = dict(os.environ)
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(home, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    for name in list(env):
        if name.startswith("QT_") and name != "QT_QPA_PLATFORM":
            del env[name]
    env["QT_QPA_PLATFORM"] = "xcb"

    only = set(filter(None, os.environ.get("BENCH_ONLY", "").split(",")))
    wanted = lambda section: not only or section in only

    results = {"machine": machine(build), "sections_seconds": {}}
    if os.path.exists(args.out):
        with open(args.out) as f:
            previous = json.load(f)
        if only:  # a partial run keeps the other sections' figures
            previous.update({k: v for k, v in results.items() if k != "sections_seconds"})
            previous.setdefault("sections_seconds", {})
            results = previous
    say("machine: %s" % json.dumps(results["machine"]))
    service = Service(os.path.join(build, "refservice-state"), os.path.join(work, "service.log"))
    try:
        sections = [
            ("startup", lambda: startup.measure(build, noca, env, work,
                                                knob("BENCH_STARTUP_ROUNDS", 25))),
            ("ladder", lambda: ladder.measure(build, noca, env, work,
                                              knob("BENCH_LADDER_ROUNDS", 10))),
            ("trust", lambda: ladder.measure_trust(build, env, work)),
            ("idle", lambda: idle.measure(build, env, work, service, 20,
                                          knob("BENCH_IDLE_SECONDS", 120),
                                          knob("BENCH_STRACE_SECONDS", 60))),
            ("hostile", lambda: hostile.measure(build, env, work, service,
                                                knob("BENCH_EVENTS", 2000))),
            ("memcheck", lambda: leaks.measure(build, env, work, service,
                                               knob("BENCH_VALGRIND_EVENTS", 200))),
            ("cost", lambda: cost.measure(build, env, work, service,
                                          knob("BENCH_COST_ROUNDS", 200))),
        ]
        for name, step in sections:
            if not wanted(name):
                continue
            started = time.monotonic()
            results[name] = step()
            results["sections_seconds"][name] = time.monotonic() - started
            with open(args.out, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        service.stop()
    say("results in %s" % args.out)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--build", required=True)
    p.add_argument("--noca-build")
    p.add_argument("--out", required=True)
    args = parser.parse_args()
    if args.command == "run":
        run(args)


if __name__ == "__main__":
    main()
