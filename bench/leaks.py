"""Figure 4, leaks: the hostile service's runs (hostile.py) under valgrind
memcheck, and which definitely or possibly lost blocks were allocated through
the agent's own code.
"""

import os
import re
import time
import xml.etree.ElementTree as ET

import hostile
from common import HERE, say
from page import yes

RESULTS = "memcheck"

# Frames of the agent's own code; everything else is Qt, the C++ runtime,
# the system's libraries or this driver.
PROGRAM_FRAME = re.compile(r"^(MainWindow|MainWindowForm|Service::|Identity::|Launcher::)")
ALLOCATOR_FRAME = re.compile(r"^(malloc|calloc|realloc|memalign|posix_memalign|aligned_alloc|"
                             r"operator new|_Zn[wa]m|g_malloc|g_malloc0|g_realloc|g_slice_alloc|"
                             r"g_slice_alloc0|pa_xmalloc|pa_xmalloc0|QArrayData::|QtPrivate::)")


def read_memcheck(path):
    tree = ET.parse(path)
    errors, leaks = [], []
    for error in tree.getroot().iter("error"):
        kind = error.findtext("kind")
        frames = []
        stack = error.find("stack")
        if stack is not None:
            for frame in stack.findall("frame"):
                frames.append({"fn": frame.findtext("fn") or "???",
                               "obj": os.path.basename(frame.findtext("obj") or "")})
        through_program = any(PROGRAM_FRAME.match(f["fn"]) for f in frames)
        # Who asked for the block: the first frame below the allocators.
        owner = next((f for f in frames if not ALLOCATOR_FRAME.match(f["fn"])), None)
        what = error.find("xwhat")
        text = what.findtext("text") if what is not None else error.findtext("what")
        item = {"kind": kind, "text": text, "through_program": through_program,
                "allocated_by_program": bool(owner and PROGRAM_FRAME.match(owner["fn"])),
                "allocated_in": (owner["fn"] if owner and owner["fn"] != "???" else
                                 owner["obj"] if owner else "?"),
                "frames": frames[:30]}
        if kind.startswith("Leak_"):
            item["bytes"] = int(what.findtext("leakedbytes") or 0)
            item["blocks"] = int(what.findtext("leakedblocks") or 0)
            leaks.append(item)
        else:
            errors.append(item)
    suppressed = {}
    for pair in tree.getroot().iter("pair"):
        suppressed[pair.findtext("name")] = int(pair.findtext("count"))
    return errors, leaks, suppressed


def measure(build, env, work, service, events):
    results = {}
    supp = os.path.join(HERE, "valgrind.supp")
    vg_env = dict(env)
    # GLib hands out memory from its own slices unless told not to, which
    # hides where blocks came from.
    vg_env["G_SLICE"] = "always-malloc"
    vg_env["G_DEBUG"] = "gc-friendly"
    # PCRE2's JIT-compiled code makes memcheck report uninitialised values
    # that are not; Qt runs its regular expressions interpreted instead.
    vg_env["QT_ENABLE_REGEXP_JIT"] = "0"
    for mode in hostile.SCENARIOS:
        xml = os.path.join(work, "memcheck-%s.xml" % mode)
        wrapper = ["valgrind", "--tool=memcheck", "--leak-check=full",
                   "--show-leak-kinds=definite,possible", "--errors-for-leak-kinds=definite",
                   "--num-callers=40", "--child-silent-after-fork=yes",
                   "--xml=yes", "--xml-file=" + xml,
                   "--suppressions=" + supp, "--gen-suppressions=all"]
        say("memcheck: %s, %d events" % (mode, events))
        started = time.monotonic()
        _, summary = hostile.run(build, vg_env, work, service, mode, events,
                                 wrapper=wrapper, tag="-memcheck")
        errors, leaks, suppressed = read_memcheck(xml)
        definite = [l for l in leaks if l["kind"] == "Leak_DefinitelyLost"]
        possible = [l for l in leaks if l["kind"] == "Leak_PossiblyLost"]
        results[mode] = {
            "seconds": time.monotonic() - started, "events": summary["events"],
            "errors": errors,
            "definite_program": [l for l in definite if l["through_program"]],
            "definite_other": [l for l in definite if not l["through_program"]],
            "possible_program": [l for l in possible if l["through_program"]],
            "possible_other_bytes": sum(l["bytes"] for l in possible if not l["through_program"]),
            "possible_other_count": sum(1 for l in possible if not l["through_program"]),
            "suppressed": suppressed,
        }
        say("memcheck: %s: %d errors, %d definitely lost through the agent's code, "
            "%d elsewhere, %.0f s" % (mode, len(errors), len(results[mode]["definite_program"]),
                                      len(results[mode]["definite_other"]),
                                      results[mode]["seconds"]))
    return results


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def summary(r, goals):
    mc = r["memcheck"]
    rows = []
    for mode, h in mc.items():
        lost = sum(l["bytes"] for l in h["definite_program"])
        goals["memcheck_" + mode] = not h["definite_program"]
        rows.append(["4", "memcheck, %s, %d events: definitely lost through the agent's code; "
                     "other memcheck errors" % (mode, h["events"]),
                     "**%d B** in %d records; %d errors" % (lost, len(h["definite_program"]),
                                                            len(h["errors"])),
                     "", "none", yes(goals["memcheck_" + mode])])
    return rows


def section(page, r):
    mc = r["memcheck"]
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
