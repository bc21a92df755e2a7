"""brelt.tcl.namespace: the variable, array and temporary-variable handles,
against a real Tcl interpreter."""

import gc
import inspect
import sysconfig
import weakref
from collections.abc import Mapping, MutableMapping
from tkinter import TclError

import pytest

import brelt.tcl
from brelt.tcl import Interpreter, quotify
from brelt.tcl.namespace import (
    TclArrayVariable,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclVariable,
)
from support import assert_no_leak

# A name that would run code if it were ever evaluated as a script.
EVIL = "x]; set pwned 1; #"


def pwned(tcl):
    return tcl.tk.call("info", "exists", "pwned")


# ---------------------------------------------------------------------------
# The classes


def test_class_tree():
    assert TclVariable.__bases__ == (object,)
    assert TempTclVariable.__bases__ == (TclVariable,)
    assert TclArrayVariable.__bases__ == (MutableMapping, TclVariable)
    assert TempTclArrayVariable.__bases__ == (TempTclVariable, TclArrayVariable)
    assert TclNamespace.__bases__ == (object,)
    mro = [c.__name__ for c in TempTclArrayVariable.__mro__]
    assert mro == ["TempTclArrayVariable", "TempTclVariable", "TclArrayVariable", "MutableMapping", "Mapping",
                   "Collection", "Sized", "Iterable", "Container", "TclVariable", "object"]
    assert not TclArrayVariable.__abstractmethods__ and not TempTclArrayVariable.__abstractmethods__
    for cls in (TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable, TclNamespace):
        assert cls.__module__ == "brelt.tcl.namespace" and cls.__qualname__ == cls.__name__
    assert "__del__" not in dir(TempTclVariable)


def test_aliases_and_private_marker():
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert TclArrayVariable.get is TclVariable.get_obj and TclArrayVariable.get is not Mapping.get
    marker = TclVariable.__dict__["_TclVariable__marker"]
    assert type(marker) is object
    assert inspect.signature(TclVariable.get_obj).parameters["cast"].default is marker
    for name in ("__eq__", "__hash__"):
        assert name not in TclVariable.__dict__


@pytest.mark.parametrize("cls", [TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable, TclNamespace])
def test_every_method_has_a_signature_and_doc(cls):
    for name, value in vars(cls).items():
        func = value.__func__ if isinstance(value, staticmethod) else value
        if callable(func) and not isinstance(func, type):
            inspect.signature(func)
            assert func.__doc__, name
    assert cls.__doc__


def test_constructor_signatures():
    assert str(inspect.signature(TclVariable)) == "(var_name, array_index=None, tcl=None, cast=None)"
    assert str(inspect.signature(TclArrayVariable)) == "(var_name, tcl=None, cast=None)"
    assert str(inspect.signature(TempTclVariable)) == "(var_name='::__brelt__{cls}_{id}_tmp', **kwargs)"


# ---------------------------------------------------------------------------
# TclVariable


@pytest.mark.parametrize("args, name", [
    (("x",), "x"), (("arr", "k"), "arr(k)"), (("arr", 3), "arr(3)"), (("arr", ""), "arr()"), ((None,), ""),
    (("a b", "c d"), "a b(c d)"), (("arr", None), "arr"), (("arr", True), "arr(true)"),
])
def test_var_name(args, name):
    assert TclVariable(*args, tcl=Interpreter()).var_name == name


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_handle_stands_for_its_name():
    tcl = Interpreter()
    h = TclVariable("::a", tcl=tcl)
    assert TclVariable(h, "k", tcl=tcl).var_name == "::a(k)"
    assert str(h) == "::a" and h.__tclobj__() == "::a"
    assert quotify([h, "b"]) == "::a b" and brelt.tcl.tclobj(h) == "::a"
    assert repr(h) == "TclVariable('::a')" and repr(TclVariable("it's", tcl=tcl)) == 'TclVariable("it\'s")'

    class Mine(TclVariable):
        pass

    assert repr(Mine("x", tcl=tcl)) == "Mine('x')"


