// Reading containers that other threads may change at the same time.
//
// With the GIL, nothing changes a list or dict while C code that runs no
// Python code reads it. On the free-threaded build another thread may
// replace an item (dropping the last reference to it) or grow the storage
// under the reader at any moment: every item is read as a strong reference
// taken under the container's own lock (a critical section on the list or
// the dict).
#pragma once

#include <exception>

#include "compat.hpp"
#include "ref.hpp"

namespace capi {

// list[i] as a strong reference; empty, with no exception, when i is past
// the end (another thread or a hook may have shortened the list).
inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
#ifdef Py_GIL_DISABLED
    // Under the list's lock rather than through PyList_GetItemRef, whose
    // lock-free path reads the count of an item another thread may have
    // just freed. CPython keeps that count readable in freed memory, but on
    // 3.14.7t not under the debug allocator (PYTHONMALLOC=debug): there it
    // hands out freed items, in a plain Python script calling it through
    // ctypes too. Under the lock, never, whatever the allocator.
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

// d[key] as a strong reference; empty when d lacks the key, or on error
// (then with the exception set). On the free-threaded build it is taken in
// the look-up itself: another thread may replace the value and drop it
// between a borrowed read and the increment. With the GIL nothing can come
// between the two, and they cost fewer instructions (3.13's
// PyDict_GetItemRef is the slower on the handles' request path).
[[gnu::always_inline]] inline Ref dict_get(PyObject* d, PyObject* key) noexcept {
#ifdef Py_GIL_DISABLED
    PyObject* value;
    PyDict_GetItemRef(d, key, &value);
    return Ref::steal(value);
#else
    return Ref::borrow(PyDict_GetItemWithError(d, key));
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

// f() under obj's lock (on the free-threaded build; the GIL otherwise). A
// C++ exception of f (a vector's growth) is thrown again once the lock is
// let go: unwinding through the section would leave it held.
template <class F>
void locked(PyObject* obj, F&& f) {
#ifdef Py_GIL_DISABLED
    std::exception_ptr failed;
    Py_BEGIN_CRITICAL_SECTION(obj);
    try {
        f();
    } catch (...) {
        failed = std::current_exception();
    }
    Py_END_CRITICAL_SECTION();
    if (failed) std::rethrow_exception(failed);
#else
    (void)obj;  // the GIL is the section: nothing to let go
    f();
#endif
}

// f(key, value) for every item of a dict, under the dict's lock (on the
// free-threaded build; the GIL otherwise): the key and value are borrowed
// for the call of f alone, which runs no Python code and takes what it
// keeps as strong references. An exception of f (a vector's growth) ends
// the walk and is thrown again once the lock is let go.
template <class F>
void dict_walk(PyObject* dict, F&& f) {
    locked(dict, [&] {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) f(key, value);
    });
}

// The keys and values of a dict, alternately, appended to `out` (a vector
// of Ref) as strong references: a snapshot.
template <class Vector>
void dict_items(PyObject* dict, Vector& out) {
    out.reserve(out.size() + 2 * static_cast<size_t>(PyDict_GET_SIZE(dict)));
    dict_walk(dict, [&](PyObject* key, PyObject* value) {
        out.emplace_back(Ref::borrow(key));
        out.emplace_back(Ref::borrow(value));
    });
}

}  // namespace capi
