// Several instance attributes read in one pass over a small instance dict.
//
// The quick call reads `cmd` and `tcl` of a Jiv_Code (a dict of two
// entries) and `tcl` of a Jiv (one) on every call; each look-up by name
// costs a type look-up and a dict probe. When the class defines none of the
// names, obj.name is obj.__dict__[name], and one walk over the dict finds
// them all, for less than one probe each. (A step of the walk costs about a
// third of a probe: for dicts of more entries than names, such as a
// History's or an Interpreter's, look up by name.)
#pragma once

#include "capi.hpp"

namespace plain_attrs {

using capi::Ref;

// out[i] = obj.__dict__[names[i]] for the `n` interned names, left empty
// where the dict lacks it; false with an exception set. For a caller that
// knows that the dict is where these attributes live.
inline bool read_dict(PyObject* obj, PyObject* const* names, size_t n, Ref* out) noexcept {
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) return false;
    if (!PyDict_Check(dict.get())) {
        PyErr_SetString(PyExc_TypeError, "__dict__ must be set to a dictionary");
        return false;
    }
    // Interned names are unique per text: a key that is an interned str
    // and not one of ours is none of ours. Any other key (a str put in the
    // dict by hand, or not a str) might equal one, so what the walk missed
    // is then looked up by name.
    bool only_interned = PyDict_CheckExact(dict.get());
    if (only_interned) {
        Py_BEGIN_CRITICAL_SECTION(dict.get());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.get(), &pos, &key, &value)) {
            size_t i = 0;
            while (i < n && key != names[i]) ++i;
            if (i < n) {
                out[i] = Ref::borrow(value);  // held before the dict's lock goes
            } else if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) {
                only_interned = false;
            }
        }
        Py_END_CRITICAL_SECTION();
    }
    if (!only_interned) {
        for (size_t i = 0; i < n; ++i) {
            if (!out[i] && PyDict_GetItemRef(dict.get(), names[i], out[i].out()) < 0) return false;
        }
    }
    return true;
}

// Whether obj.name is obj.__dict__[name] for each of the names under the
// generic look-up: instances of `type` have a __dict__ and no class in its
// MRO defines any of them. Checked at every use (a class attribute may be
// added at any time); the look-ups hit CPython's method cache.
inline bool class_defines_none(PyTypeObject* type, PyObject* const* names, size_t n) noexcept {
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 && type->tp_dictoffset == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        if (capi::type_lookup(type, names[i])) return false;
    }
    return true;
}

}  // namespace plain_attrs
