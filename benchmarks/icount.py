"""Instruction counts of the handles against the raw tkinter calls they wrap.

Wall-clock ratios on a shared machine swing from run to run; instruction
counts under callgrind do not. Every row below runs its two statements (ours
and the raw call) in loops of N1 and N2 repetitions inside one process under
``valgrind --tool=callgrind``. A marker call (``os.getppid``, which nothing
else here calls) between the loops makes callgrind dump its counts there,
so each loop is counted on its own; the difference between the N2 and N1
loops, divided by N2 - N1, is the cost of one operation with the start-up,
the set-up and the loop's own entry cancelled.

    icount.py                 measure every row, compare with the baseline
    icount.py ROW...          only the rows named (or whose names contain ROW)
    icount.py --update        measure and write the baseline for this Python
    icount.py --list          the rows and their goals

The baseline (icount-baseline.json beside this file) holds, per CPython
minor version, the figures of every row when it was last updated on purpose.
The run fails when a row's ratio grows by more than 3 % over the baseline,
and when a row marked as meeting its goal in the baseline no longer does.
A row whose goal is not met yet is reported as missed without failing.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent
BASELINE = HERE / "icount-baseline.json"
N1, N2 = 200, 1200
WARMUP = 200  # runs before counting: the interpreter's specialisation settles
TOLERANCE = 1.03

# Every row: (name, goal, ours, raw, set-up). The statements run in a
# function whose globals are those the set-up made.
ROWS = [
    ("jiv_history_on", 1.8, "tcl.jiv.set('x', 1)", "tk.call('set', 'x', 1)", """
        tcl = Interpreter(max_history=1000)
        tk = tcl.tk
        for _ in range(1100):  # a full history: every call also drops the oldest entry
            tcl.jiv.set('x', 1)
    """),
    ("jiv_history_off", 1.3, "tcl.jiv.set('x', 1)", "tk.call('set', 'x', 1)", """
        tcl = Interpreter()
        tk = tcl.tk
        tcl.history.disable()
    """),
    ("command", 1.15, "h('x')", "tk.call('::llength', 'x')", """
        tcl = Interpreter()
        tk = tcl.tk
        h = TclCommand('::llength', tcl=tcl)
    """),
    ("command_options", 1.25, "o('x', b=2)", "tk.call('::opts', 'x', '-a', 1, '-b', 2)", """
        tcl = Interpreter()
        tk = tcl.tk
        tk.eval('proc ::opts {args} {}')
        o = TclCommand('::opts', keywords={'a': 1}, tcl=tcl)
    """),
    ("variable_get", 1.15, "var.get_obj()", "tk.getvar('::bench_var')", """
        tcl = Interpreter()
        tk = tcl.tk
        var = TclVariable('::bench_var', tcl=tcl)
        var.set('some value')
    """),
    ("variable_set", 1.15, "var.set('other value')", "tk.setvar('::bench_var', 'other value')", """
        tcl = Interpreter()
        tk = tcl.tk
        var = TclVariable('::bench_var', tcl=tcl)
        var.set('some value')
    """),
    ("array_get", 1.15, "array['key']", "tk.getvar('::bench_array(key)')", """
        tcl = Interpreter()
        tk = tcl.tk
        array = TclArrayVariable('::bench_array', tcl=tcl)
        array['key'] = 'some value'
    """),
    ("temp_command", 2.0, """
        with TempTclCommand(func, tcl=tcl) as c:
            c(1)
    """, """
        tk.createcommand('::bench_cb', func)
        tk.call('::bench_cb', 1)
        tk.call('::rename', '::bench_cb', '')
    """, """
        tcl = Interpreter()
        tk = tcl.tk
        def func(*args):
            return None
    """),
    ("namespace_call", 1.1, "ns.call('set', 'k', 'value')",
     "tk.call('namespace', 'eval', '::bench', ('set', 'k', 'value'))", """
        tcl = Interpreter()
        tk = tcl.tk
        ns = TclNamespace('::bench', tcl=tcl)
        ns.create()
    """),
    ("history_append", 1.2, "history.append(words)", "deque.append((now(), 'line'))", """
        import collections, datetime
        words = ['set', 'x', 'a b', '-opt', 'value']
        history = History(1000)
        deque = collections.deque(maxlen=1000)
        now = datetime.datetime.now
        for _ in range(1100):  # both full: every append also drops the oldest entry
            history.append(words)
            deque.append((now(), 'line'))
    """),
]

PRELUDE = """
from brelt.tcl import Interpreter
from brelt.tcl.history import History
from brelt.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable, TempTclCommand
"""


def loop_function(statement, env):
    """A function running ``statement`` n times, with ``env`` as globals."""
    body = textwrap.indent(textwrap.dedent(statement).strip(), " " * 8)
    source = f"def loop(n):\n    for _ in range(n):\n{body}\n"
    exec(compile(source, "<icount>", "exec"), env)
    return env["loop"]


def workload(names):
    """Runs inside callgrind (from icount_run.py): every row's loops, a
    marker after each."""
    import gc

    marker = os.getppid
    order = []
    for name, _goal, ours, raw, setup in ROWS:
        if name not in names:
            continue
        env = {"__name__": f"icount_{name}"}
        exec(PRELUDE + textwrap.dedent(setup), env)
        loops = {"ours": loop_function(ours, env), "raw": loop_function(raw, env)}
        for loop in loops.values():
            loop(WARMUP)
        gc.collect()
        gc.disable()
        marker()
        order.append((name, "setup", 0))
        for side, loop in loops.items():
            for n in (N1, N2):
                loop(n)
                marker()
                order.append((name, side, n))
        gc.enable()
    return order


def totals(prefix):
    """The instruction totals of callgrind's dumps, in their order."""
    parts = {}
    for path in pathlib.Path(prefix).parent.glob(pathlib.Path(prefix).name + "*"):
        number = total = None
        for line in path.read_text(errors="replace").splitlines():
            if line.startswith("part:"):
                number = int(line.split()[1])
            elif line.startswith("totals:"):
                total = int(line.split()[1])
        if number is not None and total is not None:
            parts[number] = total
    return [parts[k] for k in sorted(parts)]


