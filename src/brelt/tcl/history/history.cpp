// History: the bounded record of commands, with markers.
#include "history.hpp"

namespace history {

namespace {

Ref attr(PyObject* obj, const Ref& name) { return Ref::steal(PyObject_GetAttr(obj, name.get())); }

// obj.name(arg...), its result dropped: false with an exception set.
template <class... Args>
bool call_method(PyObject* obj, const Ref& name, Args*... args) {
    return static_cast<bool>(Ref::steal(capi::call_method(obj, name.get(), args...)));
}

// log.debug(message) on the module's logger, whoever it is now.
bool log_debug(Function* f, PyObject* message) {
    State& st = state_of(f);
    Ref log = global(f, st.g_log.get());
    if (!log) return false;
    return call_method(log.get(), st.s_debug, message);
}

// Whether log.debug() would emit anything: 1, 0, or -1 on error. A plain
// Logger whose class still has logging's own isEnabledFor is answered from
// its cache when it has one; another Logger is asked; for anything else in
// its place we cannot tell, so its debug() decides.
int debug_enabled(State& st, PyObject* log) {
    auto* logger = st.Logger.as<PyTypeObject>();
    if (Py_IS_TYPE(log, logger) &&
        capi::type_lookup(logger, st.s_is_enabled_for.get()).get() == st.is_enabled_for.get()) {
        int known = capi::logger_cached_enabled(log, st.logger_attrs, st.memo, st.debug_level.get(),
                                                st.s_disabled.get(), st.s_cache.get());
        if (known != 2) return known;
    } else if (!PyObject_TypeCheck(log, logger)) {
        return 1;
    }
    Ref r = Ref::steal(capi::call_method(log, st.s_is_enabled_for.get(), st.debug_level.get()));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// deque(maxlen=maxlen), through the module attribute deque.
Ref new_deque(Function* f, PyObject* maxlen) {
    State& st = state_of(f);
    Ref deque = global(f, st.g_deque.get());
    if (!deque) return {};
    PyObject* args[] = {nullptr, maxlen};
    return Ref::steal(
        PyObject_Vectorcall(deque.get(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, st.kw_maxlen.get()));
}

bool set_enabled(Function* f, PyObject* self, bool on) {
    State& st = state_of(f);
    if (PyObject_SetAttr(self, st.s_enabled.get(), on ? Py_True : Py_False) < 0) return false;
    return log_debug(f, on ? st.t_enabled.get() : st.t_disabled.get());
}

// The methods, defined below their descriptions (which name their parameters).
PyObject* history_len(Function* f, PyObject* const* argv);
PyObject* history_getitem(Function* f, PyObject* const* argv);
PyObject* history_iter(Function* f, PyObject* const* argv);
PyObject* history_reversed(Function* f, PyObject* const* argv);
PyObject* history_init(Function* f, PyObject* const* argv);
PyObject* history_enable(Function* f, PyObject* const* argv);
PyObject* history_disable(Function* f, PyObject* const* argv);
PyObject* history_append(Function* f, PyObject* const* argv);
PyObject* history_clear(Function* f, PyObject* const* argv);
PyObject* history_start_marker(Function* f, PyObject* const* argv);
PyObject* history_end_marker(Function* f, PyObject* const* argv);
PyObject* history_filter(Function* f, PyObject* const* argv);
PyObject* history_to_tcl(Function* f, PyObject* const* argv);
PyObject* history_str(Function* f, PyObject* const* argv);
PyObject* history_repr(Function* f, PyObject* const* argv);

constexpr capi::FunctionDef kLen{"__len__", history_len, R"(__len__(self)
--

The number of entries in the general history.
)"};

constexpr capi::FunctionDef kGetItem{"__getitem__", history_getitem, R"(__getitem__(self, index)
--

An entry of the general history by position (history[-1] is the newest);
a slice gives a list of entries, oldest first.
)"};

constexpr capi::FunctionDef kIter{"__iter__", history_iter, R"(__iter__(self)
--

The entries of the general history, oldest first, as they were when
iteration began.
)"};

constexpr capi::FunctionDef kReversed{"__reversed__", history_reversed, R"(__reversed__(self)
--

The entries of the general history, newest first, as they were when
iteration began.
)"};

constexpr capi::FunctionDef kInit{"__init__", history_init, R"(__init__(self, max_history=9999)
--

Create an empty, enabled history.

max_history bounds the general history and every marker (the default is
History.__MAX_HISTORY__, 9999); None leaves them unbounded. Construction
enables recording, which logs "TclHistory is enabled.".
)"};

constexpr capi::FunctionDef kEnable{"enable", history_enable, R"(enable(self)
--

Start recording: append() stores entries again.

Logs "TclHistory is enabled." at debug level. Stored entries and markers
are not touched.
)"};

constexpr capi::FunctionDef kDisable{"disable", history_disable, R"(disable(self)
--

Stop recording: append() stores nothing (it still writes its debug line).

Logs "TclHistory is disabled." at debug level. Stored entries and markers
are not touched.
)"};

constexpr capi::FunctionDef kAppend{"append", history_append, R"(append(self, item)
--

Record one command.

item is the command: a str, or a list of str words (see Entry). First the
line "% " + str(item) goes to the logger "brelt.tcl" at debug level,
whether or not recording is enabled. When enabled, a new Entry is added
to the history (the oldest entry drops out when it is full) and the same
Entry to every active marker, once per activation.
)"};

constexpr capi::FunctionDef kClear{"clear", history_clear, R"(clear(self, marker=None, clear_all=False)
--

Forget recorded entries.

    clear()                 empty the general history only
    clear('m')              empty marker 'm' only (KeyError if there is
                            no such marker)
    clear(clear_all=True)   empty the general history and every marker;
                            marker is ignored

Marker names and the active markers stay as they are.
)"};

constexpr capi::FunctionDef kStartMarker{"start_marker", history_start_marker, R"(start_marker(self, marker)
--

Start recording under the marker name `marker`.

A new marker gets its own store, bounded like the general history; a
known marker keeps its entries. A marker started twice is active twice:
each append records under it twice, and it takes two end_marker() calls
to stop it.
)"};

constexpr capi::FunctionDef kEndMarker{"end_marker", history_end_marker, R"(end_marker(self, marker)
--

Stop one activation of the marker `marker`; its entries stay.

A marker that is not active raises ValueError.
)"};

constexpr capi::FunctionDef kFilter{"filter", history_filter, R"(filter(self, marker=None, count=20, regex=None)
--

Return recorded entries, oldest first, as a new list.

marker   None for the general history, else the name of a marker
         (Exception "No such marker: <name>" if there is none)
count    how many of the last entries to look at; 0 means all of them, a
         negative count drops that many from the front (as the slice
         [-count:] does)
regex    if given, keep only the entries whose api text it finds with
         search(); a pattern string or a compiled pattern

The count is applied before the pattern: filter(count=5, regex='^set')
looks at the last five entries only.
)"};

constexpr capi::FunctionDef kToTcl{"to_tcl", history_to_tcl, R"(to_tcl(self, marker=None)
--

Return the recorded commands as a Tcl script that replays them.

marker is None for the general history, else the name of a marker
(Exception "No such marker: <name>" if there is none). Each entry, oldest
first, gives two lines: its timestamp as a comment, then its command:

    # 2024-05-01T13:45:07.123456
    puts {hello world}

The command runs the very words that were recorded, as separate words:
Tcl substitutes nothing in it, just as nothing was substituted when the
words were sent. A line already written that way (as Tcl's list quotes
it) appears exactly as recorded; in any other, each word is quoted again,
so that 'set v $x', recorded from the words set, v and $x, comes out as
'set v {$x}'. The script ends with a newline; no entries give ''.

    >>> h = History()
    >>> h.append(['set', 'greeting', 'hello world'])
    >>> print(h.to_tcl())          # doctest: +ELLIPSIS
    # ...
    set greeting {hello world}
    <BLANKLINE>
)"};

constexpr capi::FunctionDef kStr{"__str__", history_str, R"(__str__(self)
--

str() of the general history's deque.
)"};

constexpr capi::FunctionDef kRepr{"__repr__", history_repr, R"doc(__repr__(self)
--

repr() of the general history's deque, such as
deque([<Entry '...' at 0x...>], maxlen=9999).
)doc"};

constexpr const char* kHistoryDoc = R"(The history of the Tcl calls made through an interpreter.

Similar to collections.deque, a History keeps the Tcl history of the
interpreter calls made by the user, up to a maximum number of entries.
It reads as a sequence of the general history's entries, oldest first:
len(h), iter(h), reversed(h), h[-1] (the newest), h[-3:] (a list).
Its main purpose is to let users switch recording on and off for
debugging, and to mark important events while scripts run.

Storage behaves as a list of fixed length: once the maximum is reached,
each new entry pushes out the oldest one.

It offers:
1. storing the generic Tcl call history (filter() reads it back);
2. markers: named sub-histories, under which history is logged as well
   while they are active (start_marker(), end_marker()).
3. to_tcl(): the recorded commands (all, or a marker's) as a Tcl script
   that replays them, in tclsh or another interpreter.

    >>> h = History(max_history=100)
    >>> h.start_marker('setup')
    >>> h.append(['set', 'x', '1'])
    >>> h.end_marker('setup')
    >>> h.append(['puts', 'hello world'])
    >>> [e.api for e in h.filter('setup')]
    ['set x 1']
    >>> [e.api for e in h.filter()]
    ['set x 1', 'puts {hello world}']

Attributes:
    __history__        deque of all recorded entries, oldest first
    __markers__        dict: marker name -> deque of its entries
    __activeMarkers__  list of the markers now recording, in start order
    enabled            whether append() records anything
)";

// ---------------------------------------------------------------------------

PyObject* history_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kInit.slot("self")];
    PyObject* max_history = argv[kInit.slot("max_history")];
    if (max_history == nullptr) max_history = st.max_history.get();
    // deque's own "an integer is required" would not say which argument.
    if (max_history != Py_None && !PyIndex_Check(max_history)) {
        PyErr_Format(PyExc_TypeError, "max_history must be an integer or None, not %.80s",
                     Py_TYPE(max_history)->tp_name);
        return nullptr;
    }
    Ref history = new_deque(f, max_history);
    Ref markers = Ref::steal(PyDict_New());
    Ref active = Ref::steal(PyList_New(0));
    if (!history || !markers || !active || PyObject_SetAttr(self, st.s_history.get(), history.get()) < 0 ||
        PyObject_SetAttr(self, st.s_markers.get(), markers.get()) < 0 ||
        PyObject_SetAttr(self, st.s_active.get(), active.get()) < 0) {
        return nullptr;
    }
    if (!call_method(self, st.s_enable)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* history_enable(Function* f, PyObject* const* argv) {
    if (!set_enabled(f, argv[kEnable.slot("self")], true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* history_disable(Function* f, PyObject* const* argv) {
    if (!set_enabled(f, argv[kDisable.slot("self")], false)) return nullptr;
    Py_RETURN_NONE;
}

// The debug line "% " + str(item), built only when someone will see it.
// `log` is held: isEnabledFor, str(item) and debug() may all rebind it.
bool log_item(Function* f, PyObject* item) {
    State& st = state_of(f);
    Ref log = global(f, st.g_log.get());
    if (!log) return false;
    int debugging = debug_enabled(st, log.get());
    if (debugging <= 0) return debugging == 0;
    Ref text = Ref::steal(PyObject_Str(item));
    Ref line = Ref::steal(text ? PyUnicode_Concat(st.t_percent.get(), text.get()) : nullptr);
    return line && call_method(log.get(), st.s_debug, line.get());
}

// The attributes that __init__ sets, as append() reads them: each when it
// is first needed, from the instance dict while no class in the way
// defines any of them (through the memo), else through getattr(). Once read,
// an attribute is kept until forget() (after code that may have replaced
// it ran).
class Stores {
public:
    enum Name { enabled, history, active, markers, count };

    Stores(State& st, PyObject* self) noexcept
        : st_(st), self_(self), names_{st.s_enabled.get(), st.s_history.get(), st.s_active.get(), st.s_markers.get()} {}

    // The attribute, or NULL with an exception set.
    PyObject* get(Name name) {
        if (!at_[name]) at_[name] = read(names_[name]);
        return at_[name].get();
    }

    void forget() noexcept {
        for (Ref& r : at_) r.reset();
        dict_.reset();
        plain_ = -1;
    }

private:
    // The dict is fetched once for all four.
    Ref read(PyObject* name) {
        if (plain_ < 0) plain_ = st_.history_attrs.applies(Py_TYPE(self_), names_, count) ? 1 : 0;
        if (plain_) {
            if (!dict_ && !(dict_ = capi::instance_dict(self_))) return {};
            Ref value = Ref::steal(st_.memo.get(dict_.get(), name));
            if (value || PyErr_Occurred()) return value;
        }
        return Ref::steal(PyObject_GetAttr(self_, name));
    }

    State& st_;
    PyObject* self_;
    PyObject* names_[count];
    Ref at_[count];
    Ref dict_;
    int plain_ = -1;
};

// store.append(entry); an exact deque's own append is called without
// looking it up by name (a deque's methods cannot be replaced).
bool store_entry(State& st, PyObject* store, PyObject* entry) {
    if (Py_IS_TYPE(store, st.deque_type.as<PyTypeObject>())) {
        PyObject* args[] = {store, entry};
        return static_cast<bool>(Ref::steal(PyObject_Vectorcall(st.deque_append.get(), args, 2, nullptr)));
    }
    return call_method(store, st.s_append, entry);
}

// The entry goes to every active marker, once per activation.
bool store_in_markers(State& st, Stores& own, PyObject* entry) {
    PyObject* active = own.get(Stores::active);
    if (!active) return false;
    if (PyList_CheckExact(active) && PyList_GET_SIZE(active) == 0) return true;
    PyObject* markers = own.get(Stores::markers);
    if (!markers) return false;
    Ref it = Ref::steal(PyObject_GetIter(active));
    if (!it) return false;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        Ref marker = Ref::steal(PyObject_GetItem(markers, name.get()));
        if (!marker || !store_entry(st, marker.get(), entry)) return false;
    }
    return !PyErr_Occurred();
}

PyObject* history_append(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kAppend.slot("self")];
    PyObject* item = argv[kAppend.slot("item")];
    if (!log_item(f, item)) return nullptr;

    Stores own(st, self);
    PyObject* enabled = own.get(Stores::enabled);
    int on = enabled ? PyObject_IsTrue(enabled) : -1;
    if (on <= 0) return on < 0 ? nullptr : Py_NewRef(Py_None);

    bool ran_code = false;
    Ref entry = Ref::steal(new_entry(f, item, ran_code));
    if (!entry) return nullptr;
    // Code that made the entry may have replaced the stores: read them again.
    if (ran_code) own.forget();
    PyObject* history = own.get(Stores::history);
    if (!history || !store_entry(st, history, entry.get())) return nullptr;
    return store_in_markers(st, own, entry.get()) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* history_clear(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kClear.slot("self")];
    PyObject* marker = argv[kClear.slot("marker")];
    if (marker == nullptr) marker = Py_None;
    PyObject* clear_all_arg = argv[kClear.slot("clear_all")];
    int clear_all = clear_all_arg ? PyObject_IsTrue(clear_all_arg) : 0;
    if (clear_all < 0) return nullptr;
    if (clear_all) {
        Ref markers = attr(self, st.s_markers);
        if (!markers) return nullptr;
        // A snapshot: emptying a deque drops entries, which may run code.
        Ref values = Ref::steal(PyMapping_Values(markers.get()));
        if (!values) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            if (!call_method(PyList_GET_ITEM(values.get(), i), st.s_clear)) return nullptr;
        }
    } else if (marker != Py_None) {
        Ref markers = attr(self, st.s_markers);
        if (!markers) return nullptr;
        Ref deque = Ref::steal(PyObject_GetItem(markers.get(), marker));
        if (!deque || !call_method(deque.get(), st.s_clear)) return nullptr;
        Py_RETURN_NONE;
    }
    Ref history = attr(self, st.s_history);
    if (!history || !call_method(history.get(), st.s_clear)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* history_start_marker(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kStartMarker.slot("self")];
    PyObject* marker = argv[kStartMarker.slot("marker")];
    Ref markers = attr(self, st.s_markers);
    if (!markers) return nullptr;
    int known = PySequence_Contains(markers.get(), marker);
    if (known < 0) return nullptr;
    if (!known) {
        // Markers are bounded like the general history.
        Ref history = attr(self, st.s_history);
        Ref maxlen = history ? attr(history.get(), st.s_maxlen) : Ref();
        Ref deque = maxlen ? new_deque(f, maxlen.get()) : Ref();
        if (!deque || PyObject_SetItem(markers.get(), marker, deque.get()) < 0) return nullptr;
    }
    Ref active = attr(self, st.s_active);
    if (!active || !call_method(active.get(), st.s_append, marker)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* history_end_marker(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref active = attr(argv[kEndMarker.slot("self")], st.s_active);
    if (!active || !call_method(active.get(), st.s_remove, argv[kEndMarker.slot("marker")])) return nullptr;
    Py_RETURN_NONE;
}

// The last `count` entries of `source`, oldest first: list(source)[-count:].
Ref last_entries(State& st, PyObject* source, PyObject* count) {
    Ref neg = Ref::steal(PyNumber_Negative(count));
    if (!neg) return {};
    if (PyLong_CheckExact(count) && Py_IS_TYPE(source, st.deque_type.as<PyTypeObject>())) {
        Py_ssize_t n = PyObject_Length(source);
        if (n < 0) return {};
        int overflow = 0;
        long long c = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (c == -1 && PyErr_Occurred()) return {};
        // A few entries off the end of a long deque: walk it backwards rather
        // than copying it all.
        if (!overflow && c > 0 && c < n / 2) {
            Ref it = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), source));
            if (!it) return {};
            Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c)));
            if (!out) return {};
            for (Py_ssize_t i = static_cast<Py_ssize_t>(c) - 1; i >= 0; --i) {
                PyObject* item = PyIter_Next(it.get());
                if (item == nullptr) {
                    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "history changed size during filter");
                    return {};
                }
                PyList_SET_ITEM(out.get(), i, item);
            }
            return out;
        }
    }
    Ref all = Ref::steal(PySequence_List(source));
    Ref slice = Ref::steal(PySlice_New(neg.get(), nullptr, nullptr));
    if (!all || !slice) return {};
    return Ref::steal(PyObject_GetItem(all.get(), slice.get()));
}