def test_interpreter_is_held_weakly_and_defaults_to_the_package():
    tcl = Interpreter()
    v = TclVariable("x", tcl=tcl)
    assert type(v.tcl) is weakref.ProxyType and v.tcl.tk is tcl.tk
    proxy = weakref.proxy(tcl)
    assert TclVariable("x", tcl=proxy).tcl is proxy
    for false in (None, False, 0, ""):
        default = TclVariable("x", tcl=false)
        assert type(default.tcl) is weakref.ProxyType and default.tcl.__name__ == "brelt.tcl"
    with pytest.raises(TypeError):
        TclVariable("x", tcl=[1])  # a list cannot be weakly referenced
    assert set(vars(v)) == {"tcl", "cast", "var_name"}


def test_default_interpreter_works():
    v = TclVariable("::brelt_default_test")
    v.set("on the package")
    assert v.get() == "on the package" and brelt.tcl.tk.getvar("::brelt_default_test") == "on the package"
    v.unset()


def test_handles_made_and_dropped_keep_their_own_interpreter(kind):
    # Each new handle's attributes most likely sit where the last one's did:
    # what a request remembers of one must not serve the next.
    interps = [Interpreter(), Interpreter()]
    for i, tcl in enumerate(interps):
        tcl.tk.setvar("::v", f"in {i}")
    for step in range(60):
        i = step % 2
        assert kind(TclVariable)("::v", tcl=interps[i], cast=None).get_obj() == f"in {i}"


def test_read_write_and_cast():
    tcl = Interpreter()
    v = TclVariable("::n", tcl=tcl, cast=int)
    assert v.set("12") is None
    assert v.get_obj() == 12 and v.get() == 12
    assert v.get_obj(cast=None) == "12" and v.get_obj(cast=False) == "12"
    assert v.get_obj(cast=str) == "12" and v.get_obj(cast=lambda x: [x]) == ["12"]
    assert v.get_obj(cast=TclVariable.__dict__["_TclVariable__marker"]) == 12
    assert v.get_str() == "12"
    v.set([1, [2, "a b"]])
    assert v.get_obj(cast=None) == (1, (2, "a b")) and v.get_str() == "1 {2 {a b}}"
    w = TclVariable("::w", tcl=tcl)
    w.set(v)  # another handle stands for its name
    assert w.get() == "::n"
    with pytest.raises(TclError):
        TclVariable("::missing", tcl=tcl).get()
    with pytest.raises(TclError):
        TclVariable("::missing", tcl=tcl).get_str()


def test_exact_requests(recorded, kind):
    v = kind(TclVariable)("::v", tcl=recorded)
    v.set("val")
    v.get_obj()
    assert recorded.tk.take() == [("<setvar>", "::v", "val"), ("<getvar>", "::v")]
    v.get_str()
    v.exists()
    v.unset()
    v.unset(nocomplain=True)
    assert recorded.tk.take() == [("<eval>", "set ::v"), (("::info", "exists", "::v"),),
                                  ("<unsetvar>", "::v"), ("<unsetvar>", "::v")]
    v.set(1, 2)
    v.get_obj(array_index="2")
    v.get_str(array_index=2)
    v.exists(2)
    v.unset(array_index=2)
    assert recorded.tk.take() == [("<setvar>", "::v", "2", 1), ("<getvar>", "::v", "2"), ("<eval>", "set ::v(2)"),
                                  (("::info", "exists", "::v(2)"),), ("<unsetvar>", "::v", "2")]


def test_exact_array_requests(recorded, kind):
    a = kind(TclVariable)("::a", tcl=recorded)
    a.array_set({"k": "v w"})
    a.array_get_obj()
    a.array_get_obj("k*")
    a.array_get_str("k*")
    a.array_unset("")
    a.array_size()
    a.array_names()
    a.array_names(pattern=5)
    a.is_array()
    a.array_unset()
    assert recorded.tk.take() == [
        (("::array", "set", "::a", ("k", "v w")),),
        (("::array", "get", "::a"),),
        (("::array", "get", "::a", "k*"),),
        ("<eval>", "::array get ::a k*"),
        (("::array", "unset", "::a", ""),),
        (("::array", "size", "::a"),),
        (("::array", "names", "::a"),),
        (("::array", "names", "::a", "5"),),
        (("::array", "exists", "::a"),),
        (("::array", "unset", "::a"),),
    ]


