"""Side-by-side timing for the benchmarks: every figure is a ratio of two
timings taken in the same run, so the machine's speed cancels out."""

import gc
import time

__all__ = ["best_time", "Report"]


def best_time(func, *, repeat=7, min_time=0.05):
    """Best seconds per call of ``func()`` over ``repeat`` rounds, each round
    running it enough times to last ``min_time`` seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            func()
        if time.perf_counter() - start >= min_time:
            break
        number *= 2
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                func()
            best = min(best, (time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


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
        ratio = other / ours
        text = f"{ratio:6.2f}x faster than {other_label}"
        self.rows.append((label, ours, text, f">= {at_least}x", ratio >= at_least))

    def within(self, label, ours, other, other_label, at_most):
        """Goal: ``ours`` takes at most ``at_most`` times as long as ``other``."""
        ratio = ours / other
        self.rows.append((label, ours, f"{ratio:6.2f}x the time of {other_label}", f"<= {at_most}x", ratio <= at_most))

    def part(self, label, ours, whole, whole_label):
        """No goal: what one step costs, as a share of ``whole``."""
        self.rows.append((label, ours, f"{ours / whole:6.2f}x the time of {whole_label}", "-", None))

    def print(self):
        print(f"== {self.title}")
        for label, ours, text, goal, met in self.rows:
            verdict = "" if met is None else f"goal {goal:<8} {'met' if met else 'MISSED'}"
            print(f"  {label:<44} {_fmt(ours)}  {text:<48} {verdict}".rstrip())
        return all(row[-1] is not False for row in self.rows)
