"""Figure 5, the cost of one event: the instructions the agent runs, in all
its threads, for one heartbeat or one identify poll round trip handled, under
callgrind (bench_hostile's round-trip modes), with the driver's own share
taken off. For comparing later changes against.
"""

import os
import re
import subprocess
import time

from common import SERVICE_URL, callgrind_totals, program, say
from page import fmt_ir

RESULTS = "cost"


def callgrind_inclusive(path, patterns):
    output = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    found = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:(.*?)\s+\[(.*)\]$", line)
        if not match:
            continue
        cost = int(match.group(1).replace(",", ""))
        function = match.group(2)
        for label, pattern in patterns.items():
            if re.search(pattern, function) and label not in found:
                found[label] = {"function": function, "ir": cost}
    return found


def callgrind_by_object(path):
    """Instructions spent in each shared object (exclusive costs added up)."""
    output = subprocess.run(["callgrind_annotate", "--threshold=100", path],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    objects = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+.*\[(.*)\]$", line)
        if match:
            name = os.path.basename(match.group(2))
            objects[name] = objects.get(name, 0) + int(match.group(1).replace(",", ""))
    return objects


def measure(build, env, work, service, rounds):
    results = {}
    for mode, config, path in (("heartbeat-cost", {}, "/api/heartbeat"),
                               ("identify-cost", {}, "/api/ping-identify")):
        service.reset(config)
        out = os.path.join(work, "callgrind-%s.out" % mode)
        for old in [p for p in os.listdir(work) if p.startswith(os.path.basename(out))]:
            os.remove(os.path.join(work, old))
        warmup, settle = 20, 10
        say("callgrind: %s, %d round trips" % (mode, rounds))
        started = time.monotonic()
        with open(os.path.join(work, "callgrind-%s.log" % mode), "w") as log:
            result = subprocess.run(
                ["valgrind", "--tool=callgrind", "--instr-atstart=no",
                 "--callgrind-out-file=" + out,
                 program(build, "bench_hostile"), "--url", SERVICE_URL,
                 "--mode", mode, "--events", str(rounds), "--warmup", str(warmup),
                 "--settle", str(settle)],
                stdout=subprocess.PIPE, stderr=log, env=env, text=True, timeout=1800)
        dump = out + ".1"
        if result.returncode != 0 or not os.path.exists(dump):
            raise RuntimeError("callgrind %s failed; see %s" % (mode, log.name))
        total = callgrind_totals(dump)
        parts = callgrind_inclusive(dump, {
            "send": r"MainWindow::(sendHeartbeat|checkIdentifyStatus)\(\)$",
            "handle": r"MainWindow::handle(Heartbeat|Identify)Reply\(",
            "driver_handler": r"^\(anonymous namespace\)::countMessage\(",
            "driver_queued": r"countMessage.*\{lambda\(\)#1\}.*::impl\(",
            "request_built": r"Service::(heartbeatRequest|identifyPollRequest)\(",
            "string_connect": r"^QObject::connect\(QObject const\*, char const\*",
        })
        requests = len(service.requests(path))
        # The driver's own share: its message handler (which stands in for
        # printing the handler's log line) and the queued call that starts the
        # next round trip, less the request it sends.
        overhead = parts.get("driver_handler", {}).get("ir", 0)
        if "driver_queued" in parts and "send" in parts:
            overhead += parts["driver_queued"]["ir"] - parts["send"]["ir"]
        results[mode] = {
            "rounds": rounds, "ir_total": total, "ir_per_round_trip": total / rounds,
            "driver_per_round_trip": overhead / rounds,
            "by_object_per_round_trip": {k: v / rounds for k, v in sorted(
                callgrind_by_object(dump).items(), key=lambda kv: -kv[1])},
            "ir_per_round_trip_less_driver": (total - overhead) / rounds,
            "parts_per_round_trip": {k: dict(v, ir=v["ir"] / rounds) for k, v in parts.items()},
            "requests_seen_by_service": requests,
            "expected_requests": warmup + settle + rounds,
            "seconds": time.monotonic() - started,
        }
        say("callgrind: %s: %.0f instructions per round trip" % (mode, total / rounds))
    return results


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def summary(r, goals):
    cost = r["cost"]
    rows = []
    for mode, label in (("heartbeat-cost", "heartbeat"), ("identify-cost", "identify poll")):
        if mode in cost:
            c = cost[mode]
            rows.append(["5", "Instructions per %s round trip handled, all threads" % label,
                         "%s" % fmt_ir(c["ir_per_round_trip_less_driver"]),
                         "", "for comparison", "–"])
    return rows


def section(page, r):
    cost = r["cost"]
    page.add("## 5. Instructions per round trip", "",
             "**Method.** `bench_hostile` in its round-trip modes under "
             "`valgrind --tool=callgrind --instr-atstart=no`: one request at a time, the "
             "next sent through the window's own slot once the last answer was handled; 20 "
             "round trips uninstrumented to open the connection and load TLS, 10 more "
             "instrumented but not counted, then the counted ones between "
             "`CALLGRIND_ZERO_STATS` and `CALLGRIND_DUMP_STATS_AT`. All of the agent's "
             "threads are counted (Qt runs HTTP in a thread of its own), the service is not. "
             "The driver's own share (its message handler and the queued call that starts "
             "the next round trip) is taken off. The figures are for comparing later changes "
             "against.", "")
    rows = []
    for mode, c in cost.items():
        parts = c["parts_per_round_trip"]
        rows.append([mode.replace("-cost", ""), c["rounds"], fmt_ir(c["ir_per_round_trip_less_driver"]),
                     fmt_ir(parts.get("send", {}).get("ir", 0)),
                     fmt_ir(parts.get("request_built", {}).get("ir", 0)),
                     fmt_ir(parts.get("handle", {}).get("ir", 0)),
                     fmt_ir(c["driver_per_round_trip"]),
                     "%d / %d" % (c["requests_seen_by_service"], c["expected_requests"])])
    page.table(["round trip", "counted", "instructions each", "in the send slot (inclusive)",
                "of which building the request", "in the reply handler (inclusive)",
                "driver, taken off", "requests the service saw / sent"], rows)
    rows = []
    for mode, c in cost.items():
        objs = sorted(c["by_object_per_round_trip"].items(), key=lambda kv: -kv[1])[:8]
        rows.append([mode.replace("-cost", ""),
                     ", ".join("%s %s" % (k.split(".so")[0], fmt_ir(v)) for k, v in objs)])
    page.table(["round trip", "instructions each, by library (exclusive)"], rows)
    c = cost.get("heartbeat-cost")
    if c and "string_connect" in c["parts_per_round_trip"]:
        sc = c["parts_per_round_trip"]["string_connect"]["ir"]
        page.add("The agent's own code is a small part of a round trip (the send slot and "
                 "the handler above). The rest is Qt's HTTP machinery, malloc, the GLib "
                 "event loop and TLS; of it, the string-based `QObject::connect` calls Qt "
                 "Network makes to wire each request's reply to its HTTP thread (signatures "
                 "parsed and looked up in the meta-type registry every time) take %s "
                 "instructions, %.0f %% of a heartbeat round trip." % (
                     fmt_ir(sc), 100.0 * sc / c["ir_per_round_trip_less_driver"]), "")
