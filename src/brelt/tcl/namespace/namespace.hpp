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

// Names, words and texts of the command and namespace classes: member, text.
#define TCLNS_CMD_STRINGS(X)                                                                              \
    X(s_cmd_name, "cmd_name") X(s_args, "args") X(s_keywords, "keywords") X(s_logger, "logger")            \
    X(s_ns, "ns") X(s_vars, "vars") X(s_objs, "objs") X(s_procs, "procs") X(s_cmds, "cmds")                \
    X(s_build_tclcmd, "build_tclcmd") X(s_createcommand, "createcommand") X(s_delete, "delete")            \
    X(s_is_proc, "is_proc") X(s_info, "info") X(s_byref, "byref") X(s_create, "create")                    \
    X(s_current, "current") X(s_is_absolute, "is_absolute") X(s_items, "items") X(s_del, "__del__")        \
    X(s_wrapped, "__wrapped__") X(s_dict, "__dict__") X(s_update, "update") X(s_var_type, "var_type")      \
    X(s_rename, "rename") X(s_origin, "origin") X(s_proc_body, "proc_body") X(s_proc_args, "proc_args")    \
    X(s_proc_arg_default, "proc_arg_default") X(s_get_str, "get_str") X(s_get_obj, "get_obj")              \
    X(s_array_get_str, "array_get_str") X(s_array_get_obj, "array_get_obj") X(s_is_array, "is_array")      \
    X(s_pattern, "pattern") X(s_WRAPPER_ASSIGNMENTS, "WRAPPER_ASSIGNMENTS")                                \
    X(s_WRAPPER_UPDATES, "WRAPPER_UPDATES")                                                                \
    X(w_commands, "commands") X(w_procs, "procs") X(w_body, "body") X(w_args, "args")                      \
    X(w_default, "default") X(w_rename, "::rename") X(w_qnamespace, "::namespace") X(w_origin, "origin")   \
    X(w_eval, "eval") X(w_children, "children") X(w_code, "code") X(w_delete, "delete")                    \
    X(w_export, "export") X(w_clear, "-clear") X(w_forget, "forget") X(w_import, "import")                 \
    X(w_force, "-force") X(w_parent, "parent") X(w_which, "which") X(w_command, "-command")                 \
    X(w_variable, "-variable") X(w_vars, "vars") X(t_dash, "-") X(t_calling, "Calling: ")

struct CmdState {
#define TCLNS_DECLARE(member, text) Ref member;
    TCLNS_CMD_STRINGS(TCLNS_DECLARE)
#undef TCLNS_DECLARE
    Ref TclCommand, TempTclCommand, TempTclNamespace;
    Ref VariablesView, ObjectsView, CommandsView, ProcsView;
    Ref empty_tuple, command_init, namespace_init;
    bool assertions = true;  // false under python -O, as for `assert`
    Ref kw_array_index, kw_nocomplain, kw_pattern, kw_tcl, kw_var_type;  // keyword-name tuples

    template <class F>
    void for_each_ref(F&& f) {
#define TCLNS_VISIT(member, text) f(member);
        TCLNS_CMD_STRINGS(TCLNS_VISIT)
#undef TCLNS_VISIT
        f(TclCommand), f(TempTclCommand), f(TempTclNamespace);
        f(VariablesView), f(ObjectsView), f(CommandsView), f(ProcsView);
        f(empty_tuple), f(command_init), f(namespace_init), f(kw_array_index), f(kw_nocomplain), f(kw_pattern), f(kw_tcl), f(kw_var_type);
    }
    bool init() noexcept;
};

struct State : capi::ModuleStateBase {
    // Imported at module execution.
    Ref MutableMapping, quotify, tclobj, TclError, MethodType, weakref, sys, functools;
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

    // Commands and namespaces.
    CmdState cmd;

    template <class F>
    void for_each_ref(F&& f) {
        f(function_type);
        f(MutableMapping), f(quotify), f(tclobj), f(TclError), f(MethodType), f(weakref), f(sys), f(functools);
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
        cmd.for_each_ref(f);
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
bool build_tcl_command(PyObject* module, State& st);        // TclCommand, TempTclCommand
bool build_namespace_views(PyObject* module, State& st);    // the four views, before TclNamespace
bool build_tcl_namespace(PyObject* module, State& st);
bool build_temp_namespace(PyObject* module, State& st);     // TempTclNamespace

// ---------------------------------------------------------------------------
// Shared by the command and namespace classes

// The package brelt.tcl (the default interpreter), a new reference.
PyObject* the_package(State& st) noexcept;
// What a constructor stores as `tcl`: a weak proxy on `tcl`, or on the
// package when `tcl` is false (or NULL).
PyObject* interp_proxy(State& st, PyObject* tcl) noexcept;
// A tuple of the given words (borrowed references).
PyObject* make_words(std::initializer_list<PyObject*> items) noexcept;
// Raises KeyError(exc) from exc, exc being the exception being raised now.
std::nullptr_t reraise_as_key_error() noexcept;
// getattr(super(cls, self), name, None) if true, else an empty Ref.
bool next_hook(PyObject* cls, PyObject* self, PyObject* name, Ref& hook) noexcept;
// Whether `name` starts with "::" (str, or through its own startswith).
int starts_with_colons(State& st, PyObject* name) noexcept;

// TclCommand's requests, for the views' fast paths: `self` is a handle.
PyObject* command_exists(State& st, PyObject* self, PyObject* info_sub) noexcept;
// ns.call(words) for a TclNamespace `ns` (its own method for a subclass).
PyObject* namespace_call(State& st, PyObject* ns, PyObject* words) noexcept;
// The name of a TclNamespace as join() sees it: quotify(ns).
PyObject* namespace_name(State& st, PyObject* ns) noexcept;

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
