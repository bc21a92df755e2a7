// brelt.tcl.namespace: the one module state, and what every file of the
// module needs (conversions, small argument helpers, the class builders and
// the requests one class makes of another).
#pragma once

#include "callback.hpp"
#include "call.hpp"
#include "capi.hpp"
#include "method_guard.hpp"
#include "request.hpp"

namespace tclns {

using capi::Function;
using capi::Ref;

using capi::call_method;
using capi::Held;

struct State : capi::ModuleStateBase {
    // Imported at module execution.
    Held MutableMapping, quotify, tclobj, TclError, MethodType, weakref, sys, functools;
    // functools.WRAPPER_ASSIGNMENTS and WRAPPER_UPDATES as tuples, taken
    // once: what TempTclCommand copies from its callable.
    Held wrapper_assignments, wrapper_updates;
    Held TclObj;  // _tkinter.Tcl_Obj: a value of a type tkinter does not convert
    Held inspect_Signature, inspect_Parameter;
    Held package_name;  // the package whose module is the default interpreter
    Held package_seen;  // its module, once found imported (not on the free-threaded build)
    // What a[key] and del a[key] of a missing element raise: a TclError that
    // is also a KeyError, so the mapping mixins work.
    Held ElementError;

    // TclVariable's private marker: "use the handle's own cast".
    Held marker;

    // The classes, in order of creation, and the initialisers the
    // temporary classes run.
    Held TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable;
    Held TclCommand, TempTclCommand;
    Held VariablesView, ObjectsView, CommandsView, ProcsView;
    Held TclNamespace, TempTclNamespace;
    // Whether each class whose methods C code stands in for still has
    // them (see capi::MethodGuard).
    capi::MethodGuard TclVariable_methods, TclArrayVariable_methods, TempTclArrayVariable_methods;
    capi::MethodGuard TclCommand_methods, TempTclCommand_methods, TclNamespace_methods, TempTclNamespace_methods;
    capi::MethodGuard VariablesView_methods, ObjectsView_methods;
    Held command_init, namespace_init, temp_command_init;
    Held lazy_iterator_type;
    Held CommandCallable;  // what tkinter registers for a Python command