@pytest.mark.parametrize("name", ["a b", "x[y]", "[set pwned 1]", "$pwned", "{open", "close}", "back\\slash",
                                  'qu"ote', "semi;colon", "", EVIL, "tab\there", "new\nline", "é€😀"])
def test_awkward_names_are_only_ever_names(name):
    tcl = Interpreter()
    v = TclVariable(name, tcl=tcl)
    v.set("value")
    assert v.exists() and v.get_str() == "value" and v.get_obj() == "value"
    assert tcl.tk.call("set", name) == "value"
    a = TclVariable(name + "_arr", tcl=tcl)
    a.set("in array", array_index=name)
    assert a.get_str(array_index=name) == "in array" and a.exists(name) and a.is_array()
    assert a.array_get_str() == {name: "in array"} == a.array_get_obj()
    assert a.array_names() == [name] and a.array_size() == 1
    a.unset(array_index=name)
    v.unset()
    assert not v.exists() and not pwned(tcl)


def test_evil_name_through_the_mapping_and_temporary_handles():
    tcl = Interpreter()
    a = TclArrayVariable(EVIL, tcl=tcl)
    a[EVIL] = EVIL
    assert a[EVIL] == EVIL and EVIL in a and list(a) == [EVIL] and dict(a.array_get_str()) == {EVIL: EVIL}
    a.update({EVIL + "2": 1})
    del a[EVIL]
    a.clear()
    with TempTclVariable("::{{" + EVIL + "}}_{id}", tcl=tcl) as t:
        t.set(1)
        assert t.get_str() == "1"
    assert not pwned(tcl)


def test_unset_and_exists():
    tcl = Interpreter()
    v = TclVariable("::u", tcl=tcl)
    with pytest.raises(TclError):
        v.unset()
    assert v.unset(nocomplain=True) is None and v.unset(nocomplain=1) is None
    v.set(1, array_index="k")
    assert v.exists() and v.exists("k") and not v.exists("other") and v.is_array()
    with pytest.raises(TclError):
        v.unset("other")
    v.unset("other", nocomplain=True)
    v.unset(array_index="k")
    assert v.exists() and not v.exists("k") and v.array_size() == 0
    s = TclVariable("::s", tcl=tcl)
    s.set(1)
    with pytest.raises(TclError):
        s.set(2, array_index="k")  # a scalar is no array
    with pytest.raises(TclError):
        s.array_set(["odd"])
    assert not s.is_array()


def test_missing_array_answers_without_error():
    tcl = Interpreter()
    m = TclVariable("::nothing", tcl=tcl)
    assert m.array_size() == 0 and type(m.array_size()) is int
    assert m.array_names() == [] and m.array_get() == {} and m.array_get_str() == {} and not m.is_array()
    assert not m.exists()


def test_array_item_byref():
    tcl = Interpreter()
    a = TclArrayVariable("::a", tcl=tcl, cast=int)
    a["k"] = "5"
    item = a.array_item_byref("k")
    assert type(item) is TclVariable and item.var_name == "::a(k)" and item.cast is None
    assert item.tcl.tk is tcl.tk and item.get() == "5"
    assert a.array_item_byref("k", cast=float).get() == 5.0


def test_absolute_and_make_absolute(recorded):
    v = TclVariable("::x", tcl=recorded)
    assert v.absolute() == "::x" and recorded.tk.take() == []
    r = TclVariable("x", tcl=recorded)
    assert r.absolute() == "::x" and recorded.tk.take() == [("namespace", "current")]
    assert r.var_name == "x"
    r.make_absolute()
    assert r.var_name == "::x" and str(r) == "::x"
    assert TclVariable("a::b", tcl=recorded).absolute() == "::a::b"
    with pytest.raises(ValueError, match="^Invalid Tcl namespace '::::a:b'$"):
        TclVariable("a:b", tcl=recorded).absolute()  # the text joined to "::" is named
    recorded.tk.eval("namespace eval ::app {}")
    assert recorded.tk.eval("namespace eval ::app {namespace current}") == "::app"


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_make_absolute_uses_the_subclass_absolute():
    class Fixed(TclVariable):
        def absolute(self):
            return "::fixed"

    v = Fixed("x", tcl=Interpreter())
    v.make_absolute()
    assert v.var_name == "::fixed"


