// TempTclVariable, TclArrayVariable and TempTclArrayVariable: temporary
// variables for a `with` block, and Tcl arrays as Python mutable mappings.
#include "namespace.hpp"

namespace tclns {

namespace {

// Whether `self` is an instance of one of the module's own array classes,
// so that no subclass can have replaced the method a mapping operation
// delegates to, and the direct implementation may be called.
bool own_array(State& st, PyObject* self) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(self));
    return t == st.TclArrayVariable.get() || t == st.TempTclArrayVariable.get();
}

// ---------------------------------------------------------------------------
// TempTclVariable

PyObject* temp_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[0];
    PyObject* kwargs = argv[2];
    Ref pattern = Ref::borrow(argv[1] ? argv[1] : st.t_temp_name.get());
    if (!PyUnicode_Check(pattern.get())) {
        pattern = Ref::steal(PyObject_Str(pattern.get()));
        if (!pattern) return nullptr;
    }
    Ref cls = Ref::steal(PyObject_GetAttr(self, st.s_class.get()));
    Ref cls_name = cls ? Ref::steal(PyObject_GetAttr(cls.get(), st.s_name.get())) : Ref();
    Ref ident = Ref::steal(PyLong_FromVoidPtr(self));
    if (!cls_name || !ident) return nullptr;
    // var_name.format(cls=..., id=...): every name, the caller's too.
    PyObject* fargs[] = {pattern.get(), cls_name.get(), ident.get()};
    Ref name = Ref::steal(call_method(st.s_format.get(), fargs, 1, st.kw_cls_id.get()));
    if (!name) return nullptr;

    Ref sup = super_of(st.TempTclVariable.get(), self);
    Ref next_init = sup ? Ref::steal(PyObject_GetAttr(sup.get(), st.s_init.get())) : Ref();
    if (!next_init) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, name.get()));
    if (!args) return nullptr;
    Ref result = Ref::steal(PyObject_Call(next_init.get(), args.get(), kwargs));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* temp_enter(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref hook;
    if (!next_hook(st.TempTclVariable.get(), argv[0], st.s_enter.get(), hook)) return nullptr;
    if (hook) return PyObject_CallNoArgs(hook.get());
    return Py_NewRef(argv[0]);
}

PyObject* temp_exit(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[0];
    PyObject* args[] = {self, Py_True};
    Ref r = Ref::steal(call_method(st.s_unset.get(), args, 1, st.kw_nocomplain.get()));
    if (!r) return nullptr;
    Ref hook;
    if (!next_hook(st.TempTclVariable.get(), self, st.s_exit.get(), hook)) return nullptr;
    if (hook) return PyObject_Call(hook.get(), argv[1], nullptr);
    Py_RETURN_FALSE;
}

constexpr capi::FunctionDef kTempInit{"__init__", temp_init,
                                      R"doc(__init__(self, var_name='::__brelt__{cls}_{id}_tmp', **kwargs)
--

A handle on a temporary variable.

var_name (made a str) is formatted with str.format(cls=<class name>,
id=<id(self)>), so the default is a global name unique among live
handles, and a name of your own may carry the fields too ('::v_{id}');
doubled braces give single ones, any other field is an error. The other
arguments go by keyword to the next __init__ (array_index, tcl, cast).
)doc"};

constexpr capi::FunctionDef kTempEnter{"__enter__", temp_enter, R"doc(__enter__(self)
--

Enter the block: nothing is created in Tcl. Returns the handle, or what
the __enter__ of a later class in the resolution order returns.
)doc"};

constexpr capi::FunctionDef kTempExit{"__exit__", temp_exit, R"doc(__exit__(self, *args)
--

Leave the block: unset the variable (or only the element of an element
handle), ignoring a TclError; then chain to the __exit__ of a later class
in the resolution order, if any, and return its result; else False, so an
exception of the block propagates.
)doc"};

constexpr const char* kTempDoc = R"doc(A TclVariable with a generated, unique global name that lives as long as
a `with` block: leaving the block (normally or by an exception) unsets
it. Entering creates nothing; the block sets what it needs. There is no
finaliser: a handle dropped outside a `with` block leaves its variable.

    >>> from brelt.tcl import Interpreter, TempTclVariable
    >>> interp = Interpreter()
    >>> with TempTclVariable(tcl=interp) as v:
    ...     v.set(42)
    ...     v.get_str()
    '42'
)doc";

