// VariablesView and ObjectsView: the variables of a TclNamespace as mutable
// mappings of their string values (ns.vars) or of the objects the
// interpreter hands over (ns.objs). The requests are varops.cpp's.
#include "names.hpp"
#include "varops.hpp"
#include "views.hpp"

namespace tclns {
namespace {

// The view's own class (not a subclass) with its own methods, which the
// direct ones stand in for.
bool own_vars(State& st, PyObject* self) noexcept {
    return own_instance(self, st.VariablesView, st.VariablesView_methods, st.ObjectsView, st.ObjectsView_methods);
}

// Whether an operation of view `self` may send its request itself instead
// of calling `method` (NULL: none), then self.byref() and a method of the
// TclVariable that byref() makes: the view is of the own classes, its own
// dict holds neither name (an instance may replace them), and the module's
// TclVariable is still the module's own class, with its own methods. 1, 0,
// or -1 with an exception.
int direct(State& st, Function* fn, PyObject* self, PyObject* method) noexcept {
    if (!own_vars(st, self)) return 0;
    AttrReader attrs(st, self, true);
    int held = method ? attrs.holds(method) : 0;
    if (held == 0) held = attrs.holds(st.s_byref.get());
    if (held != 0) return held < 0 ? -1 : 0;
    Ref cls = module_class(st, fn->module, st.g_TclVariable.get());
    if (!cls) return -1;
    auto* variable = st.TclVariable.as<PyTypeObject>();
    return cls.get() == st.TclVariable.get() && st.TclVariable_methods.unchanged(variable) ? 1 : 0;
}

// What a fresh handle on key would ask for: its qualified name, on the
// namespace's interpreter.
bool target(State& st, PyObject* self, PyObject* key, VarTarget& t) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    if (!ns) return false;
    t.name = Ref::steal(qualify(st, ns.get(), key));
    return t.name && interp_tk(st, ns.get(), t.tcl, t.tk);
}

// ---------------------------------------------------------------------------
// The requests of the variable views, as the handle would send them

PyObject* read_str(State& st, PyObject* self, PyObject* key) noexcept {
    VarTarget t;
    return target(st, self, key, t) ? var_get_str(st, t, nullptr) : nullptr;
}

PyObject* read_obj(State& st, PyObject* self, PyObject* key, PyObject* index) noexcept {
    VarTarget t;
    return target(st, self, key, t) ? var_getvar(st, t, index) : nullptr;
}

PyObject* write(State& st, PyObject* self, PyObject* key, PyObject* value, PyObject* index) noexcept {
    VarTarget t;
    return target(st, self, key, t) ? var_setvar(st, t, value, index) : nullptr;
}

PyObject* test_exists(State& st, PyObject* self, PyObject* key, PyObject* index) noexcept {
    VarTarget t;
    return target(st, self, key, t) ? var_exists(st, t, index) : nullptr;
}

PyObject* remove(State& st, PyObject* self, PyObject* key, PyObject* index, PyObject* nocomplain) noexcept {
    VarTarget t;
    return target(st, self, key, t) ? var_unsetvar(st, t, index, nocomplain) : nullptr;
}

PyObject* vars_init(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsInit{"__init__", vars_init, R"doc(__init__(self, ns)
--

The variables of the TclNamespace ns as a mapping (ns.vars, ns.objs).
)doc"};

PyObject* vars_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsInit.slot("self")];
    PyObject* ns = argv[kVarsInit.slot("ns")];
    if (!init_view(st, st.VariablesView.get(), self, ns)) return nullptr;
    Py_RETURN_NONE;
}

// byref(var_name, *args, **kwargs): var_type(join(ns, var_name), *args,
// tcl=ns.tcl, **kwargs), var_type taken out of the keywords.
PyObject* vars_byref(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsByref{"byref", vars_byref, R"doc(byref(self, var_name, *args, **kwargs)
--

Return var_type(TclNamespace.join(self.ns, var_name), *args,
tcl=self.ns.tcl, **kwargs), var_type being the keyword var_type
(default TclVariable): a new handle on the namespace's variable (an
absolute var_name ignores the namespace). byref('a', 'k') is a handle on
element k of array a; byref('a', cast=int) has a default cast.
)doc"};

