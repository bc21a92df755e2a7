// Reading containers that other threads may change at the same time.
//
// With the GIL, nothing changes a list or dict while C code that runs no
// Python code reads it. On the free-threaded build another thread may
// replace an item (dropping the last reference to it) or grow the storage
// under the reader at any moment: every item is read as a strong reference
// taken under the container's own lock (a critical section on the list or
// the dict).
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace capi {

// list[i] as a strong reference; empty, with no exception, when i is past
// the end (another thread or a hook may have shortened the list).
inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
#ifdef Py_GIL_DISABLED
    // Under the list's lock rather than through PyList_GetItemRef: in the
    // thread stress test on 3.14.7t its lock-free path now and then gave an
    // item that was no str although the list only ever held str (a crash
    // about once in eight runs); under the lock, none in the runs since.
    Ref item;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (i < PyList_GET_SIZE(list)) item = Ref::borrow(PyList_GET_ITEM(list, i));
    Py_END_CRITICAL_SECTION();
    return item;
#else
    if (i >= PyList_GET_SIZE(list)) return {};
    return Ref::borrow(PyList_GET_ITEM(list, i));
#endif
}

// PyDict_Next with the key and value as strong references (the old ones in
// `key` and `value` are dropped first, outside the lock).
inline bool dict_next(PyObject* dict, Py_ssize_t& pos, Ref& key, Ref& value) noexcept {
    key.reset();
    value.reset();
    bool found;
    Py_BEGIN_CRITICAL_SECTION(dict);
    PyObject *k, *v;
    found = PyDict_Next(dict, &pos, &k, &v) != 0;
    if (found) {
        key = Ref::borrow(k);
        value = Ref::borrow(v);
    }
    Py_END_CRITICAL_SECTION();
    return found;
}

// The keys and values of a dict, alternately, appended to `out` (a vector
// of Ref) as strong references: a snapshot. The dict's lock (on the
// free-threaded build; the GIL otherwise) keeps each key and value alive
// from PyDict_Next until it is held: nothing in between runs Python code or
// lets another thread in.
template <class Vector>
void dict_items(PyObject* dict, Vector& out) {
    out.reserve(out.size() + 2 * static_cast<size_t>(PyDict_GET_SIZE(dict)));
    Py_BEGIN_CRITICAL_SECTION(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        out.emplace_back(Ref::borrow(key));
        out.emplace_back(Ref::borrow(value));
    }
    Py_END_CRITICAL_SECTION();
}

}  // namespace capi
