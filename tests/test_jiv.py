"""The quick-call proxy, against a real Tcl interpreter."""

import gc

import pytest
from tkinter import TclError

from brelt.tcl import Interpreter
from brelt.tcl.jiv import Jiv, Jiv_Code


def test_quick_call_sends_words_and_casts(recorded):
    assert recorded.jiv.set("x", 1) == "1"  # the word sent is the text "1"
    assert recorded.tk.calls == [("set", "x", "1")]
    assert recorded.tk.getvar("x") == "1"


def test_options_follow_positionals_in_order(recorded):
    recorded.tk.eval("proc p {args} { return $args }")
    recorded.tk.calls.clear()
    result = recorded.jiv.p("a b", 2, zed="z", alpha=None, cast_=False)
    assert recorded.tk.calls == [("p", "a b", "2", "-zed", "z", "-alpha", "")]
    assert result == "{a b} 2 -zed z -alpha {}"


def test_error_carries_tcl_stack_trace(tcl):
    tcl.tk.eval("namespace eval ns { proc inner {} { error boom }; proc outer {} { inner } }")
    with pytest.raises(TclError) as info:
        tcl.jiv.ns.outer()
    trace = info.value.args[0]
    assert trace.startswith("boom")
    assert '(procedure "inner" line 1)' in trace and '(procedure "ns::outer" line 1)' in trace
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    assert tcl.history.filter(count=1)[0].api == "ns::outer"


def test_dead_interpreter_raises_reference_error():
    tcl = Interpreter()
    path = tcl.jiv.set
    jiv = tcl.jiv
    del tcl
    gc.collect()
    with pytest.raises(ReferenceError):
        path("x", 1)
    with pytest.raises(ReferenceError):
        jiv.tcl.tk


def test_classes_and_texts(tcl):
    assert isinstance(tcl.jiv, Jiv)
    code = tcl.jiv.ns_a.procname
    assert isinstance(code, Jiv_Code) and code.cmd == ["ns_a", "procname"]
    assert str(code) == repr(code) == "<tcl.Jiv magic, referring Tcl code ::ns_a::procname>"
    with pytest.raises(TclError, match='^invalid command name ""$'):
        tcl.jiv()