# CPython's caches (the method cache of every class, keyed partly by the
# address of the attribute's name) collide or not depending on where objects
# happen to lie: one layout may cost a row a few hundred instructions more
# than another, and an edit of this very file moves them. Every row is
# measured in several layouts, moved by allocating blocks before anything of
# ours is compiled (icount_run.py), and the least count of each loop is
# taken: the cost without unlucky collisions.
SHIFTS = (0, 300, 1100, 2900)


def run_workload(valgrind, python, names, shift, tmp):
    """{(row, side, n): instructions} of one run under callgrind."""
    out = os.path.join(tmp, f"callgrind-{shift}.out")
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONMALLOC", None)
    command = [
        valgrind, "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}",
        "--dump-before=os_getppid", "--dump-instr=no",
        python, str(HERE / "icount_run.py"), str(shift), *names,
    ]
    done = subprocess.run(command, check=True, env=env, stdout=subprocess.PIPE, text=True)
    order = json.loads(done.stdout.strip().splitlines()[-1])
    counts = totals(out)
    # counts[i]: what ran between the marker before order[i] and its own
    # (the last dump, at exit, is left over).
    if len(counts) < len(order):
        sys.exit(f"icount: {len(counts)} callgrind dumps for {len(order)} markers")
    return {(name, side, n): counts[i] for i, (name, side, n) in enumerate(order)}


