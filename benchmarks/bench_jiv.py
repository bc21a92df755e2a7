"""Quick calls through tcl.jiv against tkinter's own tk.call, and what each
step of a quick call costs."""

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

    code = tcl.jiv.set
    words = ["set", "x", "1"]
    result = tk.call("set", "x", "1")

    report = Report("jiv")
    t_raw = best_time(raw)
    report.within("tcl.jiv.set('x', 1), history on", best_time(quick), t_raw, "tk.call('set', 'x', 1)", 2)
    tcl.tk.eval("proc p {args} { return $args }")
    report.within("tcl.jiv.p('a b', 2, opt='v')", best_time(lambda: tcl.jiv.p("a b", 2, opt="v")),
                  best_time(lambda: tk.call("p", "a b", 2, "-opt", "v")), "tk.call('p', 'a b', 2, '-opt', 'v')", 2)
    # Where the time of one quick call goes, step by step.
    report.part("  tcl.jiv.set (a fresh Jiv_Code)", best_time(lambda: tcl.jiv.set), t_raw, "tk.call")
    report.part("  tcl.history.append(words), on", best_time(lambda: tcl.history.append(words)), t_raw, "tk.call")
    report.part("  tcl.cast_any(result)", best_time(lambda: tcl.cast_any(result)), t_raw, "tk.call")
    tcl.history.disable()
    report.part("  tcl.history.append(words), off", best_time(lambda: tcl.history.append(words)), t_raw, "tk.call")
    report.part("  code('x', 1), history off", best_time(lambda: code("x", 1)), t_raw, "tk.call")
    report.within("tcl.jiv.set('x', 1), history off", best_time(quick), best_time(raw), "tk.call('set', 'x', 1)", 1.5)
    return report.print()


if __name__ == "__main__":
    main()
