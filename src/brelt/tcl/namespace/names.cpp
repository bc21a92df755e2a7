// Tcl's "::"-separated names, taken apart and put together without asking
// an interpreter: the static functions of TclNamespace, and the names the
// handles build (element names, literal patterns, tails).
#include "names.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace tclns {

using capi::SmallVector;

// Joined names up to this length are put together on the stack.
constexpr Py_ssize_t kJoinBuffer = 512;

namespace {

using capi::with_chars;

bool ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    (void)s;
    return true;
#endif
}

struct Piece {
    Py_ssize_t start, len;
};
using Pieces = SmallVector<Piece, 16>;

// The non-empty pieces of str.split("::") (leftmost, non-overlapping
// separators). False when a piece holds a colon: a single colon inside a
// name, or the odd colon of a run of three, five...
template <class C>
bool scan_parts(const C* d, Py_ssize_t n, Pieces& parts) {
    Py_ssize_t start = 0;
    for (Py_ssize_t p = 0; p < n;) {
        if (d[p] != ':') {
            ++p;
            continue;
        }
        if (p + 1 >= n || d[p + 1] != ':') return false;
        if (p > start) parts.push_back({start, p - start});
        p += 2;
        start = p;
    }
    if (n > start) parts.push_back({start, n - start});
    return true;
}

template <class C>
bool starts_with_colons(const C* d, Py_ssize_t n) noexcept {
    return n >= 2 && d[0] == ':' && d[1] == ':';
}

bool is_absolute(PyObject* s) noexcept {
    return with_chars(s, [&](const auto* d) { return starts_with_colons(d, PyUnicode_GET_LENGTH(s)); });
}

std::nullptr_t invalid(PyObject* s) noexcept {
    PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", s);
    return nullptr;
}

// Index of the last "::", or -1.
template <class C>
Py_ssize_t rfind_colons(const C* d, Py_ssize_t n) noexcept {
    for (Py_ssize_t p = n - 2; p >= 0; --p) {
        if (d[p] == ':' && d[p + 1] == ':') return p;
    }
    return -1;
}

PyObject* exact_str(PyObject* s) noexcept { return PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s); }

}  // namespace

// split(), on a str already converted by quotify().
PyObject* split_str(PyObject* s) noexcept {
    if (!ready(s)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Pieces parts;
    bool ok;
    try {
        ok = with_chars(s, [&](const auto* d) { return scan_parts(d, n, parts); });
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return nullptr;
    }
    if (!ok) return invalid(s);
    bool absolute = is_absolute(s);
    Py_ssize_t k = static_cast<Py_ssize_t>(parts.size());
    Ref list = Ref::steal(PyList_New(k + (absolute ? 1 : 0)));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    if (absolute) PyList_SET_ITEM(list.get(), i++, PyUnicode_New(0, 0));
    for (const Piece& piece : parts) {
        PyObject* part = PyUnicode_Substring(s, piece.start, piece.start + piece.len);
        if (part == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, part);
    }
    return list.release();
}

namespace {

// "::".join(split(text)) for the characters d[0:n]. `maxchar` is the
// largest character the text may hold (every character but dropped
// separators is kept, so it is the result's width too). `same` is the text
// as a str, or NULL: returned as it is when nothing changes, and needed for
// the error message (built from the characters when NULL).
template <class C>
PyObject* normalize_chars(const C* d, Py_ssize_t n, Py_UCS4 maxchar, PyObject* same) noexcept {
    try {
        Pieces parts;
        if (!scan_parts(d, n, parts)) {
            if (same != nullptr) return invalid(same);
            Ref text = Ref::steal(PyUnicode_FromKindAndData(sizeof(C), d, n));
            return text ? invalid(text.get()) : nullptr;
        }
        bool absolute = starts_with_colons(d, n);
        Py_ssize_t k = static_cast<Py_ssize_t>(parts.size());
        Py_ssize_t length = k == 0 ? 0 : 2 * (k - 1) + (absolute ? 2 : 0);
        for (const Piece& piece : parts) length += piece.len;
        // Normalising only drops separators: the same length is the same text.
        if (length == n && same != nullptr) return exact_str(same);
        PyObject* out = PyUnicode_New(length, maxchar);
        if (out == nullptr || length == 0) return out;
        auto write = [&](auto* dst) {
            bool first = true;
            for (const Piece& piece : parts) {
                if (!first || absolute) {
                    *dst++ = ':';
                    *dst++ = ':';
                }
                first = false;
                for (Py_ssize_t i = 0; i < piece.len; ++i) *dst++ = d[piece.start + i];
            }
        };
        with_chars(out, write);
        return out;
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return nullptr;
    }
}

}  // namespace

// "::".join(split(s)), on a str already converted by quotify(). A name that
// is already normal comes back as it is.
PyObject* normalize_str(PyObject* s) noexcept {
    if (!ready(s)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s);
    return with_chars(s, [&](const auto* d) { return normalize_chars(d, n, maxchar, s); });
}

PyObject* qualifiers_str(PyObject* s) noexcept {
    if (!ready(s)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t p = with_chars(s, [&](const auto* d) {
        Py_ssize_t q = rfind_colons(d, n);
        while (q > 0 && d[q - 1] == ':') --q;  // to the start of a run of colons
        return q;
    });
    if (p < 0) return PyUnicode_New(0, 0);
    return PyUnicode_Substring(s, 0, p);
}

PyObject* tail_str(PyObject* s) noexcept {
    if (!ready(s)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t p = with_chars(s, [&](const auto* d) { return rfind_colons(d, n); });
    if (p < 0) return exact_str(s);
    return PyUnicode_Substring(s, p + 2, n);
}

// join(first, *rest): each part through quotify(); an absolute part, or any
// part after an empty name, replaces what came before; empty parts are
// skipped; the result is normalised.
PyObject* join_parts(State& st, PyObject* first, PyObject* const* rest, Py_ssize_t nrest) noexcept {
    SmallVector<Ref, 8> parts;
    try {
        Ref s = Ref::steal(quotify_str(st, first));
        if (!s || !ready(s.get())) return nullptr;
        parts.push_back(std::move(s));
        size_t from = 0;
        bool empty = PyUnicode_GET_LENGTH(parts[0].get()) == 0;
        for (Py_ssize_t i = 0; i < nrest; ++i) {
            Ref arg = Ref::steal(quotify_str(st, rest[i]));
            if (!arg || !ready(arg.get())) return nullptr;
            Py_ssize_t len = PyUnicode_GET_LENGTH(arg.get());
            if (empty || is_absolute(arg.get())) {
                from = parts.size();
                empty = len == 0;
                parts.push_back(std::move(arg));
            } else if (len > 0) {
                parts.push_back(std::move(arg));
            }
        }
        size_t count = parts.size() - from;
        if (count == 1) return normalize_str(parts[from].get());

        Py_ssize_t total = 2 * static_cast<Py_ssize_t>(count - 1);
        Py_UCS4 maxchar = 0;
        for (size_t i = from; i < parts.size(); ++i) {
            total += PyUnicode_GET_LENGTH(parts[i].get());
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i].get()));
        }
        if (maxchar <= 0xff && total <= kJoinBuffer) {
            // The usual case: short one-byte text, joined on the stack and
            // normalised into the result, one allocation in all.
            Py_UCS1 buffer[kJoinBuffer];
            Py_ssize_t at = 0;
            for (size_t i = from; i < parts.size(); ++i) {
                if (i > from) {
                    buffer[at++] = ':';
                    buffer[at++] = ':';
                }
                Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i].get());
                std::memcpy(buffer + at, PyUnicode_DATA(parts[i].get()), static_cast<size_t>(len));
                at += len;
            }
            return normalize_chars(buffer, total, maxchar, nullptr);
        }
        Ref joined = Ref::steal(PyUnicode_New(total, maxchar));
        if (!joined) return nullptr;
        Py_ssize_t at = 0;
        for (size_t i = from; i < parts.size(); ++i) {
            if (i > from) {
                PyUnicode_WRITE(PyUnicode_KIND(joined.get()), PyUnicode_DATA(joined.get()), at++, ':');
                PyUnicode_WRITE(PyUnicode_KIND(joined.get()), PyUnicode_DATA(joined.get()), at++, ':');
            }
            Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i].get());
            if (PyUnicode_CopyCharacters(joined.get(), at, parts[i].get(), 0, len) < 0) return nullptr;
            at += len;
        }
        return normalize_str(joined.get());
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return nullptr;
    }
}

PyObject* ns_join2(State& st, PyObject* a, PyObject* b) noexcept { return join_parts(st, a, &b, 1); }

PyObject* concat4(PyObject* a, PyObject* b, PyObject* c, PyObject* d) noexcept {
    PyObject* parts[] = {a, b, c, d};
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* p : parts) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(p) < 0) return nullptr;
#endif
        total += PyUnicode_GET_LENGTH(p);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p));
    }
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n > 0 && PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) return nullptr;
        at += n;
    }
    return out.release();
}

PyObject* element_name(State& st, PyObject* var_name, PyObject* array_index) noexcept {
    Ref index = Ref::steal(quotify(st, array_index));
    if (!index) return nullptr;
    if (PyUnicode_Check(var_name) && PyUnicode_Check(index.get())) {
        return concat4(var_name, st.t_lparen.get(), index.get(), st.t_rparen.get());
    }
    // Whatever `+` makes of other types (normally a TypeError).
    Ref r = Ref::steal(PyNumber_Add(var_name, st.t_lparen.get()));
    if (r) r = Ref::steal(PyNumber_Add(r.get(), index.get()));
    if (r) r = Ref::steal(PyNumber_Add(r.get(), st.t_rparen.get()));
    return r.release();
}

int starts_with_colons(State& st, PyObject* name) noexcept {
    if (PyUnicode_Check(name)) return PyUnicode_Tailmatch(name, st.t_colons.get(), 0, PY_SSIZE_T_MAX, -1) > 0;
    Ref r = Ref::steal(call_method(name, st.s_startswith.get(), st.t_colons.get()));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// A name with the glob characters of its last part escaped, so that
// "::info commands" and "::info procs" match it literally. Tcl reads the
// namespace part of the pattern as a plain name already.
PyObject* literal_pattern(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return Py_NewRef(name);
    if (!ready(name)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t last = with_chars(name, [&](const auto* d) { return rfind_colons(d, n); });
    Py_ssize_t start = last < 0 ? 0 : last + 2;
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    auto special = [](Py_UCS4 c) { return c == '*' || c == '?' || c == '[' || c == ']' || c == '\\'; };
    Py_ssize_t count = 0;
    for (Py_ssize_t i = start; i < n; ++i) count += special(PyUnicode_READ(kind, data, i));
    if (count == 0) return Py_NewRef(name);
    Ref out = Ref::steal(PyUnicode_New(n + count, PyUnicode_MAX_CHAR_VALUE(name)));
    if (!out) return nullptr;
    int out_kind = PyUnicode_KIND(out.get());
    void* out_data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i >= start && special(c)) PyUnicode_WRITE(out_kind, out_data, at++, '\\');
        PyUnicode_WRITE(out_kind, out_data, at++, c);
    }
    return out.release();
}

PyObject* tail_of(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return Py_NewRef(name);
    if (!ready(name)) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t last = with_chars(name, [&](const auto* d) { return rfind_colons(d, n); });
    return last < 0 ? Py_NewRef(name) : PyUnicode_Substring(name, last + 2, n);
}