// ---------------------------------------------------------------------------
// TclArrayVariable

PyObject* array_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref sup = super_of(st.TclArrayVariable.get(), argv[0]);
    Ref next_init = sup ? Ref::steal(PyObject_GetAttr(sup.get(), st.s_init.get())) : Ref();
    if (!next_init) return nullptr;
    PyObject* args[] = {argv[1], argv[2] ? argv[2] : Py_None, argv[3] ? argv[3] : Py_None};
    Ref r = Ref::steal(PyObject_Vectorcall(next_init.get(), args, 1, st.kw_tcl_cast.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_len(Function* f, PyObject* const* argv) {
    return PyObject_CallMethodNoArgs(argv[0], state_of(f).s_array_size.get());
}

PyObject* fetch_names(State& st, PyObject* owner) { return PyObject_CallMethodNoArgs(owner, st.s_array_names.get()); }

PyObject* array_iter(Function* f, PyObject* const* argv) {
    return new_lazy_iterator(state_of(f), f->module, argv[0], fetch_names);
}

PyObject* array_contains(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    if (own_array(st, argv[0])) return variable_exists(st, argv[0], argv[1]);
    return call_method(st.s_exists.get(), argv, 1, st.kw_array_index.get());
}

// A TclError being raised becomes the element error: the same message,
// traceback and attributes, and a KeyError too.
std::nullptr_t as_element_error(State& st) {
    if (!PyErr_ExceptionMatches(st.TclError.get())) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref args = Ref::steal(PyObject_GetAttrString(exc.get(), "args"));
    Ref error = args && PyTuple_Check(args.get()) ? Ref::steal(PyObject_Call(st.ElementError.get(), args.get(), nullptr))
                                                 : Ref();
    if (!error) return nullptr;
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    if (tb && PyException_SetTraceback(error.get(), tb.get()) < 0) return nullptr;
    // Attributes a TclError may carry (errorinfo, errorcode...).
    Ref attrs = Ref::steal(PyObject_GenericGetDict(exc.get(), nullptr));
    Ref mine = attrs ? Ref::steal(PyObject_GenericGetDict(error.get(), nullptr)) : Ref();
    if (!mine || PyDict_Update(mine.get(), attrs.get()) < 0) return nullptr;
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

PyObject* array_getitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* value = own_array(st, argv[0]) ? variable_get_obj(st, argv[0], argv[1], nullptr)
                                             : call_method(st.s_get.get(), argv, 1, st.kw_array_index.get());
    return value != nullptr ? value : as_element_error(st);
}

PyObject* array_setitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[0];
    Ref r;
    if (own_array(st, self)) {
        r = Ref::steal(variable_set(st, self, argv[2], argv[1]));
    } else {
        PyObject* args[] = {self, argv[2], argv[1]};
        r = Ref::steal(call_method(st.s_set.get(), args, 2, st.kw_array_index.get()));
    }
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_delitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    Ref r = Ref::steal(own_array(st, argv[0]) ? variable_unset(st, argv[0], argv[1], nullptr)
                                               : call_method(st.s_unset.get(), argv, 1, st.kw_array_index.get()));
    if (!r) return as_element_error(st);
    Py_RETURN_NONE;
}

PyObject* array_clear(Function* f, PyObject* const* argv) {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(argv[0], state_of(f).s_array_unset.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_update(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    // dict(*args, **kwargs): its own argument rules, later entries winning.
    Ref d = Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), argv[1], argv[2]));
    if (!d) return nullptr;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(argv[0], st.s_array_set.get(), d.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

constexpr capi::FunctionDef kArrayInit{"__init__", array_init, R"doc(__init__(self, var_name, tcl=None, cast=None)
--

A handle on the Tcl array var_name (no index), as a mutable mapping.
)doc"};

constexpr capi::FunctionDef kArrayLen{"__len__", array_len, R"doc(__len__(self)
--

The number of elements: self.array_size().
)doc"};

constexpr capi::FunctionDef kArrayIter{"__iter__", array_iter, R"doc(__iter__(self)
--

Iterate over the element names, in Tcl's order; self.array_names() is
asked once, when the first name is requested.
)doc"};

constexpr capi::FunctionDef kArrayContains{"__contains__", array_contains, R"doc(__contains__(self, key)
--

Whether element key exists: self.exists(array_index=key).
)doc"};

constexpr capi::FunctionDef kArrayGetitem{"__getitem__", array_getitem, R"doc(__getitem__(self, key)
--

The value of element key: self.get(array_index=key), with the handle's
cast. A TclError (a missing element, a variable that is no array) comes
as an error that is both TclError and KeyError, with Tcl's message.
)doc"};

constexpr capi::FunctionDef kArraySetitem{"__setitem__", array_setitem, R"doc(__setitem__(self, key, value)
--

Set element key: self.set(value, array_index=key).
)doc"};

constexpr capi::FunctionDef kArrayDelitem{"__delitem__", array_delitem, R"doc(__delitem__(self, key)
--

Unset element key: self.unset(array_index=key). A missing element raises
an error that is both TclError and KeyError, with Tcl's message.
)doc"};

constexpr capi::FunctionDef kArrayClear{"clear", array_clear, R"doc(clear(self)
--

Remove the array variable itself: self.array_unset().
)doc"};

constexpr capi::FunctionDef kArrayUpdate{"update", array_update, R"doc(update(self, /, *args, **kwargs)
--

Set the elements of dict(*args, **kwargs) with one "::array set" request.
With no arguments the array is created if it did not exist.
)doc"};

constexpr const char* kArrayDoc = R"doc(A Tcl array as a Python mutable mapping from element names to values.

Every mapping operation is one request: a[k] reads the element (get_obj
with the handle's cast), a[k] = v sets it, del a[k] unsets it, k in a
tests it, len(a) is "::array size", iteration runs over "::array names",
clear() removes the array and update() is one "::array set". get is
TclVariable.get (get_obj), not the mapping's get. a[k] and del a[k] of a
missing element raise an error that is both TclError and KeyError, so
pop(k, default), setdefault() and `except KeyError` work as on any
mapping. Arrays compare as mappings and are unhashable.

    >>> from brelt.tcl import Interpreter, TclArrayVariable
    >>> interp = Interpreter()
    >>> a = TclArrayVariable('::colours', tcl=interp)
    >>> a.update(sky='blue', grass='green')
    >>> sorted(a), a['sky']
    (['grass', 'sky'], 'blue')
)doc";

constexpr const char* kTempArrayDoc = R"doc(A temporary Tcl array used as a mapping: a TclArrayVariable with the
generated name and the `with` block of TempTclVariable.
)doc";

}  // namespace

