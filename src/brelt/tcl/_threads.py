"""The thread of an ``Interpreter(threaded=True)``.

A Tcl interpreter is used only by the thread that created it. A threaded
interpreter is created on a thread of its own, which runs Tcl's event loop
(``after``, ``fileevent``, ``vwait`` and sockets keep working) and runs the
requests that other threads hand it. A request is a Python callable: the
caller queues it here, and the first request of a batch wakes the thread
with a Tcl event (``Tcl_ThreadQueueEvent`` and ``Tcl_ThreadAlert``, the
mechanism tkinter's own marshalled calls use), so an idle interpreter uses
no CPU. The thread runs every request queued when it wakes, in order, then
goes back to Tcl's events.
"""

import _tkinter
import functools
import sys
import threading
import time
import traceback
import weakref
from collections import deque
from concurrent.futures import Future

_get_ident = threading.get_ident
_monotonic = time.monotonic

# Raised to a caller whose request can no longer run.
_CLOSED = "the threaded Tcl interpreter is closed"


class InterpreterClosed(RuntimeError, ReferenceError):
    """A request to a threaded interpreter after ``close()``.

    A ``RuntimeError``; also a ``ReferenceError``, as for an interpreter
    object that is gone: what a finaliser quietly ignores (a temporary whose
    Tcl command went with the interpreter).
    """


def run_here(interp, fn, args, kwargs):
    """``submit`` on a plain interpreter: ``fn`` runs at once, in the thread
    that owns the interpreter; other threads get ``RuntimeError``."""
    if _get_ident() != interp.__dict__.get("_thread"):
        raise RuntimeError("Calling Tcl from different apartment")
    future = Future()
    future.set_running_or_notify_cancel()
    try:
        future.set_result(fn(*args, **kwargs))
    except BaseException as error:  # the future carries it
        future.set_exception(error)
    return future


class _Submitted:
    """One request of ``submit``: its outcome goes to a Future."""

    __slots__ = ("fn", "args", "kwargs", "future")

    def __init__(self, fn, args, kwargs, future):
        self.fn = fn
        self.args = args
        self.kwargs = kwargs
        self.future = future

    def run(self):
        fn, args, kwargs, future = self.fn, self.args, self.kwargs, self.future
        self.fn = self.args = self.kwargs = self.future = None
        # A request whose waiter gave up before it started is not run.
        if not future.set_running_or_notify_cancel():
            return
        try:
            result = fn(*args, **kwargs)
        except BaseException as error:
            future.set_exception(error)
        else:
            future.set_result(result)

    def cancel(self):
        future = self.future
        self.fn = self.args = self.kwargs = self.future = None
        if future.set_running_or_notify_cancel():
            future.set_exception(InterpreterClosed(_CLOSED))


class _Awaited:
    """One request of ``asubmit``: its outcome goes to an asyncio future,
    through its event loop's thread-safe hand-over."""

    __slots__ = ("fn", "args", "kwargs", "future", "loop")

    def __init__(self, fn, args, kwargs, future, loop):
        self.fn = fn
        self.args = args
        self.kwargs = kwargs
        self.future = future
        self.loop = loop

    def run(self):
        fn, args, kwargs, future, loop = self.fn, self.args, self.kwargs, self.future, self.loop
        self.fn = self.args = self.kwargs = self.future = self.loop = None
        # Not started yet and no longer awaited: nothing to do. (Reading the
        # flag from this thread is a benign race: at worst the request runs
        # and its result is dropped.)
        if future.cancelled():
            return
        try:
            result = fn(*args, **kwargs)
        except BaseException as error:
            _hand_over(loop, _set_exception, future, error)
        else:
            _hand_over(loop, _set_result, future, result)

    def cancel(self):
        future, loop = self.future, self.loop
        self.fn = self.args = self.kwargs = self.future = self.loop = None
        _hand_over(loop, _set_exception, future, InterpreterClosed(_CLOSED))


