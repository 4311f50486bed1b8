"""Where the agent's start-up time and memory go (figures 1 and 2 taken apart).

Measures ("ladder") the baseline window taking on, one step at a time, what
the agent does before its window is shown (bench_ladder), timed like the
start-up; and ("trust") the instructions the agent's CA set-up runs, under
callgrind. Writes the "Where the start-up time and memory go" part of the
memory section.
"""

import os
import subprocess

from common import callgrind_totals, launch, program, say
from page import MIB, NAN, fmt_ir, med

RESULTS = "ladder"

# The ladder's steps: name, what it builds on, and its command line (in the
# benchmark build's bench/ directory, or the agent itself). The CA set-up is
# a step of its own on top of the libraries, so that its large and noisy cost
# does not blur the small steps after it.
LADDER = [
    ("baseline", None, ["bench_baseline"]),
    ("linked like the agent", "baseline", ["bench_ladder"]),
    ("+ login form", "linked like the agent", ["bench_ladder", "form"]),
    ("+ window icon", "+ login form", ["bench_ladder", "form", "icon"]),
    ("+ tray icon", "+ window icon", ["bench_ladder", "form", "icon", "tray"]),
    ("linked + CA set-up alone", "linked like the agent", ["bench_ladder", "trust"]),
    ("the agent, no extra CA", "+ tray icon", ["noca"]),
    ("the agent, test CA", "the agent, no extra CA", ["tessaly"]),
]


def measure(build, noca_build, env, work, rounds):
    steps = []
    for name, _, argv in LADDER:
        if argv[0] == "tessaly":
            argv = [os.path.join(build, "tessaly")]
        elif argv[0] == "noca":
            if not noca_build:
                continue
            argv = [os.path.join(noca_build, "tessaly")]
        else:
            argv = [program(build, argv[0])] + argv[1:]
        steps.append((name, argv))
    log = open(os.path.join(work, "ladder.log"), "w")
    runs = {name: [] for name, _ in steps}
    for index in range(rounds + 1):
        shift = index % len(steps)
        for name, argv in steps[shift:] + steps[:shift]:
            data = launch(build, argv, 1500, env, log)
            if index > 0:  # the first round warms up
                runs[name].append(data)
        say("ladder round %d/%d" % (index, rounds))
    log.close()
    return {"steps": [name for name, _ in steps], "runs": runs,
            "builds_on": {name: base for name, base, _ in LADDER}}


def measure_trust(build, env, work):
    """Instructions spent in the agent's CA set-up, and how many certificate
    files the system has for it to read."""
    out = os.path.join(work, "callgrind-trust.out")
    with open(os.path.join(work, "callgrind-trust.log"), "w") as log:
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--toggle-collect=Service::trustCompiledInCertificates()",
                        program(build, "bench_ladder"), "trust", "exit"],
                       stdout=log, stderr=log, env=env, timeout=600, check=True)
    files = set()
    for name in os.listdir("/etc/ssl/certs"):
        path = os.path.realpath(os.path.join("/etc/ssl/certs", name))
        if name != "ca-certificates.crt" and os.path.isfile(path):
            files.add(path)
    return {"ir": callgrind_totals(out), "certificate_files": len(files)}


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def steps_of(r):
    return r["ladder"]["runs"] if r.get("ladder") else {}


def step(steps, name, what="exposed_ms"):
    """A step's median time, NaN when the ladder has no such step."""
    return med([x[what] for x in steps[name]]) if name in steps else NAN


def step_mib(steps, name):
    return med([x["vmrss_kib"] for x in steps[name]]) / MIB if name in steps else NAN


def section(page, r):
    ladder = r["ladder"]
    page.add("### Where the start-up time and memory go", "",
             "`bench/ladder.cpp` is the baseline window taking on, a step at a time, what "
             "the agent does before its window is shown: linked like the agent (Qt Network, "
             "Qt Multimedia and all they load), then the agent's own login form "
             "(`MainWindowForm::setupUi`), the window icon, and the tray icon with its menu. "
             "The CA set-up, the agent's own `Service::trustCompiledInCertificates()`, is a "
             "step of its own on the linked window (run before `show()`), so that its large "
             "and noisy cost does not blur the small steps. Each Δ is against the step named. "
             "Timed like the rest (%d rounds, order turning, memory 1.5 s after the map)."
             % len(ladder["runs"]["baseline"]), "")
    rows = []
    steps = ladder["runs"]
    for name in ladder["steps"]:
        base_name = ladder["builds_on"].get(name)
        t = step(steps, name)
        f = step(steps, name, "painted_ms")
        rss = step_mib(steps, name)
        row = [name, "%.1f" % t, "%.1f" % f, "%.1f" % rss]
        if base_name and base_name in steps:
            row += [base_name, "%+.1f" % (t - step(steps, base_name)),
                    "%+.1f" % (f - step(steps, base_name, "painted_ms")),
                    "%+.1f" % (rss - step_mib(steps, base_name))]
        else:
            row += ["", "", "", ""]
        rows.append(row)
    page.table(["step", "mapped ms", "first frame ms", "VmRSS MiB", "Δ against",
                "Δ mapped ms", "Δ first frame ms", "Δ MiB"], rows)
    trust = r.get("trust")
    if trust:
        page.add("The CA set-up alone, under callgrind: %s instructions, reading %d "
                 "certificate files from `/etc/ssl/certs`." % (fmt_ir(trust["ir"]),
                                                               trust["certificate_files"]), "")
