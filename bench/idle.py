"""Idle: the release-like agent left alone with its compiled-in intervals,
beside its form alone (bench_form) on the same display. Every thread's
wake-ups (voluntary context switches: each time it slept and was woken) and
CPU time are read from /proc ten times a second, and each wake-up is set
against the requests the service saw at that moment: the agent's identify
polls and its heartbeat, or neither. The service asks the agent to identify
itself once, early, so that what an alert leaves behind (of GStreamer,
PulseAudio) is there for the rest of the run. A short strace afterwards names
what ended each wait. Resident memory is read before and after that first
alert, and after twenty more in a row."""

import os
import re
import signal
import subprocess
import time

import alerts
import xwatch
from common import kib, median, rss_by_mapping, say, status, threads

RESULTS = "idle"
NEAR = (-1.0, 2.0)  # seconds around a request in which a wake-up counts as its own


def wait_until(moment):
    time.sleep(max(0.0, moment - time.monotonic()))


def measure(agent, form, env, work, service, seconds, strace_seconds):
    service.reset()  # identify polls answered false, heartbeats 200
    log = open(os.path.join(work, "idle.log"), "w")
    form_process, _ = xwatch.start(form, env=env, stderr=log)
    agent_process, _ = xwatch.start(agent, env=env, stderr=log)
    shown = time.monotonic()
    pids = {"agent": agent_process.pid, "form": form_process.pid}
    samples = {name: [] for name in pids}

    def sample_until(moment):
        while time.monotonic() < moment:
            now = time.monotonic()
            for name, pid in pids.items():
                samples[name].append((now, threads(pid)))
            time.sleep(max(0.0, now + 0.1 - time.monotonic()))

    # The first identify poll (15 s) loads TLS; the memory after it is the
    # agent's idle memory until an alert plays.
    say("idle: windows shown; the first identify poll is due in 15 s")
    sample_until(shown + 25)
    before_alert = {name: kib(status(pid)["VmRSS"]) for name, pid in pids.items()}
    maps_before = {name: rss_by_mapping(pid) for name, pid in pids.items()}
    threads_before = sorted({name for name, _, _ in threads(pids["agent"]).values()})
    service.call("POST", "/_ref/identify", {})
    closed = alerts.close_notice()
    if closed is None:
        raise RuntimeError("idle: no Identify box to close after the second poll")
    say("idle: alert played and its box closed; counting wake-ups until %d s after start"
        % seconds)
    sample_until(closed + alerts.RELEASED_S)
    start = len(samples["agent"])
    sample_until(shown + seconds)
    after = {name: kib(status(pid)["VmRSS"]) for name, pid in pids.items()}
    maps_after = rss_by_mapping(pids["agent"])
    window = (samples["agent"][start][0], samples["agent"][-1][0])

    say("idle: %d s under strace to name what ends each wait" % strace_seconds)
    trace = os.path.join(work, "idle-strace.txt")
    fds = describe_fds(pids["agent"])
    # restart_syscall: the end of a wait that was under way when strace attached
    waits = "poll,ppoll,select,pselect6,epoll_wait,epoll_pwait,futex,restart_syscall"
    tracer = subprocess.Popen(["strace", "-f", "-tt", "-T", "-qq", "-o", trace, "-p",
                               str(pids["agent"]), "-e", "trace=" + waits], stderr=log)
    traced = (time.monotonic(), time.monotonic() + strace_seconds)
    wait_until(traced[1])
    names = {tid: name for tid, (name, _, _) in threads(pids["agent"]).items()}
    tracer.send_signal(signal.SIGINT)
    tracer.wait(30)

    polls = [q["monotonic"] for q in service.requests("/api/ping-identify")]
    beats = [q["monotonic"] for q in service.requests("/api/heartbeat")]
    say("idle: %d alerts in a row, one at each poll" % alerts.ALERTS)
    after_alerts = alerts.many(pids["agent"], service)
    for process in (agent_process, form_process):
        xwatch.stop(process)
    log.close()
    result = {"window_s": window[1] - window[0], "rss_kib_before_alert": before_alert,
              "maps_before_alert": maps_before, "maps_after": maps_after,
              "threads_before_alert": threads_before,
              "rss_kib_after": after, "seconds_after_start": seconds,
              "after_alerts": after_alerts,
              "polls": len([t for t in polls if window[0] <= t <= window[1]]),
              # The heartbeat comes with every 20th poll: those polls are
              # counted with it.
              "lone_polls": len([t for t in polls if window[0] <= t <= window[1]
                                 and not any(abs(t - b) < NEAR[1] - NEAR[0] for b in beats)]),
              "heartbeats": len([t for t in beats if window[0] <= t <= window[1]]),
              "poll_gaps_s": [b - a for a, b in zip(polls, polls[1:])],
              "traced_polls": len([t for t in polls if traced[0] <= t <= traced[1]]),
              "traced_s": strace_seconds, "woken_by": parse_strace(trace, fds, names)}
    for name in pids:
        result[name] = attribute(samples[name][start:], polls, beats)
    return result


