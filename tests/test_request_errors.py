"""Every failed request of every class: the TclError carries Tcl's own
account of the failure, and reading it leaves the interpreter as the failure
left it, so a Python command that relays the failure gives Tcl Tcl's own
message. Each class is tried exact and subclassed."""

import _tkinter
import weakref
from tkinter import TclError

import pytest

from brelt.tcl import Interpreter
from brelt.tcl.jiv import Jiv, Jiv_Code
from brelt.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)

SETUP = "set ::scalar 1; array set ::arr {a 1}; proc ::p {a} {}"

# (name, request): each request fails in Tcl.
REQUESTS = [
    ("jiv", lambda k, t: t.jiv.nosuch()),
    ("command call", lambda k, t: k(TclCommand)("::nosuch", tcl=t)()),
    ("command eval", lambda k, t: k(TclCommand)("::nosuch", tcl=t).eval()),
    ("command delete", lambda k, t: k(TclCommand)("::nosuch", tcl=t).delete()),
    ("command rename", lambda k, t: k(TclCommand)("::nosuch", tcl=t).rename("x")),
    ("command proc_body", lambda k, t: k(TclCommand)("::set", tcl=t).proc_body()),
    ("command proc_args", lambda k, t: k(TclCommand)("::set", tcl=t).proc_args()),
    ("command proc_arg_default", lambda k, t: k(TclCommand)("::p", tcl=t).proc_arg_default("zz")),
    ("command origin", lambda k, t: k(TclCommand)("::nosuch", tcl=t).origin()),
    ("temporary command", lambda k, t: k(TempTclCommand)(cmd_name="::tmp", tcl=t)()),
    ("namespace call", lambda k, t: k(TclNamespace)("::", tcl=t).call("nosuch")),
    ("namespace eval", lambda k, t: k(TclNamespace)("::", tcl=t).eval("nosuch")),
    ("namespace delete", lambda k, t: k(TclNamespace)("::nosuch", tcl=t).delete()),
    ("namespace origin", lambda k, t: k(TclNamespace)("::", tcl=t).origin("nosuch")),
    ("namespace parent", lambda k, t: k(TclNamespace)("::nosuch", tcl=t).parent()),
    ("namespace import", lambda k, t: k(TclNamespace)("::", tcl=t).import_("::nosuch::*")),
    ("namespace forget", lambda k, t: k(TclNamespace)("::", tcl=t).forget("::nosuch::*")),
    ("namespace which", lambda k, t: k(TclNamespace)("::", tcl=t).which("x", command=True, variable=True)),
    ("temporary namespace", lambda k, t: k(TempTclNamespace)(tcl=t).call("nosuch")),
    ("variable get", lambda k, t: k(TclVariable)("::nosuch", tcl=t).get()),
    ("variable get_str", lambda k, t: k(TclVariable)("::nosuch", tcl=t).get_str()),
    ("variable set", lambda k, t: k(TclVariable)("::arr", tcl=t).set(1)),
    ("variable unset", lambda k, t: k(TclVariable)("::nosuch", tcl=t).unset()),
    ("variable element unset", lambda k, t: k(TclVariable)("::scalar", tcl=t).unset("a")),
    ("variable array_set", lambda k, t: k(TclVariable)("::scalar", tcl=t).array_set({"a": 1})),
    ("temporary variable", lambda k, t: k(TempTclVariable)("::tmp", tcl=t).get()),
    ("array get", lambda k, t: k(TclArrayVariable)("::arr", tcl=t).get("zz")),
    ("array set", lambda k, t: k(TclArrayVariable)("::scalar", tcl=t).array_set({"a": 1})),
    ("array element set", lambda k, t: k(TclArrayVariable)("::scalar", tcl=t).set(1, "a")),
    ("array item get", lambda k, t: k(TclArrayVariable)("::arr", tcl=t)["zz"]),
    ("array item delete", lambda k, t: k(TclArrayVariable)("::arr", tcl=t).__delitem__("zz")),
    ("array update", lambda k, t: k(TclArrayVariable)("::scalar", tcl=t).update(a=1)),
    ("temporary array", lambda k, t: k(TempTclArrayVariable)("::tmp", tcl=t)["zz"]),
    ("vars view get_str", lambda k, t: k(TclNamespace)("::", tcl=t).vars.byref("nosuch").get_str()),
    ("vars view get", lambda k, t: k(TclNamespace)("::", tcl=t).vars.get("nosuch")),
    ("vars view set", lambda k, t: k(TclNamespace)("::", tcl=t).vars.set("arr", 1)),
    ("vars view unset", lambda k, t: k(TclNamespace)("::", tcl=t).vars.unset("nosuch")),
    ("vars view array_set", lambda k, t: k(TclNamespace)("::", tcl=t).vars.array_set("scalar", {"a": 1})),
    ("objs view get", lambda k, t: k(TclNamespace)("::", tcl=t).objs.get("nosuch")),
    ("cmds view delete", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.byref("nosuch").delete()),
    ("cmds view rename", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.rename("nosuch", "x")),
    ("cmds view origin", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.origin("nosuch")),
    ("cmds view proc_body", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.proc_body("set")),
    ("cmds view proc_args", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.proc_args("set")),
    ("cmds view proc_arg_default", lambda k, t: k(TclNamespace)("::", tcl=t).cmds.proc_arg_default("p", "zz")),
]


