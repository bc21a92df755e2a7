// Helpers shared by the command and namespace classes.
#include "state.hpp"

namespace tclns {

PyObject* the_package(State& st) noexcept {
    // Imported when a handle is built, never at module import: the package
    // is normally in sys.modules already, and only then looked up there.
    // A None there means "not importable": the import system says so.
    PyObject* pkg = PyImport_GetModule(st.package_name.get());
    if (pkg == Py_None) Py_CLEAR(pkg);
    if (pkg != nullptr || PyErr_Occurred()) return pkg;
    return PyImport_Import(st.package_name.get());
}

PyObject* interp_proxy(State& st, PyObject* tcl) noexcept {
    int truth = tcl == nullptr ? 0 : PyObject_IsTrue(tcl);
    if (truth < 0) return nullptr;
    Ref interp = truth ? Ref::borrow(tcl) : Ref::steal(the_package(st));
    if (!interp) return nullptr;
    return host::interpreter_proxy(interp.get());
}

PyObject* make_words(std::initializer_list<PyObject*> items) noexcept {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(o));
    return t;
}

std::nullptr_t reraise_as_key_error() noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref key_error = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, exc.get()));
    if (!key_error) return nullptr;
    // As `raise KeyError(exc) from exc` inside `except`: cause and context.
    PyException_SetContext(key_error.get(), Py_NewRef(exc.get()));
    PyException_SetCause(key_error.get(), exc.release());
    PyErr_SetRaisedException(key_error.release());
    return nullptr;
}

Ref super_of(PyObject* cls, PyObject* self) noexcept {
    PyObject* args[] = {cls, self};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr));
}

bool init_base(State& st, PyObject* cls, PyObject* self) noexcept {
    Ref sup = super_of(cls, self);
    return sup && Ref::steal(call_method(sup.get(), st.s_init.get()));
}

bool next_hook(PyObject* cls, PyObject* self, PyObject* name, Ref& hook) noexcept {
    Ref sup = super_of(cls, self);
    if (!sup || PyObject_GetOptionalAttr(sup.get(), name, hook.out()) < 0) return false;
    if (!hook) return true;
    int truth = PyObject_IsTrue(hook.get());
    if (truth < 0) return false;
    if (!truth) hook.reset();
    return true;
}

}  // namespace tclns
