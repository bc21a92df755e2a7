// The four views of a TclNamespace: its variables (as strings, as objects)
// and its commands (all, procedures only) as mutable mappings. A view holds
// nothing but its namespace: each operation is one request through a fresh
// handle on the qualified name.
#include "command.hpp"

namespace tclns {

bool own_view(State& st, PyObject* obj) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    return t == st.cmd.VariablesView.get() || t == st.cmd.ObjectsView.get() || t == st.cmd.CommandsView.get() ||
           t == st.cmd.ProcsView.get();
}

namespace {

bool is_none(PyObject* o) noexcept { return o == nullptr || o == Py_None; }

PyObject* view_ns(State& st, PyObject* self) noexcept { return Fields(self, own_view(st, self))(st.cmd.s_ns.get()); }

// TclNamespace.join(ns, name). An empty name (None, '') is refused: join()
// would skip it and so name the namespace itself, a variable or command in
// the parent namespace that the key never meant; so is a key that joins to
// the empty name.
PyObject* qualify(State& st, PyObject* ns, PyObject* name) noexcept {
    Ref key = Ref::steal(quotify_str(st, name));
    if (!key) return nullptr;
    if (PyUnicode_GET_LENGTH(key.get()) == 0) {
        return capi::raise(PyExc_ValueError, "Invalid Tcl name '': a key names a variable or command of the namespace");
    }
    Ref base = Ref::steal(namespace_name(st, ns));
    Ref joined = base ? Ref::steal(ns_join2(st, base.get(), key.get())) : Ref();
    if (joined && PyUnicode_GET_LENGTH(joined.get()) == 0) {
        // '::' and the like: the global namespace itself, not a name in it.
        PyErr_Format(PyExc_ValueError, "Invalid Tcl name '%U': it names no variable or command", key.get());
        return nullptr;
    }
    return joined.release();
}

PyObject* qualified_in(State& st, PyObject* self, PyObject* name) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    return ns ? qualify(st, ns.get(), name) : nullptr;
}

// What a fresh handle on key would use: its qualified name, and the
// namespace's interpreter and its tk.
struct Target {
    Ref name, tcl, tk;
};

bool target(State& st, PyObject* self, PyObject* key, Target& t) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    if (!ns) return false;
    t.name = Ref::steal(qualify(st, ns.get(), key));
    return t.name && interp_tk(st, ns.get(), t.tcl, t.tk);
}

// The view's own class (not a subclass), whose methods are the direct ones.
bool own_vars(State& st, PyObject* self) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(self));
    return t == st.cmd.VariablesView.get() || t == st.cmd.ObjectsView.get();
}

PyObject* none_of(PyObject* r) noexcept {
    if (r == nullptr) return nullptr;
    Py_DECREF(r);
    Py_RETURN_NONE;
}

// self.byref(name).<method>(*args[1:]) with args[0] the slot for the handle,
// the last len(kwnames) of them passed by keyword.
PyObject* via_handle(State& st, PyObject* self, PyObject* name, PyObject* method, PyObject** args, size_t nargs,
                     PyObject* kwnames = nullptr) noexcept {
    Ref handle = Ref::steal(PyObject_CallMethodOneArg(self, st.cmd.s_byref.get(), name));
    if (!handle) return nullptr;
    args[0] = handle.get();
    size_t npos = nargs - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return PyObject_VectorcallMethod(method, args, npos, kwnames);
}

// ---------------------------------------------------------------------------
// The requests of the variable views, as the handle would send them

PyObject* read_str(State& st, PyObject* self, PyObject* key) noexcept {
    Target t;
    if (!target(st, self, key, t)) return nullptr;
    Ref w = Ref::steal(make_words({st.w_set.get(), t.name.get()}));
    Ref script = w ? Ref::steal(quotify(st, w.get())) : Ref();
    if (!script) return nullptr;
    PyObject* a[] = {t.tk.get(), script.get()};
    return call_tk(st, t.tcl.get(), TkMethod::eval, a, 2);
}

