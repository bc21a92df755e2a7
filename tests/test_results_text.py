"""Results do not depend on the Tcl release: no request of the package hands
over a _tkinter.Tcl_Obj where Tcl 8.6 gives str (Tcl 9 answers some
requests with objects of types tkinter does not convert, such as namespace
names). Run on every Tcl build (make test-tcl)."""

import _tkinter

import pytest

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable


def tcl_objs(value):
    if type(value) is _tkinter.Tcl_Obj:
        return [value]
    if isinstance(value, (tuple, list)):
        return [o for item in value for o in tcl_objs(item)]
    if isinstance(value, dict):
        return [o for pair in value.items() for o in tcl_objs(pair)]
    return []


SETUP = """
namespace eval ::app {
    variable v 1
    variable arr; array set arr {a 1 b 2}
    proc p {a {b 2}} {return $a}
    namespace export p
    namespace eval child {}
}
namespace eval ::other {namespace import ::app::p}
"""

REQUESTS = {
    "namespace code": lambda ns: ns.code("set x"),
    "namespace current": lambda ns: ns.current(),
    "namespace parent": lambda ns: ns.parent(),
    "namespace parent eval": lambda ns: ns.parent(force_eval=True),
    "namespace children": lambda ns: ns.children(),
    "namespace children pattern": lambda ns: ns.children("c*"),
    "namespace export": lambda ns: ns.export(),
    "namespace origin": lambda ns: TclNamespace("::other", tcl=ns.tcl).origin("p"),
    "namespace which": lambda ns: ns.which("p", command=True),
    "namespace which variable": lambda ns: ns.which("v", variable=True),
    "namespace call": lambda ns: ns.call("namespace", "current"),
    "namespace eval": lambda ns: ns.eval("namespace current"),
    "namespace absolute": lambda ns: ns.absolute(),
    "vars": lambda ns: (list(ns.vars), ns.vars["v"]),
    "cmds": lambda ns: list(ns.cmds),
    "procs": lambda ns: list(ns.procs),
    "command origin": lambda ns: TclCommand("::other::p", tcl=ns.tcl).origin(),
    "command proc_args": lambda ns: TclCommand("::app::p", tcl=ns.tcl).proc_args(),
    "command proc_body": lambda ns: TclCommand("::app::p", tcl=ns.tcl).proc_body(),
    "command proc_arg_default": lambda ns: TclCommand("::app::p", tcl=ns.tcl).proc_arg_default("b"),
    "command absolute": lambda ns: TclCommand("p", tcl=ns.tcl).absolute(),
    "command call": lambda ns: TclCommand("namespace current", tcl=ns.tcl)(),
    "variable get": lambda ns: TclVariable("::app::v", tcl=ns.tcl).get(),
    "variable absolute": lambda ns: TclVariable("v", tcl=ns.tcl).absolute(),
    "array": lambda ns: (TclArrayVariable("::app::arr", tcl=ns.tcl).array_get(),
                         list(TclArrayVariable("::app::arr", tcl=ns.tcl)),
                         TclArrayVariable("::app::arr", tcl=ns.tcl).array_names()),
    "jiv": lambda ns: ns.tcl.jiv.set("::app::v"),
}


@pytest.mark.parametrize("name", list(REQUESTS))
def test_results_hold_no_tcl_objects(name):
    tcl = Interpreter()
    tcl.tk.eval(SETUP)
    ns = TclNamespace("::app", tcl=tcl)
    assert tcl_objs(REQUESTS[name](ns)) == []
