// Tcl list-element quoting on Python string data, for each character width.
//
// The rules are those of Tcl 8.4's Tcl_ScanElement / Tcl_ConvertElement,
// applied to code points. Scanning also counts what backslash mode would add,
// so a whole list is sized exactly before its string is allocated.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

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

// One element, quoted, at `dst`: scanned and written in one go while its
// characters are in cache. `dst` has room for 2 * n + 2 characters plus
// kSlack, which the fast path may scribble on.
inline constexpr Py_ssize_t kSlack = 8;

// Lanes of a word are characters in order on little-endian machines only;
// the address sanitizer tracks bytes, not the words around them.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kWordReads = false;
#else
inline constexpr bool kWordReads = std::endian::native == std::endian::little;
#endif

// Non-zero when some byte of `w` may be special: every special character is
// caught, a few plain ones too ("|", "&", control characters), which the
// exact scan then clears.
inline std::uint64_t maybe_special(std::uint64_t w) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto has_zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    auto each = [](std::uint8_t b) { return ones * b; };
    std::uint64_t folded = w & each(0xdf);  // [\] and {|}
    std::uint64_t any = has_zero(folded ^ each('[')) | has_zero(folded ^ each('\\')) | has_zero(folded ^ each(']'));
    any |= has_zero((w & each(0xf9)) ^ each(' '));  // blank " $ &
    any |= has_zero(w ^ each(';'));
    any |= (w - each(0x0e)) & ~w & highs;  // below \x0e: \t \n \v \f \r
    return any;
}

// The same for four two-byte characters: a character beyond Latin-1 counts
// as a plain letter, and so does the high byte of every character.
inline std::uint64_t maybe_special(std::uint64_t w, std::uint16_t) noexcept {
    constexpr std::uint64_t lows = 0x00ff00ff00ff00ffull;
    std::uint64_t wide = ((((w >> 8) & lows) + lows) >> 8) & 0x0001000100010001ull;  // 1 where >= 0x100
    std::uint64_t wide_lows = wide * 0xff;
    std::uint64_t low = (w & lows & ~wide_lows) | (0x0061006100610061ull & wide_lows);
    return maybe_special(low | 0x6100610061006100ull);
}
inline std::uint64_t maybe_special(std::uint64_t w, std::uint8_t) noexcept { return maybe_special(w); }

// The fast paths read whole aligned 8-byte words, never beyond the one that
// holds the last character, so never outside a page the string lies in;
// what they write past the element lands in the slack.
template <class In>
inline bool word_readable(const In* s) noexcept {
    return kWordReads && sizeof(In) <= 2 && (reinterpret_cast<std::uintptr_t>(s) & 7) == 0;
}

// Stores the characters of a word (8 of one byte, 4 of two) as wider ones.
template <class Out, class In>
inline void widen(Out* dst, std::uint64_t w, In) noexcept {
#if defined(__SSE2__)
    if constexpr (sizeof(Out) == 2 && sizeof(In) == 1) {
        __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(w));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
        return;
    }
#endif
    constexpr unsigned bits = 8 * sizeof(In);
    for (unsigned k = 0; k < 8 / sizeof(In); ++k) dst[k] = static_cast<Out>((w >> (bits * k)) & ((1u << bits) - 1));
}

// Copies n > 0 characters of one or two bytes a word at a time; when
// `check`, stops with nullptr at the first word that may hold a special one.
template <bool check, class Out, class In>
inline Out* copy_words(Out* dst, const In* s, Py_ssize_t n) noexcept {
    static_assert(sizeof(In) <= 2 && sizeof(Out) >= sizeof(In));
    constexpr Py_ssize_t per = 8 / sizeof(In);
    constexpr unsigned bits = 8 * sizeof(In);
    for (Py_ssize_t i = 0; i < n; i += per) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        if constexpr (check) {
            Py_ssize_t left = n - i;
            if (left < per) {  // past the end: plain letters
                std::uint64_t keep = (std::uint64_t{1} << (bits * left)) - 1;
                constexpr std::uint64_t letters = ~std::uint64_t{0} / ((std::uint64_t{1} << bits) - 1) * 'a';
                w = (w & keep) | (letters & ~keep);
            }
            if (maybe_special(w, In{})) return nullptr;
        }
        if constexpr (sizeof(Out) == sizeof(In)) {
            std::memcpy(dst + i, &w, 8);
        } else {
            widen(dst + i, w, In{});
        }
    }
    return dst + n;
}

// copy_chars, a word at a time where it can.
template <class Out, class In>
inline Out* copy_fast(Out* dst, const In* s, Py_ssize_t n) noexcept {
    if constexpr (sizeof(In) <= 2) {
        if (word_readable(s)) return copy_words<false>(dst, s, n);
    }
    return copy_chars(dst, s, n);
}

// The classes present in a string, one bit each: a loop without branches.
struct ClassBits {
    std::uint8_t c[256] = {};
    constexpr ClassBits() {
        for (int i = 0; i < 256; ++i)
            c[i] = static_cast<std::uint8_t>(1u << (i < 128 ? ClassTable{}.c[i] : std::uint8_t{kPlain}));
    }
};
inline constexpr ClassBits kClassBits{};

template <class Ch>
inline unsigned classes_in(const Ch* s, Py_ssize_t n) noexcept {
    unsigned bits = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint32_t c = s[i];
        bits |= sizeof(Ch) == 1 ? kClassBits.c[c] : c < 128 ? kClassBits.c[c] : 1u;
    }
    return bits;
}

template <class Out, class In>
Out* write_quoted(Out* dst, const In* s, Py_ssize_t n) noexcept {
    if (n == 0) {
        *dst++ = '{';
        *dst++ = '}';
        return dst;
    }
    if constexpr (sizeof(In) <= 2) {
        if (word_readable(s)) {
            if (Out* end = copy_words<true>(dst, s, n)) return end;
        }
    }
    // Without braces or backslashes the rules come down to the classes seen.
    unsigned bits = classes_in(s, n);
    constexpr unsigned kStructural = 1u << kOpen | 1u << kClose | 1u << kBackslash;
    if (!(bits & kStructural)) {
        if ((bits & 1u << kBraceable) || s[0] == '"') {
            *dst++ = '{';
            dst = copy_fast(dst, s, n);
            *dst++ = '}';
            return dst;
        }
        if (bits & 1u << kEscape) return write_backslashed(dst, s, n, false);
        return copy_fast(dst, s, n);
    }
    Scan r = scan(s, n);
    return write_element(dst, mode_of(r, n), r.flags, s, n);
}

// Calls f(data) with the string's characters typed by its kind.
template <class F>
decltype(auto) with_data(PyObject* str, F&& f) {
    return capi::with_chars(str, std::forward<F>(f));
}

// Calls f(out) with the result's buffer typed by its kind.
template <class F>
decltype(auto) with_buffer(PyObject* str, F&& f) {
    return capi::with_chars(str, std::forward<F>(f));
}

}  // namespace quoting
