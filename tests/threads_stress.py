"""Eight threads on shared lists, dicts, NestMaps and histories.

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

from brelt.tcl import Interpreter, NestMap, quotify, tclobj
from brelt.tcl.history import Entry, History

THREADS = 8
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 1500
WORDS = 40  # word n is "w<n> <padding><n>": fresh objects of known content
PAD = "x" * 120  # long words: a reader spends its time inside them


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
start = threading.Barrier(THREADS)
failures = []
operations = [0] * THREADS


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def mutate(rng):
    n = rng.randrange(WORDS)
    choice = rng.randrange(12)
    if choice == 0 or choice > 8:
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


def read(rng, tk):
    choice = rng.randrange(12)
    if choice == 0 or choice > 8:
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
    try:
        start.wait()
        for _ in range(ROUNDS):
            try:
                if rng.random() < 0.5:
                    try:
                        mutate(rng)
                    except (IndexError, KeyError):
                        # Another thread shortened the list first, or deleted
                        # the key between the look-up and the deletion of
                        # NestMap.pop() (MutableMapping's, not atomic).
                        pass
                else:
                    read(rng, tcl.tk)
            except RuntimeError as exc:
                # A container that changed size while it was walked.
                if "changed size" not in str(exc) and "mutated" not in str(exc):
                    raise
            operations[index] += 1
    except BaseException as exc:  # noqa: B036 - reported by the main thread
        failures.append(f"thread {index}: {type(exc).__name__}: {exc}")
    finally:
        del tcl


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
