// The name functions of TclNamespace (pure string operations).
#pragma once

#include "namespace.hpp"

namespace tclns {

// On a str already converted by quotify().
PyObject* split_str(PyObject* s) noexcept;
PyObject* normalize_str(PyObject* s) noexcept;
PyObject* qualifiers_str(PyObject* s) noexcept;
PyObject* tail_str(PyObject* s) noexcept;

// join(first, *rest), each part converted by quotify().
PyObject* join_parts(State& st, PyObject* first, PyObject* const* rest, Py_ssize_t nrest) noexcept;

// Adds qualifiers, tail, join, split and normalize as static methods.
void add_name_functions(capi::ClassBuilder& cls);

}  // namespace tclns
