// The "::" name algebra: the name functions of TclNamespace and the names
// the handles build (element names, literal patterns, tails), all pure
// string operations.
#pragma once

#include "state.hpp"

namespace tclns {

// On a str already converted by quotify().
PyObject* split_str(PyObject* s) noexcept;
PyObject* normalize_str(PyObject* s) noexcept;
PyObject* qualifiers_str(PyObject* s) noexcept;
PyObject* tail_str(PyObject* s) noexcept;

// join(first, *rest), each part converted by quotify().
PyObject* join_parts(State& st, PyObject* first, PyObject* const* rest, Py_ssize_t nrest) noexcept;

// join(a, b), for the handles' own use.
PyObject* ns_join2(State& st, PyObject* a, PyObject* b) noexcept;
// a + b + c + d for str objects, with one allocation.
PyObject* concat4(PyObject* a, PyObject* b, PyObject* c, PyObject* d) noexcept;
// The element name of a variable: var_name + "(" + quotify(array_index) + ")".
PyObject* element_name(State& st, PyObject* var_name, PyObject* array_index) noexcept;
// Whether `name` starts with "::" (str, or through its own startswith).
int starts_with_colons(State& st, PyObject* name) noexcept;
// The name with the glob characters of its last part escaped.
PyObject* literal_pattern(PyObject* name) noexcept;
// The part of a name after its last "::" (a non-str as it is).
PyObject* tail_of(PyObject* name) noexcept;

// Adds qualifiers, tail, join, split and normalize as static methods.
void add_name_functions(capi::ClassBuilder& cls);

}  // namespace tclns
