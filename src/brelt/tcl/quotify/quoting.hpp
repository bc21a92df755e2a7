// Tcl list-element quoting on Python string data, for each character width.
//
// The rules are those of Tcl 8.4's Tcl_ScanElement / Tcl_ConvertElement,
// applied to code points. Scanning also counts what backslash mode would add,
// so a whole list is sized exactly before its string is allocated.
#pragma once

#include <cstdint>
#include <cstring>

#include "capi.hpp"

namespace quoting {

enum Flag : std::uint8_t {
    kUseBraces = 1,
    kDontUseBraces = 2,
    kBracesUnmatched = 4,
};

// Character classes of the ASCII range; nothing outside ASCII is special.
enum CharClass : std::uint8_t {
    kPlain = 0,
    kOpen,       // {
    kClose,      // }
    kBraceable,  // needs quoting, and a backslash in backslash mode: [ $ ; blank \f \n \r \t \v
    kEscape,     // a backslash in backslash mode only: ] "
    kBackslash,
};

struct ClassTable {
    std::uint8_t c[128] = {};
    constexpr ClassTable() {
        c['{'] = kOpen;
        c['}'] = kClose;
        for (unsigned char ch : {'[', '$', ';', ' ', '\f', '\n', '\r', '\t', '\v'}) c[ch] = kBraceable;
        c[']'] = kEscape;
        c['"'] = kEscape;
        c['\\'] = kBackslash;
    }
};
inline constexpr ClassTable kClasses{};

template <class Ch>
inline std::uint8_t char_class(Ch c) noexcept {
    return static_cast<std::uint32_t>(c) < 128 ? kClasses.c[static_cast<std::uint32_t>(c)] : std::uint8_t{kPlain};
}

// Non-zero for every character that is special anywhere in the rules; a
// 256-entry table so that one-byte strings are checked without a branch.
struct SpecialTable {
    std::uint8_t c[256] = {};
    constexpr SpecialTable() {
        for (int i = 0; i < 128; ++i) c[i] = ClassTable{}.c[i] != kPlain;
    }
};
inline constexpr SpecialTable kSpecial{};

// True when the string holds no character that quoting cares about, the
// common case of a plain word.
template <class Ch>
inline bool is_plain(const Ch* s, Py_ssize_t n) noexcept {
    unsigned any = 0;
    if constexpr (sizeof(Ch) == 1) {
        for (Py_ssize_t i = 0; i < n; ++i) any |= kSpecial.c[s[i]];
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::uint32_t c = s[i];
            any |= c < 128 ? kSpecial.c[c] : 0u;
        }
    }
    return any == 0;
}

struct Scan {
    std::uint8_t flags = 0;
    Py_ssize_t escapes = 0;  // characters other than braces that backslash mode escapes
    Py_ssize_t braces = 0;   // all "{" and "}"
};

template <class Ch>
Scan scan(const Ch* s, Py_ssize_t n) noexcept {
    Scan r;
    if (n == 0) {
        r.flags = kUseBraces;
        return r;
    }
    if (is_plain(s, n)) return r;
    if (s[0] == '{' || s[0] == '"') r.flags = kUseBraces;
    Py_ssize_t level = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        switch (char_class(s[i])) {
            case kPlain: break;
            case kOpen:
                ++level;
                ++r.braces;
                break;
            case kClose:
                ++r.braces;
                if (--level < 0) r.flags |= kDontUseBraces | kBracesUnmatched;
                break;
            case kBraceable:
                r.flags |= kUseBraces;
                ++r.escapes;
                break;
            case kEscape: ++r.escapes; break;
            case kBackslash:
                ++r.escapes;
                if (i + 1 == n || s[i + 1] == '\n') {
                    r.flags = kDontUseBraces | kBracesUnmatched;
                } else {
                    // A backslash and the character after it are one unit: the
                    // escaped character counts for the output size only.
                    r.flags |= kUseBraces;
                    std::uint8_t next = char_class(s[++i]);
                    if (next == kOpen || next == kClose) ++r.braces;
                    else if (next != kPlain) ++r.escapes;
                }
                break;
        }
    }
    if (level != 0) r.flags = kDontUseBraces | kBracesUnmatched;
    return r;
}

