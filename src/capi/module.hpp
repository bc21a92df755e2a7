// Module definition helpers for multi-phase initialisation with module state.
//
// A module's state is a struct deriving from ModuleStateBase whose members
// are Refs (and plain data). It lists its Refs once, in
//     template <class F> void for_each_ref(F&& f) { f(function_type); f(x); ... }
// and gets GC traversal and clearing from that list.
#pragma once

#include <new>
#include <type_traits>

#include "function.hpp"

namespace capi {

template <class State>
State* module_state(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

template <class State>
int state_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    State* st = module_state<State>(module);
    if (st == nullptr) return 0;
    int result = 0;
    st->for_each_ref([&](Ref& r) {
        if (result == 0 && r) result = visit(r.get(), arg);
    });
    return result;
}

template <class State>
int state_clear(PyObject* module) noexcept {
    State* st = module_state<State>(module);
    if (st != nullptr) st->for_each_ref([](Ref& r) { r.reset(); });
    return 0;
}

template <class State>
void state_free(void* module) noexcept {
    state_clear<State>(static_cast<PyObject*>(module));
}

// Constructs the state in the zeroed memory CPython allocated and creates the
// module's function type. Call first in the exec slot.
template <class State>
State* init_state(PyObject* module) noexcept {
    static_assert(std::is_base_of_v<ModuleStateBase, State>);
    void* mem = PyModule_GetState(module);
    if (mem == nullptr) return nullptr;
    State* st = new (mem) State();
    if (!init_function_type(module, *st)) return nullptr;
    return st;
}

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

}  // namespace capi