    // Attribute and method names.
    Held s_tcl{Held::name, "tcl"}, s_cast{Held::name, "cast"}, s_var_name{Held::name, "var_name"};
    Held s_tk{Held::name, "tk"}, s_typename{Held::name, "typename"};
    Held s_thread{Held::name, "_thread"};  // the Interpreter's owner thread
    Held s_default_interpreter{Held::name, "_default_interpreter"}, s_default{Held::name, "_default"};
    Held s_getvar{Held::name, "getvar"}, s_setvar{Held::name, "setvar"}, s_unsetvar{Held::name, "unsetvar"};
    Held s_eval{Held::name, "eval"}, s_call{Held::name, "call"};
    Held s_cast_boolean{Held::name, "cast_boolean"}, s_cast_list{Held::name, "cast_list"};
    Held s_cast_array{Held::name, "cast_array"};
    Held s_get{Held::name, "get"}, s_set{Held::name, "set"}, s_unset{Held::name, "unset"};
    Held s_exists{Held::name, "exists"}, s_array_size{Held::name, "array_size"};
    Held s_array_names{Held::name, "array_names"}, s_array_set{Held::name, "array_set"};
    Held s_array_unset{Held::name, "array_unset"}, s_absolute{Held::name, "absolute"};
    Held s_format{Held::name, "format"}, s_enter{Held::name, "__enter__"}, s_exit{Held::name, "__exit__"};
    Held s_dunder_call{Held::name, "__call__"};
    Held s_init{Held::name, "__init__"}, s_class{Held::name, "__class__"}, s_name{Held::name, "__name__"};
    // ... of the command and namespace classes.
    Held s_cmd_name{Held::name, "cmd_name"}, s_args{Held::name, "args"}, s_keywords{Held::name, "keywords"};
    Held s_logger{Held::name, "logger"}, s_ns{Held::name, "ns"}, s_vars{Held::name, "vars"};
    Held s_objs{Held::name, "objs"}, s_procs{Held::name, "procs"}, s_cmds{Held::name, "cmds"};
    Held s_build_tclcmd{Held::name, "build_tclcmd"}, s_createcommand{Held::name, "createcommand"};
    Held s_delete{Held::name, "delete"}, s_is_proc{Held::name, "is_proc"}, s_info{Held::name, "info"};
    Held s_byref{Held::name, "byref"}, s_create{Held::name, "create"}, s_current{Held::name, "current"};
    Held s_is_absolute{Held::name, "is_absolute"}, s_del{Held::name, "__del__"};
    Held s_wrapped{Held::name, "__wrapped__"}, s_update{Held::name, "update"}, s_var_type{Held::name, "var_type"};
    Held s_rename{Held::name, "rename"}, s_origin{Held::name, "origin"}, s_proc_body{Held::name, "proc_body"};
    Held s_proc_args{Held::name, "proc_args"}, s_proc_arg_default{Held::name, "proc_arg_default"};
    Held s_get_str{Held::name, "get_str"}, s_get_obj{Held::name, "get_obj"};
    Held s_array_get_str{Held::name, "array_get_str"}, s_array_get_obj{Held::name, "array_get_obj"};
    Held s_is_array{Held::name, "is_array"}, s_startswith{Held::name, "startswith"};
    Held s_rpartition{Held::name, "rpartition"};
    Held s_WRAPPER_ASSIGNMENTS{Held::name, "WRAPPER_ASSIGNMENTS"}, s_WRAPPER_UPDATES{Held::name, "WRAPPER_UPDATES"};
    Held s_kept_tk{Held::name, "_TempTclCommand__tk"};
    Held s_spec{Held::name, "__spec__"}, s_initializing{Held::name, "_initializing"};
    Held s_interpaddr{Held::name, "interpaddr"};
    Held s_qualname{Held::name, "__qualname__"}, s_module{Held::name, "__module__"}, s_doc{Held::name, "__doc__"};
    Held s_dict{Held::name, "__dict__"}, s_func{Held::name, "func"};
    Held object_class_descriptor;  // object.__dict__['__class__']
    // The classes the views make handles of, by their module-level names:
    // looked up when a view method runs, so that replacing one takes effect.
    Held g_TclVariable{Held::name, "TclVariable"}, g_TclArrayVariable{Held::name, "TclArrayVariable"};
    Held g_TclCommand{Held::name, "TclCommand"};

    // Tcl words and text.
    Held w_commands{Held::name, "commands"}, w_procs{Held::name, "procs"}, w_body{Held::name, "body"};
    Held w_args{Held::name, "args"}, w_default{Held::name, "default"}, w_rename{Held::name, "::rename"};
    Held w_qnamespace{Held::name, "::namespace"}, w_origin{Held::name, "origin"}, w_eval{Held::name, "eval"};
    Held w_children{Held::name, "children"}, w_code{Held::name, "code"}, w_delete{Held::name, "delete"};
    Held w_export{Held::name, "export"}, w_clear{Held::name, "-clear"}, w_forget{Held::name, "forget"};
    Held w_import{Held::name, "import"}, w_force{Held::name, "-force"}, w_parent{Held::name, "parent"};
    Held w_which{Held::name, "which"}, w_command{Held::name, "-command"}, w_variable{Held::name, "-variable"};
    Held w_vars{Held::name, "vars"}, t_dash{Held::name, "-"}, t_calling{Held::name, "Calling: "};
    Held t_empty{Held::name, ""}, t_star{Held::name, "*"};
    // The variables a pattern names that hold a value: ::info vars also
    // lists those only declared (`variable x`), which no read finds.
    Held w_apply{Held::name, "::apply"};
    Held t_set_vars{Held::name,
                    "{pattern} {::lmap n [::info vars $pattern] {if {[::info exists $n]} {set n} else continue}}"};
    Held w_info{Held::name, "::info"}, w_exists{Held::name, "exists"}, w_array{Held::name, "::array"};
    Held w_get{Held::name, "get"}, w_set{Held::name, "set"}, w_unset{Held::name, "unset"};
    Held w_size{Held::name, "size"}, w_names{Held::name, "names"}, w_namespace{Held::name, "namespace"};
    Held w_current{Held::name, "current"};
    Held t_colons{Held::name, "::"}, t_lparen{Held::name, "("};
    Held t_rparen{Held::name, ")"}, t_temp_name{Held::name, "::__brelt__{cls}_{id}_tmp"};

