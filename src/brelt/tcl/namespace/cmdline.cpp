// The command line of a TclCommand (cmdline.hpp): bound arguments, options,
// dashed option names, and the words of a call.
#include "cmdline.hpp"

#include <array>
#include <string_view>

namespace tclns {

bool own_command(State& st, PyObject* obj) noexcept {
    return own_instance(obj, st.TclCommand, st.TclCommand_methods, st.TempTclCommand, st.TempTclCommand_methods);
}

namespace {

// "-" + key, the common ones kept once made (exact str keys only, whose
// look-up runs no Python code). The cache is the module's, shared by every
// thread: a hit is held as it is read (capi::dict_get), and a miss goes in
// by setdefault, so that threads missing the same key at once all use the
// one value kept and none replaces a value another has read.
PyObject* dashed_name(State& st, PyObject* key) noexcept {
    PyObject* cache = st.dashed.get();
    bool cached = PyUnicode_CheckExact(key);
    if (cached) {
        Ref hit = capi::dict_get(cache, key);
        if (hit || PyErr_Occurred()) return hit.release();
    }
    Ref dashed = Ref::steal(PyUnicode_Concat(st.t_dash.get(), key));
    if (!dashed || !cached || PyDict_GET_SIZE(cache) >= 256) return dashed.release();
    PyObject* kept;
    return PyDict_SetDefaultRef(cache, key, dashed.get(), &kept) < 0 ? nullptr : kept;
}

// dict(mapping), for option mappings that are not exact dicts.
PyObject* dict_of(PyObject* mapping) noexcept {
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_Merge(d.get(), mapping, 1) < 0) return nullptr;
    return d.release();
}

// tclobj() of items[0:n], appended to `out`.
template <std::size_t N>
bool convert_all(State& st, PyObject* const* items, Py_ssize_t n, capi::SmallVector<Ref, N>& out) noexcept {
    try {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref v = Ref::steal(tclobj(st, items[i]));
            if (!v) return false;
            out.push_back(std::move(v));
        }
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return false;
    }
    return true;
}

// One option of the line: a bound one (maybe with the call's value), or
// one the call adds.
struct Option {
    Option(PyObject* k, PyObject* v) noexcept : key(Ref::borrow(k)), value(Ref::borrow(v)) {}
    Ref key, value;
};
using Options = capi::SmallVector<Option, 8>;

// The bound options in order, as strong references: allocating the line
// may run a GC pass, and with it Python code that changes the dict.
bool read_bound_options(State& st, AttrReader& attrs, Options& options) noexcept {
    Ref keywords = Ref::steal(attrs(st.s_keywords.get()));
    if (!keywords) return false;
    if (!PyDict_CheckExact(keywords.get())) {
        keywords = Ref::steal(dict_of(keywords.get()));
        if (!keywords) return false;
    }
    try {
        // The dict is the handle's public attribute, which another thread
        // may change meanwhile: walked under its lock (capi::dict_walk),
        // each key and value held (Option) before the lock goes.
        capi::dict_walk(keywords.get(), [&](PyObject* key, PyObject* value) { options.emplace_back(key, value); });
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return false;
    }
    return true;
}

// A call option of the same name takes the place of the bound one: a copy
// of the keywords updated by the call's, without building that dict.
// `used[k]` marks the call options so placed; returns how many are new, or
// -1 on error.
Py_ssize_t merge_call_options(Options& options, PyObject* kwnames, capi::SmallVector<Ref, 4>& call_opts,
                              capi::SmallVector<char, 8>& used) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    try {
        for (Py_ssize_t k = 0; k < nkw; ++k) used.emplace_back(0);
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return -1;
    }
    Py_ssize_t nnew = nkw;
    for (size_t i = 0; i < options.size(); ++i) {
        PyObject* key = options[i].key.get();
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return -1;
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            if (!used[static_cast<size_t>(k)] && (name == key || PyUnicode_Compare(name, key) == 0)) {
                options[i].value = std::move(call_opts[static_cast<size_t>(k)]);
                used[static_cast<size_t>(k)] = 1;
                --nnew;
                break;
            }
        }
    }
    return nnew;
}

// The words of a line in order, each taken over.
struct LineParts {
    Ref name, bound;
    capi::SmallVector<Ref, 8> converted;
    capi::SmallVector<Ref, 4> call_opts;
    capi::SmallVector<char, 8> used;
    Options options;
};

