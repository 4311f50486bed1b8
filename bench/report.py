#!/usr/bin/env python3
"""Writes BENCHMARKS.md from the results bench.py measured.

    report.py RESULTS.json BENCHMARKS.md

Every number on the page comes from RESULTS.json, and so does the choice of
explanation where a goal is missed.
"""

import json
import re
import statistics
import sys

MIB = 1024.0
NAN = float("nan")


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else NAN


def span(values, fmt, scale=1.0):
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    return "%s – %s" % (fmt % (min(values) * scale), fmt % (max(values) * scale))


def yes(met):
    return "**yes**" if met else "**no**"


def ms(value):
    """A signed whole number of milliseconds, with no "-0"."""
    return "±0" if abs(value) < 0.5 else "%+.0f" % value


def fmt_ir(value):
    return "{:,.0f}".format(value)


class Page:
    def __init__(self):
        self.lines = []

    def add(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |",
                 "|" + "|".join("---" for _ in header) + "|")
        for row in rows:
            self.add("| " + " | ".join(str(c) for c in row) + " |")
        self.add("")

    def text(self):
        return "\n".join(self.lines).rstrip() + "\n"


# What a mapping is, for telling where the agent's memory goes.
MAPPING_GROUPS = [
    ("TLS: OpenSSL and Qt's TLS plug-ins", r"libcrypto\.so|libssl\.so|/plugins/tls/"),
    ("heap and other anonymous memory", r"^\[(heap|anon|stack)"),
    ("text: fontconfig, FreeType, HarfBuzz and the font files",
     r"/fontconfig/|/fonts/|\.ttf$|\.otf$|libfontconfig|libfreetype|libharfbuzz|libgraphite2|"
     r"libexpat|libbrotlidec"),
    ("Qt Core, Gui, Widgets and the X platform plug-in: more of their code in use",
     r"libQt6(Core|Gui|Widgets|XcbQpa|DBus)\.so|/plugins/platforms/"),
    ("Qt Multimedia and the audio libraries it loads",
     r"libQt6Multimedia|libpulse|pulsecommon|libsndfile|libFLAC|libvorbis|libopus|libogg|"
     r"libmpg123|libmp3lame|libasyncns|libgst"),
    ("Qt Network and the libraries it loads",
     r"libQt6Network|libgssapi|libkrb5|libk5crypto|libcom_err|libkeyutils|libproxy|"
     r"libresolv|libzstd"),
    ("images: the icon's decoders", r"/plugins/imageformats/|libpng|libjpeg"),
    ("regular expressions (PCRE2)", r"libpcre2"),
    ("C and C++ run-time", r"libc\.so|libstdc\+\+|libm\.so|libgcc_s|ld-linux"),
    ("the program's own file", r"/tessaly$|/bench_baseline$"),
]


def group_of(mapping):
    for name, pattern in MAPPING_GROUPS:
        if re.search(pattern, mapping):
            return name
    return "other libraries and files"


def grouped(smaps):
    out = {}
    for mapping, kib in smaps.items():
        out[group_of(mapping)] = out.get(group_of(mapping), 0) + kib
    return out


