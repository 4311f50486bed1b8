#!/usr/bin/env python3
"""Writes BENCHMARKS.md from what bench.py and wine.py measured.

    report.py RESULTS.json WINE.json BENCHMARKS.md BUILD_SECONDS MEASURE_SECONDS

(MEASURE_SECONDS: this machine's part; wine.py times its own.)

WINE.json may be missing: the page then says the Windows program was not
measured. Every number on the page comes from the two files.
"""

import json
import os
import re
import sys

import alerts
import busy
import faults
import idle
import startup
from common import median


class Page:
    def __init__(self):
        self.lines = []

    def add(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|")
        self.add(*["| " + " | ".join(str(c) for c in row) + " |" for row in rows])
        self.add("")


def mib(k):
    return k / 1024.0


def earlier_summary(path):
    """The commit and the summary figures of the page being replaced:
    (commit, {figure: measured})."""
    if not os.path.exists(path):
        return None, {}
    with open(path) as f:
        text = f.read()
    commit = re.search(r"for commit (\w+)", text)
    figures, in_summary = {}, False
    for line in text.splitlines():
        if line.startswith("## "):
            in_summary = line == "## Summary"
        elif in_summary and line.startswith("| ") and not line.startswith("| #"):
            cells = [c.strip() for c in line.strip("|").split("|")]
            if len(cells) >= 3:
                figures[cells[1]] = cells[2]
    return (commit.group(1) if commit else None), figures


def summary(page, r, w, earlier=(None, {})):
    rows = []
    if "startup" in r:
        q = median(startup.ratios(r["startup"]["runs"], "agent", "form"))
        rows.append(["1", "Start-up to the window shown, agent ÷ its form alone",
                     "**%.2f×**" % q, "≤ 1.10×", "yes" if q <= 1.10 else "**no**"])
    if "faults" in r:
        action, rise = faults.worst_program_row(r["faults"]["program"])
        rows.append(["2", "Peak memory above idle, the program under answers that never end: "
                     "the worst (%s)" % action, "**%+.1f MiB**" % rise,
                     "≤ %d MiB" % faults.LINUX_LIMIT_MIB,
                     "yes" if rise <= faults.LINUX_LIMIT_MIB else "**no**"])
        suite = r["faults"]["suite"]
        name, worst = max(suite["rows"].items(), key=lambda kv: kv[1]["kib"])
        passed = suite["status"] == 0 and all(row["verdict"] == "PASS"
                                              for row in suite["rows"].values())
        rows.append(["2", "… in the fault matrix's rows, with its shorter limits: the worst "
                     "(%s)" % name, "%+.1f MiB" % mib(worst["kib"]),
                     "every row passes, within its bound (%s)" % faults.TEST_BOUNDS,
                     "yes" if passed else "**no**"])
    if "idle" in r:
        i = r["idle"]
        own, others = idle.split_wakeups(i)
        rows.append(["3", "Idle wake-ups a minute: with the agent's own requests; by threads "
                     "on timers of their own", "**%.1f**; **%.1f**" % (own, others),
                     "nothing woken more often than the 15 s identify poll",
                     "yes" if others < 0.5 else "**no**"])
        share = idle.cpu_share(i)
        rows.append(["3", "Idle CPU, all threads, share of one core", "%.4f %%" % share,
                     "< 0.1 %", "yes" if share < 0.1 else "**no**"])
        extra = mib(i["rss_kib_before_alert"]["agent"] - i["rss_kib_before_alert"]["form"])
        rows.append(["3", "Idle resident memory, agent − its form alone, before any alert",
                     "**%+.1f MiB**" % extra, "≤ +6 MiB", "yes" if extra <= 6 else "**no**"])
        alert = mib(i["rss_kib_after"]["agent"] - i["rss_kib_before_alert"]["agent"])
        rows.append(["3", "… held from the first alert on", "%+.1f MiB" % alert, "", ""])
        if "after_alerts" in i:
            more = mib(i["after_alerts"]["rss_kib"] - i["rss_kib_after"]["agent"])
            rows.append(["3", "… then %d alerts in a row later, beyond what the first left"
                         % i["after_alerts"]["count"], "**%+.1f MiB**" % more,
                         "no growth with alerts (< 1 MiB)", "yes" if more < 1 else "**no**"])
    if "busy" in r:
        worst = max(r["busy"].values(), key=lambda m: m["growth_kib"])
        rows.append(["4", "Memory growth after warm-up, worst of %d runs of thousands of "
                     "answers" % len(r["busy"]), "**%+.2f MiB**" % mib(worst["growth_kib"]),
                     "< 1 MiB", "yes" if worst["growth_kib"] < busy.GOAL_KIB else "**no**"])
    if w:
        q = median(startup.ratios(w["startup"]["runs"], "agent", "form"))
        rows.append(["5", "Under wine: start-up, agent ÷ its form alone", "%.2f×" % q,
                     "(≤ 1.10×)", ""])
        rows.append(["5", "Under wine: idle resident memory of the agent; − its form alone",
                     "%.1f MiB; %+.1f MiB" % (mib(w["idle"]["agent"]), mib(
                         w["idle"]["agent"] - w["idle"]["form"])), "(≤ +6 MiB)", ""])
        if "alerts" in w:
            a = w["alerts"]
            on_own = max(alerts.between_per_minute(a["quiet"]).values(), default=0.0)
            rows.append(["5", "Under wine: the most any thread wakes by itself a minute, "
                         "%d s after an alert" % a["quiet_seconds"], "%.1f" % on_own, "", ""])
            rows.append(["5", "Under wine: resident memory before an alert; after one; "
                         "%d alerts later" % a["after_many"]["count"],
                         "%.1f; %.1f; **%.1f** MiB" % tuple(mib(a[k]["rss_kib"]) for k in (
                             "before", "after_one", "after_many")),
                         "no growth with alerts", "yes" if a["after_many"]["rss_kib"]
                         - a["after_one"]["rss_kib"] < 1024 else "**no**"])
        action, rise = faults.worst_program_row(w["hostile"])
        rows.append(["5", "Under wine: peak memory above idle under answers that never end, "
                     "the worst (%s)" % action, "**%+.1f MiB**" % rise,
                     "≤ %d MiB" % faults.WINDOWS_LIMIT_MIB,
                     "yes" if rise <= faults.WINDOWS_LIMIT_MIB else "**no**"])
    page.add("## Summary", "")
    commit, before = earlier
    if commit:
        # Which figures moved since the page this one replaces.
        page.table(["#", "figure", "measured", "goal", "met", "before (%s)" % commit],
                   [row + [before.get(row[1], "new")] for row in rows])
    else:
        page.table(["#", "figure", "measured", "goal", "met"], rows)


def write(r, w, build_s, measure_s, earlier=(None, {})):
    m = r["machine"]
    page = Page()
    changed = ("; the working tree differed from it in %d files (%s)" % (
        len(m["changed"]), ", ".join(c.split()[-1] for c in m["changed"][:6])
        + (", …" if len(m["changed"]) > 6 else ""))) if m["changed"] else ""
    page.add("# Benchmarks", "",
             "Written by `scripts/bench.sh` on %s for commit %s%s. The builds took %.0f s, "
             "the measuring on this machine %.0f min%s. Raw figures and logs: "
             "`build/bench/bench-work/`. Nothing here is part of the test command." % (
                 m["date"], m["commit"], changed, build_s, measure_s / 60.0,
                 ", under wine %.0f min" % (w["seconds"] / 60.0) if w else ""), "",
             "Each figure says which decision it serves. Release builds throughout. The agent "
             "measured for start-up and idle is built as a release is (no extra CA compiled "
             "in), its service the reference service (`refservice/`) on "
             "`https://localhost:18443`, trusted through the system's roots, to which the "
             "script adds the test CA for its run only. A virtual X display (Xvfb) with a "
             "system tray (trayer) and no window manager.", "")
    page.table(["CPU", "cores", "RAM", "kernel", "system", "Qt", "compiler",
                "load average as the measuring began"],
               [[m["cpu"], m["cores"], "%.1f GiB" % m["ram_gib"], m["kernel"], m["os"],
                 m["qt"], m["compiler"], "%.2f" % m["load"]]])
    summary(page, r, w, earlier)
    if "startup" in r:
        page.add("## 1. Start-up", "",
                 "**Decision it serves:** whether the agent's own start-up work (tray icon, "
                 "timers, network manager, log file, adapter list, and the libraries it links) "
                 "delays its window enough to be deferred or trimmed. The floor is a bare Qt "
                 "program showing the same form: any program with this window pays that.", "",
                 "**How.** `bench/xwatch.py` connects to the X server, asks to be told of every "
                 "top-level window mapped, reads the monotonic clock and starts the program; "
                 "the figure is the moment the server reports the program's window (titled "
                 "\"Tessaly\") mapped, which with no window manager is when it is shown. "
                 "Compared with: `bench/form.cpp`, the agent's own `MainWindowForm` in a "
                 "`QMainWindow`, linked against Qt Widgets alone; the same program linked like "
                 "the agent (Qt Network, Qt Multimedia and what they load); and "
                 "`bench/empty.cpp`, an empty window of the same size. Each round starts "
                 "each program once, the order turning; %d rounds, after 3 thrown away." % len(
                     r["startup"]["runs"]["agent"]), "")
        startup.section(page, r["startup"])
    if "faults" in r:
        faults.section(page, r)
    if "idle" in r:
        idle.section(page, r)
    if "busy" in r:
        busy.section(page, r)
    page.add("## 5. The Windows program under wine", "")
    if w:
        page.add("**Decision it serves:** whether the Windows program starts and idles in "
                 "line with the Linux build, and whether its peak memory under a hostile service "
                 "meets its goal (at most %d MiB above idle, the bound the fault matrix holds its "
                 "whole run to under wine). **These are "
                 "wine figures**: wine's own loader, its server and its emulation of Windows' "
                 "libraries are in every one of them, so they compare programs under wine "
                 "with each other, not with Windows." % faults.WINDOWS_LIMIT_MIB, "",
                 "**How.** `bench/wine.sh` cross-builds the agent (as a release, no extra CA) "
                 "and the two comparison programs with MinGW-w64 against the cached Qt %s for "
                 "Windows, deploys them into one folder, and runs `bench/wine.py` in the "
                 "Windows leg's sid chroot under %s, in the leg's wine session (its own "
                 "virtual display with a tray, and a sound sink), against the reference "
                 "service (on port 18444), whose test CA joins wine's roots for the run. Start-up is timed "
                 "as above, %d rounds after 3 thrown away, with wine's server kept running "
                 "between starts; idle memory is `VmRSS` of each program's process %d s after "
                 "its window was shown (the agent's first identify poll, at 15 s, is over)." % (
                     w["qt"], w["wine"], len(w["startup"]["runs"]["agent"]), w["idle_seconds"]),
                 "")
        startup.section(page, w["startup"], label=", under wine")
        page.table(["program, under wine", "idle resident memory, MiB"],
                    [[n, "%.1f" % mib(w["idle"][k])] for k, n in (
                        ("agent", "the agent"), ("form", "its form alone"),
                        ("empty", "an empty window"))])
        page.add("Peak memory under answers that never end, measured as on this machine (section "
                 "2). The goal for the Windows program: at most %d MiB above idle under each. "
                 "A Windows program's log goes to the debugger, which nothing reads here, so no "
                 "outcome times. Idle before: %.1f MiB." % (
                     faults.WINDOWS_LIMIT_MIB, mib(w["hostile"]["idle_kib"])), "")
        if "alerts" in w:
            a = w["alerts"]
            total, files, anon = alerts.held(a["before"], a["after_one"])
            more = mib(a["after_many"]["rss_kib"] - a["after_one"]["rss_kib"])
            woken = alerts.between_per_minute(a["quiet"])
            page.add("Alerts, the agent on its own (`bench/alerts.py`): asked once to identify "
                     "itself, its box closed; for %d s after, its threads woke by themselves "
                     "(away from its requests) %s times a minute; then %d alerts in a row, one "
                     "at each poll. Resident memory: %.1f MiB before, %.1f MiB after the first "
                     "alert (%+.1f MiB: %.1f in mapped files, %.1f anonymous), %.1f MiB after "
                     "the %d more (%+.1f MiB)." % (
                         a["quiet_seconds"], ", ".join("%s %.1f" % kv for kv in sorted(
                             woken.items(), key=lambda kv: -kv[1])), a["after_many"]["count"],
                         mib(a["before"]["rss_kib"]), mib(a["after_one"]["rss_kib"]), total,
                         files, anon, mib(a["after_many"]["rss_kib"]), a["after_many"]["count"],
                         more), "")
        faults.program_table(page, w["hostile"], label=", under wine")
    else:
        page.add("Not measured in this run: `bench/wine.sh` needs the Windows leg's sid chroot "
                 "and its cached Qt for Windows (`scripts/test.sh` makes both).", "")
    return "\n".join(page.lines).rstrip() + "\n"


def main():
    with open(sys.argv[1]) as f:
        r = json.load(f)
    w = None
    if os.path.exists(sys.argv[2]):
        with open(sys.argv[2]) as f:
            w = json.load(f)
    text = write(r, w, float(sys.argv[4]), float(sys.argv[5]), earlier_summary(sys.argv[3]))
    with open(sys.argv[3], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