// How an element is written, decided from its scan.
enum class Mode : std::uint8_t { Empty, Copy, Braces, Backslash };

inline Mode mode_of(const Scan& r, Py_ssize_t n) noexcept {
    if (n == 0) return Mode::Empty;
    if ((r.flags & kUseBraces) && !(r.flags & kDontUseBraces)) return Mode::Braces;
    if (r.escapes == 0 && !(r.flags & kBracesUnmatched)) return Mode::Copy;  // no brace can be escaped
    return Mode::Backslash;
}

// Length of the quoted element. In backslash mode a leading "{" makes every
// brace unmatched (it is escaped and marks the element so).
template <class Ch>
Py_ssize_t quoted_length(Mode mode, const Scan& r, const Ch* s, Py_ssize_t n) noexcept {
    switch (mode) {
        case Mode::Empty: return 2;
        case Mode::Copy: return n;
        case Mode::Braces: return n + 2;
        case Mode::Backslash: break;
    }
    bool unmatched = (r.flags & kBracesUnmatched) || s[0] == '{';
    return n + r.escapes + (unmatched ? r.braces : 0);
}

template <class Out, class In>
inline Out* copy_chars(Out* dst, const In* src, Py_ssize_t n) noexcept {
    if constexpr (sizeof(Out) == sizeof(In)) {
        if (n > 32) {
            std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(In));
            return dst + n;
        }
        // Words are short; a call to memcpy costs more than the copy.
        for (Py_ssize_t i = 0; i < n; ++i) dst[i] = src[i];
        return dst + n;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) *dst++ = static_cast<Out>(src[i]);
        return dst;
    }
}

// Backslash mode: escapes every special character; braces only when
// `unmatched` (a leading "{" is always escaped and sets it).
template <class Out, class In>
Out* write_backslashed(Out* dst, const In* s, Py_ssize_t n, bool unmatched) noexcept {
    Py_ssize_t i = 0;
    if (s[0] == '{') {
        *dst++ = '\\';
        *dst++ = '{';
        i = 1;
        unmatched = true;
    }
    for (; i < n; ++i) {
        In c = s[i];
        switch (char_class(c)) {
            case kPlain: *dst++ = static_cast<Out>(c); continue;
            case kOpen:
            case kClose:
                if (unmatched) *dst++ = '\\';
                *dst++ = static_cast<Out>(c);
                continue;
            default: break;
        }
        *dst++ = '\\';
        switch (c) {
            case '\f': *dst++ = 'f'; break;
            case '\n': *dst++ = 'n'; break;
            case '\r': *dst++ = 'r'; break;
            case '\t': *dst++ = 't'; break;
            case '\v': *dst++ = 'v'; break;
            default: *dst++ = static_cast<Out>(c); break;
        }
    }
    return dst;
}

template <class Out, class In>
Out* write_element(Out* dst, Mode mode, std::uint8_t flags, const In* s, Py_ssize_t n) noexcept {
    switch (mode) {
        case Mode::Empty:
            *dst++ = '{';
            *dst++ = '}';
            return dst;
        case Mode::Copy: return copy_chars(dst, s, n);
        case Mode::Braces:
            *dst++ = '{';
            dst = copy_chars(dst, s, n);
            *dst++ = '}';
            return dst;
        case Mode::Backslash: break;
    }
    return write_backslashed(dst, s, n, (flags & kBracesUnmatched) != 0);
}

// Calls f(data) with the string's characters typed by its kind.
template <class F>
decltype(auto) with_data(PyObject* str, F&& f) noexcept {
    return capi::with_chars(str, std::forward<F>(f));
}

// Calls f(out) with the result's buffer typed by its kind.
template <class F>
decltype(auto) with_buffer(PyObject* str, F&& f) noexcept {
    return capi::with_chars(str, std::forward<F>(f));
}

}  // namespace quoting