bool build_array_and_temp_variables(PyObject* module, State& st) {
    capi::ClassBuilder temp(module, "TempTclVariable", kTempDoc);
    temp.bases({st.TclVariable.get()}).method(kTempInit).method(kRefuseCopy).method(kTempEnter).method(kTempExit);
    st.TempTclVariable = temp.build();
    if (!st.TempTclVariable) return false;

    // The mapping classes come first in the resolution order, so the handle's
    // get is bound again over Mapping.get.
    Ref get = Ref::steal(PyObject_GetAttr(st.TclVariable.get(), st.s_get.get()));
    if (!get) return false;
    capi::ClassBuilder array(module, "TclArrayVariable", kArrayDoc);
    array.bases({st.MutableMapping.get(), st.TclVariable.get()})
        .attr("get", get.get())
        .method(kArrayInit)
        .method(kArrayLen)
        .method(kArrayIter)
        .method(kArrayContains)
        .method(kArrayGetitem)
        .method(kArraySetitem)
        .method(kArrayDelitem)
        .method(kArrayClear)
        .method(kArrayUpdate);
    st.TclArrayVariable = array.build();
    if (!st.TclArrayVariable) return false;

    capi::ClassBuilder temp_array(module, "TempTclArrayVariable", kTempArrayDoc);
    temp_array.bases({st.TempTclVariable.get(), st.TclArrayVariable.get()});
    st.TempTclArrayVariable = temp_array.build();
    return static_cast<bool>(st.TempTclArrayVariable);
}