namespace {

// The argument through quotify(), then the rule.
PyObject* on_quotified(Function* self, PyObject* string, PyObject* (*rule)(PyObject*)) noexcept {
    Ref s = Ref::steal(quotify_str(state_of(self), string));
    return s ? rule(s.get()) : nullptr;
}

PyObject* qualifiers_fn(Function* self, PyObject* const* argv);
constexpr capi::FunctionDef kQualifiers{"qualifiers", qualifiers_fn, R"doc(qualifiers(string)
--

Return the namespace part of a name: everything before its last "::".

    >>> TclNamespace.qualifiers('::a::b'), TclNamespace.qualifiers('a::b')
    ('::a', 'a')
    >>> TclNamespace.qualifiers('::a'), TclNamespace.qualifiers('a')
    ('', '')

A run of three or more colons counts as one separator. The argument goes
through quotify() first; nothing is asked of Tcl.
)doc"};

PyObject* qualifiers_fn(Function* self, PyObject* const* argv) {
    PyObject* string = argv[kQualifiers.slot("string")];
    return on_quotified(self, string, qualifiers_str);
}
PyObject* tail_fn(Function* self, PyObject* const* argv);
constexpr capi::FunctionDef kTail{"tail", tail_fn, R"doc(tail(string)
--

Return the last part of a name: everything after its last "::".

    >>> TclNamespace.tail('::a::b'), TclNamespace.tail('a'), TclNamespace.tail('a::')
    ('b', 'a', '')

The argument goes through quotify() first; nothing is asked of Tcl.
)doc"};

PyObject* tail_fn(Function* self, PyObject* const* argv) {
    PyObject* string = argv[kTail.slot("string")];
    return on_quotified(self, string, tail_str);
}
PyObject* split_fn(Function* self, PyObject* const* argv);
constexpr capi::FunctionDef kSplit{"split", split_fn, R"doc(split(string)
--

Return the parts of a name as a list; an absolute name starts with ''.

    >>> TclNamespace.split('::a::b'), TclNamespace.split('a::::b')
    (['', 'a', 'b'], ['a', 'b'])
    >>> TclNamespace.split('::'), TclNamespace.split('')
    ([''], [])

Runs of four, six... colons separate like "::". A part that holds a colon
(a single ":" in a name, or the odd colon of ":::") raises ValueError
"Invalid Tcl namespace '<name>'". The argument goes through quotify() first.
)doc"};

PyObject* split_fn(Function* self, PyObject* const* argv) {
    PyObject* string = argv[kSplit.slot("string")];
    return on_quotified(self, string, split_str);
}
PyObject* normalize_fn(Function* self, PyObject* const* argv);
constexpr capi::FunctionDef kNormalize{"normalize", normalize_fn, R"doc(normalize(string)
--

Return the name in its normal form: "::".join(TclNamespace.split(string)).

    >>> TclNamespace.normalize('::a::::b::'), TclNamespace.normalize('a::b')
    ('::a::b', 'a::b')
    >>> TclNamespace.normalize('::')
    ''

Raises the ValueError of split() for an invalid name.
)doc"};

PyObject* normalize_fn(Function* self, PyObject* const* argv) {
    PyObject* string = argv[kNormalize.slot("string")];
    return on_quotified(self, string, normalize_str);
}

PyObject* join_fn(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
constexpr capi::FunctionDef kJoin{"join", join_fn, R"doc(join(string, *args)
--

Join names into one normalised name.

Each part goes through quotify(). An absolute part (starting with "::")
replaces everything before it, as does any part that follows an empty
name; empty parts are skipped; the others are appended with "::".

    >>> TclNamespace.join('::app', 'x'), TclNamespace.join('::app', '::g')
    ('::app::x', '::g')
    >>> TclNamespace.join('::', 'x'), TclNamespace.join('a', '', 'b')
    ('::x', 'a::b')

Raises the ValueError of split() for an invalid result.
)doc"};

PyObject* join_fn(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    State& st = state_of(self);
    if (kwnames == nullptr && nargs >= 1) return join_parts(st, args[0], args + 1, nargs - 1);
    capi::ParsedArgs parsed;
    if (!capi::parse_args(self->qualname, *self->sig, args, nargs, kwnames, parsed)) return nullptr;
    PyObject* rest = parsed.argv[kJoin.slot("args")];
    return join_parts(st, parsed.argv[kJoin.slot("string")], reinterpret_cast<PyTupleObject*>(rest)->ob_item,
                      PyTuple_GET_SIZE(rest));
}

}  // namespace

void add_name_functions(capi::ClassBuilder& cls) {
    cls.static_method(kQualifiers)
        .static_method(kTail)
        .static_method(kJoin)
        .static_method(kSplit)
        .static_method(kNormalize);
}

}  // namespace tclns
