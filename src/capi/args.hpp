// Table-driven argument parsing for the vectorcall convention.
//
// A parameter table is read once from a function's text signature (the
// "name(a, b=None, *, c)" line that starts its docstring), so the signature
// that Python shows and the parameters that the parser accepts cannot drift
// apart. Parsing fills one slot per parameter with a borrowed reference, or
// NULL for an omitted optional parameter; `*args` and `**kwargs` slots get a
// new tuple and dict that the caller's ParsedArgs owns.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "ref.hpp"

namespace capi {

// Upper bound on the parameters of one function; argv buffers live on the stack.
inline constexpr Py_ssize_t kMaxParams = 12;

enum class ParamKind : unsigned char { PositionalOnly, PositionalOrKeyword, VarPositional, KeywordOnly, VarKeyword };

struct Param {
    Ref name;  // interned
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool has_default = false;
};

struct Signature {
    std::vector<Param> params;
    Py_ssize_t n_positional = 0;    // positional-only + positional-or-keyword
    Py_ssize_t n_required_pos = 0;  // leading positional parameters without default
    Py_ssize_t var_positional = -1;
    Py_ssize_t var_keyword = -1;
    bool has_required_kwonly = false;

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(params.size()); }
    // True when a call with only positional arguments maps them straight onto
    // the slots (no *args, no keyword-only parameters).
    bool positional_only_layout() const noexcept { return n_positional == size(); }
};

namespace detail {

inline std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// Splits "a, b='x,y', c=(1, 2)" at the commas that are not nested in
// brackets or quotes.
inline std::vector<std::string_view> split_params(std::string_view text) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}' || c == '>') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string_view last = trim(text.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

}  // namespace detail

// Builds a parameter table from the text between the parentheses of a text
// signature. Returns false with an exception set when the text is malformed.
inline bool parse_signature(std::string_view params_text, Signature& sig) {
    bool keyword_only = false;
    for (std::string_view item : detail::split_params(params_text)) {
        if (item == "/") {
            for (Param& p : sig.params) p.kind = ParamKind::PositionalOnly;
            continue;
        }
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        Param p;
        if (item.substr(0, 2) == "**") {
            p.kind = ParamKind::VarKeyword;
            item.remove_prefix(2);
        } else if (item.substr(0, 1) == "*") {
            p.kind = ParamKind::VarPositional;
            item.remove_prefix(1);
            keyword_only = true;
        } else {
            p.kind = keyword_only ? ParamKind::KeywordOnly : ParamKind::PositionalOrKeyword;
            size_t eq = item.find('=');
            if (eq != std::string_view::npos) {
                p.has_default = true;
                item = detail::trim(item.substr(0, eq));
            }
        }
        if (!item.empty() && item.front() == '$') item.remove_prefix(1);
        if (item.empty()) {
            raise(PyExc_SystemError, "malformed text signature");
            return false;
        }
        std::string name(item);
        p.name = Ref::steal(PyUnicode_InternFromString(name.c_str()));
        if (!p.name) return false;
        sig.params.push_back(std::move(p));
    }
    if (sig.size() > kMaxParams) {
        raise(PyExc_SystemError, "too many parameters in text signature");
        return false;
    }
    bool seen_default = false;
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        const Param& p = sig.params[i];
        switch (p.kind) {
            case ParamKind::PositionalOnly:
            case ParamKind::PositionalOrKeyword:
                ++sig.n_positional;
                if (!p.has_default && !seen_default) ++sig.n_required_pos;
                seen_default = seen_default || p.has_default;
                break;
            case ParamKind::VarPositional: sig.var_positional = i; break;
            case ParamKind::VarKeyword: sig.var_keyword = i; break;
            case ParamKind::KeywordOnly: sig.has_required_kwonly |= !p.has_default; break;
        }
    }
    return true;
}

// The argument slots of one call. Slots hold references borrowed from the
// call's own arguments (vectorcall's array and keyword names, which the
// caller holds until the call returns and no other thread can change),
// except those of *args and **kwargs, which `owned` keeps alive.
struct ParsedArgs {
    PyObject* argv[kMaxParams];
    Ref owned[2];
};

