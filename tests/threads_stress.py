"""Eight threads on shared lists, dicts, NestMaps, histories and the bound
options of command handles.

Run as a script (tests/test_threads.py starts it in a subprocess, so that a
crash fails one test rather than the run). Every thread both changes the
shared containers and converts or records them, and drives an interpreter
of its own with what it read. Each result must be right for some state the
containers went through, or a clean exception (RuntimeError: a container
changed size while it was walked); anything else is printed and the script
exits 1. Prints "ok <operations>" at the end.

Values are made anew at every change (never a cached or interned object),
so an item that a reader borrowed and another thread replaced is freed at
once, under the reader's feet, on a free-threaded build.
"""

import random
import sys
import threading

from brelt.tcl import Interpreter, NestMap, TclCommand, cast_list, quotify, tclobj
from brelt.tcl.history import Entry, History

THREADS = 8
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 1500
WORDS = 40  # word n is "w<n> <padding><n>": fresh objects of known content
PAD = "x" * 120  # long words: a reader spends its time inside them
OPTIONS = 300  # option names o<n>: more than the handles keep dashed
MAX_BOUND = 40  # bound options at most, the dict being walked by every call


def word(n):
    return "".join(["w", str(n), " ", PAD, str(n)])


def is_word(text):
    head, _, tail = text.partition(" ")
    return head[:1] == "w" and tail == PAD + head[1:] and head[1:].isdigit()


def leaf(key):
    return "".join([key, " leaf"])


shared_list = [word(i) for i in range(WORDS)]
shared_dict = {f"k{i}": leaf(f"k{i}") for i in range(WORDS)}
shared_map = NestMap({f"g{i}": {f"k{j}": leaf(f"k{j}") for j in range(4)} for i in range(6)})
shared_history = History(50)
shared_options = {}  # the `keywords` of every thread's command handle
start = threading.Barrier(THREADS)
failures = []
operations = [0] * THREADS


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def option_name(rng, step):
    # New names come into use all through the run, every thread meeting
    # each one at about the same time: the handles' cache of dashed names
    # is filled by several threads at once, not only in the first moments.
    newest = step * OPTIONS // ROUNDS
    return "".join(["o", str(max(0, newest - rng.randrange(4)))])


def mutate(rng, step):
    n = rng.randrange(WORDS)
    choice = rng.randrange(14)
    if choice == 9 or choice == 10:
        name = option_name(rng, step)
        shared_options[name] = leaf(name)
        if len(shared_options) > MAX_BOUND:
            shared_options.popitem()
    elif choice == 11:
        shared_options.pop(option_name(rng, step), None)
    elif choice == 0 or choice > 8:
        shared_list[rng.randrange(len(shared_list) or 1)] = word(n)
    elif choice == 1:
        shared_list.append(word(n))
    elif choice == 2 and len(shared_list) > 5:
        del shared_list[rng.randrange(len(shared_list))]
    elif choice == 3:
        shared_list[:] = [word(rng.randrange(WORDS)) for _ in range(rng.randrange(1, 60))]
    elif choice == 4:
        key = f"k{n}"
        shared_dict[key] = leaf(key)
    elif choice == 5:
        shared_dict.pop(f"k{n}", None)
    elif choice == 6:
        key = f"k{n % 4}"
        shared_map[f"g{n % 6}.{key}"] = leaf(key)
    elif choice == 7:
        shared_map.pop(f"g{n % 6}.k{n % 4}", None)
    else:
        shared_history.append([word(n), word(n + 1)])


def check_map_items(items, prefix=""):
    for key, value in items:
        key = prefix + key
        if isinstance(value, tuple):
            check_map_items(value, key + ".")
        else:
            check(value == leaf(key.rpartition(".")[2]), f"NestMap item {key!r}: {value!r}")