PyObject* read_obj(State& st, PyObject* self, PyObject* key, PyObject* index) noexcept {
    Target t;
    if (!target(st, self, key, t)) return nullptr;
    if (is_none(index)) {
        PyObject* a[] = {t.tk.get(), t.name.get()};
        return call_tk(st, t.tcl.get(), TkMethod::getvar, a, 2);
    }
    PyObject* a[] = {t.tk.get(), t.name.get(), index};
    return call_tk(st, t.tcl.get(), TkMethod::getvar, a, 3);
}

PyObject* write(State& st, PyObject* self, PyObject* key, PyObject* value, PyObject* index) noexcept {
    Target t;
    if (!target(st, self, key, t)) return nullptr;
    Ref idx;
    if (!is_none(index)) {
        idx = Ref::steal(quotify(st, index));
        if (!idx) return nullptr;
    }
    Ref v = Ref::steal(tclobj(st, value));
    if (!v) return nullptr;
    if (!idx) {
        PyObject* a[] = {t.tk.get(), t.name.get(), v.get()};
        return call_tk(st, t.tcl.get(), TkMethod::setvar, a, 3);
    }
    PyObject* a[] = {t.tk.get(), t.name.get(), idx.get(), v.get()};
    return call_tk(st, t.tcl.get(), TkMethod::setvar, a, 4);
}

PyObject* test_exists(State& st, PyObject* self, PyObject* key, PyObject* index) noexcept {
    Target t;
    if (!target(st, self, key, t)) return nullptr;
    Ref name = is_none(index) ? std::move(t.name) : Ref::steal(element_name(st, t.name.get(), index));
    Ref w = name ? Ref::steal(make_words({st.w_info.get(), st.w_exists.get(), name.get()})) : Ref();
    Ref answer = w ? Ref::steal(tk_call_words(st, t.tcl.get(), t.tk.get(), w.get())) : Ref();
    return answer ? cast_with(t.tcl.get(), st.s_cast_boolean.get(), answer.get()) : nullptr;
}

PyObject* remove(State& st, PyObject* self, PyObject* key, PyObject* index, PyObject* nocomplain) noexcept {
    Target t;
    if (!target(st, self, key, t)) return nullptr;
    Ref r;
    if (is_none(index)) {
        PyObject* a[] = {t.tk.get(), t.name.get()};
        r = Ref::steal(call_tk(st, t.tcl.get(), TkMethod::unsetvar, a, 2));
    } else {
        Ref idx = Ref::steal(quotify(st, index));
        if (!idx) return nullptr;
        PyObject* a[] = {t.tk.get(), t.name.get(), idx.get()};
        r = Ref::steal(call_tk(st, t.tcl.get(), TkMethod::unsetvar, a, 3));
    }
    if (!r) {
        if (nocomplain == nullptr || !PyErr_ExceptionMatches(st.TclError.get())) return nullptr;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        int quiet = PyObject_IsTrue(nocomplain);
        if (quiet <= 0) {
            if (quiet == 0) PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Shared by all four views

bool init_view(State& st, PyObject* cls, PyObject* self, PyObject* ns) noexcept {
    if (st.cmd.assertions) {
        int ok = PyObject_IsInstance(ns, st.TclNamespace.get());
        if (ok <= 0) {
            if (ok == 0) PyErr_SetNone(PyExc_AssertionError);
            return false;
        }
    }
    if (!own_view(st, self) && !init_base(st, cls, self)) return false;
    return PyObject_SetAttr(self, st.cmd.s_ns.get(), ns) == 0;
}

// The part of a qualified name after its last "::".
PyObject* tail_of(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return Py_NewRef(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    for (Py_ssize_t p = n - 2; p >= 0; --p) {
        if (PyUnicode_READ(kind, data, p) == ':' && PyUnicode_READ(kind, data, p + 1) == ':') {
            return PyUnicode_Substring(name, p + 2, n);
        }
    }
    return Py_NewRef(name);
}

// The names that ("::info", word) answers for the view's namespace itself:
// asked with the namespace's absolute name as the pattern's prefix (Tcl
// reads the namespace part of a pattern as a plain name), so the globals
// that the namespace can see are not among them; their tails, in Tcl's
// order.
PyObject* names_in(State& st, PyObject* self, PyObject* word) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    Ref name = ns ? Ref::steal(namespace_name(st, ns.get())) : Ref();
    Ref absolute = name ? Ref::steal(ns_join2(st, st.t_colons.get(), name.get())) : Ref();
    if (!absolute) return nullptr;
    if (PyUnicode_Check(absolute.get()) && PyUnicode_GET_LENGTH(absolute.get()) == 0) {
        absolute = Ref::borrow(st.t_colons.get());
    }
    Ref pattern = Ref::steal(ns_join2(st, absolute.get(), st.cmd.t_star.get()));
    Ref words = pattern ? Ref::steal(make_words({st.w_info.get(), word, pattern.get()})) : Ref();
    Ref answer = words ? Ref::steal(namespace_call(st, ns.get(), words.get())) : Ref();
    Ref tcl = answer ? Ref::steal(PyObject_GetAttr(ns.get(), st.s_tcl.get())) : Ref();
    Ref names = tcl ? Ref::steal(cast_with(tcl.get(), st.s_cast_list.get(), answer.get())) : Ref();
    if (!names) return nullptr;
    Ref list = Ref::steal(PySequence_List(names.get()));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list.get()); i < n; ++i) {
        PyObject* tail = tail_of(PyList_GET_ITEM(list.get(), i));
        if (tail == nullptr) return nullptr;
        PyList_SetItem(list.get(), i, tail);
    }
    return list.release();
}

PyObject* fetch_vars(State& st, PyObject* self) { return names_in(st, self, st.cmd.w_vars.get()); }
PyObject* fetch_commands(State& st, PyObject* self) { return names_in(st, self, st.cmd.w_commands.get()); }
PyObject* fetch_procs(State& st, PyObject* self) { return names_in(st, self, st.cmd.w_procs.get()); }

// The number of names one iteration of the view yields: one request.
PyObject* count(Function*, PyObject* const* argv) {
    Ref it = Ref::steal(PyObject_GetIter(argv[0]));
    if (!it) return nullptr;
    Py_ssize_t n = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) ++n;
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(n);
}

