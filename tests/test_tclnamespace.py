"""brelt.tcl.namespace: the module frame, the name functions of
TclNamespace, and namespace handles and temporary namespaces, against a real
Tcl interpreter."""

import _tkinter
import sys
import tkinter
import types
import weakref
from collections.abc import MutableMapping
from tkinter import TclError

import pytest
from hypothesis import example, given, settings, strategies as st

import brelt.tcl
from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclNamespace, TclVariable, TempTclNamespace

ns_module = sys.modules["brelt.tcl.namespace"]

quotify_module = sys.modules["brelt.tcl.quotify"]

# ---------------------------------------------------------------------------
# The module frame

def test_export_list_and_docstring():
    existing = ("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable", "TclCommand",
                "TempTclCommand", "TclNamespace", "TempTclNamespace")
    assert ns_module.__all__ == existing and type(ns_module.__all__) is tuple
    star = {}
    exec("from brelt.tcl.namespace import *", star)
    assert sorted(k for k in star if k != "__builtins__") == sorted(existing)
    doc = ns_module.__doc__
    assert doc.startswith("Implements:\n") and all(f"\n    {name}\n" in doc for name in existing)
    assert "Description:\n    This file implements abstraction of Tcl namespaces, variables and commands" in doc

def test_module_bindings_in_order():
    names = [n for n in vars(ns_module) if not n.startswith("__") or n == "__all__"]
    assert names == ["MutableMapping", "quotify", "tclobj", "TclError", "MethodType", "weakref", "sys",
                     "functools", "__all__", *ns_module.__all__, "TclKeyError"]
    assert ns_module.MutableMapping is MutableMapping
    assert ns_module.quotify is quotify_module.quotify and ns_module.tclobj is quotify_module.tclobj
    assert ns_module.TclError is tkinter.TclError and ns_module.MethodType is types.MethodType
    assert ns_module.weakref is weakref and ns_module.sys is sys
    assert not any(value is brelt.tcl for value in vars(ns_module).values())

# ---------------------------------------------------------------------------
# Names

@pytest.mark.parametrize("name, parts", [
    ("::a::b", ["", "a", "b"]), ("a::b", ["a", "b"]), ("::", [""]), ("", []), ("a::::b", ["a", "b"]),
    ("::a::::b::", ["", "a", "b"]), ("a", ["a"]), ("::::", [""]), (None, []), ("a b::[c]", ["a b", "[c]"]),
])
def test_split(name, parts):
    assert TclNamespace.split(name) == parts

@pytest.mark.parametrize("name", ["a:::b", ":::a", "a:", ":a", "a:b", "::a::b:", "a::b:::"])
def test_invalid_names(name):
    for func in (TclNamespace.split, TclNamespace.normalize):
        with pytest.raises(ValueError) as info:
            func(name)
        assert str(info.value) == f"Invalid Tcl namespace '{name}'"
    # join names the whole joined text
    with pytest.raises(ValueError) as info:
        TclNamespace.join("::ns", name)
    joined = name if name.startswith("::") else f"::ns::{name}"
    assert str(info.value) == f"Invalid Tcl namespace '{joined}'"

@pytest.mark.parametrize("name, normal", [
    ("::a::::b::", "::a::b"), ("a::b", "a::b"), ("::", ""), ("", ""), ("::a", "::a"), ("a::", "a"),
])
def test_normalize(name, normal):
    assert TclNamespace.normalize(name) == normal

@pytest.mark.parametrize("args, joined", [
    (("::app", "x"), "::app::x"), (("::app", "::g"), "::g"), (("", "x"), "x"), (("::", "x"), "::x"),
    (("::",), ""), (("a", "", "b"), "a::b"), (("::", "::"), ""), (("a", "b", "::c", "d"), "::c::d"),
    (("", "", "x"), "x"), (("a:", ":b"), "a::b"), ((None, "x"), "x"), (("::app", ["x y", "z"]), "::app::{x y} z"),
])
def test_join(args, joined):
    assert TclNamespace.join(*args) == joined

def test_join_keyword_and_errors():
    assert TclNamespace.join(string="::a") == "::a"
    with pytest.raises(TypeError):
        TclNamespace.join()
    with pytest.raises(TypeError):
        TclNamespace.join("a", other="b")

