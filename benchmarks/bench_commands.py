"""Command and namespace handles against the raw tkinter calls they wrap.

Timed in CPU time of this thread (time.thread_time): on a machine shared
with other busy processes, wall-clock ratios of sub-microsecond calls swing
by a factor of two from run to run, CPU-time ratios far less."""

import gc
import time

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclCommand
from harness import Report, Timing


def cpu_time(func, number):
    start = time.thread_time()
    for _ in range(number):
        func()
    return time.thread_time() - start


def paired(ours, theirs, rounds=7, min_time=0.05):
    """CPU seconds per call of two functions in every round, measured in
    alternation so that a passing disturbance of the machine hits both."""
    number = 1
    while cpu_time(theirs, number) < min_time:
        number *= 2
    samples_ours, samples_theirs = [], []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            samples_ours.append(cpu_time(ours, number) / number)
            samples_theirs.append(cpu_time(theirs, number) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return Timing(samples_ours), Timing(samples_theirs)


def main():
    tcl = Interpreter()
    tk = tcl.tk
    report = Report("namespace: command handles, namespace views, temporary commands")

    # A trivial command: the handle's own work is what the ratio shows.
    h = TclCommand("::llength", tcl=tcl)
    ours, raw = paired(lambda: h("x"), lambda: tk.call("::llength", "x"))
    report.within("TclCommand h(x)", ours, raw, "tk.call(name, x)", 1.15)

    tk.eval("proc ::opts {args} {}")
    o = TclCommand("::opts", keywords={"a": 1}, tcl=tcl)
    ours, raw = paired(lambda: o("x", b=2), lambda: tk.call("::opts", "x", "-a", 1, "-b", 2))
    report.within("TclCommand h(x, b=2), a=1 bound", ours, raw, "tk.call of the same words", 1.25)

    ns = TclNamespace("::bench", tcl=tcl)
    ns.create()
    ns.vars["k"] = "value"
    var = TclVariable("::bench::k", tcl=tcl)
    vars_view = ns.vars

    def write_view():
        vars_view["k"] = "value"

    ours, raw = paired(lambda: vars_view["k"], var.get_str)
    report.within("ns.vars['k']", ours, raw, "TclVariable(qualified).get_str()", 1.5)
    ours, raw = paired(write_view, lambda: var.set("value"))
    report.within("ns.vars['k'] = v", ours, raw, "TclVariable(qualified).set(v)", 1.5)

    words = ("set", "k", "value")
    ours, raw = paired(lambda: ns.call(*words), lambda: tk.call("namespace", "eval", "::bench", words))
    report.within("TclNamespace.call('set', 'k', v)", ours, raw, "tk.call('namespace', 'eval', ns, words)", 1.1)
    # The same words, with the script tuple built at call time as the
    # handle must build it from its arguments.
    ours, raw = paired(lambda: ns.call(*words), lambda: tk.call("namespace", "eval", "::bench", (*words,)))
    report.within("  the same, words tuple built per call", ours, raw, "tk.call(..., (*words,))", 1.2)

    def func(*args):
        return None

    def temporary():
        with TempTclCommand(func, tcl=tcl) as c:
            c(1)

    def by_hand():
        tk.createcommand("::bench_cb", func)
        tk.call("::bench_cb", 1)
        tk.deletecommand("::bench_cb")

    ours, raw = paired(temporary, by_hand)
    report.within("with TempTclCommand(f) as c: c(1)", ours, raw, "createcommand + call + deletecommand", 2)
    return report.print()


if __name__ == "__main__":
    main()