constexpr capi::FunctionDef kLen{"__len__", count, R"doc(__len__(self)
--

The number of names that iteration yields (one request).
)doc"};

// ---------------------------------------------------------------------------
// VariablesView and ObjectsView

PyObject* vars_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    if (!init_view(st, st.cmd.VariablesView.get(), argv[0], argv[1])) return nullptr;
    Py_RETURN_NONE;
}

// make(join(ns, name), *args, tcl=ns.tcl, **kwargs) for the view `view`,
// the joined name as a one-word tuple when `as_word`; `callee` names make
// in the error for a `tcl` keyword given. `kwargs` is a fresh dict of the
// call, so the caller's is untouched.
PyObject* make_byref(State& st, PyObject* make, const char* callee, bool as_word, PyObject* view,
                     PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    Ref ns = Ref::steal(view_ns(st, view));
    Ref joined = ns ? Ref::steal(qualify(st, ns.get(), name)) : Ref();
    Ref tcl = joined ? Ref::steal(PyObject_GetAttr(ns.get(), st.s_tcl.get())) : Ref();
    if (!tcl) return nullptr;
    int dup = PyDict_Contains(kwargs, st.s_tcl.get());
    if (dup != 0) {
        if (dup > 0) PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument 'tcl'", callee);
        return nullptr;
    }
    if (PyDict_SetItem(kwargs, st.s_tcl.get(), tcl.get()) < 0) return nullptr;
    Ref first = as_word ? Ref::steal(PyTuple_Pack(1, joined.get())) : Ref::borrow(joined.get());
    Ref head = first ? Ref::steal(PyTuple_Pack(1, first.get())) : Ref();
    Ref all = head ? Ref::steal(PySequence_Concat(head.get(), args)) : Ref();
    if (!all) return nullptr;
    return PyObject_Call(make, all.get(), kwargs);
}

