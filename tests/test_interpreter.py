"""The package layer: Interpreter, its casts and variables, the default
interpreter, and the sibling helpers AttrDict and get_time."""

import datetime
import gc
import subprocess
import sys
import threading
import tkinter
import weakref
from _tkinter import Tcl_Obj
from collections.abc import Mapping, MutableMapping

import pytest
from hypothesis import given, settings, strategies as st

import brelt.tcl
from brelt.datastructures import AttrDict
from brelt.tcl import Interpreter, TclError, cast_list
from brelt.tcl.history import History
from brelt.tcl.jiv import Jiv
from brelt.tcl.namespace import TclNamespace
from brelt.utils.utils import get_time
from support import assert_no_leak


def test_interpreter_parts(tcl):
    assert isinstance(tcl.root, tkinter.Tk) and tcl.tk is tcl.root.tk
    assert isinstance(tcl.history, History) and tcl.history.__history__.maxlen == 9999
    assert isinstance(tcl.jiv, Jiv) and isinstance(tcl.vars, MutableMapping)
    assert tcl.tk.call("set", "x", 5) == 5


def test_interpreter_arguments():
    root = tkinter.Tcl()
    tcl = Interpreter(root, max_history=None)
    assert tcl.root is root and tcl.tk is root.tk and tcl.history.__history__.maxlen is None
    assert Interpreter(max_history=3).history.__history__.maxlen == 3
    assert Interpreter().tk is not Interpreter().tk  # each has its own Tcl interpreter


@pytest.mark.parametrize("root", ["x", 1, object(), tkinter.Tcl().tk], ids=["str", "int", "object", "tkapp"])
def test_root_of_another_type_says_what_it_must_be(root):
    with pytest.raises(TypeError, match=r"root must be a tkinter\.Tk .* not (str|int|object|tkapp)$"):
        Interpreter(root)


@pytest.mark.parametrize("cls", ["TclVariable", "TclArrayVariable", "TempTclVariable"])
@pytest.mark.parametrize(
    ("tcl", "says"),
    [
        (tkinter.Tcl().tk, r"not a Tcl application object \(_tkinter\.tkapp\): pass the Interpreter whose tk it is"),
        ([1], r"not list$"),
    ],
    ids=["tkapp", "list"],
)
def test_handle_interpreter_of_another_type_says_what_it_must_be(cls, tcl, says):
    with pytest.raises(TypeError, match=r"^tcl must be an Interpreter \(or the package brelt\.tcl\), " + says):
        getattr(brelt.tcl, cls)("v", tcl=tcl)


def test_weak_references_do_not_keep_it():
    tcl = Interpreter()
    ref, proxy = weakref.ref(tcl), weakref.proxy(tcl)
    variables = tcl.vars
    del tcl
    assert ref() is None  # nothing it owns refers back to it strongly
    with pytest.raises(ReferenceError):
        proxy.tk
    with pytest.raises(ReferenceError):
        variables["x"]


# ---------------------------------------------------------------------------
# Casts


@pytest.mark.parametrize("value", [True, 1, -3, 2.5, "1", "yes", "YES", "on", "true", "t", "y", "tru", b"1"])
def test_cast_boolean_true(tcl, value):
    assert tcl.cast_boolean(value) is True


@pytest.mark.parametrize("value", [False, 0, 0.0, "0", "no", "off", "of", "false", "FALSE", "f", "n", b"no"])
def test_cast_boolean_false(tcl, value):
    assert tcl.cast_boolean(value) is False


@pytest.mark.parametrize("value", ["maybe", "", "o", None, "1 2", "2.5", " 1 ", ["a", "b"]])
def test_cast_boolean_refuses(tcl, value):
    with pytest.raises(TclError, match="expected boolean value"):
        tcl.cast_boolean(value)
    with pytest.raises(TclError):
        tcl.cast_boolean(float("nan"))


def test_cast_boolean_of_results(tcl):
    assert tcl.cast_boolean(tcl.tk.call("info", "exists", "tcl_version")) is True
    assert tcl.cast_boolean(tcl.tk.call("string", "is", "integer", "x")) is False
    assert tcl.cast_boolean(tcl.tk.call("expr", "0.5")) is True  # a Tcl double
    assert tcl.tk.call("expr", "0.5 ? 1 : 0") == 1  # which Tcl takes as true too
    with pytest.raises(TclError):
        tcl.cast_boolean(tcl.tk.call("dict", "create", "a", "b"))  # a Tcl object that is no boolean