PyObject* vars_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsByref.slot("self")];
    PyObject* var_name = argv[kVarsByref.slot("var_name")];
    PyObject* args = argv[kVarsByref.slot("args")];
    PyObject* kwargs = argv[kVarsByref.slot("kwargs")];
    Ref var_type;
    int given = PyDict_GetItemRef(kwargs, st.s_var_type.get(), var_type.out());
    if (given < 0 || (given > 0 && PyDict_DelItem(kwargs, st.s_var_type.get()) < 0)) return nullptr;
    if (!var_type && !(var_type = module_class(st, fn->module, st.g_TclVariable.get()))) return nullptr;
    return make_byref(st, var_type.get(), "byref", false, self, var_name, args, kwargs);
}

PyObject* vars_array_byref(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsArrayByref{"array_byref", vars_array_byref,
                                            R"doc(array_byref(self, var_name, *args, **kwargs)
--

Return a TclArrayVariable on the namespace's array var_name:
self.byref(var_name, *args, var_type=TclArrayVariable, **kwargs).
)doc"};

PyObject* vars_array_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsArrayByref.slot("self")];
    PyObject* var_name = argv[kVarsArrayByref.slot("var_name")];
    PyObject* args = argv[kVarsArrayByref.slot("args")];
    PyObject* kwargs = argv[kVarsArrayByref.slot("kwargs")];
    int dup = PyDict_Contains(kwargs, st.s_var_type.get());
    if (dup != 0) {
        if (dup > 0) PyErr_SetString(PyExc_TypeError, "byref() got multiple values for keyword argument 'var_type'");
        return nullptr;
    }
    Ref var_type = module_class(st, fn->module, st.g_TclArrayVariable.get());
    if (!var_type || PyDict_SetItem(kwargs, st.s_var_type.get(), var_type.get()) < 0) return nullptr;
    Ref pos = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    if (!pos) return nullptr;
    PyTuple_SET_ITEM(pos.get(), 0, Py_NewRef(var_name));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyTuple_SET_ITEM(pos.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    Ref byref = Ref::steal(PyObject_GetAttr(self, st.s_byref.get()));
    return byref ? PyObject_Call(byref.get(), pos.get(), kwargs) : nullptr;
}

PyObject* vars_get(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsGet{"get", vars_get, R"doc(get(self, var_name)
--

Return the string value of the variable (the handle's get_str()). A
missing variable raises TclError and a bad name ValueError; unlike a
mapping's get() there is no default.
)doc"};

PyObject* vars_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsGet.slot("self")];
    PyObject* var_name = argv[kVarsGet.slot("var_name")];
    int fast = direct(st, fn, self, nullptr);
    if (fast != 0) return fast > 0 ? read_str(st, self, var_name) : nullptr;
    PyObject* a[] = {nullptr};
    return via_handle(st, self, var_name, st.s_get_str.get(), a, 1);
}

PyObject* objs_get(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kObjsGet{"get", objs_get, R"doc(get(self, var_name, array_index=None)
--

Return the variable's value (or its element's) as the interpreter hands
it over (the handle's get_obj(), uncast). A missing variable raises
TclError and a bad name ValueError; there is no default.
)doc"};

PyObject* objs_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kObjsGet.slot("self")];
    PyObject* var_name = argv[kObjsGet.slot("var_name")];
    PyObject* array_index = argv[kObjsGet.slot("array_index")];
    PyObject* index = array_index ? array_index : Py_None;
    int fast = direct(st, fn, self, nullptr);
    if (fast != 0) return fast > 0 ? read_obj(st, self, var_name, index) : nullptr;
    PyObject* a[] = {nullptr, index};
    return via_handle(st, self, var_name, st.s_get_obj.get(), a, 2, st.kw_array_index.get());
}

