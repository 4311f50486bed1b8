"""What the measuring modules share: progress output and knobs, the machine's
description, the reference service, the start-up watcher, and samples of a
running process's CPU time, context switches and memory from /proc."""

import json
import os
import platform
import ssl
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The benchmark build of the agent has this address compiled in.
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


def program(build, name):
    """A benchmark program of the build (bench/CMakeLists.txt puts them in bench/)."""
    return os.path.join(build, "bench", name)


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
    qt = subprocess.run([program(build, "bench_hostile"), "--qt-version"],
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


class Service:
    """The reference service, run through its command line and set up through
    its control API (/_ref/...)."""

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


def launch(build, argv, settle_ms, env, log, smaps=None):
    """One run of a program under bench_launch: when its window was mapped and
    first drawn, and its memory settle_ms later (and by mapping into smaps)."""
    extra = ["--smaps", smaps] if smaps else []
    result = subprocess.run([program(build, "bench_launch"), "--settle", str(settle_ms)]
                            + extra + ["--"] + argv,
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


def callgrind_totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    return None


# --------------------------------------------------------------------------
# A running process, from /proc
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
    """What a process spent between two snapshots, in all and by thread."""
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


def thread_names(pid):
    names = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                names[tid] = f.read().strip()
        except OSError:
            pass
    return names
