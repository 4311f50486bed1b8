"""Figure 3, idle cost: the CPU time and wake-ups of the agent left alone
with its compiled-in intervals, beside the baseline window, from /proc, and
what ended each of its threads' waits, under strace (wakeups.py).
"""

import json
import os
import signal
import subprocess
import time

from common import difference, program, say, snapshot, spread, thread_names
from page import MIB, NAN, span, yes
from wakeups import describe_fds, parse_strace

RESULTS = "idle"


def measure(build, env, work, service, lead_s, window_s, strace_s):
    service.reset()  # identify polls answered false, heartbeats 200
    log = open(os.path.join(work, "idle.log"), "w")
    launcher = program(build, "bench_launch")
    subjects = {"program": [os.path.join(build, "tessaly")],
                "baseline": [program(build, "bench_baseline")]}
    running = {}
    for name, argv in subjects.items():
        process = subprocess.Popen([launcher, "--keep", "--settle", "0", "--"] + argv,
                                   stdout=subprocess.PIPE, stderr=log, env=env, text=True)
        data = json.loads(process.stdout.readline())
        if "error" in data:
            raise RuntimeError("idle: %s: %s" % (name, data["error"]))
        running[name] = {"launcher": process, "pid": data["pid"], "exposed": time.monotonic(),
                         "shown": snapshot(data["pid"])}
    started = max(r["exposed"] for r in running.values())
    say("idle: both windows shown; waiting %d s before measuring" % lead_s)
    time.sleep(max(0.0, started + lead_s - time.monotonic()))

    slices = max(1, window_s // 15)
    marks = {name: [snapshot(r["pid"])] for name, r in running.items()}
    window_start = time.monotonic()
    for index in range(slices):
        time.sleep(max(0.0, window_start + (index + 1) * window_s / slices - time.monotonic()))
        for name, r in running.items():
            marks[name].append(snapshot(r["pid"]))
    window_end = time.monotonic()
    say("idle: %d s measured; now %d s under strace to name the wake-ups" % (window_s, strace_s))

    results = {}
    for name, r in running.items():
        whole = difference(marks[name][0], marks[name][-1])
        parts = [difference(a, b) for a, b in zip(marks[name], marks[name][1:])]
        # From the window shown to the measured window: start-up's tail and the
        # first identify poll, with whatever it sets up.
        lead = difference(r["shown"], marks[name][0])
        results[name] = {
            "pid": r["pid"], "window": whole, "lead": lead,
            "slices_wakeups_per_minute": [p["wakeups_per_minute"] for p in parts],
            "slices_cpu_percent_schedstat": [p["runtime_ms"] / 10.0 / p["seconds"] for p in parts],
            "rss_kib_start": marks[name][0]["rss_kib"], "rss_kib_end": marks[name][-1]["rss_kib"],
            "hwm_kib_end": marks[name][-1]["hwm_kib"],
        }

    # The same processes, some time longer, under strace: which waits ended
    # and why. strace slows each system call, so its window is measured apart.
    traces = {}
    for name, r in running.items():
        path = os.path.join(work, "idle-%s.strace" % name)
        results[name]["fds"] = {str(k): v for k, v in describe_fds(r["pid"]).items()}
        results[name]["thread_names"] = thread_names(r["pid"])
        traces[name] = (path, subprocess.Popen(
            ["strace", "-f", "-tt", "-T", "-qq", "-o", path, "-p", str(r["pid"]),
             "-e", "trace=poll,ppoll,epoll_wait,epoll_pwait,select,pselect6,futex,"
             "nanosleep,clock_nanosleep,restart_syscall"],
            stdout=log, stderr=log))
    trace_start = time.monotonic()
    time.sleep(strace_s)
    for name, (path, process) in traces.items():
        process.send_signal(signal.SIGINT)
        process.wait(30)
    trace_seconds = time.monotonic() - trace_start
    for name, (path, _) in traces.items():
        fds = {int(k): v for k, v in results[name]["fds"].items()}
        per_thread = parse_strace(path, fds, trace_seconds)
        names = results[name]["thread_names"]
        for tid, entry in per_thread.items():
            entry["name"] = names.get(tid, "?")
        results[name]["strace"] = {"seconds": trace_seconds, "threads": per_thread}

    # What the service saw of the program during the measured window.
    polls = service.requests("/api/ping-identify")
    in_window = [r for r in polls if window_start <= r["monotonic"] <= window_end]
    beats = service.requests("/api/heartbeat")
    results["program"]["identify_polls_in_window"] = len(in_window)
    results["program"]["identify_polls_total"] = len(polls)
    results["program"]["heartbeats_total"] = len(beats)
    gaps = [b["monotonic"] - a["monotonic"] for a, b in zip(polls, polls[1:])]
    results["program"]["identify_poll_gap_s"] = spread(gaps)

    for name, r in running.items():
        results[name]["rss_kib_after"] = snapshot(r["pid"])["rss_kib"]
        os.kill(r["pid"], signal.SIGTERM)
        r["launcher"].wait(30)
    log.close()
    return results


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

def summary(r, goals):
    idle = r["idle"]
    rows = []
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
    return rows


def section(page, r):
    idle = r["idle"]
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


def explain(page, r, goals):
    explained = False
    for key, label in (("idle_cpu", "Idle CPU"), ("idle_timers", "Idle timers")):
        if key in goals and not goals[key]:
            explained = True
            page.add("**%s (figure 3).** Missed; the per-thread tables above show which thread "
                     "and which wait." % label, "")
    return explained