PyObject* vars_set(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsSet{"set", vars_set, R"doc(set(self, var_name, value, array_index=None)
--

Set the variable (or its element array_index) to tclobj(value).
)doc"};

PyObject* vars_set(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsSet.slot("self")];
    PyObject* var_name = argv[kVarsSet.slot("var_name")];
    PyObject* value = argv[kVarsSet.slot("value")];
    PyObject* array_index = argv[kVarsSet.slot("array_index")];
    PyObject* index = array_index ? array_index : Py_None;
    int fast = direct(st, fn, self, nullptr);
    if (fast != 0) return fast > 0 ? write(st, self, var_name, value, index) : nullptr;
    PyObject* a[] = {nullptr, value, index};
    return via_handle(st, self, var_name, st.s_set.get(), a, 3, st.kw_array_index.get());
}

PyObject* vars_unset(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsUnset{"unset", vars_unset,
                                       R"doc(unset(self, var_name, array_index=None, nocomplain=False)
--

Unset the variable (or only its element); a missing one raises TclError
unless nocomplain is true.
)doc"};

PyObject* vars_unset(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsUnset.slot("self")];
    PyObject* var_name = argv[kVarsUnset.slot("var_name")];
    PyObject* array_index = argv[kVarsUnset.slot("array_index")];
    PyObject* nocomplain = argv[kVarsUnset.slot("nocomplain")];
    PyObject* index = array_index ? array_index : Py_None;
    PyObject* quiet = nocomplain ? nocomplain : Py_False;
    int fast = direct(st, fn, self, nullptr);
    if (fast != 0) return fast > 0 ? remove(st, self, var_name, index, quiet) : nullptr;
    PyObject* a[] = {nullptr, index, quiet};
    return none_of(via_handle(st, self, var_name, st.s_unset.get(), a, 3, st.kw_index_nocomplain.get()));
}

PyObject* vars_exists(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsExists{"exists", vars_exists, R"doc(exists(self, var_name, array_index=None)
--

Whether the variable (or its element) exists ("::info exists").
)doc"};

PyObject* vars_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsExists.slot("self")];
    PyObject* var_name = argv[kVarsExists.slot("var_name")];
    PyObject* array_index = argv[kVarsExists.slot("array_index")];
    PyObject* index = array_index ? array_index : Py_None;
    int fast = direct(st, fn, self, nullptr);
    if (fast != 0) return fast > 0 ? test_exists(st, self, var_name, index) : nullptr;
    PyObject* a[] = {nullptr, index};
    return via_handle(st, self, var_name, st.s_exists.get(), a, 2, st.kw_array_index.get());
}

PyObject* vars_is_array(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsIsArray{"is_array", vars_is_array, R"doc(is_array(self, var_name)
--

Whether the variable exists and is an array.
)doc"};

PyObject* vars_is_array(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsIsArray.slot("self")];
    PyObject* var_name = argv[kVarsIsArray.slot("var_name")];
    PyObject* a[] = {nullptr};
    return via_handle(st, self, var_name, st.s_is_array.get(), a, 1);
}

// self.byref(var_name).<method>(pattern=pattern)
PyObject* array_get_via(State& st, PyObject* self, PyObject* var_name, PyObject* pattern, PyObject* method) noexcept {
    PyObject* a[] = {nullptr, pattern ? pattern : Py_None};
    return via_handle(st, self, var_name, method, a, 2, st.kw_pattern.get());
}

PyObject* vars_array_get(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsArrayGet{"array_get", vars_array_get, R"doc(array_get(self, var_name, pattern=None)
--

Return the array's elements (those matching the glob pattern) as a
mapping of their string values.
)doc"};

PyObject* vars_array_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsArrayGet.slot("self")];
    PyObject* var_name = argv[kVarsArrayGet.slot("var_name")];
    PyObject* pattern = argv[kVarsArrayGet.slot("pattern")];
    return array_get_via(st, self, var_name, pattern, st.s_array_get_str.get());
}

