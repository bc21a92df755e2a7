// Module definition helpers for multi-phase initialisation with module state.
//
// A module's state is a struct deriving from ModuleStateBase. Each strong
// reference it keeps is a `Held` member (function.hpp), declared once:
//
//     struct State : capi::ModuleStateBase {
//         Held Logger;                          // set by the exec slot
//         Held s_api{Held::name, "api"};        // interned by init_state()
//         Held kw_tcl{Held::kwnames, "tcl"};    // ('tcl',)
//         int plain_data = 0;                   // anything else C++ owns
//     };
//
// GC traversal, clearing and the interning of names all follow from those
// declarations, and the state's destructor runs when the module is freed.
#pragma once

#include <new>
#include <type_traits>

#include "function.hpp"

namespace capi {

template <class State>
State* module_state(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

namespace detail {

// The constructed state of `module`, or NULL while there is none (before
// the exec slot ran, or after it failed early).
template <class State>
State* live_state(PyObject* module) noexcept {
    State* st = module_state<State>(module);
    return st != nullptr && st->live_ ? st : nullptr;
}

template <class State, class F>
void for_each_held(State& st, F&& f) noexcept {
    for (Held* h = st.held_; h != nullptr; h = h->next()) f(static_cast<Ref&>(*h));
}

}  // namespace detail

template <class State>
int state_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    State* st = detail::live_state<State>(module);
    if (st == nullptr) return 0;
    int result = 0;
    detail::for_each_held(*st, [&](Ref& r) {
        if (result == 0 && r) result = visit(r.get(), arg);
    });
    return result;
}

template <class State>
int state_clear(PyObject* module) noexcept {
    State* st = detail::live_state<State>(module);
    if (st != nullptr) detail::for_each_held(*st, [](Ref& r) { r.reset(); });
    return 0;
}

template <class State>
void state_free(void* module) noexcept {
    State* st = detail::live_state<State>(static_cast<PyObject*>(module));
    if (st == nullptr) return;
    state_clear<State>(static_cast<PyObject*>(module));
    st->live_ = false;
    st->~State();
}

// Constructs the state in the zeroed memory CPython allocated, creates its
// declared names and the module's function type. Call first in the exec slot.
template <class State>
State* init_state(PyObject* module) noexcept {
    static_assert(std::is_base_of_v<ModuleStateBase, State>);
    void* mem = PyModule_GetState(module);
    if (mem == nullptr) return nullptr;
    State* st = new (mem) State();
    detail::constructing_state = nullptr;
    st->live_ = true;
    for (Held* h = st->held_; h != nullptr; h = h->next()) {
        if (!h->create()) return nullptr;
    }
    if (!init_function_type(module, *st)) return nullptr;
    return st;
}

// Whether a module may run without the GIL on a free-threaded build.
enum class Gil { Used, NotUsed };

// The slots of a module: its exec function, on 3.12+ the subinterpreters it
// may be imported in, and on 3.13+ whether it needs the GIL. A module
// declares Gil::NotUsed only when its code holds no borrowed reference into
// a container other threads may change and keeps no shared cache that is
// not published atomically; importing a module that needs the GIL turns the
// GIL on for the whole process.
//
// Subinterpreters: every module is initialised in phases, keeps its objects
// in its module state and its classes as heap types, so a subinterpreter
// that shares the main interpreter's GIL gets its own working copy (tried on
// 3.12 and 3.13: a legacy subinterpreter imports the package's modules and uses them).
// Not one with its own GIL: the modules bind the one Tcl library of the
// process for all interpreters (TclDLL, the host layer's entry points, the
// shared walk depth), and CPython refuses them there. In practice the
// package also needs tkinter's _tkinter, which (single-phase through 3.13)
// only a legacy subinterpreter accepts.
template <int (*Exec)(PyObject*) noexcept, Gil Needs = Gil::Used>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Needs == Gil::NotUsed ? Py_MOD_GIL_NOT_USED : Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

// Fills a PyModuleDef for a module whose state is `State`.
template <class State>
inline PyModuleDef make_module_def(const char* name, const char* doc, PyModuleDef_Slot* slots) noexcept {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        static_cast<Py_ssize_t>(sizeof(State)),
        nullptr,
        slots,
        state_traverse<State>,
        state_clear<State>,
        state_free<State>,
    };
}

// Interns a string into `r`; false with an exception set on failure.
inline bool intern(Ref& r, const char* s) noexcept {
    r = Ref::steal(PyUnicode_InternFromString(s));
    return static_cast<bool>(r);
}

// Imports `module` and takes its attribute `name` into `r`.
inline bool import_attr(Ref& r, const char* module, const char* name) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return false;
    r = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    return static_cast<bool>(r);
}

// Binds `value` (borrowed) as a module attribute.
inline bool add_object(PyObject* module, const char* name, PyObject* value) noexcept {
    return value != nullptr && PyModule_AddObjectRef(module, name, value) == 0;
}

// The module attribute `name` (a str), as a strong reference: whatever Python
// code runs next may rebind or delete the attribute. NULL with NameError set,
// as Python reports a global that is gone.
inline Ref module_global(PyObject* module, PyObject* name) noexcept {
    Ref value;
    if (PyDict_GetItemRef(PyModule_GetDict(module), name, value.out()) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

}  // namespace capi
