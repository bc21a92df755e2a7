"""Python values to Tcl text (quotify) and to Tcl-ready values (tclobj)."""

import sys as sys
from _tkinter import Tcl_Obj as _tkTcl_Obj
from collections.abc import Iterable, Mapping as Mapping, Sequence as Sequence, Set as Set
from typing import Any, Protocol, TypeVar, overload

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

_T = TypeVar("_T")
_T_co = TypeVar("_T_co", covariant=True)

class _SupportsQuotify(Protocol[_T_co]):
    def __quotify__(self) -> _T_co: ...

class _SupportsTclobj(Protocol[_T_co]):
    def __tclobj__(self) -> _T_co: ...

class _QuotifyFunction(Protocol):
    from_sequence: staticmethod[[Iterable[object]], str]
    from_mapping: staticmethod[[Mapping[Any, Any]], str]
    # A __quotify__() hook decides the result; every other value becomes Tcl text.
    @overload
    def __call__(self, obj: _SupportsQuotify[_T]) -> _T: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: object) -> str: ...

# A Tcl list: a tuple of Tcl-ready values, nested to any depth.
_TclList = tuple[Any, ...]

class _TclobjFunction(Protocol):
    from_sequence: staticmethod[[Iterable[object]], _TclList]
    from_mapping: staticmethod[[Mapping[Any, Any]], _TclList]
    # A __tclobj__() hook decides the result; otherwise a Tcl-ready value.
    @overload
    def __call__(self, obj: _SupportsTclobj[_T]) -> _T: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: bool) -> bool: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: int) -> int | str: ...  # type: ignore[overload-overlap]  # beyond 64 bits: its decimal text
    @overload
    def __call__(self, obj: float) -> float: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: str) -> str: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: bytes) -> bytes: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: _tkTcl_Obj) -> _tkTcl_Obj: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: None) -> str: ...
    @overload
    def __call__(self, obj: Sequence[object] | Set[object] | Mapping[Any, Any]) -> _TclList: ...  # type: ignore[overload-overlap]
    @overload
    def __call__(self, obj: object) -> str: ...

# quotify(): Tcl text; tclobj(): a value tkinter hands to Tcl as it is.
quotify: _QuotifyFunction

def _tclobj_from_sequence(obj: Iterable[object]) -> _TclList: ...
def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> _TclList: ...

tclobj: _TclobjFunction
