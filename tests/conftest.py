"""Shared fixtures: real Tcl interpreters (never mocks) and a recording tkapp."""

import tkinter

import pytest

import refcheck
import support
from brelt.tcl import Interpreter


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
    """A real Tcl application object that also records what it is sent."""

    def __init__(self, tk):
        self._tk = tk
        self.calls = []

    def call(self, *args):
        self.calls.append(args)
        return self._tk.call(*args)

    def eval(self, script):
        self.calls.append(("<eval>", script))
        return self._tk.eval(script)

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
def recorded(tcl):
    """An interpreter whose tk records every call; the recorder is tcl.tk."""
    tcl.tk = RecordingTk(tcl.tk)
    return tcl
