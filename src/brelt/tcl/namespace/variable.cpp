// TclVariable: a handle on one Tcl variable or array element, by name.
#include "names.hpp"
#include "varops.hpp"

#include <cstring>

namespace tclns {

namespace {

// ---------------------------------------------------------------------------
// Methods

PyObject* init(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kInit{"__init__", init,
                                  R"doc(__init__(self, var_name, array_index=None, tcl=None, cast=None)
--

A handle on the Tcl variable var_name, or on its element array_index.

var_name goes through quotify(): a str is kept as it is, None gives '',
and another handle stands for its variable name. With an index the name
becomes "var_name(array_index)". tcl is the interpreter (held through a
weak proxy; false means the package brelt.tcl, the default interpreter);
cast is the default conversion of get_obj().
)doc"};

PyObject* init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kInit.slot("self")];
    PyObject* var_name = argv[kInit.slot("var_name")];
    PyObject* array_index = argv[kInit.slot("array_index")];
    PyObject* tcl = argv[kInit.slot("tcl")];
    PyObject* cast = argv[kInit.slot("cast")];
    Ref interp = Ref::steal(interp_proxy(st, tcl));
    if (!interp || PyObject_SetAttr(self, st.s_tcl.get(), interp.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, st.s_cast.get(), cast ? cast : Py_None) < 0) return nullptr;

