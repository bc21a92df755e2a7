"""The quick-call proxy, against a real Tcl interpreter."""

import inspect
import sys
import threading
import traceback
import weakref
from tkinter import TclError

import pytest
from hypothesis import given, strategies as st

from brelt.tcl import Interpreter, quotify
from brelt.tcl.jiv import Jiv, Jiv_Code
from support import assert_no_leak

jiv_module = sys.modules[Jiv.__module__]


@pytest.fixture
def echo(recorded):
    """An interpreter with the proc `echo`, returning its arguments as a list."""
    recorded.tk.eval("proc echo {args} { return $args }")
    recorded.tk.calls.clear()
    return recorded


# ---------------------------------------------------------------------------
# The module and the classes


def test_module_names():
    names = [n for n in vars(jiv_module) if not n.startswith("__")]
    assert names == ["weakref", "TclError", "quotify", "Jiv", "Jiv_Code"]
    assert jiv_module.TclError is TclError and jiv_module.quotify is quotify
    assert not hasattr(jiv_module, "__all__")


def test_docs_and_signatures():
    assert "quick-call" in Jiv.__doc__ and "cast_" in Jiv.__doc__
    assert "tcl.jiv.set('myVar', 'value')" in Jiv.__doc__
    assert "tcl.jiv.ns_a.ns_b.procname('arguments', arg_a='value')" in Jiv.__doc__
    assert Jiv_Code.__doc__.startswith("Jiv_Code class\n")
    assert str(inspect.signature(Jiv)) == "(tcl)"
    assert str(inspect.signature(Jiv_Code)) == "(*cmd, tcl)"
    assert str(inspect.signature(Jiv_Code.__call__)) == "(self, /, *args, **kwargs)"
    for cls in (Jiv, Jiv_Code):
        assert "__slots__" not in vars(cls)


def test_jiv_holds_interpreter_weakly():
    tcl = Interpreter()
    assert type(tcl.jiv.tcl) is weakref.ProxyType and vars(tcl.jiv) == {"tcl": tcl.jiv.tcl}
    alive = weakref.ref(tcl)
    path, jiv = tcl.jiv.set, tcl.jiv
    del tcl
    assert alive() is None  # neither the proxy nor its paths kept it
    with pytest.raises(ReferenceError):
        path("x", 1)
    with pytest.raises(ReferenceError):
        jiv.tcl.tk
    assert jiv.set.cmd == ["set"]  # building paths needs no interpreter


# ---------------------------------------------------------------------------
# Paths


def test_fresh_path_per_jiv_attribute(tcl):
    a1, a2 = tcl.jiv.a, tcl.jiv.a
    assert a1 is not a2 and a1.cmd == a2.cmd == ["a"]
    assert a1.tcl is tcl.jiv.tcl and vars(a1) == {"tcl": tcl.jiv.tcl, "cmd": ["a"]}


def _keep_object(code, other):
    return code


def _keep_weakref(code, other):
    return weakref.ref(code)


def _keep_dict(code, other):
    return vars(code)


def _keep_path_list(code, other):
    return code.cmd


def _extend_path(code, other):
    code.more


def _own_attribute(code, other):
    code.extra = 1


def _other_tcl(code, other):
    code.tcl = other.jiv.tcl


def _grow_path_list(code, other):
    code.cmd.append("more")


@pytest.mark.parametrize(
    "keep",
    [_keep_object, _keep_weakref, _keep_dict, _keep_path_list, _extend_path, _own_attribute, _other_tcl,
     _grow_path_list],
)
def test_a_path_someone_can_still_see_is_never_handed_out_again(tcl, keep):
    # Jiv may hand out again a Jiv_Code that nobody can reach any more, in
    # the state it made it; never one that someone holds or that changed.
    other = Interpreter()
    for _ in range(3):  # whatever Jiv keeps from earlier accesses
        code = tcl.jiv.set
        held = keep(code, other)
        del code
        fresh = tcl.jiv.set
        assert vars(fresh) == {"tcl": tcl.jiv.tcl, "cmd": ["set"]}
        assert fresh is not held and vars(fresh) is not held and fresh.cmd is not held
        assert not isinstance(held, weakref.ref) or held() is not fresh
        assert fresh("x", 4) == "4" and tcl.history.filter(count=1)[0].api == "set x 4"
        del fresh, held


