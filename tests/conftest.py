"""Shared fixtures: real Tcl interpreters (never mocks) and a recording tkapp."""

import tkinter

import pytest

import refcheck
import support
from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclNamespace


def pytest_configure(config):
    plugin = refcheck.plugin()  # on a debug build of CPython only
    if plugin is not None:
        config.pluginmanager.register(plugin, "refcheck")


def pytest_collection_modifyitems(config, items):
    # Tests expected to fail stop at their first failing example.
    support.share_fuzz_budget(
        sum(1 for item in items if item.get_closest_marker("fuzz") and not item.get_closest_marker("xfail")))


def _printable(text):
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A worker of pytest-xdist (`-n`) sends its reports as UTF-8, which text
    # with lone surrogates (a failing example of the fuzz tests) cannot be:
    # the worker would crash instead of reporting.
    outcome = yield
    if not hasattr(item.config, "workerinput"):
        return
    report = outcome.get_result()
    if report.longrepr is not None:
        text = str(report.longrepr)
        if _printable(text) != text:
            report.longrepr = _printable(text)
    if hasattr(report, "wasxfail"):
        report.wasxfail = _printable(report.wasxfail)
    report.sections = [(_printable(k), _printable(v)) for k, v in report.sections]


@pytest.fixture(scope="session")
def tk():
    """The Tcl application object of one interpreter shared by a test run."""
    return tkinter.Tcl().tk


class RecordingTk:
    """A real Tcl application object that also records the requests it is
    sent: a call as its arguments, any other request as ("<name>", *args)."""

    def __init__(self, tk):
        self._tk = tk
        self.calls = []

    def call(self, *args):
        self.calls.append(args)
        return self._tk.call(*args)

    def eval(self, script):
        self.calls.append(("<eval>", script))
        return self._tk.eval(script)

    def getvar(self, *args):
        self.calls.append(("<getvar>", *args))
        return self._tk.getvar(*args)

    def setvar(self, *args):
        self.calls.append(("<setvar>", *args))
        return self._tk.setvar(*args)

    def unsetvar(self, *args):
        self.calls.append(("<unsetvar>", *args))
        return self._tk.unsetvar(*args)

    def createcommand(self, name, func):
        self.calls.append(("<createcommand>", name))
        return self._tk.createcommand(name, func)

    def take(self):
        """The calls recorded so far, forgotten by the recorder."""
        calls, self.calls = self.calls, []
        return calls

    def __getattr__(self, name):
        return getattr(self._tk, name)


@pytest.fixture(params=["exact", "subclass"])
def kind(request):
    """The class itself, or a trivial subclass of it: a shortcut taken only
    for the exact class must not change what is sent or raised."""
    if request.param == "exact":
        return lambda cls: cls
    return _subclass


_subclasses = {}


def _subclass(cls):
    # One subclass of each class for the whole run: the package's type
    # caches keep (a bounded number of) the classes they have seen.
    sub = _subclasses.get(cls)
    if sub is None:
        sub = _subclasses[cls] = type("Sub" + cls.__name__, (cls,), {})
    return sub


@pytest.fixture
def tcl():
    """A fresh interpreter of its own."""
    return Interpreter()


@pytest.fixture
def record():
    """record(interp): from then on interp.tk is a RecordingTk (returned),
    until the test ends."""
    swapped = []

    def record(interp):
        swapped.append((interp, interp.tk))
        interp.tk = RecordingTk(interp.tk)
        return interp.tk

    yield record
    for interp, tk in reversed(swapped):
        interp.tk = tk


@pytest.fixture
def recorded(tcl, record):
    """An interpreter whose tk records every call; the recorder is tcl.tk."""
    record(tcl)
    return tcl


@pytest.fixture
def app(tcl):
    """The namespace ::app with a procedure p {a {b 2}}."""
    tcl.tk.eval("namespace eval ::app { proc p {a {b 2}} { return $a-$b } }")
    return TclNamespace("::app", tcl=tcl)