PyObject* objs_array_get(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kObjsArrayGet{"array_get", objs_array_get, R"doc(array_get(self, var_name, pattern=None)
--

Return the array's elements (those matching the glob pattern) as a
mapping of the objects the interpreter hands over.
)doc"};

PyObject* objs_array_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kObjsArrayGet.slot("self")];
    PyObject* var_name = argv[kObjsArrayGet.slot("var_name")];
    PyObject* pattern = argv[kObjsArrayGet.slot("pattern")];
    return array_get_via(st, self, var_name, pattern, st.s_array_get_obj.get());
}

PyObject* vars_array_set(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsArraySet{"array_set", vars_array_set, R"doc(array_set(self, var_name, value)
--

Set elements of the array from a mapping or a flat name/value sequence.
)doc"};

PyObject* vars_array_set(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsArraySet.slot("self")];
    PyObject* var_name = argv[kVarsArraySet.slot("var_name")];
    PyObject* value = argv[kVarsArraySet.slot("value")];
    PyObject* a[] = {nullptr, value};
    return none_of(via_handle(st, self, var_name, st.s_array_set.get(), a, 2));
}

PyObject* vars_array_unset(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsArrayUnset{"array_unset", vars_array_unset,
                                            R"doc(array_unset(self, var_name, pattern=None)
--

Unset the elements matching the glob pattern, or the whole array.
)doc"};

PyObject* vars_array_unset(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsArrayUnset.slot("self")];
    PyObject* var_name = argv[kVarsArrayUnset.slot("var_name")];
    PyObject* pattern = argv[kVarsArrayUnset.slot("pattern")];
    PyObject* a[] = {nullptr, pattern ? pattern : Py_None};
    return none_of(via_handle(st, self, var_name, st.s_array_unset.get(), a, 2, st.kw_pattern.get()));
}

PyObject* vars_array_names(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsArrayNames{"array_names", vars_array_names,
                                            R"doc(array_names(self, var_name, pattern=None)
--

Return the list of the array's element names (those matching pattern).
)doc"};

PyObject* vars_array_names(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsArrayNames.slot("self")];
    PyObject* var_name = argv[kVarsArrayNames.slot("var_name")];
    PyObject* pattern = argv[kVarsArrayNames.slot("pattern")];
    PyObject* a[] = {nullptr, pattern ? pattern : Py_None};
    return via_handle(st, self, var_name, st.s_array_names.get(), a, 2, st.kw_pattern.get());
}

PyObject* vars_getitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsGetitem{"__getitem__", vars_getitem, R"doc(__getitem__(self, var_name)
--

self.get(var_name); a TclError (missing variable) or ValueError (bad
name) becomes a KeyError whose argument and cause are that exception.
)doc"};

PyObject* vars_getitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsGetitem.slot("self")];
    PyObject* var_name = argv[kVarsGetitem.slot("var_name")];
    int fast = direct(st, fn, self, st.s_get.get());
    if (fast < 0) return nullptr;
    Ref value;
    if (fast && Py_IS_TYPE(self, st.VariablesView.as<PyTypeObject>())) {
        value = Ref::steal(read_str(st, self, var_name));
    } else if (fast) {
        value = Ref::steal(read_obj(st, self, var_name, Py_None));
    } else {
        value = Ref::steal(call_method(self, st.s_get.get(), var_name));
    }
    if (value) return value.release();
    // A missing variable and a bad name are both absent keys.
    if (PyErr_ExceptionMatches(st.TclError.get()) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        return reraise_as_key_error();
    }
    return nullptr;
}

PyObject* vars_setitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsSetitem{"__setitem__", vars_setitem, R"doc(__setitem__(self, var_name, value)
--

self.set(var_name, value).
)doc"};

PyObject* vars_setitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsSetitem.slot("self")];
    PyObject* var_name = argv[kVarsSetitem.slot("var_name")];
    PyObject* value = argv[kVarsSetitem.slot("value")];
    int fast = direct(st, fn, self, st.s_set.get());
    if (fast != 0) return fast > 0 ? none_of(write(st, self, var_name, value, Py_None)) : nullptr;
    PyObject* a[] = {self, var_name, value};
    return none_of(call_method(st.s_set.get(), a, 3, nullptr));
}

