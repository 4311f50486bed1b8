"""Figure 1, start-up: how long after it is started the agent's window is
mapped and first drawn, against the baseline window (bench_baseline), each
timed by bench_launch from the X server's side. The same runs sample each
program's memory for figure 2 (memory.py).
"""

import json
import os

from common import launch, program, say
from ladder import step, step_mib, steps_of
from page import MIB, NAN, fmt_ir, med, ms, span, yes

RESULTS = "startup"


def measure(build, noca_build, env, work, rounds):
    programs = [("baseline", [program(build, "bench_baseline")]),
                ("program", [os.path.join(build, "tessaly")])]
    if noca_build:
        programs.append(("program_noca", [os.path.join(noca_build, "tessaly")]))
    log = open(os.path.join(work, "startup.log"), "w")
    warmup = 3
    runs = {name: [] for name, _ in programs}
    for index in range(warmup + rounds):
        # Each round runs every program once; the order turns round by round
        # so that none always goes first.
        shift = index % len(programs)
        order = programs[shift:] + programs[:shift]
        results = {}
        last = index == warmup + rounds - 1
        for name, argv in order:
            smaps = os.path.join(work, "smaps-%s.json" % name) if last else None
            results[name] = launch(build, argv, 3000, env, log, smaps)
        if index < warmup:
            continue
        for name in results:
            runs[name].append(results[name])
        say("start-up round %d/%d: %s" % (
            index - warmup + 1, rounds,
            ", ".join("%s %.1f ms" % (n, results[n]["exposed_ms"]) for n, _ in programs)))
    log.close()
    # Where the memory is, by mapping, in the last round.
    maps = {}
    for name, _ in programs:
        with open(os.path.join(work, "smaps-%s.json" % name)) as f:
            maps[name] = json.load(f)
    return {"runs": runs, "smaps": maps}


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def runs_of(r):
    return r["startup"]["runs"] if r.get("startup") else None


def program_names(runs):
    names = [("baseline", "baseline"), ("program", "agent, benchmark build (test CA compiled in)")]
    if "program_noca" in runs:
        names.append(("program_noca", "agent built with no extra CA"))
    return names


def times(runs, key, what="exposed_ms"):
    return [x[what] for x in runs[key]] if runs and key in runs else []


def ratios(runs, key, what="exposed_ms"):
    """A program's figure over the baseline's, round by round."""
    if not runs or key not in runs:
        return []
    return [p[what] / b[what] for p, b in zip(runs[key], runs["baseline"])
            if p[what] > 0 and b[what] > 0]


def diffs(runs, key, what):
    """A program's memory less the baseline's in MiB, round by round."""
    if not runs or key not in runs:
        return []
    return [(p[what] - b[what]) / MIB for p, b in zip(runs[key], runs["baseline"])]


def summary(r, goals):
    runs = r["startup"]["runs"]
    rows = []
    n = len(runs["baseline"])
    for what, label in (("exposed_ms", "window mapped (first exposed)"),
                        ("painted_ms", "first frame drawn in it")):
        rr = ratios(runs, "program", what)
        goals["startup_" + what] = med(rr) <= 1.10
        rows.append(["1", "Start-up to %s, agent ÷ baseline, %d pairs" % (label, n),
                     "**%.2f×**" % med(rr), span(rr, "%.2f×"), "≤ 1.10×",
                     yes(goals["startup_" + what])])
    for key, label in (("program", "agent"), ("baseline", "baseline")):
        mapped, painted = times(runs, key), times(runs, key, "painted_ms")
        rows.append(["1", "Start-up, %s: mapped; first frame" % label,
                     "%.1f ms; %.1f ms" % (med(mapped), med(painted)),
                     "%s; %s" % (span(mapped, "%.1f"), span(painted, "%.1f")), "", ""])
    if "program_noca" in runs:
        mapped, painted = ratios(runs, "program_noca"), ratios(runs, "program_noca", "painted_ms")
        rows.append(["1", "Start-up of a build with no extra CA (as a release is built) ÷ "
                     "baseline: mapped; first frame",
                     "%.2f×; %.2f×" % (med(mapped), med(painted)),
                     "%s; %s" % (span(mapped, "%.2f×"), span(painted, "%.2f×")), "(≤ 1.10×)", ""])
    return rows


