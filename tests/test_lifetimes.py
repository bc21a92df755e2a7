"""Handles that outlive their own call or their interpreter: deleted during
a call, collected in another thread. Crashes show in a subprocess under
PYTHONMALLOC=debug, which fills freed memory so a use after free fails."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, *args):
    env = dict(os.environ, PYTHONMALLOC="debug")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          env=env, timeout=120)


def assert_clean(run):
    assert run.returncode == 0, run.stderr[-2000:]
    assert "Exception ignored" not in run.stderr, run.stderr[-2000:]
    assert run.stdout.strip().endswith("done"), run.stdout


DELETED_DURING_CALL = """
    import sys
    from brelt.tcl import Interpreter
    from brelt.tcl.namespace import TclCommand, TclNamespace, TempTclCommand
    tcl = Interpreter()
    tcl.tk.eval("proc ::target {args} {rename ::alias {}; return ok}")
    base = {"TclCommand": TclCommand, "TempTclCommand": TempTclCommand}[sys.argv[1]]
    cls = base if sys.argv[2] == "exact" else type("Sub", (base,), {})
    logs = []
    class Log:
        def info(self, text):
            logs.append(text)
    if base is TempTclCommand:
        handle = cls(cmd_name="::target", tcl=tcl, cast=str.upper, logger=Log())
    else:
        handle = cls("::target", tcl=tcl, cast=str.upper, logger=Log())
    if sys.argv[3] == "view":
        TclNamespace("::", tcl=tcl).cmds["alias"] = handle
    else:
        tcl.tk.createcommand("::alias", handle)
    del handle
    assert tcl.tk.call("::alias") == "OK"
    print("done")
"""


@pytest.mark.in_child_process
@pytest.mark.parametrize("how", ["view", "tk"])
@pytest.mark.parametrize("variant", ["exact", "subclass"])
@pytest.mark.parametrize("cls", ["TclCommand", "TempTclCommand"])
def test_handle_deleted_during_its_own_call(cls, variant, how):
    # Tcl deletes the command, and with it tkinter's only reference to the
    # handle, while the handle's call still runs.
    assert_clean(run_python(DELETED_DURING_CALL, cls, variant, how))


COMMAND_COLLECTED_ELSEWHERE = """
    import gc, sys, threading
    from brelt.tcl import Interpreter
    from brelt.tcl.namespace import TempTclCommand, TclNamespace
    way = sys.argv[1]
    gc.disable()
    keep = []
    def make():
        tcl = Interpreter()
        h = TempTclCommand(lambda: None, tcl=tcl)
        h.me = h.__init__  # a reference cycle through a bound method
        if way == "delete":
            h.delete()
        elif way == "view":
            del TclNamespace("::", tcl=tcl).cmds[h.cmd_name]
        elif way == "rename":
            tcl.tk.eval("rename %s {}" % h.cmd_name)
        keep.append(h)
    make()
    gc.collect()  # the Interpreter goes here, in its own thread
    keep.clear()  # the handle is left to its cycle
    worker = threading.Thread(target=gc.collect)
    worker.start()
    worker.join()
    print("done")
"""


@pytest.mark.in_child_process
@pytest.mark.parametrize("way", ["delete", "view", "rename", "registered"])
def test_temporary_command_collected_in_another_thread(way):
    # Its kept Tcl application may be the last reference: released in the
    # worker, Tcl would abort the process.
    assert_clean(run_python(COMMAND_COLLECTED_ELSEWHERE, way))


COLLECTED_ELSEWHERE = """
    import gc, sys, threading
    from brelt.tcl import Interpreter
    from brelt.tcl import namespace as m
    name, interp_alive = sys.argv[1], sys.argv[2] == "alive"
    gc.disable()
    keep = []
    def make():
        tcl = Interpreter()
        tcl.tk.eval("array set ::arr {a 1}; namespace eval ::app {variable v 1}")
        ns = m.TclNamespace("::app", tcl=tcl)
        objects = {
            "TclVariable": lambda: m.TclVariable("::v", tcl=tcl),
            "TempTclVariable": lambda: m.TempTclVariable(tcl=tcl).__enter__(),
            "TclArrayVariable": lambda: m.TclArrayVariable("::arr", tcl=tcl),
            "TempTclArrayVariable": lambda: m.TempTclArrayVariable(tcl=tcl).__enter__(),
            "TclCommand": lambda: m.TclCommand("::set", tcl=tcl),
            "TempTclCommand": lambda: m.TempTclCommand(print, tcl=tcl),
            "TclNamespace": lambda: ns,
            "TempTclNamespace": lambda: m.TempTclNamespace(tcl=tcl).__enter__(),
            "vars view": lambda: ns.vars,
            "cmds view": lambda: ns.cmds,
            "iterator": lambda: iter(ns.vars),
            "started iterator": lambda: (lambda it: (next(it), it)[1])(iter(ns.vars)),
            "Interpreter": lambda: tcl,
            "Jiv": lambda: tcl.jiv,
            "Jiv_Code": lambda: tcl.jiv.namespace.eval,
            "History": lambda: tcl.history,
        }
        obj = objects[name]()
        holder = [obj]
        holder.append(holder)  # a reference cycle
        keep.append(holder)
        if interp_alive:
            keep.append(tcl)
    make()
    gc.collect()
    keep[:] = keep[1:]  # the object is left to its cycle
    worker = threading.Thread(target=gc.collect)
    worker.start()
    worker.join()
    print("done")
"""

CLASSES = ["TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable", "TclCommand",
           "TempTclCommand", "TclNamespace", "TempTclNamespace", "vars view", "cmds view", "iterator",
           "started iterator", "Interpreter", "Jiv", "Jiv_Code", "History"]


@pytest.mark.in_child_process
@pytest.mark.parametrize("interp", ["alive", "gone"])
@pytest.mark.parametrize("name", CLASSES)
def test_collected_in_another_thread(name, interp):
    assert_clean(run_python(COLLECTED_ELSEWHERE, name, interp))


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
@pytest.mark.parametrize("variant", ["exact", "subclass"])
@pytest.mark.parametrize("name", ["TempTclCommand", "TempTclVariable", "TempTclArrayVariable", "TempTclNamespace"])
@pytest.mark.parametrize("how", ["copy", "deepcopy", "pickle", "deepcopy inside"])
def test_temporaries_cannot_be_copied(tcl, name, variant, how):
    import copy
    import pickle

    from brelt.tcl import namespace as m

    cls = getattr(m, name)
    if variant == "subclass":
        cls = type("Sub" + name, (cls,), {})
    temp = cls(print, tcl=tcl) if name == "TempTclCommand" else cls(tcl=tcl)
    action = {
        "copy": copy.copy,
        "deepcopy": copy.deepcopy,
        "pickle": pickle.dumps,
        "deepcopy inside": lambda t: copy.deepcopy({"held": [t]}),
    }[how]
    with pytest.raises(TypeError, match="owns its Tcl"):
        action(temp)
    if name == "TempTclCommand":
        assert temp.exists()  # the original still owns its command
