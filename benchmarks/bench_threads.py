"""A threaded interpreter used from other threads and from asyncio, beside
tkinter's own marshalled call (a tkinter.Tcl() whose thread runs its main
loop), measured in the same run; and on its own thread, beside a plain
interpreter.

BRELT_BENCH_ROUNDS sets the calls per timing (default 2000): fewer for a
quick run, whose figures swing more."""

import asyncio
import gc
import os
import threading
import time
import tkinter

from brelt.tcl import Interpreter
from harness import Report, Timing

ROUNDS = int(os.environ.get("BRELT_BENCH_ROUNDS", 2000))


def _in_thread(func):
    """Seconds per call of ``func()`` run ROUNDS times in a new thread."""
    seconds = []

    def run():
        for _ in range(50):
            func()
        start = time.perf_counter()
        for _ in range(ROUNDS):
            func()
        seconds.append((time.perf_counter() - start) / ROUNDS)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return seconds[0]


def _best(func, repeat=5):
    return min(func() for _ in range(repeat))


def _throughput(func, threads):
    """Requests per second with ``threads`` threads each calling ``func``."""
    barrier = threading.Barrier(threads + 1)

    def run():
        barrier.wait()
        for _ in range(ROUNDS):
            func()

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * ROUNDS / (time.perf_counter() - start)


def _tkinter_marshalled():
    """A tkinter.Tcl() on a thread of its own, in its main loop."""
    ready = threading.Event()
    box = {}

    def serve():
        root = tkinter.Tcl()
        box["tk"] = root.tk
        root.tk.createcommand("ready", ready.set)
        root.tk.call("after", 0, "ready")
        root.tk.mainloop(-1)  # no Tk window: a negative threshold keeps it going

    threading.Thread(target=serve, daemon=True).start()
    ready.wait()
    return box["tk"]


def _cpu_per_call(func, rounds):
    """CPU seconds of this thread per call of ``func()`` run ``rounds``
    times (as bench_commands: wall-clock ratios swing on a busy machine)."""
    gc.disable()
    try:
        start = time.thread_time()
        for _ in range(rounds):
            func()
        return (time.thread_time() - start) / rounds
    finally:
        gc.enable()


def _callback_loop(tcl):
    """A function timing a Tcl call of a Python command that itself makes a
    request (a quick call), to run on ``tcl``'s own thread."""

    def run():
        call = tcl.tk.call
        call("set", "x", 0)
        return _cpu_per_call(lambda: call("callback"), 10 * ROUNDS)

    tcl.submit(tcl.tk.createcommand, "callback", lambda: tcl.jiv.set("x", 1)).result()
    tcl.submit(run).result()  # warm-up
    return run


def _alternating(first, second, rounds=7):
    """Timings of ``first()`` and ``second()`` (each returning seconds per
    call), taken in turn so that a passing disturbance hits both."""
    a, b = [], []
    for _ in range(rounds):
        a.append(first())
        b.append(second())
    return Timing(a), Timing(b)


def main():
    report = Report("threads")
    with Interpreter(threaded=True) as tcl:
        # First, while no other thread wants the GIL (tkinter's main loop
        # below takes it every 20 ms).
        plain = Interpreter()
        threaded_run = _callback_loop(tcl)
        t_threaded, t_plain = _alternating(lambda: tcl.submit(threaded_run).result(), _callback_loop(plain))
        tcl.submit(tcl.tk.deletecommand, "callback").result()
        plain.tk.deletecommand("callback")
        other = _tkinter_marshalled()
        remote = tcl._remote

        def ours():
            remote.call("set", "x", 1)

        def quick():
            tcl.jiv.set("x", 1)

        def theirs():
            other.call("set", "x", 1)

        t_theirs = _best(lambda: _in_thread(theirs))
        report.within("tk.call from another thread (round trip)", _best(lambda: _in_thread(ours)), t_theirs,
                      "tkinter's marshalled tk.call", 1.0)
        report.within("tcl.jiv.set('x', 1) from another thread", _best(lambda: _in_thread(quick)), t_theirs,
                      "tkinter's marshalled tk.call", 1.0)
        one = max(_throughput(ours, 1) for _ in range(3))
        eight = max(_throughput(ours, 8) for _ in range(3))
        report.within("8 threads at once: time per request", 1 / eight, 1 / one, "one thread", 1.0)

        async def awaited():
            ajiv = tcl.ajiv
            for _ in range(50):
                await ajiv.set("x", 1)
            start = time.perf_counter()
            for _ in range(ROUNDS):
                await ajiv.set("x", 1)
            return (time.perf_counter() - start) / ROUNDS

        report.within("await tcl.ajiv.set('x', 1)", _best(lambda: asyncio.run(awaited()), 3),
                      _best(lambda: _in_thread(quick)), "tcl.jiv.set('x', 1) from another thread", 2.0)
        report.within("a callback on the interpreter's own thread", t_threaded, t_plain,
                      "the same on a plain interpreter", 1.05)
    return report.print()