def test_partial_path_accumulates(recorded):
    recorded.tk.eval("namespace eval ns::a { proc b {} { return b } }")
    p = recorded.jiv.ns
    assert p.a is p
    assert p.b() == "b" and p.cmd == ["ns", "a", "b"]
    assert recorded.tk.calls[-1] == ("ns::a::b",)
    assert p() == "b" and p.cmd == ["ns", "a", "b"]  # calling does not change the path


@pytest.mark.parametrize("name", ["a-b", "_private", "__foo__", "with space"])
def test_any_missing_name_is_a_component(tcl, name):
    assert getattr(tcl.jiv, name).cmd == [name]
    assert getattr(tcl.jiv.x, name).cmd == ["x", name]


def test_own_and_inherited_names_are_not_components(tcl):
    code = tcl.jiv.x
    assert code.tcl is tcl.jiv.tcl and code.cmd == ["x"]
    assert code.__class__ is Jiv_Code and code.__doc__ == Jiv_Code.__doc__
    assert code.__dict__ is vars(code) and callable(code.__str__) and callable(code.__reduce_ex__)
    assert code.cmd == ["x"]
    assert tcl.jiv.__class__ is Jiv and callable(tcl.jiv.__init__)


def test_texts(tcl):
    code = tcl.jiv.ns_a.procname
    assert str(code) == repr(code) == "<tcl.Jiv magic, referring Tcl code ::ns_a::procname>"
    assert str(Jiv_Code(tcl=tcl)) == "<tcl.Jiv magic, referring Tcl code ::>"


# ---------------------------------------------------------------------------
# Calls: the words


def test_set_a_variable(recorded):
    assert recorded.jiv.set("myVar", "value") == "value"
    assert recorded.tk.calls == [("set", "myVar", "value")]
    assert recorded.vars["myVar"] == "value"


def test_words_positionals_then_options(echo):
    echo.jiv.echo("x", 1, [1, "a b"], None, True, opt="y", other=2.5, cast_=False)
    assert echo.tk.calls == [("echo", "x", "1", "1 {a b}", "", "true", "-opt", "y", "-other", "2.5")]
    echo.jiv.echo(zed="z", alpha="a")  # keyword order as given
    assert echo.tk.calls[-1] == ("echo", "-zed", "z", "-alpha", "a")
    assert all(type(w) is str for w in echo.tk.calls[0])


_shared = Interpreter()


@pytest.mark.keeps_references("the shared interpreter's history grows")
@given(st.one_of(st.integers(), st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 0, -1])))
def test_int_words_are_their_str(value):
    words = []
    _shared.tk.createcommand("keep", lambda *args: words.append(args) or "")
    _shared.jiv.keep(value, opt=value)
    assert words == [(str(value), "-opt", str(value))]


def test_words_are_never_reparsed(echo):
    tricky = ["$x", "[exit]", "{", "a\\b", ";", "x y"]
    assert echo.jiv.echo(*tricky) == tuple(tricky)


def test_cast_option(echo):
    assert echo.jiv.echo("a", "b c") == ("a", "b c")
    assert echo.jiv.echo("a", "b c", cast_=False) == "a {b c}"
    for off in (0, None, "", []):
        assert echo.jiv.echo("x", cast_=off) == "x"
    assert echo.jiv.echo("-cast_", "no") == ("-cast_", "no")  # the Tcl option, sent as words
    assert all("cast_" not in w for call in echo.tk.calls for w in call[1:] if w != "-cast_")


def test_caller_keywords_untouched(echo):
    options = {"opt": 1, "cast_": False}
    assert echo.jiv.echo(**options) == "-opt 1"
    assert options == {"opt": 1, "cast_": False}


def test_self_is_an_ordinary_option(echo):
    assert echo.jiv.echo(self="s") == ("-self", "s")


