#!/usr/bin/env python3
"""Tessaly's benchmarks: measures, and writes the results as JSON.

    bench.py run --build DIR [--noca-build DIR] --out RESULTS.json

(report.py turns RESULTS.json into BENCHMARKS.md.)

"run" must be started on an X display with a system tray (scripts/bench.sh
runs it through tests/e2e/xsession.sh --tray). It starts its own reference
service on a fixed port, which the benchmark build of the agent has compiled
in, and stops it at the end.

Every figure is measured here and printed as it comes; nothing is assumed.
Environment knobs, for a quick look rather than a full run:
  BENCH_STARTUP_ROUNDS (25), BENCH_LADDER_ROUNDS (8), BENCH_IDLE_SECONDS (120),
  BENCH_STRACE_SECONDS (60), BENCH_EVENTS (2000), BENCH_VALGRIND_EVENTS (200),
  BENCH_COST_ROUNDS (100), BENCH_ONLY (comma list of sections to run).
"""

import argparse
import json
import os
import platform
import re
import signal
import ssl
import statistics
import subprocess
import sys
import time
import urllib.request
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PORT = 18443
SERVICE_URL = "https://localhost:%d" % PORT
CLK_TCK = os.sysconf("SC_CLK_TCK")


def say(text):
    sys.stdout.write("bench: %s\n" % text)
    sys.stdout.flush()


def knob(name, default):
    return int(os.environ.get(name, default))


def spread(values):
    """Median, min and max of a list of numbers (None when empty)."""
    if not values:
        return {"median": None, "min": None, "max": None, "n": 0}
    return {"median": statistics.median(values), "min": min(values),
            "max": max(values), "n": len(values)}


# --------------------------------------------------------------------------
# The machine
# --------------------------------------------------------------------------

def machine(build):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    os_name = ""
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    os_name = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    qt = subprocess.run([os.path.join(build, "bench", "bench_hostile"), "--qt-version"],
                        stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    compiler = subprocess.run(["c++", "--version"], stdout=subprocess.PIPE,
                              text=True).stdout.splitlines()[0]
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "ram_gib": round(mem_kib / 1024 / 1024, 1),
        "kernel": platform.release(),
        "os": os_name,
        "qt": qt,
        "compiler": compiler,
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
    }


# --------------------------------------------------------------------------
# The reference service
# --------------------------------------------------------------------------

class Service:
    def __init__(self, state_dir, log_path):
        self.state_dir = state_dir
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "refservice", "refservice.py"), "serve",
             "--port", str(PORT), "--state-dir", state_dir, "--stdin-watch"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True)
        first = self.process.stdout.readline()
        if not first:
            raise RuntimeError("the reference service did not start; see %s" % log_path)
        info = json.loads(first)
        if info["port"] != PORT:
            raise RuntimeError("the reference service is on port %s, not %d" % (info["port"], PORT))
        self.context = ssl.create_default_context(cafile=info["ca"])

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(SERVICE_URL + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, context=self.context, timeout=30) as reply:
            return json.loads(reply.read() or b"null")

    def reset(self, config=None):
        self.call("POST", "/_ref/reset", {})
        if config:
            self.call("POST", "/_ref/config", config)

    def requests(self, path):
        return self.call("GET", "/_ref/requests?path=" + path)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()


# --------------------------------------------------------------------------
# Start-up and memory
# --------------------------------------------------------------------------

def launch(build, argv, settle_ms, env, log, smaps=None):
    launcher = os.path.join(build, "bench", "bench_launch")
    extra = ["--smaps", smaps] if smaps else []
    result = subprocess.run([launcher, "--settle", str(settle_ms)] + extra + ["--"] + argv,
                            stdout=subprocess.PIPE, stderr=log, env=env, text=True,
                            timeout=120)
    line = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else "{}"
    data = json.loads(line)
    if "error" in data or data.get("exited_early"):
        raise RuntimeError("%s: %s" % (" ".join(argv), data.get("error", "ended early")))
    if (data["width"], data["height"]) != (220, 224):
        raise RuntimeError("%s showed a %dx%d window first, not the 220x224 one"
                           % (argv[0], data["width"], data["height"]))
    return data