def check_options(words, given):
    check(len(words) % 2 == 0, f"odd options {words!r}")
    pairs = dict(zip(words[::2], words[1::2]))
    check(len(pairs) == len(words) // 2, f"an option twice: {words!r}")
    for name, value in pairs.items():
        check(name[:1] == "-" and value == leaf(name[1:]), f"option {name!r} {value!r}")
    check(all("-" + name in pairs for name in given), f"call options {given!r} missing from {words!r}")


def read(rng, tk, cmd, step):
    choice = rng.randrange(14)
    if choice == 9:
        items = cast_list(shared_list)
        check(type(items) is list and all(is_word(w) for w in items), f"cast_list(list) gave {items[:2]!r}...")
    elif choice == 10 or choice == 11:
        given = {}
        for _ in range(rng.randrange(4)):
            name = option_name(rng, step)
            given[name] = leaf(name)
        n = rng.randrange(WORDS)
        result = cmd(word(n), **given)
        check(type(result) is tuple and result[0] == word(n), f"command gave {result[:1]!r}")
        check_options(result[1:], given)
    elif choice == 0 or choice > 8:
        texts = [quotify(shared_list) for _ in range(4)]
        words = [w for text in texts for w in tk.splitlist(text)]
        check(all(is_word(w) for w in words), f"quotify(list) gave {words[:2]!r}...")
    elif choice == 1:
        values = tclobj(shared_list)
        check(type(values) is tuple and all(is_word(w) for w in values), "tclobj(list)")
        check(tk.call("llength", values) == len(values), "the list through Tcl")
    elif choice == 2:
        words = tk.splitlist(quotify(shared_dict))
        check(len(words) % 2 == 0, "quotify(dict): odd length")
        check(all(v == leaf(k) for k, v in zip(words[::2], words[1::2])), "quotify(dict) pairs")
    elif choice == 3:
        pairs = tclobj(shared_dict)
        check(all(v == leaf(k) for k, v in zip(pairs[::2], pairs[1::2])), "tclobj(dict) pairs")
    elif choice == 4:
        check_map_items(tclobj(shared_map))
        check_map_items(shared_map.__tclobj__())
    elif choice == 5:
        for key, value in shared_map.all_items():
            check(value == leaf(key.rpartition(".")[2]), f"all_items {key!r}: {value!r}")
        text = quotify(shared_map)
        check(len(tk.splitlist(text)) >= 0, "quotify(NestMap)")
    elif choice == 6 or choice == 8:
        entries = [Entry(shared_list) for _ in range(4)]
        words = [w for entry in entries for w in tk.splitlist(entry.api)]
        check(all(is_word(w) for w in words), f"Entry(list).api gave {words[:2]!r}")
    elif choice == 7:
        shared_history.append(shared_list)
        for entry in list(shared_history.__history__)[-3:]:
            check(all(is_word(w) for w in tk.splitlist(entry.api)), "History.append(list)")


def worker(index):
    rng = random.Random(index)
    tcl = Interpreter()  # this thread's own, ended here
    cmd = TclCommand("list", tcl=tcl)
    cmd.keywords = shared_options
    try:
        start.wait()
        for step in range(ROUNDS):
            try:
                if rng.random() < 0.5:
                    try:
                        mutate(rng, step)
                    except (IndexError, KeyError):
                        # Another thread shortened the list first, or deleted
                        # the key between the look-up and the deletion of
                        # NestMap.pop() (MutableMapping's, not atomic).
                        pass
                else:
                    read(rng, tcl.tk, cmd, step)
            except RuntimeError as exc:
                # A container that changed size while it was walked.
                if "changed size" not in str(exc) and "mutated" not in str(exc):
                    raise
            operations[index] += 1
    except BaseException as exc:  # noqa: B036 - reported by the main thread
        failures.append(f"thread {index}: {type(exc).__name__}: {exc}")
    finally:
        del cmd, tcl


threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
for line in failures:
    print(line)
if failures:
    sys.exit(1)
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print("ok", sum(operations), "gil" if gil else "no-gil")