def test_uncast_result_is_tcl_text(tcl):
    assert tcl.jiv.list("a", "b c", cast_=False) == "a {b c}"
    assert tcl.jiv.expr("6*7", cast_=False) == "42"
    assert tcl.jiv.binary("format", "a*", "\xe9x", cast_=False) == "\xe9x"  # a byte array, as Tcl's text
    assert tcl.jiv.dict("create", "k", "v w", cast_=False) == "k {v w}"
    text = tcl.tk.call("set", "s", "plain")
    assert tcl.jiv.set("s", cast_=False) == text


def _replace_in_subclass():
    class Upper(Interpreter):
        def cast_any(self, value):
            return ("cast", value)

    return Upper()


def _replace_on_instance():
    tcl = Interpreter()
    tcl.cast_any = lambda value: ("cast", value)
    return tcl


def _replace_on_class(monkeypatch):
    monkeypatch.setattr(Interpreter, "cast_any", lambda self, value: ("cast", value))
    return Interpreter()


@pytest.mark.parametrize("where", ["subclass", "instance", "class"])
def test_cast_goes_through_cast_any(where, monkeypatch):
    # The package's own cast_any may be done inline; any other is called.
    make = {"subclass": _replace_in_subclass, "instance": _replace_on_instance,
            "class": lambda: _replace_on_class(monkeypatch)}[where]
    tcl = make()
    assert tcl.jiv.expr("6*7") == ("cast", 42)
    assert tcl.jiv.expr("6*7", cast_=False) == "42"


def test_default_cast_gives_python_values(tcl):
    assert tcl.jiv.expr("6*7") == 42
    assert tcl.jiv.dict("create", "k", "v") == "k v"  # a Tcl dict object, as text
    assert tcl.jiv.list("a", [1, 2]) == ("a", "1 2")  # the words sent are text
    nested = tcl.jiv.eval("list a [list 1 [list 2 3]] [dict create k v]")
    assert nested == ("a", ("1", ("2", "3")), "k v")
    assert type(nested[2]) is str


# ---------------------------------------------------------------------------
# Calls: history, errors


def test_history_gets_the_word_list_before_the_call():
    seen = []

    class Spy:
        def append(self, words):
            seen.append((list(words), type(words), tcl.tk.getvar("n")))

    tcl = Interpreter()
    tcl.tk.setvar("n", "before")
    tcl.history = Spy()
    tcl.jiv.set("n", "after")
    assert seen == [(["set", "n", "after"], list, "before")]


def test_failing_call_is_recorded(tcl):
    with pytest.raises(TclError):
        tcl.jiv.no_such_command("a b")
    assert tcl.history.filter(count=1)[0].api == "no_such_command {a b}"


def test_error_carries_tcl_stack_trace(tcl):
    tcl.tk.eval(
        "namespace eval ns { proc inner {x} { error \"boom $x\" }; proc outer {args} { inner [lindex $args 0] } }"
    )
    with pytest.raises(TclError) as info:
        tcl.jiv.ns.outer("deep", opt=1)
    exc = info.value
    trace = exc.args[0]
    assert len(exc.args) == 1 and trace == tcl.vars["::errorInfo"]
    assert trace.startswith("boom deep\n")
    assert '(procedure "inner" line 1)' in trace and '(procedure "ns::outer" line 1)' in trace
    assert '"ns::outer deep -opt 1"' in trace
    assert exc.__cause__ is None and exc.__suppress_context__
    assert isinstance(exc.__context__, TclError) and exc.__context__.args == ("boom deep",)
    assert "During handling" not in "".join(traceback.format_exception(exc))


def test_empty_command(recorded):
    with pytest.raises(TclError) as info:
        Jiv_Code(tcl=recorded)()
    assert info.value.args[0].startswith('invalid command name ""')
    assert recorded.tk.calls[0] == ("",)
    assert recorded.history.filter(count=1)[0].api == ""


def test_calling_jiv_itself(recorded):
    with pytest.raises(TclError) as info:
        recorded.jiv("set", "x", opt=1)
    assert info.value.args == ('invalid command name ""',)
    assert recorded.tk.calls == [] and recorded.history.filter() == []


