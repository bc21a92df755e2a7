// What the four views of a TclNamespace share (views.hpp). A view holds
// nothing but its namespace: each operation is one request through a fresh
// handle on the qualified name, or the same request sent directly.
#include "views.hpp"

#include "lazy_iter.hpp"
#include "names.hpp"

namespace tclns {

bool own_view(State& st, PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, st.VariablesView.as<PyTypeObject>()) || Py_IS_TYPE(obj, st.ObjectsView.as<PyTypeObject>()) ||
           Py_IS_TYPE(obj, st.CommandsView.as<PyTypeObject>()) || Py_IS_TYPE(obj, st.ProcsView.as<PyTypeObject>());
}

PyObject* view_ns(State& st, PyObject* self) noexcept {
    return AttrReader(st, self, own_view(st, self))(st.s_ns.get());
}

Ref module_class(State& st, PyObject* module, PyObject* name) noexcept {
    return capi::module_global(st.requests.memo, module, name);
}

// TclNamespace.join(ns, name), for a key that names a variable or command.
// A key whose last part is empty (None, '', '::', '::app::', 'sub::') is
// refused: join() drops that empty part, so the key would address the
// namespace's own name or another of its parts, which the key never meant.
// So is an absolute key that is the namespace's own name ('::app' in the
// views of ::app).
PyObject* qualify(State& st, PyObject* ns, PyObject* name) noexcept {
    Ref key = Ref::steal(quotify_str(st, name));
    if (!key) return nullptr;
    auto refuse = [&]() -> PyObject* {
        PyErr_Format(PyExc_ValueError, "Invalid Tcl name '%U': it names no variable or command", key.get());
        return nullptr;
    };
    Py_ssize_t ends = PyUnicode_Tailmatch(key.get(), st.t_colons.get(), 0, PY_SSIZE_T_MAX, 1);
    if (ends < 0) return nullptr;
    if (ends || PyUnicode_GET_LENGTH(key.get()) == 0) return refuse();
    Ref base = Ref::steal(namespace_name(st, ns));
    Ref joined = base ? Ref::steal(ns_join2(st, base.get(), key.get())) : Ref();
    if (!joined) return nullptr;
    // Only an absolute key can join to the namespace itself.
    Py_ssize_t absolute = PyUnicode_Tailmatch(key.get(), st.t_colons.get(), 0, PY_SSIZE_T_MAX, -1);
    if (absolute < 0) return nullptr;
    if (absolute) {
        Ref itself = Ref::steal(ns_join2(st, base.get(), st.t_empty.get()));
        if (!itself) return nullptr;
        int same = PyObject_RichCompareBool(joined.get(), itself.get(), Py_EQ);
        if (same < 0) return nullptr;
        if (same) return refuse();
    }
    return joined.release();
}

PyObject* qualified_in(State& st, PyObject* self, PyObject* name) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    return ns ? qualify(st, ns.get(), name) : nullptr;
}

// self.byref(name).<method>(*args[1:]) with args[0] the slot for the handle,
// the last len(kwnames) of them passed by keyword.
PyObject* via_handle(State& st, PyObject* self, PyObject* name, PyObject* method, PyObject** args, size_t nargs,
                     PyObject* kwnames) noexcept {
    Ref handle = Ref::steal(call_method(self, st.s_byref.get(), name));
    if (!handle) return nullptr;
    args[0] = handle.get();
    size_t npos = nargs - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return call_method(method, args, npos, kwnames);
}