@pytest.mark.keeps_references("tkinter keeps the exception a Python command raised")
@pytest.mark.parametrize("request_", [r for _, r in REQUESTS], ids=[n for n, _ in REQUESTS])
def test_failed_request_details(request_, kind):
    tcl = Interpreter()
    tcl.tk.eval(SETUP)
    with pytest.raises(TclError) as info:
        request_(kind, tcl)
    exc = info.value
    message = str(exc).split("\n")[0]
    assert isinstance(exc.errorinfo, str) and message in exc.errorinfo
    assert isinstance(exc.errorcode, tuple) and exc.errorcode and all(type(w) is str for w in exc.errorcode)

    # The same failure inside a Python command: Tcl's catch sees Tcl's own
    # message, not what reading the details left behind.
    tcl.tk.createcommand("relay", lambda: request_(kind, tcl))
    try:
        tcl.tk.eval("catch nosuch_reference expected")
        assert tcl.tk.eval("catch relay msg") == "1"
        got = tcl.tk.eval("set msg")
        assert got == message or message.startswith(got), (got, message)
    finally:
        tcl.tk.deletecommand("relay")  # it keeps the interpreter alive


# ---------------------------------------------------------------------------
# The default interpreter (the package itself as `tcl`) belongs to its thread


DEFAULT_REQUESTS = [
    lambda k: k(TclVariable)("::x").get(),
    lambda k: k(TclVariable)("::x").set(1),
    lambda k: k(TclArrayVariable)("::arr").array_names(),
    lambda k: k(TclCommand)("::set x")(),
    lambda k: k(TclCommand)("::set").exists(),
    lambda k: k(TclNamespace)("::").call("set", "x"),
    lambda k: k(TclNamespace)("::").code("x"),
    lambda k: list(k(TclNamespace)("::").vars),
    lambda k: k(TclNamespace)("::").vars["x"],
    lambda k: k(TclNamespace)("::").cmds["set"].exists(),
]


@pytest.mark.parametrize("request_", DEFAULT_REQUESTS)
def test_default_interpreter_refuses_other_threads(request_, kind, record):
    import threading

    import brelt.tcl

    interp = brelt.tcl._default()
    interp.tk.eval("set ::x 1; array set ::arr {a 1}")
    recorder = record(interp)
    outcome = []

    def worker():
        try:
            request_(kind)
        except RuntimeError as exc:
            outcome.append(exc)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    sent = recorder.take()
    # Refused by the package before anything reaches tkinter, on every Tcl.
    assert outcome and "different apartment" in str(outcome[0])
    assert sent == []


def test_clean_up_in_one_thread_keeps_details_in_another():
    # A temporary's clean-up ignores its failures without reading their
    # details; that holds for its own thread only.
    import sys
    import threading

    stop = threading.Event()
    missing = []

    def clean_up():
        tcl = Interpreter()
        while not stop.is_set():
            with TempTclCommand(print, tcl=tcl):
                pass

    def fail():
        tcl = Interpreter()
        handle = TclCommand("::nosuch", tcl=tcl)
        for _ in range(3000):
            try:
                handle()
            except TclError as exc:
                if not hasattr(exc, "errorinfo"):
                    missing.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        cleaner = threading.Thread(target=clean_up)
        cleaner.start()
        try:
            worker = threading.Thread(target=fail)
            worker.start()
            worker.join()
        finally:
            stop.set()
            cleaner.join()
    finally:
        sys.setswitchinterval(old)
    assert missing == []


@pytest.mark.parametrize("cls", [TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable, TclCommand,
                                 TempTclCommand, TclNamespace, TempTclNamespace,
                                 Jiv, Jiv_Code])
