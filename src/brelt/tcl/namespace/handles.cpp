// What the handle classes share (declared in state.hpp): the interpreter a
// new handle holds, the words of a request, the place of a class in a
// hierarchy that mixes others in, and the absolute form of a handle's name.
#include "fastpath.hpp"
#include "names.hpp"

namespace tclns {

// Whether module `pkg` may still be being imported (its __spec__ says so, or
// cannot tell), read from its dict: the package's own class answers
// attribute reads slowly.
static bool maybe_initializing(State& st, PyObject* pkg) noexcept {
    PyObject* dict = PyModule_Check(pkg) ? PyModule_GetDict(pkg) : nullptr;
    Ref spec, flag;
    if (dict == nullptr || PyDict_GetItemRef(dict, st.s_spec.get(), spec.out()) < 0) {
        PyErr_Clear();
        return true;
    }
    if (!spec || spec.get() == Py_None) return false;
    int busy = PyObject_GetOptionalAttr(spec.get(), st.s_initializing.get(), flag.out());
    if (busy > 0) busy = PyObject_IsTrue(flag.get());
    if (busy < 0) PyErr_Clear();
    return busy != 0;
}

PyObject* the_package(State& st) noexcept {
    // Imported when a handle is built, never at module import: the package
    // is normally in sys.modules already, and only then looked up there.
    // A None there means "not importable": the import system says so.
    // Taken from sys.modules straight away once its import has finished;
    // while it runs, the import system waits for it.
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_CheckExact(modules)) {
        Ref found;
        if (PyDict_GetItemRef(modules, st.package_name.get(), found.out()) < 0) return nullptr;
        if (found && found.get() != Py_None) {
#ifndef Py_GIL_DISABLED
            // The module last found imported (held, so never another one
            // at its address) is asked once.
            if (found.get() == st.package_seen.get()) return found.release();
#endif
            if (!maybe_initializing(st, found.get())) {
#ifndef Py_GIL_DISABLED
                st.package_seen = Ref::borrow(found.get());
#endif
                return found.release();
            }
        }
    }
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

PyObject* chain_enter(State& st, PyObject* cls, PyObject* self) noexcept {
    Ref hook;
    if (!next_hook(cls, self, st.s_enter.get(), hook)) return nullptr;
    return hook ? PyObject_CallNoArgs(hook.get()) : Py_NewRef(self);
}

PyObject* chain_exit(State& st, PyObject* cls, PyObject* self, PyObject* exc_info) noexcept {
    Ref hook;
    if (!next_hook(cls, self, st.s_exit.get(), hook)) return nullptr;
    if (hook) return PyObject_Call(hook.get(), exc_info, nullptr);
    Py_RETURN_FALSE;
}

PyObject* absolute_name(State& st, PyObject* self, PyObject* name) noexcept {
    int abs = starts_with_colons(st, name);
    if (abs < 0) return nullptr;
    if (abs) return Py_NewRef(name);
    Ref tcl, tk;
    if (!interp_tk(st, self, tcl, tk)) return nullptr;
    // The plain command word: the one request that names no "::" command.
    PyObject* args[] = {tk.get(), st.w_namespace.get(), st.w_current.get()};
    Ref current = Ref::steal(call_tk(st, tcl.get(), TkMethod::call, args, 3));
    if (!current) return nullptr;
    return ns_join2(st, current.get(), name);
}

PyObject* store_absolute(State& st, PyObject* self, PyObject* attr) noexcept {
    Ref name = Ref::steal(call_method(self, st.s_absolute.get()));
    if (!name || PyObject_SetAttr(self, attr, name.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tclns
