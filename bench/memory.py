"""Figure 2, memory: the agent's peak and settled resident memory against the
baseline's, and by what is mapped where they differ.

Measured in the start-up runs (startup.py): bench_launch reads each program's
/proc/PID/status 3 s after its window is mapped, and in the last round adds up
/proc/PID/smaps by mapping. This module turns those samples into the figure.
"""

import re

from ladder import step_mib, steps_of
from page import MIB, med, span, yes
from startup import diffs, program_names, runs_of

RESULTS = "startup"

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


def summary(r, goals):
    runs = r["startup"]["runs"]
    rows = []
    for what, label in (("vmhwm_kib", "Peak RSS (VmHWM)"),
                        ("vmrss_kib", "Settled RSS, 3 s after the map")):
        d = diffs(runs, "program", what)
        goals["memory_" + what] = med(d) <= 6.0
        rows.append(["2", "%s, agent − baseline" % label, "**%+.1f MiB**" % med(d),
                     span(d, "%+.1f"), "≤ +6 MiB", yes(goals["memory_" + what])])
    if "program_noca" in runs:
        d = diffs(runs, "program_noca", "vmrss_kib")
        rows.append(["2", "Settled RSS, build with no extra CA − baseline",
                     "%+.1f MiB" % med(d), span(d, "%+.1f"), "(≤ +6 MiB)", ""])
    return rows


def section(page, r):
    runs = r["startup"]["runs"]
    smaps = r["startup"].get("smaps")
    idle = r.get("idle")
    names = program_names(runs)
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
    if smaps:
        base = grouped(smaps["baseline"])
        others = {k: grouped(smaps[k]) for k, _ in names[1:]}
        groups = sorted(set(base) | set().union(*others.values()))
        rows = []
        for g in sorted(groups, key=lambda g: -(others["program"].get(g, 0) - base.get(g, 0))):
            rows.append([g, "%.1f" % (base.get(g, 0) / MIB)]
                        + ["%+.1f" % ((others[k].get(g, 0) - base.get(g, 0)) / MIB) for k in others])
        page.add("Resident memory by what is mapped (last round), baseline and the difference:", "")
        page.table(["mapped", "baseline MiB"] + ["%s, Δ MiB" % label for _, label in names[1:]], rows)
    if idle:
        page.add("After the idle run below (identify polls made, TLS in use) the agent's "
                 "RSS was %.1f MiB and the baseline's %.1f MiB." % (
                     idle["program"]["rss_kib_after"] / MIB,
                     idle["baseline"]["rss_kib_after"] / MIB), "")


def explain(page, r, goals):
    """Why the memory goal was missed, by mapping and by the ladder."""
    runs = runs_of(r)
    if not runs or (goals.get("memory_vmhwm_kib", True) and goals.get("memory_vmrss_kib", True)):
        return False
    smaps, idle, steps = r["startup"].get("smaps"), r.get("idle"), steps_of(r)
    text = ["**Memory (figure 2).** The agent holds %+.1f MiB more than the baseline 3 s "
            "after its window is mapped (peak %+.1f MiB); the build with no extra CA %+.1f "
            "MiB." % (med(diffs(runs, "program", "vmrss_kib")),
                      med(diffs(runs, "program", "vmhwm_kib")),
                      med(diffs(runs, "program_noca", "vmrss_kib")))]
    if smaps:
        base = grouped(smaps["baseline"])
        prog = grouped(smaps["program"])
        parts = sorted(((prog.get(g, 0) - base.get(g, 0)) / MIB, g) for g in set(prog) | set(base))
        text.append("By mapping: " + "; ".join("%s %+.1f MiB" % (g, d) for d, g in parts[::-1]
                                               if abs(d) >= 0.1) + ".")
        noca = grouped(smaps.get("program_noca", {}))
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
        libs = step_mib(steps, "linked like the agent") - step_mib(steps, "baseline")
        form = step_mib(steps, "+ login form") - step_mib(steps, "linked like the agent")
        text.append("By the ladder, the libraries the agent links (%+.1f MiB) and its login "
                    "form, fonts included (%+.1f MiB), come to %+.1f MiB before any of the "
                    "agent's own start-up code runs." % (libs, form, libs + form))
    page.add(" ".join(text), "")
    return True
