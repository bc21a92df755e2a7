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
#include "dictmemo.hpp"

namespace plain_attrs {

using capi::Ref;

// out[i] = obj.__dict__[names[i]] for the `n` interned names, left empty
// where the dict lacks it, read through `memo`; false with an exception
// set. For a caller that knows that the dict is where these attributes
// live. `short_lived`: see DictMemo::get.
template <class Memo>
inline bool read_dict(Memo& memo, PyObject* obj, PyObject* const* names, size_t n, Ref* out,
                      bool short_lived) noexcept {
    Ref dict = capi::instance_dict(obj);
    if (!dict) return false;
    if (!PyDict_Check(dict.get())) {
        PyErr_SetString(PyExc_TypeError, "__dict__ must be set to a dictionary");
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(memo.get(dict.get(), names[i], short_lived));
        if (!out[i] && PyErr_Occurred()) return false;
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