// byref(var_name, *args, **kwargs): var_type(join(ns, var_name), *args,
// tcl=ns.tcl, **kwargs), var_type taken out of the keywords.
PyObject* vars_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* kwargs = argv[3];
    Ref var_type;
    int given = PyDict_GetItemRef(kwargs, st.cmd.s_var_type.get(), var_type.out());
    if (given < 0 || (given > 0 && PyDict_DelItem(kwargs, st.cmd.s_var_type.get()) < 0)) return nullptr;
    if (!var_type) var_type = Ref::borrow(st.TclVariable.get());
    return make_byref(st, var_type.get(), "byref", false, argv[0], argv[1], argv[2], kwargs);
}

PyObject* vars_array_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* kwargs = argv[3];
    int dup = PyDict_Contains(kwargs, st.cmd.s_var_type.get());
    if (dup != 0) {
        if (dup > 0) PyErr_SetString(PyExc_TypeError, "byref() got multiple values for keyword argument 'var_type'");
        return nullptr;
    }
    if (PyDict_SetItem(kwargs, st.cmd.s_var_type.get(), st.TclArrayVariable.get()) < 0) return nullptr;
    Ref pos = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(argv[2]) + 1));
    if (!pos) return nullptr;
    PyTuple_SET_ITEM(pos.get(), 0, Py_NewRef(argv[1]));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(argv[2]); ++i) {
        PyTuple_SET_ITEM(pos.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(argv[2], i)));
    }
    Ref byref = Ref::steal(PyObject_GetAttr(argv[0], st.cmd.s_byref.get()));
    return byref ? PyObject_Call(byref.get(), pos.get(), kwargs) : nullptr;
}

PyObject* vars_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    if (own_vars(st, argv[0])) return read_str(st, argv[0], argv[1]);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], st.cmd.s_get_str.get(), a, 1);
}

PyObject* objs_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* index = argv[2] ? argv[2] : Py_None;
    if (own_vars(st, argv[0])) return read_obj(st, argv[0], argv[1], index);
    PyObject* a[] = {nullptr, index};
    return via_handle(st, argv[0], argv[1], st.cmd.s_get_obj.get(), a, 2, st.cmd.kw_array_index.get());
}

PyObject* vars_set(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* index = argv[3] ? argv[3] : Py_None;
    if (own_vars(st, argv[0])) return write(st, argv[0], argv[1], argv[2], index);
    PyObject* a[] = {nullptr, argv[2], index};
    return via_handle(st, argv[0], argv[1], st.s_set.get(), a, 3, st.cmd.kw_array_index.get());
}

PyObject* vars_unset(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* index = argv[2] ? argv[2] : Py_None;
    PyObject* quiet = argv[3] ? argv[3] : Py_False;
    if (own_vars(st, argv[0])) return remove(st, argv[0], argv[1], index, quiet);
    PyObject* a[] = {nullptr, index, quiet};
    return none_of(via_handle(st, argv[0], argv[1], st.s_unset.get(), a, 3, st.cmd.kw_nocomplain.get()));
}

PyObject* vars_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* index = argv[2] ? argv[2] : Py_None;
    if (own_vars(st, argv[0])) return test_exists(st, argv[0], argv[1], index);
    PyObject* a[] = {nullptr, index};
    return via_handle(st, argv[0], argv[1], st.s_exists.get(), a, 2, st.cmd.kw_array_index.get());
}

PyObject* vars_is_array(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], st.cmd.s_is_array.get(), a, 1);
}

template <bool Objects>
PyObject* array_get(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2] ? argv[2] : Py_None};
    PyObject* method = Objects ? st.cmd.s_array_get_obj.get() : st.cmd.s_array_get_str.get();
    return via_handle(st, argv[0], argv[1], method, a, 2, st.cmd.kw_pattern.get());
}

PyObject* vars_array_set(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2]};
    return none_of(via_handle(st, argv[0], argv[1], st.s_array_set.get(), a, 2));
}

PyObject* vars_array_unset(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2] ? argv[2] : Py_None};
    return none_of(via_handle(st, argv[0], argv[1], st.s_array_unset.get(), a, 2, st.cmd.kw_pattern.get()));
}

