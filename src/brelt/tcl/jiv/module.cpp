// The module brelt.tcl.jiv: imports and classes.
#include "jiv.hpp"

namespace jiv {
namespace {

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr) return -1;
        st->memo.setup();
        using capi::add_object;

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

        st->empty_tuple = Ref::steal(PyTuple_New(0));
        if (!st->empty_tuple) return -1;
        if (!capi::import_attr(st->cast_any, "brelt.tcl.internal", "cast_any") ||
            !capi::import_attr(st->TclObj, "_tkinter", "Tcl_Obj")) {
            return -1;
        }

        st->Jiv = build_jiv_class(module, *st);
        if (!add_object(module, "Jiv", st->Jiv.get())) return -1;
        st->Jiv_Code = build_code_class(module, *st);
        if (!add_object(module, "Jiv_Code", st->Jiv_Code.get())) return -1;
        return 0;
    });
}

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

PyModuleDef module_def =
    capi::make_module_def<State>("brelt.tcl.jiv", kModuleDoc, capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace jiv

PyMODINIT_FUNC PyInit_jiv() { return PyModuleDef_Init(&jiv::module_def); }