def test_identity_equality_and_hash():
    tcl = Interpreter()
    a, b = TclVariable("::x", tcl=tcl), TclVariable("::x", tcl=tcl)
    assert a != b and a == a and len({a, b}) == 2


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_subclass_attributes_are_honoured():
    """A subclass may compute the handle's attributes; a class changed after
    use is seen at the next request."""
    tcl = Interpreter()
    tcl.tk.setvar("::one", "1")
    tcl.tk.setvar("::two", "2")

    class Computed(TclVariable):
        @property
        def var_name(self):
            return "::two"

        @var_name.setter
        def var_name(self, value):
            pass

    assert Computed("::one", tcl=tcl).get() == "2"

    class Later(TclVariable):
        pass

    v = Later("::one", tcl=tcl)
    assert v.get() == "1" and v.get() == "1"
    Later.cast = property(lambda self: int)
    assert v.get() == 1
    del Later.cast
    v.cast = float
    assert v.get() == 1.0


def test_other_kinds_of_tk_and_interpreter(recorded):
    """Any object offering the operations serves: here a recording tk, and an
    interpreter whose tk is a property."""
    assert TclVariable("::q", tcl=recorded).set(3) is None and recorded.tk.calls

    class Host:
        def __init__(self):
            self._real = Interpreter()

        @property
        def tk(self):
            return self._real.tk

        def cast_boolean(self, value):
            return bool(int(value))

    host = Host()
    v = TclVariable("::q", tcl=host)
    v.set(4)
    assert v.get() == 4 and v.exists() is True


# ---------------------------------------------------------------------------
# TclArrayVariable


def test_array_as_mapping(recorded, kind):
    a = kind(TclArrayVariable)("::a", tcl=recorded)
    assert isinstance(a, MutableMapping) and repr(a) == f"{type(a).__name__}('::a')"
    assert not a and len(a) == 0 and list(a) == []
    recorded.tk.take()
    a["x"] = 1
    assert recorded.tk.take() == [("<setvar>", "::a", "x", 1)]
    assert "x" in a and "y" not in a
    assert recorded.tk.take() == [(("::info", "exists", "::a(x)"),), (("::info", "exists", "::a(y)"),)]
    assert a["x"] == 1 and recorded.tk.take() == [("<getvar>", "::a", "x")]
    assert len(a) == 1 and recorded.tk.take() == [(("::array", "size", "::a"),)]
    assert list(iter(a)) == ["x"] and recorded.tk.take() == [(("::array", "names", "::a"),)]
    assert a and a == {"x": 1} and a != {"x": 2} and dict(a.items()) == {"x": 1}
    recorded.tk.take()
    del a["x"]
    assert recorded.tk.take() == [("<unsetvar>", "::a", "x")]
    assert a.is_array() and len(a) == 0 and not a
    with pytest.raises(TypeError):
        hash(a)


class Subclassed(TclArrayVariable):
    def get(self, array_index=None, cast=None):
        return super().get(array_index, cast=cast)

    def unset(self, array_index=None, nocomplain=False):
        return super().unset(array_index, nocomplain)


@pytest.mark.parametrize("cls", [TclArrayVariable, Subclassed])
@pytest.mark.parametrize("setup", ["element missing", "no variable", "scalar"])
def test_array_missing_elements_raise_an_error_that_is_both_tcl_error_and_key_error(cls, setup):
    tcl = Interpreter()
    if setup == "element missing":
        tcl.tk.call("array", "set", "::a", ("present", 1))
    elif setup == "scalar":
        tcl.tk.call("set", "::a", "1")
    a = cls("::a", tcl=tcl)
    for operation, raw in [
        (lambda: a["missing"], lambda: tcl.tk.getvar("::a", "missing")),
        (lambda: a.__delitem__("missing"), lambda: tcl.tk.unsetvar("::a", "missing")),
    ]:
        with pytest.raises(TclError) as expected:
            raw()
        with pytest.raises(KeyError) as info:
            operation()
        assert isinstance(info.value, TclError) and str(info.value) == str(expected.value)
        assert info.value.args == expected.value.args
    assert a.pop("missing", "default") == "default"
    with pytest.raises(TclError) as info:
        a.get("missing")  # get is get_obj: a plain TclError
    assert not isinstance(info.value, KeyError)
    if setup != "scalar":
        assert a.setdefault("new", "v") == "v" and a["new"] == "v"
        assert a.pop("new") == "v" and "new" not in a