PyObject* vars_array_names(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2] ? argv[2] : Py_None};
    return via_handle(st, argv[0], argv[1], st.s_array_names.get(), a, 2, st.cmd.kw_pattern.get());
}

PyObject* vars_getitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[0];
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref value;
    if (t == st.cmd.VariablesView.get()) {
        value = Ref::steal(read_str(st, self, argv[1]));
    } else if (t == st.cmd.ObjectsView.get()) {
        value = Ref::steal(read_obj(st, self, argv[1], Py_None));
    } else {
        value = Ref::steal(PyObject_CallMethodOneArg(self, st.s_get.get(), argv[1]));
    }
    if (value) return value.release();
    // A missing variable and a bad name are both absent keys.
    if (PyErr_ExceptionMatches(st.TclError.get()) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        return reraise_as_key_error();
    }
    return nullptr;
}

PyObject* vars_setitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[0];
    if (own_vars(st, self)) return none_of(write(st, self, argv[1], argv[2], Py_None));
    PyObject* a[] = {self, argv[1], argv[2]};
    return none_of(PyObject_VectorcallMethod(st.s_set.get(), a, 3, nullptr));
}

PyObject* vars_delitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* self = argv[0];
    Ref r = Ref::steal(own_vars(st, self) ? remove(st, self, argv[1], Py_None, nullptr)
                                          : PyObject_CallMethodOneArg(self, st.s_unset.get(), argv[1]));
    if (r) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(st.TclError.get())) return reraise_as_key_error();
    return nullptr;
}

PyObject* vars_contains(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    if (own_vars(st, argv[0])) return test_exists(st, argv[0], argv[1], Py_None);
    return PyObject_CallMethodOneArg(argv[0], st.s_exists.get(), argv[1]);
}

PyObject* vars_iter(Function* fn, PyObject* const* argv) {
    return new_lazy_iterator(state_of(fn), fn->module, argv[0], fetch_vars);
}

constexpr capi::FunctionDef kVarsInit{"__init__", vars_init, R"doc(__init__(self, ns)
--

The variables of the TclNamespace ns as a mapping (ns.vars, ns.objs).
)doc"};

constexpr capi::FunctionDef kVarsByref{"byref", vars_byref, R"doc(byref(self, var_name, *args, **kwargs)
--

Return var_type(TclNamespace.join(self.ns, var_name), *args,
tcl=self.ns.tcl, **kwargs), var_type being the keyword var_type
(default TclVariable): a new handle on the namespace's variable (an
absolute var_name ignores the namespace). byref('a', 'k') is a handle on
element k of array a; byref('a', cast=int) has a default cast.
)doc"};

constexpr capi::FunctionDef kVarsArrayByref{
    "array_byref", vars_array_byref, R"doc(array_byref(self, var_name, *args, **kwargs)
--

Return a TclArrayVariable on the namespace's array var_name:
self.byref(var_name, *args, var_type=TclArrayVariable, **kwargs).
)doc"};

