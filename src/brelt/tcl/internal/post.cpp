// Running Python code on the thread that owns a Tcl interpreter.
//
// A Tcl interpreter is used only by its own thread. Another thread hands it
// work by queueing a Tcl event to that thread (Tcl_ThreadQueueEvent) and
// waking its notifier (Tcl_ThreadAlert): Tcl's own mechanism, the one
// tkinter's marshalled calls use, so a thread waiting in its event loop
// wakes at once and an idle one costs nothing.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>

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

// -- blocking calls ------------------------------------------------------
//
// A request from another thread to a threaded interpreter: the caller queues
// a call to its thread and waits, without the GIL, until that thread has run
// it. The channel of an interpreter says whether it still takes calls; its
// thread closes it before it ends, then runs what is left in Tcl's queue
// (each call then fails as closed), so no caller waits for good.

struct Channel {
    std::mutex mutex;
    bool closing = false;
    void* thread = nullptr;            // the Tcl thread id
    std::atomic<long> in_queue{0};     // calls queued and not yet run
    PyObject* closed_error = nullptr;  // strong: the class raised once closed
};

constexpr const char* kChannelName = "brelt.tcl.internal.channel";

void free_channel(PyObject* capsule) {
    auto* channel = static_cast<Channel*>(PyCapsule_GetPointer(capsule, kChannelName));
    if (channel == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(channel->closed_error);
    delete channel;
}

Channel* channel_of(PyObject* capsule) { return static_cast<Channel*>(PyCapsule_GetPointer(capsule, kChannelName)); }

// What the caller waits on: on its own stack, alive until it has seen
// `done`, which the interpreter's thread sets (and signals) under `mutex`.
// POSIX's own primitives: std::condition_variable's wait would tie the
// modules to a newer C++ runtime than the wheels may require.
struct Waiter {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t signal = PTHREAD_COND_INITIALIZER;
    bool done = false;
    PyObject* result = nullptr;  // strong, or NULL with `error` set
    PyObject* error = nullptr;   // strong

    Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    ~Waiter() {
        pthread_cond_destroy(&signal);
        pthread_mutex_destroy(&mutex);
    }
};

struct CallEvent {
    TclEvent header;
    Waiter* waiter;
    Channel* channel;  // alive: the capsule is among the caller's arguments
    State* state;      // the module's: alive while the caller runs its function
    PyObject* interp;  // borrowed from the caller, who waits: a weak reference
    PyObject* method;  // borrowed, likewise
    PyObject* const* args;
    Py_ssize_t nargs;
};

// How the failed call reached Tcl: tkinter's call and eval evaluate, its
// other methods (variable reads and writes) request directly.
host::FailedIn failed_in(PyObject* method) noexcept {
    if (PyCFunction_Check(method)) {
        const char* name = reinterpret_cast<PyCFunctionObject*>(method)->m_ml->ml_name;
        if (std::strcmp(name, "call") == 0 || std::strcmp(name, "eval") == 0) return host::FailedIn::evaluation;
    }
    return host::FailedIn::direct_request;
}

// Runs the call on the interpreter's thread (inside Tcl_DoOneEvent, where
// tkinter released the GIL); a TclError leaves with its details, read here.
int run_call(TclEvent* event, int) {
    auto* call = reinterpret_cast<CallEvent*>(event);
    Waiter* waiter = call->waiter;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = nullptr;
    bool closing;
    {
        std::lock_guard<std::mutex> lock(call->channel->mutex);
        closing = call->channel->closing;
    }
    if (closing) {
        PyErr_SetString(call->channel->closed_error, "the threaded Tcl interpreter is closed");
    } else {
        result = PyObject_Vectorcall(call->method, call->args, static_cast<size_t>(call->nargs), nullptr);
        if (result == nullptr && PyErr_ExceptionMatches(call->state->TclError.get())) {
            PyObject* interp = nullptr;
            if (PyWeakref_GetRef(call->interp, &interp) > 0) {
                host::raise_tcl_error_details(interp, call->state->TclError.get(), host::TclErrorReport::as_raised,
                                              failed_in(call->method));
                Py_DECREF(interp);
            }
        }
    }
    PyObject* error = result == nullptr ? PyErr_GetRaisedException() : nullptr;
    call->channel->in_queue.fetch_sub(1, std::memory_order_acq_rel);
    // The GIL goes before the caller wakes, so that it need not wait for it
    // (tkinter's marshalled calls do the same); the caller takes over the
    // result's reference.
    PyGILState_Release(gil);
    // Signalled under the lock: the caller cannot leave (and free the
    // waiter) before it is released.
    pthread_mutex_lock(&waiter->mutex);
    waiter->result = result;
    waiter->error = error;
    waiter->done = true;
    pthread_cond_signal(&waiter->signal);
    pthread_mutex_unlock(&waiter->mutex);
    return 1;
}

PyObject* remote_call(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* new_channel(Function*, PyObject* const* argv);
PyObject* close_channel(Function*, PyObject* const* argv);
PyObject* current_thread(Function* self, PyObject* const*);
PyObject* post(Function* self, PyObject* const* argv);
PyObject* finalize_thread(Function* self, PyObject* const*);
PyObject* attach_error_details(Function* self, PyObject* const* argv);

}  // namespace

constexpr capi::FunctionDef kCurrentThread{"_current_thread", current_thread, R"(_current_thread()
--

Return the calling thread's Tcl thread id (Tcl_GetCurrentThread) as an int.
)"};

constexpr capi::FunctionDef kFinalizeThread{"_finalize_thread", finalize_thread, R"(_finalize_thread()
--

Release the calling thread's Tcl data (Tcl_FinalizeThread) as it ends.

Tcl keeps each thread's event notifier in a list keyed by thread id, and
thread ids are reused: a thread that ends without this leaves a notifier
that a new thread with the same id would be mistaken for. Call it only
when the thread's interpreters are gone or will never be used again.
)"};

constexpr capi::FunctionDef kAttachErrorDetails{"_attach_error_details", attach_error_details,
                                                R"(_attach_error_details(interp, error)
--

Raise error, a TclError of a request to interp that just failed in this
thread, with Tcl's details of the failure (errorinfo, errorcode, the
exception of a failed Python command as its __cause__).
)"};

