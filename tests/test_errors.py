"""Tcl's own account of a failure: errorinfo and errorcode on every TclError
that a quick call or a command handle raises."""

from tkinter import TclError

import pytest
from hypothesis import example, given, settings, strategies as st

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclCommand, TempTclCommand

SCRIPT = """
proc inner {} {return -code error -errorcode {MY CODE x} msg}
proc outer {} {inner}
proc traced {} {return -code error -errorinfo {own trace} msg}
"""

def via_jiv(tcl, *words):
    return getattr(tcl.jiv, words[0])(*words[1:])

def via_call(tcl, *words):
    return TclCommand((words[0],), tcl=tcl)(*words[1:])


def via_eval(tcl, *words):
    return TclCommand((words[0],), tcl=tcl).eval(*words[1:])


class SubCommand(TclCommand):
    pass


def via_subclass_call(tcl, *words):
    return SubCommand((words[0],), tcl=tcl)(*words[1:])


def via_subclass_eval(tcl, *words):
    return SubCommand((words[0],), tcl=tcl).eval(*words[1:])


COMMAND_ROUTES = [via_call, via_eval, via_subclass_call, via_subclass_eval]
ROUTES = [via_jiv, *COMMAND_ROUTES]

@pytest.fixture
def tcl():
    interp = Interpreter()
    interp.tk.eval(SCRIPT)
    return interp

def failure(route, tcl, *words):
    with pytest.raises(TclError) as info:
        route(tcl, *words)
    return info.value

@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "words, code, message, frames",
    [
        (("outer",), ("MY", "CODE", "x"), "msg", ['"inner"', '(procedure "outer" line 1)', '"outer"']),
        (
            ("open", "/nonexistent"),
            ("POSIX", "ENOENT", "no such file or directory"),
            "couldn't open",
            ['"open /nonexistent"'],
        ),
        (("error", "plain"), ("NONE",), "plain", ['"error plain"']),
        (("error", "m", "", "A {b c} {} d\\\\e"), ("A", "b c", "", "d\\e"), "m", []),
        # Code that gives its own trace: the trace is that, not the message.
        (("error", "m", "own trace"), ("NONE",), "own trace", []),
        (("traced",), ("NONE",), "own trace", ['"traced"']),
    ],
)
def test_details(route, tcl, words, code, message, frames):
    exc = failure(route, tcl, *words)
    assert type(exc) is TclError
    assert exc.errorcode == code
    assert exc.errorinfo == tcl.vars["::errorInfo"] and exc.errorinfo.startswith(message)
    for frame in frames:
        assert frame in exc.errorinfo

@pytest.mark.parametrize("route", ROUTES)
def test_each_failure_has_its_own_details(route, tcl):
    first = failure(route, tcl, "open", "/nonexistent")
    second = failure(route, tcl, "outer")
    assert first.errorcode[0] == "POSIX" and second.errorcode == ("MY", "CODE", "x")
    assert "open" in first.errorinfo and "open" not in second.errorinfo

@settings(max_examples=30, deadline=None)
# NUL included: an error code that holds one still gives the TclError.
@given(st.lists(st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)))
@example(["CUSTOM", "a\x00b"])
def test_errorcode_words_round_trip(words):
    tcl = Interpreter()
    # A script (eval) cannot hold NUL: tkinter refuses it before Tcl runs.
    for route in ROUTES if not any("\x00" in w for w in words) else [via_jiv, via_call, via_subclass_call]:
        exc = failure(route, tcl, "error", "m", "", tuple(words))
        assert exc.errorcode == tuple(words)

def test_quick_call_message_is_the_trace(tcl):
    exc = failure(via_jiv, tcl, "outer")
    assert exc.args == (exc.errorinfo,) and str(exc) == exc.errorinfo
    assert exc.__suppress_context__ and exc.__context__.args == ("msg",)

LOCK = "trace add variable {} read {{apply {{args {{lappend ::traced 1; error {{locked}}}}}}}}"

@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name", ["::errorInfo", "::errorCode"])
def test_details_read_no_variable(route, name, tcl):
    # The details are the failure's return options: no variable is read, so
    # a read trace on either neither runs nor hides them.
    tcl.tk.eval(LOCK.format(name))
    exc = failure(route, tcl, "outer")
    assert exc.errorcode == ("MY", "CODE", "x")
    assert exc.errorinfo.startswith("msg\n") and '(procedure "outer" line 1)' in exc.errorinfo
    assert tcl.tk.eval("info exists ::traced") == "0"


class ReadingFails:
    """A real Tcl application whose interpreter address cannot be read."""

    def __init__(self, tk, exc):
        self._tk, self._exc = tk, exc

    def interpaddr(self):
        raise self._exc

    def __getattr__(self, name):
        return getattr(self._tk, name)


@pytest.mark.parametrize("route", ROUTES)
def test_unreadable_details(route, tcl):
    # Tcl's own trouble while reading (or an interpreter gone): the error
    # still leaves, its message standing for the trace it cannot have.
    tcl.tk = ReadingFails(tcl.tk, TclError("unreadable"))
    exc = failure(route, tcl, "outer")
    assert exc.args == ("msg",) and (exc.errorinfo, exc.errorcode) == ("msg", ())


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("error", [MemoryError, KeyError, RuntimeError])
def test_other_failures_of_the_reads_propagate(route, error, tcl):
    tcl.tk = ReadingFails(tcl.tk, error("reading"))
    with pytest.raises(error) as info:
        route(tcl, "outer")
    assert isinstance(info.value.__context__, TclError)


def test_calling_jiv_itself(tcl):
    # Nothing is sent; the details are what Tcl gives for an empty name.
    exc = failure(lambda t: t.jiv(), tcl)
    assert (exc.errorinfo, exc.errorcode) == ('invalid command name ""', ("TCL", "LOOKUP", "COMMAND", ""))
    tcl.tk.eval("catch {{}} m o")
    assert exc.errorcode == tcl.tk.splitlist(tcl.tk.eval("dict get $o -errorcode"))


@pytest.mark.parametrize("route", COMMAND_ROUTES)
def test_command_handle_raises_tcls_own_error(route, tcl):
    exc = failure(route, tcl, "outer")
    assert exc.args == ("msg",) and exc.__context__ is None
    assert exc.errorinfo.startswith("msg\n") and exc.errorcode == ("MY", "CODE", "x")


@pytest.mark.parametrize(
    "method, args, kind",
    [("delete", (), "COMMAND"), ("rename", ("x",), "COMMAND"), ("proc_body", (), "PROCEDURE"),
     ("proc_args", (), "PROCEDURE"), ("proc_arg_default", ("a",), "PROCEDURE")],
)
def test_command_handle_requests(tcl, method, args, kind):
    handle = TclCommand("nosuch", tcl=tcl)
    exc = failure(lambda t: getattr(handle, method)(*args), tcl)
    assert exc.errorcode == ("TCL", "LOOKUP", kind, "nosuch")
    assert exc.errorinfo == tcl.vars["::errorInfo"] and "nosuch" in exc.errorinfo


def test_details_after_a_clean_up_ignored_a_failure(tcl):
    # A temporary command's clean-up ignores its TclError without reading
    # the details; later failures still get them.
    with TempTclCommand(tcl=tcl):
        pass
    assert failure(via_call, tcl, "outer").errorcode == ("MY", "CODE", "x")