bool assemble_words(State& st, LineParts& p, PyObject* kwnames, Py_ssize_t nnew, Words& out) noexcept {
    Py_ssize_t nbound = PyTuple_GET_SIZE(p.bound.get());
    Py_ssize_t ncall = static_cast<Py_ssize_t>(p.converted.size());
    Py_ssize_t nkeep = static_cast<Py_ssize_t>(p.options.size());
    try {
        out.reserve(static_cast<size_t>(1 + nbound + ncall + 2 * (nkeep + nnew)));
        out.push_back(std::move(p.name));
        for (Py_ssize_t i = 0; i < nbound; ++i) out.push_back(Ref::borrow(PyTuple_GET_ITEM(p.bound.get(), i)));
        for (Py_ssize_t i = 0; i < ncall; ++i) out.push_back(std::move(p.converted[static_cast<size_t>(i)]));
        auto put = [&](PyObject* key, Ref& value) {
            Ref dashed = Ref::steal(dashed_name(st, key));
            if (!dashed) return false;
            out.push_back(std::move(dashed));
            out.push_back(std::move(value));
            return true;
        };
        for (size_t i = 0; i < p.options.size(); ++i) {
            if (!put(p.options[i].key.get(), p.options[i].value)) return false;
        }
        for (Py_ssize_t k = 0, nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; k < nkw; ++k) {
            if (!p.used[static_cast<size_t>(k)] &&
                !put(PyTuple_GET_ITEM(kwnames, k), p.call_opts[static_cast<size_t>(k)])) {
                return false;
            }
        }
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return false;
    }
    return true;
}

}  // namespace

PyObject* build_line(State& st, PyObject* self, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames) noexcept {
    AttrReader attrs(st, self, own_command(st, self));
    return build_line(st, attrs, call, ncall, kwnames);
}

bool build_words(State& st, AttrReader& attrs, PyObject* const* call, Py_ssize_t ncall, PyObject* kwnames,
                 Words& out) noexcept {
    LineParts p;
    p.name = Ref::steal(attrs(st.s_cmd_name.get()));
    if (!p.name) return false;
    p.bound = Ref::steal(attrs(st.s_args.get()));
    if (!p.bound) return false;
    if (!PyTuple_Check(p.bound.get())) {
        PyErr_Format(PyExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Py_TYPE(p.bound.get())->tp_name);
        return false;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!convert_all(st, call, ncall, p.converted) || !convert_all(st, call + ncall, nkw, p.call_opts) ||
        !read_bound_options(st, attrs, p.options)) {
        return false;
    }
    Py_ssize_t nnew = merge_call_options(p.options, kwnames, p.call_opts, p.used);
    if (nnew < 0) return false;
    return assemble_words(st, p, kwnames, nnew, out);
}

PyObject* words_tuple(Words& words) noexcept {
    PyObject* line = PyTuple_New(static_cast<Py_ssize_t>(words.size()));
    if (line == nullptr) return nullptr;
    for (size_t i = 0; i < words.size(); ++i) PyTuple_SET_ITEM(line, static_cast<Py_ssize_t>(i), words[i].release());
    return line;
}

PyObject* build_line(State& st, AttrReader& attrs, PyObject* const* call, Py_ssize_t ncall,
                     PyObject* kwnames) noexcept {
    Words words;
    return build_words(st, attrs, call, ncall, kwnames, words) ? words_tuple(words) : nullptr;
}

PyObject* line_of(State& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (own_command(st, args[0])) return build_line(st, args[0], args + 1, nargs - 1, kwnames);
    return call_method(st.s_build_tclcmd.get(), args, static_cast<size_t>(nargs), kwnames);
}

PyObject* line_of(State& st, PyObject* self) noexcept { return line_of(st, &self, 1, nullptr); }

PyObject* dashed_words(State& st, PyObject* const* values, PyObject* kwnames) noexcept {
    Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref words = Ref::steal(PyTuple_New(2 * n));
    if (!words) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* dashed = dashed_name(st, PyTuple_GET_ITEM(kwnames, k));
        if (dashed == nullptr) return nullptr;
        PyTuple_SET_ITEM(words.get(), 2 * k, dashed);
        PyTuple_SET_ITEM(words.get(), 2 * k + 1, Py_NewRef(values[k]));
    }
    return words.release();
}

// ---------------------------------------------------------------------------
// A new handle's line

