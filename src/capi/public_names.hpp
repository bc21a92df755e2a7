// dir() of an extension module: its API, not the names it imports for its
// own use (which stay bound, as the module's code and its users expect).
#pragma once

#include <Python.h>

#include <initializer_list>

#include "ref.hpp"

namespace capi {

// Binds the module's __dir__ to functools.partial(list, names), names being
// `api` and the module's dunder names as they are at the end of its exec.
inline bool set_public_names(PyObject* module, std::initializer_list<const char*> api) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return false;
    for (const char* name : api) {
        Ref s = Ref::steal(PyUnicode_InternFromString(name));
        if (!s || PyList_Append(names.get(), s.get()) < 0) return false;
    }
    PyObject* dict = PyModule_GetDict(module);  // borrowed, the module holds it
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_GetLength(key) > 4 && PyUnicode_READ_CHAR(key, 0) == '_' &&
            PyUnicode_READ_CHAR(key, 1) == '_' && PyList_Append(names.get(), key) < 0) {
            return false;
        }
    }
    Ref dunder_dir = Ref::steal(PyUnicode_InternFromString("__dir__"));
    if (!dunder_dir || PyList_Append(names.get(), dunder_dir.get()) < 0) return false;
    Ref frozen = Ref::steal(PyList_AsTuple(names.get()));
    Ref functools = Ref::steal(PyImport_ImportModule("functools"));
    Ref partial = functools ? Ref::steal(PyObject_GetAttrString(functools.get(), "partial")) : Ref{};
    if (!frozen || !partial) return false;
    Ref dir = Ref::steal(
        PyObject_CallFunctionObjArgs(partial.get(), reinterpret_cast<PyObject*>(&PyList_Type), frozen.get(), nullptr));
    return dir && PyModule_AddObjectRef(module, "__dir__", dir.get()) == 0;
}

}  // namespace capi
