"""quotify() and tclobj() against tkinter's own quoting, Tcl's list command
and plain-Python versions of the same rules."""

import sys
import tkinter
from collections.abc import Mapping, Sequence, Set

from harness import Report, best_time

from brelt.tcl import quotify, tclobj


def tclobj_python(obj):
    """tclobj() written in plain Python, for comparison."""
    func = getattr(obj, "__tclobj__", None)
    if func:
        return func()
    if obj is None:
        return ""
    if isinstance(obj, (bytes, bool, float, str, tkinter._tkinter.Tcl_Obj)):
        return obj
    if type(obj) is int and -sys.maxsize - 1 <= obj <= sys.maxsize:
        return obj
    if isinstance(obj, (Sequence, Set)):
        return tuple(tclobj_python(e) for e in obj)
    if isinstance(obj, Mapping):
        flat = []
        for key in obj:
            flat += [key, obj[key]]
        return tuple(tclobj_python(e) for e in flat)
    return quotify(obj)


def main():
    tk = tkinter.Tcl().tk
    plain = [f"word{i}" for i in range(10_000)]
    quoted = [(f"w {i}", "a{b", "x\\y", "$v", "}") [i % 5] for i in range(10_000)]
    nested = [{"k": [i, f"v {i}", (1.5, None)], "b": {i, -i}} for i in range(1_250)]  # 10,000 leaves

    report = Report("quotify / tclobj")
    for label, items in (("plain words", plain), ("words needing quotes", quoted)):
        ours = best_time(lambda: quotify(items))
        report.faster(f"quotify, 10,000 {label}", ours, best_time(lambda: tkinter._join(items)), "tkinter._join", 15)
        report.faster(f"quotify, 10,000 {label}", ours, best_time(lambda: tk.call("list", *items)), "Tcl's list", 2)
        if items is plain:
            report.within(f"quotify, 10,000 {label}", ours, best_time(lambda: " ".join(items)), "' '.join", 3)
    report.faster("tclobj, nested, 10,000 leaves", best_time(lambda: tclobj(nested)),
                  best_time(lambda: tclobj_python(nested)), "the rules in Python", 5)
    for label, func, base in (("quotify('abc')", lambda: quotify("abc"), lambda: str("abc")),
                              ("quotify(5)", lambda: quotify(5), lambda: str(5)),
                              ("tclobj('abc')", lambda: tclobj("abc"), lambda: str("abc"))):
        report.within(label, best_time(func), best_time(base), "str(x)", 2)
    return report.print()


if __name__ == "__main__":
    main()
