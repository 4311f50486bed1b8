"""What woke an idle process: its descriptors named from /proc, and its
threads' blocking waits read from strace output, each ended by its time-out
(a timer) or by a descriptor. Used by the idle measurement (idle.py)."""

import os
import re


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
