"""brelt.tcl.namespace: the views of a namespace (variables, objects,
commands, procedures), against a real Tcl interpreter."""

import gc
import sys
import weakref
from tkinter import TclError

import pytest
from hypothesis import given, settings, strategies as st

import brelt.tcl.namespace
from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

SETUP = r"""
namespace eval ::app {
    variable v 1; variable arr; array set arr {k 1}; proc p {} {}; namespace eval inner {variable w 2}
    variable declared_only
}
upvar #0 ::no_such_var ::link_to_nothing
namespace eval {::a*b} {variable x 3; proc q {} {}}
namespace eval {::a[1]} {variable y 4}
proc ::globalproc {} {}
set ::globalvar 1
set {::g:h} 1; set {::} 1
namespace eval ::app {variable {a:b} 1; variable {x:} 1; variable {:y} 1; proc {c:d} {} {}; proc {e:} {} {}}
proc ::app:: {} {}
"""

NAMESPACES = {
    "::": None,
    "::app": ({"v", "arr"}, {"p"}),
    "app": ({"v", "arr"}, {"p"}),
    "::app::inner": ({"w"}, set()),
    "::a*b": ({"x"}, {"q"}),
    "::a[1]": ({"y"}, set()),
}

# ---------------------------------------------------------------------------
# What the views contain

@pytest.mark.parametrize("name", list(NAMESPACES))
@pytest.mark.parametrize("view", ["vars", "objs", "cmds", "procs"])
def test_views_yield_only_their_own_names(name, view):
    tcl = Interpreter()
    tcl.tk.eval(SETUP)
    v = getattr(TclNamespace(name, tcl=tcl), view)
    names = list(v)
    assert all(n in v for n in names)
    assert len(v) == len(names) == len(set(names))
    expected = NAMESPACES[name]
    if expected is None:
        assert ("globalvar" in names) == (view in ("vars", "objs"))
        assert ("globalproc" in names) == (view in ("cmds", "procs"))
    else:
        own_vars, own_procs = expected
        if view in ("vars", "objs"):
            assert set(names) == own_vars
        elif view == "procs":
            assert set(names) == own_procs
        else:
            assert own_procs <= set(names) and "set" not in names and "globalproc" not in names

# ---------------------------------------------------------------------------
# Variables and commands through the views

def test_variable_views(app):
    app.vars["x"] = 5
    app.tcl.tk.eval("set ::g global; set ::app::arr(k) v")
    assert app.vars["x"] == "5" and app.objs["x"] == 5 and "x" in app.vars
    assert app.vars["::g"] == "global" and app.vars["arr(k)"] == "v" and app.objs.get("arr", array_index="k") == "v"
    app.tcl.tk.eval("namespace eval ::app::sub {}")
    app.vars["sub::y"] = 1
    assert app.tcl.tk.getvar("::app::sub::y") == 1 and app.vars.byref("sub::y").var_name == "::app::sub::y"
    assert app.vars.byref("x").var_name == "::app::x" and type(app.vars.byref("x")) is TclVariable
    assert app.vars.byref("a", "k").var_name == "::app::a(k)" and app.vars.byref("a", cast=int).cast is int
    arr = app.vars.array_byref("arr")
    assert type(arr) is TclArrayVariable and arr.var_name == "::app::arr" and dict(arr) == {"k": "v"}
    assert app.vars.array_get("arr") == {"k": "v"} and app.vars.array_names("arr") == ["k"]
    assert app.vars.is_array("arr") and not app.vars.is_array("x") and app.vars.exists("arr", "k")
    app.vars.array_set("arr", {"j": 1})
    app.objs.set("arr", [1, 2], array_index="j")
    assert app.objs.get("arr", array_index="j") == (1, 2) and app.vars.array_get("arr", "j") == {"j": "1 2"}
    assert app.objs.array_get("arr") == app.vars.byref("arr").array_get_obj()
    app.vars.array_unset("arr", "k")
    assert app.vars.array_names("arr") == ["j"]
    app.vars.set("arr", 2, array_index="j")
    app.vars.unset("arr", array_index="j")
    assert app.vars.unset("missing", nocomplain=True) is None
    with pytest.raises(TypeError):
        app.vars.byref("x", tcl=app.tcl)
    with pytest.raises(TypeError):
        app.vars.array_byref("x", var_type=TclVariable)