def startup(build, noca_build, env, work, rounds):
    programs = [("baseline", [os.path.join(build, "bench", "bench_baseline")]),
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


def ladder(build, noca_build, env, work, rounds):
    steps = []
    for name, _, argv in LADDER:
        if argv[0] == "tessaly":
            argv = [os.path.join(build, "tessaly")]
        elif argv[0] == "noca":
            if not noca_build:
                continue
            argv = [os.path.join(noca_build, "tessaly")]
        else:
            argv = [os.path.join(build, "bench", argv[0])] + argv[1:]
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


def trust_cost(build, env, work):
    """Instructions spent in the agent's CA set-up, and how many certificate
    files the system has for it to read."""
    out = os.path.join(work, "callgrind-trust.out")
    with open(os.path.join(work, "callgrind-trust.log"), "w") as log:
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--toggle-collect=Service::trustCompiledInCertificates()",
                        os.path.join(build, "bench", "bench_ladder"), "trust", "exit"],
                       stdout=log, stderr=log, env=env, timeout=600, check=True)
    files = set()
    for name in os.listdir("/etc/ssl/certs"):
        path = os.path.realpath(os.path.join("/etc/ssl/certs", name))
        if name != "ca-certificates.crt" and os.path.isfile(path):
            files.add(path)
    return {"ir": callgrind_totals(out), "certificate_files": len(files)}


# --------------------------------------------------------------------------
# Idle cost
# --------------------------------------------------------------------------

def read_stat(path):
    with open(path) as f:
        text = f.read()
    # The name is in parentheses and may hold spaces.
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    # fields[0] is field 3 (state); utime and stime are fields 14 and 15.
    return name, int(fields[11]), int(fields[12])


def read_status(path):
    values = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def snapshot(pid):
    """CPU time and context switches of a process and of each of its threads."""
    _, utime, stime = read_stat("/proc/%d/stat" % pid)
    status = read_status("/proc/%d/status" % pid)
    threads = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s" % (pid, tid)
        try:
            name, t_utime, t_stime = read_stat(base + "/stat")
            t_status = read_status(base + "/status")
            with open(base + "/schedstat") as f:
                runtime_ns = int(f.read().split()[0])
        except (OSError, ValueError):
            continue
        threads[tid] = {
            "name": name, "utime": t_utime, "stime": t_stime, "runtime_ns": runtime_ns,
            "voluntary": int(t_status["voluntary_ctxt_switches"]),
            "involuntary": int(t_status["nonvoluntary_ctxt_switches"]),
        }
    return {"time": time.monotonic(), "utime": utime, "stime": stime,
            "rss_kib": int(status["VmRSS"].split()[0]),
            "hwm_kib": int(status["VmHWM"].split()[0]), "threads": threads}


def difference(a, b):
    seconds = b["time"] - a["time"]
    cpu_s = ((b["utime"] + b["stime"]) - (a["utime"] + a["stime"])) / CLK_TCK
    threads = []
    for tid, after in b["threads"].items():
        before = a["threads"].get(tid)
        born = before is None
        before = before or {"utime": 0, "stime": 0, "runtime_ns": 0, "voluntary": 0,
                            "involuntary": 0}
        threads.append({
            "tid": tid, "name": after["name"], "born_in_window": born,
            "runtime_ms": (after["runtime_ns"] - before["runtime_ns"]) / 1e6,
            "voluntary": after["voluntary"] - before["voluntary"],
            "involuntary": after["involuntary"] - before["involuntary"],
        })
    gone = [dict(tid=tid, name=t["name"]) for tid, t in a["threads"].items()
            if tid not in b["threads"]]
    wakeups = sum(t["voluntary"] for t in threads)
    runtime_ms = sum(t["runtime_ms"] for t in threads)
    return {"seconds": seconds, "cpu_s": cpu_s, "cpu_percent": 100.0 * cpu_s / seconds,
            "runtime_ms": runtime_ms,
            "cpu_percent_schedstat": runtime_ms / 10.0 / seconds,
            "wakeups": wakeups, "wakeups_per_minute": wakeups * 60.0 / seconds,
            "threads": sorted(threads, key=lambda t: int(t["tid"])), "threads_gone": gone}


