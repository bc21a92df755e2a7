"""History.append against the least any history must do: take the time
and append to a bounded deque."""

import collections
import datetime

from brelt.tcl.history import History
from harness import Report, timing


def main():
    words = ["set", "x", "a b", "-opt", "value"]
    history = History()
    deque = collections.deque(maxlen=9999)
    now = datetime.datetime.now

    def plain():
        deque.append((now(), "line"))

    # Both keep a full history, so every append also drops the oldest entry.
    for _ in range(10_000):
        history.append(words)
        plain()

    report = Report("history")
    report.within("History.append, 5-word command", timing(lambda: history.append(words)),
                  timing(plain), "deque.append((datetime.now(), 'line'))", 2)
    history.disable()
    report.within("History.append, recording disabled", timing(lambda: history.append(words)),
                  timing(plain), "deque.append((datetime.now(), 'line'))", 1)
    return report.print()


if __name__ == "__main__":
    main()