// The entries of the general history (marker None) or of a marker; a name
// that is not a marker raises Exception "No such marker: <name>", while the
// KeyError of the look-up is being handled, as Python would.
Ref entries_of(Function* f, PyObject* self, PyObject* marker) {
    State& st = state_of(f);
    if (marker == Py_None) return attr(self, st.s_history);
    Ref markers = attr(self, st.s_markers);
    if (!markers) return {};
    Ref source = Ref::steal(PyObject_GetItem(markers.get(), marker));
    if (source || !PyErr_ExceptionMatches(PyExc_KeyError)) return source;
    Ref key_error = Ref::steal(PyErr_GetRaisedException());
    Ref args = Ref::steal(PyTuple_Pack(1, marker));
    Ref message = Ref::steal(args ? PyUnicode_Format(st.t_no_marker.get(), args.get()) : nullptr);
    Ref exc = Ref::steal(message ? PyObject_CallOneArg(PyExc_Exception, message.get()) : nullptr);
    if (!exc) exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(exc.get(), key_error.release());
    PyErr_SetRaisedException(exc.release());
    return {};
}

PyObject* history_filter(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kFilter.slot("self")];
    PyObject* marker = argv[kFilter.slot("marker")];
    if (marker == nullptr) marker = Py_None;
    Ref count = Ref::borrow(argv[kFilter.slot("count")]);
    if (!count) count = Ref::steal(PyLong_FromLong(20));
    PyObject* regex = argv[kFilter.slot("regex")];
    if (regex == nullptr) regex = Py_None;
    if (!count) return nullptr;

    Ref source = entries_of(f, self, marker);
    if (!source) return nullptr;

    Ref subset = last_entries(st, source.get(), count.get());
    if (!subset) return nullptr;
    int use_regex = PyObject_IsTrue(regex);
    if (use_regex <= 0) return use_regex < 0 ? nullptr : subset.release();

    Ref re = global(f, st.g_re.get());
    if (!re) return nullptr;
    Ref pattern = Ref::steal(capi::call_method(re.get(), st.s_compile.get(), regex));
    if (!pattern) return nullptr;
    Ref kept = Ref::steal(PyList_New(0));
    if (!kept) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(subset.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyList_GET_ITEM(subset.get(), i);  // subset is ours alone
        Ref api = attr(entry, st.s_api);
        Ref match = api ? Ref::steal(capi::call_method(pattern.get(), st.s_search.get(), api.get())) : Ref();
        if (!match) return nullptr;
        int found = PyObject_IsTrue(match.get());
        if (found < 0 || (found && PyList_Append(kept.get(), entry) < 0)) return nullptr;
    }
    return kept.release();
}