def test_array_update_is_one_request(recorded, kind):
    a = kind(TclArrayVariable)("::a", tcl=recorded)
    a.update({"k1": "one"}, k2="two")
    assert recorded.tk.take() == [(("::array", "set", "::a", ("k1", "one", "k2", "two")),)]
    assert a == {"k1": "one", "k2": "two"}
    a.update([("k1", "uno")], k1="eins", self="me")
    assert a["k1"] == "eins" and a["self"] == "me"
    b = kind(TclArrayVariable)("::b", tcl=recorded)
    b.update()
    assert b.is_array() and len(b) == 0
    with pytest.raises(TypeError):
        b.update({}, {})
    s = kind(TclVariable)("::scalar", tcl=recorded)
    s.set(1)
    with pytest.raises(TclError):
        kind(TclArrayVariable)("::scalar", tcl=recorded).update(k=1)
    with pytest.raises(TclError):
        kind(TclArrayVariable)("::scalar", tcl=recorded)["k"] = 1


def test_array_clear_removes_the_array(recorded, kind):
    a = kind(TclArrayVariable)("::a", tcl=recorded)
    a.update(a=1, b=2)
    recorded.tk.take()
    a.clear()
    assert recorded.tk.take() == [(("::array", "unset", "::a"),)]
    assert len(a) == 0 and not a.is_array() and not a.exists() and not a


def test_array_integer_keys():
    tcl = Interpreter()
    a = TclArrayVariable("::a", tcl=tcl)
    a[1] = "x"
    assert a["1"] == "x" and 1 in a and a.array_names() == ["1"]
    with pytest.raises(TypeError):
        a[1]  # getvar takes the index as it is, and wants a str
    del a[1]
    assert 1 not in a


def test_array_iteration_asks_at_the_first_name(recorded, kind):
    a = kind(TclArrayVariable)("::a", tcl=recorded)
    a.update(x=1)
    recorded.tk.take()
    it = iter(a)
    assert iter(it) is it and recorded.tk.take() == []
    a["y"] = 2  # after iter(), before the first name: seen
    recorded.tk.take()
    assert sorted(it) == ["x", "y"] and recorded.tk.take() == [(("::array", "names", "::a"),)]
    assert list(it) == [] and recorded.tk.take() == []


def test_array_get_and_cast():
    tcl = Interpreter()
    a = TclArrayVariable("::a", tcl=tcl, cast=int)
    a["k"] = "7"
    assert a["k"] == 7 and a.get(array_index="k") == 7 and a.get("k", cast=None) == "7"
    assert a.array_get() == {"k": "7"} and a.get_str("k") == "7"


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_array_mapping_methods_use_subclass_overrides():
    tcl = Interpreter()
    seen = []

    class Logged(TclArrayVariable):
        def get(self, array_index=None, cast=None):
            seen.append(("get", array_index))
            return super().get(array_index, cast=cast)

        def set(self, value, array_index=None):
            seen.append(("set", array_index, value))
            return super().set(value, array_index)

        def exists(self, array_index=None):
            seen.append(("exists", array_index))
            return super().exists(array_index)

        def unset(self, array_index=None, nocomplain=False):
            seen.append(("unset", array_index))
            return super().unset(array_index, nocomplain)

    a = Logged("::logged", tcl=tcl)
    a["k"] = "v"
    assert a["k"] == "v" and "k" in a
    del a["k"]
    assert seen == [("set", "k", "v"), ("get", "k"), ("exists", "k"), ("unset", "k")]


