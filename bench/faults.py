"""Memory under a hostile service: the fault matrix (tests/tst_faultmatrix)
run as it is, each of its rows logging how long its exchange took and how far
the process's peak resident memory rose above what it held when the row
began. Rows are read by name, so rows added to the matrix show up here."""

import os
import re
import resource
import subprocess
import sys
import time

import xwatch
from common import REFSERVICE, kib, say, status

RESULTS = "faults"

# The rows of every test function: the faults, and the late answers apart.
ROW = re.compile(r"^QINFO\s*:\s*\S+::\w+\((.*)\) ended after (-?\d+) ms, memory grew by (-?\d+) KiB$")
VERDICT = re.compile(r"^(PASS|FAIL!|XFAIL|XPASS|SKIP)\s*:\s*\S+::\w+\((.*)\)$")
TOTALS = re.compile(r"^Totals: (.*)$")

# The goals the program's figures are held against: the bounds that
# tests/tst_faultmatrix.cpp holds its own rows to. On stock Qt, 128 MiB for
# the rows the memory guard ends (twice its 64 MiB); under wine, 64 MiB for
# the peak of the whole run.
TEST_BOUNDS = "64 MiB; 128 MiB where the memory guard ends it"
LINUX_LIMIT_MIB = 128
WINDOWS_LIMIT_MIB = 64
# How long the service answers the program's polls in one way: two polls, and
# nearly the first one's 30 s deadline.
SPAN_S = 29.0


def measure(suite, agent, env, work, service):
    return {"suite": measure_suite(suite, env, work),
            "program": measure_program(agent, env, work, service)}


