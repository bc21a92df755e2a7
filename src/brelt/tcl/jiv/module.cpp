// The module brelt.tcl.jiv: imports and classes.
#include "jiv.hpp"

namespace jiv {
namespace {

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        using capi::add_object;
        using capi::intern;

        // import weakref; from tkinter import TclError;
        // from brelt.tcl.quotify import quotify
        Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
        Ref tcl_error;
        if (!add_object(module, "weakref", weakref.get()) || !capi::import_attr(tcl_error, "tkinter", "TclError") ||
            !add_object(module, "TclError", tcl_error.get()) ||
            !capi::import_attr(st->quotify, "brelt.tcl.quotify", "quotify") ||
            !add_object(module, "quotify", st->quotify.get())) {
            return -1;
        }

        bool ok = intern(st->g_weakref, "weakref") && intern(st->g_TclError, "TclError") &&
                  intern(st->g_quotify, "quotify") && intern(st->g_Jiv_Code, "Jiv_Code") &&
                  intern(st->s_tcl, "tcl") && intern(st->s_cmd, "cmd") && intern(st->s_init, "__init__") &&
                  intern(st->s_proxy, "proxy") && intern(st->s_cast_, "cast_") &&
                  intern(st->s_history, "history") && intern(st->s_append, "append") && intern(st->s_tk, "tk") &&
                  intern(st->s_call, "call") && intern(st->s_vars, "vars") && intern(st->s_cast_any, "cast_any") &&
                  intern(st->s_str, "__str__") && intern(st->t_sep, "::") && intern(st->t_dash, "-") &&
                  intern(st->t_error_info, "::errorInfo") && intern(st->t_no_command, "invalid command name \"\"");
        if (!ok) return -1;
        st->empty_tuple = Ref::steal(PyTuple_New(0));
        st->kw_tcl = Ref::steal(PyTuple_Pack(1, st->s_tcl.get()));
        if (!st->empty_tuple || !st->kw_tcl) return -1;

        st->Jiv = build_jiv_class(module, *st);
        if (!add_object(module, "Jiv", st->Jiv.get())) return -1;
        st->Jiv_Code = build_code_class(module, *st);
        if (!add_object(module, "Jiv_Code", st->Jiv_Code.get())) return -1;
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

constexpr const char* kModuleDoc = R"(Implements:
    brelt.tcl.Jiv

Description:
    This file implements the quick-call proxy of an interpreter object:
    tcl.jiv.ns_a.ns_b.procname('arguments', arg_a='value') runs the Tcl
    command ns_a::ns_b::procname with the word 'arguments' followed by the
    option words -arg_a and 'value', records it in the interpreter's
    history, and returns the cast result.
)";

}  // namespace

PyModuleDef module_def = capi::make_module_def<State>("brelt.tcl.jiv", kModuleDoc, slots);

}  // namespace jiv

PyMODINIT_FUNC PyInit_jiv() { return PyModuleDef_Init(&jiv::module_def); }