@pytest.mark.parametrize("where", ["instance", "class", "defining class"])
@pytest.mark.parametrize("cls", [TclArrayVariable, TempTclArrayVariable])
@pytest.mark.parametrize("method, action, call", [
    ("get", lambda a: a["k"], ((), {"array_index": "k"})),
    ("exists", lambda a: "k" in a, ((), {"array_index": "k"})),
    ("set", lambda a: a.__setitem__("k", "w"), (("w",), {"array_index": "k"})),
    ("unset", lambda a: a.__delitem__("k"), ((), {"array_index": "k"})),
])
def test_array_mapping_methods_use_replaced_methods(cls, method, action, call, where, monkeypatch):
    # A method replaced on the instance, its class or a base (as
    # mock.patch.object does) is what the mapping operation calls.
    tcl = Interpreter()
    a = cls("::own", tcl=tcl)
    a["k"] = "v"
    seen = []
    if where == "instance":
        setattr(a, method, lambda *args, **kwargs: seen.append((args, kwargs)) or "replaced")
    else:
        owner = cls if where == "class" else next(c for c in cls.__mro__ if method in vars(c))
        monkeypatch.setattr(owner, method, lambda self, *args, **kwargs: seen.append((args, kwargs)) or "replaced")
    action(a)
    assert seen == [call] and tcl.tk.getvar("::own(k)") == "v"
    a.__dict__.pop(method, None)
    monkeypatch.undo()
    assert a["k"] == "v" and seen == [call]  # the class's own method again


# ---------------------------------------------------------------------------
# Temporary variables


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_temporary_names():
    tcl = Interpreter()
    v = TempTclVariable(tcl=tcl)
    assert v.var_name == f"::__brelt__TempTclVariable_{id(v)}_tmp"
    a = TempTclArrayVariable(tcl=tcl)
    assert a.var_name == f"::__brelt__TempTclArrayVariable_{id(a)}_tmp"
    assert TempTclVariable("::mine", tcl=tcl).var_name == "::mine"
    w = TempTclVariable("::v_{id}", tcl=tcl)
    assert w.var_name == f"::v_{id(w)}"
    assert TempTclVariable("::{{braced}}_{cls}", tcl=tcl).var_name == "::{braced}_TempTclVariable"
    assert TempTclVariable(12, tcl=tcl).var_name == "12"
    with pytest.raises(KeyError):
        TempTclVariable("{x}", tcl=tcl)
    with pytest.raises(IndexError):
        TempTclVariable("{0}", tcl=tcl)
    with pytest.raises(ValueError):
        TempTclVariable("{", tcl=tcl)
    with pytest.raises(TypeError):
        TempTclVariable("::a", "k", tcl=tcl)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k", tcl=tcl)

    class Scratch(TempTclVariable):
        pass

    s = Scratch(tcl=tcl, cast=int)
    assert s.var_name == f"::__brelt__Scratch_{id(s)}_tmp" and s.cast is int
    live = [TempTclVariable(tcl=tcl) for _ in range(5)]
    assert len({t.var_name for t in live}) == 5


def test_with_block_unsets():
    tcl = Interpreter()
    with TempTclVariable(tcl=tcl) as v:
        assert isinstance(v, TempTclVariable) and not v.exists()
        v.set("x")
        assert v.exists()
    assert not v.exists()
    with TempTclVariable(tcl=tcl) as nothing_set:
        pass
    assert not nothing_set.exists()
    v.set("again")  # usable after its block
    assert v.get() == "again"
    v.unset()


def test_with_block_unsets_on_exception():
    tcl = Interpreter()
    with pytest.raises(ZeroDivisionError):
        with TempTclVariable(tcl=tcl) as v:
            v.set(1)
            1 / 0
    assert not v.exists()
    assert v.__exit__(None, None, None) is False


def test_element_handle_unsets_only_its_element():
    tcl = Interpreter()
    e = TempTclVariable(array_index="k", tcl=tcl)
    assert e.var_name == f"::__brelt__TempTclVariable_{id(e)}_tmp(k)"
    whole = TclVariable(e.var_name[: -len("(k)")], tcl=tcl)
    whole.set("keep", array_index="other")
    with e:
        e.set("gone")
        assert sorted(whole.array_names()) == ["k", "other"]
    assert whole.array_names() == ["other"]
    whole.unset()


