// brelt.tcl.nestmap: module state and the operations behind NestMap's methods.
#pragma once

#include "capi.hpp"
#include "method_guard.hpp"

namespace nestmap {

using capi::Ref;

using capi::Held;

struct State : capi::ModuleStateBase {
    Held AttrDict, MutableMapping, Mapping;
    Held TclObj;     // _tkinter.Tcl_Obj
    Held TclError;   // _tkinter.TclError
    Held tclobj;     // brelt.tcl.quotify.tclobj
    Held NestMap;    // the class, once built
    Held mm_update;  // MutableMapping.update
    Held s_dot{Held::name, "."}, s_split{Held::name, "split"}, s_typename{Held::name, "typename"};
    Held s_keyed_list{Held::name, "keyedList"}, s_update{Held::name, "update"};
    Held s_all_items{Held::name, "all_items"}, s_init{Held::name, "__init__"};
    Held s_package{Held::name, "brelt.tcl"}, s_cast_list{Held::name, "cast_list"};
    // AttrDict.__init__ is dict.__init__, which does nothing without arguments.
    bool base_init_is_dicts = false;

    PyTypeObject* cls() const noexcept { return NestMap.as<PyTypeObject>(); }
    // isinstance(obj, NestMap).
    bool is_nestmap(PyObject* obj) const noexcept { return PyObject_TypeCheck(obj, cls()); }
    // Whether obj is exactly a NestMap whose class still has its own
    // methods: its item operations are known to be ours, so walks continue
    // in C++ instead of going through the value's own methods.
    bool own(PyObject* obj) noexcept { return Py_IS_TYPE(obj, cls()) && methods.unchanged(cls()); }
    capi::MethodGuard methods;
};

// A new, empty NestMap (what NestMap() gives, without running __init__).
Ref new_nestmap(State& st);

// The target-key KeyError about `key`; returns -1.
int target_key_error(PyObject* key);

// The ValueError of `a, b = x` where x had `got` items (not 2); returns -1.
inline int unpack_error(Py_ssize_t got) {
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
    } else {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    return -1;
}

// Item operations with dotted keys; `self` is a NestMap.
Ref get_item(State& st, PyObject* self, PyObject* key);
int set_item(State& st, PyObject* self, PyObject* key, PyObject* value);
int del_item(State& st, PyObject* self, PyObject* key);
int contains(State& st, PyObject* self, PyObject* key);

// self[key] and self[key] = value as Python would run them: ours for an
// exact NestMap, the object's own methods for anything else.
Ref subscript(State& st, PyObject* obj, PyObject* key);
int assign(State& st, PyObject* obj, PyObject* key, PyObject* value);

// The initialiser's work after the base initialiser: every value of `dsc`
// (a plain dict, changed in place) that dict() accepts becomes a NestMap,
// then self.update(dsc).
int init_from_dict(State& st, PyObject* self, PyObject* dsc);
// update(*args, **kwargs); `kwargs` may be NULL.
int update(State& st, PyObject* self, PyObject* args, PyObject* kwargs);
// self[key] = value for every key of a plain dict, in order.
int update_from_dict(State& st, PyObject* self, PyObject* dict);

// all_keys() (items false) and all_items() (items true): a new list.
Ref all_entries(State& st, PyObject* self, bool items);
// __tclobj__(): a tuple of (key, value) tuples, sub-lists converted again;
// a new reference (a recursive walk, see ref.hpp).
PyObject* to_tcl(State& st, PyObject* self);
// NestMap.from_tcl(value).
Ref from_tcl(State& st, PyObject* value);

}  // namespace nestmap
