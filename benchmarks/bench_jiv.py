"""Quick calls through tcl.jiv against tkinter's own tk.call, and what each
step of a quick call costs."""

from brelt.tcl import Interpreter
from harness import Report, timing


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
    t_raw = timing(raw)
    report.within("tcl.jiv.set('x', 1), history on", timing(quick), t_raw, "tk.call('set', 'x', 1)", 1.8)
    tcl.tk.eval("proc p {args} { return $args }")
    report.within("tcl.jiv.p('a b', 2, opt='v')", timing(lambda: tcl.jiv.p("a b", 2, opt="v")),
                  timing(lambda: tk.call("p", "a b", 2, "-opt", "v")), "tk.call('p', 'a b', 2, '-opt', 'v')", 2)
    # Where the time of one quick call goes, step by step.
    report.part("  tcl.jiv.set (the Jiv_Code)", timing(lambda: tcl.jiv.set), t_raw, "tk.call")
    report.part("  tcl.history.append(words), on", timing(lambda: tcl.history.append(words)), t_raw, "tk.call")
    report.part("  tcl.cast_any(result)", timing(lambda: tcl.cast_any(result)), t_raw, "tk.call")
    tcl.history.disable()
    report.part("  tcl.history.append(words), off", timing(lambda: tcl.history.append(words)), t_raw, "tk.call")
    report.part("  code('x', 1), history off", timing(lambda: code("x", 1)), t_raw, "tk.call")
    report.within("tcl.jiv.set('x', 1), history off", timing(quick), timing(raw), "tk.call('set', 'x', 1)", 1.3)
    return report.print()


if __name__ == "__main__":
    main()