@pytest.mark.parametrize(
    "value, expected",
    [
        ('a {b c} "d e" f\\ g', ["a", "b c", "d e", "f g"]),
        ("", []),
        (("a", 1), ["a", 1]),
        (["x"], ["x"]),
        (b"a \xe9", ["a", "\xe9"]),
        (None, []),
        (5, [5]),
    ],
)
def test_cast_list(tcl, value, expected):
    assert cast_list(value) == expected
    assert tcl.cast_list(value) == expected
    assert type(cast_list(value)) is list


def test_cast_list_of_results(tcl):
    assert cast_list(tcl.tk.call("dict", "create", "k", "v w")) == ["k", "v w"]
    assert cast_list(tcl.tk.call("list", "a", "b c")) == ["a", "b c"]
    with pytest.raises(TclError):
        cast_list("{unbalanced")
    elements = cast_list(tcl.tk.call("list", "a", "b"))
    assert elements[1:] == ["b"] and elements[-1] == "b"  # indexable and sliceable


def test_cast_array(tcl):
    tcl.tk.eval("array set a {k1 v1 {k 2} {v 2}}")
    assert tcl.cast_array(tcl.tk.call("array", "get", "a")) == {"k1": "v1", "k 2": "v 2"}
    assert tcl.cast_array(tcl.tk.eval("array get a")) == {"k1": "v1", "k 2": "v 2"}
    assert tcl.cast_array(("a", 1, "b", 2)) == {"a": 1, "b": 2}
    assert tcl.cast_array("") == {} and tcl.cast_array({"x": "y"}) == {"x": "y"}
    with pytest.raises(ValueError):
        tcl.cast_array("a b c")


def test_cast_any(tcl):
    for plain in ("text", 5, 2.5, True, b"\x00\xff", ()):
        assert tcl.cast_any(plain) is plain
    obj = tcl.tk.call("dict", "create", "k", "v")
    assert type(obj) is Tcl_Obj
    assert tcl.cast_any(obj) == "k v" and type(tcl.cast_any(obj)) is str
    nested = tcl.tk.eval("list a") and tcl.tk.call("list", "a", obj, ("b", obj))
    assert tcl.cast_any(nested) == ("a", "k v", ("b", "k v"))


# ---------------------------------------------------------------------------
# Variables


def test_vars_mapping(tcl):
    v = tcl.vars
    v["x"] = 5
    v["::y"] = ["a", "b c"]
    v["arr(k)"] = "e"
    assert v["x"] == "5" and v["::x"] == "5" and v["y"] == "a {b c}" and v["arr(k)"] == "e"
    assert "x" in v and "::y" in v and "missing" not in v
    assert {"x", "y", "arr", "tcl_version"} <= set(v) and len(v) == len(list(v))
    assert all(type(name) is str for name in v)
    del v["x"]
    assert "x" not in v
    for missing in ("x", "arr(nope)"):
        with pytest.raises(KeyError) as info:
            v[missing]
        assert isinstance(info.value.args[0], TclError) and info.value.__cause__ is info.value.args[0]
    with pytest.raises(KeyError):
        del v["x"]
    # The namespace view's get() has no default: it reads, as the handle does.
    with pytest.raises(TclError):
        v.get("x")
    assert v.pop("x", "default") == "default" and v.setdefault("x", "7") == "7" and v["x"] == "7"
    assert type(v) is TclNamespace.VariablesView and v.ns.ns == "::" and v.ns.tcl == tcl


def test_vars_error_info(tcl):
    with pytest.raises(TclError):
        tcl.tk.eval("error boom")
    assert tcl.vars["::errorInfo"].startswith("boom\n")


def test_vars_are_global_from_a_callback(tcl):
    seen = []
    tcl.tk.createcommand("peek", lambda: seen.append((tcl.vars["x"], "local" in tcl.vars)))
    try:
        tcl.tk.eval("set x global; proc p {} { set x local; set local 1; peek }; p")
    finally:
        tcl.tk.deletecommand("peek")  # else Tcl keeps the callback, and it the interpreter
    assert seen == [("global", False)]


# ---------------------------------------------------------------------------
# Threads


