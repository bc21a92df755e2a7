// The callable that tkinter registers for a Python function made a Tcl
// command by the package: it calls the function, and on failure hands the
// exception to Tcl as a Tcl error of its own (host/tclerror.hpp,
// report_callback_failure), so Tcl sees "Type: message" and the package
// can give the exception back as the __cause__ of the TclError.
#pragma once

#include "tclerror.hpp"

namespace host {

struct CommandCallable {
    PyObject_HEAD
    PyObject* func;       // strong
    PyObject* tcl_error;  // strong: tkinter.TclError
    Tcl_Interp* interp;   // the interpreter the command lives in; only used
                          // while Tcl calls the command, so alive then
    vectorcallfunc vectorcall;
};

namespace detail {

inline PyObject* callable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    // tkinter holds no reference of its own during the call, and drops the
    // callable when Tcl deletes the command, which the call may do.
    Ref self = Ref::borrow(callable);
    auto* c = reinterpret_cast<CommandCallable*>(callable);
    Ref func = Ref::borrow(c->func);
    Ref tcl_error = Ref::borrow(c->tcl_error);
    Tcl_Interp* interp = c->interp;
    PyObject* result = PyObject_Vectorcall(func.get(), args, nargsf, kwnames);
    if (result == nullptr) report_callback_failure(interp, tcl_error.get());
    return result;
}

inline int callable_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* c = reinterpret_cast<CommandCallable*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->func);
    Py_VISIT(c->tcl_error);
    return 0;
}

inline int callable_clear(PyObject* self) noexcept {
    auto* c = reinterpret_cast<CommandCallable*>(self);
    Py_CLEAR(c->func);
    Py_CLEAR(c->tcl_error);
    return 0;
}

inline void callable_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    callable_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* callable_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<Tcl command calling %R>", reinterpret_cast<CommandCallable*>(self)->func);
}

inline PyMemberDef callable_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CommandCallable, vectorcall), Py_READONLY, nullptr},
    {"__wrapped__", Py_T_OBJECT_EX, offsetof(CommandCallable, func), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot callable_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(callable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(callable_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(callable_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(callable_repr)},
    {Py_tp_members, callable_members},
    {0, nullptr},
};

}  // namespace detail

// The type, made once per module (a heap type of that module).
inline PyObject* make_callable_type(PyObject* module) noexcept {
    static PyType_Spec spec = {
        "brelt.tcl.namespace.CommandCallable", static_cast<int>(sizeof(CommandCallable)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        detail::callable_slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

// What to register with tk.createcommand for `func` on application `tk`: the
// wrapper, or `func` itself when it is not callable (tkinter's own error
// then says so). `address` is what tk.interpaddr() answers, asked for here
// only when needed.
template <class InterpAddr>
PyObject* command_callable(PyObject* type, PyObject* tk, PyObject* func, PyObject* tcl_error,
                           InterpAddr interpaddr) noexcept {
    if (!PyCallable_Check(func)) return Py_NewRef(func);
    Ref address = Ref::steal(interpaddr(tk));
    if (!address) return nullptr;
    void* ip = PyLong_AsVoidPtr(address.get());
    if (ip == nullptr && PyErr_Occurred()) return nullptr;
    auto* c = PyObject_GC_New(CommandCallable, reinterpret_cast<PyTypeObject*>(type));
    if (c == nullptr) return nullptr;
    c->func = Py_NewRef(func);
    c->tcl_error = Py_NewRef(tcl_error);
    c->interp = static_cast<Tcl_Interp*>(ip);
    c->vectorcall = detail::callable_vectorcall;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace host
