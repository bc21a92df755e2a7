// brelt.tcl.quotify: module state and the conversions shared by its functions.
#pragma once

#include "capi.hpp"

namespace quotify {

using capi::Ref;

struct State : capi::ModuleStateBase {
    Ref Mapping, Sequence, Set;
    Ref TclObj;  // _tkinter.Tcl_Obj
    Ref s_quotify_hook, s_tclobj_hook, s_add;
    Ref s_true, s_false, s_empty, s_braces;
    Ref f_use_braces, f_dont_use_braces, f_braces_unmatched;

    template <class F>
    void for_each_ref(F&& f) {
        f(function_type);
        f(Mapping), f(Sequence), f(Set), f(TclObj);
        f(s_quotify_hook), f(s_tclobj_hook), f(s_add);
        f(s_true), f(s_false), f(s_empty), f(s_braces);
        f(f_use_braces), f(f_dont_use_braces), f(f_braces_unmatched);
    }
};

// Every recursive step counts on the thread's walk depth (capi::RecursionGuard).
// quotify(obj): a new reference, normally a str.
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