def describe_fds(pid):
    """What each descriptor of a process is, for naming what woke it."""
    inodes = {}
    for table, kind in (("tcp", "TCP"), ("tcp6", "TCP")):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    local_port = int(parts[1].rsplit(":", 1)[1], 16)
                    remote_port = int(parts[2].rsplit(":", 1)[1], 16)
                    inodes[parts[9]] = "%s socket to port %d" % (kind, remote_port) \
                        if remote_port else "%s socket on port %d" % (kind, local_port)
        except OSError:
            pass
    try:
        with open("/proc/%d/net/unix" % pid) as f:
            next(f)
            for line in f:
                parts = line.split()
                if len(parts) >= 7:
                    inodes[parts[6]] = "unix socket" + (" " + parts[7] if len(parts) > 7 else "")
    except OSError:
        pass
    fds = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        match = re.match(r"socket:\[(\d+)\]", target)
        if match:
            target = inodes.get(match.group(1), "socket")
        elif target.startswith("anon_inode:"):
            target = target[len("anon_inode:"):].strip("[]")
        elif target.startswith("pipe:"):
            target = "pipe"
        fds[int(fd)] = target
    return fds


STRACE_LINE = re.compile(r"^(\d+)\s+(\d+):(\d+):(\d+\.\d+)\s+(.*)$")