namespace detail {

inline void append_name_list(std::string& out, const std::vector<PyObject*>& names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' (CPython's own wording).
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            if (i + 1 == names.size()) out += " and";
            out += " ";
        }
        out += "'";
        out += PyUnicode_AsUTF8(names[i]);
        out += "'";
    }
}

inline bool report_missing(PyObject* qualname, const Signature& sig, PyObject* const* argv) {
    for (bool kwonly : {false, true}) {
        std::vector<PyObject*> missing;
        for (Py_ssize_t i = 0; i < sig.size(); ++i) {
            const Param& p = sig.params[i];
            bool is_kwonly = p.kind == ParamKind::KeywordOnly;
            bool is_pos = p.kind == ParamKind::PositionalOnly || p.kind == ParamKind::PositionalOrKeyword;
            if ((kwonly ? is_kwonly : is_pos) && !p.has_default && argv[i] == nullptr) {
                missing.push_back(p.name.get());
            }
        }
        if (missing.empty()) continue;
        std::string names;
        append_name_list(names, missing);
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", qualname,
                     static_cast<Py_ssize_t>(missing.size()), kwonly ? "keyword-only" : "positional",
                     missing.size() == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

inline bool report_too_many(PyObject* qualname, const Signature& sig, Py_ssize_t given) {
    Py_ssize_t defaults = sig.n_positional - sig.n_required_pos;
    if (defaults > 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", qualname,
                     sig.n_required_pos, sig.n_positional, given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", qualname,
                     sig.n_positional, sig.n_positional == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }
    return false;
}

inline Py_ssize_t find_keyword(const Signature& sig, PyObject* key) noexcept {
    // Keyword names are interned by the compiler, so identity almost always hits.
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        if (sig.params[i].name.get() == key) return i;
    }
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        if (PyUnicode_Compare(sig.params[i].name.get(), key) == 0) return i;
    }
    PyErr_Clear();  // a comparison with a non-str key cannot fail otherwise
    return -1;
}

}  // namespace detail

// Maps a vectorcall (args, nargs, kwnames) onto the signature's slots.
inline bool parse_args(PyObject* qualname, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, ParsedArgs& out) {
    PyObject** argv = out.argv;
    const Py_ssize_t n = sig.size();
    for (Py_ssize_t i = 0; i < n; ++i) argv[i] = nullptr;

    Py_ssize_t npos = nargs;
    if (nargs > sig.n_positional) {
        if (sig.var_positional < 0) return detail::report_too_many(qualname, sig, nargs);
        npos = sig.n_positional;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i] = args[i];
    if (sig.var_positional >= 0) {
        Py_ssize_t extra = nargs - npos;
        out.owned[0] = Ref::steal(PyTuple_New(extra));
        if (!out.owned[0]) return false;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyTuple_SET_ITEM(out.owned[0].get(), i, Py_NewRef(args[npos + i]));
        }
        argv[sig.var_positional] = out.owned[0].get();
    }
    if (sig.var_keyword >= 0) {
        out.owned[1] = Ref::steal(PyDict_New());
        if (!out.owned[1]) return false;
        argv[sig.var_keyword] = out.owned[1].get();
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t idx = detail::find_keyword(sig, key);
        ParamKind kind = idx >= 0 ? sig.params[idx].kind : ParamKind::VarKeyword;
        bool bindable = kind == ParamKind::PositionalOrKeyword || kind == ParamKind::KeywordOnly;
        if (!bindable) {
            if (sig.var_keyword >= 0) {
                if (PyDict_SetItem(argv[sig.var_keyword], key, value) < 0) return false;
                continue;
            }
            if (idx >= 0 && kind == ParamKind::PositionalOnly) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword arguments: '%U'", qualname,
                             key);
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", qualname, key);
            }
            return false;
        }
        if (argv[idx] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", qualname, key);
            return false;
        }
        argv[idx] = value;
    }
    if (nargs < sig.n_required_pos || sig.has_required_kwonly || nkw > 0) {
        return detail::report_missing(qualname, sig, argv);
    }
    return true;
}

}  // namespace capi
