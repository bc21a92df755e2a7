"""NestMap against nested dicts walked in plain Python, and its Tcl form
against quotify() of plain nested lists and a plain-Python parser."""

import tkinter

from brelt.tcl import NestMap, quotify
from harness import Report, timing


def py_get(d, key):
    """kl[key] on nested dicts, in plain Python."""
    for part in key.split("."):
        d = d[part]
    return d


def py_set(d, key, value):
    """kl[key] = value on nested dicts, in plain Python (missing levels created)."""
    parts = key.split(".")
    for part in parts[:-1]:
        try:
            d = d[part]
        except KeyError:
            d[part] = d = {}
    d[parts[-1]] = value


def from_tcl_python(tk):
    """NestMap.from_tcl's rules in plain Python on tk.splitlist, building
    nested dicts (cheaper than building NestMaps)."""

    def from_tcl(text):
        dsc = dict([tk.splitlist(element) for element in tk.splitlist(text)])
        for key, value in dsc.items():
            try:
                dsc[key] = from_tcl(value)
            except ValueError:
                pass
        return dsc

    return from_tcl


def tree(levels, width, leaf):
    """Nested dicts `levels` deep, `width` keys a level: width**levels leaves."""
    if levels == 0:
        return leaf
    return {f"key{i}": tree(levels - 1, width, f"{leaf} {i}") for i in range(width)}


def pairs(d):
    """The same tree as nested lists of [key, value] pairs."""
    return [[k, pairs(v) if isinstance(v, dict) else v] for k, v in d.items()]


def main():
    tk = tkinter.Tcl().tk
    report = Report("NestMap")

    d = {"a": {"b": {"c": "leaf", "d": "other"}}}
    kl = NestMap(d)
    report.within("kl['a.b.c']", timing(lambda: kl["a.b.c"]), timing(lambda: py_get(d, "a.b.c")),
                  "nested dicts in Python", 3)

    def set_ours():
        kl["a.b.c"] = "new"

    def set_python():
        py_set(d, "a.b.c", "new")

    report.within("kl['a.b.c'] = v", timing(set_ours), timing(set_python), "nested dicts in Python", 3)

    big = tree(3, 10, "value")  # 1,000 leaves
    big_kl = NestMap(big)
    big_pairs = pairs(big)
    assert quotify(big_kl) == quotify(big_pairs)
    report.within("quotify(kl), 1,000 leaves", timing(lambda: quotify(big_kl)),
                  timing(lambda: quotify(big_pairs)), "quotify(nested pairs)", 2)

    text = quotify(big_kl)
    from_tcl_py = from_tcl_python(tk)
    assert NestMap.from_tcl(text) == from_tcl_py(text) == big
    report.faster("NestMap.from_tcl, 1,000 leaves", timing(lambda: NestMap.from_tcl(text)),
                  timing(lambda: from_tcl_py(text)), "the rules in Python", 1)
    return report.print()


if __name__ == "__main__":
    main()