// The words an entry's line was recorded from. The line is the words
// joined by single blanks, a word that holds a blank enclosed in braces and
// nothing else quoted. So a brace that starts a word opens such a word when
// its match ends the word and the braced text holds a blank; any other word
// runs to the next blank, and two blanks in a row enclose an empty word.
// The match is sought as Tcl counts braces (a backslash takes the next
// character along), then, for a word that Tcl could not brace (one ending
// in a backslash), counting every brace.
Ref line_words(PyObject* line) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(line) < 0) return {};
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    int kind = PyUnicode_KIND(line);
    const void* data = PyUnicode_DATA(line);
    auto at = [&](Py_ssize_t k) { return PyUnicode_READ(kind, data, k); };
    // The closing brace of a braced word opened at i, or -1.
    auto braced_end = [&](Py_ssize_t i, bool tcl_counting) -> Py_ssize_t {
        int depth = 0;
        bool blank = false;
        for (Py_ssize_t j = i; j < n; ++j) {
            Py_UCS4 c = at(j);
            if (c == '\\' && tcl_counting) {
                if (j + 1 < n && at(j + 1) == ' ') blank = true;
                ++j;
            } else if (c == ' ') {
                blank = true;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}' && --depth == 0) {
                return blank && (j + 1 == n || at(j + 1) == ' ') ? j : -1;
            }
        }
        return -1;
    };
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    Py_ssize_t i = 0;
    for (;;) {
        Py_ssize_t start = i, end = -1;
        if (i < n && at(i) == '{') {
            end = braced_end(i, true);
            if (end < 0) end = braced_end(i, false);
            if (end >= 0) start = i + 1;
        }
        Py_ssize_t next = end + 1;
        if (end < 0) {
            end = i;
            while (end < n && at(end) != ' ') ++end;
            next = end;
        }
        Ref word = Ref::steal(PyUnicode_Substring(line, start, end));
        if (!word || PyList_Append(words.get(), word.get()) < 0) return {};
        if (next >= n) break;
        i = next + 1;
    }
    return words;
}

