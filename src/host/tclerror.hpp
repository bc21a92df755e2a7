// Tcl's own account of a failure, attached to the TclError that reports it,
// and a Python callable's failure handed to Tcl.
//
// Right after a request fails, Tcl's return options for that very failure
// (Tcl_GetReturnOptions) hold its stack trace (-errorinfo, which starts
// from this error's message even when ::errorInfo still holds an older
// one) and its machine-readable code (-errorcode, a list such as
// "POSIX ENOENT {no such file or directory}"). They are read through the
// Tcl library, so reading them runs no Tcl command and leaves the
// interpreter exactly as the failure left it: its result, its options.
// They are stored on the exception as `errorinfo` (str) and `errorcode`
// (tuple of str). The class stays tkinter's TclError.
//
// A Python callable registered as a Tcl command that raises (not a
// TclError) fails for Tcl with "Type: message" and -errorcode "PYTHON
// Type"; the exception is kept for the calling thread, and the TclError
// that this failure raises through a request of the package gets it as its
// __cause__.
#pragma once

#include "interp.hpp"
#include "tclapi.hpp"

namespace host {

enum class TclErrorReport {
    // The TclError raised, unchanged but for the two attributes.
    as_raised,
    // A new TclError whose single argument is the stack trace, its context
    // suppressed (`raise TclError(errorinfo) from None`).
    trace_as_message,
};

// Where a request failed. An evaluation (tk.call, tk.eval) starts Tcl's
// error state afresh, so its return options are this failure's own, an
// -errorinfo that the failing code set itself (`error msg INFO`, `return
// -errorinfo`) included. A direct request (a variable read or write) only
// sets the result: -errorinfo may still hold an earlier error's trace.
enum class FailedIn { evaluation, direct_request };

namespace detail {

// The thread's record of the last exception a registered callable raised:
// (Tcl's message for it, the exception).
inline Ref callback_key() noexcept { return Ref::steal(PyUnicode_FromString("brelt.tcl.callback_failure")); }

// The exception kept for a failure whose -errorcode is `code` and whose
// trace is `info`, taken out of the thread's record; empty (and no
// exception set) when none.
inline Ref take_callback_failure(PyObject* info, PyObject* code) noexcept {
    if (PyTuple_GET_SIZE(code) < 2) return {};
    int python = PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code, 0), "PYTHON");
    if (python != 0) return {};
    PyObject* state = PyThreadState_GetDict();
    Ref key = callback_key();
    if (state == nullptr || !key) {
        PyErr_Clear();
        return {};
    }
    Ref entry;
    if (PyDict_GetItemRef(state, key.get(), entry.out()) <= 0 || !PyTuple_Check(entry.get()) ||
        PyTuple_GET_SIZE(entry.get()) != 2) {
        PyErr_Clear();
        return {};
    }
    int match = PyUnicode_Tailmatch(info, PyTuple_GET_ITEM(entry.get(), 0), 0, PY_SSIZE_T_MAX, -1);
    if (match <= 0) {
        PyErr_Clear();
        return {};
    }
    if (PyDict_DelItem(state, key.get()) < 0) PyErr_Clear();
    return Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1));
}

inline void keep_callback_failure(PyObject* message, PyObject* exc) noexcept {
    PyObject* state = PyThreadState_GetDict();
    Ref key = callback_key();
    Ref entry = Ref::steal(PyTuple_Pack(2, message, exc));
    if (state == nullptr || !key || !entry || PyDict_SetItem(state, key.get(), entry.get()) < 0) PyErr_Clear();
}

inline int set_details(PyObject* exc, PyObject* info, PyObject* code) noexcept {
    if (PyObject_SetAttrString(exc, "errorinfo", info) < 0) return -1;
    return PyObject_SetAttrString(exc, "errorcode", code);
}

