// The lazy iterator: an iterator that asks for its items at the first
// next(), which the array handles and the namespace views return from
// __iter__, so that iter() alone sends no request.
#include "lazy_iter.hpp"

namespace tclns {

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
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)}, {Py_tp_iternext, reinterpret_cast<void*>(lazy_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(lazy_traverse)}, {Py_tp_clear, reinterpret_cast<void*>(lazy_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lazy_dealloc)},   {0, nullptr},
};

}  // namespace

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
