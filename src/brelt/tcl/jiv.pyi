"""Quick calls of Tcl commands as attribute paths of an interpreter:
tcl.jiv.ns_a.ns_b.procname('arguments', arg_a='value')."""

import weakref as weakref
from tkinter import TclError as TclError
from typing import Any, NoReturn

from brelt.tcl.namespace import TclInterpreter
from brelt.tcl.quotify import quotify as quotify

# A TclError raised by a quick call also carries, as instance attributes,
# errorinfo: str (Tcl's stack trace, ::errorInfo; also its message) and
# errorcode: tuple[str, ...] (the words of ::errorCode, such as
# ('POSIX', 'ENOENT', 'no such file or directory')). Read them with
# getattr(exc, 'errorcode', ()) where a TclError may come from elsewhere.

class Jiv:
    """Magic quick-call methods for Tcl interpreters."""

    tcl: TclInterpreter  # weakref.proxy of the interpreter
    def __init__(self, tcl: TclInterpreter) -> None: ...
    def __getattr__(self, name: str) -> Jiv_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> NoReturn: ...

class Jiv_Code:
    """Jiv_Code class: one command path, run in Tcl when called."""

    tcl: TclInterpreter
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: TclInterpreter) -> None: ...
    def __getattr__(self, name: str) -> Jiv_Code: ...
    def __call__(self, /, *args: Any, cast_: object = True, **kwargs: Any) -> Any: ...
