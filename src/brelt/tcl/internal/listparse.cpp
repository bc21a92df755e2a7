// GetListFromAny: Tcl list text to a tuple, scanned by the Tcl library.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "internal.hpp"

namespace internal {
namespace {

// Room for an element that needs its backslashes collapsed; grows on demand.
class Scratch {
public:
    char* get(std::size_t n) {
        if (n <= sizeof(inline_)) return inline_;
        if (n > heap_size_) {
            heap_ = std::make_unique<char[]>(n);
            heap_size_ = n;
        }
        return heap_.get();
    }

private:
    char inline_[256];
    std::unique_ptr<char[]> heap_;
    std::size_t heap_size_ = 0;
};

// A str of `n` bytes known to be ASCII: no decoding needed.
Ref ascii_str(const char* s, Py_ssize_t n) {
    if (n <= 1) {
        return Ref::steal(n == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<unsigned char>(s[0])));
    }
    Ref u = Ref::steal(PyUnicode_New(n, 127));
    if (u) std::memcpy(PyUnicode_1BYTE_DATA(u.get()), s, static_cast<size_t>(n));
    return u;
}

inline bool tcl_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Why the library refused the element that starts at (or after white space
// from) `p`, in the words it leaves in an interpreter: without one it
// leaves nothing. Its scan, for the four failures only: a brace or quote
// element that does not close, or closes with something else than white
// space after it. Backslash sequences cannot hide a brace or quote beyond
// the byte after the backslash (the rest of one is digits or blanks).
Ref list_error_reason(const char* p, const char* limit) {
    while (p < limit && tcl_space(*p)) ++p;
    if (p == limit || (*p != '{' && *p != '"')) return {};  // not a failure the library reports
    const bool braces = *p == '{';
    int depth = 1;
    for (++p; p < limit; ++p) {
        const char c = *p;
        if (c == '\\') {
            if (p + 1 < limit) ++p;
        } else if (braces && c == '{') {
            ++depth;
        } else if ((braces && c == '}' && --depth == 0) || (!braces && c == '"')) {
            ++p;
            if (p >= limit || tcl_space(*p)) return {};
            const char* end = p;
            while (end < limit && !tcl_space(*end) && end < p + 20) ++end;
            // Tcl quotes at most 20 bytes, leaving out a character they cut.
            const char* lead = end;
            while (lead > p && lead > end - 4 && (static_cast<unsigned char>(lead[-1]) & 0xC0) == 0x80) --lead;
            if (lead > p) {
                const auto c = static_cast<unsigned char>(lead[-1]);
                const long need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                if (end - (lead - 1) < need) end = lead - 1;
            }
            Ref junk = decode_tcl_string(p, end - p);
            if (!junk) return {};
            return Ref::steal(PyUnicode_FromFormat("list element in %s followed by \"%U\" instead of space",
                                                   braces ? "braces" : "quotes", junk.get()));
        }
    }
    return Ref::steal(PyUnicode_FromString(braces ? "unmatched open brace in list" : "unmatched open quote in list"));
}

// The elements of `length` bytes of list text at `data` as a tuple of str,
// scanned with the library's functions for sizes of type Size.
template <class Size>
Ref scan_list(State& st, const char* data, Py_ssize_t length, bool ascii, Tcl_Interp* ip) {
    const auto find_element = reinterpret_cast<FindElementProc<Size>>(st.find_element);
    const auto copy_and_collapse = reinterpret_cast<CopyAndCollapseProc<Size>>(st.copy_and_collapse);
    // Every comparison is on addresses: the scan never reads past `limit`.
    const auto limit = reinterpret_cast<std::uintptr_t>(data) + static_cast<std::uintptr_t>(length);
    const char* p = data;
    auto remain = static_cast<Size>(length);
    capi::SmallVector<Ref, 32> items;
    Scratch scratch;
    while (remain > 0) {
        const char* start = nullptr;
        const char* next = nullptr;
        Size size = 0;
        int literal = 0;
        if (find_element(ip, p, remain, &start, &next, &size, &literal) != TCL_OK) {
            if (ip != nullptr) return raise_from_interp(st, ip, st.s_invalid_list_element.get());
            Ref reason = list_error_reason(p, reinterpret_cast<const char*>(limit));
            if (!reason && PyErr_Occurred()) return {};
            return raise_from_interp(st, nullptr, reason ? reason.get() : st.s_invalid_list_element.get());
        }
        if (reinterpret_cast<std::uintptr_t>(start) >= limit) break;  // only white space was left
        Ref item;
        if (literal) {
            item = ascii ? ascii_str(start, size) : decode_tcl_string(start, size);
        } else {
            // Backslash sequences may write Tcl's forms of NUL and of
            // surrogates: decoded as tkinter decodes them.
            char* buffer = scratch.get(static_cast<std::size_t>(size) + 1);
            Size n = copy_and_collapse(size, start, buffer);
            item = decode_tcl_string(buffer, static_cast<Py_ssize_t>(n));
        }
        if (!item) return {};
        items.push_back(std::move(item));
        p = next;
        remain = static_cast<Size>(limit - reinterpret_cast<std::uintptr_t>(next));
    }

    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!result) return {};
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return result;
}

// The elements of the list text `text` (a str) as a tuple of str.
Ref parse_list(State& st, PyObject* text, PyObject* interp) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return nullptr;
#endif
    // The scan runs over UTF-8 bytes: an ASCII str holds them already
    // (followed by a NUL, as Tcl expects), anything else is encoded once.
    Ref encoded;
    const char* data;
    Py_ssize_t length;
    const bool ascii = PyUnicode_IS_ASCII(text);
    if (ascii) {
        data = static_cast<const char*>(PyUnicode_DATA(text));
        length = PyUnicode_GET_LENGTH(text);
    } else {
        encoded = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!encoded) return nullptr;
        data = PyBytes_AS_STRING(encoded.get());
        length = PyBytes_GET_SIZE(encoded.get());
    }
    if (length == 0) return Ref::steal(PyTuple_New(0));

    Tcl_Interp* ip = nullptr;
    if (!interp_pointer(st, interp, &ip)) {
        // The root of a threaded interpreter (Interpreter(threaded=True))
        // serves every thread: from another thread the text is scanned
        // without it, which gives the same elements and the same message;
        // only its result, which no other thread sees, is left alone.
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return nullptr;
        Ref refusal = Ref::steal(PyErr_GetRaisedException());
        Ref name = Ref::steal(PyUnicode_InternFromString("_brelt_any_thread"));
        if (!name) return nullptr;
        Ref any_thread;
        if (PyObject_GetOptionalAttr(interp, name.get(), any_thread.out()) < 0) return nullptr;
        if (!any_thread) {
            PyErr_SetRaisedException(refusal.release());
            return nullptr;
        }
        ip = nullptr;
    }
    if (st.tcl_major >= 9) return scan_list<std::ptrdiff_t>(st, data, length, ascii, ip);
    if (length > INT_MAX) {
        // Tcl 8 counts bytes in an int; a longer text would be cut.
        PyErr_Format(PyExc_OverflowError, "list text of %zd bytes is too long for the Tcl library (at most %d bytes)",
                     length, INT_MAX);
        return {};
    }
    return scan_list<int>(st, data, length, ascii, ip);
}

