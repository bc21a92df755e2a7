// Running Python code on the thread that owns a Tcl interpreter.
//
// A Tcl interpreter is used only by its own thread. Another thread hands it
// work by queueing a Tcl event to that thread (Tcl_ThreadQueueEvent) and
// waking its notifier (Tcl_ThreadAlert): Tcl's own mechanism, the one
// tkinter's marshalled calls use, so a thread waiting in its event loop
// wakes at once and an idle one costs nothing.
#include "internal.hpp"
#include "tclerror.hpp"

namespace internal {

// Tcl's event header, the same on Tcl 8.6 and 9.0.
struct TclEvent {
    int (*proc)(TclEvent* event, int flags);
    TclEvent* next;
};

namespace {

struct PostedCall {
    TclEvent header;
    PyObject* callable;  // strong; released by the event procedure
};

constexpr int kQueueTail = 0;  // TCL_QUEUE_TAIL

// Runs on the interpreter's thread, from inside Tcl_DoOneEvent (where
// tkinter released the GIL). Returns 1: the event is done and Tcl frees it.
int run_posted(TclEvent* event, int) {
    auto* posted = reinterpret_cast<PostedCall*>(event);
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* callable = posted->callable;
    posted->callable = nullptr;
    if (callable != nullptr) {
        PyObject* result = PyObject_CallNoArgs(callable);
        if (result == nullptr) {
            PyErr_WriteUnraisable(callable);
        }
        Py_XDECREF(result);
        Py_DECREF(callable);
    }
    PyGILState_Release(gil);
    return 1;
}

PyObject* current_thread(Function* self, PyObject* const*) {
    State& st = state_of(self);
    return PyLong_FromVoidPtr(st.get_current_thread());
}

PyObject* post(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    void* thread = PyLong_AsVoidPtr(argv[0]);
    if (thread == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "thread must be a Tcl thread id, not 0");
        return nullptr;
    }
    if (!PyCallable_Check(argv[1])) {
        return PyErr_Format(PyExc_TypeError, "callable expected, not %.200s", Py_TYPE(argv[1])->tp_name);
    }
    auto* posted = static_cast<PostedCall*>(st.tcl_alloc(sizeof(PostedCall)));
    if (posted == nullptr) return PyErr_NoMemory();
    posted->header.proc = &run_posted;
    posted->header.next = nullptr;
    posted->callable = Py_NewRef(argv[1]);
    // Neither call runs Python code or waits for the other thread.
    st.thread_queue_event(thread, &posted->header, kQueueTail);
    st.thread_alert(thread);
    Py_RETURN_NONE;
}

PyObject* finalize_thread(Function* self, PyObject* const*) {
    State& st = state_of(self);
    st.finalize_thread();
    Py_RETURN_NONE;
}

// Called in the interpreter's thread right after a request failed: the
// TclError re-raised with Tcl's details of the failure, which the thread
// that asked for the request cannot read itself.
PyObject* attach_error_details(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    PyObject* error = argv[1];
    if (!PyExceptionInstance_Check(error)) {
        return PyErr_Format(PyExc_TypeError, "an exception is required, not %.200s", Py_TYPE(error)->tp_name);
    }
    PyErr_SetRaisedException(Py_NewRef(error));
    return host::raise_tcl_error_details(argv[0], st.TclError.get(), host::TclErrorReport::as_raised);
}

}  // namespace

bool bind_post(State& st) {
    return resolve_symbol(st, "Tcl_Alloc", st.tcl_alloc) && resolve_symbol(st, "Tcl_FinalizeThread", st.finalize_thread) &&
           resolve_symbol(st, "Tcl_ThreadQueueEvent", st.thread_queue_event) &&
           resolve_symbol(st, "Tcl_ThreadAlert", st.thread_alert);
}

const capi::FunctionDef kCurrentThread{"_current_thread", current_thread, R"(_current_thread()
--

Return the calling thread's Tcl thread id (Tcl_GetCurrentThread) as an int.
)"};

const capi::FunctionDef kFinalizeThread{"_finalize_thread", finalize_thread, R"(_finalize_thread()
--

Release the calling thread's Tcl data (Tcl_FinalizeThread) as it ends.

Tcl keeps each thread's event notifier in a list keyed by thread id, and
thread ids are reused: a thread that ends without this leaves a notifier
that a new thread with the same id would be mistaken for. Call it only
when the thread's interpreters are gone or will never be used again.
)"};

const capi::FunctionDef kAttachErrorDetails{"_attach_error_details", attach_error_details,
                                            R"(_attach_error_details(interp, error)
--

Raise error, a TclError of a request to interp that just failed in this
thread, with Tcl's details of the failure (errorinfo, errorcode, the
exception of a failed Python command as its __cause__).
)"};

const capi::FunctionDef kPost{"_post", post, R"(_post(thread, callable)
--

Queue a call of callable() on the Tcl thread whose id is thread (see
_current_thread) and wake that thread's event loop.

The call runs the next time that thread services Tcl events (for instance
in tk.dooneevent()), in the order posted; an exception it raises is
reported as unraisable. Returns at once.
)"};

}  // namespace internal
