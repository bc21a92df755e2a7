// What the four views of a TclNamespace share: the namespace a view shows,
// the names of its keys, and the handle a view's method may go through.
#pragma once

#include "fastpath.hpp"

namespace tclns {

// Whether `obj` is an instance of one of the four view classes themselves.
bool own_view(State& st, PyObject* obj) noexcept;
// The view's namespace (view.ns), a new reference.
PyObject* view_ns(State& st, PyObject* self) noexcept;
// The module-level class `name` of the module, as it is now (NameError
// when it is gone).
Ref module_class(State& st, PyObject* module, PyObject* name) noexcept;
// The qualified name of key `name` in namespace `ns` (see views.cpp).
PyObject* qualify(State& st, PyObject* ns, PyObject* name) noexcept;
// The same in the namespace of view `self`.
PyObject* qualified_in(State& st, PyObject* self, PyObject* name) noexcept;
// self.byref(name).<method>(*args[1:]) with args[0] the slot for the handle,
// the last len(kwnames) of them passed by keyword.
PyObject* via_handle(State& st, PyObject* self, PyObject* name, PyObject* method, PyObject** args, size_t nargs,
                     PyObject* kwnames = nullptr) noexcept;
// make(join(ns, name), *args, tcl=ns.tcl, **kwargs) (see views.cpp).
PyObject* make_byref(State& st, PyObject* make, const char* callee, bool as_word, PyObject* view, PyObject* name,
                     PyObject* args, PyObject* kwargs) noexcept;
// __init__(self, ns) of the views: `cls` is the view class whose __init__ runs.
bool init_view(State& st, PyObject* cls, PyObject* self, PyObject* ns) noexcept;
// The iteration of the views: a lazy iterator (lazy_iter.hpp) over the
// tails of the names of the view's own namespace that "::info vars",
// "::info commands" or "::info procs" answers.
PyObject* iter_vars(Function* fn, PyObject* view) noexcept;
PyObject* iter_commands(Function* fn, PyObject* view) noexcept;
PyObject* iter_procs(Function* fn, PyObject* view) noexcept;
// __len__ of the views: the number of names one iteration yields.
extern const capi::FunctionDef kViewLen;

}  // namespace tclns