@pytest.mark.parametrize("name, qualifiers, tail", [
    ("::a::b", "::a", "b"), ("a::b", "a", "b"), ("::a", "", "a"), ("a", "", "a"), ("a::", "a", ""),
    ("a:::b", "a", "b"), ("::", "", ""), ("", "", ""), ("a::::b", "a", "b"),
])
def test_qualifiers_and_tail(name, qualifiers, tail):
    assert TclNamespace.qualifiers(name) == qualifiers
    assert TclNamespace.tail(name) == tail

def test_name_functions_convert_with_quotify_and_work_on_handles():
    handle = TclVariable("::app::x", tcl=Interpreter())
    assert TclNamespace.tail(handle) == "x" and TclNamespace.qualifiers(handle) == "::app"
    assert TclNamespace.join(handle, "y") == "::app::x::y"
    assert TclNamespace.split(True) == ["true"]

def split_reference(string):
    parts = [p for p in string.split("::") if p]
    if any(":" in p for p in parts):
        raise ValueError(f"Invalid Tcl namespace '{string}'")
    return [""] + parts if string.startswith("::") else parts

def join_reference(string, *args):
    for arg in args:
        if not string or arg.startswith("::"):
            string = arg
        elif arg:
            string = string + "::" + arg
    return "::".join(split_reference(string))

def outcome(func, *args):
    try:
        return func(*args)
    except ValueError as exc:
        return ("ValueError", str(exc))

names = st.text(alphabet=st.sampled_from(":::ab é€😀"), max_size=14)

@given(names)
def test_split_and_normalize_follow_the_rules(name):
    assert outcome(TclNamespace.split, name) == outcome(split_reference, name)
    expected = outcome(lambda n: "::".join(split_reference(n)), name)
    got = outcome(TclNamespace.normalize, name)
    assert got == expected
    if isinstance(got, str):
        assert type(got) is str and TclNamespace.normalize(got) == got

@given(names, st.lists(names, max_size=4))
def test_join_follows_the_rules(first, rest):
    assert outcome(TclNamespace.join, first, *rest) == outcome(join_reference, first, *rest)

def test_join_of_long_names():
    long = "n" * 700
    assert TclNamespace.join("::" + long, long) == f"::{long}::{long}"
    assert TclNamespace.join("::é", "€", "😀") == "::é::€::😀"

# ---------------------------------------------------------------------------
# TclNamespace

@pytest.mark.parametrize("operation, sent, result", [
    (lambda n: n.call("set", "x", 1), [(("namespace", "eval", "::app", ("set", "x", 1)),)], 1),
    (lambda n: n.call(("set", "x", "a b")), [(("namespace", "eval", "::app", ("set", "x", "a b")),)], "a b"),
    (lambda n: n.eval("set x {a b}"), [("<eval>", "namespace eval ::app {set x {a b}}")], "a b"),
    (lambda n: n.eval("set", "x", "[c]"), [("<eval>", "namespace eval ::app {set x {[c]}}")], "[c]"),
    (lambda n: n.children(), [(("namespace", "eval", "::app", ("namespace", "children")),)], ["::app::kid"]),
    (lambda n: n.children(None), [(("namespace", "eval", "::app", ("namespace", "children")),)], ["::app::kid"]),
    (lambda n: n.children(""), [(("namespace", "eval", "::app", ("namespace", "children", "::app", "")),)], []),
    (lambda n: n.children("k*"), [(("namespace", "eval", "::app", ("namespace", "children", "::app", "k*")),)],
     ["::app::kid"]),
    (lambda n: n.code("s"), [(("namespace", "eval", "::app", ("namespace", "code", "s")),)],
     ("::namespace", "inscope", "::app", "s")),
    (lambda n: n.current(), [(("namespace", "current"),)], "::"),
    (lambda n: n.create(), [("<eval>", "namespace eval ::app {}")], None),
    (lambda n: n.exists(), [(("namespace", "exists", "::app"),)], True),
    (lambda n: n.export(), [(("namespace", "eval", "::app", ("namespace", "export")),)], []),
    (lambda n: n.export("p*", clear=True),
     [(("namespace", "eval", "::app", ("namespace", "export", "-clear", "p*")),)], None),
    (lambda n: n.forget("::x::*"), [(("namespace", "eval", "::app", ("namespace", "forget", "::x::*")),)], None),
    (lambda n: n.import_("::x::*", force=True),
     [(("namespace", "eval", "::app", ("namespace", "import", "-force", "::x::*")),)], None),
    (lambda n: n.origin("p"), [(("namespace", "eval", "::app", ("namespace", "origin", "p")),)], "::app::p"),
    (lambda n: n.parent(), [(("namespace", "parent", "::app"),)], "::"),
    (lambda n: n.parent(force_eval=True), [], "::"),
    (lambda n: n.which("x", command=True, variable=True),
     [(("namespace", "eval", "::app", ("namespace", "which", "-command", "-variable", "x")),)], TclError),
    (lambda n: n.which("v", variable=True),
     [(("namespace", "eval", "::app", ("namespace", "which", "-variable", "v")),)], "::app::v"),
    (lambda n: n.which("p", command=True),
     [(("namespace", "eval", "::app", ("namespace", "which", "-command", "p")),)], "::app::p"),
    (lambda n: n.delete(), [(("namespace", "delete", "::app"),)], None),
    (lambda n: (n.is_absolute(), n.is_relative(), n.absolute(), str(n)), [], (True, False, "::app", "::app")),
])
def test_namespace_requests(recorded, app, operation, sent, result, kind):
    recorded.tk.eval("namespace eval ::app::kid {}; namespace eval ::x { proc y {} {}; namespace export y }")
    n = kind(TclNamespace)("::app", tcl=recorded)
    recorded.tk.eval("set ::app::v 1")
    recorded.tk.take()
    if result is TclError:  # Tcl's own answer to the words
        with pytest.raises(TclError):
            operation(n)
    else:
        answer = operation(n)
        if isinstance(answer, tuple):  # Tcl 9 keeps a namespace word typed
            answer = tuple(str(w) if isinstance(w, _tkinter.Tcl_Obj) else w for w in answer)
        assert answer == result
    assert recorded.tk.take() == sent

