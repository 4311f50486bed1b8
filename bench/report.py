#!/usr/bin/env python3
"""Writes BENCHMARKS.md from the results bench.py measured.

    report.py RESULTS.json BENCHMARKS.md

Every number on the page comes from RESULTS.json, and so does the choice of
explanation where a goal is missed. Each figure's module writes its own rows
of the summary, its own section and its own explanation; this puts them in
the page's order.
"""

import json
import sys

import cost
import hostile
import idle
import ladder
import leaks
import memory
import startup
from page import Page

# The summary's rows and the sections, in the page's order. The ladder takes
# apart figures 1 and 2 and so comes after both. Each module's RESULTS names
# the section of the results it reports on; a module whose section was not
# measured is left out.
SUMMARY = (startup, memory, idle, hostile, leaks, cost)
SECTIONS = (startup, memory, ladder, idle, hostile, leaks, cost)
EXPLAINED = (startup, memory, idle)


def measured(r, figures):
    return [figure for figure in figures if r.get(figure.RESULTS)]


def write(r):
    m = r["machine"]
    page = Page()
    total_s = sum(r.get("sections_seconds", {}).values())
    page.add("# Benchmarks", "",
             "Written by `scripts/bench.sh` on %s; the measuring took %.0f minutes. "
             "Run it again to refresh this page. The raw figures are left in "
             "`build/bench/bench-work/results.json`, with every log, trace and valgrind "
             "report beside them." % (m["date"], total_s / 60.0), "",
             "Everything is measured on Release builds (`-O3`; the same compiler, flags and "
             "Qt for the agent and for the programs it is compared with), on a virtual X display "
             "(Xvfb, 1024×768×24) with a system tray (trayer) and no window manager, against "
             "the reference service (`refservice/`) on `https://localhost:18443`, which the "
             "benchmark build of the agent has compiled in together with the service's test CA. "
             "None of this is part of the test suite, and no test is timed.", "")

    page.add("## Machine", "")
    page.table(["CPU", "cores", "RAM", "kernel", "system", "Qt", "compiler"],
               [[m["cpu"], m["cores"], "%.1f GiB" % m["ram_gib"], m["kernel"], m["os"],
                 m["qt"], m["compiler"]]])

    goals = {}
    rows = []
    for figure in measured(r, SUMMARY):
        rows += figure.summary(r, goals)
    page.add("## Summary", "")
    page.table(["#", "figure", "median", "min – max", "goal", "met"], rows)

    for figure in measured(r, SECTIONS):
        figure.section(page, r)

    page.add("## Goals missed, and why", "")
    # Every explanation is written, not just the first.
    explained = [figure.explain(page, r, goals) for figure in EXPLAINED]
    # Figure 4's goals have no explanation beyond their tables.
    for key in [k for k in goals if k.startswith("hostile_") or k.startswith("memcheck_")]:
        if not goals[key]:
            explained.append(True)
            page.add("**%s (figure 4).** Missed; see the samples and records above." % key, "")
    if not any(explained):
        page.add("None.", "")
    return page.text()


def main():
    with open(sys.argv[1]) as f:
        text = write(json.load(f))
    with open(sys.argv[2], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
