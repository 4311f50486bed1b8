"""What the measuring modules share: progress output, the machine's
description, the reference service, and a process's threads read from /proc."""

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
REFSERVICE = os.path.join(ROOT, "refservice", "refservice.py")
# The release-like builds of the agent have this compiled in: 18443 in
# scripts/bench.sh's, 18444 in bench/wine.sh's.
PORT = int(os.environ.get("BENCH_PORT", 18443))
SERVICE_URL = "https://localhost:%d" % PORT


def say(text):
    sys.stdout.write("bench: %s\n" % text)
    sys.stdout.flush()


def knob(name, default):
    return int(os.environ.get(name, default))


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def machine():
    def first(path, prefix):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(prefix):
                        return line.split(prefix, 1)[1].strip()
        except OSError:
            pass
        return "?"
    git = lambda *args: subprocess.run(["git", "-C", ROOT] + list(args), text=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.strip()
    return {
        "cpu": first("/proc/cpuinfo", "model name\t:"),
        "cores": os.cpu_count(),
        "ram_gib": round(int(first("/proc/meminfo", "MemTotal:").split()[0]) / 1024 / 1024, 1),
        "kernel": platform.release(),
        "os": first("/etc/os-release", "PRETTY_NAME=").strip('"'),
        "qt": subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                             stdout=subprocess.PIPE, text=True).stdout.split("+")[0],
        "compiler": subprocess.run(["c++", "--version"], stdout=subprocess.PIPE,
                                   text=True).stdout.splitlines()[0],
        "commit": git("rev-parse", "--short", "HEAD"),
        # Others' work in progress, which the builds take in too.
        "changed": [line for line in git("status", "--porcelain").splitlines()
                    if not line.endswith("BENCHMARKS.md")],
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        # Others' work on the machine disturbs the timings more than the counts.
        "load": os.getloadavg()[0],
    }


class Service:
    """The reference service on PORT, driven through its control API."""

    def __init__(self, state_dir, log_path):
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(
            [sys.executable, REFSERVICE, "serve",
             "--port", str(PORT), "--state-dir", state_dir, "--stdin-watch"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True)
        first = self.process.stdout.readline()
        if not first:
            raise RuntimeError("the reference service did not start; see %s" % log_path)
        self.ca = json.loads(first)["ca"]
        self.context = ssl.create_default_context(cafile=self.ca)

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


def status(pid, tid=None):
    """/proc/PID/status (or a thread's) as a dict of strings."""
    path = "/proc/%d/status" % pid if tid is None else "/proc/%d/task/%s/status" % (pid, tid)
    values = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def kib(value):
    return int(value.split()[0])


def threads(pid):
    """Each thread's name, wake-ups so far (voluntary context switches: each
    time it slept and was woken) and CPU time in ms (schedstat)."""
    found = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            with open(base + "comm") as f:
                name = f.read().strip()
            with open(base + "schedstat") as f:
                cpu_ms = int(f.read().split()[0]) / 1e6
            switches = int(status(pid, tid)["voluntary_ctxt_switches"])
        except (OSError, KeyError, ValueError):
            continue  # ended meanwhile
        found[tid] = (name + (" (main thread)" if tid == str(pid) else ""), switches, cpu_ms)
    return found


def rss_by_mapping(pid):
    """Resident KiB of each mapped file (by base name), anonymous memory
    under one name: where a process's memory is."""
    resident, current = {}, None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5 and ":" in fields[3]:
                path = fields[5] if len(fields) > 5 else ""
                current = os.path.basename(path) if path.startswith("/") else \
                    "heap and other anonymous memory"
            elif fields[0] == "Rss:":
                resident[current] = resident.get(current, 0) + int(fields[1])
    return resident
