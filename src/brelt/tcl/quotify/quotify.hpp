// brelt.tcl.quotify: module state and the conversions shared by its functions.
#pragma once

#include "capi.hpp"

namespace quotify {

using capi::Ref;

using capi::Held;

struct State : capi::ModuleStateBase {
    Held Mapping, Sequence, Set;
    Held TclObj;  // _tkinter.Tcl_Obj
    Held s_quotify_hook{Held::name, "__quotify__"}, s_tclobj_hook{Held::name, "__tclobj__"};
    Held s_add{Held::name, "add"};
    Held s_true{Held::name, "true"}, s_false{Held::name, "false"};
    Held s_empty{Held::name, ""}, s_braces{Held::name, "{}"};
    Held f_use_braces{Held::name, "USE_BRACES"}, f_dont_use_braces{Held::name, "TCL_DONT_USE_BRACES"};
    Held f_braces_unmatched{Held::name, "BRACES_UNMATCHED"};
};

// Every recursive step counts on the thread's walk depth (capi::RecursionGuard).
// The walks return new references, the C API's way (see convert.cpp).
// quotify(obj): normally a str.
PyObject* quotify(State& st, PyObject* obj);
// quotify(obj) for use as a list element: always a str (a result that is
// not one is converted again).
PyObject* element_string(State& st, PyObject* obj);
// The Tcl list of the elements of an iterable, each converted by quotify().
PyObject* list_from_iterable(State& st, PyObject* iterable);
// The Tcl list key, value, key, value... of a mapping.
PyObject* list_from_mapping(State& st, PyObject* mapping);

// tclobj(obj) and its two companions.
PyObject* tclobj(State& st, PyObject* obj);
PyObject* tuple_from_iterable(State& st, PyObject* iterable);
PyObject* tuple_from_mapping(State& st, PyObject* mapping);

}  // namespace quotify