    // Keyword-name tuples for vectorcalls.
    Held kw_array_index{Held::kwnames, "array_index"}, kw_nocomplain{Held::kwnames, "nocomplain"};
    Held kw_index_nocomplain{Held::kwnames, "array_index nocomplain"};
    Held kw_pattern{Held::kwnames, "pattern"}, kw_tcl{Held::kwnames, "tcl"};
    Held kw_tcl_cast{Held::kwnames, "tcl cast"}, kw_cls_id{Held::kwnames, "cls id"};

    // The request path (host/request.hpp): its names, caches, TclError
    // and Tcl_Obj.
    host::RequestCore requests;

    Held dashed;             // dict: option name -> "-name", the common ones
    bool assertions = true;  // false under python -O, as for `assert`
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// The names the host layer's look-through reads.
inline host::Names host_names(State& st) noexcept { return st.requests.names(); }

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

// Whether an optional argument is absent: NULL (not given) or None.
inline bool is_none(PyObject* o) noexcept { return o == nullptr || o == Py_None; }

// Python's truth of `obj`, None answered without a call.
inline int truth(PyObject* obj) noexcept { return obj == Py_None ? 0 : PyObject_IsTrue(obj); }

// None for a result that is not NULL (dropped), else NULL.
inline PyObject* none_of(PyObject* r) noexcept {
    if (r == nullptr) return nullptr;
    Py_DECREF(r);
    Py_RETURN_NONE;
}

// self.tcl.<cast>(value)
inline PyObject* cast_with(PyObject* tcl, PyObject* cast_name, PyObject* value) noexcept {
    return capi::call_method(tcl, cast_name, value);
}

// ---------------------------------------------------------------------------
// Class builders, called in order of creation by the module's exec slot

bool build_tcl_variable(PyObject* module, State& st);         // variable.cpp
bool build_temp_variable(PyObject* module, State& st);        // temporaries.cpp
bool build_array_variable(PyObject* module, State& st);       // arrays.cpp
bool build_temp_array_variable(PyObject* module, State& st);  // temporaries.cpp
bool build_tcl_command(PyObject* module, State& st);          // command.cpp
bool build_temp_command(PyObject* module, State& st);         // temporaries.cpp
bool build_variable_views(PyObject* module, State& st);       // var_views.cpp, before TclNamespace
bool build_command_views(PyObject* module, State& st);        // cmd_views.cpp, before TclNamespace
bool build_tcl_namespace(PyObject* module, State& st);        // tclnamespace.cpp
bool build_temp_namespace(PyObject* module, State& st);       // temporaries.cpp
bool init_element_error(State& st);                           // arrays.cpp
// __reduce_ex__ of the temporaries: copying or pickling one raises TypeError.
extern const capi::FunctionDef kRefuseCopy;

// The module's definition (module.cpp), by which a slot of one of its
// classes finds the module's state.
extern PyModuleDef module_def;

// The call slot of TclCommand and TempTclCommand: what CPython's own slot
// does with their __call__ (command.cpp), without the detour.
PyObject* command_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Whether `obj` is an instance of the module's class itself (not of a
// subclass, which may override what a method delegates to): TclCommand or
// TempTclCommand; TclNamespace or TempTclNamespace.
bool own_command(State& st, PyObject* obj) noexcept;
// Whether `obj` is an instance of class `a` or `b` itself (not of a
// subclass) that still has its own methods (guarded by `ga`, `gb`).
inline bool own_instance(PyObject* obj, const Held& a, capi::MethodGuard& ga, const Held& b,
                         capi::MethodGuard& gb) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == a.as<PyTypeObject>()) return ga.unchanged(t);
    return t == b.as<PyTypeObject>() && gb.unchanged(t);
}
bool own_namespace(State& st, PyObject* obj) noexcept;