// The words of a -errorcode value as a tuple of str; () when it is not a
// list.
inline Ref code_words(const TclApi& api, Tcl_Obj* code) noexcept {
    Py_ssize_t n = 0;
    Tcl_Obj** items = nullptr;
    if (code == nullptr || !api.elements(code, &n, &items)) return Ref::steal(PyTuple_New(0));
    Ref words = Ref::steal(PyTuple_New(n));
    if (!words) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref w = text_of(api, items[i]);
        if (!w) return {};
        PyTuple_SET_ITEM(words.get(), i, w.release());
    }
    return words;
}

// Reads the return options of the failure just reported by the Tcl
// interpreter of `interp` into `info` and `code`. False with an exception
// set when they cannot be read.
inline bool read_options(PyObject* interp, PyObject* fallback_message, FailedIn where, Ref& info, Ref& code) noexcept {
    Ref tk;
    if (!application_of(interp, tk)) return false;
    Ref address = Ref::steal(capi::call_method(tk.get(), "interpaddr"));
    if (!address) return false;
    void* ip = PyLong_AsVoidPtr(address.get());
    if (ip == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the Tcl interpreter is gone");
        return false;
    }
    const TclApi* api = tcl_api();
    if (api == nullptr) return false;
    auto* interp_ptr = static_cast<Tcl_Interp*>(ip);
    TclRef options(*api, api->get_return_options(interp_ptr, TCL_ERROR));
    TclRef info_key(*api, api->new_string("-errorinfo", 10));
    TclRef code_key(*api, api->new_string("-errorcode", 10));
    Tcl_Obj* info_obj = nullptr;
    Tcl_Obj* code_obj = nullptr;
    api->dict_obj_get(nullptr, options.get(), info_key.get(), &info_obj);
    api->dict_obj_get(nullptr, options.get(), code_key.get(), &code_obj);
    info = info_obj != nullptr ? text_of(*api, info_obj) : Ref::borrow(fallback_message);
    if (!info) return false;
    if (where == FailedIn::direct_request) {
        // A trace that does not start from this failure's message is an
        // earlier error's: this failure's trace is its message alone.
        Py_ssize_t starts = PyUnicode_Tailmatch(info.get(), fallback_message, 0, PY_SSIZE_T_MAX, -1);
        if (starts < 0) return false;
        if (starts == 0) info = Ref::borrow(fallback_message);
    }
    code = code_words(*api, code_obj);
    return static_cast<bool>(code);
}

// The details that a TclError already carries (`errorinfo` a str and
// `errorcode` a tuple, as set by set_details() in the thread that ran the
// request): `carried` true and both set. False only with an exception.
inline bool carried_details(PyObject* exc, Ref& info, Ref& code, bool& carried) noexcept {
    carried = false;
    PyObject* dict = PyObject_GenericGetDict(exc, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return true;
    }
    Ref d = Ref::steal(dict);
    Ref info_key = Ref::steal(PyUnicode_InternFromString("errorinfo"));
    Ref code_key = Ref::steal(PyUnicode_InternFromString("errorcode"));
    if (!info_key || !code_key) return false;
    Ref i, c;
    if (PyDict_GetItemRef(d.get(), info_key.get(), i.out()) < 0 ||
        PyDict_GetItemRef(d.get(), code_key.get(), c.out()) < 0) {
        return false;
    }
    if (i && c && PyUnicode_Check(i.get()) && PyTuple_Check(c.get())) {
        info = std::move(i);
        code = std::move(c);
        carried = true;
    }
    return true;
}

}  // namespace detail

