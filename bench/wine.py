#!/usr/bin/env python3
"""The Windows program under wine: start-up against the same two programs as
on Linux, idle memory, what its alerts leave behind (alerts.py), and peak
memory under answers that never end. Run by
bench/wine.sh in the Windows leg's chroot, inside scripts/wine-session.sh
(a display with a tray, a sound sink, $WINEPREFIX made).

    wine.py --bin DIR --state-dir DIR --out RESULTS.json
"""

import argparse
import glob
import json
import os
import subprocess
import time

import alerts
import faults
import startup
import xwatch
from common import Service, kib, knob, say, status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    started = time.monotonic()
    work = os.path.dirname(os.path.abspath(args.out))
    wine = lambda exe: ["wine", os.path.join(args.bin, exe)]
    programs = [("agent", wine("tessaly.exe")), ("form", wine("bench_form.exe")),
                ("empty", wine("bench_empty.exe"))]
    # Wine's server stays up between starts, as it does on a desktop session
    # where anything else runs under wine. Debian keeps it out of PATH.
    server = (glob.glob("/usr/lib/*/wine/wineserver") + ["wineserver"])[0]
    subprocess.run([server, "-p"], check=True)
    version = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, text=True).stdout
    with open(os.path.join(args.bin, "..", "qt-version.txt")) as f:
        results = {"wine": version.strip(), "qt": f.read().strip()}

    service = Service(args.state_dir, os.path.join(work, "service.log"))
    try:
        results["startup"] = startup.measure(programs, None, work,
                                             knob("BENCH_WINE_ROUNDS", 15))
        # Idle memory: the three side by side, read after the agent's first
        # identify poll.
        seconds = 25
        log = open(os.path.join(work, "wine-idle.log"), "w")
        running = {name: xwatch.start(argv, stderr=log)[0] for name, argv in programs}
        time.sleep(seconds)
        results["idle"] = {name: kib(status(p.pid)["VmRSS"]) for name, p in running.items()}
        results["idle_seconds"] = seconds
        results["idle_polls"] = len(service.requests("/api/ping-identify"))
        for process in running.values():
            xwatch.stop(process)
        log.close()
        say("wine: idle resident memory %s" % results["idle"])
        # The agent on its own, from its first identify poll on.
        with open(os.path.join(work, "wine-alerts.log"), "w") as log:
            agent = xwatch.start(programs[0][1], stderr=log)[0]
            time.sleep(seconds)
            try:
                results["alerts"] = alerts.measure(agent.pid, service)
            finally:
                xwatch.stop(agent)
        say("wine: resident memory before an alert, after one, after %d more: %s KiB" % (
            alerts.ALERTS, [results["alerts"][k]["rss_kib"] for k in
                            ("before", "after_one", "after_many")]))
        results["hostile"] = faults.measure_program(programs[0][1], None, work, service,
                                                    tag="-wine")
    finally:
        service.stop()
    results["seconds"] = time.monotonic() - started
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
