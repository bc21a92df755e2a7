// DictionaryCompare: Tcl's dictionary order on Python strings.
#include <cstdint>

#include "internal.hpp"

namespace internal {
namespace {

// Only the ASCII digits start number runs, as in Tcl: with every Unicode
// digit the order would not be transitive ('10' < 'a' < '\u00b2' < '10').
inline bool is_digit(Py_UCS4 c) noexcept { return c >= '0' && c <= '9'; }

// The first character of str.lower() of one character (only U+0130 has a
// longer lower-case form, whose first character is "i").
inline Py_UCS4 to_lower(Py_UCS4 c) noexcept {
    if (c < 128) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    return Py_UNICODE_TOLOWER(c);
}

// One string's characters; reading past the end gives NUL, as in C.
template <class Ch>
struct Text {
    const Ch* data;
    Py_ssize_t size;
    Py_UCS4 at(Py_ssize_t i) const noexcept { return i < size ? static_cast<Py_UCS4>(data[i]) : 0; }
};

inline long code_diff(Py_UCS4 a, Py_UCS4 b) noexcept { return static_cast<long>(a) - static_cast<long>(b); }

template <class L, class R>
long dictionary_compare(Text<L> left, Text<R> right) noexcept {
    Py_ssize_t il = 0, ir = 0;
    long diff = 0, secondary = 0;
    for (;;) {
        if (is_digit(right.at(ir)) && is_digit(left.at(il))) {
            // A run of digits on both sides compares by value. Leading
            // zeros are skipped (a lone 0 stays); the side with more of
            // them sorts later, as a tie-break only.
            long zeros = 0;
            while (right.at(ir) == '0' && is_digit(right.at(ir + 1))) {
                ++ir;
                --zeros;
            }
            while (left.at(il) == '0' && is_digit(left.at(il + 1))) {
                ++il;
                ++zeros;
            }
            if (secondary == 0) secondary = zeros;
            // The first differing digit decides, unless one number is longer.
            diff = 0;
            for (;;) {
                if (diff == 0) diff = code_diff(left.at(il), right.at(ir));
                ++il;
                ++ir;
                if (!is_digit(right.at(ir))) {
                    if (is_digit(left.at(il))) return 1;
                    if (diff != 0) return diff;
                    break;
                }
                if (!is_digit(left.at(il))) return -1;
            }
            continue;
        }
        if (il < left.size && ir < right.size) {
            Py_UCS4 cl = left.at(il++);
            Py_UCS4 cr = right.at(ir++);
            diff = code_diff(to_lower(cl), to_lower(cr));
            if (diff != 0) return diff;
            // Same letter in another case: the first such pair breaks a tie.
            if (secondary == 0) secondary = code_diff(cl, cr);
        } else {
            diff = code_diff(left.at(il), right.at(ir));
            // The string that goes on sorts after its prefix, even when it
            // goes on with NUL characters.
            if (diff == 0 && (il < left.size) != (ir < right.size)) diff = il < left.size ? 1 : -1;
            break;
        }
    }
    return diff != 0 ? diff : secondary;
}

template <class F>
long with_text(PyObject* s, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(Text<Py_UCS1>{PyUnicode_1BYTE_DATA(s), n});
        case PyUnicode_2BYTE_KIND: return f(Text<Py_UCS2>{PyUnicode_2BYTE_DATA(s), n});
        default: return f(Text<Py_UCS4>{PyUnicode_4BYTE_DATA(s), n});
    }
}

// str(obj) as a new reference.
Ref as_str(PyObject* obj) {
    Ref s = PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj));
#if PY_VERSION_HEX < 0x030C0000
    if (s && PyUnicode_READY(s.get()) < 0) return {};
#endif
    return s;
}

PyObject* dictionary_compare_fn(Function*, PyObject* const* argv);

}  // namespace

constexpr capi::FunctionDef kDictionaryCompare{"DictionaryCompare", dictionary_compare_fn,
                                               R"(DictionaryCompare(left, right)
--

This function compares two strings as if they were being used in an index
or card catalog. The case of alphabetic characters is ignored, except to
break ties. Thus "B" comes before "b" but after "a". Also, integers
embedded in the strings compare in numerical order. In other words, "x10y"
comes after "x9y", not before it as it would when using strcmp().

Both arguments are converted with str() first. Characters compare as
code points; only the ASCII digits 0-9 form numbers, as in Tcl (other
Unicode digits compare as characters). A string sorts after its
own prefix, so two different strings never compare equal. Use it as a
sort key through functools.cmp_to_key(DictionaryCompare).

Results:
    A negative result means that the first element comes before the
    second, and a positive result means that the second element should
    come first. A result of zero means the two elements are equal and it
    doesn't matter which comes first. Only the sign is meaningful.

Side effects:
    None.

Origin:
    DictionaryCompare in the Tcl 8.4.19 sources (generic/tclCmdIL.c).
)"};

namespace {

PyObject* dictionary_compare_fn(Function*, PyObject* const* argv) {
    Ref left = as_str(argv[kDictionaryCompare.slot("left")]);
    if (!left) return nullptr;
    Ref right = as_str(argv[kDictionaryCompare.slot("right")]);
    if (!right) return nullptr;
    long result = with_text(
        left.get(), [&](auto l) { return with_text(right.get(), [&](auto r) { return dictionary_compare(l, r); }); });
    return PyLong_FromLong(result);
}

}  // namespace

}  // namespace internal