def _hand_over(loop, setter, future, value):
    try:
        loop.call_soon_threadsafe(setter, future, value)
    except RuntimeError:  # the event loop is closed: nobody awaits it
        pass


def _set_result(future, result):
    if not future.done():
        future.set_result(result)


def _set_exception(future, error):
    if not future.done():
        future.set_exception(error)


class Loop:
    """The queue of requests of one threaded interpreter, and its thread.

    Holds no reference to the ``Interpreter``, so that the interpreter can
    be collected (from any thread) while its thread runs: collection closes
    the loop, and the thread then deletes the Tcl interpreter itself.
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.pending = deque()
        self.woken = False  # a wake-up event is queued and not yet run
        self.closing = False
        self.closed = False
        self.ident = None  # the thread's threading.get_ident()
        self.tcl_thread = None  # its Tcl thread id
        self.thread = None
        self.channel = None  # for the blocking requests of RemoteApp
        self._post = None

    # -- the caller's side -------------------------------------------------

    def submit(self, fn, args, kwargs):
        """Queue ``fn(*args, **kwargs)`` and return a Future of its outcome.
        On the interpreter's own thread it runs at once (queueing it would
        wait for the caller to return to the event loop)."""
        future = Future()
        request = _Submitted(fn, args, kwargs, future)
        if _get_ident() == self.ident:
            request.run()
        else:
            self._queue(request)
        return future

    async def asubmit(self, fn, args, kwargs):
        """Await ``fn(*args, **kwargs)`` run on the interpreter's thread."""
        if _get_ident() == self.ident:
            return fn(*args, **kwargs)
        import asyncio

        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self._queue(_Awaited(fn, args, kwargs, future, loop))
        return await future

    def _queue(self, request):
        with self.lock:
            if self.closing:
                raise InterpreterClosed(_CLOSED)
            self.pending.append(request)
            if self.woken:
                return
            self.woken = True
            # Under the lock: the thread cannot finish between the check and
            # the post (it marks itself closing under this lock first).
            self._post(self.tcl_thread, self._drain)

    # -- the interpreter thread's side -------------------------------------

    def _drain(self):
        # The requests queued when this wake-up arrived; later ones wake the
        # thread again, after Tcl's own events had their turn.
        pending = self.pending
        with self.lock:
            count = len(pending)
            self.woken = False
        for _ in range(count):
            try:
                request = pending.popleft()
            except IndexError:
                break
            request.run()

    def close(self):
        """Ask the thread to finish; returns at once."""
        with self.lock:
            if self.closing:
                return
            self.closing = True
            post = self._post if self.tcl_thread is not None else None
        if self.channel is not None:
            _close_channel(self.channel)
        if post is not None:
            # Wakes the thread so that it sees `closing`; runs nothing itself.
            post(self.tcl_thread, _nothing)

    def join(self, timeout=None):
        thread = self.thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout)


def _nothing():
    pass


class _ClosedApp:
    """The ``tk`` of a closed threaded interpreter: every use raises."""

    __slots__ = ()

    def __getattr__(self, name):
        raise InterpreterClosed(_CLOSED)

    def __repr__(self):
        return "<closed Tcl application>"


class AsyncJiv:
    """``tcl.ajiv``: quick calls whose calls return awaitables.

    ``await tcl.ajiv.ns.proc(arg, opt=value)`` runs ``tcl.jiv.ns.proc(arg,
    opt=value)`` on the interpreter's thread (the same words, history and
    casts) without blocking the event loop.
    """

    __slots__ = ("_interp", "_path")

    def __init__(self, interp, path):
        self._interp = interp if type(interp) is weakref.ref else weakref.ref(interp)
        self._path = path

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        return AsyncJiv(self._interp, self._path + (name,))

    def __call__(self, *args, **kwargs):
        interp = self._interp()
        if interp is None:
            raise ReferenceError("the Interpreter of this proxy was collected: keep a reference to it")
        return interp.asubmit(_quick_call, interp.jiv, self._path, args, kwargs)

    def __repr__(self):
        return f"<async quick call {' '.join(self._path) or '(root)'}>"


