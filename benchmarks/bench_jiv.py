"""Quick calls through tcl.jiv against tkinter's own tk.call."""

from harness import Report, best_time

from brelt.tcl import Interpreter


def main():
    tcl = Interpreter()
    tk = tcl.tk
    for _ in range(10_000):  # a full history: every call also drops the oldest entry
        tcl.jiv.set("x", 1)

    def raw():
        tk.call("set", "x", 1)

    def quick():
        tcl.jiv.set("x", 1)

    report = Report("jiv")
    report.within("tcl.jiv.set('x', 1), history on", best_time(quick), best_time(raw), "tk.call('set', 'x', 1)", 2)
    tcl.tk.eval("proc p {args} { return $args }")
    report.within("tcl.jiv.p('a b', 2, opt='v')", best_time(lambda: tcl.jiv.p("a b", 2, opt="v")),
                  best_time(lambda: tk.call("p", "a b", 2, "-opt", "v")), "tk.call('p', 'a b', 2, '-opt', 'v')", 2)
    tcl.history.disable()
    report.within("tcl.jiv.set('x', 1), history off", best_time(quick), best_time(raw), "tk.call('set', 'x', 1)", 2)
    return report.print()


if __name__ == "__main__":
    main()
