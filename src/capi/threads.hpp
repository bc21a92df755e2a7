// The thread that owns a Tcl interpreter.
//
// A Tcl interpreter must only be used by the thread that created it. tkinter
// refuses calls from other threads only when Tcl reports itself threaded
// (Tcl 8.6 does; Tcl 9 no longer sets tcl_platform(threaded), so there a
// call from another thread would run unguarded). brelt.tcl's Interpreter
// records the creating thread's ident (threading.get_ident()) in its
// attribute `_thread`; every path that sends a request to an interpreter's
// `tk` checks it first:
//
//     Held s_thread{Held::name, "_thread"};          // in the module state
//     if (!capi::check_owner_thread(interp, st.s_thread.get())) return nullptr;
//
// `interpreter` is the Interpreter or a weakref.proxy to it.
#pragma once

#include "compat.hpp"

namespace capi {

// True when the calling thread owns `interpreter`, or when it records no
// owner (an object that is not an Interpreter: tkinter's checks are all
// there is). Otherwise false with RuntimeError (tkinter's own words for the
// same refusal), or with the error of reading the attribute (ReferenceError
// for a proxy whose interpreter is gone).
inline bool check_owner_thread(PyObject* interpreter, PyObject* name) noexcept {
    PyObject* owner = nullptr;
    if (PyObject_GetOptionalAttr(interpreter, name, &owner) < 0) return false;
    if (owner == nullptr) return true;
    bool mine = true;
    if (PyLong_CheckExact(owner)) {
        unsigned long ident = PyLong_AsUnsignedLong(owner);
        if (ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            Py_DECREF(owner);
            return false;
        }
        mine = ident == PyThread_get_thread_ident();
    }
    Py_DECREF(owner);
    if (!mine) PyErr_SetString(PyExc_RuntimeError, "Calling Tcl from different apartment");
    return mine;
}

}  // namespace capi
