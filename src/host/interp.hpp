// The package's interpreter objects as the C modules see them.
//
// A handle holds its interpreter as `tcl`: an Interpreter, a weak proxy on
// one, or the package brelt.tcl itself, which stands for its default
// interpreter (created on first use). Every request looks through `tcl` to
// the Interpreter, checks that the calling thread owns it, and sends to its
// Tcl application object `tk`. A Tcl interpreter must only be used by the
// thread that created it: tkinter refuses other threads only when Tcl
// reports itself threaded (Tcl 8.6 does, Tcl 9 does not), so the check is
// the package's own, on every Tcl release.
#pragma once

#if defined(__linux__)
#  include <pthread.h>
#endif

#include <cstring>

#include "call.hpp"
#include "private_api.hpp"
#include "ref.hpp"
#include "shared.hpp"

namespace host {

using capi::Ref;

// The names the look-through reads, interned once by the module that uses
// them (held in its state).
struct Names {
    PyObject* thread;               // "_thread": the Interpreter's owner thread
    PyObject* tk;                   // "tk"
    PyObject* default_interpreter;  // "_default_interpreter": the package's global
    PyObject* default_method;       // "_default": the package's method that creates it
};

inline constexpr const char* kGoneMessage =
    "the Interpreter object was collected: keep a reference to it for as long as its handles are used";

// Whether `obj` is tkinter's Tcl application object (root.tk): what is
// most often passed by mistake where an Interpreter belongs.
inline bool is_tcl_application(PyObject* obj) noexcept {
    return std::strcmp(Py_TYPE(obj)->tp_name, "_tkinter.tkapp") == 0;
}

// TypeError for `obj` passed as an interpreter; the usual mistake, tkinter's
// Tcl application object, is named. Always NULL.
inline std::nullptr_t wrong_interpreter(PyObject* obj) noexcept {
    if (is_tcl_application(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "tcl must be an Interpreter (or the package brelt.tcl), not a Tcl application object "
                        "(_tkinter.tkapp): pass the Interpreter whose tk it is");
    } else {
        PyErr_Format(PyExc_TypeError, "tcl must be an Interpreter (or the package brelt.tcl), not %.200s",
                     Py_TYPE(obj)->tp_name);
    }
    return nullptr;
}

// What a handle stores as `tcl` for `interp` (an Interpreter, the package,
// or a weak proxy on one): a weak proxy. What cannot be held weakly is no
// interpreter.
inline PyObject* interpreter_proxy(PyObject* interp) noexcept {
    if (PyWeakref_CheckProxy(interp)) return Py_NewRef(interp);
    PyObject* proxy = PyWeakref_NewProxy(interp, nullptr);
    if (proxy != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return proxy;
    PyErr_Clear();
    return wrong_interpreter(interp);
}

// The Interpreter (or other object) behind `tcl`, a new reference in
// `target`. A weak proxy whose interpreter is gone raises ReferenceError
// saying so.
inline bool interpreter_of(const Names& n, PyObject* tcl, Ref& target) noexcept {
    if (PyWeakref_CheckProxy(tcl)) {
        int alive = capi::weak_proxy_target(tcl, target);
        if (alive < 0) return false;
        if (alive == 0) {
            PyErr_SetString(PyExc_ReferenceError, kGoneMessage);
            return false;
        }
    } else {
        target = Ref::borrow(tcl);
    }
    if (PyModule_Check(target.get())) {
        // The package: its default interpreter, made on first use. The
        // global is held as it is read (capi::dict_get): another thread may
        // set it meanwhile and drop the value it replaces.
        PyObject* globals = PyModule_GetDict(target.get());  // the module holds it
        Ref interp = capi::dict_get(globals, n.default_interpreter);
        if (!interp && PyErr_Occurred()) return false;
        if (interp && interp.get() != Py_None) {
            target = std::move(interp);
        } else if (interp.get() == Py_None) {
            target = Ref::steal(capi::call_method(target.get(), n.default_method));
            if (!target) return false;
        }
    }
    return true;
}

// Whether `owner`, a thread's identity as an exact int (an Interpreter's
// `_thread`), is the calling thread: 1 or 0, or -1 with an exception.
inline int is_calling_thread(PyObject* owner) noexcept {
    unsigned long ident = 0;
    if (!capi::small_unsigned(owner, ident)) {
        ident = PyLong_AsUnsignedLong(owner);
        if (ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    }
#if defined(__linux__)
    // What PyThread_get_thread_ident() answers there, without the call.
    return ident == static_cast<unsigned long>(pthread_self()) ? 1 : 0;
#else
    return ident == PyThread_get_thread_ident() ? 1 : 0;
#endif
}

// The decision of check_owner() below for an interpreter whose `_thread`
// is `owner`, already read (NULL, or no int: none recorded, any thread may).
inline bool owner_allows_caller(PyObject* owner) noexcept {
    if (owner == nullptr || !PyLong_CheckExact(owner)) return true;
    int mine = is_calling_thread(owner);
    if (mine == 0) PyErr_SetString(PyExc_RuntimeError, "Calling Tcl from different apartment");
    return mine > 0;
}

// True when the calling thread owns `interpreter`, or when it records no
// owner (an object that is not an Interpreter: tkinter's checks are all
// there is). Otherwise false with RuntimeError (tkinter's own words for the
// same refusal).
inline bool check_owner(const Names& n, PyObject* interpreter) noexcept {
    Ref owner;
    if (PyObject_GetOptionalAttr(interpreter, n.thread, owner.out()) < 0) return false;
    return owner_allows_caller(owner.get());
}

// check_owner() for a module that keeps only the name "_thread".
inline bool check_owner_thread(PyObject* interpreter, PyObject* thread_name) noexcept {
    return check_owner(Names{thread_name, nullptr, nullptr, nullptr}, interpreter);
}

// Call when check_owner() refused the calling thread (RuntimeError set): a
// threaded Interpreter (Interpreter(threaded=True)) serves every thread, and
// its attribute `_remote` is its application object as another thread sees
// it, whose methods run on the interpreter's own thread. True with `tk` set
// to it; otherwise false with the refusal still set.
inline bool remote_instead(PyObject* interpreter, Ref& tk) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
    Ref refusal = Ref::steal(PyErr_GetRaisedException());
    Ref name = Ref::steal(PyUnicode_InternFromString("_remote"));
    if (!name) return false;
    Ref remote;
    int found = PyObject_GetOptionalAttr(interpreter, name.get(), remote.out());
    if (found < 0) return false;
    if (found == 0) {
        PyErr_SetRaisedException(refusal.release());
        return false;
    }
    tk = std::move(remote);
    return true;
}

// The checked Interpreter behind `tcl`: looked through, owned by the
// calling thread.
inline bool checked_interpreter(const Names& n, PyObject* tcl, Ref& target) noexcept {
    return interpreter_of(n, tcl, target) && check_owner(n, target.get());
}

// For the paths without a module state (failures only): the names made
// for the occasion.
class OwnNames {
public:
    OwnNames() noexcept
        : thread_(Ref::steal(PyUnicode_InternFromString("_thread"))),
          tk_(Ref::steal(PyUnicode_InternFromString("tk"))),
          default_interpreter_(Ref::steal(PyUnicode_InternFromString("_default_interpreter"))),
          default_method_(Ref::steal(PyUnicode_InternFromString("_default"))) {}
    bool ok() const noexcept {
        if (thread_ && tk_ && default_interpreter_ && default_method_) return true;
        return false;
    }
    Names names() const noexcept {
        return {thread_.get(), tk_.get(), default_interpreter_.get(), default_method_.get()};
    }

private:
    Ref thread_, tk_, default_interpreter_, default_method_;
};

// The Tcl application object of the interpreter behind `tcl`, checked.
inline bool application_of(PyObject* tcl, Ref& tk) noexcept {
    OwnNames own;
    if (!own.ok()) return false;
    Names n = own.names();
    Ref target;
    if (!checked_interpreter(n, tcl, target)) return false;
    tk = Ref::steal(PyObject_GetAttr(target.get(), n.tk));
    return static_cast<bool>(tk);
}

}  // namespace host