@pytest.mark.parametrize("view, method, action, call", [
    ("vars", "get", lambda v: v["x"], ("x",)),
    ("objs", "get", lambda v: v["x"], ("x",)),
    ("vars", "set", lambda v: v.__setitem__("x", 2), ("x", 2)),
    ("vars", "unset", lambda v: v.__delitem__("x"), ("x",)),
    ("objs", "exists", lambda v: "x" in v, ("x",)),
    ("vars", "byref", lambda v: v["x"], ("x",)),
    ("objs", "byref", lambda v: v.get("x"), ("x",)),
    ("vars", "byref", lambda v: v.set("x", 2), ("x",)),
    ("objs", "byref", lambda v: v.unset("x"), ("x",)),
    ("vars", "byref", lambda v: "x" in v, ("x",)),
])
@pytest.mark.parametrize("where", ["instance", "class"])
def test_variable_views_use_replaced_methods(app, view, method, action, call, where, monkeypatch):
    app.vars["x"] = 1
    v = getattr(app, view)
    seen = []
    handle = TclVariable("::app::other", tcl=app.tcl)  # what the replaced byref hands out
    replacement = lambda *args: seen.append(args) or (handle if method == "byref" else "replaced")  # noqa: E731
    if where == "instance":
        setattr(v, method, replacement)
    else:
        monkeypatch.setattr(type(v), method, lambda self, *args: replacement(*args))
    try:
        action(v)
    except (KeyError, TclError):  # ::app::other does not exist
        assert method == "byref"
    assert seen == [call] and app.tcl.tk.getvar("::app::x") == 1

class ReplacedVariable(TclVariable):
    def get_str(self, *args, **kwargs):
        return "replaced"

class ReplacedArray(TclArrayVariable):
    pass

class ReplacedCommand(TclCommand):
    pass

@pytest.mark.parametrize("action, expected", [
    (lambda ns: type(ns.vars.byref("x")), ReplacedVariable),
    (lambda ns: type(ns.objs.array_byref("a")), ReplacedArray),
    (lambda ns: type(ns.cmds["f"]), ReplacedCommand),
    (lambda ns: type(ns.procs.byref("f")), ReplacedCommand),
    (lambda ns: ns.vars["x"], "replaced"),
    (lambda ns: ns.vars.get("x"), "replaced"),
])
def test_views_make_the_handle_classes_the_module_names_now(app, monkeypatch, action, expected):
    app.vars["x"] = 1
    for cls in (ReplacedVariable, ReplacedArray, ReplacedCommand):
        monkeypatch.setattr(brelt.tcl.namespace, cls.__base__.__name__, cls)
    assert action(app) == expected
    monkeypatch.undo()
    assert action(app) != expected

def test_command_views(app):
    app.cmds["f"] = lambda *words: "f:" + " ".join(words)
    assert "f" in app.cmds and "f" not in app.procs and "p" in app.procs and "p" in app.cmds
    h = app.cmds["f"]
    assert type(h) is TclCommand and h.cmd_name == "::app::f" and h.args == () and h("a") == "f:a"
    assert app.cmds["::g"].cmd_name == "::g" and app.procs["missing"].cmd_name == "::app::missing"
    assert app.cmds.get("missing").cmd_name == "::app::missing"  # never KeyError
    assert app.cmds.proc_args("p") == ["a", "b"] and app.cmds.proc_arg_default("p", "b") == "2"
    assert app.cmds.proc_body("p") == " return $a-$b " and app.cmds.origin("p") == "::app::p"
    spaced = app.cmds.byref("my f", "x y", {"k": 1}, cast=str)
    assert spaced.cmd_name == "{::app::my f}" and spaced.args == ("x", "y") and spaced.keywords == {"k": 1}
    assert app.cmds.byref("f", "").cmd_name == "::app::f"
    with pytest.raises(TypeError):
        app.cmds.byref("f", tcl=app.tcl)
    app.cmds.rename("f", "g")
    assert "g" in app.cmds and "f" not in app.cmds
    app.cmds.rename("g", "::g")
    assert app.tcl.tk.call("::g", "x") == "f:x"
    del app.cmds["::g"]
    assert "::g" not in app.cmds
    app.procs["py"] = print  # registers a command, which is not a procedure
    assert "py" not in app.procs and "py" in app.cmds
    app.cmds.delete("py")
    assert "py" not in app.cmds

