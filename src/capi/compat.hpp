// Newer C API entry points, shimmed for older CPython releases.
//
// Every shim is guarded by the release that introduced the real function, so
// on that release and later the real API is used unchanged. Shims are built
// on public functions only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
// (PyObject_GetOptionalAttr, also new in 3.13, is in private_api.hpp.)

// PyList_GetItemRef appeared in 3.13: the item as a strong reference, or
// NULL with IndexError. Without a free-threaded build (3.13 brought both),
// the GIL keeps the list as it is between the read and the increment.
inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t i) { return Py_XNewRef(PyList_GetItem(list, i)); }

// PyDict_GetItemRef appeared in 3.13.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

// PyDict_SetDefaultRef appeared in 3.13: d.setdefault(key, default_value),
// the value kept in the dict as a strong reference in `result`; 1 when the
// key was there, 0 when the default went in, -1 on error. (An existing value
// that is the default object itself counts as inserted: no caller tells.)
inline int PyDict_SetDefaultRef(PyObject* d, PyObject* key, PyObject* default_value, PyObject** result) {
    PyObject* value = PyDict_SetDefault(d, key, default_value);
    if (result != nullptr) *result = Py_XNewRef(value);
    if (value == nullptr) return -1;
    return value == default_value ? 0 : 1;
}

// PyWeakref_GetRef appeared in 3.13 (PyWeakref_GetObject is deprecated there).
inline int PyWeakref_GetRef(PyObject* ref, PyObject** result) {
    if (ref == nullptr || !PyWeakref_Check(ref)) {
        *result = nullptr;
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject* obj = PyWeakref_GetObject(ref);
    if (obj == nullptr || obj == Py_None) {
        *result = nullptr;
        return obj == nullptr ? -1 : 0;
    }
    *result = Py_NewRef(obj);
    return 1;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// Critical sections appeared in 3.13. They lock an object only on the
// free-threaded build (3.13 and later); with the GIL they are plain blocks.
#  define Py_BEGIN_CRITICAL_SECTION(op) {
#  define Py_END_CRITICAL_SECTION() }
#endif

#if PY_VERSION_HEX < 0x030C0000
// The Py_T_* member types and Py_READONLY appeared in 3.12 (before, they were
// structmember.h's T_* and READONLY).
#  include <structmember.h>
#  define Py_T_PYSSIZET T_PYSSIZET
#  define Py_T_OBJECT_EX T_OBJECT_EX
#  define Py_READONLY READONLY

// PyErr_GetRaisedException / PyErr_SetRaisedException appeared in 3.12.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif
