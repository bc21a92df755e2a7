// brelt.tcl.jiv: module state and the pieces shared by its classes.
#pragma once

#include "capi.hpp"

namespace jiv {

using capi::Function;
using capi::Ref;

struct State : capi::ModuleStateBase {
    // The classes as the module created them, Jiv_Code's own __init__, and
    // the quotify function imported at module creation. While the module
    // attributes still hold these, the hot path may skip calls whose
    // outcome it knows (quotify of a str is that str).
    Ref Jiv, Jiv_Code, code_init, quotify;
    Ref empty_tuple, kw_tcl;  // (), ('tcl',)

    // Names of module attributes, read at every use so that replacing one
    // (weakref, TclError, quotify, Jiv_Code) takes effect.
    Ref g_weakref, g_TclError, g_quotify, g_Jiv_Code;

    // Attribute and method names.
    Ref s_tcl, s_cmd, s_init, s_proxy, s_cast_, s_history, s_append, s_tk, s_call, s_vars, s_cast_any, s_str;

    // Texts.
    Ref t_sep, t_dash, t_error_info, t_no_command;

    template <class F>
    void for_each_ref(F&& f) {
        f(function_type);
        f(Jiv), f(Jiv_Code), f(code_init), f(quotify), f(empty_tuple), f(kw_tcl);
        f(g_weakref), f(g_TclError), f(g_quotify), f(g_Jiv_Code);
        f(s_tcl), f(s_cmd), f(s_init), f(s_proxy), f(s_cast_), f(s_history), f(s_append), f(s_tk), f(s_call);
        f(s_vars), f(s_cast_any), f(s_str);
        f(t_sep), f(t_dash), f(t_error_info), f(t_no_command);
    }
};

// The module attribute `name` (borrowed), or NULL with NameError set.
PyObject* global(PyObject* module, PyObject* name) noexcept;

// Class definitions, in the order the module creates them. Each installs
// its fast attribute look-up (and Jiv_Code its fast call) on the class.
Ref build_jiv_class(PyObject* module, State& st);
Ref build_code_class(PyObject* module, State& st);

}  // namespace jiv
