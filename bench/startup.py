"""Start-up: from the start of a process to its window shown (mapped), for the
agent, a bare Qt program showing the same form, and an empty window, timed by
xwatch.py in alternating rounds."""

import os

import xwatch
from common import median, say

RESULTS = "startup"


def measure(programs, env, work, rounds, warmup=3):
    """programs: [(name, argv)]. Each round starts every program once, the
    order turning round by round; the first rounds warm the caches and are
    thrown away."""
    runs = {name: [] for name, _ in programs}
    with open(os.path.join(work, "startup.log"), "w") as log:
        for index in range(warmup + rounds):
            shift = index % len(programs)
            for name, argv in programs[shift:] + programs[:shift]:
                process, ms = xwatch.start(argv, env=env, stderr=log)
                xwatch.stop(process)
                if index >= warmup:
                    runs[name].append(ms)
            if index >= warmup:
                say("start-up round %d/%d: %s" % (index - warmup + 1, rounds, ", ".join(
                    "%s %.1f ms" % (name, runs[name][-1]) for name, _ in programs)))
    return {"runs": runs}


def ratios(runs, a, b):
    return [x / y for x, y in zip(runs[a], runs[b])]


NAMES = {"agent": "the agent", "form": "its form alone (`bench_form`)",
         "form_linked": "its form, linked like the agent (`bench_form_linked`)",
         "empty": "an empty window (`bench_empty`)"}
RATIOS = (("agent", "form", "**agent ÷ its form alone**"),
          ("form_linked", "form", "form linked like the agent ÷ form alone: the libraries"),
          ("agent", "form_linked", "agent ÷ form linked like it: the agent's own start-up work"),
          ("agent", "empty", "agent ÷ empty window"),
          ("form", "empty", "form alone ÷ empty window: what the form costs any program"))


def section(page, r, label=""):
    """The start-up tables of results r (this machine's, or wine's)."""
    runs = r["runs"]
    page.table(["program%s" % label, "runs", "window shown, median ms", "min – max"],
               [[NAMES[n], len(runs[n]), "%.1f" % median(runs[n]),
                 "%.1f – %.1f" % (min(runs[n]), max(runs[n]))] for n in NAMES if n in runs])
    rows = []
    for a, b, what in RATIOS:
        if a in runs and b in runs:
            q = ratios(runs, a, b)
            rows.append([what, "%.2f×" % median(q), "%.2f× – %.2f×" % (min(q), max(q))])
    page.table(["ratio, round by round%s" % label, "median", "min – max"], rows)
    if "form_linked" in runs:
        m = {n: median(runs[n]) for n in runs}
        page.add("Of the %.1f ms by which the agent's window comes later than its form's alone "
                 "(medians), %.1f ms is loading the libraries it links and %.1f ms its own "
                 "start-up work; the form itself costs any program %.1f ms over an empty "
                 "window." % (m["agent"] - m["form"], m["form_linked"] - m["form"],
                              m["agent"] - m["form_linked"], m["form"] - m["empty"]), "")
