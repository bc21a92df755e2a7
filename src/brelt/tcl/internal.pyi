"""Access to some internals of Tcl's C code: the Tcl library loaded with
ctypes, mirrors of its object structures, list parsing with its own
scanner, and Tcl's dictionary-order string comparison."""

import ctypes
import tkinter
from collections.abc import Callable, Sequence as Sequence, Set as Set
from typing import Any, ClassVar, NoReturn, TypeVar

unicode = str

_P = TypeVar("_P", bound=ctypes._SimpleCData[Any] | ctypes._Pointer[Any])

class ReturnCodes:
    TCL_OK: ClassVar[int]
    TCL_ERROR: ClassVar[int]
    TCL_RETURN: ClassVar[int]
    TCL_BREAK: ClassVar[int]
    TCL_CONTINUE: ClassVar[int]

TclDLL: ctypes.CDLL
lib: str

def _ptr_add(ptr: _P, count: int) -> _P: ...
def _ptr_sub(ptr: _P, count: int) -> _P: ...
def _ptr_diff(ptr1: Any, ptr2: Any) -> int: ...
def TclError_from_interp(
    interp: Tcl_Interp_p | tkinter.Tk | None | Any, default_msg: str | None = None
) -> NoReturn: ...

class Tcl_Interp_p(ctypes.c_void_p):
    @classmethod
    def from_param(cls, interp: Tcl_Interp_p | tkinter.Tk | None) -> Tcl_Interp_p: ...

Tcl_WideInt = ctypes.c_longlong
# The library's size type: ctypes.c_int on Tcl 8, ctypes.c_ssize_t on Tcl 9.
Tcl_Size: type[ctypes._SimpleCData[int]]  # c_int on Tcl 8, c_ssize_t on Tcl 9

class Tcl_ObjType(ctypes.Structure):
    name: bytes | None
    freeIntRepProc: int | None
    dupIntRepProc: int | None
    updateStringProc: int | None
    setFromAnyProc: int | None
    # Tcl 9 only:
    version: int
    lengthProc: int | None
    indexProc: int | None
    sliceProc: int | None
    reverseProc: int | None
    getElementsProc: int | None
    setElementProc: int | None
    replaceProc: int | None
    inOperProc: int | None

class Tcl_Obj(ctypes.Structure):
    class u_internalRep(ctypes.Union):
        class s_twoPtrValue(ctypes.Structure):
            ptr1: int | None
            ptr2: int | None

        longValue: int
        doubleValue: float
        otherValuePtr: int | None
        wideValue: int
        twoPtrValue: Tcl_Obj.u_internalRep.s_twoPtrValue

    refCount: int
    bytes: bytes | None
    length: int
    typePtr: ctypes._Pointer[Tcl_ObjType]
    internalRep: Tcl_Obj.u_internalRep

def _c_char_p_from_obj(obj: object) -> ctypes.c_char_p: ...
def GetListFromAny(obj: object, interp: Tcl_Interp_p | tkinter.Tk | None = None) -> tuple[Any, ...]: ...
def DictionaryCompare(left: object, right: object) -> int: ...

# The package's casts (brelt.tcl binds them on its Interpreter).
def cast_any(self: object, value: Any) -> Any: ...
def cast_boolean(self: object, value: Any) -> bool: ...
def cast_array(self: object, value: Any) -> dict[Any, Any]: ...
def cast_list(value: Any) -> list[Any]: ...

# The threads of threaded interpreters (brelt.tcl._threads).
def _current_thread() -> int: ...
def _post(thread: int, callable: Callable[[], object]) -> None: ...
def _finalize_thread() -> None: ...
def _attach_error_details(interp: object, error: BaseException) -> NoReturn: ...
def _new_channel(thread: int, closed_error: type[BaseException]) -> object: ...
def _close_channel(channel: object) -> int: ...
def _remote_call(channel: object, interp_ref: object, method: Callable[..., Any], *args: Any) -> Any: ...
