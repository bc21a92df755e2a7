"""Drive a real Tcl interpreter from Python and exchange values with it.

The package stands for a default interpreter: its attributes root, tk,
history, jiv, vars, cast_boolean, cast_array and cast_any are those of an
Interpreter created at first use."""

import tkinter
from _tkinter import TkappType
from collections.abc import Awaitable, Callable
from concurrent.futures import Future
from typing import Any, ParamSpec, Self, TypeVar

from brelt.tcl.history import History
from brelt.tcl.jiv import Jiv
from brelt.tcl.namespace import (
    TclArrayVariable as TclArrayVariable,
    TclCommand as TclCommand,
    TclInterpreter as TclInterpreter,
    TclKeyError as TclKeyError,
    TclNamespace as TclNamespace,
    TclVariable as TclVariable,
    TempTclArrayVariable as TempTclArrayVariable,
    TempTclCommand as TempTclCommand,
    TempTclNamespace as TempTclNamespace,
    TempTclVariable as TempTclVariable,
)
from brelt.tcl.nestmap import NestMap as NestMap
from brelt.tcl.quotify import quotify as quotify, tclobj as tclobj

TclError = tkinter.TclError
__version__: str

# No __all__ here (the module has one): a stub's __all__ would keep the
# default interpreter's attributes below from counting as the module's own,
# and the package module could not stand for a TclInterpreter (tcl=).

_P = ParamSpec("_P")
_T = TypeVar("_T")

def cast_list(value: Any) -> list[Any]: ...

class _AsyncJiv:
    """Quick calls whose calls return awaitables (``tcl.ajiv``)."""

    def __getattr__(self, name: str) -> _AsyncJiv: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Awaitable[Any]: ...

class Interpreter:
    """One Tcl interpreter, created through tkinter, and the tools around it."""

    root: tkinter.Tk
    tk: TkappType
    history: History
    jiv: Jiv
    vars: TclNamespace.VariablesView
    def __init__(
        self, root: tkinter.Tk | None = None, max_history: int | None = 9999, *, threaded: bool = False
    ) -> None: ...
    def __del__(self) -> None: ...
    @property
    def threaded(self) -> bool: ...
    @property
    def ajiv(self) -> _AsyncJiv: ...
    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]: ...
    async def asubmit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> _T: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def cast_boolean(self, value: Any) -> bool: ...
    @staticmethod
    def cast_list(value: Any) -> list[Any]: ...
    def cast_array(self, value: Any) -> dict[Any, Any]: ...
    def cast_any(self, value: Any) -> Any: ...

# The default interpreter's objects.
root: tkinter.Tk
tk: TkappType
history: History
jiv: Jiv
vars: TclNamespace.VariablesView
cast_boolean: Callable[[Any], bool]
cast_array: Callable[[Any], dict[Any, Any]]
cast_any: Callable[[Any], Any]