// Call with the exception of a failed request to the interpreter object
// `interp` (an Interpreter, a weak proxy on one, or the package standing for
// the default interpreter) set, in the thread that made the request.
// Anything but a `tcl_error` (tkinter.TclError) passes unchanged; a
// TclError leaves with `errorinfo` and `errorcode`, and with the exception
// of a registered Python callable that caused it as its __cause__.
// Always returns NULL.
//
// When the details cannot be read because the interpreter object is gone
// (ReferenceError) or no longer answers (TclError), the error still leaves,
// with its own message as `errorinfo` and `errorcode` (). Any other
// exception from the reading (MemoryError, an application object that
// fails) propagates, the original error as its context.
inline std::nullptr_t raise_tcl_error_details(PyObject* interp, PyObject* tcl_error, TclErrorReport report,
                                              FailedIn where) noexcept {
    using namespace detail;
    if (!PyErr_ExceptionMatches(tcl_error)) return nullptr;
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    // The reading runs as if inside `except TclError:`, so whatever it raises
    // has the original failure as its context.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.get());
    auto done = [&]() {
        PyErr_SetHandledException(outer.get());
        return nullptr;
    };

    Ref message = Ref::steal(PyObject_Str(caught.get()));
    if (!message) return done();
    Ref info, code, carried_cause;
    bool carried = false;
    if (!carried_details(caught.get(), info, code, carried)) return done();
    if (carried) {
        // Read in the interpreter's own thread, which ran the request for a
        // threaded interpreter: this thread must not touch it.
        carried_cause = Ref::steal(PyException_GetCause(caught.get()));
    } else if (!read_options(interp, message.get(), where, info, code)) {
        if (!PyErr_ExceptionMatches(tcl_error) && !PyErr_ExceptionMatches(PyExc_ReferenceError)) return done();
        PyErr_Clear();
        info = Ref::borrow(message.get());
        code = Ref::steal(PyTuple_New(0));
        if (!code) return done();
        report = TclErrorReport::as_raised;  // no trace to show
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
    if (carried) {
        if (carried_cause) PyException_SetCause(exc.get(), carried_cause.release());
    } else if (Ref cause = take_callback_failure(info.get(), code.get())) {
        PyException_SetCause(exc.get(), cause.release());
    }
    PyErr_SetRaisedException(exc.release());
    return done();
}

// Called by the wrapper of a registered Python callable, inside Tcl's call
// of the command, with the callable's exception set: makes it the command's
// Tcl error and leaves it set (so tkinter reports the failure to Tcl). A
// TclError passes unchanged: it is a failed request's own error, whose
// message and options are still the interpreter's.
inline void report_callback_failure(Tcl_Interp* interp, PyObject* tcl_error) noexcept {
    using namespace detail;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    int is_tcl = PyObject_IsInstance(exc.get(), tcl_error);
    if (is_tcl != 0) {
        if (is_tcl < 0) PyErr_Clear();
        if (is_tcl > 0) {
            // Relayed: the cause it carries stays with the failure.
            Ref cause = Ref::steal(PyException_GetCause(exc.get()));
            Ref info = cause ? Ref::steal(PyObject_GetAttrString(exc.get(), "errorinfo")) : Ref();
            if (info && PyUnicode_Check(info.get())) {
                Ref first = Ref::steal(PyObject_Str(exc.get()));
                if (first) keep_callback_failure(first.get(), cause.get());
            }
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc.release());
        return;
    }
    const TclApi* api = tcl_api();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    Ref message;
    if (name && text) {
        message = PyUnicode_GET_LENGTH(text.get()) == 0
                      ? Ref::borrow(name.get())
                      : Ref::steal(PyUnicode_FromFormat("%U: %U", name.get(), text.get()));
    }
    Ref name_utf8 = name ? Ref::steal(PyUnicode_AsEncodedString(name.get(), "utf-8", "surrogatepass")) : Ref();
    Ref message_utf8 = message ? Ref::steal(PyUnicode_AsEncodedString(message.get(), "utf-8", "surrogatepass")) : Ref();
    if (api == nullptr || interp == nullptr || !name_utf8 || !message_utf8) {
        PyErr_Clear();  // the exception still fails the command, without a message
        PyErr_SetRaisedException(exc.release());
        return;
    }
    Tcl_Obj* words[] = {api->new_string("PYTHON", 6),
                        api->new_string(PyBytes_AS_STRING(name_utf8.get()), PyBytes_GET_SIZE(name_utf8.get()))};
    api->set_obj_result(interp,
                        api->new_string(PyBytes_AS_STRING(message_utf8.get()), PyBytes_GET_SIZE(message_utf8.get())));
    api->set_obj_error_code(interp, api->new_list(2, words));
    keep_callback_failure(message.get(), exc.get());
    PyErr_SetRaisedException(exc.release());
}

}  // namespace host
