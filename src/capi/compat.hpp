// Newer C API entry points, shimmed for older CPython releases.
//
// Every shim is guarded by the release that introduced the real function, so
// on that release and later the real API is used unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
// PyObject_GetOptionalAttr appeared in 3.13.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

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

#if PY_VERSION_HEX < 0x030C0000
// The Py_T_* member types and Py_READONLY appeared in 3.12 (before, they were
// structmember.h's T_* and READONLY).
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY

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
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030E0000
// PyUnicodeWriter appeared in 3.14; older releases have the same machinery
// under the private name _PyUnicodeWriter.
typedef struct PyUnicodeWriter PyUnicodeWriter;

inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (writer == nullptr) {
        return;
    }
    _PyUnicodeWriter_Dealloc(reinterpret_cast<_PyUnicodeWriter*>(writer));
    PyMem_Free(writer);
}

inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
    if (length < 0) {
        PyErr_SetString(PyExc_ValueError, "length must be positive");
        return nullptr;
    }
    auto* writer = static_cast<_PyUnicodeWriter*>(PyMem_Malloc(sizeof(_PyUnicodeWriter)));
    if (writer == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    _PyUnicodeWriter_Init(writer);
    if (_PyUnicodeWriter_Prepare(writer, length, 127) < 0) {
        PyUnicodeWriter_Discard(reinterpret_cast<PyUnicodeWriter*>(writer));
        return nullptr;
    }
    writer->overallocate = 1;
    return reinterpret_cast<PyUnicodeWriter*>(writer);
}

inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* str = _PyUnicodeWriter_Finish(reinterpret_cast<_PyUnicodeWriter*>(writer));
    PyMem_Free(writer);
    return str;
}

inline int PyUnicodeWriter_WriteChar(PyUnicodeWriter* writer, Py_UCS4 ch) {
    if (ch > 0x10ffff) {
        PyErr_SetString(PyExc_ValueError, "character must be in range(0x110000)");
        return -1;
    }
    return _PyUnicodeWriter_WriteChar(reinterpret_cast<_PyUnicodeWriter*>(writer), ch);
}

inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* obj) {
    PyObject* str = PyObject_Str(obj);
    if (str == nullptr) {
        return -1;
    }
    int res = _PyUnicodeWriter_WriteStr(reinterpret_cast<_PyUnicodeWriter*>(writer), str);
    Py_DECREF(str);
    return res;
}

inline int PyUnicodeWriter_WriteSubstring(PyUnicodeWriter* writer, PyObject* str,
                                          Py_ssize_t start, Py_ssize_t end) {
    if (!PyUnicode_Check(str)) {
        PyErr_Format(PyExc_TypeError, "expect str, not %.200s", Py_TYPE(str)->tp_name);
        return -1;
    }
    if (start < 0 || start > end || end > PyUnicode_GET_LENGTH(str)) {
        PyErr_SetString(PyExc_ValueError, "invalid start argument");
        return -1;
    }
    return _PyUnicodeWriter_WriteSubstring(reinterpret_cast<_PyUnicodeWriter*>(writer), str,
                                           start, end);
}

inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* str, Py_ssize_t size) {
    if (size < 0) {
        size = static_cast<Py_ssize_t>(strlen(str));
    }
    PyObject* str_obj = PyUnicode_FromStringAndSize(str, size);
    if (str_obj == nullptr) {
        return -1;
    }
    int res = _PyUnicodeWriter_WriteStr(reinterpret_cast<_PyUnicodeWriter*>(writer), str_obj);
    Py_DECREF(str_obj);
    return res;
}
#endif