def measure_suite(suite, env, work):
    env = dict(env, QT_QPA_PLATFORM="offscreen")
    log_path = os.path.join(work, "tst_faultmatrix.txt")
    say("fault matrix: %s" % suite)
    with open(log_path, "w") as log:
        # Every message is kept: the rows' figures are messages too.
        result = subprocess.run([suite, "-maxwarnings", "0"], stdout=log,
                                stderr=subprocess.STDOUT, env=env, timeout=3600)
    rows, verdicts, totals = {}, {}, ""
    with open(log_path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            row, verdict, total = ROW.match(line), VERDICT.match(line), TOTALS.match(line)
            if row:
                rows[row.group(1)] = {"ms": int(row.group(2)), "kib": int(row.group(3))}
            elif verdict and verdict.group(2) in rows:
                verdicts[verdict.group(2)] = verdict.group(1).rstrip("!")
            elif total:
                totals = total.group(1)
    if not rows:
        raise RuntimeError("tst_faultmatrix printed no rows (status %d); see %s"
                           % (result.returncode, log_path))
    for name, row in rows.items():
        row["verdict"] = verdicts.get(name, "?")
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    say("fault matrix: %d rows, %s" % (len(rows), totals))
    return {"rows": rows, "totals": totals, "status": result.returncode,
            "process_peak_kib": peak_kib}


def streaming_actions():
    """The reference service's answers that never end: the ones only the
    agent's guards can stop."""
    actions = subprocess.run([sys.executable, REFSERVICE, "actions"], stdout=subprocess.PIPE,
                             text=True, check=True).stdout.split()
    return [a for a in actions if a.startswith(("endless", "one_byte"))]


def measure_program(agent, env, work, service, tag=""):
    """The program itself, as it runs, on its own identify poll every 15 s:
    for each answer that never ends, the service answers two polls that way
    (29 s, nearly the first one's 30 s deadline); how far the peak resident
    memory rose above what it held before, and how long after the service saw
    the first poll the agent logged its outcome (where its log can be read)."""
    service.reset()
    log_path = os.path.join(work, "hostile-program%s.log" % tag)
    log = open(log_path, "w")
    process, _ = xwatch.start(agent, env=env, stderr=log)
    pid = process.pid

    def outcomes():
        with open(log_path, errors="replace") as f:
            return f.read().count("Identify ")

    def polls():
        return [q["monotonic"] for q in service.requests("/api/ping-identify")]

    def next_poll(seen, timeout=40.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            sent = polls()
            if len(sent) > seen:
                return sent[-1]
            time.sleep(0.2)
        raise RuntimeError("no identify poll in %.0f s" % timeout)

    next_poll(0)
    time.sleep(2)  # the first poll, with TLS loaded for it, is over
    results = {"idle_kib": kib(status(pid)["VmRSS"]), "span_s": SPAN_S, "rows": {}}
    for action in streaming_actions():
        service.reset({"identify": {"action": action}})
        seen, logged = len(polls()), outcomes()
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")  # the peak starts again from the current size
        before = kib(status(pid)["VmRSS"])
        polled, ended = next_poll(seen), None
        while time.monotonic() - polled < SPAN_S:
            if ended is None and outcomes() > logged:
                ended = time.monotonic() - polled
            time.sleep(0.05)
        now = status(pid)
        results["rows"][action] = {"ms": ended and ended * 1000.0, "before_kib": before,
                                   "peak_kib": kib(now["VmHWM"]), "after_kib": kib(now["VmRSS"]),
                                   "polls": len(polls()) - seen}
        say("the program%s, %s: peak %+.1f MiB, first outcome %s" % (
            tag, action, (kib(now["VmHWM"]) - before) / 1024.0,
            "after %.1f s" % ended if ended else "not logged"))
    xwatch.stop(process)
    log.close()
    return results


def split(name):
    """"login, endless body" -> ("login", "endless body")."""
    exchange, _, fault = name.partition(", ")
    return exchange, fault


PROGRAM_HOW = ("The release-like agent, started as it ships, polls every 15 s. For each answer "
               "the reference service can send without end, the service answers the agent's "
               "polls that way for 29 s from the first (two polls, and nearly the first one's "
               "30 s deadline); the peak resident memory (`VmHWM`, reset through "
               "`/proc/PID/clear_refs` as the answers change) is read then.")


def program_table(page, p, label=""):
    page.table(["every identify poll answered with%s" % label, "peak above idle, MiB",
                "of it, risen under these answers", "first outcome logged after, s",
                "polls so answered", "resident at the end, MiB"],
               [[action.replace("_", " "),
                 "**%+.1f**" % ((row["peak_kib"] - p["idle_kib"]) / 1024.0),
                 "%+.1f" % ((row["peak_kib"] - row["before_kib"]) / 1024.0),
                 "%.1f" % (row["ms"] / 1000.0) if row["ms"] else "not logged", row["polls"],
                 "%.1f" % (row["after_kib"] / 1024.0)] for action, row in p["rows"].items()])


def worst_program_row(p):
    """The answer that took the program's peak furthest above idle, and how far (MiB)."""
    action, row = max(p["rows"].items(), key=lambda kv: kv[1]["peak_kib"])
    return action.replace("_", " "), (row["peak_kib"] - p["idle_kib"]) / 1024.0


def section(page, r):
    f = r[RESULTS]["suite"]
    p = r[RESULTS]["program"]
    exchanges, faults = [], []
    for name in f["rows"]:
        exchange, fault = split(name)
        exchanges += [] if exchange in exchanges else [exchange]
        faults += [] if fault in faults else [fault]
    worst = max(f["rows"].items(), key=lambda kv: kv[1]["kib"])
    page.add("## 2. Peak memory under a hostile service", "",
             "**Decision it serves:** whether every reply is bounded in memory, or a guard (or "
             "the patch to Qt's HTTP/1.1 reader) is still missing for some way a service can "
             "misbehave. The goal for the Linux build on Debian's Qt: at most %d MiB above "
             "idle under any of them; the fault matrix holds its own rows that the memory "
             "guard ends to the same bound." % LINUX_LIMIT_MIB, "",
             "**The program itself.** " + PROGRAM_HOW + " Idle before: %.1f MiB." % (
                 p["idle_kib"] / 1024.0), "")
    program_table(page, p)
    page.add("**Every row of the fault matrix.** `tests/tst_faultmatrix` (Release, test CA "
             "compiled in, offscreen) is run as it is with `-maxwarnings 0`, the slow honest rows "
             "included; each row logs how long its exchange took and how far the process's peak "
             "resident memory rose above what it held when the row began, and is read here by "
             "its name, so rows added to the suite appear without a change here. Most rows use "
             "short stand-ins for the program's timers: 1.5 s for its 30 s transfer timeout, 4 s "
             "for its 30 s deadline, so a row ended by one of them grows for less time than the "
             "program would (the table above is the program's own); the rows the memory guard "
             "ends keep its 64 MiB, and the slow honest rows all of the program's values. The "
             "suite fails a row past its bound (%s). Each cell: peak rise in MiB, time to the "
             "outcome in ms; 8 MiB or more in bold; a row not passed is marked." % TEST_BOUNDS,
             "",
             "Suite: %s; exit status %d. Largest rise: %.1f MiB (%s). Peak resident memory "
             "of the whole suite process: %.0f MiB." % (
                 f["totals"], f["status"], worst[1]["kib"] / 1024.0, worst[0],
                 f["process_peak_kib"] / 1024.0), "")
    rows = []
    for fault in faults:
        cells = []
        for exchange in exchanges:
            row = f["rows"].get("%s, %s" % (exchange, fault))
            if row is None:
                cells.append("–")
                continue
            text = "%.1f, %d" % (row["kib"] / 1024.0, row["ms"])
            if row["kib"] >= 8 * 1024:
                text = "**%s**" % text
            if row["verdict"] != "PASS":
                text += " (%s)" % row["verdict"]
            cells.append(text)
        rows.append([fault] + cells)
    page.table(["the service"] + exchanges, rows)
