// Entry: one time-stamped command line of the history.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "history.hpp"

namespace history {

using capi::SmallVector;

namespace {

template <class Char>
bool has_blank(const Char* data, Py_ssize_t n) noexcept {
    // Most words are a few characters: a plain loop beats a call to memchr.
    if constexpr (sizeof(Char) == 1) {
        if (n > 16) return std::memchr(data, ' ', static_cast<size_t>(n)) != nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (data[i] == Char(' ')) return true;
    }
    return false;
}

bool str_has_blank(PyObject* s) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return capi::with_chars(s, [&](const auto* data) { return has_blank(data, n); });
}

// Copies all of `src` into `dst` at `pos`; `dst` is at least as wide.
void put(PyObject* dst, Py_ssize_t pos, PyObject* src) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(src);
    int dkind = PyUnicode_KIND(dst), skind = PyUnicode_KIND(src);
    void* ddata = PyUnicode_DATA(dst);
    const void* sdata = PyUnicode_DATA(src);
    if (dkind == skind) {
        std::memcpy(static_cast<char*>(ddata) + pos * dkind, sdata, static_cast<size_t>(n) * skind);
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(dkind, ddata, pos + i, PyUnicode_READ(skind, sdata, i));
}

}  // namespace

namespace {

// Copies n bytes; the words are mostly a few characters, for which a call
// to memcpy costs more than the copy.
inline char* copy_bytes(char* dst, const char* src, Py_ssize_t n) noexcept {
    if (n > 16) {
        std::memcpy(dst, src, static_cast<size_t>(n));
        return dst + n;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        dst[i] = src[i];
        asm("" ::: "memory");  // keeps the loop from becoming a memcpy call
    }
    return dst + n;
}

// join_words for up to 64 words that are all exact compact ASCII str (the
// usual command line): their bytes are the text. NULL without an exception
// when the words are not all such.
PyObject* join_ascii(PyObject* const* items, Py_ssize_t n) {
    if (n > 64) return nullptr;
    uint64_t braced = 0;
    Py_ssize_t total = n > 0 ? n - 1 : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_CheckExact(item) || !PyUnicode_IS_COMPACT_ASCII(item)) return nullptr;
        Py_ssize_t len = PyUnicode_GET_LENGTH(item);
        if (has_blank(PyUnicode_1BYTE_DATA(item), len)) {
            braced |= uint64_t{1} << i;
            total += 2;
        }
        total += len;
    }
    PyObject* out = PyUnicode_New(total, 127);
    if (out == nullptr) return nullptr;
    char* dst = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0) *dst++ = ' ';
        bool brace = (braced >> i) & 1;
        if (brace) *dst++ = '{';
        dst = copy_bytes(dst, reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(items[i])),
                         PyUnicode_GET_LENGTH(items[i]));
        if (brace) *dst++ = '}';
    }
    return out;
}

// The words of a list or tuple joined; the caller keeps its items in place
// (see api_line).
PyObject* join_words(PyObject* api) {
    PyObject** items = PySequence_Fast_ITEMS(api);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(api);
    if (PyObject* line = join_ascii(items, n)) return line;
    if (PyErr_Occurred()) return nullptr;
    SmallVector<unsigned char, 16> braced;
    braced.reserve(static_cast<size_t>(n));
    Py_ssize_t total = n > 0 ? n - 1 : 0;
    Py_UCS4 maxchar = 127;
    bool narrow = true;  // every word one byte per character
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(item)->tp_name);
            return nullptr;
        }
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(item) < 0) return nullptr;
#endif
        unsigned char blank = str_has_blank(item) ? 1 : 0;
        braced.push_back(std::move(blank));
        total += PyUnicode_GET_LENGTH(item) + (blank ? 2 : 0);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(item));
        narrow = narrow && PyUnicode_KIND(item) == PyUnicode_1BYTE_KIND;
    }
    PyObject* out = PyUnicode_New(total, maxchar);
    if (out == nullptr) return nullptr;
    if (narrow && PyUnicode_KIND(out) == PyUnicode_1BYTE_KIND) {
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) *dst++ = ' ';
            bool brace = braced[static_cast<size_t>(i)];
            if (brace) *dst++ = '{';
            Py_ssize_t len = PyUnicode_GET_LENGTH(items[i]);
            std::memcpy(dst, PyUnicode_1BYTE_DATA(items[i]), static_cast<size_t>(len));
            dst += len;
            if (brace) *dst++ = '}';
        }
        return out;
    }
    int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0) PyUnicode_WRITE(kind, data, pos++, ' ');
        if (braced[static_cast<size_t>(i)]) PyUnicode_WRITE(kind, data, pos++, '{');
        put(out, pos, items[i]);
        pos += PyUnicode_GET_LENGTH(items[i]);
        if (braced[static_cast<size_t>(i)]) PyUnicode_WRITE(kind, data, pos++, '}');
    }
    return out;
}

}  // namespace

PyObject* api_line(PyObject* api) {
    if (PyUnicode_Check(api)) return Py_NewRef(api);
    Ref held;
    if (!PyList_CheckExact(api) && !PyTuple_CheckExact(api)) {
        held = Ref::steal(PySequence_List(api));
        if (!held) return nullptr;
        api = held.get();
    }
    // The items of a list stay put while they are read: joining runs no
    // Python code, and the list's lock (on the free-threaded build; the GIL
    // otherwise) keeps other threads from replacing an item or moving the
    // storage meanwhile.
    PyObject* line = nullptr;
    capi::locked(api, [&] { line = join_words(api); });
    return line;
}

namespace {

// get_time(), through the module attribute. While that is still the
// datetime.datetime.now the module imported, the clock gives its result;
// otherwise Python code runs (`ran_code`).
Ref current_time(Function* f, bool& ran_code) {
    State& st = state_of(f);
    Ref get_time = global(f, st.g_get_time.get());
    if (!get_time) return {};
    if (get_time.get() == st.get_time.get() && st.clock.stands_in_for_get_time()) {
        return Ref::steal(st.clock.now());
    }
    ran_code = true;
    return Ref::steal(PyObject_CallNoArgs(get_time.get()));
}

// self.timestamp = get_time(); self.api = line
bool fill_entry(Function* f, PyObject* self, PyObject* line) {
    State& st = state_of(f);
    bool ran_code = false;
    Ref stamp = current_time(f, ran_code);
    return stamp && PyObject_SetAttr(self, st.s_timestamp.get(), stamp.get()) == 0 &&
           PyObject_SetAttr(self, st.s_api.get(), line) == 0;
}

// The same for a new instance of our own class, whose attribute assignment
// is the generic one.
bool fill_new_entry(Function* f, PyObject* self, PyObject* line, bool& ran_code) {
    State& st = state_of(f);
    Ref stamp = current_time(f, ran_code);
    return stamp && PyObject_GenericSetAttr(self, st.s_timestamp.get(), stamp.get()) == 0 &&
           PyObject_GenericSetAttr(self, st.s_api.get(), line) == 0;
}

}  // namespace

PyObject* new_entry(Function* self, PyObject* item, bool& ran_code) {
    State& st = state_of(self);
    Ref cls = global(self, st.g_Entry.get());
    if (!cls) return nullptr;
    auto* type = cls.as<PyTypeObject>();
    if (cls.get() != st.Entry.get() || type->tp_new != st.entry_new ||
        capi::type_lookup(type, st.s_init.get()).get() != st.entry_init.get() ||
        type->tp_setattro != PyObject_GenericSetAttr) {
        ran_code = true;
        return PyObject_CallOneArg(cls.get(), item);
    }
    // Words other than a list, a tuple or a str are iterated: code of theirs.
    if (!PyUnicode_Check(item) && !PyList_CheckExact(item) && !PyTuple_CheckExact(item)) ran_code = true;
    // Our own class with its own initialiser: what calling it would do,
    // without the trip through type.__call__.
    Ref line = Ref::steal(api_line(item));
    if (!line) return nullptr;
    Ref entry = Ref::steal(type->tp_new(type, st.empty_tuple.get(), nullptr));
    if (!entry) return nullptr;
    if (!Py_IS_TYPE(entry.get(), type)) {
        // A replaced __new__ gave something else (another class, even a
        // class object): the writes below are only right for an instance
        // of this very class, so finish as type.__call__ would.
        ran_code = true;
        Ref args = Ref::steal(PyTuple_Pack(1, item));
        if (!args) return nullptr;
        return capi::finish_type_call(type, entry.release(), args.get(), nullptr);
    }
    if (!fill_new_entry(self, entry.get(), line.get(), ran_code)) return nullptr;
    return entry.release();
}