constexpr capi::FunctionDef kRemoteCall{"_remote_call", remote_call, R"(_remote_call(channel, interp_ref, method, *args)
--

Call method(*args) on the Tcl thread of channel (see _new_channel) and
return its result, waiting without the GIL; a TclError comes back with
Tcl's details of the failure, read on that thread for the interpreter that
interp_ref (a weak reference) names. Raises the channel's closed error once
it is closed.
)"};

constexpr capi::FunctionDef kNewChannel{"_new_channel", new_channel, R"(_new_channel(thread, closed_error)
--

A channel to the Tcl thread whose id is thread, for _remote_call;
closed_error is the exception class its calls raise once it is closed.
)"};

constexpr capi::FunctionDef kCloseChannel{"_close_channel", close_channel, R"(_close_channel(channel)
--

Close channel to new calls; return the number still queued, which the
channel's thread must let run (they fail as closed) before it ends.
)"};

constexpr capi::FunctionDef kPost{"_post", post, R"(_post(thread, callable)
--

Queue a call of callable() on the Tcl thread whose id is thread (see
_current_thread) and wake that thread's event loop.

The call runs the next time that thread services Tcl events (for instance
in tk.dooneevent()), in the order posted; an exception it raises is
reported as unraisable. Returns at once.
)"};

