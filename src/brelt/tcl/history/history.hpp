// brelt.tcl.history: module state and the pieces shared by its classes.
#pragma once

#include "call.hpp"
#include "capi.hpp"
#include "clock.hpp"
#include "dictmemo.hpp"

namespace history {

using capi::Function;
using capi::Ref;

using capi::Held;

struct State : capi::ModuleStateBase {
    // The classes as the module created them, and Entry's own __init__:
    // while the module attribute Entry is still this class with this
    // initialiser, History.append builds entries without calling the class.
    Held Entry, History, entry_init;
    Held Logger;  // logging.Logger, and its isEnabledFor as defined
    Held is_enabled_for;
    Held debug_level;  // logging.DEBUG
    Held max_history;  // 9999, History.__MAX_HISTORY__
    Held empty_tuple;
    Held deque_type;                               // collections.deque
    Held deque_append;                             // its append, called directly on an exact deque
    newfunc entry_new = nullptr;                   // Entry's tp_new as created
    Held get_time;                                 // brelt.utils.utils.get_time as imported
    LocalClock clock;                              // stands in for calling it while it is the module's get_time
    capi::PlainAttrs history_attrs, logger_attrs;  // see history_append, debug_enabled
    capi::DictMemo memo;                           // the dicts append() reads: the module's, a History's, the logger's

    // Names of module attributes, read at every use so that replacing one
    // (get_time, log, deque, re, Entry) takes effect.
    Held g_re{Held::name, "re"}, g_deque{Held::name, "deque"}, g_get_time{Held::name, "get_time"};
    Held g_log{Held::name, "log"}, g_Entry{Held::name, "Entry"};

    // Attribute and method names.
    Held s_timestamp{Held::name, "timestamp"}, s_api{Held::name, "api"};
    Held s_history{Held::name, "__history__"}, s_markers{Held::name, "__markers__"};
    Held s_active{Held::name, "__activeMarkers__"}, s_enabled{Held::name, "enabled"};
    Held s_init{Held::name, "__init__"}, s_enable{Held::name, "enable"};
    Held s_append{Held::name, "append"}, s_clear{Held::name, "clear"}, s_remove{Held::name, "remove"};
    Held s_debug{Held::name, "debug"}, s_is_enabled_for{Held::name, "isEnabledFor"};
    Held s_strftime{Held::name, "strftime"}, s_compile{Held::name, "compile"}, s_search{Held::name, "search"};
    Held s_str{Held::name, "__str__"}, s_disabled{Held::name, "disabled"}, s_cache{Held::name, "_cache"};
    Held s_maxlen{Held::name, "maxlen"}, kw_maxlen{Held::kwnames, "maxlen"};

    // Texts.
    Held t_time_format{Held::name, "%Y-%m-%dT%H:%M:%S.%f"}, t_percent{Held::name, "% "};
    Held t_enabled{Held::name, "TclHistory is enabled."}, t_disabled{Held::name, "TclHistory is disabled."};
    Held t_no_marker{Held::name, "No such marker: %s"};
};

inline State& state_of(Function* self) noexcept { return self->state<State>(); }

// The module attribute `name`, a strong reference (NameError if gone).
inline Ref global(Function* self, PyObject* name) noexcept {
    return capi::module_global(state_of(self).memo, self->module, name);
}

// Entry(api): the line of text an entry stores for `api` (a str, or an
// iterable of str whose elements holding a blank are braced).
PyObject* api_line(PyObject* api);
// A new Entry for `item`, through the module attribute Entry. `ran_code`
// becomes true when making it may have run Python code (another class, a
// replaced get_time, an item that is no list, tuple or str).
PyObject* new_entry(Function* self, PyObject* item, bool& ran_code);

// Class definitions, in the order the module creates them.
Ref build_entry_class(PyObject* module, State& st);
Ref build_history_class(PyObject* module, State& st);

}  // namespace history
