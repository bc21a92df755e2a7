"""The views list only what they contain: every name a view yields is in
that view, for the global namespace and any other."""

import pytest

from brelt.tcl import Interpreter
from brelt.tcl.namespace import TclNamespace

SETUP = r"""
namespace eval ::app {variable v 1; variable arr; array set arr {k 1}; proc p {} {}; namespace eval inner {variable w 2}}
namespace eval {::a*b} {variable x 3; proc q {} {}}
namespace eval {::a[1]} {variable y 4}
proc ::globalproc {} {}
set ::globalvar 1
"""

NAMESPACES = {
    "::": None,
    "::app": ({"v", "arr"}, {"p"}),
    "app": ({"v", "arr"}, {"p"}),
    "::app::inner": ({"w"}, set()),
    "::a*b": ({"x"}, {"q"}),
    "::a[1]": ({"y"}, set()),
}


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