def test_wrong_interpreter_and_gone_interpreter(cls, kind):
    import tkinter

    make = kind(cls)
    if cls in (TempTclVariable, TempTclArrayVariable, TempTclCommand, TempTclNamespace):
        construct = lambda tcl: make(tcl=tcl)
    elif cls is Jiv:
        construct = lambda tcl: make(tcl)
    elif cls is Jiv_Code:
        # As Jiv makes them: on a weak proxy of the interpreter.
        construct = lambda tcl: make("x", tcl=tcl if isinstance(tcl, _tkinter.TkappType) else weakref.proxy(tcl))
    else:
        construct = lambda tcl: make("::x", tcl=tcl)
    with pytest.raises(TypeError, match="pass the Interpreter whose tk it is"):
        construct(tkinter.Tcl().tk)
    tcl = Interpreter()
    handle = construct(tcl)
    del tcl
    import gc

    gc.collect()
    request = {TclNamespace: lambda h: h.call("set"), TempTclNamespace: lambda h: h.call("set"),
               Jiv: lambda h: h.set("x"), Jiv_Code: lambda h: h()}.get(cls, lambda h: h.exists())
    with pytest.raises(ReferenceError, match="Interpreter object was collected: keep a reference"):
        request(handle)


# ---------------------------------------------------------------------------
# A Python callable's exception reaches Tcl, and comes back as the cause


@pytest.fixture
def own_tcl():
    """An interpreter whose Python commands all go at the end: each keeps
    the interpreter (and its function) alive while it exists."""
    tcl = Interpreter()
    yield tcl
    register.keep = None
    tcl.tk.call("namespace", "delete", "::")


def register(how, tcl, func):
    if how == "view":
        TclNamespace("::", tcl=tcl).cmds["f"] = func
        return "::f"
    if how == "temporary":
        register.keep = TempTclCommand(func, tcl=tcl)
        return register.keep.cmd_name
    TclCommand("::f", tcl=tcl).createcommand(func)
    return "::f"


@pytest.mark.keeps_references("tkinter keeps the exception a Python command raised")
@pytest.mark.parametrize("how", ["view", "temporary", "createcommand"])
def test_callable_exception_becomes_the_tcl_error(how, own_tcl):
    tcl = own_tcl

    def func(*words):
        raise KeyError("zz")

    name = register(how, tcl, func)
    assert tcl.tk.eval(f"list [catch {{{name} a}} msg opts] $msg [dict get $opts -errorcode]") == \
        "1 {KeyError: 'zz'} {PYTHON KeyError}"
    for route in (lambda: TclCommand(name, tcl=tcl)("a"), lambda: getattr(tcl.jiv, name)("a")):
        with pytest.raises(TclError) as info:
            route()
        exc = info.value
        assert "KeyError: 'zz'" in str(exc) and exc.errorcode == ("PYTHON", "KeyError")
        assert type(exc.__cause__) is KeyError and exc.__cause__.args == ("zz",)
        assert exc.__cause__.__traceback__ is not None


@pytest.mark.keeps_references("tkinter keeps the exception a Python command raised")
@pytest.mark.parametrize("how", ["view", "temporary", "createcommand"])
def test_callable_relaying_a_tcl_error_passes_it_unchanged(how, own_tcl):
    tcl = own_tcl

    def func():
        TclCommand("::nosuch", tcl=tcl)()

    name = register(how, tcl, func)
    assert tcl.tk.eval(f"list [catch {name} msg opts] $msg [dict get $opts -errorcode]") == \
        '1 {invalid command name "::nosuch"} {TCL LOOKUP COMMAND ::nosuch}'
    with pytest.raises(TclError) as info:
        TclCommand(name, tcl=tcl)()
    assert str(info.value) == 'invalid command name "::nosuch"' and info.value.__cause__ is None


@pytest.mark.keeps_references("tkinter keeps the exception a Python command raised")
def test_cause_survives_a_relay_through_two_callables(own_tcl):
    tcl = own_tcl
    ns = TclNamespace("::", tcl=tcl)

    def inner():
        raise ValueError("deep")

    def outer():
        TclCommand("::inner", tcl=tcl)()

    ns.cmds["inner"] = inner
    ns.cmds["outer"] = outer
    with pytest.raises(TclError) as info:
        TclCommand("::outer", tcl=tcl)()
    assert info.value.errorcode == ("PYTHON", "ValueError")
    assert type(info.value.__cause__) is ValueError and info.value.__cause__.args == ("deep",)
