"""Command and namespace handles against the raw tkinter calls they wrap."""

from harness import Report, best_time

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclCommand, TclNamespace, TclVariable, TempTclCommand


def paired(ours, theirs, rounds=4):
    """Best times of two functions measured in alternation, so that a
    passing disturbance of the machine hits both."""
    best_ours = best_theirs = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, best_time(ours))
        best_theirs = min(best_theirs, best_time(theirs))
    return best_ours, best_theirs


def main():
    tcl = Interpreter()
    tk = tcl.tk
    report = Report("namespace: command handles, namespace views, temporary commands")

    # A trivial command: the handle's own work is what the ratio shows.
    h = TclCommand("::llength", tcl=tcl)
    ours, raw = paired(lambda: h("x"), lambda: tk.call("::llength", "x"))
    report.within("TclCommand h(x)", ours, raw, "tk.call(name, x)", 1.3)

    tk.eval("proc ::opts {args} {}")
    o = TclCommand("::opts", keywords={"a": 1}, tcl=tcl)
    ours, raw = paired(lambda: o("x", b=2), lambda: tk.call("::opts", "x", "-a", 1, "-b", 2))
    report.within("TclCommand h(x, b=2), a=1 bound", ours, raw, "tk.call of the same words", 1.5)

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
    report.within("TclNamespace.call('set', 'k', v)", ours, raw, "tk.call('namespace', 'eval', ns, words)", 1.2)

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
    report.within("with TempTclCommand(f) as c: c(1)", ours, raw, "createcommand + call + deletecommand", 1.5)
    return report.print()


if __name__ == "__main__":
    main()