namespace {

// The methods, defined below their descriptions (which name their parameters).
PyObject* entry_init(Function* f, PyObject* const* argv);
PyObject* entry_str(Function* f, PyObject* const* argv);
PyObject* entry_repr(Function* f, PyObject* const* argv);

constexpr capi::FunctionDef kEntryInit{"__init__", entry_init, R"(__init__(self, api)
--

Record `api` with the current time.

api is the command, as one line of text (a str, kept as it is) or as an
iterable of str words, which are joined with single blanks; a word that
contains a blank is enclosed in braces, no other quoting is done:

    >>> Entry(['puts', 'hello world']).api
    'puts {hello world}'

The timestamp comes from get_time().
)"};

constexpr capi::FunctionDef kEntryStr{"__str__", entry_str, R"(__str__(self)
--

The timestamp as ISO text with microseconds, ": " and the command line,
such as '2024-05-01T13:45:07.123456: puts {hello world}'.
)"};

constexpr capi::FunctionDef kEntryRepr{"__repr__", entry_repr, R"(__repr__(self)
--

"<Entry '" + str(entry) + "' at " + hex(id(entry)) + ">".
)"};

constexpr const char* kEntryDoc = R"(Tcl Historical Entry

A container object that adds a timestamp to each entry.

Entry(api) stores, in this order:
    timestamp   the date and time of the entry, from get_time()
    api         the command as one line of text

    >>> e = Entry(['puts', 'hello world'])
    >>> e.api
    'puts {hello world}'
    >>> str(e)            # doctest: +SKIP
    '2024-05-01T13:45:07.123456: puts {hello world}'
)";

PyObject* entry_init(Function* f, PyObject* const* argv) {
    Ref line = Ref::steal(api_line(argv[kEntryInit.slot("api")]));
    if (!line || !fill_entry(f, argv[kEntryInit.slot("self")], line.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* entry_str(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kEntryStr.slot("self")];
    Ref stamp = Ref::steal(PyObject_GetAttr(self, st.s_timestamp.get()));
    if (!stamp) return nullptr;
    Ref when = Ref::steal(capi::call_method(stamp.get(), st.s_strftime.get(), st.t_time_format.get()));
    if (!when) return nullptr;
    Ref api = Ref::steal(PyObject_GetAttr(self, st.s_api.get()));
    if (!api) return nullptr;
    return PyUnicode_FromFormat("%S: %S", when.get(), api.get());
}

PyObject* entry_repr(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kEntryRepr.slot("self")];
    Ref text = Ref::steal(capi::call_method(self, st.s_str.get()));
    if (!text) return nullptr;
    Ref ident = Ref::steal(PyLong_FromVoidPtr(self));
    Ref hex = Ref::steal(ident ? PyNumber_ToBase(ident.get(), 16) : nullptr);
    if (!hex) return nullptr;
    return PyUnicode_FromFormat("<Entry '%S' at %U>", text.get(), hex.get());
}

}  // namespace

Ref build_entry_class(PyObject* module, State& st) {
    capi::ClassBuilder b(module, "Entry", kEntryDoc);
    b.method(kEntryInit).method(kEntryStr).method(kEntryRepr);
    st.entry_init = Ref::borrow(b.function("__init__"));
    Ref cls = b.build();
    if (cls) st.entry_new = cls.as<PyTypeObject>()->tp_new;
    return cls;
}

}  // namespace history
