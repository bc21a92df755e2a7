// The package's reading of a raw result (what tk.call returns), shared by
// the cast functions of brelt.tcl.internal and the quick call of
// brelt.tcl.jiv, which does the same work inline when the interpreter's
// cast_any is the package's own.
#pragma once

#include "compat.hpp"

namespace capi {

// cast_any(value): a _tkinter.Tcl_Obj (`tclobj_type`) becomes its string
// form, a tuple a new tuple of such values (nested to any depth), anything
// else comes back as it is. New reference, or NULL with an exception set.
inline PyObject* cast_raw_value(PyObject* value, PyTypeObject* tclobj_type) noexcept {
    if (Py_IS_TYPE(value, tclobj_type)) return PyObject_Str(value);
    if (!PyTuple_CheckExact(value)) return Py_NewRef(value);
    if (Py_EnterRecursiveCall(" while casting a Tcl list")) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(value);
    PyObject* out = PyTuple_New(n);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i) {
        // The tuple is immutable and held by the caller: its items stay.
        PyObject* item = cast_raw_value(PyTuple_GET_ITEM(value, i), tclobj_type);
        if (item == nullptr) {
            Py_CLEAR(out);
            break;
        }
        PyTuple_SET_ITEM(out, i, item);
    }
    Py_LeaveRecursiveCall();
    return out;
}

}  // namespace capi
