"""Python values to Tcl text (quotify) and to Tcl-ready values (tclobj)."""

import sys as sys
from collections.abc import Iterable
from collections.abc import Mapping as Mapping
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Protocol

from _tkinter import Tcl_Obj as _tkTcl_Obj  # noqa: F401  (a module attribute)

unicode = str
_sysmaxsize: int
_long_type: type[int]

class _Contains(Protocol):
    def __contains__(self, item: object, /) -> bool: ...

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]: ...
def _Tcl_ConvertElement(src: object, flags: _Contains) -> str: ...
def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str: ...

_quotify_from_sequence = _tcl_UpdateStringOfList

def _quotify_from_mapping(obj: Mapping[Any, Any]) -> str: ...

class _QuotifyFunction(Protocol):
    from_sequence: staticmethod[[Iterable[object]], str]
    from_mapping: staticmethod[[Mapping[Any, Any]], str]
    def __call__(self, obj: object) -> Any: ...

class _TclobjFunction(Protocol):
    from_sequence: staticmethod[[Iterable[object]], tuple[Any, ...]]
    from_mapping: staticmethod[[Mapping[Any, Any]], tuple[Any, ...]]
    def __call__(self, obj: object) -> Any: ...

# quotify() returns a str, or whatever an object's __quotify__() returns.
quotify: _QuotifyFunction

def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]: ...
def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> tuple[Any, ...]: ...

# tclobj() returns a Tcl-ready value (str, bytes, bool, float, int, Tcl_Obj, or a
# tuple of such, nested), or whatever __tclobj__() returns.
tclobj: _TclobjFunction