def section(page, r):
    runs = r["startup"]["runs"]
    page.add("## 1. Start-up", "",
             "**Method.** `bench/launch.cpp` (`bench_launch`) opens its own connection to "
             "the X server, selects `SubstructureNotify` on the root window, reads the "
             "monotonic clock just before `fork()` and `exec`s the program. It is told of "
             "every top-level window created and mapped; the first one that is not "
             "override-redirect and whose `_NET_WM_PID` is the child's is the program's "
             "window, and the figure is the moment its `MapNotify` arrives. With no window "
             "manager the server makes the window viewable and sends it its first `Expose` "
             "in that same request, so this is when the window is first exposed on screen. "
             "The watcher also puts an X Damage object on each new top-level window as it is "
             "created, and so also sees the first drawing into the window after the map: the "
             "first frame, when there is something to see. Neither program is changed or "
             "preloaded, and both are timed by the same code. Every run checks that the "
             "window timed is 220 × 224.", "",
             "The baseline (`bench/baseline.cpp`) is a `QApplication` showing one empty "
             "220 × 224 `QMainWindow`, built in the same tree with the same flags. Each "
             "round runs every program once, the order turning from round to round; three "
             "rounds are run first and thrown away (page cache, font cache). Ratios and "
             "differences are taken within each round. After the map each program is left "
             "3 s, its `/proc/PID/status` is read (figure 2), and it is ended with SIGTERM.", "")
    rows = []
    for key, label in program_names(runs):
        gap = [x["painted_ms"] - x["exposed_ms"] for x in runs[key] if x["painted_ms"] >= 0]
        rows.append([label, len(runs[key]), "%.1f" % med(times(runs, key)),
                     span(times(runs, key), "%.1f"),
                     "%.1f" % med(times(runs, key, "painted_ms")),
                     span(times(runs, key, "painted_ms"), "%.1f"), "%.1f" % med(gap)])
    page.table(["program", "runs", "mapped, median ms", "min – max", "first frame, median ms",
                "min – max", "map to first frame, ms"], rows)


