"""What the extension modules share: module state, module attributes that
Python code may rebind at any moment, and construction shortcuts that must
not apply to what a replaced __new__ returns."""

import gc
import importlib
import os
import subprocess
import sys
import textwrap

import pytest


# One object per module that only the module's state holds.
@pytest.mark.parametrize(
    "module, held",
    [
        ("brelt.tcl.quotify", "BRACES_UNMATCHED"),
        ("brelt.tcl.jiv", 'invalid command name ""'),
        ("brelt.tcl.history", "TclHistory is enabled."),
        ("brelt.tcl.namespace", "::__brelt__{cls}_{id}_tmp"),
        ("brelt.tcl.nestmap", "keyedList"),
    ],
)
def test_module_state_is_traversed(module, held):
    mod = importlib.import_module(module)
    refs = gc.get_referents(mod)
    assert held in refs
    # The type of the module's functions, which the state's base holds.
    assert any(isinstance(r, type) and r.__name__ == "function" for r in refs)


PRELUDE = """
import importlib, logging
from brelt.tcl import Interpreter, quotify
jiv = importlib.import_module("brelt.tcl.jiv")
history = importlib.import_module("brelt.tcl.history")
"""

# Each script prints one line; a crash (or a result reached through freed
# memory) shows as a non-zero exit or another line.
SCRIPTS = {
    # quotify() replaced by a function that puts the original back on its
    # first call, so that only the call in progress keeps it alive.
    "jiv quotify rebinds itself": (
        """
        def once(value):
            jiv.quotify = quotify
            return quotify(value).upper()
        jiv.quotify = once
        del once
        tcl = Interpreter()
        print(tcl.jiv.list("a", "b", "c", cast_=False))
        """,
        "A b c",
    ),
    # A Logger whose isEnabledFor rebinds the module's log, dropping itself.
    "history log rebinds itself": (
        """
        class Fickle(logging.Logger):
            def isEnabledFor(self, level):
                history.log = logging.getLogger("brelt.tcl")
                return True
        h = history.History()
        history.log = Fickle("fickle")
        h.append(["set", "x", "1"])
        print([e.api for e in h.filter()])
        """,
        "['set x 1']",
    ),
    # A __new__ that returns a class: nothing may be written into that
    # class behind type.__setattr__ (CPython's type cache would keep a
    # freed value of `tcl` or `api`).
    "Jiv_Code __new__ returns a class": (
        """
        class Target:
            tcl = cmd = object()
        before = dict(vars(Target))
        jiv.Jiv_Code.__new__ = staticmethod(lambda cls, *a, **k: Target)
        tcl = Interpreter()
        got = tcl.jiv.anything
        print(got is Target, dict(vars(Target)) == before)
        """,
        "True True",
    ),
    "Entry __new__ returns a class": (
        """
        class Target:
            timestamp = api = object()
        before = dict(vars(Target))
        history.Entry.__new__ = staticmethod(lambda cls, *a, **k: Target)
        h = history.History()
        h.append("x")
        print(h.filter() == [Target], dict(vars(Target)) == before)
        """,
        "True True",
    ),
}


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_python_code_cannot_pull_objects_from_under_a_call(name):
    script, expected = SCRIPTS[name]
    code = PRELUDE + textwrap.dedent(script)
    # Freed memory is overwritten at once under the debug allocator, so a
    # call through a freed object fails instead of finding it intact (the
    # sanitizer run keeps its own allocator).
    env = dict(os.environ)
    env.setdefault("PYTHONMALLOC", "debug")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert (run.returncode, run.stdout.strip()) == (0, expected), run.stderr[-2000:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer needs the address space")
def test_out_of_memory_is_memory_error():
    # Splitting a long name needs a table of its pieces; with the address
    # space capped the table cannot grow, which must be a MemoryError, not
    # the end of the process.
    code = textwrap.dedent(
        """
        import resource
        from brelt.tcl.namespace import TclNamespace
        name = "a::" * 20_000_000
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (150 << 20),) * 2)
        try:
            TclNamespace.split(name)
        except MemoryError:
            print("MemoryError")
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "MemoryError"), run.stderr[-2000:]
