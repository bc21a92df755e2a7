// The module brelt.tcl.namespace: its imports, export list and classes.
#include "namespace.hpp"

namespace tclns {
namespace {

using capi::add_object;
using capi::import_attr;
using capi::intern;

// The exported classes, in order of definition (also the order of __all__).
constexpr const char* kExports[] = {
    "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
    "TclCommand",  "TempTclCommand",  "TclNamespace",     "TempTclNamespace",
};

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// The package that holds this module, from __package__ (set by the import
// system before execution), else from __name__.
Ref package_of(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    Ref pkg;
    if (PyDict_GetItemRef(dict, Ref::steal(PyUnicode_FromString("__package__")).get(), pkg.out()) < 0) return {};
    if (pkg && PyUnicode_Check(pkg.get()) && PyUnicode_GET_LENGTH(pkg.get()) > 0) return pkg;
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return {};
    Ref parts = Ref::steal(PyObject_CallMethod(name.get(), "rpartition", "s", "."));
    if (!parts) return {};
    return Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
}

bool import_names(PyObject* module, State& st) {
    if (!import_attr(st.MutableMapping, "collections.abc", "MutableMapping") ||
        !add_object(module, "MutableMapping", st.MutableMapping.get())) {
        return false;
    }
    // from .quotify import quotify, tclobj
    Ref fromlist = Ref::steal(Py_BuildValue("(ss)", "quotify", "tclobj"));
    Ref relname = Ref::steal(PyUnicode_FromString("quotify"));
    if (!fromlist || !relname) return false;
    Ref sibling = Ref::steal(
        PyImport_ImportModuleLevelObject(relname.get(), PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    if (!sibling) return false;
    st.quotify = Ref::steal(PyObject_GetAttrString(sibling.get(), "quotify"));
    st.tclobj = Ref::steal(PyObject_GetAttrString(sibling.get(), "tclobj"));
    if (!add_object(module, "quotify", st.quotify.get()) || !add_object(module, "tclobj", st.tclobj.get())) {
        return false;
    }
    if (!import_attr(st.TclError, "tkinter", "TclError") || !add_object(module, "TclError", st.TclError.get()) ||
        !import_attr(st.MethodType, "types", "MethodType") ||
        !add_object(module, "MethodType", st.MethodType.get())) {
        return false;
    }
    st.weakref = import_module("weakref");
    st.sys = import_module("sys");
    st.functools = import_module("functools");
    return add_object(module, "weakref", st.weakref.get()) && add_object(module, "sys", st.sys.get()) &&
           add_object(module, "functools", st.functools.get());
}

bool bind_all(PyObject* module) {
    constexpr Py_ssize_t n = sizeof(kExports) / sizeof(kExports[0]);
    Ref all = Ref::steal(PyTuple_New(n));
    if (!all) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyUnicode_InternFromString(kExports[i]);
        if (name == nullptr) return false;
        PyTuple_SET_ITEM(all.get(), i, name);
    }
    return add_object(module, "__all__", all.get());
}

bool init_names(State& st) {
    bool ok = intern(st.s_tcl, "tcl") && intern(st.s_cast, "cast") && intern(st.s_var_name, "var_name") &&
              intern(st.s_tk, "tk") && intern(st.s_getvar, "getvar") && intern(st.s_setvar, "setvar") &&
              intern(st.s_unsetvar, "unsetvar") && intern(st.s_eval, "eval") && intern(st.s_call, "call") &&
              intern(st.s_cast_boolean, "cast_boolean") && intern(st.s_cast_list, "cast_list") &&
              intern(st.s_cast_array, "cast_array") && intern(st.s_get, "get") && intern(st.s_set, "set") &&
              intern(st.s_unset, "unset") && intern(st.s_exists, "exists") &&
              intern(st.s_array_size, "array_size") && intern(st.s_array_names, "array_names") &&
              intern(st.s_array_set, "array_set") && intern(st.s_array_unset, "array_unset") &&
              intern(st.s_absolute, "absolute") && intern(st.s_format, "format") &&
              intern(st.s_enter, "__enter__") && intern(st.s_exit, "__exit__") && intern(st.s_init, "__init__") &&
              intern(st.s_class, "__class__") && intern(st.s_name, "__name__");
    ok = ok && intern(st.w_info, "::info") && intern(st.w_exists, "exists") && intern(st.w_array, "::array") &&
         intern(st.w_get, "get") && intern(st.w_set, "set") && intern(st.w_unset, "unset") &&
         intern(st.w_size, "size") && intern(st.w_names, "names") && intern(st.w_namespace, "namespace") &&
         intern(st.w_current, "current");
    ok = ok && intern(st.t_empty, "") && intern(st.t_colons, "::") && intern(st.t_lparen, "(") &&
         intern(st.t_rparen, ")") && intern(st.t_temp_name, "::__brelt__{cls}_{id}_tmp");
    if (!ok) return false;
    st.kw_array_index = Ref::steal(PyTuple_Pack(1, PyUnicode_InternFromString("array_index")));
    st.kw_nocomplain = Ref::steal(PyTuple_Pack(1, PyUnicode_InternFromString("nocomplain")));
    st.kw_tcl_cast = Ref::steal(Py_BuildValue("(ss)", "tcl", "cast"));
    st.kw_cls_id = Ref::steal(Py_BuildValue("(ss)", "cls", "id"));
    if (!st.kw_array_index || !st.kw_nocomplain || !st.kw_tcl_cast || !st.kw_cls_id || !st.cmd.init()) return false;
    // `assert` statements run unless Python was started with -O.
    Ref flags = Ref::steal(PyObject_GetAttrString(st.sys.get(), "flags"));
    Ref optimize = flags ? Ref::steal(PyObject_GetAttrString(flags.get(), "optimize")) : Ref();
    if (!optimize) return false;
    int level = PyObject_IsTrue(optimize.get());
    if (level < 0) return false;
    st.cmd.assertions = level == 0;
    st.plain_names[0] = Ref::borrow(st.s_tcl.get());
    st.plain_names[1] = Ref::borrow(st.s_var_name.get());
    st.plain_names[2] = Ref::borrow(st.s_cast.get());
    st.plain_names[3] = Ref::borrow(st.s_tk.get());
    st.tk_method_names[static_cast<int>(TkMethod::getvar)] = Ref::borrow(st.s_getvar.get());
    st.tk_method_names[static_cast<int>(TkMethod::setvar)] = Ref::borrow(st.s_setvar.get());
    st.tk_method_names[static_cast<int>(TkMethod::unsetvar)] = Ref::borrow(st.s_unsetvar.get());
    st.tk_method_names[static_cast<int>(TkMethod::call)] = Ref::borrow(st.s_call.get());
    st.tk_method_names[static_cast<int>(TkMethod::eval)] = Ref::borrow(st.s_eval.get());
    return true;
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        if (!import_names(module, *st) || !bind_all(module)) return -1;
        st->package_name = package_of(module);
        if (!st->package_name || !import_attr(st->inspect_Signature, "inspect", "Signature") ||
            !import_attr(st->inspect_Parameter, "inspect", "Parameter") || !init_names(*st) ||
            !init_lazy_iterator_type(module, *st)) {
            return -1;
        }
        // The classes, each bound as soon as it exists.
        if (!build_tcl_variable(module, *st) || !add_object(module, "TclVariable", st->TclVariable.get())) return -1;
        if (!build_array_and_temp_variables(module, *st) ||
            !add_object(module, "TempTclVariable", st->TempTclVariable.get()) ||
            !add_object(module, "TclArrayVariable", st->TclArrayVariable.get()) ||
            !add_object(module, "TempTclArrayVariable", st->TempTclArrayVariable.get())) {
            return -1;
        }
        if (!build_tcl_command(module, *st) || !add_object(module, "TclCommand", st->cmd.TclCommand.get()) ||
            !add_object(module, "TempTclCommand", st->cmd.TempTclCommand.get())) {
            return -1;
        }
        // The views are nested in TclNamespace, so they exist before it.
        if (!build_namespace_views(module, *st) || !build_tcl_namespace(module, *st) ||
            !add_object(module, "TclNamespace", st->TclNamespace.get())) {
            return -1;
        }
        if (!build_temp_namespace(module, *st) ||
            !add_object(module, "TempTclNamespace", st->cmd.TempTclNamespace.get())) {
            return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

constexpr const char* kModuleDoc = R"doc(Implements:
    TclVariable
    TempTclVariable
    TclArrayVariable
    TempTclArrayVariable
    TclCommand
    TempTclCommand
    TclNamespace
    TempTclNamespace

Description:
    This file implements abstraction of Tcl namespaces, variables and commands
)doc";

PyModuleDef module_def = capi::make_module_def<State>("brelt.tcl.namespace", kModuleDoc, slots);

}  // namespace
}  // namespace tclns

PyMODINIT_FUNC PyInit_namespace() { return PyModuleDef_Init(&tclns::module_def); }