def test_other_thread_gets_clear_errors(tcl):
    # Refused by brelt.tcl itself, on every Tcl: tkinter no longer refuses
    # such calls on Tcl 9.
    from brelt.tcl.internal import GetListFromAny
    from brelt.tcl.namespace import TclArrayVariable, TclVariable

    x = TclVariable("x", tcl=tcl)
    arr = TclArrayVariable("arr", tcl=tcl)
    tcl.vars["x"] = "mine"
    ops = {
        "jiv": lambda: tcl.jiv.set("x", 1),
        "vars_get": lambda: tcl.vars["tcl_version"],
        "vars_set": lambda: tcl.vars.__setitem__("x", 1),
        "vars_del": lambda: tcl.vars.__delitem__("x"),
        "vars_in": lambda: "x" in tcl.vars,
        "vars_iter": lambda: list(tcl.vars),
        "vars_len": lambda: len(tcl.vars),
        "bool": lambda: tcl.cast_boolean("yes"),
        "handle_get": x.get,
        "handle_set": lambda: x.set(1),
        "handle_exists": x.exists,
        "array_set": lambda: arr.__setitem__("k", 1),
        "list_errors": lambda: GetListFromAny("{", tcl.root),
    }
    outcomes = {}

    def worker():
        for name, op in ops.items():
            try:
                outcomes[name] = op()
            except Exception as exc:  # noqa: BLE001 - the test looks at what arrives
                outcomes[name] = exc

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(30)
    assert not thread.is_alive()
    assert {name: type(outcome) for name, outcome in outcomes.items()} == dict.fromkeys(ops, RuntimeError)
    assert tcl.vars["x"] == "mine" and not tcl.cast_boolean(tcl.jiv.info("exists", "arr"))  # nothing ran
    assert tcl.jiv.set("x", 2) == "2"  # the owner is unaffected