@pytest.mark.parametrize("view", ["vars", "objs", "cmds", "procs"])
def test_iteration_asks_at_the_first_name_and_len_is_one_request(recorded, app, view, kind):
    v = getattr(kind(TclNamespace)("::app", tcl=recorded), view)
    app.vars["x"] = 1
    recorded.tk.take()
    it = iter(v)
    assert recorded.tk.take() == []
    first = next(it)
    word = {"vars": "vars", "objs": "vars", "cmds": "commands", "procs": "procs"}[view]
    # The namespace's own names only (not the globals it can see), as tails;
    # variables only when they hold a value.
    (((*_, asked),),) = recorded.tk.take()
    assert asked == ("::info", word, "::app::*") or asked[::2] == ("::apply", "::app::*") and word == "vars"
    names = [first, *it]
    expected = [n.rpartition("::")[2] for n in recorded.tk.splitlist(recorded.tk.eval(f"info {word} ::app::*"))]
    assert names == expected and ("p" in names if view in ("cmds", "procs") else "x" in names)
    recorded.tk.take()
    assert len(v) == len(expected) and len(recorded.tk.take()) == 1

@pytest.mark.parametrize("action, error, cause", [
    (lambda n: n.vars["missing"], KeyError, TclError),
    (lambda n: n.objs["missing"], KeyError, TclError),
    (lambda n: n.vars["a:b"], KeyError, ValueError),
    (lambda n: n.vars[""], KeyError, ValueError),
    (lambda n: n.vars["::"], KeyError, ValueError),
    (lambda n: n.cmds.__setitem__("::", print), ValueError, None),
    (lambda n: n.vars.__delitem__("missing"), KeyError, TclError),
    (lambda n: n.cmds.__delitem__("missing"), KeyError, TclError),
    (lambda n: n.cmds.pop("missing", "default"), KeyError, TclError),
    (lambda n: n.vars.get("missing"), TclError, None),
    (lambda n: n.vars.get("a:b"), ValueError, None),
    (lambda n: n.vars.__delitem__("a:b"), ValueError, None),
    (lambda n: n.vars.__setitem__(None, 1), ValueError, None),
    (lambda n: "a:b" in n.vars, ValueError, None),
    (lambda n: n.cmds["a:b"], ValueError, None),
    (lambda n: "a:b" in n.cmds, ValueError, None),
    (lambda n: n.cmds.__delitem__("a:b"), ValueError, None),
    (lambda n: n.cmds.__setitem__("", print), ValueError, None),
    (lambda n: n.cmds.__setitem__("f", "not callable"), TclError if False else TypeError, None),
])
def test_view_errors(app, action, error, cause):
    before = app.tcl.tk.eval("list [info vars ::app::*] [info commands ::app::*] [info commands ::*]")
    with pytest.raises(error) as info:
        action(app)
    if cause is not None:
        (arg,) = info.value.args
        assert type(arg) is cause and info.value.__cause__ is arg and info.value.__suppress_context__
    assert app.tcl.tk.eval("list [info vars ::app::*] [info commands ::app::*] [info commands ::*]") == before

# Keys whose last part is empty: join() drops it, so they would name the
# namespace itself or one of its parts rather than anything in it.
NO_NAME_KEYS = [None, "", "::", "::::", "::app::", "sub::", "::app::sub::", "::app", ":::app"]