def _quick_call(jiv, path, args, kwargs):
    for name in path:
        jiv = getattr(jiv, name)
    return jiv(*args, **kwargs)


class RemoteApp:
    """The Tcl application object as another thread sees it.

    Each method runs the application's own method on the interpreter's
    thread while the caller waits without the GIL (a Tcl event queued to
    that thread, as tkinter's own marshalled calls do), and hands back its
    result. A TclError leaves with its details (``errorinfo``,
    ``errorcode``, the ``__cause__`` of a failed Python command) read there,
    right after the failure: the interpreter is never touched from the
    calling thread. The package's requests reach it as ``tk`` when they run
    outside the interpreter's thread.
    """

    __slots__ = ("_channel", "_app", "_interp", "__dict__")  # __dict__: the methods made so far

    def __init__(self, channel, app, interp_ref):
        self._channel = channel
        self._app = app
        self._interp = interp_ref

    def __getattr__(self, name):
        app = self._app
        if app is None:
            raise InterpreterClosed(_CLOSED)
        remote = functools.partial(_remote_call, self._channel, self._interp, getattr(app, name))
        self.__dict__[name] = remote
        return remote

    def __repr__(self):
        return f"<Tcl application {self._app!r} seen from another thread>"


from .internal import _close_channel, _finalize_thread, _new_channel, _remote_call  # noqa: E402

# Interpreters still open at exit, closed by the exit handler.
_open_loops: "weakref.WeakSet[Loop]" = weakref.WeakSet()


def start(interp, setup):
    """Create the Tcl interpreter of ``interp`` on a new thread.

    ``setup(interp, root)`` runs on that thread with the new
    ``tkinter.Tcl()`` and sets the interpreter up; an exception it raises is
    raised here. Returns the ``Loop``.
    """
    from . import _new_root
    from .internal import _current_thread, _post

    loop = Loop()
    loop._post = _post
    target = weakref.ref(interp)
    parked = threading.Event()  # lets go of the threads that could not serve
    try:
        # Tcl finds a thread's event queue by its thread id, and ids of
        # ended threads are reused: a thread that used Tcl and ended without
        # Tcl_FinalizeThread (any thread that made a tkinter.Tcl()) leaves a
        # queue that Tcl takes for the next thread with its id, whose events
        # from other threads then never arrive. Such a thread is detected
        # and kept waiting, so that the next one gets another id.
        for _ in range(64):
            outcome = []
            ready = threading.Event()

            def serve():
                finalize_tcl_at_thread_exit()
                try:
                    root = _new_root()
                    tcl_thread = _current_thread()
                    if not _reaches_itself(root.tk, tcl_thread, _post):
                        root = None
                        outcome.append("stale")
                        ready.set()
                        parked.wait()
                        return
                    # For GetListFromAny(text, root) in other threads.
                    root._brelt_any_thread = True
                    interp = target()
                    setup(interp, root)
                    loop.channel = _new_channel(tcl_thread, InterpreterClosed)
                    remote = RemoteApp(loop.channel, root.tk, target)
                    interp.__dict__["_remote"] = remote
                    interp = None
                except BaseException as error:
                    # The Tcl interpreter goes here, on its own thread: the
                    # error handed over must not keep it (its traceback's
                    # frames, or a half set-up Interpreter).
                    _drop_application(target())
                    traceback.clear_frames(error.__traceback__)
                    root = None
                    outcome.append(error)
                    ready.set()
                    return
                loop.ident = _get_ident()
                loop.tcl_thread = tcl_thread
                outcome.append("ok")
                ready.set()
                _run(loop, root, target)

            thread = threading.Thread(target=serve, name="brelt.tcl interpreter", daemon=True)
            thread.start()
            ready.wait()
            result = outcome[0]
            if result == "ok":
                loop.thread = thread
                _open_loops.add(loop)
                return loop
            if result != "stale":
                thread.join()
                try:
                    raise result
                finally:
                    result = None
        raise RuntimeError("no thread could be started whose Tcl events arrive")
    finally:
        parked.set()


