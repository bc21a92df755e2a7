"""Threads at once: shared containers under conversion, and the GIL left off
on a free-threaded build of CPython."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
HERE = Path(__file__).parent
MODULES = ["quotify", "nestmap", "history", "internal", "namespace", "jiv"]


def run(args, **env):
    environ = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    environ.update(env)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=600, env=environ)


@pytest.mark.in_child_process
def test_threads_on_shared_containers():
    # A crash fails this test only; the debug allocator (or AddressSanitizer,
    # under `make asan`, which sets the plain allocator) catches a freed item
    # read through a reference that was borrowed from a shared container.
    # On a free-threaded build the GIL is kept off, whatever was imported,
    # and the allocator is the build's own: CPython's lock-free reads of
    # lists and dicts count on its delayed reuse of freed memory, which the
    # debug allocator's immediate scribbling breaks (a plain Python script
    # reading a shared list crashed there too, with no brelt code).
    env = {"PYTHONMALLOC": os.environ.get("PYTHONMALLOC", "mimalloc" if FREE_THREADED else "debug")}
    if FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    # Rounds per thread: a reader meets a freed item only now and then, so
    # the free-threaded build, where that can happen, runs many more.
    result = run([str(HERE / "threads_stress.py"), "40000" if FREE_THREADED else "3000"], **env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.split()[0] == "ok" and result.stderr == ""
    assert result.stdout.split()[2] == ("no-gil" if FREE_THREADED else "gil")


@pytest.mark.in_child_process
@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build of CPython")
def test_import_keeps_the_gil_off():
    # A module that does not declare itself free of the GIL turns it on for
    # the whole process at import, with a RuntimeWarning.
    imports = "; ".join(f"import brelt.tcl.{m}" for m in MODULES)
    script = f"import sys, brelt.tcl, tkinter; {imports}; brelt.tcl.Interpreter(); print(sys._is_gil_enabled())"
    result = run(["-W", "error", "-c", script])
    assert (result.returncode, result.stdout, result.stderr) == (0, "False\n", "")


FIRST_INTERPRETERS = """
import sys, threading
from brelt.tcl import Interpreter
threaded = sys.argv[1] == "threaded"
start = threading.Barrier(8)
def make():
    start.wait()
    tcl = Interpreter(threaded=threaded)
    tcl.jiv.set("x", 1)
threads = [threading.Thread(target=make) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print("ok")
"""


@pytest.mark.in_child_process
@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build of CPython")
@pytest.mark.parametrize("kind", ["own_thread", "threaded"])
def test_first_interpreters_made_at_once(kind):
    # tkinter gives up a lock of its own when its first interpreter is made;
    # threads making their first ones together gave it up twice and the
    # process ended in a double free about one time in five. Each process
    # has one first time only: many short ones.
    for _ in range(25):
        result = run(["-c", FIRST_INTERPRETERS, kind])
        assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")