KEY_OPERATIONS = {
    "vars[k]": (lambda n, k: n.vars[k], KeyError),
    "objs[k]": (lambda n, k: n.objs[k], KeyError),
    "vars.get": (lambda n, k: n.vars.get(k), ValueError),
    "objs.get": (lambda n, k: n.objs.get(k, array_index="i"), ValueError),
    "vars[k] =": (lambda n, k: n.vars.__setitem__(k, 1), ValueError),
    "objs.set": (lambda n, k: n.objs.set(k, 1), ValueError),
    "del vars[k]": (lambda n, k: n.vars.__delitem__(k), ValueError),
    "vars.unset": (lambda n, k: n.vars.unset(k, nocomplain=True), ValueError),
    "k in vars": (lambda n, k: k in n.vars, ValueError),
    "vars.exists": (lambda n, k: n.objs.exists(k, "i"), ValueError),
    "vars.is_array": (lambda n, k: n.vars.is_array(k), ValueError),
    "vars.array_get": (lambda n, k: n.objs.array_get(k), ValueError),
    "vars.array_set": (lambda n, k: n.vars.array_set(k, {"i": 1}), ValueError),
    "vars.array_unset": (lambda n, k: n.vars.array_unset(k), ValueError),
    "vars.array_names": (lambda n, k: n.vars.array_names(k), ValueError),
    "vars.byref": (lambda n, k: n.vars.byref(k), ValueError),
    "vars.array_byref": (lambda n, k: n.objs.array_byref(k), ValueError),
    "cmds[k]": (lambda n, k: n.cmds[k], ValueError),
    "k in procs": (lambda n, k: k in n.procs, ValueError),
    "procs[k] =": (lambda n, k: n.procs.__setitem__(k, print), ValueError),
    "del cmds[k]": (lambda n, k: n.cmds.__delitem__(k), ValueError),
    "cmds.rename from": (lambda n, k: n.cmds.rename(k, "q"), ValueError),
    "cmds.rename to": (lambda n, k: n.cmds.rename("p", k), ValueError),
    "procs.proc_body": (lambda n, k: n.procs.proc_body(k), ValueError),
}

@pytest.mark.parametrize("key", NO_NAME_KEYS)
@pytest.mark.parametrize("operation", list(KEY_OPERATIONS))
def test_a_key_naming_nothing_in_the_namespace_sends_nothing(recorded, app, key, operation):
    recorded.tk.eval("set ::app 1; namespace eval ::app::sub {variable sub 1}")
    action, error = KEY_OPERATIONS[operation]
    ns = TclNamespace("::app", tcl=recorded)
    recorded.tk.take()
    with pytest.raises(error) as info:
        action(ns, key)
    if error is KeyError:
        (arg,) = info.value.args
        assert type(arg) is ValueError and info.value.__cause__ is arg
    assert recorded.tk.take() == []

def test_mapping_mixins(app):
    assert app.vars.pop("missing", "d") == "d" and app.vars.setdefault("k", "v") == "v"
    assert app.vars.pop("k") == "v" and "k" not in app.vars
    app.vars.update(a=1, b=[2, 3])
    assert app.vars["b"] == "2 3" and app.objs["b"] == (2, 3)
    with pytest.raises(TypeError):
        hash(app.vars)
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView("::app")
    with pytest.raises(AssertionError):
        TclNamespace.CommandsView(None)

def test_the_view_check_is_an_assertion():
    import subprocess

    code = "from brelt.tcl.namespace import TclNamespace as N; print(N.CommandsView('::x').ns)"
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout == "::x\n"  # python -O skips assertions

def test_interpreter_vars_is_the_global_view(tcl):
    v = tcl.vars
    assert type(v) is TclNamespace.VariablesView and v.ns.ns == "::"
    seen = []
    tcl.tk.createcommand("peek", lambda: seen.append(sorted(n for n in v if n in ("g", "local"))))
    tcl.tk.eval("set g 1; proc p {} { set local 1; peek }; p")
    assert seen == [["g"]]  # globals only, even from inside a procedure
    tcl.tk.deletecommand("peek")  # else it keeps the interpreter alive

