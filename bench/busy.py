"""Growth over thousands of answers: the agent's own window (bench_busy) with
its intervals shortened to 20 ms, against a service that answers every
identify poll true (each notice closed, or the first left open) or fails
every heartbeat. Resident memory is sampled once a second; what it grows
after the warm-up is what an agent would keep growing by."""

import json
import os
import subprocess

from common import SERVICE_URL, say

RESULTS = "busy"
GOAL_KIB = 1024
# The first alert loads GStreamer and its plug-ins, which takes seconds.
WARMUP = lambda seconds: max(10.0, seconds / 4.0)

RUNS = (
    ("identify", {"identify": True}, "/api/ping-identify",
     "identify answered true, each notice closed by clicking OK"),
    ("identify-open", {"identify": True}, "/api/ping-identify",
     "identify answered true, the first notice left open"),
    ("heartbeat", {"heartbeat": {"status": 500}}, "/api/heartbeat",
     "every heartbeat answered 500, retried 10 ms later"),
)


def measure(program, env, work, service, seconds):
    results = {}
    for mode, config, path, _ in RUNS:
        service.reset(config)
        with open(os.path.join(work, "busy-%s.log" % mode), "w") as log:
            out = subprocess.run([program, SERVICE_URL, mode, str(seconds)], env=env,
                                 stdout=subprocess.PIPE, stderr=log, text=True,
                                 timeout=seconds + 120, check=True).stdout
        samples = [json.loads(line) for line in out.splitlines()]
        warm = [s for s in samples if s["s"] >= WARMUP(seconds)]
        results[mode] = {
            "answers": len(service.requests(path)), "samples": samples,
            "rss_kib_start": samples[0]["rss_kib"], "rss_kib_warm": warm[0]["rss_kib"],
            "rss_kib_end": warm[-1]["rss_kib"], "growth_kib": warm[-1]["rss_kib"] - warm[0]["rss_kib"],
            "notices_closed": samples[-1]["closed"], "seconds": seconds,
            "warmup_s": WARMUP(seconds)}
        say("busy: %s: %d answers, RSS %+d KiB after warm-up" % (
            mode, results[mode]["answers"], results[mode]["growth_kib"]))
    return results


def section(page, r):
    b = r[RESULTS]
    page.add("## 4. Growth over thousands of answers", "",
             "**Decision it serves:** whether the agent can run for weeks: memory that grows "
             "with each identify answer or failed heartbeat would have to be found and freed "
             "before release (goal: under 1 MiB after warm-up). LeakSanitizer in the test "
             "command finds blocks lost at exit; this finds memory still held, which it "
             "cannot.", "",
             "**How.** `bench/busy.cpp` shows the agent's own `MainWindow` with its intervals "
             "shortened to 20 ms through `AgentSettings`, against the reference service; the "
             "resident memory is read once a second for %.0f s; growth is the last sample less "
             "the first after %.0f s of warm-up (the first request loads TLS, the first alert "
             "GStreamer and its plug-ins)." % (b["identify"]["seconds"],
                                               b["identify"]["warmup_s"]), "")
    rows = []
    for mode, _, _, what in RUNS:
        m = b[mode]
        rows.append([what, m["answers"], "%.1f" % (m["rss_kib_start"] / 1024.0),
                     "%.1f" % (m["rss_kib_warm"] / 1024.0), "%.1f" % (m["rss_kib_end"] / 1024.0),
                     "**%+.2f**" % (m["growth_kib"] / 1024.0),
                     "yes" if m["growth_kib"] < GOAL_KIB else "**no**"])
    page.table(["run", "answers", "RSS at start, MiB", "after warm-up", "at end",
                "growth, MiB", "under 1 MiB"], rows)
