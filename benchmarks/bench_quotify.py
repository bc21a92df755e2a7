"""quotify() and tclobj() against tkinter's own quoting, Tcl's list command,
plain-Python versions of the same rules and the physical references:
' '.join of the same words and a copy of as many bytes as the result holds.

Words come in two shapes. Scattered words are built one by one with other
allocations between them, as a program builds them when it reads a file or
a protocol, so consecutive words do not sit next to each other in memory.
Compact words are made in one tight loop. Each ratio is the median of
several rounds; in every round both sides are timed back to back."""

import random
import statistics
import sys
import tkinter
from collections.abc import Mapping, Sequence, Set

from brelt.tcl import quotify, tclobj
from harness import Report, timing

ROUNDS = 5
ASCII = "abcdefghijklmnopqrstuvwxyz0123456789_-."
WIDE = ASCII + "éüßжλдπ日本"  # Latin-1 and other BMP letters: a two-byte result
SPECIAL = ' {}$[]"\\;'


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


def word_chars(count, alphabet, quoted_share, seed=12):
    """The characters of `count` short random words, a share of them with
    one character that needs quoting."""
    rng = random.Random(seed)
    result = []
    for _ in range(count):
        chars = rng.choices(alphabet, k=rng.randint(2, 10))
        if rng.random() < quoted_share:
            chars.insert(rng.randrange(len(chars) + 1), rng.choice(SPECIAL))
        result.append(chars)
    return result


def scattered_words(count, alphabet, quoted_share=0.0):
    """Each word built on its own with other objects made (and kept) between
    them. Returns the words and the objects that keep the gaps."""
    words, other = [], []
    for i, chars in enumerate(word_chars(count, alphabet, quoted_share)):
        other.append([i] * (1 + i % 6))
        words.append("".join(chars))
        if i % 3 == 0:
            other.append({"n": i, "s": str(i)})
    return words, other


def compact_words(count, alphabet, quoted_share=0.0):
    """The same words made in one tight loop, next to each other."""
    chars = word_chars(count, alphabet, quoted_share)
    return ["".join(c) for c in chars], None


def median_ratio(ours, other, repeat, rounds=ROUNDS):
    """Median over `rounds` of other/ours, each side the best of `repeat` runs."""
    ratios, times = [], []
    for _ in range(rounds):
        t = min(timing(ours, repeat=repeat, min_time=0.02).samples)
        ratios.append(min(timing(other, repeat=repeat, min_time=0.02).samples) / t)
        times.append(t)
    return statistics.median(ratios), statistics.median(times)


def memcpy_reference(text):
    """A copy of as many bytes as `text` holds in memory."""
    width = 1 if max(text, default="a") <= "\xff" else 2 if max(text) <= "\uffff" else 4
    buffer = bytes(len(text) * width)
    return lambda: bytearray(buffer)


def shapes_table(tk):
    """Ratios for every size, alphabet and shape, side by side; returns the
    rows that carry the goals (10,000 scattered words)."""
    goal_rows = {}
    print(f"== quotify of short words: ratios, median of {ROUNDS} rounds (3 for a million)")
    header = "shape      size     alphabet  quotes   quotify      vs _join  vs list  join/ours memcpy/ours"
    print("  " + header)
    for size in (10, 10_000, 1_000_000):
        repeat, rounds = (1, 3) if size >= 1_000_000 else (5, ROUNDS)
        for alphabet_name, alphabet in (("ascii", ASCII), ("non-ascii", WIDE)):
            for share in (0.0, 0.5):
                for shape, make in (("scattered", scattered_words), ("compact", compact_words)):
                    if size == 1_000_000 and shape == "compact":
                        continue  # a million words cannot stay compact in cache either
                    words, keep = make(size, alphabet, share)
                    text = quotify(words)
                    ours = lambda: quotify(words)  # noqa: E731
                    r_join, t = median_ratio(ours, lambda: tkinter._join(words), repeat, rounds)
                    r_list, _ = median_ratio(ours, lambda: tk.call("list", *words), repeat, rounds)
                    r_sjoin, _ = median_ratio(ours, lambda: " ".join(words), repeat, rounds)
                    r_copy, _ = median_ratio(ours, memcpy_reference(text), repeat, rounds)
                    quotes = "half" if share else "none"
                    print(f"  {shape:<10} {size:<8} {alphabet_name:<9} {quotes:<8} {t * 1e6:9.1f} us "
                          f"{r_join:8.1f}x {r_list:7.2f}x {r_sjoin:9.2f} {r_copy:10.3f}")
                    if size == 10_000 and shape == "scattered":
                        goal_rows[(alphabet_name, share)] = (t, r_join, r_list, r_sjoin)
                    del keep
    return goal_rows


def main():
    tk = tkinter.Tcl().tk
    goal_rows = shapes_table(tk)

    report = Report("quotify / tclobj")
    for (alphabet_name, share), (t, r_join, r_list, r_sjoin) in goal_rows.items():
        label = f"quotify, 10^4 scattered {alphabet_name}{', half quoted' if share else ''}"
        report.faster(label, t, t * r_join, "tkinter._join", 15)
        report.faster(label, t, t * r_list, "Tcl's list", 2.5)
        if not share:
            report.within(label, t, t * r_sjoin, "' '.join", 2)

    plain = [f"word{i}" for i in range(10_000)]
    quoted = [(f"w {i}", "a{b", "x\\y", "$v", "}") [i % 5] for i in range(10_000)]
    nested = [{"k": [i, f"v {i}", (1.5, None)], "b": {i, -i}} for i in range(1_250)]  # 10,000 leaves
    for label, items in (("plain words", plain), ("words needing quotes", quoted)):
        ours = timing(lambda: quotify(items))
        report.faster(f"quotify, 10,000 {label}", ours, timing(lambda: tkinter._join(items)), "tkinter._join", 15)
        report.faster(f"quotify, 10,000 {label}", ours, timing(lambda: tk.call("list", *items)), "Tcl's list", 2)
        if items is plain:
            report.within(f"quotify, 10,000 {label}", ours, timing(lambda: " ".join(items)), "' '.join", 3)
    report.faster("tclobj, nested, 10,000 leaves", timing(lambda: tclobj(nested)),
                  timing(lambda: tclobj_python(nested)), "the rules in Python", 5)
    for label, func, base in (("quotify('abc')", lambda: quotify("abc"), lambda: str("abc")),
                              ("quotify(5)", lambda: quotify(5), lambda: str(5)),
                              ("tclobj('abc')", lambda: tclobj("abc"), lambda: str("abc"))):
        report.within(label, timing(func), timing(base), "str(x)", 2)
    return report.print()


if __name__ == "__main__":
    main()
