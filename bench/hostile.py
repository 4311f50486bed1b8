"""Figure 4, a hostile service: the agent's window (bench_hostile) with its
intervals shortened, against a reference service that answers every identify
poll true or fails every heartbeat, and whether its memory grows over
thousands of such answers. The same runs under memcheck are in leaks.py.
"""

import json
import os
import subprocess
import time

from common import SERVICE_URL, program, say
from page import MIB, yes

RESULTS = "hostile"

# The reference service's set-up for each run; bench_hostile's --mode.
SCENARIOS = {
    "identify-close": {"identify": True},
    "identify-open": {"identify": True},
    "heartbeat-fail": {"heartbeat": {"status": 500}},
}


def run(build, env, work, service, mode, events, wrapper=(), tag=""):
    """One bench_hostile run (under wrapper, when given): its memory samples
    and its summary, with how many requests the service saw."""
    service.reset(SCENARIOS[mode])
    exe = program(build, "bench_hostile")
    log_path = os.path.join(work, "hostile-%s%s.log" % (mode, tag))
    with open(log_path, "w") as log:
        result = subprocess.run(list(wrapper) + [exe, "--url", SERVICE_URL, "--mode", mode,
                                                 "--events", str(events)],
                                stdout=subprocess.PIPE, stderr=log, env=env, text=True,
                                timeout=1800)
    samples, summary = [], None
    for line in result.stdout.splitlines():
        data = json.loads(line)
        if data.get("done"):
            summary = data
        else:
            samples.append(data)
    if summary is None or summary["events"] < events:
        raise RuntimeError("bench_hostile %s ended early (status %d); see %s"
                           % (mode, result.returncode, log_path))
    path = "/api/ping-identify" if mode.startswith("identify") else "/api/heartbeat"
    summary["requests_seen_by_service"] = len(service.requests(path))
    return samples, summary


def measure(build, env, work, service, events):
    results = {}
    for mode in SCENARIOS:
        say("hostile: %s, %d events" % (mode, events))
        started = time.monotonic()
        samples, summary = run(build, env, work, service, mode, events)
        # Warm-up: the first tenth of the events (the first notice, the alert
        # player and its GStreamer pipeline, the TLS connection).
        warm = [s for s in samples if s["events"] >= max(100, events // 10)]
        base = warm[0]
        results[mode] = {
            "samples": samples, "summary": summary, "seconds": time.monotonic() - started,
            "warm_from_event": base["events"],
            "rss_growth_kib": warm[-1]["rss_kib"] - base["rss_kib"],
            "rss_max_above_warm_kib": max(s["rss_kib"] for s in warm) - base["rss_kib"],
            "heap_growth_kib": warm[-1]["heap_kib"] - base["heap_kib"],
            "rss_kib_first": samples[0]["rss_kib"], "rss_kib_last": warm[-1]["rss_kib"],
        }
        say("hostile: %s: RSS %+d KiB after warm-up (heap %+d KiB), %.0f s" % (
            mode, results[mode]["rss_growth_kib"], results[mode]["heap_growth_kib"],
            results[mode]["seconds"]))
    return results


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def summary(r, goals):
    hostile = r["hostile"]
    rows = []
    for mode, label in (("identify-close", "positive identify answers, each notice closed"),
                        ("identify-open", "positive identify answers, first notice left open"),
                        ("heartbeat-fail", "failed heartbeats")):
        if mode in hostile:
            h = hostile[mode]
            goals["hostile_" + mode] = h["rss_growth_kib"] < 1024
            rows.append(["4", "RSS growth after warm-up, %d %s" % (h["summary"]["events"], label),
                         "**%+.2f MiB**" % (h["rss_growth_kib"] / MIB),
                         "highest %+.2f MiB" % (h["rss_max_above_warm_kib"] / MIB),
                         "< 1 MiB", yes(goals["hostile_" + mode])])
    return rows


def section(page, r):
    hostile = r["hostile"]
    page.add("## 4. A hostile service, accelerated", "",
             "**Method.** `bench/hostile.cpp` (`bench_hostile`) links `tessalycore` and shows "
             "the real `MainWindow(settings)` with the intervals shortened through "
             "`AgentSettings`: identify every 20 ms for the identify runs; heartbeat every "
             "20 ms, retries 10 ms apart, for the heartbeat run (the other timer is put off "
             "by a day: one kind of event per process). The reference service answers every "
             "identify poll `true`, or every heartbeat HTTP 500. An event is one answer "
             "handled, counted from the window's own log lines by a message handler (which "
             "drops them, so nothing is printed). Notices are looked for by a 5 ms timer, "
             "which also runs inside a notice's own event loop, and closed by clicking OK; "
             "in the \"open\" run none is closed until the end. `VmRSS` and the heap in use "
             "(`mallinfo2`) are sampled every 100 events. The warm-up is the first tenth of "
             "the events; the growth is the last sample less the first one after the "
             "warm-up.", "")
    rows = []
    for mode, h in hostile.items():
        s = h["summary"]
        warm = [x for x in h["samples"] if x["events"] == h["warm_from_event"]][0]
        rows.append([mode, s["events"], "%.0f s" % (s["ms"] / 1000.0),
                     "%.1f" % (h["rss_kib_first"] / MIB), "%.1f" % (warm["rss_kib"] / MIB),
                     "%.1f" % (h["rss_kib_last"] / MIB), "%+.2f" % (h["rss_growth_kib"] / MIB),
                     "%+.2f" % (h["heap_growth_kib"] / MIB), s["notices_seen"],
                     s["most_notices_open"], s["requests_seen_by_service"]])
    page.table(["run", "events", "took", "RSS at start MiB", "RSS after warm-up MiB",
                "RSS at end MiB", "growth MiB", "heap growth MiB", "notices shown",
                "most open at once", "requests the service saw"], rows)
    if "identify-close" in hostile:
        h = hostile["identify-close"]
        after = [x for x in h["samples"] if x["events"] >= 100]
        if after:
            page.add("The first identify answer creates the alert player: GStreamer, its "
                     "plug-ins and PulseAudio's client are loaded, and the agent's RSS goes "
                     "from %.1f MiB to %.1f MiB by the 100th answer, where it then stays; the "
                     "player is kept for the window's life." % (
                         h["rss_kib_first"] / MIB, after[0]["rss_kib"] / MIB), "")
    for mode, h in hostile.items():
        page.add("<details><summary>%s: RSS (KiB) every 100 events</summary>" % mode, "",
                 " ".join("%d:%d" % (x["events"], x["rss_kib"]) for x in h["samples"]), "",
                 "</details>", "")