constexpr capi::FunctionDef kVarsGet{"get", vars_get, R"doc(get(self, var_name)
--

Return the string value of the variable (the handle's get_str()). A
missing variable raises TclError and a bad name ValueError; unlike a
mapping's get() there is no default.
)doc"};

constexpr capi::FunctionDef kObjsGet{"get", objs_get, R"doc(get(self, var_name, array_index=None)
--

Return the variable's value (or its element's) as the interpreter hands
it over (the handle's get_obj(), uncast). A missing variable raises
TclError and a bad name ValueError; there is no default.
)doc"};

constexpr capi::FunctionDef kVarsSet{"set", vars_set, R"doc(set(self, var_name, value, array_index=None)
--

Set the variable (or its element array_index) to tclobj(value).
)doc"};

constexpr capi::FunctionDef kVarsUnset{
    "unset", vars_unset, R"doc(unset(self, var_name, array_index=None, nocomplain=False)
--

Unset the variable (or only its element); a missing one raises TclError
unless nocomplain is true.
)doc"};

constexpr capi::FunctionDef kVarsExists{"exists", vars_exists, R"doc(exists(self, var_name, array_index=None)
--

Whether the variable (or its element) exists ("::info exists").
)doc"};

constexpr capi::FunctionDef kVarsIsArray{"is_array", vars_is_array, R"doc(is_array(self, var_name)
--

Whether the variable exists and is an array.
)doc"};

constexpr capi::FunctionDef kVarsArrayGet{"array_get", array_get<false>, R"doc(array_get(self, var_name, pattern=None)
--

Return the array's elements (those matching the glob pattern) as a
mapping of their string values.
)doc"};

constexpr capi::FunctionDef kObjsArrayGet{"array_get", array_get<true>, R"doc(array_get(self, var_name, pattern=None)
--

Return the array's elements (those matching the glob pattern) as a
mapping of the objects the interpreter hands over.
)doc"};

constexpr capi::FunctionDef kVarsArraySet{"array_set", vars_array_set, R"doc(array_set(self, var_name, value)
--

Set elements of the array from a mapping or a flat name/value sequence.
)doc"};

constexpr capi::FunctionDef kVarsArrayUnset{
    "array_unset", vars_array_unset, R"doc(array_unset(self, var_name, pattern=None)
--

Unset the elements matching the glob pattern, or the whole array.
)doc"};

constexpr capi::FunctionDef kVarsArrayNames{
    "array_names", vars_array_names, R"doc(array_names(self, var_name, pattern=None)
--

Return the list of the array's element names (those matching pattern).
)doc"};

constexpr capi::FunctionDef kVarsGetitem{"__getitem__", vars_getitem, R"doc(__getitem__(self, var_name)
--

self.get(var_name); a TclError (missing variable) or ValueError (bad
name) becomes a KeyError whose argument and cause are that exception.
)doc"};

constexpr capi::FunctionDef kVarsSetitem{"__setitem__", vars_setitem, R"doc(__setitem__(self, var_name, value)
--

self.set(var_name, value).
)doc"};

constexpr capi::FunctionDef kVarsDelitem{"__delitem__", vars_delitem, R"doc(__delitem__(self, var_name)
--

self.unset(var_name); a TclError (missing variable) becomes a KeyError
whose argument and cause are that TclError.
)doc"};

constexpr capi::FunctionDef kVarsContains{"__contains__", vars_contains, R"doc(__contains__(self, var_name)
--

self.exists(var_name).
)doc"};

constexpr capi::FunctionDef kVarsIter{"__iter__", vars_iter, R"doc(__iter__(self)
--

Iterate over the names of the namespace's own variables ("::info vars"
with the namespace's absolute name as the pattern's prefix, so the
globals it can see are left out), their tails in Tcl's order, asked when
the first name is requested.
)doc"};

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

// ---------------------------------------------------------------------------
// CommandsView and ProcsView

PyObject* cmds_init(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    if (!init_view(st, st.cmd.CommandsView.get(), argv[0], argv[1])) return nullptr;
    Py_RETURN_NONE;
}

// TclCommand((join(ns, cmd_name),), *args, tcl=ns.tcl, **kwargs): the name
// as a one-word tuple, so it is never split.
PyObject* cmds_byref(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    return make_byref(st, st.cmd.TclCommand.get(), "TclCommand", true, argv[0], argv[1], argv[2], argv[3]);
}

template <Held CmdState::*Method>
PyObject* cmds_simple(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], (st.cmd.*Method).get(), a, 1);
}

PyObject* cmds_exists(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr};
    return via_handle(st, argv[0], argv[1], st.s_exists.get(), a, 1);
}

PyObject* procs_exists(Function* fn, PyObject* const* argv) { return cmds_simple<&CmdState::s_is_proc>(fn, argv); }

PyObject* cmds_createcommand(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2]};
    return none_of(via_handle(st, argv[0], argv[1], st.cmd.s_createcommand.get(), a, 2));
}

PyObject* cmds_delete(Function* fn, PyObject* const* argv) {
    return none_of(cmds_simple<&CmdState::s_delete>(fn, argv));
}

PyObject* cmds_rename(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    // The new name is qualified in the same namespace (and may not be empty).
    Ref fresh = Ref::steal(qualified_in(st, argv[0], argv[2]));
    if (!fresh) return nullptr;
    PyObject* a[] = {nullptr, fresh.get()};
    return none_of(via_handle(st, argv[0], argv[1], st.cmd.s_rename.get(), a, 2));
}