def test_namespace_and_views_are_collected(tcl):
    ns = TclNamespace("::app", tcl=tcl)
    refs = [weakref.ref(obj) for obj in (ns, ns.vars, ns.objs, ns.cmds, ns.procs)]
    assert [ref().ns for ref in refs[1:]] == [ns] * 4
    del ns
    gc.collect()
    assert all(ref() is None for ref in refs)

# ---------------------------------------------------------------------------
# Awkward names

NAME_CHARS = st.sampled_from(["a", "b", " ", "{", "}", "[", "]", "*", "?", "\\", "$", ";", '"', ":", "\x00",
                              "\u00e9", "\u20ac", "\U0001f600"])

SHARED = {}

def shared_interpreter():
    if "tcl" not in SHARED:
        SHARED["tcl"] = Interpreter()
        SHARED["tcl"].tk.eval("namespace eval ::hyp {}")
    return SHARED["tcl"]

@settings(max_examples=150, deadline=None)
@given(st.lists(NAME_CHARS, min_size=1, max_size=6).map("".join))
def test_any_command_name_is_one_name(name):
    tcl = shared_interpreter()
    ns = TclNamespace("::hyp", tcl=tcl)
    state = tcl.tk.call("info", "commands", "::hyp::*")
    try:
        qualified = TclNamespace.join("::hyp", name)
        if name.endswith("::") or not qualified:  # its last part empty: it names nothing in the namespace
            raise ValueError
    except ValueError:
        for action in (lambda: ns.cmds[name], lambda: ns.cmds.__setitem__(name, print)):
            with pytest.raises(ValueError):
                action()
        assert tcl.tk.call("info", "commands", "::hyp::*") == state
        return
    assert name not in ns.cmds and not ns.cmds[name].exists()
    if "\x00" in name:
        with pytest.raises(ValueError):
            ns.cmds[name] = print
        assert tcl.tk.call("info", "commands", "::hyp::*") == state
        return
    ns.cmds[name] = lambda *words: words
    h = ns.cmds[name]
    try:
        assert h.cmd_name == qualified and name in ns.cmds and h.exists()
        assert h("x y", "{") == ("x y", "{") and h.eval("z") == "z"
    finally:
        del ns.cmds[name]
    assert not h.exists() and tcl.tk.call("info", "commands", "::hyp::*") == state

VAR_CHARS = st.sampled_from(["a", " ", "{", "}", "[", "]", "$", ";", "\\", '"', ":", "\x00", "\u20ac", "\U0001f600"])

@settings(max_examples=100, deadline=None)
@given(st.lists(VAR_CHARS, min_size=1, max_size=6).map("".join),
       st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=5))
def test_any_variable_name_is_one_name(name, value):
    tcl = shared_interpreter()
    ns = TclNamespace("::hyp", tcl=tcl)
    state = tcl.tk.call("info", "vars", "::hyp::*")
    try:
        qualified = TclNamespace.join("::hyp", name)
        valid = bool(qualified) and not name.endswith("::") and "\x00" not in name
    except ValueError:
        valid = False
    if not valid:
        with pytest.raises(ValueError):
            ns.vars[name] = value
        with pytest.raises(KeyError):
            ns.vars[name]
        assert tcl.tk.call("info", "vars", "::hyp::*") == state
        return
    try:
        ns.vars[name] = value
    except TclError as exc:  # a name in a namespace that does not exist
        assert "parent namespace doesn't exist" in str(exc) and qualified.count("::") >= 2
        assert tcl.tk.call("info", "vars", "::hyp::*") == state
        return
    try:
        assert ns.vars[name] == value and name in ns.vars and tcl.tk.getvar(qualified) == value
        assert ns.vars.byref(name).var_name == qualified
    finally:
        del ns.vars[name]
    assert name not in ns.vars and tcl.tk.call("info", "vars", "::hyp::*") == state