def explain(page, r, goals):
    """Why the start-up goal was missed, from the ladder, the CA set-up's cost
    and the idle run's first poll. Returns whether there was anything to say."""
    runs = runs_of(r)
    if not runs or (goals.get("startup_exposed_ms", True) and goals.get("startup_painted_ms", True)):
        return False
    idle, trust, steps = r.get("idle"), r.get("trust"), steps_of(r)
    agent_gap = med([x["painted_ms"] - x["exposed_ms"] for x in runs["program"]])
    noca_gap = med([x["painted_ms"] - x["exposed_ms"] for x in runs.get("program_noca", [])])
    text = ["**Start-up (figure 1).** The agent's window is mapped %.2f× as late as the "
            "baseline's, and its first frame is drawn %.2f× as late." % (
                med(ratios(runs, "program")), med(ratios(runs, "program", "painted_ms")))]
    ca_ms = step(steps, "linked + CA set-up alone") - step(steps, "linked like the agent")
    ca_mib = step_mib(steps, "linked + CA set-up alone") - step_mib(steps, "linked like the agent")
    late = med(times(runs, "program", "painted_ms")) - med(times(runs, "program_noca", "painted_ms"))
    if "program_noca" in runs and late < 20:
        first_poll = ""
        if idle and "lead" in idle["program"]:
            lead = idle["program"]["lead"]
            gui = [t for t in lead["threads"] if t["name"] == "tessaly"]
            first_poll = (" In the idle run, the agent used %.0f ms of CPU between its window "
                          "being shown and 20 s later, %.0f ms of it in the GUI thread, "
                          "which answers no input meanwhile: that is the first identify poll, "
                          "with the CA set-up and TLS loaded for it, against %.1f ms for each "
                          "later poll." % (
                              lead["runtime_ms"], gui[0]["runtime_ms"] if gui else NAN,
                              idle["program"]["window"]["runtime_ms"]
                              / max(1, idle["program"]["identify_polls_in_window"])))
        text.append(
            "The CA set-up, `Service::trustCompiledInCertificates()`, no longer runs during "
            "start-up: the benchmark build, which has the test CA compiled in, draws its "
            "first frame within %.0f ms of the build with none. It runs before the first "
            "request, in the GUI thread, when the first identify poll is due 15 s after "
            "start.%s" % (max(1, abs(late)), first_poll))
    elif agent_gap - noca_gap > 30:
        text.append(
            "The CA set-up, `Service::trustCompiledInCertificates()` (called from `main()`), "
            "runs after `show()`, first thing in the event loop, and before the first paint: "
            "the window is mapped early but stays empty for %.0f ms, against %.0f ms in "
            "the build with no extra CA. Run there, the set-up no longer delays the map, but "
            "it delays what a person sees just as much." % (agent_gap, noca_gap))
    else:
        text.append("The CA set-up, `Service::trustCompiledInCertificates()`, runs before the "
                    "window is mapped.")
    text.append(
        "On its own the set-up costs %+.0f ms and %+.1f MiB (ladder: linked + CA set-up "
        "alone). To add the compiled-in roots while keeping the system's, it lists the "
        "system's with `QSslConfiguration::systemCaCertificates()`, and Qt then reads and "
        "decodes every certificate file under `/etc/ssl/certs` (%s here) through OpenSSL 3, "
        "whose decoders are slow: %s instructions for that one call. A build with no extra "
        "CA, as a release is meant to be built, skips the list; it is mapped %.2f× and "
        "drawn %.2f× as late as the baseline." % (
            ca_ms, ca_mib, trust["certificate_files"] if trust else "?",
            fmt_ir(trust["ir"]) if trust else "(not measured)",
            med(ratios(runs, "program_noca")), med(ratios(runs, "program_noca", "painted_ms"))))
    page.add(" ".join(text), "")
    if steps:
        rest = ("the rest of the agent's start-up (its `MainWindow` beyond the form and the "
                "icons: network manager, timers, log file, adapter list) %s ms to the map "
                "and %s ms to the first frame" % (
                    ms(step(steps, "the agent, no extra CA") - step(steps, "+ tray icon")),
                    ms(step(steps, "the agent, no extra CA", "painted_ms")
                       - step(steps, "+ tray icon", "painted_ms")))
                if "the agent, no extra CA" in steps else "")
        needed = step(steps, "+ tray icon") - step(steps, "baseline")
        margin = 0.10 * med(times(runs, "baseline"))
        page.add("What remains without the CA, by the ladder: the libraries the agent links "
                 "%s ms; the login form %s ms to the map and %s ms to the first "
                 "frame (its text needs fontconfig set up and a font opened and rasterised, "
                 "which an empty window never does); the window icon %s ms; the tray "
                 "icon %s ms; %s. Those four steps, none of which the agent can do "
                 "without, come to %s ms against a 10 %% margin of %.1f ms on a "
                 "%.0f ms baseline%s." % (
                     ms(step(steps, "linked like the agent") - step(steps, "baseline")),
                     ms(step(steps, "+ login form") - step(steps, "linked like the agent")),
                     ms(step(steps, "+ login form", "painted_ms")
                        - step(steps, "linked like the agent", "painted_ms")),
                     ms(step(steps, "+ window icon") - step(steps, "+ login form")),
                     ms(step(steps, "+ tray icon") - step(steps, "+ window icon")), rest,
                     ms(needed), margin, med(times(runs, "baseline")),
                     ": measured against an empty window, the goal cannot be met by a "
                     "window with the agent's content on this machine" if needed > margin
                     else ""), "")
    return True
