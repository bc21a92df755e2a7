"""What every extension module shares: its state is seen by the collector."""

import gc
import importlib

import pytest


# One object per module that only the module's state holds.
@pytest.mark.parametrize(
    "module, held",
    [
        ("brelt.tcl.quotify", "BRACES_UNMATCHED"),
        ("brelt.tcl.jiv", "::errorInfo"),
        ("brelt.tcl.history", "TclHistory is enabled."),
        ("brelt.tcl.namespace", "::__brelt__{cls}_{id}_tmp"),
        ("brelt.tcl.nestmap", "keyedList"),
    ],
)
def test_module_state_is_traversed(module, held):
    mod = importlib.import_module(module)
    assert held in gc.get_referents(mod)
