// The package's casts of raw results: cast_any, cast_boolean, cast_array
// (methods of the Interpreter) and cast_list (a plain function). The
// package binds them as its own; the quick call recognises cast_any and
// does its work inline (capi/rawvalue.hpp).
#include <cmath>

#include "interp.hpp"
#include "internal.hpp"
#include "rawvalue.hpp"

namespace internal {
namespace {

PyTypeObject* tclobj_type(State& st) noexcept { return st.TclObj.as<PyTypeObject>(); }

// An attribute of the package brelt.tcl, read at every use as the package's
// own functions read their globals (a replaced quotify or cast_list counts).
Ref package_attr(State& st, PyObject* name) {
    Ref package = Ref::steal(PyImport_Import(st.s_package.get()));
    return package ? Ref::steal(PyObject_GetAttr(package.get(), name)) : Ref();
}

// The elements of a tuple or list result as a new list, Tcl objects among
// them (nested tuples included) as their string form.
Ref items_of(State& st, PyObject* seq) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    // The size read at every step, as a comprehension over a list reads it.
    // A list is the caller's, which another thread may change meanwhile:
    // each item is taken as a strong reference under its lock
    // (capi::list_item). A tuple's items never change; the caller holds it.
    bool list = PyList_CheckExact(seq);
    for (Py_ssize_t i = 0;; ++i) {
        Ref item;
        if (list) {
            item = capi::list_item(seq, i);
        } else if (i < PyTuple_GET_SIZE(seq)) {
            item = Ref::borrow(PyTuple_GET_ITEM(seq, i));
        }
        if (!item) break;
        Ref cast = Ref::steal(capi::cast_raw_value(item.get(), tclobj_type(st)));
        if (!cast || PyList_Append(out.get(), cast.get()) < 0) return {};
    }
    return out;
}

Ref cast_list(State& st, PyObject* value) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) return items_of(st, value);
    Ref text = Ref::borrow(value);
    if (PyBytes_CheckExact(value)) {
        text = Ref::steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
        if (!text) return {};
    }
    Ref elements = list_from_any(st, text.get(), Py_None);
    return Ref::steal(elements ? PySequence_List(elements.get()) : nullptr);
}

PyObject* cast_list_fn(Function* f, PyObject* const* argv);
PyObject* cast_any_fn(Function* f, PyObject* const* argv);
PyObject* cast_boolean_fn(Function* f, PyObject* const* argv);
PyObject* cast_array_fn(Function* f, PyObject* const* argv);

}  // namespace

constexpr capi::FunctionDef kCastList{"cast_list", cast_list_fn, R"(cast_list(value)
--

Return the elements of a Tcl list as a Python ``list``.

Text (a ``str``, or a ``_tkinter.Tcl_Obj`` through its string form) is
parsed with Tcl's own list rules, so every element comes back as a
``str`` exactly as Tcl reads it; ``bytes`` (a Tcl byte array) are read
as Latin-1 text. The elements of a tuple or list (a list result as
tkinter returns it) are taken as they are, except that Tcl objects among
them become their string form, as in ``cast_any``. Other sequences and
sets are taken element by element; a single ``int``, ``float`` or
``bool`` becomes a one-element list and ``None`` the empty list.

Needs no interpreter. Malformed list text raises ``TclError``.

>>> cast_list('a {b c} "d e"')
['a', 'b c', 'd e']
>>> cast_list(('a', 1))
['a', 1]
)"};

constexpr capi::FunctionDef kCastAny{"cast_any", cast_any_fn, R"(cast_any(self, value)
--

Return a raw result as its natural Python value.

``str``, ``int``, ``float``, ``bool`` and ``bytes`` come back as they
are, a list result as a ``tuple`` of such values (nested lists as
nested tuples), and any other Tcl object (a dict, a command name...)
as its string form: no ``_tkinter.Tcl_Obj`` reaches the caller.
)"};

