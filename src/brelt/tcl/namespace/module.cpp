// The module brelt.tcl.namespace: its imports, export list and the order
// in which its classes are built.
#include <utility>

#include "lazy_iter.hpp"

namespace tclns {
namespace {

using capi::add_object;
using capi::import_attr;

// The exported classes, in order of definition (also the order of __all__).
constexpr const char* kExports[] = {
    "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
    "TclCommand",  "TempTclCommand",  "TclNamespace",     "TempTclNamespace",
};

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// The package that holds this module, from __package__ (set by the import
// system before execution), else from __name__.
Ref package_of(PyObject* module, State& st) {
    PyObject* dict = PyModule_GetDict(module);
    Ref pkg;
    if (PyDict_GetItemRef(dict, Ref::steal(PyUnicode_FromString("__package__")).get(), pkg.out()) < 0) return {};
    if (pkg && PyUnicode_Check(pkg.get()) && PyUnicode_GET_LENGTH(pkg.get()) > 0) return pkg;
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return {};
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref parts = dot ? Ref::steal(call_method(name.get(), st.s_rpartition.get(), dot.get())) : Ref();
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
    if (!import_attr(st.TclObj, "_tkinter", "Tcl_Obj") || !import_attr(st.TclError, "tkinter", "TclError") ||
        !add_object(module, "TclError", st.TclError.get()) || !import_attr(st.MethodType, "types", "MethodType") ||
        !add_object(module, "MethodType", st.MethodType.get())) {
        return false;
    }
    st.object_class_descriptor = capi::type_lookup(&PyBaseObject_Type, st.s_class.get());
    if (!st.object_class_descriptor) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "object has no __class__");
        return false;
    }
    st.weakref = import_module("weakref");
    st.sys = import_module("sys");
    st.functools = import_module("functools");
    if (!st.functools) return false;
    for (auto [list, name] : {std::pair{&st.wrapper_assignments, &st.s_WRAPPER_ASSIGNMENTS},
                              std::pair{&st.wrapper_updates, &st.s_WRAPPER_UPDATES}}) {
        Ref value = Ref::steal(PyObject_GetAttr(st.functools.get(), name->get()));
        *list = Ref::steal(value ? PySequence_Tuple(value.get()) : nullptr);
        if (!*list) return false;
    }
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
    st.dashed = Ref::steal(PyDict_New());
    if (!st.dashed) return false;
    // `assert` statements run unless Python was started with -O.
    Ref flags = Ref::steal(PyObject_GetAttrString(st.sys.get(), "flags"));
    Ref optimize = flags ? Ref::steal(PyObject_GetAttrString(flags.get(), "optimize")) : Ref();
    if (!optimize) return false;
    int level = PyObject_IsTrue(optimize.get());
    if (level < 0) return false;
    st.assertions = level == 0;
    host::RequestCore& rq = st.requests;
    rq.tcl_error = Ref::borrow(st.TclError.get());
    rq.tcl_obj = Ref::borrow(st.TclObj.get());
    if (!import_attr(rq.tkapp_type, "_tkinter", "TkappType")) return false;
    rq.cache_entries = Ref::steal(PyList_New(0));
    if (!rq.cache_entries) return false;
    rq.memo.setup();
    rq.plain_names[0] = Ref::borrow(st.s_tcl.get());
    rq.plain_names[1] = Ref::borrow(st.s_var_name.get());
    rq.plain_names[2] = Ref::borrow(st.s_cast.get());
    rq.plain_names[3] = Ref::borrow(rq.tk.get());
    rq.plain_names[4] = Ref::borrow(rq.thread.get());
    return true;
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        if (!import_names(module, *st) || !bind_all(module)) return -1;
        st->package_name = package_of(module, *st);
        if (!st->package_name || !import_attr(st->inspect_Signature, "inspect", "Signature") ||
            !import_attr(st->inspect_Parameter, "inspect", "Parameter") || !init_names(*st) ||
            !init_lazy_iterator_type(module, *st) || !init_element_error(*st)) {
            return -1;
        }
        st->CommandCallable = Ref::steal(host::make_callable_type(module));
        if (!st->CommandCallable) return -1;
        // The classes, each bound as soon as it exists; the views are
        // nested in TclNamespace, so they exist before it.
        struct Step {
            bool (*build)(PyObject*, State&);
            const char* name;
            Held* cls;
        };
        for (Step step : {Step{build_tcl_variable, "TclVariable", &st->TclVariable},
                          Step{build_temp_variable, "TempTclVariable", &st->TempTclVariable},
                          Step{build_array_variable, "TclArrayVariable", &st->TclArrayVariable},
                          Step{build_temp_array_variable, "TempTclArrayVariable", &st->TempTclArrayVariable},
                          Step{build_tcl_command, "TclCommand", &st->TclCommand},
                          Step{build_temp_command, "TempTclCommand", &st->TempTclCommand},
                          Step{build_variable_views, nullptr, nullptr}, Step{build_command_views, nullptr, nullptr},
                          Step{build_tcl_namespace, "TclNamespace", &st->TclNamespace},
                          Step{build_temp_namespace, "TempTclNamespace", &st->TempTclNamespace}}) {
            if (!step.build(module, *st)) return -1;
            if (step.name != nullptr && !add_object(module, step.name, step.cls->get())) return -1;
        }
        // For the package, which offers it as brelt.tcl.TclKeyError.
        if (!add_object(module, "TclKeyError", st->ElementError.get())) return -1;
        for (auto [guard, cls] : {std::pair{&st->TclVariable_methods, &st->TclVariable},
                                  std::pair{&st->TclArrayVariable_methods, &st->TclArrayVariable},
                                  std::pair{&st->TempTclArrayVariable_methods, &st->TempTclArrayVariable},
                                  std::pair{&st->TclCommand_methods, &st->TclCommand},
                                  std::pair{&st->TempTclCommand_methods, &st->TempTclCommand},
                                  std::pair{&st->TclNamespace_methods, &st->TclNamespace},
                                  std::pair{&st->TempTclNamespace_methods, &st->TempTclNamespace},
                                  std::pair{&st->VariablesView_methods, &st->VariablesView},
                                  std::pair{&st->ObjectsView_methods, &st->ObjectsView}}) {
            if (!guard->setup(cls->get())) return -1;
        }
        return 0;
    });
}

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

}  // namespace

PyModuleDef module_def = capi::make_module_def<State>("brelt.tcl.namespace", kModuleDoc,
                                                      capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace tclns

PyMODINIT_FUNC PyInit_namespace() { return PyModuleDef_Init(&tclns::module_def); }