namespace {

// _remote_call(channel, interp_ref, method, *args)
PyObject* remote_call(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 3 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0)) {
        PyErr_SetString(PyExc_TypeError, "_remote_call(channel, interp_ref, method, *args)");
        return nullptr;
    }
    Channel* channel = channel_of(args[0]);
    if (channel == nullptr) return nullptr;
    State& st = state_of(self);
    auto* call = static_cast<CallEvent*>(st.tcl_alloc(sizeof(CallEvent)));
    if (call == nullptr) return PyErr_NoMemory();
    Waiter waiter;
    call->header.proc = &run_call;
    call->header.next = nullptr;
    call->waiter = &waiter;
    call->channel = channel;
    call->state = &st;
    call->interp = args[1];
    call->method = args[2];
    call->args = args + 3;
    call->nargs = nargs - 3;
    {
        std::lock_guard<std::mutex> lock(channel->mutex);
        if (channel->closing) {
            // Never queued: freed here, as Tcl would after running it.
            reinterpret_cast<void (*)(void*)>(st.tcl_free)(call);
            PyErr_SetString(channel->closed_error, "the threaded Tcl interpreter is closed");
            return nullptr;
        }
        channel->in_queue.fetch_add(1, std::memory_order_acq_rel);
        st.thread_queue_event(channel->thread, &call->header, kQueueTail);
        st.thread_alert(channel->thread);
    }
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&waiter.mutex);
    while (!waiter.done) pthread_cond_wait(&waiter.signal, &waiter.mutex);
    pthread_mutex_unlock(&waiter.mutex);
    Py_END_ALLOW_THREADS
    if (waiter.result == nullptr) {
        PyErr_SetRaisedException(waiter.error);
        return nullptr;
    }
    return waiter.result;
}

PyObject* new_channel(Function*, PyObject* const* argv) {
    void* thread = PyLong_AsVoidPtr(argv[kNewChannel.slot("thread")]);
    if (thread == nullptr && PyErr_Occurred()) return nullptr;
    auto* channel = new (std::nothrow) Channel;
    if (channel == nullptr) return PyErr_NoMemory();
    channel->thread = thread;
    channel->closed_error = Py_NewRef(argv[kNewChannel.slot("closed_error")]);
    PyObject* capsule = PyCapsule_New(channel, kChannelName, &free_channel);
    if (capsule == nullptr) {
        Py_DECREF(channel->closed_error);
        delete channel;
    }
    return capsule;
}

// Closes the channel: no call is queued from here on. Returns how many are
// still in Tcl's queue (the interpreter's thread runs them, as closed).
PyObject* close_channel(Function*, PyObject* const* argv) {
    Channel* channel = channel_of(argv[kCloseChannel.slot("channel")]);
    if (channel == nullptr) return nullptr;
    {
        std::lock_guard<std::mutex> lock(channel->mutex);
        channel->closing = true;
    }
    return PyLong_FromLong(channel->in_queue.load(std::memory_order_acquire));
}

PyObject* current_thread(Function* self, PyObject* const*) {
    State& st = state_of(self);
    return PyLong_FromVoidPtr(st.get_current_thread());
}

PyObject* post(Function* self, PyObject* const* argv) {
    State& st = state_of(self);
    void* thread = PyLong_AsVoidPtr(argv[kPost.slot("thread")]);
    PyObject* callable = argv[kPost.slot("callable")];
    if (thread == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "thread must be a Tcl thread id, not 0");
        return nullptr;
    }
    if (!PyCallable_Check(callable)) {
        return PyErr_Format(PyExc_TypeError, "callable expected, not %.200s", Py_TYPE(callable)->tp_name);
    }
    auto* posted = static_cast<PostedCall*>(st.tcl_alloc(sizeof(PostedCall)));
    if (posted == nullptr) return PyErr_NoMemory();
    posted->header.proc = &run_posted;
    posted->header.next = nullptr;
    posted->callable = Py_NewRef(callable);
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
    PyObject* interp = argv[kAttachErrorDetails.slot("interp")];
    PyObject* error = argv[kAttachErrorDetails.slot("error")];
    if (!PyExceptionInstance_Check(error)) {
        return PyErr_Format(PyExc_TypeError, "an exception is required, not %.200s", Py_TYPE(error)->tp_name);
    }
    PyErr_SetRaisedException(Py_NewRef(error));
    // Nothing says how it failed: an earlier error's trace is not taken.
    return host::raise_tcl_error_details(interp, st.TclError.get(), host::TclErrorReport::as_raised,
                                         host::FailedIn::direct_request);
}

}  // namespace

bool bind_post(State& st) {
    return resolve_symbol(st, "Tcl_Alloc", st.tcl_alloc) && resolve_symbol(st, "Tcl_Free", st.tcl_free) &&
           resolve_symbol(st, "Tcl_FinalizeThread", st.finalize_thread) &&
           resolve_symbol(st, "Tcl_ThreadQueueEvent", st.thread_queue_event) &&
           resolve_symbol(st, "Tcl_ThreadAlert", st.thread_alert);
}

}  // namespace internal