def attribute(samples, polls, beats):
    """Each thread's wake-ups and CPU over the samples, split by what the
    service saw at the time: an identify poll, the heartbeat, or nothing."""
    def near(moment_a, moment_b, requests):
        return any(moment_a <= t + NEAR[1] and t + NEAR[0] <= moment_b for t in requests)
    seconds = {"poll": 0.0, "heartbeat": 0.0, "between": 0.0}
    by_thread = {}
    for (t0, before), (t1, after) in zip(samples, samples[1:]):
        kind = "heartbeat" if near(t0, t1, beats) else "poll" if near(t0, t1, polls) else "between"
        seconds[kind] += t1 - t0
        for tid, (name, switches, cpu_ms) in after.items():
            _, switches0, cpu0 = before.get(tid, (name, 0, 0.0))
            entry = by_thread.setdefault(name, {"tids": set(), "wakeups": {}, "cpu_ms": {}})
            entry["tids"].add(tid)
            entry["wakeups"][kind] = entry["wakeups"].get(kind, 0) + switches - switches0
            entry["cpu_ms"][kind] = entry["cpu_ms"].get(kind, 0.0) + cpu_ms - cpu0
    for entry in by_thread.values():
        entry["tids"] = len(entry["tids"])
    return {"seconds": seconds, "threads": by_thread}


def own_share(entry, seconds, kind, count, what="wakeups"):
    """What a thread did at each request of a kind beyond its rate between
    requests (a thread with a rhythm of its own wakes then too)."""
    if not count:
        return None
    rate = entry[what].get("between", 0) / seconds["between"] if seconds["between"] else 0.0
    return (entry[what].get(kind, 0) - rate * seconds[kind]) / count


# --------------------------------------------------------------------------
# What ended each wait, from strace
# --------------------------------------------------------------------------

def describe_fds(pid):
    """A name for each descriptor of the process: for a unix socket, what
    listens at its other end (through ss), for TCP the remote port."""
    paths, peers = {}, {}
    listing = subprocess.run(["ss", "-xan"], stdout=subprocess.PIPE, text=True).stdout
    for line in listing.splitlines()[1:]:
        parts = line.split()
        if len(parts) >= 8:
            paths[parts[5]] = parts[4]
            peers[parts[5]] = parts[7]
    tcp = {}
    for table in ("tcp", "tcp6"):
        with open("/proc/%d/net/%s" % (pid, table)) as f:
            for line in list(f)[1:]:
                parts = line.split()
                tcp[parts[9]] = int(parts[2].rsplit(":", 1)[1], 16)
    names = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        inode = re.match(r"socket:\[(\d+)\]", target)
        if inode and inode.group(1) in tcp:
            target = "TCP to port %d" % tcp[inode.group(1)]
        elif inode:
            far = paths.get(peers.get(inode.group(1), ""), "")
            target = ("X server" if "X11-unix" in far else "PulseAudio" if "pulse" in far
                      else "D-Bus" if "dbus" in far else "unix socket")
        elif target.startswith("anon_inode:"):
            target = target[len("anon_inode:"):].strip("[]")
        names[int(fd)] = target
    return names


LINE = re.compile(r"^(\d+)\s+[\d:.]+\s+(.*)$")


