// brelt.tcl.namespace: module state and the helpers its classes share.
#pragma once

#include "capi.hpp"

namespace tclns {

using capi::Function;
using capi::Ref;

// Caches of the hot path (fastpath.hpp), keyed by type and version tag.
inline constexpr int kTypeCacheSize = 4;
struct TypeVersion {
    PyTypeObject* type = nullptr;  // compared, never followed
    unsigned int tag = 0;
};
enum class TkMethod { getvar, setvar, unsetvar, call, eval };
inline constexpr int kTkMethods = 5;
struct MethodCache {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    Ref method;
};

struct State : capi::ModuleStateBase {
    // Imported at module execution.
    Ref MutableMapping, quotify, tclobj, TclError, MethodType, weakref, sys, functools;
    // What a[key] and del a[key] of a missing element raise: a TclError that
    // is also a KeyError, so the mapping mixins work.
    Ref ElementError;
    Ref inspect_Signature, inspect_Parameter;
    Ref package_name;  // the package whose module is the default interpreter

    // TclVariable's private marker: "use the handle's own cast".
    Ref marker;

    // The classes, in order of creation.
    Ref TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable, TclNamespace;
    Ref lazy_iterator_type;

    // Attribute and method names.
    Ref s_tcl, s_cast, s_var_name, s_tk;
    Ref s_getvar, s_setvar, s_unsetvar, s_eval, s_call;
    Ref s_cast_boolean, s_cast_list, s_cast_array;
    Ref s_get, s_set, s_unset, s_exists, s_array_size, s_array_names, s_array_set, s_array_unset, s_absolute;
    Ref s_format, s_enter, s_exit, s_init, s_class, s_name;

    // Tcl words and text.
    Ref w_info, w_exists, w_array, w_get, w_set, w_unset, w_size, w_names, w_namespace, w_current;
    Ref t_empty, t_colons, t_lparen, t_rparen, t_temp_name;

    // Keyword-name tuples for vectorcalls.
    Ref kw_array_index, kw_nocomplain, kw_tcl_cast, kw_cls_id;

    // Hot-path caches: types whose instances hold these names as plain
    // instance attributes, and the tk methods last found on tk's type.
    Ref plain_names[4];  // tcl, var_name, cast, tk
    TypeVersion plain_types[kTypeCacheSize];
    int plain_next = 0;
    Ref tk_method_names[kTkMethods];
    MethodCache tk_methods[kTkMethods];

    template <class F>
    void for_each_ref(F&& f) {
        f(function_type);
        f(MutableMapping), f(quotify), f(tclobj), f(TclError), f(MethodType), f(weakref), f(sys), f(functools);
        f(ElementError);
        f(inspect_Signature), f(inspect_Parameter), f(package_name), f(marker);
        f(TclVariable), f(TempTclVariable), f(TclArrayVariable), f(TempTclArrayVariable), f(TclNamespace);
        f(lazy_iterator_type);
        f(s_tcl), f(s_cast), f(s_var_name), f(s_tk);
        f(s_getvar), f(s_setvar), f(s_unsetvar), f(s_eval), f(s_call);
        f(s_cast_boolean), f(s_cast_list), f(s_cast_array);
        f(s_get), f(s_set), f(s_unset), f(s_exists), f(s_array_size), f(s_array_names), f(s_array_set),
            f(s_array_unset), f(s_absolute);
        f(s_format), f(s_enter), f(s_exit), f(s_init), f(s_class), f(s_name);
        f(w_info), f(w_exists), f(w_array), f(w_get), f(w_set), f(w_unset), f(w_size), f(w_names),
            f(w_namespace), f(w_current);
        f(t_empty), f(t_colons), f(t_lparen), f(t_rparen), f(t_temp_name);
        f(kw_array_index), f(kw_nocomplain), f(kw_tcl_cast), f(kw_cls_id);
        for (Ref& r : plain_names) f(r);
        for (Ref& r : tk_method_names) f(r);
        for (MethodCache& m : tk_methods) f(m.method);
    }
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// ---------------------------------------------------------------------------
// Calls into the sibling module and into tkinter

// quotify(obj) through its vectorcall. A str is its own quotify() (and
// tclobj()) result, so it skips the call.
inline PyObject* quotify(State& st, PyObject* obj) noexcept {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    return PyObject_Vectorcall(st.quotify.get(), &obj, 1, nullptr);
}

inline PyObject* tclobj(State& st, PyObject* obj) noexcept {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    return PyObject_Vectorcall(st.tclobj.get(), &obj, 1, nullptr);
}

// quotify(obj) where the rules need a str (slicing, comparing, joining).
inline PyObject* quotify_str(State& st, PyObject* obj) noexcept {
    PyObject* s = quotify(st, obj);
    if (s != nullptr && !PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "quotify() of %.200s returned %.200s, not str", Py_TYPE(obj)->tp_name,
                     Py_TYPE(s)->tp_name);
        Py_DECREF(s);
        return nullptr;
    }
    return s;
}

// obj.name(*args), args[0] being obj; `n` counts obj.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t n, PyObject* kwnames = nullptr) noexcept {
    return PyObject_VectorcallMethod(name, args, n, kwnames);
}


// self.tcl.<cast>(value)
inline PyObject* cast_with(PyObject* tcl, PyObject* cast_name, PyObject* value) noexcept {
    PyObject* args[] = {tcl, value};
    return call_method(cast_name, args, 2);
}

// a + b + c + d for str objects, with one allocation.
PyObject* concat4(PyObject* a, PyObject* b, PyObject* c, PyObject* d) noexcept;

// The handle's element name: var_name + "(" + quotify(array_index) + ")".
PyObject* element_name(State& st, PyObject* var_name, PyObject* array_index) noexcept;

// The name functions of TclNamespace, for the handles' own use.
PyObject* ns_join2(State& st, PyObject* a, PyObject* b) noexcept;

// ---------------------------------------------------------------------------
// Class builders, called in order of creation by the module's exec slot

bool build_tcl_variable(PyObject* module, State& st);
bool build_array_and_temp_variables(PyObject* module, State& st);  // TempTclVariable, TclArrayVariable, TempTclArrayVariable
bool build_tcl_namespace(PyObject* module, State& st);

// The direct implementations behind TclVariable's methods, for the mapping
// methods of the array classes when no subclass overrides them.
PyObject* variable_get_obj(State& st, PyObject* self, PyObject* array_index, PyObject* cast) noexcept;
PyObject* variable_set(State& st, PyObject* self, PyObject* value, PyObject* array_index) noexcept;
PyObject* variable_unset(State& st, PyObject* self, PyObject* array_index, PyObject* nocomplain) noexcept;
PyObject* variable_exists(State& st, PyObject* self, PyObject* array_index) noexcept;

// An iterator that asks for its items at the first next(): `fetch(st, owner)`
// returns an iterable whose items it then yields.
using FetchFn = PyObject* (*)(State& st, PyObject* owner);
bool init_lazy_iterator_type(PyObject* module, State& st);
bool init_element_error(State& st);
PyObject* new_lazy_iterator(State& st, PyObject* module, PyObject* owner, FetchFn fetch) noexcept;

}  // namespace tclns