def measure(names, python):
    """{row: (ours, raw)} instructions per operation."""
    import concurrent.futures

    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("icount: valgrind is missing (tools/setup-valgrind installs it)")
    with tempfile.TemporaryDirectory(prefix="icount-") as tmp, \
            concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = list(pool.map(lambda shift: run_workload(valgrind, python, names, shift, tmp), SHIFTS))
    result = {}
    for name in names:
        per_op = {side: [(run[name, side, N2] - run[name, side, N1]) / (N2 - N1) for run in runs]
                  for side in ("ours", "raw")}
        ratios = [o / r for o, r in zip(per_op["ours"], per_op["raw"])]
        result[name] = (min(per_op["ours"]), min(per_op["raw"]), max(ratios) / min(ratios) - 1)
    return result


def python_key():
    return f"{sys.version_info.major}.{sys.version_info.minor}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rows", nargs="*", help="rows to measure (a part of their name)")
    parser.add_argument("--update", action="store_true", help="write the measured rows to the baseline")
    parser.add_argument("--list", action="store_true", help="list the rows and their goals")
    args = parser.parse_args()

    goals = {name: goal for name, goal, *_ in ROWS}
    if args.list:
        for name, goal, ours, raw, _ in ROWS:
            print(f"{name:<18} <= {goal:<5} {' '.join(ours.split())}  /  {' '.join(raw.split())}")
        return 0
    # A row's full name picks that row only; a part of one, every row holding it.
    names = [name for name in goals
             if not args.rows or any(r == name or (r not in goals and r in name) for r in args.rows)]
    if not names:
        sys.exit(f"icount: no row matches {args.rows}")

    key = python_key()
    baseline_all = json.loads(BASELINE.read_text()) if BASELINE.exists() else {}
    baseline = baseline_all.get(key, {})
    print(f"== instructions per operation, CPython {key} (callgrind; N1={N1}, N2={N2}, least of {len(SHIFTS)} layouts)")
    measured = measure(names, sys.executable)

    failed = []
    print(f"  {'row':<18} {'ours':>9} {'raw':>9} {'ratio':>7} {'layouts':>8} {'goal':>7} {'baseline':>9}  verdict")
    for name in names:
        ours, raw, layouts = measured[name]
        ratio = ours / raw
        goal = goals[name]
        base = baseline.get(name)
        verdict = []
        if ratio <= goal:
            verdict.append("goal met")
        elif base and base.get("met"):
            verdict.append("GOAL LOST")
            failed.append(name)
        else:
            verdict.append("goal missed")
        if base:
            grown = ratio / base["ratio"]
            if grown > TOLERANCE:
                verdict.append(f"REGRESSED {100 * (grown - 1):+.1f}%")
                failed.append(name)
            elif grown < 1 / TOLERANCE:
                verdict.append(f"improved {100 * (grown - 1):+.1f}% (update the baseline)")
            if ratio <= goal and not base.get("met"):
                verdict.append("newly met (update the baseline)")
            base_text = f"{base['ratio']:8.2f}x"
        else:
            verdict.append("no baseline")
            base_text = f"{'-':>9}"
        print(f"  {name:<18} {ours:9.0f} {raw:9.0f} {ratio:6.2f}x {100 * layouts:7.1f}% "
              f"{'<= ' + str(goal):>7} {base_text}  " + ", ".join(verdict))

    if args.update:
        for name in names:
            ours, raw, _ = measured[name]
            ratio = ours / raw
            baseline[name] = {"ours": round(ours), "raw": round(raw), "ratio": round(ratio, 4),
                              "goal": goals[name], "met": ratio <= goals[name]}
        baseline_all[key] = dict(sorted(baseline.items(), key=lambda kv: list(goals).index(kv[0])))
        BASELINE.write_text(json.dumps(dict(sorted(baseline_all.items())), indent=2) + "\n")
        print(f"baseline for CPython {key} written to {BASELINE.relative_to(HERE.parent)}")
        return 0
    if failed:
        print(f"FAILED: {', '.join(dict.fromkeys(failed))}")
        return 1
    print("no regression; every goal met" if all(measured[n][0] / measured[n][1] <= goals[n] for n in names)
          else "no regression; some goals not met yet (see above)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