def parse_strace(path, fds, names):
    """For each thread (by name), what ended its blocking waits: a time-out,
    which descriptor, or a futex woken by another thread."""
    pending, ended = {}, {}
    with open(path) as f:
        for line in f:
            match = LINE.match(line.rstrip("\n"))
            if not match:
                continue
            tid, text = match.groups()
            if text.endswith("<unfinished ...>"):
                pending[tid] = text[:-len("<unfinished ...>")]
                continue
            resumed = re.match(r"<\.\.\. (\w+) resumed>(.*)$", text)
            if resumed:
                text = pending.pop(tid, resumed.group(1) + "(") + resumed.group(2)
            cause = cause_of(text, fds)
            if cause:
                causes = ended.setdefault(names.get(tid, "(ended)"), {})
                causes[cause] = causes.get(cause, 0) + 1
    return ended


def cause_of(text, fds):
    call = re.match(r"(\w+)\(", text)
    result = re.search(r"\)\s+=\s+(-?\d+)(.*?)(?:<[\d.]+>)?$", text)
    if not call or not result or re.search(r",\s*0\s*\)\s+=", text) \
            or "{tv_sec=0, tv_nsec=0}" in text:
        return None  # a poll with no time to wait: nothing to wake from
    call, value, rest = call.group(1), int(result.group(1)), result.group(2)
    if call == "futex":
        if "FUTEX_WAIT" not in text:
            return None
        # EAGAIN: the value had changed, so it never slept.
        return "futex time-out" if "ETIMEDOUT" in rest else \
            "futex, woken by another thread" if value == 0 else None
    if value == 0:
        return "its time-out (a timer)"
    if value < 0:
        return None
    ready = re.findall(r"fd=(\d+), revents", rest)
    if call == "restart_syscall":
        return "a wait under way when strace attached"
    return ", ".join(sorted({fds.get(int(fd), "fd %s" % fd) for fd in ready})) or call


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------

ROLES = (
    ("tessaly (main thread)", "the GUI thread: the agent's two timers fire here and its replies "
     "are handled here"),
    ("tessaly", "a thread started without a name of its own (from the first alert on, "
     "GStreamer's video4linux2 device monitor, kept for the process)"),
    ("QNetworkAccessM", "Qt's HTTP thread: sends the agent's requests, reads the answers"),
    ("QXcbEventQueue", "Qt's reader of the X connection"),
    ("QDBusConnection", "Qt's D-Bus thread"),
    ("Thread (pooled)", "Qt's thread pool (host-name lookups)"),
    ("threaded-ml", "PulseAudio client main loops: from the first alert on, Qt's list of "
     "audio devices and GStreamer's device monitor, kept for the process; while an alert "
     "plays, one more for its stream"),
    ("pool-", "GLib's thread pool, started by GStreamer"),
)


def role(name):
    for prefix, text in ROLES:
        if name.startswith(prefix):
            return text
    return "GStreamer's pipeline for the alert" if ":" in name or name[-1:].isdigit() else ""


def rates(i, name="agent"):
    """Per thread: wake-ups a minute overall and between requests, and the
    extra at each identify poll and at each heartbeat."""
    a = i[name]
    total_s = sum(a["seconds"].values())
    out = {}
    for thread, entry in a["threads"].items():
        w = entry["wakeups"]
        between = 60.0 * w.get("between", 0) / a["seconds"]["between"] if a["seconds"]["between"] else 0
        out[thread] = {"per_min": 60.0 * sum(w.values()) / total_s, "between_per_min": between,
                       "per_poll": own_share(entry, a["seconds"], "poll", i["lone_polls"]),
                       "per_heartbeat": own_share(entry, a["seconds"], "heartbeat", i["heartbeats"]),
                       "cpu_ms": sum(entry["cpu_ms"].values()), "tids": entry["tids"]}
    return out


def split_wakeups(i):
    """Wake-ups a minute: those that come with the agent's own requests, and
    the rest (each thread's rate between requests)."""
    r = rates(i)
    total = sum(t["per_min"] for t in r.values())
    others = sum(t["between_per_min"] for t in r.values())
    return total - others, others


def cpu_share(i, name="agent"):
    a = i[name]
    return sum(sum(e["cpu_ms"].values()) for e in a["threads"].values()) / (
        10.0 * sum(a["seconds"].values()))