def test_temporary_array():
    tcl = Interpreter()
    with TempTclArrayVariable(tcl=tcl, cast=int) as a:
        a.update(x="1", y="2")
        assert a["x"] == 1 and dict(a.items()) == {"x": 1, "y": 2} and len(a) == 2
    assert not a.exists() and len(a) == 0


def test_no_finaliser():
    tcl = Interpreter()
    v = TempTclVariable(tcl=tcl)
    name = v.var_name
    v.set("stays")
    del v
    gc.collect()
    assert tcl.tk.getvar(name) == "stays"


class Recorder:
    """A context manager mixed in after the temporary variable."""

    def __enter__(self):
        self.events.append("enter")
        return "from mixin"

    def __exit__(self, *exc):
        self.events.append(("exit", exc[0]))
        return exc[0] is KeyError


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_cooperative_context_managers():
    tcl = Interpreter()

    class Chained(TempTclVariable, Recorder):
        pass

    c = Chained(tcl=tcl)
    c.events = []  # TclVariable.__init__ does not chain to the mixin's __init__
    with c as entered:
        c.set(1)
    assert entered == "from mixin" and not c.exists()
    assert c.events == ["enter", ("exit", None)]
    with c:  # the mixin's true result swallows the exception
        c.set(2)
        raise KeyError("swallowed")
    assert not c.exists() and c.events[-1] == ("exit", KeyError)
    with pytest.raises(ValueError):
        with c:
            raise ValueError


def test_temporary_exit_after_interpreter_is_gone():
    tcl = Interpreter()
    v = TempTclVariable(tcl=tcl)
    del tcl
    gc.collect()
    with pytest.raises(ReferenceError):
        with v:
            pass


# ---------------------------------------------------------------------------
# Life of the interpreter, leaks, recursion


@pytest.mark.parametrize("operation", [
    lambda v: v.get_obj(), lambda v: v.get_str(), lambda v: v.set(1), lambda v: v.unset(nocomplain=True),
    lambda v: v.exists(), lambda v: v.array_get_obj(), lambda v: v.array_get_str(), lambda v: v.array_set({}),
    lambda v: v.array_unset(), lambda v: v.array_size(), lambda v: v.array_names(), lambda v: v.is_array(),
    lambda v: v.absolute(), lambda v: v["k"], lambda v: v.__setitem__("k", 1), lambda v: "k" in v,
    lambda v: len(v), lambda v: list(v), lambda v: v.update(k=1), lambda v: v.clear(),
])
def test_every_operation_raises_reference_error_once_the_interpreter_is_gone(operation):
    tcl = Interpreter()
    ref = weakref.ref(tcl)
    v = TclArrayVariable("rel", tcl=tcl)
    del tcl
    gc.collect()
    assert ref() is None
    with pytest.raises(ReferenceError):
        operation(v)


def test_recursive_name_raises_recursion_error():
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        TclVariable(loop, tcl=Interpreter())


def test_no_reference_leaks():
    tcl = Interpreter()
    v = TclVariable("::leak", tcl=tcl, cast=str)
    a = TclArrayVariable("::leak_arr", tcl=tcl)

    def work():
        v.set("value")
        v.get_obj()
        v.get_str()
        v.exists()
        a["k"] = [1, "two"]
        a["k"]
        "k" in a
        list(a)
        a.update(j=1)
        del a["j"]
        with TempTclArrayVariable(tcl=tcl) as t:
            t["x"] = 1
        TclNamespace.join("::app", "x", "y")
        TclNamespace.normalize("::a::::b")
        try:
            TclNamespace.split("a:b")
        except ValueError:
            pass
        try:
            a["missing"]
        except TclError:
            pass

    # A free-threaded build's allocator holds more blocks for the same work.
    assert_no_leak(work, allowance=400 if sysconfig.get_config_var("Py_GIL_DISABLED") else 200)