@pytest.mark.parametrize("change", ["interpreter", "quotify"])
def test_what_a_word_changes_holds_for_the_rest_of_the_call(monkeypatch, tcl, change):
    # A word's own code runs while the words are made, before the rest is
    # read: a path switched to another interpreter, or a replaced quotify,
    # is what the rest of the call uses.
    other = Interpreter()
    code = tcl.jiv.set

    class Switch:
        def __str__(self):
            if change == "interpreter":
                code.tcl = other.jiv.tcl
            else:
                monkeypatch.setattr(jiv_module, "quotify", lambda value: quotify(value).upper())
            return "v"

    assert code(Switch(), "abc") == ("abc" if change == "interpreter" else "ABC")
    target, untouched = (other, tcl) if change == "interpreter" else (tcl, other)
    assert target.tk.call("info", "exists", "v") == 1 and untouched.tk.call("info", "exists", "v") == 0


def test_other_exceptions_pass_unchanged(recorded):
    class Odd:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError):
        recorded.jiv.set("x", Odd())
    assert recorded.tk.calls == [] and recorded.history.filter() == []  # nothing sent or recorded

    def refuse(*words):
        raise KeyboardInterrupt

    recorded.tk.call = refuse
    with pytest.raises(KeyboardInterrupt):
        recorded.jiv.set("x", 1)


def test_error_info_read_failure_propagates(tcl):
    class Unreadable:
        def __init__(self, tk):
            self._tk = tk

        def interpaddr(self):
            raise KeyError("interpaddr")

        def __getattr__(self, name):
            return getattr(self._tk, name)

    tcl.tk = Unreadable(tcl.tk)
    with pytest.raises(KeyError) as info:
        tcl.jiv.error("boom")
    assert isinstance(info.value.__context__, TclError)


def test_error_info_trace_does_not_hide_the_error(tcl):
    # The details are not read from ::errorInfo: a trace on it that fails
    # neither runs nor replaces Tcl's error.
    tcl.tk.eval("trace add variable ::errorInfo read {apply {args {error {errorInfo is locked}}}}")
    with pytest.raises(TclError) as info:
        tcl.jiv.error("boom")
    assert str(info.value).startswith("boom") and "locked" not in str(info.value)


def test_bad_arguments(tcl):
    with pytest.raises(TypeError):
        Jiv_Code("a")
    with pytest.raises(TypeError):
        Jiv()
    with pytest.raises(TypeError):
        Jiv(tcl, tcl)


# ---------------------------------------------------------------------------
# Module attributes, subclasses, threads, leaks


def test_replaced_module_attributes(monkeypatch, recorded):
    words = []

    def loud(value):
        words.append(value)
        return quotify(value).upper()

    class Code(Jiv_Code):
        pass

    monkeypatch.setattr(jiv_module, "quotify", loud)
    monkeypatch.setattr(jiv_module, "Jiv_Code", Code)
    code = recorded.jiv.set
    assert type(code) is Code
    assert code("x", "abc") == "ABC" and words == ["x", "abc"]


def test_subclasses_keep_their_own_methods(tcl):
    class Logged(Jiv_Code):
        def __getattr__(self, name):
            return super().__getattr__(name.lower())

        def __call__(self, *args, **kwargs):
            return ("called", super().__call__(*args, **kwargs))

    code = Logged("SET", tcl=tcl)
    assert code.X.cmd == ["SET", "x"]
    code.cmd = ["set"]
    assert code("v", 5) == ("called", "5")


def test_other_thread_gets_a_clear_error(tcl):
    outcome = []

    def worker():
        try:
            tcl.jiv.set("x", 1)
        except Exception as exc:  # noqa: BLE001 - the test looks at what arrives
            outcome.append(exc)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(30)
    assert not thread.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], RuntimeError)


def test_no_leaks(tcl):
    tcl.history = type(tcl.history)(max_history=5)
    tcl.tk.eval("proc fail {} { error nope }; proc echo {args} { return $args }")
    assert_no_leak(lambda: tcl.jiv.echo("x", "a b", opt=[1, 2]))
    assert_no_leak(lambda: tcl.jiv.list("x", cast_=False))
    assert_no_leak(lambda: pytest.raises(TclError, tcl.jiv.fail))
    assert_no_leak(lambda: str(tcl.jiv.a.b.c))
