#!/usr/bin/env python3
"""Measures the agent on this machine and writes the figures as JSON.

    bench.py --build DIR --release-build DIR --out RESULTS.json

Run by scripts/bench.sh in a virtual session (scripts/session.sh: an X display
with a system tray and a PulseAudio null sink), where the
reference service's test CA is among the system's roots (the release-like
agent trusts nothing else). report.py turns RESULTS.json into BENCHMARKS.md.

Knobs, for a quick look rather than a full run: BENCH_STARTUP_ROUNDS (30),
BENCH_IDLE_SECONDS (310: past the first heartbeat at 300 s), BENCH_STRACE_SECONDS
(35), BENCH_BUSY_SECONDS (45), BENCH_ONLY (sections to measure again, keeping
the others' figures: startup,faults,idle,busy).
"""

import argparse
import json
import os
import sys
import time

import busy
import faults
import idle
import startup
from common import Service, knob, machine, say


def environment(work):
    """The programs keep their files (the heartbeat log, GStreamer's registry)
    in the benchmark's own directories, and run on the X display."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QT_")}
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(work, "xdg", sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    env["QT_QPA_PLATFORM"] = "xcb"
    return env


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--release-build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("bench: no X display; scripts/bench.sh runs this on one")
    build = os.path.abspath(args.build)
    work = os.path.dirname(os.path.abspath(args.out))
    env = environment(work)
    programs = [("agent", [os.path.join(os.path.abspath(args.release_build), "tessaly")]),
                ("form", [os.path.join(build, "bench", "bench_form")]),
                ("form_linked", [os.path.join(build, "bench", "bench_form_linked")]),
                ("empty", [os.path.join(build, "bench", "bench_empty")])]

    only = set(filter(None, os.environ.get("BENCH_ONLY", "").split(",")))
    results = {}
    if only and os.path.exists(args.out):
        with open(args.out) as f:
            results = json.load(f)
    results["machine"] = machine()
    results.setdefault("seconds", {})
    say("machine: %s" % json.dumps(results["machine"]))

    service = Service(os.path.join(build, "refservice-state"), os.path.join(work, "service.log"))
    # The session's PulseAudio null sink, for the alert to play into as it does
    # on a desktop.
    results["sound_server"] = bool(os.environ.get("PULSE_SERVER"))
    try:
        sections = [
            ("startup", lambda: startup.measure(programs, env, work,
                                                knob("BENCH_STARTUP_ROUNDS", 30))),
            ("faults", lambda: faults.measure(os.path.join(build, "tests", "tst_faultmatrix"),
                                              programs[0][1], env, work, service)),
            ("idle", lambda: idle.measure(programs[0][1], programs[1][1], env, work, service,
                                          knob("BENCH_IDLE_SECONDS", 310),
                                          knob("BENCH_STRACE_SECONDS", 35))),
            ("busy", lambda: busy.measure(os.path.join(build, "bench", "bench_busy"), env,
                                          work, service, knob("BENCH_BUSY_SECONDS", 45))),
        ]
        for name, measure in sections:
            if only and name not in only:
                continue
            started = time.monotonic()
            results[name] = measure()
            results["seconds"][name] = time.monotonic() - started
            with open(args.out, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        service.stop()
    say("results in %s" % args.out)


if __name__ == "__main__":
    main()