PyObject* cmds_proc_arg_default(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    PyObject* a[] = {nullptr, argv[2]};
    return via_handle(st, argv[0], argv[1], st.cmd.s_proc_arg_default.get(), a, 2);
}

PyObject* cmds_getitem(Function* fn, PyObject* const* argv) {
    return PyObject_CallMethodOneArg(argv[0], state_of(fn).cmd.s_byref.get(), argv[1]);
}

PyObject* cmds_contains(Function* fn, PyObject* const* argv) {
    return PyObject_CallMethodOneArg(argv[0], state_of(fn).s_exists.get(), argv[1]);
}

PyObject* cmds_setitem(Function* fn, PyObject* const* argv) {
    PyObject* a[] = {argv[0], argv[1], argv[2]};
    return none_of(PyObject_VectorcallMethod(state_of(fn).cmd.s_createcommand.get(), a, 3, nullptr));
}

PyObject* cmds_delitem(Function* fn, PyObject* const* argv) {
    State& st = state_of(fn);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(argv[0], st.cmd.s_delete.get(), argv[1]));
    if (r) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(st.TclError.get())) return reraise_as_key_error();
    return nullptr;
}

PyObject* cmds_iter(Function* fn, PyObject* const* argv) {
    return new_lazy_iterator(state_of(fn), fn->module, argv[0], fetch_commands);
}

PyObject* procs_iter(Function* fn, PyObject* const* argv) {
    return new_lazy_iterator(state_of(fn), fn->module, argv[0], fetch_procs);
}

constexpr capi::FunctionDef kCmdsInit{"__init__", cmds_init, R"doc(__init__(self, ns)
--

The commands of the TclNamespace ns as a mapping (ns.cmds, ns.procs).
)doc"};

constexpr capi::FunctionDef kCmdsByref{"byref", cmds_byref, R"doc(byref(self, cmd_name, *args, **kwargs)
--

Return TclCommand((TclNamespace.join(self.ns, cmd_name),), *args,
tcl=self.ns.tcl, **kwargs): a handle on the namespace's command, whose
qualified name stays one word. Extra arguments fill args and keywords;
cast and logger go by keyword.
)doc"};

constexpr capi::FunctionDef kCmdsExists{"exists", cmds_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists (its name matched literally).
)doc"};

constexpr capi::FunctionDef kProcsExists{"exists", procs_exists, R"doc(exists(self, cmd_name)
--

Whether the command exists and is a Tcl procedure.
)doc"};

constexpr capi::FunctionDef kCmdsCreatecommand{
    "createcommand", cmds_createcommand, R"doc(createcommand(self, cmd_name, func)
--

Register the Python callable func as the command cmd_name.
)doc"};

constexpr capi::FunctionDef kCmdsDelete{"delete", cmds_delete, R"doc(delete(self, cmd_name)
--

Delete the command; TclError when it does not exist.
)doc"};

constexpr capi::FunctionDef kCmdsRename{"rename", cmds_rename, R"doc(rename(self, cmd_name, new_name)
--

Rename the command; new_name is qualified in the same namespace (an
absolute one is used as it is).
)doc"};

constexpr capi::FunctionDef kCmdsOrigin{
    "origin", cmds_simple<&CmdState::s_origin>, R"doc(origin(self, cmd_name)
--

Return the original command of an imported one (TclCommand.origin).
)doc"};

constexpr capi::FunctionDef kCmdsProcBody{
    "proc_body", cmds_simple<&CmdState::s_proc_body>, R"doc(proc_body(self, cmd_name)
--

Return the body of the procedure.
)doc"};

constexpr capi::FunctionDef kCmdsProcArgs{
    "proc_args", cmds_simple<&CmdState::s_proc_args>, R"doc(proc_args(self, cmd_name)
--

Return the argument names of the procedure.
)doc"};