namespace {

// brelt.tcl.cast_list(value): the package-level function.
PyObject* package_cast_list(State& st, PyObject* value) noexcept {
    Ref pkg = Ref::steal(the_package(st));
    Ref fn = pkg ? Ref::steal(PyObject_GetAttr(pkg.get(), st.s_cast_list.get())) : Ref();
    return fn ? PyObject_CallOneArg(fn.get(), value) : nullptr;
}

// Whether Tcl reads the str `s` as a list of exactly itself: not empty, and
// without the characters that list syntax gives a meaning (white space,
// braces, quotes, backslashes), so the split can be skipped.
bool single_word(PyObject* s) noexcept {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    if (PyUnicode_IS_ASCII(s)) {
        // The characters below, as a table over the ASCII codes.
        constexpr auto special = [] {
            std::array<bool, 128> set{};
            for (unsigned char c : std::string_view(" \t\n\v\f\r{}\"\\")) set[c] = true;
            return set;
        }();
        const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(s));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (special[text[i]]) return false;
        }
        return true;
    }
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        switch (PyUnicode_READ(kind, data, i)) {
            case ' ':
            case '\t':
            case '\n':
            case '\v':
            case '\f':
            case '\r':
            case '{':
            case '}':
            case '"':
            case '\\': return false;
            default: break;
        }
    }
    return true;
}

// line[0] into `head`, line[1:] into `rest`.
bool head_and_rest(PyObject* line, Ref& head, Ref& rest) noexcept {
    rest = Ref::steal(PySequence_GetSlice(line, 1, PY_SSIZE_T_MAX));
    if (!rest) return false;
    head = Ref::steal(PySequence_GetItem(line, 0));
    return static_cast<bool>(head);
}

// The whole command line given as `cmd`: another handle's, a tuple word by
// word, or any other value split as a Tcl list.
PyObject* whole_line(State& st, PyObject* cmd, bool is_handle) noexcept {
    if (is_handle) return line_of(st, cmd);
    if (PyTuple_CheckExact(cmd)) return Py_NewRef(cmd);
    if (single_word(cmd)) return PyTuple_Pack(1, cmd);
    return package_cast_list(st, cmd);
}

// Another handle `handle` with arguments `args`: its line, then these.
PyObject* handle_line(State& st, PyObject* handle, PyObject* args) noexcept {
    Ref seq = Ref::steal(PySequence_Tuple(args));
    if (!seq) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    try {
        capi::SmallVector<PyObject*, 16> a;
        a.emplace_back(handle);
        for (Py_ssize_t i = 0; i < n; ++i) a.emplace_back(PyTuple_GET_ITEM(seq.get(), i));
        return line_of(st, &a[0], n + 1, nullptr);
    } catch (...) {
        capi::set_error_from_cpp_exception();
        return nullptr;
    }
}

}  // namespace

bool split_command(State& st, PyObject* cmd, PyObject* args, Ref& head, Ref& rest) noexcept {
    if (is_none(args) && single_word(cmd)) {
        // The common case, a plain name: what the split below makes of it.
        rest = Ref::steal(PyTuple_New(0));
        head = Ref::borrow(cmd);
        return static_cast<bool>(rest);
    }
    int is_handle = PyObject_IsInstance(cmd, st.TclCommand.get());
    if (is_handle < 0) return false;
    if (is_none(args)) {
        Ref line = Ref::steal(whole_line(st, cmd, is_handle));
        return line && head_and_rest(line.get(), head, rest);
    }
    rest = Ref::steal(package_cast_list(st, args));
    if (!rest) return false;
    if (!is_handle) {
        head = Ref::borrow(cmd);
        return true;
    }
    // The other handle's name; its bound arguments, these and its options
    // (already dashed) become the bound arguments.
    Ref line = Ref::steal(handle_line(st, cmd, rest.get()));
    return line && head_and_rest(line.get(), head, rest);
}

PyObject* bound_options(State& st, PyObject* keywords) noexcept {
    Ref options = Ref::steal(PyDict_New());
    if (!options) return nullptr;
    int given = keywords == nullptr ? 0 : truth(keywords);
    if (given <= 0) return given < 0 ? nullptr : options.release();
    Ref items = Ref::steal(PyMapping_Items(keywords));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "keywords.items() must give (key, value) pairs");
            return nullptr;
        }
        Ref item = Ref::borrow(pair);
        Ref value = Ref::steal(tclobj(st, PyTuple_GET_ITEM(item.get(), 1)));
        if (!value || PyDict_SetItem(options.get(), PyTuple_GET_ITEM(item.get(), 0), value.get()) < 0) {
            return nullptr;
        }
    }
    return options.release();
}

}  // namespace tclns
