"""GetListFromAny and DictionaryCompare against tkinter, Tcl itself, and the
same work done through ctypes or in plain Python."""

import ctypes
import functools
import random
import tkinter

from brelt.tcl.internal import DictionaryCompare, GetListFromAny, Tcl_Size, TclDLL
from harness import Report, timing


def get_list_ctypes(obj, interp=None, TclFindElement=TclDLL.TclFindElement,
                    TclCopyAndCollapse=TclDLL.TclCopyAndCollapse):
    """The list scan written with one ctypes call (or two) per element."""
    elemStart, nextElem, hasBrace = ctypes.c_char_p(), ctypes.c_char_p(), ctypes.c_int()
    string = ctypes.c_char_p(str(obj).encode("utf-8"))
    length = len(string.value)
    base = ctypes.cast(string, ctypes.c_void_p).value
    limit = base + length
    result = []
    p, lenRemain = string, length
    while lenRemain > 0:
        elemSize = Tcl_Size()  # an int on Tcl 8, a ptrdiff_t on Tcl 9
        if TclFindElement(interp, p, lenRemain, ctypes.byref(elemStart), ctypes.byref(nextElem),
                          ctypes.byref(elemSize), ctypes.byref(hasBrace)) != 0:
            raise tkinter.TclError("invalid list element")
        if ctypes.cast(elemStart, ctypes.c_void_p).value - limit >= 0:
            break
        size = elemSize.value
        if hasBrace.value:
            element = ctypes.string_at(ctypes.cast(elemStart, ctypes.c_void_p).value, size)
        else:
            buffer = ctypes.create_string_buffer(size + 1)
            size = TclCopyAndCollapse(size, elemStart, buffer)
            element = buffer.raw[:size]
        result.append(element.decode("utf-8"))
        p = nextElem
        lenRemain = limit - ctypes.cast(nextElem, ctypes.c_void_p).value
    return tuple(result)


def python_dictionary_compare(left, right):
    """DictionaryCompare written in plain Python."""
    left, right = str(left), str(right)
    nl, nr = len(left), len(right)
    il = ir = diff = secondary = 0

    def at(s, n, i):
        return s[i] if i < n else "\0"

    while True:
        if at(right, nr, ir).isdigit() and at(left, nl, il).isdigit():
            zeros = 0
            while at(right, nr, ir) == "0" and at(right, nr, ir + 1).isdigit():
                ir += 1
                zeros -= 1
            while at(left, nl, il) == "0" and at(left, nl, il + 1).isdigit():
                il += 1
                zeros += 1
            if secondary == 0:
                secondary = zeros
            diff = 0
            while True:
                if diff == 0:
                    diff = ord(at(left, nl, il)) - ord(at(right, nr, ir))
                il += 1
                ir += 1
                if not at(right, nr, ir).isdigit():
                    if at(left, nl, il).isdigit():
                        return 1
                    if diff:
                        return diff
                    break
                if not at(left, nl, il).isdigit():
                    return -1
            continue
        if il < nl and ir < nr:
            cl, cr = left[il], right[ir]
            il += 1
            ir += 1
            diff = ord(cl.lower()[0]) - ord(cr.lower()[0])
            if diff:
                return diff
            if secondary == 0:
                secondary = ord(cl) - ord(cr)
        else:
            diff = ord(at(left, nl, il)) - ord(at(right, nr, ir))
            if diff == 0 and (il < nl) != (ir < nr):
                diff = 1 if il < nl else -1
            break
    return diff or secondary


def main():
    tk = tkinter.Tcl().tk
    rng = random.Random(42)
    short = [f"w{i}" for i in range(10_000)]
    quoted = [(f"a b{i}", f"x{{y{i}", f"back\\slash{i}", f"$v{i}", f'"q{i}"', f"{{{i}")[i % 6] for i in range(10_000)]
    report = Report("internal: GetListFromAny / DictionaryCompare")
    for label, words in (("short words", short), ("braces/backslashes", quoted)):
        # Tcl's string form of the list (Tcl 9 would give back the list
        # object itself for a plain "%s").
        text = tk.call("format", "%s.", tk.call("list", *words))[:-1]
        assert GetListFromAny(text) == tk.splitlist(text) == get_list_ctypes(text) == tuple(words)
        ours = timing(lambda: GetListFromAny(text))
        report.faster(f"GetListFromAny, 10,000 {label}", ours, timing(lambda: tk.splitlist(text)),
                      "tk.splitlist", 1)
        report.faster(f"GetListFromAny, 10,000 {label}", ours, timing(lambda: get_list_ctypes(text), repeat=3),
                      "ctypes per element", 20)

    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-."
    words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12))) for _ in range(10_000)]
    key = functools.cmp_to_key(DictionaryCompare)
    python_key = functools.cmp_to_key(python_dictionary_compare)
    assert sorted(words, key=key) == sorted(words, key=python_key) == list(tk.call("lsort", "-dictionary", words))
    ours = timing(lambda: sorted(words, key=key))
    report.faster("sort 10,000 words, cmp_to_key(DictionaryCompare)", ours,
                  timing(lambda: sorted(words, key=python_key), repeat=3), "the comparison in Python", 10)
    report.within("sort 10,000 words, cmp_to_key(DictionaryCompare)", ours,
                  timing(lambda: tk.call("lsort", "-dictionary", words)), "Tcl's lsort -dictionary", 4)
    return report.print()


if __name__ == "__main__":
    main()
