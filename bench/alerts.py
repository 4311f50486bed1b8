"""Alerts: what the running agent keeps once its identify alerts have played.
It is asked to identify itself at one poll and its box is closed as a person
would; its threads, their wake-ups and its resident memory are read before,
over the minute after, and after twenty more alerts in a row, one at each
poll. Used for the Windows program under wine (wine.py); on Linux the idle
section watches the time after the first alert and calls many() for the rest."""

import subprocess
import time

from common import kib, rss_by_mapping, status, threads

ALERTS = 20
# After an alert's box is closed, its player has gone by then: the sound, the
# 20 s an ended player waits for a next alert to replay it, and a margin.
RELEASED_S = 26


def close_notice(timeout=30.0):
    """Finds the "Identify" box and presses Return in it, as a person would.
    Returns when it was closed (monotonic), or None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        box = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Identify$"],
                             stdout=subprocess.PIPE, text=True).stdout.split()
        if box:
            subprocess.run(["xdotool", "windowfocus", "--sync", box[0], "key", "Return"])
            time.sleep(0.5)
            if not subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Identify$"],
                                  stdout=subprocess.PIPE, text=True).stdout.split():
                return time.monotonic()
        time.sleep(0.2)
    return None


def memory(pid):
    """Resident memory in KiB and where it is, by mapped file."""
    return {"rss_kib": kib(status(pid)["VmRSS"]), "maps": rss_by_mapping(pid)}


def many(pid, service, count=ALERTS):
    """count alerts in a row, one at each identify poll, each box closed as it
    shows; then the memory and the threads once the last has played."""
    service.reset({"identify": True})
    for n in range(count):
        if close_notice(timeout=30.0) is None:
            raise RuntimeError("alerts: no Identify box for alert %d of %d" % (n + 1, count))
    service.reset()
    time.sleep(RELEASED_S)
    result = memory(pid)
    result["count"] = count
    result["threads"] = sorted(name for name, _, _ in threads(pid).values())
    return result


def measure(pid, service, quiet_seconds=60):
    """Before the first alert, over quiet_seconds after it, and after ALERTS more."""
    import idle  # its sampling and its split of wake-ups by request
    before = memory(pid)
    before["threads"] = sorted(name for name, _, _ in threads(pid).values())
    service.call("POST", "/_ref/identify", {})
    if close_notice() is None:
        raise RuntimeError("alerts: no Identify box for the first alert")
    time.sleep(RELEASED_S)
    samples, end = [], time.monotonic() + quiet_seconds
    while time.monotonic() < end:
        now = time.monotonic()
        samples.append((now, threads(pid)))
        time.sleep(max(0.0, now + 0.1 - time.monotonic()))
    polls = [q["monotonic"] for q in service.requests("/api/ping-identify")]
    beats = [q["monotonic"] for q in service.requests("/api/heartbeat")]
    quiet = idle.attribute(samples, polls, beats)
    after_one = memory(pid)
    after_one["threads"] = sorted(name for name, _, _ in samples[-1][1].values())
    return {"before": before, "after_one": after_one, "quiet": quiet,
            "quiet_seconds": quiet_seconds, "after_many": many(pid, service)}


def between_per_minute(quiet):
    """Each thread's wake-ups a minute away from the agent's own requests."""
    seconds = quiet["seconds"]["between"]
    return {name: 60.0 * entry["wakeups"].get("between", 0) / seconds if seconds else 0.0
            for name, entry in quiet["threads"].items()}


def held(before, after):
    """MiB the process holds beyond before: in all, in mapped files (libraries
    loaded once), and in anonymous memory (heap, buffers)."""
    anonymous = "heap and other anonymous memory"
    total = (after["rss_kib"] - before["rss_kib"]) / 1024.0
    anon = (after["maps"].get(anonymous, 0) - before["maps"].get(anonymous, 0)) / 1024.0
    return total, total - anon, anon