def test_namespace_with_an_empty_name(recorded):
    n = TclNamespace(None, tcl=recorded)
    assert n.ns == "" and n.is_absolute() == "" and n.is_relative() == "" and n.absolute() == ""
    recorded.tk.take()
    with pytest.raises(ValueError, match="Cannot create current namespace"):
        n.create()
    assert recorded.tk.take() == []
    assert n.eval("set y 1") == "1" and n.call("set", "y") == "1" and recorded.vars["y"] == "1"
    assert recorded.tk.take()[:2] == [("<eval>", "set y 1"), (("set", "y"),)]  # no namespace eval
    assert n.children("::app*") == [] and TclNamespace("rel", tcl=recorded).children() == []
    with pytest.raises(TclError):
        n.call("set y 1")  # one word: a command of that whole name
    assert n.exists() and n.parent() == ""
    assert recorded.tk.take()[-2:] == [(("namespace", "exists", "::"),), (("namespace", "parent"),)]
    rel = TclNamespace("app", tcl=recorded)
    assert rel.is_relative() and rel.absolute() == "::app"
    rel.make_absolute()
    assert rel.ns == "::app"

@settings(max_examples=150, deadline=None)
# Runs of colons and single colons: Tcl reads two or more as a separator and
# a single one as part of a name, names that normalize() refuses included.
@given(st.sampled_from(["::", ":::"]), st.lists(st.sampled_from(["a", "b", ":", "::", ":::", "x:", ":y"]), max_size=6))
@example("::", ["a", "::", "::", "b", "::"])
def test_parent_from_the_name_agrees_with_tcl(lead, parts):
    tcl = Interpreter()
    name = lead + "".join(parts)
    tcl.tk.call("namespace", "eval", name, "")
    n = TclNamespace(name, tcl=tcl)
    assert n.parent(force_eval=True) == n.parent()

# ---------------------------------------------------------------------------
# Temporary namespaces

def test_temporary_namespace_exists_inside_its_block(tcl):
    with TempTclNamespace(tcl=tcl) as n:
        assert n.ns == f"::__brelt__TempTclNamespace_{id(n)}_tmp" and n.exists()
        n.vars["x"] = 1
    assert not n.exists()
    with pytest.raises(RuntimeError):
        with n:
            raise RuntimeError
    assert not n.exists()
    other = TempTclNamespace(tcl=tcl)
    assert not other.exists()  # nothing is created before the block
    del other
    with pytest.raises(ValueError):
        with TempTclNamespace(ns="", tcl=tcl):
            pytest.fail("the block runs only after create()")