def parse_strace(path, fds, seconds):
    """Each thread's returns from blocking waits: timer expiries and wake-ups
    by a descriptor, from strace -f -tt -T output."""
    pending = {}
    calls = []
    with open(path) as f:
        for line in f:
            match = STRACE_LINE.match(line.rstrip("\n"))
            if not match:
                continue
            tid = match.group(1)
            at = int(match.group(2)) * 3600 + int(match.group(3)) * 60 + float(match.group(4))
            text = match.group(5)
            if text.endswith("<unfinished ...>"):
                pending[tid] = text[:-len("<unfinished ...>")]
                continue
            resumed = re.match(r"<\.\.\. (\w+) resumed>(.*)$", text)
            if resumed:
                # A resumed line is stamped when the call returned.
                text = pending.pop(tid, resumed.group(1) + "(?") + resumed.group(2)
            else:
                # A whole line is stamped when the call was made; -T gives
                # how long it took.
                took = re.search(r"<([\d.]+)>$", text)
                if took:
                    at += float(took.group(1))
            calls.append((tid, at, text))
    threads = {}
    for tid, at, text in calls:
        name = re.match(r"(\w+)\(", text)
        if not name:
            continue
        call = name.group(1)
        result = re.search(r"\)\s+=\s+(-?\d+|\?)(.*?)(?:<([\d.]+)>)?$", text)
        if not result or result.group(1) == "?":
            continue
        value = int(result.group(1))
        rest = result.group(2)
        entry = threads.setdefault(tid, {"timer": 0, "fd": {}, "nonblocking": 0, "other": 0,
                                         "timeouts_ms": {}, "timer_times": [],
                                         "interrupted": 0})
        timeout_ms = None
        if call == "poll":
            timeout = re.search(r",\s*(-?\d+)\s*\)\s+=", text)
            timeout_ms = int(timeout.group(1)) if timeout else None
        elif call == "ppoll":
            limit = re.search(r"\{tv_sec=(\d+), tv_nsec=(\d+)\}", text)
            timeout_ms = (int(limit.group(1)) * 1000 + int(limit.group(2)) // 1000000) if limit else -1
        elif call in ("epoll_wait", "epoll_pwait"):
            timeout = re.search(r",\s*\d+,\s*(-?\d+)(?:,[^)]*)?\s*\)\s+=", text)
            timeout_ms = int(timeout.group(1)) if timeout else None
        elif call == "restart_syscall":
            timeout_ms = -2  # a wait that was going on when strace attached
        elif call == "futex":
            if "FUTEX_WAIT" not in text:
                continue
            timeout_ms = None  # a futex wait blocks whether or not it has a time limit
        else:
            continue
        if timeout_ms == 0:
            entry["nonblocking"] += 1
            continue
        if value == 0 and call != "futex":
            entry["timer"] += 1
            entry["timer_times"].append(at)
            key = str(timeout_ms)
            entry["timeouts_ms"][key] = entry["timeouts_ms"].get(key, 0) + 1
        elif call == "futex":
            if "ETIMEDOUT" in rest:
                entry["timer"] += 1
                entry["timer_times"].append(at)
                entry["timeouts_ms"]["futex"] = entry["timeouts_ms"].get("futex", 0) + 1
            elif value < 0 and ("EAGAIN" in rest or "EINTR" in rest):
                entry["interrupted"] += 1
            else:
                entry["other"] += 1
        elif value < 0:
            entry["interrupted"] += 1
        else:
            ready = re.findall(r"\{fd=(\d+), revents=", rest) or re.findall(r"\{fd=(\d+), revents", text)
            if call.startswith("epoll"):
                ready = re.findall(r"u64=(\d+)", rest) or ["epoll"]
            for fd in ready:
                label = fds.get(int(fd), "fd %s" % fd) if fd.isdigit() else fd
                entry["fd"][label] = entry["fd"].get(label, 0) + 1
    summary = {}
    for tid, entry in threads.items():
        times = entry.pop("timer_times")
        gaps = [b - a for a, b in zip(times, times[1:])]
        entry["shortest_timer_gap_s"] = min(gaps) if gaps else None
        entry["wakeups"] = entry["timer"] + sum(entry["fd"].values()) + entry["other"] \
            + entry["interrupted"]
        entry["per_minute"] = entry["wakeups"] * 60.0 / seconds
        entry["timer_per_minute"] = entry["timer"] * 60.0 / seconds
        summary[tid] = entry
    return summary


def thread_names(pid):
    names = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                names[tid] = f.read().strip()
        except OSError:
            pass
    return names


def idle(build, env, work, service, lead_s, window_s, strace_s):
    service.reset()  # identify polls answered false, heartbeats 200
    log = open(os.path.join(work, "idle.log"), "w")
    launcher = os.path.join(build, "bench", "bench_launch")
    subjects = {"program": [os.path.join(build, "tessaly")],
                "baseline": [os.path.join(build, "bench", "bench_baseline")]}
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
    polls = [r for r in service.requests("/api/ping-identify")]
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
# A hostile service, accelerated
# --------------------------------------------------------------------------

SCENARIOS = {
    "identify-close": {"identify": True},
    "identify-open": {"identify": True},
    "heartbeat-fail": {"heartbeat": {"status": 500}},
}


def hostile_run(build, env, work, service, mode, events, wrapper=(), tag=""):
    service.reset(SCENARIOS[mode])
    exe = os.path.join(build, "bench", "bench_hostile")
    log_path = os.path.join(work, "hostile-%s%s.log" % (mode, tag))
    with open(log_path, "w") as log:
        result = subprocess.run(list(wrapper) + [exe, "--url", SERVICE_URL, "--mode", mode,
                                                 "--events", str(events)],
                                stdout=subprocess.PIPE, stderr=log, env=env, text=True,
                                timeout=1800)
    samples, summary = [], None
    for line in result.stdout.splitlines():
        data = json.loads(line)
        if data.get("done"):
            summary = data
        else:
            samples.append(data)
    if summary is None or summary["events"] < events:
        raise RuntimeError("bench_hostile %s ended early (status %d); see %s"
                           % (mode, result.returncode, log_path))
    path = "/api/ping-identify" if mode.startswith("identify") else "/api/heartbeat"
    summary["requests_seen_by_service"] = len(service.requests(path))
    return samples, summary


def hostile(build, env, work, service, events):
    results = {}
    for mode in SCENARIOS:
        say("hostile: %s, %d events" % (mode, events))
        started = time.monotonic()
        samples, summary = hostile_run(build, env, work, service, mode, events)
        # Warm-up: the first tenth of the events (the first notice, the alert
        # player and its GStreamer pipeline, the TLS connection).
        warm = [s for s in samples if s["events"] >= max(100, events // 10)]
        base = warm[0]
        results[mode] = {
            "samples": samples, "summary": summary, "seconds": time.monotonic() - started,
            "warm_from_event": base["events"],
            "rss_growth_kib": warm[-1]["rss_kib"] - base["rss_kib"],
            "rss_max_above_warm_kib": max(s["rss_kib"] for s in warm) - base["rss_kib"],
            "heap_growth_kib": warm[-1]["heap_kib"] - base["heap_kib"],
            "rss_kib_first": samples[0]["rss_kib"], "rss_kib_last": warm[-1]["rss_kib"],
        }
        say("hostile: %s: RSS %+d KiB after warm-up (heap %+d KiB), %.0f s" % (
            mode, results[mode]["rss_growth_kib"], results[mode]["heap_growth_kib"],
            results[mode]["seconds"]))
    return results


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


def memcheck(build, env, work, service, events):
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
    for mode in SCENARIOS:
        xml = os.path.join(work, "memcheck-%s.xml" % mode)
        wrapper = ["valgrind", "--tool=memcheck", "--leak-check=full",
                   "--show-leak-kinds=definite,possible", "--errors-for-leak-kinds=definite",
                   "--num-callers=40", "--child-silent-after-fork=yes",
                   "--xml=yes", "--xml-file=" + xml,
                   "--suppressions=" + supp, "--gen-suppressions=all"]
        say("memcheck: %s, %d events" % (mode, events))
        started = time.monotonic()
        _, summary = hostile_run(build, vg_env, work, service, mode, events,
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
# Instructions per round trip
# --------------------------------------------------------------------------

def callgrind_totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    return None


def callgrind_inclusive(path, patterns):
    output = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    found = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:(.*?)\s+\[(.*)\]$", line)
        if not match:
            continue
        cost = int(match.group(1).replace(",", ""))
        function = match.group(2)
        for label, pattern in patterns.items():
            if re.search(pattern, function) and label not in found:
                found[label] = {"function": function, "ir": cost}
    return found


def callgrind_by_object(path):
    """Instructions spent in each shared object (exclusive costs added up)."""
    output = subprocess.run(["callgrind_annotate", "--threshold=100", path],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    objects = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+.*\[(.*)\]$", line)
        if match:
            name = os.path.basename(match.group(2))
            objects[name] = objects.get(name, 0) + int(match.group(1).replace(",", ""))
    return objects


def cost(build, env, work, service, rounds):
    results = {}
    for mode, config, path in (("heartbeat-cost", {}, "/api/heartbeat"),
                               ("identify-cost", {}, "/api/ping-identify")):
        service.reset(config)
        out = os.path.join(work, "callgrind-%s.out" % mode)
        for old in [p for p in os.listdir(work) if p.startswith(os.path.basename(out))]:
            os.remove(os.path.join(work, old))
        warmup, settle = 20, 10
        say("callgrind: %s, %d round trips" % (mode, rounds))
        started = time.monotonic()
        with open(os.path.join(work, "callgrind-%s.log" % mode), "w") as log:
            result = subprocess.run(
                ["valgrind", "--tool=callgrind", "--instr-atstart=no",
                 "--callgrind-out-file=" + out,
                 os.path.join(build, "bench", "bench_hostile"), "--url", SERVICE_URL,
                 "--mode", mode, "--events", str(rounds), "--warmup", str(warmup),
                 "--settle", str(settle)],
                stdout=subprocess.PIPE, stderr=log, env=env, text=True, timeout=1800)
        dump = out + ".1"
        if result.returncode != 0 or not os.path.exists(dump):
            raise RuntimeError("callgrind %s failed; see %s" % (mode, log.name))
        total = callgrind_totals(dump)
        parts = callgrind_inclusive(dump, {
            "send": r"MainWindow::(sendHeartbeat|checkIdentifyStatus)\(\)$",
            "handle": r"MainWindow::handle(Heartbeat|Identify)Reply\(",
            "driver_handler": r"^\(anonymous namespace\)::countMessage\(",
            "driver_queued": r"countMessage.*\{lambda\(\)#1\}.*::impl\(",
            "request_built": r"Service::(heartbeatRequest|identifyPollRequest)\(",
            "string_connect": r"^QObject::connect\(QObject const\*, char const\*",
        })
        requests = len(service.requests(path))
        # The driver's own share: its message handler (which stands in for
        # printing the handler's log line) and the queued call that starts the
        # next round trip, less the request it sends.
        overhead = parts.get("driver_handler", {}).get("ir", 0)
        if "driver_queued" in parts and "send" in parts:
            overhead += parts["driver_queued"]["ir"] - parts["send"]["ir"]
        results[mode] = {
            "rounds": rounds, "ir_total": total, "ir_per_round_trip": total / rounds,
            "driver_per_round_trip": overhead / rounds,
            "by_object_per_round_trip": {k: v / rounds for k, v in sorted(
                callgrind_by_object(dump).items(), key=lambda kv: -kv[1])},
            "ir_per_round_trip_less_driver": (total - overhead) / rounds,
            "parts_per_round_trip": {k: dict(v, ir=v["ir"] / rounds) for k, v in parts.items()},
            "requests_seen_by_service": requests,
            "expected_requests": warmup + settle + rounds,
            "seconds": time.monotonic() - started,
        }
        say("callgrind: %s: %.0f instructions per round trip" % (mode, total / rounds))
    return results


# --------------------------------------------------------------------------

def run(args):
    build = os.path.abspath(args.build)
    noca = os.path.abspath(args.noca_build) if args.noca_build else None
    work = os.path.join(build, "bench-work")
    os.makedirs(work, exist_ok=True)
    if not os.environ.get("DISPLAY"):
        sys.exit("bench: no X display; run through tests/e2e/xsession.sh --tray")

    # The programs keep their files (the heartbeat log, caches such as
    # GStreamer's plugin registry) in a directory of the benchmark's own.
    home = os.path.join(work, "xdg")
    env = dict(os.environ)
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(home, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    for name in list(env):
        if name.startswith("QT_") and name != "QT_QPA_PLATFORM":
            del env[name]
    env["QT_QPA_PLATFORM"] = "xcb"

    only = set(filter(None, os.environ.get("BENCH_ONLY", "").split(",")))
    wanted = lambda section: not only or section in only

    results = {"machine": machine(build), "sections_seconds": {}}
    if os.path.exists(args.out):
        with open(args.out) as f:
            previous = json.load(f)
        if only:  # a partial run keeps the other sections' figures
            previous.update({k: v for k, v in results.items() if k != "sections_seconds"})
            previous.setdefault("sections_seconds", {})
            results = previous
    say("machine: %s" % json.dumps(results["machine"]))
    service = Service(os.path.join(build, "refservice-state"), os.path.join(work, "service.log"))
    try:
        sections = [
            ("startup", lambda: startup(build, noca, env, work, knob("BENCH_STARTUP_ROUNDS", 25))),
            ("ladder", lambda: ladder(build, noca, env, work, knob("BENCH_LADDER_ROUNDS", 10))),
            ("trust", lambda: trust_cost(build, env, work)),
            ("idle", lambda: idle(build, env, work, service, 20, knob("BENCH_IDLE_SECONDS", 120),
                                  knob("BENCH_STRACE_SECONDS", 60))),
            ("hostile", lambda: hostile(build, env, work, service, knob("BENCH_EVENTS", 2000))),
            ("memcheck", lambda: memcheck(build, env, work, service,
                                          knob("BENCH_VALGRIND_EVENTS", 200))),
            ("cost", lambda: cost(build, env, work, service, knob("BENCH_COST_ROUNDS", 200))),
        ]
        for name, step in sections:
            if not wanted(name):
                continue
            started = time.monotonic()
            results[name] = step()
            results["sections_seconds"][name] = time.monotonic() - started
            with open(args.out, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        service.stop()
    say("results in %s" % args.out)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--build", required=True)
    p.add_argument("--noca-build")
    p.add_argument("--out", required=True)
    args = parser.parse_args()
    if args.command == "run":
        run(args)


if __name__ == "__main__":
    main()
