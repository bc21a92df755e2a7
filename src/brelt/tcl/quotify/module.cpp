// The module brelt.tcl.quotify: its functions, docstrings and bindings.
#include "quoting.hpp"
#include "quotify.hpp"

namespace quotify {
namespace {

using capi::Function;

State& state_of(Function* self) noexcept { return self->state<State>(); }

// A new str holding `element_string(obj)`, ready for direct data access.
Ref element(State& st, PyObject* obj) {
    Ref s = Ref::steal(element_string(st, obj));
#if PY_VERSION_HEX < 0x030C0000
    if (s && PyUnicode_READY(s.get()) < 0) return {};
#endif
    return s;
}

// ---------------------------------------------------------------------------
// Definitions and docstrings

PyObject* scan_element(Function* self, PyObject* const* argv);
PyObject* convert_element(Function* self, PyObject* const* argv);
PyObject* update_string_of_list(Function* self, PyObject* const* argv);
PyObject* quotify_from_mapping(Function* self, PyObject* const* argv);
PyObject* quotify_fn(Function* self, PyObject* const* argv);
PyObject* tclobj_fn(Function* self, PyObject* const* argv);
PyObject* tclobj_from_sequence(Function* self, PyObject* const* argv);
PyObject* tclobj_from_mapping(Function* self, PyObject* const* argv);

constexpr capi::FunctionDef kScanElement{"_Tcl_ScanElement", scan_element, R"(_Tcl_ScanElement(string)
--

Look at one list element and decide how it must be quoted.

Follows the procedure Tcl_ScanElement (with Tcl_ScanCountedElement) of
Tcl 8.4.19, applied to the characters of a Python string; the argument is
converted with quotify() first.

This procedure is a companion procedure to _Tcl_ConvertElement. It scans a
string to see what needs to be done to it (e.g. add backslashes or
enclosing braces) to make the string into a valid Tcl list element.

Results:
    The tuple (size, flags). size is an overestimate of the number of
    characters that will be needed by _Tcl_ConvertElement to produce a
    valid list element from string (2 * len(string) + 2). flags is a new
    set of the flag names that _Tcl_ConvertElement needs when doing the
    actual conversion: "USE_BRACES", "TCL_DONT_USE_BRACES" and
    "BRACES_UNMATCHED".

Side effects:
    None.
)"};

constexpr capi::FunctionDef kConvertElement{"_Tcl_ConvertElement", convert_element,
                                            R"(_Tcl_ConvertElement(src, flags)
--

Quote one list element as _Tcl_ScanElement decided.

Follows the procedure Tcl_ConvertElement (with Tcl_ConvertCountedElement)
of Tcl 8.4.19, applied to the characters of a Python string; src is
converted with quotify() first.

This is a companion procedure to _Tcl_ScanElement. Given the information
produced by _Tcl_ScanElement, this procedure converts a string to a list
element equal to that string: either enclosed in braces, or with its
special characters backslash-escaped.

Results:
    The list element, a string identical to src once Tcl's list parser
    has read it.

Side effects:
    None, except that "BRACES_UNMATCHED" is added to flags when src
    starts with "{" and has to be backslash-escaped.
)"};

constexpr capi::FunctionDef kUpdateStringOfList{"_tcl_UpdateStringOfList", update_string_of_list,
                                                R"(_tcl_UpdateStringOfList(listObj)
--

Return the Tcl list string of the elements of listObj.

Follows the procedure UpdateStringOfList of the Tcl 8.4.19 list object.

Every element of the iterable listObj is converted with quotify(), quoted
as a list element (_Tcl_ScanElement, then _Tcl_ConvertElement), and the
quoted elements are joined with single blanks.

Results:
    A valid Tcl list string; it is empty if listObj has no elements.

Side effects:
    None.
)"};

constexpr capi::FunctionDef kQuotifyFromMapping{"_quotify_from_mapping", quotify_from_mapping,
                                                R"(_quotify_from_mapping(obj)
--

Return the Tcl list of the keys and values of a mapping.

Keys and values alternate in one flat list (key, obj[key], ...) in the
mapping's iteration order, each converted with quotify() and quoted as a
list element.
)"};

constexpr capi::FunctionDef kQuotify{"quotify", quotify_fn, R"(quotify(obj)
--

quotify() Function/Class

Converts any object into a string that is appropriate for use in Tcl.
The result is a string.

Strings are used as they are, True and False become "true" and "false",
None the empty string, and sequences, sets and mappings become Tcl lists
(a mapping as key, value, key, value...) whose elements are quoted by
Tcl's own list rules; anything else goes through str().

An object that defines the __quotify__() method has that method invoked to
perform the conversion; its result is returned as it is. An object that
defines __tclobj__() is converted through the value that method returns.

Examples:
    >>> from brelt.tcl import quotify
    >>> quotify([1, 2, [3, 4]])
    '1 2 {3 4}'

    >>> from brelt.tcl import quotify
    >>> quotify({'my key': 'my value', 'a': 'b'})
    '{my key} {my value} a b'
)"};

constexpr capi::FunctionDef kTclobjFromSequence{"_tclobj_from_sequence", tclobj_from_sequence,
                                                R"(_tclobj_from_sequence(obj)
--

Return tuple(tclobj(e) for e in obj): a Tcl list as a tuple.
)"};

constexpr capi::FunctionDef kTclobjFromMapping{"_tclobj_from_mapping", tclobj_from_mapping,
                                               R"(_tclobj_from_mapping(obj)
--

Return the flat tuple of tclobj() of the keys and values of a mapping.

Keys and values alternate (key, obj[key], ...) in iteration order.
)"};

constexpr capi::FunctionDef kTclobj{"tclobj", tclobj_fn, R"(tclobj(obj)
--

tclobj() Function/Class

Converts any object into a value that tkinter hands to Tcl as a native Tcl
object.

str, bytes, bool, float, integers that fit a machine word and tkinter's
Tcl_Obj values are returned unchanged; None becomes the empty string;
sequences and sets become tuples (Tcl lists) of converted elements, nested
as deep as the input; mappings become flat tuples key, value, key,
value...; anything else becomes a string through quotify().

An object that defines the __tclobj__() method has that method invoked and
its result returned as it is.

Examples:
    >>> from brelt.tcl import tclobj
    >>> tclobj([1, [2, None]])
    (1, (2, ''))

    >>> from brelt.tcl import tclobj
    >>> tclobj({'a': [1, 2]})
    ('a', (1, 2))
)"};

// ---------------------------------------------------------------------------
// Part of the list quoting procedures

PyObject* scan_element(Function* self, PyObject* const* argv) {
    using namespace quoting;
    State& st = state_of(self);
    Ref s = element(st, argv[kScanElement.slot("string")]);
    if (!s) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
    Scan r = with_data(s.get(), [&](const auto* data) { return scan(data, n); });
    Ref flags = Ref::steal(PySet_New(nullptr));
    if (!flags) return nullptr;
    const std::pair<Flag, PyObject*> names[] = {
        {kUseBraces, st.f_use_braces.get()},
        {kDontUseBraces, st.f_dont_use_braces.get()},
        {kBracesUnmatched, st.f_braces_unmatched.get()},
    };
    for (auto [bit, name] : names) {
        if ((r.flags & bit) && PySet_Add(flags.get(), name) < 0) return nullptr;
    }
    return Py_BuildValue("(nO)", 2 * n + 2, flags.get());
}

// flags.add(name), as Python would run it on whatever container was given.
int add_flag(PyObject* flags, PyObject* name, PyObject* method) {
    if (PySet_CheckExact(flags)) return PySet_Add(flags, name);
    Ref r = Ref::steal(capi::call_method(flags, method, name));
    return r ? 0 : -1;
}

PyObject* convert_element(Function* self, PyObject* const* argv) {
    using namespace quoting;
    State& st = state_of(self);
    PyObject* flags = argv[kConvertElement.slot("flags")];
    Ref s = element(st, argv[kConvertElement.slot("src")]);
    if (!s) return nullptr;
    PyObject* str = s.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    if (n == 0) return st.s_braces.new_ref();

    int use = PySequence_Contains(flags, st.f_use_braces.get());
    if (use < 0) return nullptr;
    if (use) {
        int dont = PySequence_Contains(flags, st.f_dont_use_braces.get());
        if (dont < 0) return nullptr;
        if (!dont) {
            PyObject* out = PyUnicode_New(n + 2, PyUnicode_MAX_CHAR_VALUE(str));
            if (out == nullptr) return nullptr;
            with_buffer(out, [&](auto* dst) {
                with_data(str, [&](const auto* src) { write_element(dst, Mode::Braces, 0, src, n); });
            });
            return out;
        }
    }

    // Backslash mode. The caller's flag set learns of a leading "{".
    Scan r = with_data(str, [&](const auto* data) { return scan(data, n); });
    bool leading_brace = PyUnicode_READ_CHAR(str, 0) == '{';
    bool unmatched = leading_brace;
    if (leading_brace) {
        if (add_flag(flags, st.f_braces_unmatched.get(), st.s_add.get()) < 0) return nullptr;
    } else if (r.braces > 0) {
        int u = PySequence_Contains(flags, st.f_braces_unmatched.get());
        if (u < 0) return nullptr;
        unmatched = u != 0;
    }
    Py_ssize_t length = n + r.escapes + (unmatched ? r.braces : 0);
    PyObject* out = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(str));
    if (out == nullptr) return nullptr;
    with_buffer(
        out, [&](auto* dst) { with_data(str, [&](const auto* src) { write_backslashed(dst, src, n, unmatched); }); });
    return out;
}

PyObject* update_string_of_list(Function* self, PyObject* const* argv) {
    return list_from_iterable(state_of(self), argv[kUpdateStringOfList.slot("listObj")]);
}

PyObject* quotify_from_mapping(Function* self, PyObject* const* argv) {
    return list_from_mapping(state_of(self), argv[kQuotifyFromMapping.slot("obj")]);
}

PyObject* quotify_fn(Function* self, PyObject* const* argv) {
    return quotify(state_of(self), argv[kQuotify.slot("obj")]);
}

PyObject* tclobj_fn(Function* self, PyObject* const* argv) { return tclobj(state_of(self), argv[kTclobj.slot("obj")]); }

PyObject* tclobj_from_sequence(Function* self, PyObject* const* argv) {
    return tuple_from_iterable(state_of(self), argv[kTclobjFromSequence.slot("obj")]);
}

PyObject* tclobj_from_mapping(Function* self, PyObject* const* argv) {
    return tuple_from_mapping(state_of(self), argv[kTclobjFromMapping.slot("obj")]);
}

// ---------------------------------------------------------------------------
// Module

bool set_function_attr(PyObject* module, const char* func, const char* attr, const char* target) {
    Ref f = Ref::steal(PyObject_GetAttrString(module, func));
    Ref t = Ref::steal(PyObject_GetAttrString(module, target));
    return f && t && PyObject_SetAttrString(f.get(), attr, t.get()) == 0;
}

int exec_module(PyObject* module) noexcept {
    return capi::guarded_status([&]() -> int {
        State* st = capi::init_state<State>(module);
        if (st == nullptr || !capi::share_walk_depth()) return -1;
        using capi::add_function;
        using capi::add_object;
        using capi::import_attr;

        if (!import_attr(st->Mapping, "collections.abc", "Mapping") ||
            !import_attr(st->Sequence, "collections.abc", "Sequence") ||
            !import_attr(st->Set, "collections.abc", "Set") || !add_object(module, "Mapping", st->Mapping.get()) ||
            !add_object(module, "Sequence", st->Sequence.get()) || !add_object(module, "Set", st->Set.get())) {
            return -1;
        }
        if (!import_attr(st->TclObj, "_tkinter", "Tcl_Obj") || !PyType_Check(st->TclObj.get()) ||
            !add_object(module, "_tkTcl_Obj", st->TclObj.get())) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "_tkinter.Tcl_Obj is not a type");
            return -1;
        }
        Ref sys = Ref::steal(PyImport_ImportModule("sys"));
        if (!add_object(module, "sys", sys.get()) ||
            !add_object(module, "unicode", reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
            return -1;
        }
        if (!add_function(module, kScanElement) || !add_function(module, kConvertElement) ||
            !add_function(module, kUpdateStringOfList)) {
            return -1;
        }
        Ref from_sequence = Ref::steal(PyObject_GetAttrString(module, "_tcl_UpdateStringOfList"));
        if (!add_object(module, "_quotify_from_sequence", from_sequence.get()) ||
            !add_function(module, kQuotifyFromMapping) || !add_function(module, kQuotify)) {
            return -1;
        }
        Ref maxsize = Ref::steal(PyObject_GetAttrString(sys.get(), "maxsize"));
        if (!maxsize && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            maxsize = Ref::steal(PyObject_GetAttrString(sys.get(), "maxint"));
        }
        if (!add_object(module, "_sysmaxsize", maxsize.get())) return -1;
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref above = Ref::steal(one ? PyNumber_Add(maxsize.get(), one.get()) : nullptr);
        if (!above || !add_object(module, "_long_type", reinterpret_cast<PyObject*>(Py_TYPE(above.get())))) {
            return -1;
        }
        if (!add_function(module, kTclobjFromSequence) || !add_function(module, kTclobjFromMapping) ||
            !add_function(module, kTclobj)) {
            return -1;
        }
        if (!set_function_attr(module, "quotify", "from_sequence", "_quotify_from_sequence") ||
            !set_function_attr(module, "quotify", "from_mapping", "_quotify_from_mapping") ||
            !set_function_attr(module, "tclobj", "from_sequence", "_tclobj_from_sequence") ||
            !set_function_attr(module, "tclobj", "from_mapping", "_tclobj_from_mapping")) {
            return -1;
        }
        return 0;
    });
}

constexpr const char* kModuleDoc = R"(Implements:
    brelt.tcl.quotify
    brelt.tcl.tclobj

Description:
    This file implements the quotify() and tclobj() functions: Python
    values to Tcl text (quoted by Tcl's own list rules) and to values that
    tkinter hands to Tcl as native objects.
)";

PyModuleDef module_def =
    capi::make_module_def<State>("brelt.tcl.quotify", kModuleDoc, capi::module_slots<exec_module, capi::Gil::NotUsed>);

}  // namespace
}  // namespace quotify

PyMODINIT_FUNC PyInit_quotify() { return PyModuleDef_Init(&quotify::module_def); }
