"""The Markdown page BENCHMARKS.md is written into, and how its figures are
formatted. Shared by report.py and each figure's module."""

import statistics

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
