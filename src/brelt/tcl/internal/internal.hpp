// brelt.tcl.internal: module state and what its files share.
#pragma once

#include "capi.hpp"

namespace internal {

using capi::Function;
using capi::Held;
using capi::Ref;

// Opaque: only ever handled through pointers that Tcl gave out.
struct Tcl_Interp;

// The C entry points used. Sizes are an int on Tcl 8 and a Tcl_Size
// (ptrdiff_t) on Tcl 9: the parser is written once for either.
template <class Size>
using FindElementProc = int (*)(Tcl_Interp* interp, const char* list, Size listLength, const char** elementPtr,
                                const char** nextPtr, Size* sizePtr, int* bracePtr);
template <class Size>
using CopyAndCollapseProc = Size (*)(Size count, const char* src, char* dst);
using GetStringResultProc = const char* (*)(Tcl_Interp* interp);
using GetCurrentThreadProc = void* (*)();
struct TclEvent;
using AllocProc = void* (*)(size_t size);  // unsigned int on Tcl 8: the same register
using ThreadQueueEventProc = void (*)(void* thread, TclEvent* event, int position);
using ThreadAlertProc = void (*)(void* thread);
using FinalizeThreadProc = void (*)();

inline constexpr int TCL_OK = 0;

struct State : capi::ModuleStateBase {
    Held Sequence, Set;
    Held Tk, TclError, TkappType;
    Held c_void_p, c_char_p, cast;  // from ctypes
    Held TclDLL;                    // the loaded library (a ctypes.CDLL)
    Held Tcl_Interp_p;
    Held get_string_result;  // TclDLL.Tcl_GetStringResult, as configured
    Held interp_address;     // ctypes function: its Tcl_Interp_p argument's address
    Held s_interpaddr{Held::name, "interpaddr"}, s_value{Held::name, "value"}, s_tk{Held::name, "tk"};
    Held s_invalid_list_element{Held::name, "invalid list element"};

    // The casts: Tcl objects as tkinter hands them back, the mappings that
    // cast_array copies, and what the casts read of the package and the
    // interpreter.
    Held TclObj, Mapping;
    Held s_package{Held::name, "brelt.tcl"}, s_quotify{Held::name, "quotify"};
    Held s_cast_list{Held::name, "cast_list"}, s_thread{Held::name, "_thread"};
    Held s_getboolean{Held::name, "getboolean"};
    Held t_nan{Held::name, "floating point value is Not a Number"};

    // Tcl's major version (8 or 9) and addresses in the library that TclDLL
    // holds; valid while it is loaded, which is for good.
    int tcl_major = 8;
    void* find_element = nullptr;
    void* copy_and_collapse = nullptr;
    GetStringResultProc get_string_result_proc = nullptr;
    GetCurrentThreadProc get_current_thread = nullptr;
    AllocProc tcl_alloc = nullptr;
    void* tcl_free = nullptr;
    ThreadQueueEventProc thread_queue_event = nullptr;
    ThreadAlertProc thread_alert = nullptr;
    FinalizeThreadProc finalize_thread = nullptr;
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// Text of a string that the Tcl library produced (see library.cpp).
Ref decode_tcl_string(const char* s, Py_ssize_t n);

// The Tcl_Interp* that ctypes passes for `interp` as an argument declared
// Tcl_Interp_p, with ctypes' own error when it cannot. An interpreter of
// tkinter's that another thread owns is refused with RuntimeError: Tcl
// must not touch it from here.
bool interp_pointer(State& st, PyObject* interp, Tcl_Interp** out);

// Raises TclError with the interpreter's result, or `default_msg` (a str,
// may be NULL) when there is no interpreter or its result is empty.
std::nullptr_t raise_from_interp(State& st, Tcl_Interp* interp, PyObject* default_msg);

// The elements of any value as GetListFromAny(obj, interp) returns them.
Ref list_from_any(State& st, PyObject* obj, PyObject* interp);

// The module's functions, each a capi::FunctionDef.
extern const capi::FunctionDef kPtrAdd, kPtrSub, kPtrDiff, kTclErrorFromInterp, kFromParam, kCharPFromObj;
extern const capi::FunctionDef kGetListFromAny;
extern const capi::FunctionDef kDictionaryCompare;
extern const capi::FunctionDef kCastAny, kCastBoolean, kCastArray, kCastList;
extern const capi::FunctionDef kCurrentThread, kPost, kFinalizeThread, kAttachErrorDetails, kRemoteCall, kNewChannel,
    kCloseChannel;

// Looks up a Tcl library function by name (ImportError when it is missing).
bool resolve_symbol(State& st, const char* name, void*& out);
template <class Proc>
bool resolve_symbol(State& st, const char* name, Proc& out) {
    void* address = nullptr;
    if (!resolve_symbol(st, name, address)) return false;
    out = reinterpret_cast<Proc>(address);
    return true;
}

// Binds the functions of post.cpp.
bool bind_post(State& st);

}  // namespace internal