constexpr capi::FunctionDef kCmdsProcArgDefault{"proc_arg_default", cmds_proc_arg_default,
                                                R"doc(proc_arg_default(self, cmd_name, arg_name)
--

Return the default value of the procedure's argument, or None.
)doc"};

constexpr capi::FunctionDef kCmdsGetitem{"__getitem__", cmds_getitem, R"doc(__getitem__(self, cmd_name)
--

self.byref(cmd_name): a handle, also for a command that does not exist
(never KeyError).
)doc"};

constexpr capi::FunctionDef kCmdsContains{"__contains__", cmds_contains, R"doc(__contains__(self, cmd_name)
--

self.exists(cmd_name).
)doc"};

constexpr capi::FunctionDef kCmdsSetitem{"__setitem__", cmds_setitem, R"doc(__setitem__(self, cmd_name, func)
--

Register the Python callable func as the command: self.createcommand().
)doc"};

constexpr capi::FunctionDef kCmdsDelitem{"__delitem__", cmds_delitem, R"doc(__delitem__(self, cmd_name)
--

self.delete(cmd_name); a TclError (no such command) becomes a KeyError
whose argument and cause are that TclError.
)doc"};

constexpr capi::FunctionDef kCmdsIter{"__iter__", cmds_iter, R"doc(__iter__(self)
--

Iterate over the command names visible in the namespace ("::info
commands" inside it), asked when the first name is requested.
)doc"};

constexpr capi::FunctionDef kProcsIter{"__iter__", procs_iter, R"doc(__iter__(self)
--

Iterate over the procedure names visible in the namespace ("::info
procs" inside it), asked when the first name is requested.
)doc"};

constexpr const char* kCmdsDoc = R"doc(The commands of a Tcl namespace as a mutable mapping of TclCommand
handles (TclNamespace.cmds).

view['f'] is a handle on the qualified name (whether or not the command
exists), view['f'] = func registers a Python callable, del view['f']
deletes the command (KeyError when missing), 'f' in view tests it, and
iteration asks "::info commands" for the namespace's own commands (not
the global ones it can see) and yields their tails.
)doc";

constexpr const char* kProcsDoc = R"doc(The Tcl procedures of a namespace (TclNamespace.procs): as CommandsView,
but membership and iteration count procedures only.
)doc";

}  // namespace

bool build_namespace_views(PyObject* module, State& st) {
    PyObject* bases[] = {st.MutableMapping.get()};
    capi::ClassBuilder vars(module, "VariablesView", kVarsDoc, "TclNamespace.VariablesView");
    vars.bases({bases[0]})
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
        .method(kLen);
    st.cmd.VariablesView = vars.build();
    if (!st.cmd.VariablesView) return false;

    capi::ClassBuilder objs(module, "ObjectsView", kObjsDoc, "TclNamespace.ObjectsView");
    objs.bases({st.cmd.VariablesView.get()}).method(kObjsGet).method(kObjsArrayGet);
    st.cmd.ObjectsView = objs.build();
    if (!st.cmd.ObjectsView) return false;

    capi::ClassBuilder cmds(module, "CommandsView", kCmdsDoc, "TclNamespace.CommandsView");
    cmds.bases({bases[0]})
        .method(kCmdsInit)
        .method(kCmdsByref)
        .method(kCmdsExists)
        .method(kCmdsCreatecommand)
        .method(kCmdsDelete)
        .method(kCmdsRename)
        .method(kCmdsOrigin)
        .method(kCmdsProcBody)
        .method(kCmdsProcArgs)
        .method(kCmdsProcArgDefault)
        .method(kCmdsGetitem)
        .method(kCmdsContains)
        .method(kCmdsSetitem)
        .method(kCmdsDelitem)
        .method(kCmdsIter)
        .method(kLen);
    st.cmd.CommandsView = cmds.build();
    if (!st.cmd.CommandsView) return false;

    capi::ClassBuilder procs(module, "ProcsView", kProcsDoc, "TclNamespace.ProcsView");
    procs.bases({st.cmd.CommandsView.get()}).method(kProcsExists).method(kProcsIter);
    st.cmd.ProcsView = procs.build();
    return static_cast<bool>(st.cmd.ProcsView);
}

}  // namespace tclns