// ---------------------------------------------------------------------------
// The lazy iterator

namespace {

struct LazyIterator {
    PyObject_HEAD
    PyObject* module;  // strong: its state
    PyObject* owner;   // strong until the first next()
    PyObject* items;   // strong: the iterator over what `fetch` returned
    FetchFn fetch;
};

PyObject* lazy_next(PyObject* self) noexcept {
    auto* it = reinterpret_cast<LazyIterator*>(self);
    if (it->items == nullptr) {
        if (it->owner == nullptr) return nullptr;  // exhausted, or failed before
        Ref owner = Ref::steal(it->owner);
        it->owner = nullptr;
        State& st = *capi::module_state<State>(it->module);
        Ref source = Ref::steal(it->fetch(st, owner.get()));
        if (!source) return nullptr;
        it->items = PyObject_GetIter(source.get());
        if (it->items == nullptr) return nullptr;
    }
    // Held for the call: a re-entrant next() (from the generator that
    // `fetch` returned, say) must not free it while it runs.
    Ref items = Ref::borrow(it->items);
    PyObject* item = PyIter_Next(items.get());
    // Only the end of the items ends the iterator; after an error (such as
    // "generator already executing") the items stay, as Python's do.
    if (item == nullptr && !PyErr_Occurred() && it->items == items.get()) Py_CLEAR(it->items);
    return item;
}

int lazy_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* it = reinterpret_cast<LazyIterator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->module);
    Py_VISIT(it->owner);
    Py_VISIT(it->items);
    return 0;
}

int lazy_clear(PyObject* self) noexcept {
    auto* it = reinterpret_cast<LazyIterator*>(self);
    Py_CLEAR(it->module);
    Py_CLEAR(it->owner);
    Py_CLEAR(it->items);
    return 0;
}

void lazy_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    lazy_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot lazy_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(lazy_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(lazy_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lazy_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lazy_dealloc)},
    {0, nullptr},
};

}  // namespace

bool init_element_error(State& st) {
    // str() is Tcl's message as TclError gives it, not KeyError's repr.
    Ref ns = Ref::steal(PyDict_New());
    Ref base_str = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
    Ref doc = Ref::steal(PyUnicode_FromString(
        "TclKeyError: the Tcl error of a missing array element, also a KeyError.\n\n"
        "TclArrayVariable raises it where a mapping raises KeyError: reading\n"
        "or deleting an element that does not exist (or of a variable that is\n"
        "not an array). It is a tkinter.TclError too, so code catching either\n"
        "works, and the mapping methods (pop(key, default), setdefault(),\n"
        "except KeyError) work as on any mapping. str() is Tcl's message,\n"
        "unchanged. Public as brelt.tcl.TclKeyError."));
    if (!ns || !base_str || !doc || PyDict_SetItemString(ns.get(), "__str__", base_str.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
        return false;
    }
    Ref bases = Ref::steal(PyTuple_Pack(2, st.TclError.get(), PyExc_KeyError));
    if (!bases) return false;
    st.ElementError = Ref::steal(PyErr_NewException("brelt.tcl.TclKeyError", bases.get(), ns.get()));
    return static_cast<bool>(st.ElementError);
}

bool init_lazy_iterator_type(PyObject* module, State& st) {
    PyType_Spec spec = {
        "brelt.tcl.namespace.lazy_iterator",
        sizeof(LazyIterator),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        lazy_slots,
    };
    st.lazy_iterator_type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    return static_cast<bool>(st.lazy_iterator_type);
}

PyObject* new_lazy_iterator(State& st, PyObject* module, PyObject* owner, FetchFn fetch) noexcept {
    auto* type = st.lazy_iterator_type.as<PyTypeObject>();
    auto* it = reinterpret_cast<LazyIterator*>(type->tp_alloc(type, 0));
    if (it == nullptr) return nullptr;
    it->module = Py_NewRef(module);
    it->owner = Py_NewRef(owner);
    it->items = nullptr;
    it->fetch = fetch;
    return reinterpret_cast<PyObject*>(it);
}

}  // namespace tclns