// One entry as a Tcl command: its words quoted as Tcl's list quotes them,
// which runs as one command with exactly these words (nothing substituted).
// A line that already is that text comes out unchanged. A first word that
// starts with "#" is escaped, so that it is not read as a comment.
Ref tcl_command(PyObject* quotify, PyObject* line) {
    Ref words = line_words(line);
    Ref tuple = Ref::steal(words ? PyList_AsTuple(words.get()) : nullptr);
    Ref text = Ref::steal(tuple ? PyObject_CallOneArg(quotify, tuple.get()) : nullptr);
    if (!text) return {};
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "quotify() returned %.80s, not str", Py_TYPE(text.get())->tp_name);
        return {};
    }
    if (PyUnicode_GET_LENGTH(text.get()) > 0 && PyUnicode_READ_CHAR(text.get(), 0) == '#') {
        Ref backslash = Ref::steal(PyUnicode_FromOrdinal('\\'));
        return Ref::steal(backslash ? PyUnicode_Concat(backslash.get(), text.get()) : nullptr);
    }
    return text;
}

PyObject* history_to_tcl(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* marker = argv[kToTcl.slot("marker")];
    Ref source = entries_of(f, argv[kToTcl.slot("self")], marker ? marker : Py_None);
    if (!source) return nullptr;
    // A snapshot: reading the entries may run code that changes the deque.
    Ref entries = Ref::steal(PySequence_List(source.get()));
    if (!entries) return nullptr;
    Ref module = Ref::steal(PyImport_ImportModule("brelt.tcl.quotify"));
    Ref quotify = Ref::steal(module ? PyObject_GetAttrString(module.get(), "quotify") : nullptr);
    if (!quotify) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    Ref stamp_prefix = Ref::steal(PyUnicode_FromString("# "));
    if (!lines || !stamp_prefix) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
        Ref stamp = attr(entry.get(), st.s_timestamp);
        Ref when =
            stamp ? Ref::steal(capi::call_method(stamp.get(), st.s_strftime.get(), st.t_time_format.get())) : Ref();
        Ref comment = Ref::steal(when ? PyUnicode_Concat(stamp_prefix.get(), when.get()) : nullptr);
        if (!comment || PyList_Append(lines.get(), comment.get()) < 0) return nullptr;
        Ref api = attr(entry.get(), st.s_api);
        if (!api) return nullptr;
        if (!PyUnicode_Check(api.get())) {
            PyErr_Format(PyExc_TypeError, "Entry.api must be str, not %.80s", Py_TYPE(api.get())->tp_name);
            return nullptr;
        }
        Ref command = tcl_command(quotify.get(), api.get());
        if (!command || PyList_Append(lines.get(), command.get()) < 0) return nullptr;
    }
    if (PyList_GET_SIZE(lines.get()) == 0) return PyUnicode_New(0, 0);
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty || PyList_Append(lines.get(), empty.get()) < 0) return nullptr;  // the final newline
    Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
    return newline ? PyUnicode_Join(newline.get(), lines.get()) : nullptr;
}

