// brelt.tcl.namespace: module state and the helpers its classes share.
#pragma once

#include "capi.hpp"

namespace tclns {

using capi::Function;
using capi::Ref;

using capi::Held;

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
    Held method;
};

struct State : capi::ModuleStateBase {
    // Imported at module execution.
    Held MutableMapping, quotify, tclobj, TclError, MethodType, weakref, sys, functools;
    Held inspect_Signature, inspect_Parameter;
    Held package_name;  // the package whose module is the default interpreter

    // TclVariable's private marker: "use the handle's own cast".
    Held marker;

    // The classes, in order of creation.
    Held TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable, TclNamespace;
    Held lazy_iterator_type;

    // Attribute and method names.
    Held s_tcl{Held::name, "tcl"}, s_cast{Held::name, "cast"}, s_var_name{Held::name, "var_name"};
    Held s_tk{Held::name, "tk"};
    Held s_getvar{Held::name, "getvar"}, s_setvar{Held::name, "setvar"}, s_unsetvar{Held::name, "unsetvar"};
    Held s_eval{Held::name, "eval"}, s_call{Held::name, "call"};
    Held s_cast_boolean{Held::name, "cast_boolean"}, s_cast_list{Held::name, "cast_list"};
    Held s_cast_array{Held::name, "cast_array"};
    Held s_get{Held::name, "get"}, s_set{Held::name, "set"}, s_unset{Held::name, "unset"};
    Held s_exists{Held::name, "exists"}, s_array_size{Held::name, "array_size"};
    Held s_array_names{Held::name, "array_names"}, s_array_set{Held::name, "array_set"};
    Held s_array_unset{Held::name, "array_unset"}, s_absolute{Held::name, "absolute"};
    Held s_format{Held::name, "format"}, s_enter{Held::name, "__enter__"}, s_exit{Held::name, "__exit__"};
    Held s_init{Held::name, "__init__"}, s_class{Held::name, "__class__"}, s_name{Held::name, "__name__"};

    // Tcl words and text.
    Held w_info{Held::name, "::info"}, w_exists{Held::name, "exists"}, w_array{Held::name, "::array"};
    Held w_get{Held::name, "get"}, w_set{Held::name, "set"}, w_unset{Held::name, "unset"};
    Held w_size{Held::name, "size"}, w_names{Held::name, "names"}, w_namespace{Held::name, "namespace"};
    Held w_current{Held::name, "current"};
    Held t_empty{Held::name, ""}, t_colons{Held::name, "::"}, t_lparen{Held::name, "("};
    Held t_rparen{Held::name, ")"}, t_temp_name{Held::name, "::__brelt__{cls}_{id}_tmp"};

    // Keyword-name tuples for vectorcalls.
    Held kw_array_index{Held::kwnames, "array_index"}, kw_nocomplain{Held::kwnames, "nocomplain"};
    Held kw_tcl_cast{Held::kwnames, "tcl cast"}, kw_cls_id{Held::kwnames, "cls id"};

    // Hot-path caches: types whose instances hold these names as plain
    // instance attributes, and the tk methods last found on tk's type.
    Held plain_names[4];  // tcl, var_name, cast, tk
    TypeVersion plain_types[kTypeCacheSize];
    int plain_next = 0;
    Held tk_method_names[kTkMethods];
    MethodCache tk_methods[kTkMethods];
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
PyObject* new_lazy_iterator(State& st, PyObject* module, PyObject* owner, FetchFn fetch) noexcept;

}  // namespace tclns