PyObject* vars_delitem(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsDelitem{"__delitem__", vars_delitem, R"doc(__delitem__(self, var_name)
--

self.unset(var_name); a TclError (missing variable) becomes a KeyError
whose argument and cause are that TclError.
)doc"};

PyObject* vars_delitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsDelitem.slot("self")];
    PyObject* var_name = argv[kVarsDelitem.slot("var_name")];
    int fast = direct(st, fn, self, st.s_unset.get());
    if (fast < 0) return nullptr;
    Ref r =
        Ref::steal(fast ? remove(st, self, var_name, Py_None, nullptr) : call_method(self, st.s_unset.get(), var_name));
    if (r) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(st.TclError.get())) return reraise_as_key_error();
    return nullptr;
}

PyObject* vars_contains(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsContains{"__contains__", vars_contains, R"doc(__contains__(self, var_name)
--

self.exists(var_name).
)doc"};

PyObject* vars_contains(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[kVarsContains.slot("self")];
    PyObject* var_name = argv[kVarsContains.slot("var_name")];
    int fast = direct(st, fn, self, st.s_exists.get());
    if (fast != 0) return fast > 0 ? test_exists(st, self, var_name, Py_None) : nullptr;
    return call_method(self, st.s_exists.get(), var_name);
}

PyObject* vars_iter(Function* fn, PyObject* const* argv);
constexpr capi::FunctionDef kVarsIter{"__iter__", vars_iter, R"doc(__iter__(self)
--

Iterate over the names of the namespace's own variables ("::info vars"
with the namespace's absolute name as the pattern's prefix, so the
globals it can see are left out), their tails in Tcl's order, asked when
the first name is requested.
)doc"};

PyObject* vars_iter(Function* fn, PyObject* const* argv) {
    PyObject* self = argv[kVarsIter.slot("self")];
    return iter_vars(fn, self);
}

constexpr const char* kVarsDoc = R"doc(The variables of a Tcl namespace as a mutable mapping of their string
values (TclNamespace.vars).

Keys are names relative to the namespace, or absolute names used as they
are; 'a(k)' is element k of array a. Each operation is one request:
view['x'] reads, view['x'] = v sets, del view['x'] unsets, 'x' in view
tests, iteration asks "::info vars" for the names in the namespace itself
(not the globals it can see), and yields their tails. A missing
variable or a bad name raises KeyError carrying Tcl's error (or the
ValueError). The named methods mirror TclVariable with the name first
and translate nothing; byref() and array_byref() hand out handles.
)doc";

constexpr const char* kObjsDoc = R"doc(The variables of a Tcl namespace as a mutable mapping of the objects the
interpreter hands over (TclNamespace.objs); otherwise as VariablesView.
)doc";

}  // namespace

bool build_variable_views(PyObject* module, State& st) {
    capi::ClassBuilder vars(module, "VariablesView", kVarsDoc, "TclNamespace.VariablesView");
    vars.bases({st.MutableMapping.get()})
        .method(kVarsInit)
        .method(kVarsByref)
        .method(kVarsArrayByref)
        .method(kVarsGet)
        .method(kVarsSet)
        .method(kVarsUnset)
        .method(kVarsExists)
        .method(kVarsIsArray)
        .method(kVarsArrayGet)
        .method(kVarsArraySet)
        .method(kVarsArrayUnset)
        .method(kVarsArrayNames)
        .method(kVarsGetitem)
        .method(kVarsSetitem)
        .method(kVarsDelitem)
        .method(kVarsContains)
        .method(kVarsIter)
        .method(kViewLen);
    st.VariablesView = vars.build();
    if (!st.VariablesView) return false;

    capi::ClassBuilder objs(module, "ObjectsView", kObjsDoc, "TclNamespace.ObjectsView");
    objs.bases({st.VariablesView.get()}).method(kObjsGet).method(kObjsArrayGet);
    st.ObjectsView = objs.build();
    return static_cast<bool>(st.ObjectsView);
}

}  // namespace tclns