def section(page, r):
    i = r[RESULTS]
    minutes = sum(i["agent"]["seconds"].values()) / 60.0
    own, others = split_wakeups(i)
    page.add("## 3. Idle: who wakes, and the memory held", "",
             "**Decision it serves:** whether an agent left alone on every machine of a fleet "
             "wakes only for its own two timers (identify every 15 s, heartbeat every 5 min), "
             "and whether anything of an alert stays awake or in memory once it has played "
             "(an alert's player is released 20 s after its sound has ended, unless the next alert replays it).", "",
             "**How.** The agent and its form alone run side by side on the display, the service "
             "answering every identify poll `false`. After the first poll (15 s) the service "
             "asks the agent once to identify itself; at the next poll the alert plays "
             "(into a PulseAudio null sink%s) and its box is closed with `xdotool`, as a person "
             "would. From %d s after that (once its player has gone) to %d s after start%s, "
             "every thread's voluntary context switches (each one a sleep ended by a wake-up) "
             "and CPU time are read from `/proc/PID/task/*/` ten times a second. A wake-up in "
             "a tenth of a second from 1 s before to 2 s after a request reached the service "
             "is counted at that request; a thread's rate between requests is taken as its "
             "own rhythm and subtracted from what it did at the requests. Then %d s under "
             "`strace -f` name what ended each wait that could sleep (a time-out, or which "
             "descriptor, named by what is at its other end; eventfd is how one thread of "
             "the agent wakes another)." % (
                 "" if r.get("sound_server") else "; none could be started here, so it failed",
                 alerts.RELEASED_S, i["seconds_after_start"], " (past the first heartbeat, due at 300 s)"
                 if i["seconds_after_start"] > 300 else "", i["traced_s"]), "")
    page.add("Counted over %.1f minutes with %d identify poll%s (%.2f s apart, median) and %d "
             "heartbeat%s: **%.1f wake-ups a minute come with the agent's own requests, %.1f "
             "from threads that wake by themselves**. CPU: %.4f %% of one core, all threads."
             % (minutes, i["polls"], "" if i["polls"] == 1 else "s", median(i["poll_gaps_s"]),
                i["heartbeats"],
                "" if i["heartbeats"] == 1 else "s", own, others, cpu_share(i)), "")
    rows = []
    for thread, t in sorted(rates(i).items(), key=lambda kv: -kv[1]["per_min"]):
        woken = i["woken_by"].get(thread, {})
        rows.append([thread + (" (×%d)" % t["tids"] if t["tids"] > 1 else ""), role(thread),
                     "%.1f" % t["per_min"], "%.1f" % t["between_per_min"],
                     "–" if t["per_poll"] is None else "%.1f" % t["per_poll"],
                     "–" if t["per_heartbeat"] is None else "%.1f" % t["per_heartbeat"],
                     "%.1f" % t["cpu_ms"],
                     ", ".join("%s × %d" % (k, v) for k, v in sorted(
                         woken.items(), key=lambda kv: -kv[1])) or "–"])
    page.table(["thread (/proc/…/comm)", "what it is", "wake-ups /min", "of them between "
                "requests, /min", "extra at each identify poll",
                "extra at the heartbeat (with its identify poll)",
                "CPU ms", "what ended its waits, %d s under strace (%d poll%s)" % (
                    i["traced_s"], i["traced_polls"], "" if i["traced_polls"] == 1 else "s")],
               rows)
    r = rates(i)
    per_poll = lambda name: (r.get(name) or {}).get("per_poll") or 0.0
    gui, http = per_poll("tessaly (main thread)"), per_poll("QNetworkAccessM")
    beat = sum(t["per_heartbeat"] or 0.0 for t in r.values()) - sum(
        t["per_poll"] or 0.0 for t in r.values())
    text = ["How to read it: each identify poll wakes the GUI thread %.1f times (its timer, then "
            "each event Qt's HTTP thread posts back as the request goes out and the answer "
            "comes in) and the HTTP thread %.1f times (the request handed over, the answer on "
            "the socket): about %.0f a minute at four polls a minute." % (
                gui, http, 4 * (gui + http))]
    if i["heartbeats"]:
        text.append("The heartbeat, which comes with every 20th poll, adds %.1f to that poll."
                    % beat)
    for name, t in sorted(r.items(), key=lambda kv: -kv[1]["between_per_min"]):
        if t["between_per_min"] >= 0.5:
            text.append("%s wake%s by %s, %.1f times a minute whatever the agent does; %s." % (
                name + (" (%d threads)" % t["tids"] if t["tids"] > 1 else ""),
                "" if t["tids"] > 1 else "s", "themselves" if t["tids"] > 1 else "itself",
                t["between_per_min"], "not there before the first alert"
                if name not in i["threads_before_alert"] else "there from the start"))
    page.add(" ".join(text), "")
    form = rates(i, "form")
    page.add("The form alone, watched over the same time: %.1f wake-ups a minute (%s): Qt and "
             "the X connection, with no work of their own, do not wake." % (
                 sum(t["per_min"] for t in form.values()), ", ".join(sorted(form))), "")
    rss = lambda key, who: i[key][who] / 1024.0
    page.table(["resident memory (VmRSS), MiB", "the agent", "its form alone", "difference"],
               [["after the first poll, before any alert", "%.1f" % rss("rss_kib_before_alert", "agent"),
                 "%.1f" % rss("rss_kib_before_alert", "form"),
                 "%+.1f" % (rss("rss_kib_before_alert", "agent") - rss("rss_kib_before_alert", "form"))],
                ["at the end, one alert played", "%.1f" % rss("rss_kib_after", "agent"),
                 "%.1f" % rss("rss_kib_after", "form"),
                 "%+.1f" % (rss("rss_kib_after", "agent") - rss("rss_kib_after", "form"))],
                ["then after %d alerts in a row" % i["after_alerts"]["count"],
                 "%.1f" % (i["after_alerts"]["rss_kib"] / 1024.0), "", ""]])
    total, files, anon = alerts.held({"rss_kib": i["rss_kib_before_alert"]["agent"],
                                      "maps": i["maps_before_alert"]["agent"]},
                                     {"rss_kib": i["rss_kib_after"]["agent"], "maps": i["maps_after"]})
    more, _, _ = alerts.held({"rss_kib": i["rss_kib_after"]["agent"], "maps": i["maps_after"]},
                             i["after_alerts"])
    page.add("Of the %+.1f MiB the first alert left, %.1f MiB are mapped files: the media "
             "back end's libraries and plug-ins, loaded once and shared, which the system can "
             "drop and read again; %.1f MiB are anonymous memory (the back end's plug-in "
             "registry and device lists, and the heap's own fragments). An alert's player, "
             "pipeline and audio stream go 20 s after its sound has played, unless the next "
             "alert replays them: %d alerts in a row, one at each poll, and 26 s later, the agent holds %+.1f MiB more than after the first, with the threads %s."
             % (total, files, anon, i["after_alerts"]["count"], more,
                ", ".join(i["after_alerts"]["threads"])), "")
    page.add("Where the differences are, by mapped file (`/proc/PID/smaps`), the eight largest:", "")
    agent, form = i["maps_before_alert"]["agent"], i["maps_before_alert"]["form"]
    extra = biggest(agent, form)
    alert = biggest(i["maps_after"], agent)
    rows = [[a, "%+.1f" % (x / 1024.0), b, "%+.1f" % (y / 1024.0)]
            for (a, x), (b, y) in zip(extra[:8], alert[:8])]
    rest = lambda d: "the other %d, together" % (len(d) - 8), lambda d: "%+.1f" % (
        sum(v for _, v in d[8:]) / 1024.0)
    rows.append([rest[0](extra), rest[1](extra), rest[0](alert), rest[1](alert)])
    page.table(["agent − form alone, before any alert", "MiB", "what the alert added", "MiB"], rows)


def biggest(a, b):
    """The mappings whose resident memory differs, largest difference first."""
    keys = set(a) | set(b)
    return sorted(((k, a.get(k, 0) - b.get(k, 0)) for k in keys if a.get(k, 0) != b.get(k, 0)),
                  key=lambda kv: -abs(kv[1]))