// make(join(ns, name), *args, tcl=ns.tcl, **kwargs) for the view `view`,
// the joined name as a one-word tuple when `as_word`; `callee` names make
// in the error for a `tcl` keyword given. `kwargs` is a fresh dict of the
// call, so the caller's is untouched.
PyObject* make_byref(State& st, PyObject* make, const char* callee, bool as_word, PyObject* view, PyObject* name,
                     PyObject* args, PyObject* kwargs) noexcept {
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

bool init_view(State& st, PyObject* cls, PyObject* self, PyObject* ns) noexcept {
    if (st.assertions) {
        int ok = PyObject_IsInstance(ns, st.TclNamespace.get());
        if (ok <= 0) {
            if (ok == 0) PyErr_SetNone(PyExc_AssertionError);
            return false;
        }
    }
    if (!own_view(st, self) && !init_base(st, cls, self)) return false;
    return PyObject_SetAttr(self, st.s_ns.get(), ns) == 0;
}

namespace {

// Whether `tail` is a key of the view of namespace `absolute` that names
// `full`: the key is not refused and joins to that very name. 1, 0, or -1
// with an exception.
int is_key_of(State& st, PyObject* absolute, PyObject* tail, PyObject* full) noexcept {
    Ref joined = Ref::steal(qualify(st, absolute, tail));
    if (!joined) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_RichCompareBool(joined.get(), full, Py_EQ);
}

// The names that ("::info", word) answers for the view's namespace itself:
// asked with the namespace's absolute name as the pattern's prefix (Tcl
// reads the namespace part of a pattern as a plain name), so the globals
// that the namespace can see are not among them; their tails, in Tcl's
// order. Variables only declared, which hold no value, are left out: they
// are not `in` the view and cannot be read. So is a name whose tail is no
// key: one with a single ':' ('g:h', 'x:', whose key join() refuses) or an
// empty one, which Tcl allows but no key of the view can address.
PyObject* names_in(State& st, PyObject* self, PyObject* word) noexcept {
    Ref ns = Ref::steal(view_ns(st, self));
    Ref name = ns ? Ref::steal(namespace_name(st, ns.get())) : Ref();
    Ref absolute = name ? Ref::steal(ns_join2(st, st.t_colons.get(), name.get())) : Ref();
    if (!absolute) return nullptr;
    if (PyUnicode_Check(absolute.get()) && PyUnicode_GET_LENGTH(absolute.get()) == 0) {
        absolute = Ref::borrow(st.t_colons.get());
    }
    Ref pattern = Ref::steal(ns_join2(st, absolute.get(), st.t_star.get()));
    Ref words;
    if (pattern && word == st.w_vars.get()) {
        words = Ref::steal(make_words({st.w_apply.get(), st.t_set_vars.get(), pattern.get()}));
    } else if (pattern) {
        words = Ref::steal(make_words({st.w_info.get(), word, pattern.get()}));
    }
    Ref answer = words ? Ref::steal(namespace_call(st, ns.get(), words.get())) : Ref();
    Ref tcl = answer ? Ref::steal(PyObject_GetAttr(ns.get(), st.s_tcl.get())) : Ref();
    Ref names = tcl ? Ref::steal(cast_with(tcl.get(), st.s_cast_list.get(), answer.get())) : Ref();
    if (!names) return nullptr;
    Ref all = Ref::steal(PySequence_List(names.get()));
    Ref list = all ? Ref::steal(PyList_New(0)) : Ref();
    if (!list) return nullptr;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(all.get()); i < n; ++i) {
        Ref full = Ref::borrow(PyList_GET_ITEM(all.get(), i));
        Ref tail = Ref::steal(tail_of(full.get()));
        int key = tail ? is_key_of(st, absolute.get(), tail.get(), full.get()) : -1;
        if (key < 0) return nullptr;
        if (key && PyList_Append(list.get(), tail.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* fetch_vars(State& st, PyObject* self) { return names_in(st, self, st.w_vars.get()); }
PyObject* fetch_commands(State& st, PyObject* self) { return names_in(st, self, st.w_commands.get()); }
PyObject* fetch_procs(State& st, PyObject* self) { return names_in(st, self, st.w_procs.get()); }

}  // namespace

PyObject* iter_vars(Function* fn, PyObject* view) noexcept {
    return new_lazy_iterator(state_of(fn), fn->module, view, fetch_vars);
}

PyObject* iter_commands(Function* fn, PyObject* view) noexcept {
    return new_lazy_iterator(state_of(fn), fn->module, view, fetch_commands);
}

PyObject* iter_procs(Function* fn, PyObject* view) noexcept {
    return new_lazy_iterator(state_of(fn), fn->module, view, fetch_procs);
}

// __len__: the number of names one iteration of the view yields (one
// request).
static PyObject* count(Function* fn, PyObject* const* argv);
extern constexpr capi::FunctionDef kViewLen{"__len__", count, R"doc(__len__(self)
--

The number of names that iteration yields (one request).
)doc"};

static PyObject* count(Function*, PyObject* const* argv) {
    Ref it = Ref::steal(PyObject_GetIter(argv[kViewLen.slot("self")]));
    if (!it) return nullptr;
    Py_ssize_t n = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) ++n;
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(n);
}

}  // namespace tclns
