"""Variable handles against the raw tkinter calls they wrap, and the
namespace-name functions against the same rules in plain Python."""

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable
from harness import Report, Timing, timing


def split_python(string):
    """TclNamespace.split written in plain Python, for comparison."""
    parts = [part for part in string.split("::") if part]
    for part in parts:
        if ":" in part:
            raise ValueError(f"Invalid Tcl namespace '{string}'")
    if string.startswith("::"):
        parts.insert(0, "")
    return parts


def normalize_python(string):
    return "::".join(split_python(string))


def join_python(string, *args):
    for arg in args:
        if not string or arg.startswith("::"):
            string = arg
        elif arg:
            string = string + "::" + arg
    return normalize_python(string)


def paired(ours, theirs, rounds=4):
    """Times of two functions measured in alternation, so that a passing
    disturbance of the machine hits both: every round's best of each."""
    samples_ours, samples_theirs = [], []
    for _ in range(rounds):
        samples_ours.append(min(timing(ours).samples))
        samples_theirs.append(min(timing(theirs).samples))
    return Timing(samples_ours), Timing(samples_theirs)


def main():
    tcl = Interpreter()
    tk = tcl.tk
    name = "::bench_var"
    var = TclVariable(name, tcl=tcl)
    var.set("some value")
    array = TclArrayVariable("::bench_array", tcl=tcl)
    array["key"] = "some value"
    array_name = "::bench_array"

    def set_item():
        array["key"] = "other value"

    report = Report("namespace: variable handles / name functions")
    ours, raw = paired(lambda: var.get_obj(), lambda: tk.getvar(name))
    report.within("TclVariable.get_obj()", ours, raw, "tk.getvar(name)", 1.15)
    ours, raw = paired(lambda: var.set("other value"), lambda: tk.setvar(name, "other value"))
    report.within("TclVariable.set(value)", ours, raw, "tk.setvar(name, value)", 1.15)
    ours, raw = paired(lambda: array["key"], lambda: tk.getvar(array_name, "key"))
    report.within("TclArrayVariable a[k]", ours, raw, "tk.getvar(name, k)", 1.15)
    ours, raw = paired(set_item, lambda: tk.setvar(array_name, "key", "other value"))
    report.within("TclArrayVariable a[k] = v", ours, raw, "tk.setvar(name, k, v)", 1.3)

    join, normalize = TclNamespace.join, TclNamespace.normalize
    for label, ours, theirs in (
        ("join('::app', 'x')", lambda: join("::app", "x"), lambda: join_python("::app", "x")),
        ("join('::app::ui', 'w', 'btn')", lambda: join("::app::ui", "w", "btn"),
         lambda: join_python("::app::ui", "w", "btn")),
        ("join('::', 'x')", lambda: join("::", "x"), lambda: join_python("::", "x")),
        ("normalize('::app::ui::w')", lambda: normalize("::app::ui::w"),
         lambda: normalize_python("::app::ui::w")),
        ("normalize('::app::::ui::')", lambda: normalize("::app::::ui::"),
         lambda: normalize_python("::app::::ui::")),
    ):
        assert ours() == theirs()
        t_ours, t_theirs = paired(ours, theirs, rounds=2)
        report.faster(f"TclNamespace.{label}", t_ours, t_theirs, "the rules in Python", 5)
    return report.print()


if __name__ == "__main__":
    main()