def main():
    with open(sys.argv[1]) as f:
        r = json.load(f)
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

    st = r.get("startup")
    runs = st["runs"] if st else None
    ladder = r.get("ladder")
    idle = r.get("idle")
    hostile = r.get("hostile")
    mc = r.get("memcheck")
    cost = r.get("cost")
    trust = r.get("trust")

    def times(key, what="exposed_ms"):
        return [x[what] for x in runs[key]] if runs and key in runs else []

    def ratios(key, what="exposed_ms"):
        if not runs or key not in runs:
            return []
        return [p[what] / b[what] for p, b in zip(runs[key], runs["baseline"])
                if p[what] > 0 and b[what] > 0]

    def diffs(key, what):
        if not runs or key not in runs:
            return []
        return [(p[what] - b[what]) / MIB for p, b in zip(runs[key], runs["baseline"])]

    # ------------------------------------------------------------------
    goals = {}
    rows = []
    if runs:
        n = len(runs["baseline"])
        for what, label in (("exposed_ms", "window mapped (first exposed)"),
                            ("painted_ms", "first frame drawn in it")):
            rr = ratios("program", what)
            goals["startup_" + what] = med(rr) <= 1.10
            rows.append(["1", "Start-up to %s, agent ÷ baseline, %d pairs" % (label, n),
                         "**%.2f×**" % med(rr), span(rr, "%.2f×"), "≤ 1.10×",
                         yes(goals["startup_" + what])])
        for key, label in (("program", "agent"), ("baseline", "baseline")):
            rows.append(["1", "Start-up, %s: mapped; first frame" % label,
                         "%.1f ms; %.1f ms" % (med(times(key)), med(times(key, "painted_ms"))),
                         "%s; %s" % (span(times(key), "%.1f"), span(times(key, "painted_ms"), "%.1f")),
                         "", ""])
        if "program_noca" in runs:
            rows.append(["1", "Start-up of a build with no extra CA (as a release is built) ÷ "
                         "baseline: mapped; first frame",
                         "%.2f×; %.2f×" % (med(ratios("program_noca")),
                                           med(ratios("program_noca", "painted_ms"))),
                         "%s; %s" % (span(ratios("program_noca"), "%.2f×"),
                                     span(ratios("program_noca", "painted_ms"), "%.2f×")),
                         "(≤ 1.10×)", ""])
        for what, label in (("vmhwm_kib", "Peak RSS (VmHWM)"),
                            ("vmrss_kib", "Settled RSS, 3 s after the map")):
            d = diffs("program", what)
            goals["memory_" + what] = med(d) <= 6.0
            rows.append(["2", "%s, agent − baseline" % label, "**%+.1f MiB**" % med(d),
                         span(d, "%+.1f"), "≤ +6 MiB", yes(goals["memory_" + what])])
        if "program_noca" in runs:
            d = diffs("program_noca", "vmrss_kib")
            rows.append(["2", "Settled RSS, build with no extra CA − baseline",
                         "%+.1f MiB" % med(d), span(d, "%+.1f"), "(≤ +6 MiB)", ""])
    if idle:
        w = idle["program"]["window"]
        slices = idle["program"]["slices_cpu_percent_schedstat"]
        share = max(w["cpu_percent_schedstat"], w["cpu_percent"])
        goals["idle_cpu"] = share < 0.1
        rows.append(["3", "Idle CPU over %.0f s, all threads, share of one core: the larger of "
                     "schedstat (%.2f ms) and utime+stime (%d ticks of 10 ms)" % (
                         w["seconds"], w["runtime_ms"], round(w["cpu_s"] * 100)),
                     "**%.4f %%**" % share,
                     "%s per 15 s" % span(slices, "%.4f"), "< 0.1 %", yes(goals["idle_cpu"])])
        wake = idle["program"]["slices_wakeups_per_minute"]
        rows.append(["3", "Idle wake-ups, all threads (voluntary context switches)",
                     "%.1f /min" % w["wakeups_per_minute"], "%s per 15 s" % span(wake, "%.0f"),
                     "", ""])
        threads = idle["program"]["strace"]["threads"].values()
        gaps = [t["shortest_timer_gap_s"] for t in threads if t["shortest_timer_gap_s"] is not None]
        fastest = max([t["timer_per_minute"] for t in threads] or [0])
        shortest = min(gaps) if gaps else None
        # Qt lets a coarse timer fire up to 5 % early.
        goals["idle_timers"] = fastest <= 4.0 + 1e-6 and (shortest is None or shortest >= 14.25)
        rows.append(["3", "Timer expiries: the busiest thread; the shortest gap between two",
                     "%.1f /min; %s" % (fastest, "%.1f s" % shortest if shortest is not None
                                        else "no two"),
                     "", "none faster than the 15 s identify interval", yes(goals["idle_timers"])])
    if hostile:
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
    if mc:
        for mode, h in mc.items():
            lost = sum(l["bytes"] for l in h["definite_program"])
            goals["memcheck_" + mode] = not h["definite_program"]
            rows.append(["4", "memcheck, %s, %d events: definitely lost through the agent's code; "
                         "other memcheck errors" % (mode, h["events"]),
                         "**%d B** in %d records; %d errors" % (lost, len(h["definite_program"]),
                                                                len(h["errors"])),
                         "", "none", yes(goals["memcheck_" + mode])])
    if cost:
        for mode, label in (("heartbeat-cost", "heartbeat"), ("identify-cost", "identify poll")):
            if mode in cost:
                c = cost[mode]
                rows.append(["5", "Instructions per %s round trip handled, all threads" % label,
                             "%s" % fmt_ir(c["ir_per_round_trip_less_driver"]),
                             "", "for comparison", "–"])
    page.add("## Summary", "")
    page.table(["#", "figure", "median", "min – max", "goal", "met"], rows)

    # ------------------------------------------------------------------
    if runs:
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
        names = [("baseline", "baseline"), ("program", "agent, benchmark build (test CA compiled in)")]
        if "program_noca" in runs:
            names.append(("program_noca", "agent built with no extra CA"))
        rows = []
        for key, label in names:
            gap = [x["painted_ms"] - x["exposed_ms"] for x in runs[key] if x["painted_ms"] >= 0]
            rows.append([label, len(runs[key]), "%.1f" % med(times(key)), span(times(key), "%.1f"),
                         "%.1f" % med(times(key, "painted_ms")),
                         span(times(key, "painted_ms"), "%.1f"), "%.1f" % med(gap)])
        page.table(["program", "runs", "mapped, median ms", "min – max", "first frame, median ms",
                    "min – max", "map to first frame, ms"], rows)

        page.add("## 2. Memory", "",
                 "**Method.** In the same runs, 3 s after the window was mapped: `VmHWM` (the "
                 "peak resident set) and `VmRSS` from `/proc/PID/status`, with `RssAnon` and "
                 "`RssFile` to tell the heap from mapped libraries and fonts. Differences are "
                 "taken within each round. In the last round the watcher also adds up "
                 "`/proc/PID/smaps` by mapping, to show where the difference is.", "")
        rows = []
        for key, label in names:
            rr = runs[key]
            rows.append([label, "%.1f" % (med([x["vmhwm_kib"] for x in rr]) / MIB),
                         "%.1f" % (med([x["vmrss_kib"] for x in rr]) / MIB),
                         span([x["vmrss_kib"] for x in rr], "%.1f", 1 / MIB),
                         "%.1f" % (med([x["rssanon_kib"] for x in rr]) / MIB),
                         "%.1f" % (med([x["rssfile_kib"] for x in rr]) / MIB),
                         "%.0f" % med([x["threads"] for x in rr])])
        page.table(["program", "VmHWM MiB", "VmRSS MiB", "VmRSS min – max", "RssAnon MiB",
                    "RssFile MiB", "threads"], rows)
        if st.get("smaps"):
            base = grouped(st["smaps"]["baseline"])
            keys = [k for k, _ in names[1:]]
            groups = sorted(set(base) | set().union(*(grouped(st["smaps"][k]) for k in keys)))
            rows = []
            for g in sorted(groups, key=lambda g: -(grouped(st["smaps"]["program"]).get(g, 0) - base.get(g, 0))):
                row = [g, "%.1f" % (base.get(g, 0) / MIB)]
                for k in keys:
                    row.append("%+.1f" % ((grouped(st["smaps"][k]).get(g, 0) - base.get(g, 0)) / MIB))
                rows.append(row)
            page.add("Resident memory by what is mapped (last round), baseline and the difference:", "")
            page.table(["mapped", "baseline MiB"] + ["%s, Δ MiB" % label for k, label in names[1:]], rows)
        if idle:
            page.add("After the idle run below (identify polls made, TLS in use) the agent's "
                     "RSS was %.1f MiB and the baseline's %.1f MiB." % (
                         idle["program"]["rss_kib_after"] / MIB,
                         idle["baseline"]["rss_kib_after"] / MIB), "")

    if ladder:
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
        for step in ladder["steps"]:
            rr = steps[step]
            base_name = ladder["builds_on"].get(step)
            t = med([x["exposed_ms"] for x in rr])
            f = med([x["painted_ms"] for x in rr])
            rss = med([x["vmrss_kib"] for x in rr]) / MIB
            row = [step, "%.1f" % t, "%.1f" % f, "%.1f" % rss]
            if base_name and base_name in steps:
                b = steps[base_name]
                row += [base_name, "%+.1f" % (t - med([x["exposed_ms"] for x in b])),
                        "%+.1f" % (f - med([x["painted_ms"] for x in b])),
                        "%+.1f" % (rss - med([x["vmrss_kib"] for x in b]) / MIB)]
            else:
                row += ["", "", "", ""]
            rows.append(row)
        page.table(["step", "mapped ms", "first frame ms", "VmRSS MiB", "Δ against",
                    "Δ mapped ms", "Δ first frame ms", "Δ MiB"], rows)
        if trust:
            page.add("The CA set-up alone, under callgrind: %s instructions, reading %d "
                     "certificate files from `/etc/ssl/certs`." % (fmt_ir(trust["ir"]),
                                                                   trust["certificate_files"]), "")

    # ------------------------------------------------------------------
    if idle:
        p = idle["program"]
        page.add("## 3. Idle cost", "",
                 "**Method.** The benchmark build of the agent, with its compiled-in intervals "
                 "(identify every 15 s, heartbeat every 300 s), is started through "
                 "`bench_launch --keep` next to the baseline on the same display, with the tray; "
                 "the reference service answers every identify poll `false`. 20 s after the "
                 "windows are mapped (the first poll is over), `/proc/PID/stat` (utime + stime, "
                 "in 10 ms ticks) and, for each thread, `/proc/PID/task/TID/{stat,status,schedstat}` "
                 "(schedstat gives the run time in nanoseconds) are read every 15 s for %.0f s. "
                 "Wake-ups are the threads' voluntary context switches: each time a thread slept "
                 "and was woken. Then the same processes are watched %.0f s more under "
                 "`strace -f -tt -T` (poll, ppoll, epoll, select, futex, sleeps), to name what "
                 "ended each wait: its time-out (a timer) or a descriptor (named from "
                 "`/proc/PID/fd` and `/proc/net`). strace slows every system call, so no CPU is "
                 "measured then." % (p["window"]["seconds"], p["strace"]["seconds"]), "")
        rows = []
        for key, label in (("program", "agent"), ("baseline", "baseline")):
            w = idle[key]["window"]
            rows.append([label, "%.2f" % w["runtime_ms"], "%d" % round(w["cpu_s"] * 100),
                         "%.4f %%" % w["cpu_percent_schedstat"], "%.1f" % w["wakeups_per_minute"],
                         "%.1f / %.1f" % (idle[key]["rss_kib_start"] / MIB,
                                          idle[key]["rss_kib_end"] / MIB)])
        page.table(["program", "CPU ms (schedstat)", "utime+stime ticks", "share of one core",
                    "wake-ups /min", "RSS MiB at start / end"], rows)
        gone = p["window"].get("threads_gone", [])
        if "lead" in p:
            gui = [t for t in p["lead"]["threads"] if t["name"] == "tessaly"]
            page.add("Before the measured window, from the window shown to 20 s later (the end of "
                     "start-up and the first identify poll, with whatever it sets up first): "
                     "%.1f ms of CPU, %.1f ms of it in the GUI thread." % (
                         p["lead"]["runtime_ms"], gui[0]["runtime_ms"] if gui else NAN), "")
        page.add("Identify polls the service received in the measured window: %d (between "
                 "polls: median %.2f s, %s); heartbeats in all: %d (the first is due 300 s after "
                 "start, after the run).%s" % (
                     p["identify_polls_in_window"], p["identify_poll_gap_s"]["median"] or 0,
                     span([p["identify_poll_gap_s"]["min"] or 0, p["identify_poll_gap_s"]["max"] or 0],
                          "%.2f s"), p["heartbeats_total"],
                     " Threads that ended in the window (their CPU is in utime+stime only): %s."
                     % ", ".join(t["name"] for t in gone) if gone else ""), "")
        page.add("Per thread, over the measured window:", "")
        rows = []
        for t in p["window"]["threads"]:
            rows.append([t["name"], "%.2f" % t["runtime_ms"],
                         "%.1f" % (t["voluntary"] * 60.0 / p["window"]["seconds"]),
                         "%d" % t["involuntary"]])
        page.table(["thread", "CPU ms", "wake-ups /min", "involuntary switches"], rows)
        page.add("What ended each thread's waits, under strace (%.0f s):" % p["strace"]["seconds"], "")
        rows = []
        for tid, t in sorted(p["strace"]["threads"].items(), key=lambda kv: int(kv[0])):
            fds = ", ".join("%s × %d" % (k, v) for k, v in sorted(t["fd"].items(), key=lambda kv: -kv[1]))
            timeouts = ", ".join("%s × %d" % ("one in progress when strace attached" if k == "-2"
                                              else "futex" if k == "futex"
                                              else "%s ms" % k, v)
                                 for k, v in t["timeouts_ms"].items())
            rows.append([t["name"], "%.1f" % t["per_minute"], "%.1f" % t["timer_per_minute"],
                         timeouts or "–",
                         "%.1f s" % t["shortest_timer_gap_s"] if t["shortest_timer_gap_s"] is not None else "–",
                         fds or "–", t["nonblocking"]])
        page.table(["thread", "waits ended /min", "by their time-out /min", "time-outs that ended them",
                    "shortest gap between two", "woken by a descriptor", "polls that did not wait"], rows)
        b = idle["baseline"]
        page.add("Each identify poll wakes the GUI thread for its timer and then for the posted "
                 "events that carry the request to Qt's network thread and the answer back "
                 "(eventfd), and the network thread for those events and the socket. The "
                 "baseline, watched the same way, woke %.1f times a minute and used %.2f ms of "
                 "CPU in %.0f s." % (b["window"]["wakeups_per_minute"], b["window"]["runtime_ms"],
                                     b["window"]["seconds"]), "")

    # ------------------------------------------------------------------
    if hostile:
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
    if mc:
        first = list(mc.values())[0]
        page.add("### Leaks: valgrind memcheck", "",
                 "**Method.** The same program and runs, about %d events each, under "
                 "`valgrind --leak-check=full` (GLib told to allocate with plain malloc, Qt's "
                 "regular expressions run without the JIT, whose code memcheck cannot follow). "
                 "A leak counts against the agent when its allocation stack goes through the "
                 "agent's code (`MainWindow`, `Service::`, `Identity::`, `Launcher::`); for each "
                 "such record the frame that asked for the block is named. Leaks and errors that "
                 "begin and end in the system's libraries are suppressed by "
                 "`bench/valgrind.supp`, where each entry says why it is not the agent's; how "
                 "often each matched is listed." % first["events"], "")
        rows = []
        for mode, h in mc.items():
            rows.append([mode, h["events"], "%.0f s" % h["seconds"], len(h["errors"]),
                         "%d B" % sum(l["bytes"] for l in h["definite_program"]),
                         "%d B" % sum(l["bytes"] for l in h["definite_other"]),
                         "%d (%d B)" % (len(h["possible_program"]),
                                        sum(l["bytes"] for l in h["possible_program"])),
                         "%d (%d B)" % (h["possible_other_count"], h["possible_other_bytes"]),
                         "; ".join("%s × %d" % (k, v) for k, v in h["suppressed"].items()) or "–"])
        page.table(["run", "events", "took", "errors", "definitely lost, through the agent",
                    "definitely lost, elsewhere", "possibly lost, through the agent",
                    "possibly lost, elsewhere", "suppressed"], rows)
        seen = set()
        notes = []
        for mode, h in mc.items():
            for l in h["definite_program"] + h["possible_program"]:
                key = (l["kind"], l["allocated_in"])
                if key in seen:
                    continue
                seen.add(key)
                notes.append("- %s, %s: allocated by `%s`%s. Stack: %s" % (
                    mode, l["kind"].replace("Leak_", "").replace("Lost", " lost").lower(),
                    l["allocated_in"],
                    " — the agent's own allocation" if l["allocated_by_program"] else
                    " — a library's block, reached from the agent's code",
                    " ← ".join("`%s`" % f["fn"] for f in l["frames"][:10])))
        if notes:
            page.add("Records whose stack goes through the agent's code:", "", *notes, "")
            if not any(l["allocated_by_program"] for h in mc.values()
                       for l in h["definite_program"] + h["possible_program"]):
                page.add("None of them is a block the agent allocates: they are thread stacks "
                         "and thread-local storage of threads still running at exit, and "
                         "singletons GStreamer keeps, reached while the agent creates its alert "
                         "player or a window.", "")

    # ------------------------------------------------------------------
    if cost:
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

    # ------------------------------------------------------------------
    page.add("## Goals missed, and why", "")
    explained = False
    steps = ladder["runs"] if ladder else {}

    def step(name, what="exposed_ms"):
        return med([x[what] for x in steps[name]]) if name in steps else NAN

    def step_mib(name):
        return med([x["vmrss_kib"] for x in steps[name]]) / MIB if name in steps else NAN

    if runs and not (goals.get("startup_exposed_ms", True) and goals.get("startup_painted_ms", True)):
        explained = True
        agent_gap = med([x["painted_ms"] - x["exposed_ms"] for x in runs["program"]])
        noca_gap = med([x["painted_ms"] - x["exposed_ms"] for x in runs.get("program_noca", [])])
        text = ["**Start-up (figure 1).** The agent's window is mapped %.2f× as late as the "
                "baseline's, and its first frame is drawn %.2f× as late." % (
                    med(ratios("program")), med(ratios("program", "painted_ms")))]
        ca_ms = step("linked + CA set-up alone") - step("linked like the agent")
        ca_mib = step_mib("linked + CA set-up alone") - step_mib("linked like the agent")
        late = med(times("program", "painted_ms")) - med(times("program_noca", "painted_ms"))
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
                med(ratios("program_noca")), med(ratios("program_noca", "painted_ms"))))
        page.add(" ".join(text), "")
        if steps:
            rest = ("the rest of the agent's start-up (its `MainWindow` beyond the form and the "
                    "icons: network manager, timers, log file, adapter list) %s ms to the map "
                    "and %s ms to the first frame" % (
                        ms(step("the agent, no extra CA") - step("+ tray icon")),
                        ms(step("the agent, no extra CA", "painted_ms")
                           - step("+ tray icon", "painted_ms")))
                    if "the agent, no extra CA" in steps else "")
            needed = step("+ tray icon") - step("baseline")
            margin = 0.10 * med(times("baseline"))
            page.add("What remains without the CA, by the ladder: the libraries the agent links "
                     "%s ms; the login form %s ms to the map and %s ms to the first "
                     "frame (its text needs fontconfig set up and a font opened and rasterised, "
                     "which an empty window never does); the window icon %s ms; the tray "
                     "icon %s ms; %s. Those four steps, none of which the agent can do "
                     "without, come to %s ms against a 10 %% margin of %.1f ms on a "
                     "%.0f ms baseline%s." % (
                         ms(step("linked like the agent") - step("baseline")),
                         ms(step("+ login form") - step("linked like the agent")),
                         ms(step("+ login form", "painted_ms") - step("linked like the agent", "painted_ms")),
                         ms(step("+ window icon") - step("+ login form")),
                         ms(step("+ tray icon") - step("+ window icon")), rest,
                         ms(needed), margin, med(times("baseline")),
                         ": measured against an empty window, the goal cannot be met by a "
                         "window with the agent's content on this machine" if needed > margin
                         else ""), "")
    if runs and not (goals.get("memory_vmhwm_kib", True) and goals.get("memory_vmrss_kib", True)):
        explained = True
        text = ["**Memory (figure 2).** The agent holds %+.1f MiB more than the baseline 3 s "
                "after its window is mapped (peak %+.1f MiB); the build with no extra CA %+.1f "
                "MiB." % (med(diffs("program", "vmrss_kib")), med(diffs("program", "vmhwm_kib")),
                          med(diffs("program_noca", "vmrss_kib")))]
        if st.get("smaps"):
            base = grouped(st["smaps"]["baseline"])
            prog = grouped(st["smaps"]["program"])
            parts = sorted(((prog.get(g, 0) - base.get(g, 0)) / MIB, g) for g in set(prog) | set(base))
            text.append("By mapping: " + "; ".join("%s %+.1f MiB" % (g, d) for d, g in parts[::-1]
                                                   if abs(d) >= 0.1) + ".")
            noca = grouped(st["smaps"].get("program_noca", {}))
            tls = noca.get(MAPPING_GROUPS[0][0], 0) - base.get(MAPPING_GROUPS[0][0], 0)
            if tls > 512:
                text.append(
                    "Even the build with no extra CA has TLS mapped at start (%+.1f MiB): "
                    "`trustCompiledInCertificates()` passes its empty list to "
                    "`QSslCertificate::fromData()`, which loads Qt's TLS back end and OpenSSL "
                    "to parse nothing, before it finds there is nothing to add." % (tls / MIB))
        text.append("The agent loads TLS for its first identify poll in any case, so from "
                    "then on that part is paid whatever is done at start. In a build with an "
                    "extra CA, the CA set-up adds its share when it runs, and the decoded list "
                    "of every system root stays on the heap for the process's life%s." % (
                        ": after the idle run's polls the benchmark build held %.1f MiB, "
                        "%+.1f MiB above the baseline" % (
                            idle["program"]["rss_kib_after"] / MIB,
                            (idle["program"]["rss_kib_after"] - idle["baseline"]["rss_kib_after"]) / MIB)
                        if idle else ""))
        if steps:
            libs = step_mib("linked like the agent") - step_mib("baseline")
            form = step_mib("+ login form") - step_mib("linked like the agent")
            text.append("By the ladder, the libraries the agent links (%+.1f MiB) and its login "
                        "form, fonts included (%+.1f MiB), come to %+.1f MiB before any of the "
                        "agent's own start-up code runs." % (libs, form, libs + form))
        page.add(" ".join(text), "")
    for key, label in (("idle_cpu", "Idle CPU"), ("idle_timers", "Idle timers")):
        if key in goals and not goals[key]:
            explained = True
            page.add("**%s (figure 3).** Missed; the per-thread tables above show which thread "
                     "and which wait." % label, "")
    for key in [k for k in goals if k.startswith("hostile_") or k.startswith("memcheck_")]:
        if not goals[key]:
            explained = True
            page.add("**%s (figure 4).** Missed; see the samples and records above." % key, "")
    if not explained:
        page.add("None.", "")

    with open(sys.argv[2], "w") as f:
        f.write(page.text())


if __name__ == "__main__":
    main()