PyObject* get_list_from_any(Function* self, PyObject* const* argv);

}  // namespace

constexpr capi::FunctionDef kGetListFromAny{"GetListFromAny", get_list_from_any, R"(GetListFromAny(obj, interp=None)
--

Converts any Tcl object or string to a Python list (tuple).

If the object is already a valid Python list, it is returned unchanged
(converted to a tuple if necessary).

Text (a str, or anything else through str(), such as a _tkinter.Tcl_Obj)
is split with the Tcl library's own list scanner (TclFindElement and
TclCopyAndCollapse), so braces, double quotes and backslash sequences mean
exactly what they mean to Tcl; every element comes back as a str. The
whole text is scanned, NUL characters included.

Other values are not parsed: a tuple is returned as it is, a single int,
float or bool becomes a one-element tuple, any other sequence or set
becomes tuple(obj), and None the empty tuple.

Elements are decoded as tkinter decodes Tcl's strings: a backslash
sequence for NUL gives NUL, and an escaped surrogate pair
('\\uD83D\\uDE00') one character.

interp is None, a Tcl_Interp_p or a tkinter.Tk; it is only used to report
malformed text: the TclError then carries the message that Tcl left in
the interpreter's result. Without one, the message is Tcl's reason all
the same ("unmatched open brace in list"...). An interpreter that another
thread owns raises RuntimeError.

Example:
    >>> GetListFromAny('a b c {de} {f g h { i }}')
    ('a', 'b', 'c', 'de', 'f g h { i }')
)"};

namespace {

PyObject* get_list_from_any(Function* self, PyObject* const* argv) {
    PyObject* interp = argv[kGetListFromAny.slot("interp")];
    return list_from_any(state_of(self), argv[kGetListFromAny.slot("obj")], interp ? interp : Py_None).release();
}

}  // namespace

Ref list_from_any(State& st, PyObject* obj, PyObject* interp) {
    if (PyUnicode_Check(obj)) return parse_list(st, obj, interp);

    if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBool_Check(obj)) return Ref::steal(PyTuple_Pack(1, obj));
    // Containers are taken as they are: their elements are not parsed.
    if (PyList_CheckExact(obj)) return Ref::steal(PyList_AsTuple(obj));
    if (PyAnySet_CheckExact(obj) || PyBytes_CheckExact(obj)) return Ref::steal(PySequence_Tuple(obj));
    int container = PyObject_IsInstance(obj, st.Sequence.get());
    if (container == 0) container = PyObject_IsInstance(obj, st.Set.get());
    if (container < 0) return {};
    if (container) return Ref::steal(PySequence_Tuple(obj));
    if (obj == Py_None) return Ref::steal(PyTuple_New(0));

    // Anything else (a _tkinter.Tcl_Obj, a mapping...) is read as text.
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) return {};
    return parse_list(st, text.get(), interp);
}

}  // namespace internal
