// Tcl's own account of a failure, attached to the TclError that reports it.
//
// Right after a request fails, the interpreter's ::errorInfo holds Tcl's
// stack trace and ::errorCode the machine-readable code (a list such as
// "POSIX ENOENT {no such file or directory}"). Both are read at once, before
// anything else can run Tcl code that overwrites them, and stored on the
// exception as `errorinfo` (str) and `errorcode` (tuple of str). The class
// stays tkinter's TclError.
#pragma once

#include "ref.hpp"

namespace capi {

namespace tclerror_detail {

// Names as interned str: the same object at every failure, so that a
// cache keyed by the name (the variables view has one) finds it again
// instead of filling up with copies.
inline Ref interned(const char* text) noexcept { return Ref::steal(PyUnicode_InternFromString(text)); }

inline PyObject* get_attr(PyObject* obj, const char* name) noexcept {
    Ref key = interned(name);
    return key ? PyObject_GetAttr(obj, key.get()) : nullptr;
}

// interp.vars[name]; a Tcl failure to read (a trace that raised) comes back
// from the mapping as KeyError caused by the TclError: that TclError is set
// instead. Returns NULL with an exception set on failure.
inline PyObject* read_var(PyObject* interp, PyObject* tcl_error, const char* name) noexcept {
    Ref vars = Ref::steal(get_attr(interp, "vars"));
    if (!vars) return nullptr;
    Ref key = interned(name);
    if (!key) return nullptr;
    PyObject* value = PyObject_GetItem(vars.get(), key.get());
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
    Ref key_error = Ref::steal(PyErr_GetRaisedException());
    Ref cause = Ref::steal(PyException_GetCause(key_error.get()));
    int is_tcl = cause ? PyObject_IsInstance(cause.get(), tcl_error) : 0;
    if (is_tcl > 0) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())), cause.get());
    } else if (is_tcl == 0) {
        PyErr_SetRaisedException(key_error.release());
    }
    return nullptr;
}

// The words of ::errorCode as a tuple of str; NULL with a TclError set when
// it cannot be read or is not a Tcl list.
inline PyObject* read_code(PyObject* interp, PyObject* tcl_error) noexcept {
    Ref text = Ref::steal(read_var(interp, tcl_error, "::errorCode"));
    if (!text) return nullptr;
    Ref tk = Ref::steal(get_attr(interp, "tk"));
    if (!tk) return nullptr;
    Ref method = interned("splitlist");
    if (!method) return nullptr;
    Ref words = Ref::steal(PyObject_CallMethodOneArg(tk.get(), method.get(), text.get()));
    if (!words) return nullptr;
    Ref tuple = Ref::steal(PySequence_Tuple(words.get()));
    if (!tuple) return nullptr;
    // splitlist gives str words for a str; anything else is shown as text.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i) {
        PyObject* w = PyTuple_GET_ITEM(tuple.get(), i);
        if (PyUnicode_CheckExact(w)) continue;
        PyObject* s = PyObject_Str(w);
        if (s == nullptr) return nullptr;
        // The tuple is ours alone: replacing an item in place is safe.
        PyTuple_SET_ITEM(tuple.get(), i, s);
        Py_DECREF(w);
    }
    return tuple.release();
}

// Drops a TclError that a read raised (the variable's own trouble, which
// must not hide the failure being reported); anything else stays set.
// True when nothing is set afterwards.
inline bool forgive_tcl_error(PyObject* tcl_error) noexcept {
    if (!PyErr_ExceptionMatches(tcl_error)) return false;
    PyErr_Clear();
    return true;
}

inline int set_details(PyObject* exc, PyObject* info, PyObject* code) noexcept {
    if (PyObject_SetAttrString(exc, "errorinfo", info) < 0) return -1;
    return PyObject_SetAttrString(exc, "errorcode", code);
}

// The fallback details of an exception whose variables could not be read:
// its own message and no code.
inline int set_fallback_details(PyObject* exc) noexcept {
    Ref message = Ref::steal(PyObject_Str(exc));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!message || !empty) return -1;
    return set_details(exc, message.get(), empty.get());
}

}  // namespace tclerror_detail

// How the failure is reported.
enum class TclErrorReport {
    // The TclError raised, unchanged but for the two attributes.
    as_raised,
    // A new TclError whose single argument is the stack trace, its context
    // suppressed (`raise TclError(errorinfo) from None`).
    trace_as_message,
};

// Call with the exception of a failed request to the interpreter object
// `interp` (anything with `vars` and `tk`, a weak proxy included) set.
// Anything but a `tcl_error` (tkinter.TclError) passes unchanged; a
// TclError leaves with `errorinfo` and `errorcode`. Always returns NULL.
//
// ::errorInfo is read first: a failure to read it (a trace that raises)
// stops there. Reported as_raised, the original error still leaves, with
// its own message as `errorinfo` and `errorcode` (); reported
// trace_as_message, the read's own TclError leaves instead (there is no
// trace to carry), with the same fallbacks and the original error as its
// context. A failure to read ::errorCode leaves `errorcode` () and hides
// nothing. Other exceptions from the reads (MemoryError, ReferenceError)
// propagate, the original error as their context.
inline std::nullptr_t raise_tcl_error_details(PyObject* interp, PyObject* tcl_error,
                                              TclErrorReport report) noexcept {
    using namespace tclerror_detail;
    if (!PyErr_ExceptionMatches(tcl_error)) return nullptr;
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    // The reads run as if inside `except TclError:`, so whatever they raise
    // has the original failure as its context.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.get());
    auto done = [&]() {
        PyErr_SetHandledException(outer.get());
        return nullptr;
    };

    Ref info = Ref::steal(read_var(interp, tcl_error, "::errorInfo"));
    if (!info) {
        if (!PyErr_ExceptionMatches(tcl_error)) return done();
        if (report == TclErrorReport::trace_as_message) {
            Ref read_failure = Ref::steal(PyErr_GetRaisedException());
            if (set_fallback_details(read_failure.get()) < 0) return done();
            PyErr_SetRaisedException(read_failure.release());
            return done();
        }
        PyErr_Clear();
        if (set_fallback_details(caught.get()) < 0) return done();
        PyErr_SetRaisedException(caught.release());
        return done();
    }
    Ref code = Ref::steal(read_code(interp, tcl_error));
    if (!code) {
        if (!forgive_tcl_error(tcl_error)) return done();
        code = Ref::steal(PyTuple_New(0));
        if (!code) return done();
    }

    Ref exc;
    if (report == TclErrorReport::as_raised) {
        exc = std::move(caught);
    } else {
        exc = Ref::steal(PyObject_CallOneArg(tcl_error, info.get()));
        if (!exc) return done();
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
            return done();
        }
        PyException_SetCause(exc.get(), nullptr);  // also suppresses the context
        PyException_SetContext(exc.get(), caught.release());
    }
    if (set_details(exc.get(), info.get(), code.get()) < 0) return done();
    PyErr_SetRaisedException(exc.release());
    return done();
}

}  // namespace capi
