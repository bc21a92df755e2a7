// brelt.tcl.history: module state and the pieces shared by its classes.
#pragma once

#include "capi.hpp"

namespace history {

using capi::Function;
using capi::Ref;

struct State : capi::ModuleStateBase {
    // The classes as the module created them, and Entry's own __init__:
    // while the module attribute Entry is still this class with this
    // initialiser, History.append builds entries without calling the class.
    Ref Entry, History, entry_init;
    Ref Logger;       // logging.Logger, and its isEnabledFor as defined
    Ref is_enabled_for;
    Ref debug_level;  // logging.DEBUG
    Ref max_history;  // 9999, History.__MAX_HISTORY__
    Ref empty_tuple;
    Ref deque_type;   // collections.deque

    // Names of module attributes, read at every use so that replacing one
    // (get_time, log, deque, re, Entry) takes effect.
    Ref g_re, g_deque, g_get_time, g_log, g_Entry;

    // Attribute and method names.
    Ref s_timestamp, s_api, s_history, s_markers, s_active, s_enabled;
    Ref s_init, s_enable, s_maxlen, s_append, s_clear, s_remove, s_debug, s_is_enabled_for;
    Ref s_strftime, s_compile, s_search, s_str, s_disabled, s_cache;

    // Texts.
    Ref t_time_format, t_colon, t_percent, t_enabled, t_disabled, t_no_marker;

    template <class F>
    void for_each_ref(F&& f) {
        f(function_type);
        f(Entry), f(History), f(entry_init), f(Logger), f(is_enabled_for), f(debug_level), f(max_history), f(empty_tuple), f(deque_type);
        f(g_re), f(g_deque), f(g_get_time), f(g_log), f(g_Entry);
        f(s_timestamp), f(s_api), f(s_history), f(s_markers), f(s_active), f(s_enabled);
        f(s_init), f(s_enable), f(s_maxlen), f(s_append), f(s_clear), f(s_remove), f(s_debug), f(s_is_enabled_for);
        f(s_strftime), f(s_compile), f(s_search), f(s_str), f(s_disabled), f(s_cache);
        f(t_time_format), f(t_colon), f(t_percent), f(t_enabled), f(t_disabled), f(t_no_marker);
    }
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// The module attribute `name` (borrowed), or NULL with NameError set, as
// Python reports a global that is gone.
PyObject* global(Function* self, PyObject* name) noexcept;

// Entry(api): the line of text an entry stores for `api` (a str, or an
// iterable of str whose elements holding a blank are braced).
PyObject* api_line(PyObject* api);
// A new Entry for `item`, through the module attribute Entry.
PyObject* new_entry(Function* self, PyObject* item);

// Class definitions, in the order the module creates them.
Ref build_entry_class(PyObject* module, State& st);
Ref build_history_class(PyObject* module, State& st);

}  // namespace history
