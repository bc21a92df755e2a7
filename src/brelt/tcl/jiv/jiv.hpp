// brelt.tcl.jiv: module state and the pieces shared by its classes.
#pragma once

#include "call.hpp"
#include "capi.hpp"
#include "dictmemo.hpp"
#include "rawvalue.hpp"

namespace jiv {

using capi::Function;
using capi::Ref;

using capi::Held;

struct State : capi::ModuleStateBase {
    // The classes as the module created them, Jiv_Code's own __init__ and
    // __new__, and the quotify function imported at module creation. While
    // the module attributes still hold these, the hot path may skip calls
    // whose outcome it knows (quotify of a str is that str).
    Held Jiv, Jiv_Code, code_init, quotify;
    newfunc code_new = nullptr;
    Held empty_tuple;

    // The package's cast_any (of brelt.tcl.internal) and the Tcl objects it
    // turns into text: while an interpreter's cast_any is this function,
    // the quick call does its work inline.
    Held cast_any, TclObj;

    // Jiv_Code objects that Jiv handed out last, by path name: a small
    // table indexed by the name's hash, each slot the name and its code. One
    // nobody else holds any more, in the state Jiv made it, is handed out
    // again instead of a new one (see reuse_code).
    static constexpr size_t kCodeSlots = 32;
    Held code_names[kCodeSlots], codes[kCodeSlots];
    Held kw_tcl{Held::kwnames, "tcl"};

    // What a quick call reads from the module's dict, the Interpreter's and
    // the History's, as long as each is unchanged; and whether the
    // Interpreter's class leaves its attributes to its instance dict.
    // Six dicts: the module's, the Interpreter's, its History's, a Jiv's
    // and a Jiv_Code's.
    capi::BasicDictMemo<6> memo;
    capi::PlainAttrs interp_attrs;

    // Names of module attributes, read at every use so that replacing one
    // (weakref, TclError, quotify, Jiv_Code) takes effect.
    Held g_weakref{Held::name, "weakref"}, g_TclError{Held::name, "TclError"};
    Held g_quotify{Held::name, "quotify"}, g_Jiv_Code{Held::name, "Jiv_Code"};

    // Attribute and method names.
    Held s_tcl{Held::name, "tcl"}, s_cmd{Held::name, "cmd"}, s_init{Held::name, "__init__"};
    Held s_proxy{Held::name, "proxy"}, s_cast_{Held::name, "cast_"}, s_history{Held::name, "history"};
    Held s_append{Held::name, "append"}, s_tk{Held::name, "tk"}, s_call{Held::name, "call"};
    Held s_thread{Held::name, "_thread"};  // the Interpreter's owner thread
    Held s_cast_any{Held::name, "cast_any"}, s_str{Held::name, "__str__"};

    // Texts.
    Held t_sep{Held::name, "::"}, t_dash{Held::name, "-"};
    Held t_no_command{Held::name, "invalid command name \"\""};
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// Class definitions, in the order the module creates them. Each installs
// its fast attribute look-up (and Jiv_Code its fast call) on the class.
Ref build_jiv_class(PyObject* module, State& st);
Ref build_code_class(PyObject* module, State& st);

}  // namespace jiv
