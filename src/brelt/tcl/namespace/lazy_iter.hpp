// The lazy iterator (lazy_iter.cpp): asks for its items at the first next().
#pragma once

#include "state.hpp"

namespace tclns {

// `fetch(st, owner)` returns an iterable whose items the iterator then
// yields; it runs at the first next(), once.
using FetchFn = PyObject* (*)(State& st, PyObject* owner);

bool init_lazy_iterator_type(PyObject* module, State& st);
// A new iterator over what fetch(st, owner) returns; holds `module` (its
// state) and `owner` until then.
PyObject* new_lazy_iterator(State& st, PyObject* module, PyObject* owner, FetchFn fetch) noexcept;

}  // namespace tclns
