// TclArrayVariable: a Tcl array as a Python mutable mapping, and the error
// of a missing element (TclKeyError), both TclError and KeyError.
#include "lazy_iter.hpp"
#include "names.hpp"
#include "varops.hpp"

namespace tclns {

namespace {

// Whether `self` is an instance of one of the module's own array classes
// with their own methods, so that nothing can have replaced the method a
// mapping operation delegates to, and the direct implementation may be
// called.
bool own_array(State& st, PyObject* self) noexcept {
    return own_instance(self, st.TclArrayVariable, st.TclArrayVariable_methods, st.TempTclArrayVariable,
                        st.TempTclArrayVariable_methods);
}

// The handle's attributes, read from its dict when it is of the own classes.
struct ArrayAttrs : AttrReader {
    ArrayAttrs(State& st, PyObject* self, bool own_class) noexcept : AttrReader(st, self, own_class), own(own_class) {}
    ArrayAttrs(State& st, PyObject* self) noexcept : ArrayAttrs(st, self, own_array(st, self)) {}
    // Whether the mapping operation may send its request itself instead of
    // calling `method`: the handle is of the own classes and its own dict
    // does not hold `method` (an instance may replace it too). 1, 0, or -1
    // with an exception.
    int direct(PyObject* method) noexcept {
        if (!own) return 0;
        int held = holds(method);
        return held < 0 ? -1 : !held;
    }
    bool own;
};

// ---------------------------------------------------------------------------
// TclArrayVariable

PyObject* array_init(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayInit{"__init__", array_init, R"doc(__init__(self, var_name, tcl=None, cast=None)
--

A handle on the Tcl array var_name (no index), as a mutable mapping.
)doc"};

PyObject* array_init(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayInit.slot("self")];
    PyObject* var_name = argv[kArrayInit.slot("var_name")];
    PyObject* tcl = argv[kArrayInit.slot("tcl")];
    PyObject* cast = argv[kArrayInit.slot("cast")];
    Ref sup = super_of(st.TclArrayVariable.get(), self);
    Ref next_init = sup ? Ref::steal(PyObject_GetAttr(sup.get(), st.s_init.get())) : Ref();
    if (!next_init) return nullptr;
    PyObject* args[] = {var_name, tcl ? tcl : Py_None, cast ? cast : Py_None};
    Ref r = Ref::steal(PyObject_Vectorcall(next_init.get(), args, 1, st.kw_tcl_cast.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_len(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayLen{"__len__", array_len, R"doc(__len__(self)
--

The number of elements: self.array_size().
)doc"};

PyObject* array_len(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kArrayLen.slot("self")];
    return call_method(self, state_of(f).s_array_size.get());
}

PyObject* fetch_names(State& st, PyObject* owner) { return call_method(owner, st.s_array_names.get()); }

PyObject* array_iter(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayIter{"__iter__", array_iter, R"doc(__iter__(self)
--

Iterate over the element names, in Tcl's order; self.array_names() is
asked once, when the first name is requested.
)doc"};

PyObject* array_iter(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kArrayIter.slot("self")];
    return new_lazy_iterator(state_of(f), f->module, self, fetch_names);
}

PyObject* array_contains(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayContains{"__contains__", array_contains, R"doc(__contains__(self, key)
--

Whether element key exists: self.exists(array_index=key).
)doc"};

PyObject* array_contains(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayContains.slot("self")];
    PyObject* key = argv[kArrayContains.slot("key")];
    ArrayAttrs attrs(st, self);
    int direct = attrs.direct(st.s_exists.get());
    if (direct != 0) return direct > 0 ? variable_exists(st, attrs, key) : nullptr;
    return call_method(st.s_exists.get(), argv, 1, st.kw_array_index.get());
}

// A TclError being raised becomes the element error: the same message,
// traceback and attributes, and a KeyError too.
std::nullptr_t as_element_error(State& st) {
    if (!PyErr_ExceptionMatches(st.TclError.get())) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref args = Ref::steal(PyObject_GetAttrString(exc.get(), "args"));
    Ref error = args && PyTuple_Check(args.get())
                    ? Ref::steal(PyObject_Call(st.ElementError.get(), args.get(), nullptr))
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

PyObject* array_getitem(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayGetitem{"__getitem__", array_getitem, R"doc(__getitem__(self, key)
--

The value of element key: self.get(array_index=key), with the handle's
cast. A TclError (a missing element, a variable that is no array) comes
as an error that is both TclError and KeyError, with Tcl's message.
)doc"};

PyObject* array_getitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayGetitem.slot("self")];
    PyObject* key = argv[kArrayGetitem.slot("key")];
    ArrayAttrs attrs(st, self);
    int direct = attrs.direct(st.s_get.get());
    if (direct < 0) return nullptr;
    PyObject* value = direct ? variable_get_obj(st, attrs, key, nullptr)
                             : call_method(st.s_get.get(), argv, 1, st.kw_array_index.get());
    return value != nullptr ? value : as_element_error(st);
}

PyObject* array_setitem(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArraySetitem{"__setitem__", array_setitem, R"doc(__setitem__(self, key, value)
--

Set element key: self.set(value, array_index=key).
)doc"};

PyObject* array_setitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArraySetitem.slot("self")];
    PyObject* key = argv[kArraySetitem.slot("key")];
    PyObject* value = argv[kArraySetitem.slot("value")];
    ArrayAttrs attrs(st, self);
    int direct = attrs.direct(st.s_set.get());
    if (direct < 0) return nullptr;
    Ref r;
    if (direct) {
        r = Ref::steal(variable_set(st, attrs, value, key));
    } else {
        PyObject* args[] = {self, value, key};
        r = Ref::steal(call_method(st.s_set.get(), args, 2, st.kw_array_index.get()));
    }
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_delitem(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayDelitem{"__delitem__", array_delitem, R"doc(__delitem__(self, key)
--

Unset element key: self.unset(array_index=key). A missing element raises
an error that is both TclError and KeyError, with Tcl's message.
)doc"};

PyObject* array_delitem(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayDelitem.slot("self")];
    PyObject* key = argv[kArrayDelitem.slot("key")];
    ArrayAttrs attrs(st, self);
    int direct = attrs.direct(st.s_unset.get());
    if (direct < 0) return nullptr;
    Ref r = Ref::steal(direct ? variable_unset(st, attrs, key, nullptr)
                              : call_method(st.s_unset.get(), argv, 1, st.kw_array_index.get()));
    if (!r) return as_element_error(st);
    Py_RETURN_NONE;
}

PyObject* array_clear(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayClear{"clear", array_clear, R"doc(clear(self)
--

Remove the array variable itself: self.array_unset().
)doc"};

PyObject* array_clear(Function* f, PyObject* const* argv) {
    PyObject* self = argv[kArrayClear.slot("self")];
    Ref r = Ref::steal(call_method(self, state_of(f).s_array_unset.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* array_update(Function* f, PyObject* const* argv);
constexpr capi::FunctionDef kArrayUpdate{"update", array_update, R"doc(update(self, /, *args, **kwargs)
--

Set the elements of dict(*args, **kwargs) with one "::array set" request.
With no arguments the array is created if it did not exist.
)doc"};

PyObject* array_update(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kArrayUpdate.slot("self")];
    PyObject* args = argv[kArrayUpdate.slot("args")];
    PyObject* kwargs = argv[kArrayUpdate.slot("kwargs")];
    // dict(*args, **kwargs): its own argument rules, later entries winning.
    Ref d = Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args, kwargs));
    if (!d) return nullptr;
    Ref r = Ref::steal(call_method(self, st.s_array_set.get(), d.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

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

}  // namespace

bool build_array_variable(PyObject* module, State& st) {
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
    return static_cast<bool>(st.TclArrayVariable);
}

bool init_element_error(State& st) {
    // str() is Tcl's message as TclError gives it, not KeyError's repr.
    Ref ns = Ref::steal(PyDict_New());
    Ref base_str = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
    Ref doc =
        Ref::steal(PyUnicode_FromString("TclKeyError: the Tcl error of a missing array element, also a KeyError.\n\n"
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

}  // namespace tclns