// ---------------------------------------------------------------------------
// What the handle classes share (handles.cpp)

// The package brelt.tcl (the default interpreter), a new reference.
PyObject* the_package(State& st) noexcept;
// What a constructor stores as `tcl`: a weak proxy on `tcl`, or on the
// package when `tcl` is false (or NULL).
PyObject* interp_proxy(State& st, PyObject* tcl) noexcept;
// A tuple of the given words (borrowed references).
using host::make_words;
// Raises KeyError(exc) from exc, exc being the exception being raised now.
std::nullptr_t reraise_as_key_error() noexcept;
// super(cls, self)
Ref super_of(PyObject* cls, PyObject* self) noexcept;
// super(cls, self).__init__(): a class mixed in after `cls` is set up.
bool init_base(State& st, PyObject* cls, PyObject* self) noexcept;
// getattr(super(cls, self), name, None) if true, else an empty Ref: the
// hook of the class after `cls` in the object's resolution order, so a
// mixed-in context manager is chained.
bool next_hook(PyObject* cls, PyObject* self, PyObject* name, Ref& hook) noexcept;
// The context manager chain of a temporary of class `cls`: the __enter__
// of the class after `cls` called (self when there is none); its __exit__
// called with `exc_info` (False when there is none).
PyObject* chain_enter(State& st, PyObject* cls, PyObject* self) noexcept;
PyObject* chain_exit(State& st, PyObject* cls, PyObject* self, PyObject* exc_info) noexcept;

// `name` (the handle's own) when absolute, else joined to the interpreter's
// current namespace (asked of the interpreter of `self`).
PyObject* absolute_name(State& st, PyObject* self, PyObject* name) noexcept;
// make_absolute(): self.<attr> = self.absolute(); None.
PyObject* store_absolute(State& st, PyObject* self, PyObject* attr) noexcept;

// TclCommand's requests, for the views' fast paths: `self` is a handle.
PyObject* command_exists(State& st, PyObject* self, PyObject* info_sub) noexcept;
// ns.call(words) for a TclNamespace `ns` (its own method for a subclass).
PyObject* namespace_call(State& st, PyObject* ns, PyObject* words) noexcept;
// The name of a TclNamespace as join() sees it: quotify(ns).
PyObject* namespace_name(State& st, PyObject* ns) noexcept;
// TclCommand.__init__(self, cmd, args, keywords, tcl, cast, logger), the
// arguments not given being NULL.
PyObject* init_command_handle(State& st, PyObject* self, PyObject* cmd, PyObject* args, PyObject* keywords,
                              PyObject* tcl, PyObject* cast, PyObject* logger) noexcept;
// TclCommand.createcommand(func) and delete() of handle `self`, run as they
// stand (for the module's own classes, whose methods they are).
PyObject* create_command(State& st, PyObject* self, PyObject* func) noexcept;
PyObject* delete_command(State& st, PyObject* self) noexcept;
// What a temporary command keeps of the Tcl application its command went
// to: (tk, the owning thread's ident or None); and its dropping once the
// command is gone (temporaries.cpp).
PyObject* kept_application(State& st, PyObject* tcl, PyObject* tk) noexcept;
bool forget_kept_tk(State& st, PyObject* self) noexcept;

}  // namespace tclns