constexpr capi::FunctionDef kCastBoolean{"cast_boolean", cast_boolean_fn, R"(cast_boolean(self, value)
--

Return Tcl's truth value of a raw result as a ``bool``.

Accepts what Tcl accepts as a boolean: Python ``bool``, ``int`` and
``float`` (as Tcl's numbers: non-zero is true), and as text
(``str``, ``bytes``, Tcl objects) ``1``/``0``, ``true``/``false``,
``yes``/``no`` and ``on``/``off`` in any case and as unique
prefixes. Anything else raises ``TclError`` with Tcl's message
("expected boolean value but got ...").
)"};

constexpr capi::FunctionDef kCastArray{"cast_array", cast_array_fn, R"(cast_array(self, value)
--

Return the result of ``array get`` as a ``dict``.

``value`` holds names and values alternately (``name value name
value ...``): Tcl list text is parsed, tuples and lists are taken as
they are, a mapping is copied. The result maps each name to its value
(a name given twice keeps its last value). An odd number of elements
raises ``ValueError``.
)"};

namespace {

PyObject* cast_list_fn(Function* f, PyObject* const* argv) {
    return cast_list(state_of(f), argv[kCastList.slot("value")]).release();
}

PyObject* cast_any_fn(Function* f, PyObject* const* argv) {
    return capi::cast_raw_value(argv[kCastAny.slot("value")], tclobj_type(state_of(f)));
}

PyObject* cast_boolean_fn(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* self = argv[kCastBoolean.slot("self")];
    PyObject* value = argv[kCastBoolean.slot("value")];
    if (PyBool_Check(value)) return Py_NewRef(value);  // bool is final
    if (PyLong_CheckExact(value)) {
        int truth = PyObject_IsTrue(value);
        return truth < 0 ? nullptr : PyBool_FromLong(truth);
    }
    if (PyFloat_CheckExact(value)) {  // a Tcl double object: Tcl takes its numeric truth
        double d = PyFloat_AS_DOUBLE(value);
        if (std::isnan(d)) {
            Ref exc = Ref::steal(PyObject_CallOneArg(st.TclError.get(), st.t_nan.get()));
            if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            return nullptr;
        }
        return PyBool_FromLong(d != 0.0);
    }
    Ref text = Ref::borrow(value);
    if (PyBytes_CheckExact(value)) {
        text = Ref::steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
    } else if (!PyUnicode_CheckExact(value) && !Py_IS_TYPE(value, tclobj_type(st))) {
        Ref quotify = package_attr(st, st.s_quotify.get());
        text = Ref::steal(quotify ? PyObject_CallOneArg(quotify.get(), value) : nullptr);
    }
    if (!text) return nullptr;
    // Tcl parses the text with this interpreter, which tkinter does not
    // guard here.
    Ref tk;
    if (host::check_owner_thread(self, st.s_thread.get())) {
        tk = Ref::steal(PyObject_GetAttr(self, st.s_tk.get()));
    } else if (!host::remote_instead(self, tk)) {
        return nullptr;
    }
    if (!tk) return nullptr;
    return capi::call_method(tk.get(), st.s_getboolean.get(), text.get());
}

PyObject* cast_array_fn(Function* f, PyObject* const* argv) {
    State& st = state_of(f);
    PyObject* value = argv[kCastArray.slot("value")];
    int mapping = PyObject_IsInstance(value, st.Mapping.get());
    if (mapping < 0) return nullptr;
    if (mapping) return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value);

    // The package's cast_list, whatever it is now.
    Ref cast = package_attr(st, st.s_cast_list.get());
    if (!cast) return nullptr;
    Ref items;
    if (PyObject_TypeCheck(cast.get(), Py_TYPE(f)) && reinterpret_cast<Function*>(cast.get())->def == &kCastList &&
        reinterpret_cast<Function*>(cast.get())->module == f->module) {
        items = cast_list(st, value);
    } else {
        items = Ref::steal(PyObject_CallOneArg(cast.get(), value));
    }
    if (!items) return nullptr;
    Py_ssize_t n = PyObject_Size(items.get());
    if (n < 0) return nullptr;
    if (n % 2) {
        Ref quotify = package_attr(st, st.s_quotify.get());
        Ref text = Ref::steal(quotify ? PyObject_CallOneArg(quotify.get(), items.get()) : nullptr);
        if (!text) return nullptr;
        return PyErr_Format(PyExc_ValueError, "not a list of name/value pairs (%zd elements): %R", n, text.get());
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    if (PyList_CheckExact(items.get())) {
        // dict(zip(items[0::2], items[1::2])): a later name wins. A cast_list
        // of the caller's may give a list that others hold and change: each
        // item taken as a strong reference under the list's lock.
        for (Py_ssize_t i = 0;; i += 2) {
            Ref key = capi::list_item(items.get(), i);
            Ref item = key ? capi::list_item(items.get(), i + 1) : Ref();
            if (!item) break;
            if (PyDict_SetItem(result.get(), key.get(), item.get()) < 0) return nullptr;
        }
        return result.release();
    }
    // Another sequence, from a cast_list of the caller's: sliced as the
    // expression above slices it.
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref even_slice = Ref::steal(zero && two ? PySlice_New(zero.get(), Py_None, two.get()) : nullptr);
    Ref odd_slice = Ref::steal(one && two ? PySlice_New(one.get(), Py_None, two.get()) : nullptr);
    if (!even_slice || !odd_slice) return nullptr;
    Ref keys = Ref::steal(PyObject_GetItem(items.get(), even_slice.get()));
    Ref values = Ref::steal(keys ? PyObject_GetItem(items.get(), odd_slice.get()) : nullptr);
    Ref key_it = Ref::steal(values ? PyObject_GetIter(keys.get()) : nullptr);
    Ref value_it = Ref::steal(key_it ? PyObject_GetIter(values.get()) : nullptr);
    if (!value_it) return nullptr;
    while (Ref key = Ref::steal(PyIter_Next(key_it.get()))) {
        Ref item = Ref::steal(PyIter_Next(value_it.get()));
        if (!item) break;
        if (PyDict_SetItem(result.get(), key.get(), item.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

}  // namespace

}  // namespace internal