class _TclThreadEnd:
    """Held by a thread that made a Tcl interpreter: released as the thread
    ends, in that thread, it releases the thread's Tcl data, so that Tcl
    does not take a later thread with the same id for this one."""

    __slots__ = ()

    def __del__(self, _finalize=_finalize_thread):
        _finalize()


_thread_data = threading.local()


def finalize_tcl_at_thread_exit():
    """Release the calling thread's Tcl data when it ends (not the main
    thread's: the process ends with it)."""
    if threading.current_thread() is not threading.main_thread() and not hasattr(_thread_data, "end"):
        _thread_data.end = _TclThreadEnd()


def _drop_application(interp):
    if interp is not None:
        interp.__dict__.pop("root", None)
        interp.__dict__.pop("tk", None)


def _reaches_itself(tk, tcl_thread, post):
    """Whether an event posted to ``tcl_thread`` (this thread) arrives."""
    arrived = []
    post(tcl_thread, lambda: arrived.append(True))
    for _ in range(100):
        if arrived or not tk.dooneevent(_DONT_WAIT):
            break
    return bool(arrived)


_DONT_WAIT = 2  # TCL_DONT_WAIT


def _run(loop, root, target):
    tk = root.tk
    dooneevent = tk.dooneevent
    try:
        while not loop.closing:
            dooneevent(0)
    finally:
        with loop.lock:
            loop.closing = True
        # Requests that were queued but will not run now fail cleanly.
        while loop.pending:
            loop.pending.popleft().cancel()
        if loop.channel is not None:
            _close_channel(loop.channel)
        # What is still in Tcl's queue runs now: the blocking requests (they
        # fail as closed) and the wake-ups, whose references Tcl would
        # otherwise drop unreleased with the queue.
        for _ in range(100_000):
            if not dooneevent(_DONT_WAIT):
                break
        loop.closed = True
        interp = target()
        if interp is not None:
            # Its operations raise a clear error from here on.
            remote = interp.__dict__.get("_remote")
            interp.__dict__.update(root=None, tk=_ClosedApp(), _remote=_ClosedApp())
            interp = None
            if remote is not None:
                remote._app = None
                remote.__dict__.clear()
                remote = None
        # Its commands go first: the Python ones hold the application
        # object (and what their functions hold) until they are deleted.
        try:
            tk.call("namespace", "delete", "::")
        except _tkinter.TclError:
            pass
        # The Tcl interpreter goes here, on its own thread, when nothing
        # else holds its application object; otherwise it is kept for good
        # (deleting it from another thread aborts the process).
        tk = dooneevent = None
        _release(root)
        root = None


def _release(root):
    app = root.tk
    # References: `root.tk`, `app` here, getrefcount's argument.
    if sys.getrefcount(app) > 3:
        from . import _forever_keeper

        keep = _forever_keeper()
        if keep is not None:
            keep(app)
    del app
    root.tk = None


# How long the exit waits for the threads still running a request. Their
# interpreters are deleted only when it ends (there, on their own threads):
# what Tcl still buffers in their channels is written then, and lost when
# the process ends first.
_EXIT_WAIT = 5.0


def _close_all_at_exit():
    loops = list(_open_loops)
    for loop in loops:
        loop.close()
    # One deadline for all: they were all told at once, so each still has
    # the whole wait, and a program ending with many busy ones waits no more.
    deadline = _monotonic() + _EXIT_WAIT
    for loop in loops:
        loop.join(max(0.0, deadline - _monotonic()))


import atexit  # noqa: E402

atexit.register(_close_all_at_exit)