    Ref name = Ref::steal(quotify(st, var_name));
    if (!name) return nullptr;
    if (!is_none(array_index)) {
        Ref base = Ref::steal(PyObject_Str(name.get()));
        Ref index = base ? Ref::steal(quotify(st, array_index)) : Ref();
        if (index) index = Ref::steal(PyObject_Str(index.get()));
        if (!index) return nullptr;
        name = Ref::steal(concat4(base.get(), st.t_lparen.get(), index.get(), st.t_rparen.get()));
        if (!name) return nullptr;
    }
    if (PyObject_SetAttr(self, st.s_var_name.get(), name.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_obj(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kGetObj{"get_obj", get_obj, R"doc(get_obj(self, array_index=None, cast=__marker)
--

Return the value of the variable (or of its element array_index) as the
interpreter hands it over (tk.getvar), converted by cast.

Without a cast argument the handle's own cast applies; cast=None (or any
false value) returns the value unconverted; a callable converts it for
this call only. The index goes to getvar as it is. A missing variable
raises TclError.
)doc"};

PyObject* get_obj(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kGetObj.slot("self")];
    PyObject* array_index = argv[kGetObj.slot("array_index")];
    PyObject* cast = argv[kGetObj.slot("cast")];
    return variable_get_obj(state_of(f), self, array_index, cast);
}

PyObject* get_str(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kGetStr{"get_str", get_str, R"doc(get_str(self, array_index=None)
--

Return the string value of the variable (or of its element array_index),
read by evaluating Tcl's "set name"; never cast.

The name is list-quoted into the script, so blanks, brackets or dollar
signs in it are read as part of the name, never run. A missing variable
raises TclError.
)doc"};

PyObject* get_str(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kGetStr.slot("self")];
    PyObject* array_index = argv[kGetStr.slot("array_index")];
    return variable_get_str(state_of(f), self, array_index);
}

PyObject* set(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kSet{"set", set, R"doc(set(self, value, array_index=None)
--

Set the variable (or its element array_index) to tclobj(value).

Another handle as value stores its variable name. Returns what tk.setvar
returns (None).
)doc"};

PyObject* set(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kSet.slot("self")];
    PyObject* value = argv[kSet.slot("value")];
    PyObject* array_index = argv[kSet.slot("array_index")];
    return variable_set(state_of(f), self, value, array_index);
}

PyObject* unset(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kUnset{"unset", unset, R"doc(unset(self, array_index=None, nocomplain=False)
--

Unset the variable (or only its element array_index).

A missing variable raises TclError unless nocomplain is true.
)doc"};

PyObject* unset(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kUnset.slot("self")];
    PyObject* array_index = argv[kUnset.slot("array_index")];
    PyObject* nocomplain = argv[kUnset.slot("nocomplain")];
    return variable_unset(state_of(f), self, array_index, nocomplain);
}

PyObject* exists(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kExists{"exists", exists, R"doc(exists(self, array_index=None)
--

Whether the variable (or its element array_index) exists: Tcl's
"::info exists". True for an array without an index.
)doc"};

PyObject* exists(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kExists.slot("self")];
    PyObject* array_index = argv[kExists.slot("array_index")];
    return variable_exists(state_of(f), self, array_index);
}

PyObject* array_item_byref(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayItemByref{"array_item_byref", array_item_byref,
                                            R"doc(array_item_byref(self, array_index, cast=None)
--

Return a new TclVariable on the element array_index of this array, on the
same interpreter and with the given cast. Sends nothing to Tcl.
)doc"};

PyObject* array_item_byref(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayItemByref.slot("self")];
    PyObject* array_index = argv[kArrayItemByref.slot("array_index")];
    PyObject* cast = argv[kArrayItemByref.slot("cast")];
    Ref tcl = Ref::steal(read_attr(st, self, st.s_tcl.get()));
    if (!tcl) return nullptr;
    // Always a plain TclVariable, whatever the class of the handle.
    PyObject* args[] = {self, array_index, tcl.get(), cast ? cast : Py_None};
    return PyObject_Vectorcall(st.TclVariable.get(), args, 4, nullptr);
}

PyObject* array_get_obj(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayGetObj{"array_get_obj", array_get_obj, R"doc(array_get_obj(self, pattern=None)
--

Return the elements of the array as a mapping (tcl.cast_array of
"::array get"), values as the interpreter hands them over; only the
elements whose names match the glob pattern when one is given. A missing
array gives an empty mapping.
)doc"};

PyObject* array_get_obj(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayGetObj.slot("self")];
    PyObject* pattern = argv[kArrayGetObj.slot("pattern")];
    return array_request(st, self, st.w_get.get(), pattern, st.s_cast_array.get());
}

PyObject* array_get_str(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayGetStr{"array_get_str", array_get_str, R"doc(array_get_str(self, pattern=None)
--

As array_get_obj(), but the request is evaluated as one script, so the
values come back through their string forms.
)doc"};

PyObject* array_get_str(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kArrayGetStr.slot("self")];
    PyObject* pattern = argv[kArrayGetStr.slot("pattern")];
    return array_get_str(state_of(f), self, pattern);
}

PyObject* array_set(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArraySet{"array_set", array_set, R"doc(array_set(self, value)
--

Set elements of the array from tclobj(value): a mapping, or a flat
sequence name, value, name, value... ("::array set"). Creates the array
if needed, even with no elements.
)doc"};

PyObject* array_set(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kArraySet.slot("self")];
    PyObject* value = argv[kArraySet.slot("value")];
    return array_set(state_of(f), self, value);
}

PyObject* array_unset(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayUnset{"array_unset", array_unset, R"doc(array_unset(self, pattern=None)
--

Unset the elements whose names match the glob pattern, or the whole array
variable when no pattern is given ("::array unset").
)doc"};

PyObject* array_unset(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayUnset.slot("self")];
    PyObject* pattern = argv[kArrayUnset.slot("pattern")];
    Ref result = Ref::steal(array_request(st, self, st.w_unset.get(), pattern, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_size(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArraySize{"array_size", array_size, R"doc(array_size(self)
--

Return the number of elements of the array as Tcl answers "::array size"
(0 for a missing array).
)doc"};

PyObject* array_size(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArraySize.slot("self")];
    return array_request(st, self, st.w_size.get(), nullptr, nullptr);
}

PyObject* array_names(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayNames{"array_names", array_names, R"doc(array_names(self, pattern=None)
--

Return the list of the array's element names (only those matching the glob
pattern when one is given), in Tcl's order.
)doc"};

PyObject* array_names(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayNames.slot("self")];
    PyObject* pattern = argv[kArrayNames.slot("pattern")];
    return array_request(st, self, st.w_names.get(), pattern, st.s_cast_list.get());
}

PyObject* is_array(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kIsArray{"is_array", is_array, R"doc(is_array(self)
--

Whether the variable exists and is an array ("::array exists").
)doc"};

PyObject* is_array(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kIsArray.slot("self")];
    return array_request(st, self, st.w_exists.get(), nullptr, st.s_cast_boolean.get());
}

PyObject* absolute(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kAbsolute{"absolute", absolute, R"doc(absolute(self)
--

Return the absolute name of the variable.

An absolute name (starting with "::") comes back unchanged without a
request; a relative one is joined to the interpreter's current namespace
(TclNamespace.join), which is "::" at the top level.
)doc"};

PyObject* absolute(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kAbsolute.slot("self")];
    Ref name = Ref::steal(read_attr(st, self, st.s_var_name.get()));
    return name ? absolute_name(st, self, name.get()) : nullptr;
}

PyObject* make_absolute(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kMakeAbsolute{"make_absolute", make_absolute, R"doc(make_absolute(self)
--

Replace var_name by self.absolute().
)doc"};

PyObject* make_absolute(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    return store_absolute(st, argv[kMakeAbsolute.slot("self")], st.s_var_name.get());
}

PyObject* str(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kStr{"__str__", str, R"doc(__str__(self)
--

Return the variable name.
)doc"};

PyObject* str(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kStr.slot("self")];
    return PyObject_GetAttr(self, state_of(f).s_var_name.get());
}

PyObject* tclobj_hook(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kTclobj{"__tclobj__", tclobj_hook, R"doc(__tclobj__(self)
--

Return quotify(var_name): a handle passed where a Tcl value is expected
stands for its variable name.
)doc"};

PyObject* tclobj_hook(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kTclobj.slot("self")];
    Ref name = Ref::steal(read_attr(st, self, st.s_var_name.get()));
    return name ? quotify(st, name.get()) : nullptr;
}

PyObject* repr(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kRepr{"__repr__", repr, R"doc(__repr__(self)
--

Return "ClassName('var_name')".
)doc"};

PyObject* repr(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kRepr.slot("self")];
    Ref name = Ref::steal(read_attr(st, self, st.s_var_name.get()));
    if (!name) return nullptr;
    Ref cls = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st.s_name.get()));
    if (!cls) return nullptr;
    return PyUnicode_FromFormat("%S(%R)", cls.get(), name.get());
}

// ---------------------------------------------------------------------------
// Definitions and docstrings

constexpr const char* kClassDoc = R"doc(A handle on one Tcl variable, or on one element of a Tcl array, by name.

The handle holds no value: every operation sends one request to the
interpreter and returns what comes back. Creating or dropping a handle
creates or unsets nothing.

Attributes:
    tcl       the interpreter, held through a weak proxy
    cast      the default conversion of get_obj() (None: none)
    var_name  the Tcl name, "array(index)" for an element

    >>> from brelt.tcl import Interpreter, TclVariable
    >>> interp = Interpreter()
    >>> v = TclVariable('::greeting', tcl=interp)
    >>> v.set('hello world')
    >>> v.get_str()
    'hello world'
)doc";

// inspect.Signature(self, array_index=None, cast=<the marker>) for get_obj.
bool set_get_obj_signature(State& st, PyObject* func) {
    Ref kind = Ref::steal(PyObject_GetAttrString(st.inspect_Parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return false;
    Ref kwdefault = Ref::steal(PyUnicode_InternFromString("default"));
    if (!kwdefault) return false;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kwdefault.get()));
    if (!kwnames) return false;
    auto param = [&](const char* name, PyObject* dflt) -> Ref {
        Ref n = Ref::steal(PyUnicode_FromString(name));
        if (!n) return {};
        if (dflt == nullptr) {
            PyObject* args[] = {n.get(), kind.get()};
            return Ref::steal(PyObject_Vectorcall(st.inspect_Parameter.get(), args, 2, nullptr));
        }
        PyObject* args[] = {n.get(), kind.get(), dflt};
        return Ref::steal(PyObject_Vectorcall(st.inspect_Parameter.get(), args, 2, kwnames.get()));
    };
    Ref p0 = param("self", nullptr), p1 = param("array_index", Py_None), p2 = param("cast", st.marker.get());
    if (!p0 || !p1 || !p2) return false;
    Ref params = Ref::steal(PyList_New(3));
    if (!params) return false;
    PyList_SET_ITEM(params.get(), 0, p0.release());
    PyList_SET_ITEM(params.get(), 1, p1.release());
    PyList_SET_ITEM(params.get(), 2, p2.release());
    Ref sig = Ref::steal(PyObject_CallOneArg(st.inspect_Signature.get(), params.get()));
    return sig && PyObject_SetAttrString(func, "__signature__", sig.get()) == 0;
}

}  // namespace

bool build_tcl_variable(PyObject* module, State& st) {
    // Created with the class, before the method that takes it as a default.
    st.marker = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!st.marker) return false;
    capi::ClassBuilder cls(module, "TclVariable", kClassDoc);
    cls.attr("_TclVariable__marker", st.marker.get())
        .method(kInit)
        .method(kGetObj)
        .alias("get", "get_obj")
        .method(kGetStr)
        .method(kSet)
        .method(kUnset)
        .method(kExists)
        .method(kArrayItemByref)
        .method(kArrayGetObj)
        .alias("array_get", "array_get_obj")
        .method(kArrayGetStr)
        .method(kArraySet)
        .method(kArrayUnset)
        .method(kArraySize)
        .method(kArrayNames)
        .method(kIsArray)
        .method(kAbsolute)
        .method(kMakeAbsolute)
        .method(kStr)
        .method(kTclobj)
        .method(kRepr);
    PyObject* get_obj_fn = cls.function("get_obj");
    if (get_obj_fn == nullptr || !set_get_obj_signature(st, get_obj_fn)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "TclVariable.get_obj missing");
        return false;
    }
    st.TclVariable = cls.build();
    return static_cast<bool>(st.TclVariable);
}

}  // namespace tclns