PyObject* history_str(Function* f, PyObject* const* argv) {
    Ref history = attr(argv[kStr.slot("self")], state_of(f).s_history);
    return history ? PyObject_Str(history.get()) : nullptr;
}

PyObject* history_repr(Function* f, PyObject* const* argv) {
    Ref history = attr(argv[kRepr.slot("self")], state_of(f).s_history);
    return history ? PyObject_Repr(history.get()) : nullptr;
}

// The read-only sequence of the general history. Iteration runs over a
// snapshot: commands sent while iterating append to the history, which
// would make a live deque iterator fail.
Ref history_snapshot(Function* f, PyObject* self) {
    Ref history = attr(self, state_of(f).s_history);
    return history ? Ref::steal(PySequence_Tuple(history.get())) : Ref{};
}

PyObject* history_len(Function* f, PyObject* const* argv) {
    Ref history = attr(argv[kLen.slot("self")], state_of(f).s_history);
    if (!history) return nullptr;
    Py_ssize_t n = PyObject_Size(history.get());
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* history_getitem(Function* f, PyObject* const* argv) {
    PyObject* index = argv[kGetItem.slot("index")];
    if (PySlice_Check(index)) {  // a deque takes no slice: a list of the entries does
        Ref snapshot = history_snapshot(f, argv[kGetItem.slot("self")]);
        Ref entries = Ref::steal(snapshot ? PySequence_List(snapshot.get()) : nullptr);
        return entries ? PyObject_GetItem(entries.get(), index) : nullptr;
    }
    Ref history = attr(argv[kGetItem.slot("self")], state_of(f).s_history);
    return history ? PyObject_GetItem(history.get(), index) : nullptr;
}

PyObject* history_iter(Function* f, PyObject* const* argv) {
    Ref snapshot = history_snapshot(f, argv[kIter.slot("self")]);
    return snapshot ? PyObject_GetIter(snapshot.get()) : nullptr;
}

PyObject* history_reversed(Function* f, PyObject* const* argv) {
    Ref snapshot = history_snapshot(f, argv[kReversed.slot("self")]);
    return snapshot ? PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), snapshot.get()) : nullptr;
}

}  // namespace

Ref build_history_class(PyObject* module, State& st) {
    capi::ClassBuilder b(module, "History", kHistoryDoc);
    b.attr("__MAX_HISTORY__", st.max_history.get());
    b.method(kInit)
        .method(kEnable)
        .method(kDisable)
        .method(kAppend)
        .method(kClear)
        .method(kStartMarker)
        .method(kEndMarker)
        .method(kFilter)
        .method(kToTcl)
        .method(kStr)
        .method(kRepr)
        .method(kLen)
        .method(kGetItem)
        .method(kIter)
        .method(kReversed);
    return b.build();
}

}  // namespace history
