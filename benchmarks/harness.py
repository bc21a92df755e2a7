"""Side-by-side timing for the benchmarks: every figure is a ratio of two
timings taken in the same run, so the machine's speed cancels out.

On a shared machine one run's ratio can be far off, so a timing keeps the
seconds of every round: a ratio is printed as the median of the rounds'
ratios, with their spread (lowest to highest) beside it. The instruction
counts of icount.py are the figures to trust; these are for people."""

import gc
import statistics
import time

__all__ = ["Timing", "timing", "Report"]


class Timing(float):
    """Median seconds per call, with the seconds of every round in
    ``samples`` (arithmetic on it gives a plain float)."""

    def __new__(cls, samples):
        self = super().__new__(cls, statistics.median(samples))
        self.samples = list(samples)
        return self


def timing(func, *, repeat=7, min_time=0.05):
    """Seconds per call of ``func()`` in ``repeat`` rounds, each round
    running it enough times to last ``min_time`` seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            func()
        if time.perf_counter() - start >= min_time:
            break
        number *= 2
    samples = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                func()
            samples.append((time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return Timing(samples)


def _ratio(top, bottom):
    """``top / bottom`` as the median of the rounds' ratios, and their
    lowest and highest (None when either side has a single figure)."""
    a, b = getattr(top, "samples", None), getattr(bottom, "samples", None)
    if not a or not b:
        return top / bottom, None
    n = min(len(a), len(b))
    ratios = [x / y for x, y in zip(a[:n], b[:n])]
    return statistics.median(ratios), (min(ratios), max(ratios))


def _spread(bounds):
    return "" if bounds is None else f" ({bounds[0]:.2f}-{bounds[1]:.2f})"


def _fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


class Report:
    """Collects comparisons and prints them with their goals."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def faster(self, label, ours, other, other_label, at_least):
        """Goal: ``ours`` at least ``at_least`` times faster than ``other``."""
        ratio, bounds = _ratio(other, ours)
        text = f"{ratio:6.2f}x{_spread(bounds)} faster than {other_label}"
        self.rows.append((label, ours, text, f">= {at_least}x", ratio >= at_least))

    def within(self, label, ours, other, other_label, at_most):
        """Goal: ``ours`` takes at most ``at_most`` times as long as ``other``."""
        ratio, bounds = _ratio(ours, other)
        text = f"{ratio:6.2f}x{_spread(bounds)} the time of {other_label}"
        self.rows.append((label, ours, text, f"<= {at_most}x", ratio <= at_most))

    def part(self, label, ours, whole, whole_label):
        """No goal: what one step costs, as a share of ``whole``."""
        ratio, bounds = _ratio(ours, whole)
        self.rows.append((label, ours, f"{ratio:6.2f}x{_spread(bounds)} the time of {whole_label}", "-", None))

    def print(self):
        print(f"== {self.title}")
        for label, ours, text, goal, met in self.rows:
            verdict = "" if met is None else f"goal {goal:<8} {'met' if met else 'MISSED'}"
            print(f"  {label:<44} {_fmt(ours)}  {text:<60} {verdict}".rstrip())
        return all(row[-1] is not False for row in self.rows)