@pytest.mark.keeps_references("an interpreter dropped by another thread is kept for good")
def test_interpreter_made_in_a_thread_belongs_to_it():
    made = {}

    def worker():
        made["tcl"] = Interpreter()
        made["value"] = made["tcl"].jiv.set("x", 1)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(30)
    assert made["value"] == "1"
    with pytest.raises(RuntimeError):
        made["tcl"].jiv.set("x")
    with pytest.raises(RuntimeError):
        made["tcl"].vars["x"]
    # Dropping it here must not let Tcl delete it from the wrong thread,
    # which would abort the process.
    alive = weakref.ref(made.pop("tcl"))
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "script",
    [
        # The default interpreter, first used by a worker thread.
        "import brelt.tcl as tcl\n"
        "run(lambda: tcl.tk.eval('set x 1'))",
        # An interpreter made by a worker, still referenced at exit.
        "from brelt.tcl import Interpreter\n"
        "kept = []\n"
        "run(lambda: kept.append(Interpreter()))",
        # ... from a reference cycle, and from an attribute of another module.
        "import brelt, brelt.tcl as tcl\n"
        "def make():\n"
        "    cycle = [tcl.Interpreter()]\n"
        "    cycle.append(cycle)\n"
        "    brelt.kept = cycle\n"
        "run(make)",
    ],
    ids=["default", "list", "cycle"],
)
def test_interpreter_of_a_worker_thread_alive_at_exit(script):
    # Ended by the main thread at exit, where nothing can be imported any
    # more: Tcl must not see it deleted by the wrong thread (an abort).
    prelude = "import threading\ndef run(f):\n    t = threading.Thread(target=f); t.start(); t.join()\n"
    result = subprocess.run([sys.executable, "-c", prelude + script + "\nprint('ok')"],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


# ---------------------------------------------------------------------------
# The package as the default interpreter


@pytest.mark.keeps_references("the default interpreter's history grows")
def test_default_interpreter():
    default = brelt.tcl._default()
    assert isinstance(default, Interpreter)
    assert brelt.tcl.tk is default.tk and brelt.tcl.root is default.root
    assert brelt.tcl.history is default.history and brelt.tcl.jiv is default.jiv
    assert brelt.tcl.vars is default.vars
    assert brelt.tcl.cast_boolean("yes") is True and brelt.tcl.cast_any(3) == 3
    assert brelt.tcl.cast_array(("a", "b")) == {"a": "b"}
    assert brelt.tcl.jiv.set("from_default", "v") == "v" and brelt.tcl.vars["from_default"] == "v"
    assert brelt.tcl.history.filter(count=1)[0].api == "set from_default v"


def test_package_names():
    import importlib

    assert importlib.import_module("brelt.tcl.history").History is History  # the submodule itself
    assert isinstance(brelt.tcl.history, History)  # the package attribute: the default's history
    assert brelt.tcl.TclError is tkinter.TclError and brelt.tcl.quotify([1, "a b"]) == "1 {a b}"
    assert {"Interpreter", "cast_list", "quotify", "tclobj", "NestMap", "TclVariable"} <= set(brelt.tcl.__all__)
    assert {"tk", "jiv", "history", "vars", "root", "NestMap"} <= set(dir(brelt.tcl))
    with pytest.raises(AttributeError):
        brelt.tcl.no_such_name


def test_help_texts():
    import pydoc

    text = pydoc.render_doc(Interpreter, renderer=pydoc.plaintext)
    assert "cast_boolean" in text and "thread" in text
    for name in ("cast_boolean", "cast_list", "cast_array", "cast_any"):
        assert getattr(Interpreter, name).__doc__


# ---------------------------------------------------------------------------
# Sibling packages


def test_attrdict():
    d = AttrDict()
    assert isinstance(d, dict) and d == {}
    d.name = "x"
    d["size"] = 3
    assert d["name"] == "x" and d.size == 3 and d == {"name": "x", "size": 3}
    del d.name
    assert "name" not in d
    with pytest.raises(AttributeError):
        d.missing
    assert d.keys is not None and callable(d.keys)  # dict's own names stay methods
    assert type(d.copy()) is AttrDict and d.copy() == d


def test_get_time():
    before = datetime.datetime.now()
    now = get_time()
    assert type(now) is datetime.datetime and before <= now <= datetime.datetime.now()
    assert now.strftime("%Y")


def test_no_leaks(tcl):
    obj = tcl.tk.call("dict", "create", "k", "v")
    nested = tcl.tk.call("list", "a", obj, ("b", obj))

    def work():
        tcl.cast_any(nested)
        tcl.cast_boolean("yes")
        tcl.vars["x"] = "1"
        tcl.vars["x"]

    assert_no_leak(work, allowance=1000)


# ---------------------------------------------------------------------------
# The casts against their definitions written in Python


def _reference_item(value):
    if type(value) is Tcl_Obj:
        return str(value)
    if type(value) is tuple:
        return tuple([_reference_item(item) for item in value])
    return value


def _reference_cast_list(value):
    if type(value) in (tuple, list):
        return [_reference_item(item) for item in value]
    if type(value) is bytes:
        value = value.decode("latin-1")
    from brelt.tcl.internal import GetListFromAny

    return list(GetListFromAny(value))


def _reference_cast_boolean(tcl, value):
    cls = type(value)
    if cls is bool:
        return value
    if cls is int:
        return value != 0
    if cls is float:
        if value != value:
            raise TclError("floating point value is Not a Number")
        return value != 0.0
    if cls is bytes:
        value = value.decode("latin-1")
    elif cls is not str and cls is not Tcl_Obj:
        value = brelt.tcl.quotify(value)
    return tcl.tk.getboolean(value)


def _reference_cast_array(value):
    if isinstance(value, Mapping):
        return dict(value)
    items = _reference_cast_list(value)
    if len(items) % 2:
        raise ValueError(f"not a list of name/value pairs ({len(items)} elements): {brelt.tcl.quotify(items)!r}")
    return dict(zip(items[0::2], items[1::2]))


def _outcome(func, *args):
    """What a call returns, with its type, or the type and text of its error."""
    try:
        result = func(*args)
    except Exception as exc:  # noqa: BLE001 - the error is the outcome compared
        return "raises", type(exc), str(exc)
    return "returns", type(result), result


class _IntSub(int):
    pass


class _StrSub(str):
    pass


_SHARED_TCL = None


def _raw_values():
    """Raw results as tkinter hands them back, and what callers pass instead."""
    tk = _SHARED_TCL.tk
    words = st.sampled_from(["a", "b c", "", "{", "yes", "off", "0", "1.5", "k v", "\\", "é"])
    tcl_obj = st.tuples(words, words).map(lambda kv: tk.call("dict", "create", *kv))
    numbers = st.one_of(st.integers(), st.floats(), st.booleans(), st.integers(-3, 3).map(_IntSub))
    texts = st.one_of(words, st.text(max_size=8), st.binary(max_size=6), words.map(_StrSub))
    leaf = st.one_of(numbers, texts, tcl_obj, st.none())
    nested = st.recursive(leaf, lambda inner: st.lists(inner, max_size=4).map(tuple), max_leaves=12)
    return st.one_of(
        leaf,
        nested,
        st.lists(nested, max_size=6),
        st.dictionaries(words, words, max_size=3),
        st.frozensets(words, max_size=3),
    )


@given(data=st.data())
@settings(max_examples=300, deadline=None)
def test_casts_agree_with_their_python_definitions(data):
    global _SHARED_TCL
    if _SHARED_TCL is None:
        _SHARED_TCL = Interpreter()
    tcl = _SHARED_TCL
    value = data.draw(_raw_values())
    assert _outcome(tcl.cast_any, value) == _outcome(_reference_item, value)
    assert _outcome(cast_list, value) == _outcome(_reference_cast_list, value)
    assert _outcome(tcl.cast_array, value) == _outcome(_reference_cast_array, value)
    assert _outcome(tcl.cast_boolean, value) == _outcome(_reference_cast_boolean, tcl, value)
