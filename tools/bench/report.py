"""Figures of the benchmark: samples, their ratios and the printed table.

Pure Python, no Wine: the driver (tools/benchmark.py) measures and fills a
list of Figure rows; table() turns them into one plain-text table (also
valid Markdown) and machine() describes the machine it ran on.
"""
import os
import platform
import statistics
import subprocess
from dataclasses import dataclass, field


@dataclass
class Samples:
    """Repeated measurements of one quantity, in the unit given."""
    values: list
    unit: str

    @property
    def median(self):
        return statistics.median(self.values)

    def text(self, digits):
        """median [min-max] (one value: just that value)."""
        if len(self.values) == 1:
            return f"{self.values[0]:.{digits}f} {self.unit}"
        return (f"{self.median:.{digits}f} {self.unit} "
                f"[{min(self.values):.{digits}f}-{max(self.values):.{digits}f}]")


def pair_ratios(product, reference):
    """Ratio of each product run to the reference run beside it (same repetition)."""
    return Samples([p / r for p, r in zip(product.values, reference.values)], "x")


@dataclass
class Figure:
    """One row of the table. limit is the target's bound (ratio <= limit, or
    value < limit with strict); met is None for a row that is only a note."""
    name: str
    product: str
    reference: str = "-"
    ratio: str = "-"
    target: str = "-"
    met: object = None
    notes: list = field(default_factory=list)
    data: dict = field(default_factory=dict)  # the raw samples behind the row

    @property
    def met_text(self):
        return "-" if self.met is None else ("yes" if self.met else "NO")


def ratio_figure(name, product, reference, limit, digits, reference_name):
    """A row whose figure is the median of the paired ratios, target <= limit."""
    ratios = pair_ratios(product, reference)
    row = Figure(name, product.text(digits), f"{reference.text(digits)} ({reference_name})",
                 ratios.text(3), f"<= {limit:g} x", ratios.median <= limit,
                 data={"unit": product.unit, "product": product.values, reference_name: reference.values,
                       "ratios": ratios.values})
    row.notes.append(best_of(product, reference, digits))
    return row


def best_of(product, reference, digits):
    """The least disturbed run of each, for a machine whose load comes in bursts."""
    best_p, best_r = min(product.values), min(reference.values)
    return (f"fastest of each: {best_p:.{digits}f} and {best_r:.{digits}f} {product.unit} "
            f"({best_p / best_r:.3f} x)")


def table(figures):
    header = ("figure", "product", "reference", "ratio median [min-max]", "target", "met")
    rows = [(f.name, f.product, f.reference, f.ratio, f.target, f.met_text) for f in figures]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    out = [line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(r) for r in rows]
    notes = [f"- {f.name}: {n}" for f in figures for n in f.notes]
    return "\n".join(out) + ("\n\n" + "\n".join(notes) if notes else "") + "\n"


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_gib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) / 1024 / 1024
    return 0.0


def _wine_version():
    try:
        return subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def load_average():
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def machine(load_at_start):
    """One line: cores, CPU, memory, Wine, the load (1, 5, 15 min) when it ran."""
    return (f"{len(os.sched_getaffinity(0))} cores (nproc), {_cpu_model()}, {_memory_gib():.1f} GiB memory, "
            f"{_wine_version()}, {platform.system()} {platform.release()}; load average at the start "
            f"{load_at_start}, at the end {load_average()}")
