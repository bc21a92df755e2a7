"""Drive a real Tcl interpreter from Python and exchange values with it.

An :class:`Interpreter` wraps one Tcl interpreter created through tkinter::

    from brelt.tcl import Interpreter
    tcl = Interpreter()
    tcl.jiv.set('greeting', 'hello world')     # the Tcl command: set greeting {hello world}
    tcl.jiv.clock('format', 0, gmt=True)       # clock format 0 -gmt true
    tcl.jiv.lrange('a {b c} d', 1, 'end')      # lrange {a {b c} d} 1 end -> ('b c', 'd')
    tcl.history.filter(count=2)                # the last two commands sent, time-stamped

The package itself stands for a default interpreter, created the first time
one of its operations is used: ``brelt.tcl.tk``, ``brelt.tcl.jiv``,
``brelt.tcl.history``, ``brelt.tcl.vars``, ``brelt.tcl.root`` and the casts
``brelt.tcl.cast_boolean``, ``cast_array`` and ``cast_any``. ``cast_list``
needs no interpreter at all.

Values go to Tcl through :func:`quotify` (Tcl text) and :func:`tclobj` (values
tkinter hands to Tcl as native objects).

An interpreter belongs to the thread that created it (for the default
interpreter, the thread that first used it), unless it is made with
``Interpreter(threaded=True)``: then it has a thread of its own and serves
every thread and ``asyncio``.

From a shell, ``python -m brelt.tcl`` runs Tcl on the default interpreter
(``--help`` says how).
"""

import importlib
import sys
import threading
import tkinter
import types
from _tkinter import TkappType as _TkApp

from ._version import __version__ as __version__

# The casts of raw results are the package's own functions, written in C++:
# the quick call recognises the interpreter's cast_any when it is this one
# and does its work inline; a replaced cast_any is called.
from .internal import cast_any as _cast_any, cast_array as _cast_array, cast_boolean as _cast_boolean, cast_list
from .quotify import quotify, tclobj

TclError = tkinter.TclError

# Every request reads an interpreter's __dict__ from C. That makes CPython
# 3.11 and 3.12 keep it as a table sharing its keys with the class, from
# which reading an attribute (tcl.jiv, tcl.tk) takes the slow path each
# time; 3.13.0 keeps it that way too, and tells no dict watcher when it
# writes into such a table, so the requests cannot remember what they read
# from it. An interpreter therefore gets a dict of its own there. (Calling
# its methods then costs a little more on 3.11 and 3.13.0.)
_SHARED_KEYS_COST = sys.version_info < (3, 13) or (sys.version_info[:3] == (3, 13, 0) and sys._is_gil_enabled())

# Re-exported from the extension modules, imported when first asked for.
_LAZY_EXPORTS = {
    "NestMap": "nestmap",
    "TclVariable": "namespace",
    "TempTclVariable": "namespace",
    "TclArrayVariable": "namespace",
    "TempTclArrayVariable": "namespace",
    "TclCommand": "namespace",
    "TempTclCommand": "namespace",
    "TclNamespace": "namespace",
    "TempTclNamespace": "namespace",
    "TclKeyError": "namespace",
}

__all__ = ["Interpreter", "TclError", "quotify", "tclobj", "cast_list", *_LAZY_EXPORTS]

# The package's own function (brelt.tcl.cast_list), as pickle and help() see it.
cast_list.__module__ = __name__


# tkinter frees a lock of its own when its first interpreter turns out to
# run on a threaded Tcl. On a free-threaded build two threads making their
# first interpreters at once both free it, and the heap is corrupted. The
# package makes one at a time; re-entrant, since tkinter runs the user's
# profile scripts, which may make another.
_creating = threading.RLock()


def _new_root():
    """A new ``tkinter.Tcl()``, made while no other thread makes one here."""
    with _creating:
        return tkinter.Tcl()


def _forever_keeper():
    """A function that takes a reference nobody ever releases, or ``None``
    without ctypes. Bound ahead of need: at interpreter exit, where an
    interpreter made by a worker thread ends, nothing can be imported."""
    global _keeper
    if _keeper is None:
        try:
            import ctypes
        except ImportError:
            return None
        # A prototype of its own, leaving ctypes.pythonapi's as it is.
        _keeper = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", ctypes.pythonapi))
    return _keeper


_keeper = None


class Interpreter:
    """One Tcl interpreter, created through tkinter, and the tools around it.

    ``Interpreter(root=None, max_history=9999, *, threaded=False)``: ``root``
    is a ``tkinter.Tk`` (by default a new ``tkinter.Tcl()``, an interpreter
    without Tk); ``max_history`` bounds the call history (``None``:
    unbounded); ``threaded=True`` gives the interpreter a thread of its own
    (below; ``root`` must then be ``None``).

    Attributes:

    ``root``
        the ``tkinter.Tk`` object
    ``tk``
        its Tcl application object (``call``, ``eval``, ``getvar``...)
    ``history``
        the ``History`` of the commands sent through ``jiv``
    ``jiv``
        quick calls: ``tcl.jiv.ns.proc(arg, opt=value)`` runs
        ``ns::proc arg -opt value``
    ``vars``
        the interpreter's Tcl variables as a mapping of strings, names
        relative to the global namespace: the ``vars`` view of
        ``TclNamespace('::', tcl=self)``
    ``threaded``
        whether it was made with ``threaded=True``

    Casts of raw results (what ``tk.call`` returns): ``cast_boolean``,
    ``cast_list``, ``cast_array`` and ``cast_any``.

    A plain interpreter belongs to the thread that created it (``root`` too
    must come from that thread): from any other thread, its operations
    (``jiv``, ``vars``, ``cast_boolean``, the handles of
    ``brelt.tcl.namespace``, ``submit``) raise ``RuntimeError``, on every
    Tcl release. An interpreter dropped by another thread keeps its Tcl
    interpreter for the life of the process, since Tcl cannot delete it
    there.

    A threaded interpreter creates its Tcl interpreter on a thread of its
    own, which runs Tcl's event loop (``after``, ``fileevent``, sockets)
    and uses no CPU while idle. The same operations then work from any
    thread: each request runs on the interpreter's thread while the caller
    waits, and its result or ``TclError`` comes back. ``submit(fn, *args)``
    runs ``fn`` there with no other thread's request between those it makes
    and returns a ``concurrent.futures.Future``; ``await asubmit(fn,
    *args)`` and ``await tcl.ajiv.proc(arg)`` do the same for ``asyncio``
    without blocking the event loop; ``close()`` (or leaving a ``with``
    block) ends the thread, which deletes the Tcl interpreter.

    ``root`` and ``tk`` are tkinter's own objects, guarded only as tkinter
    guards them (not at all on Tcl 9), and belong to the interpreter's
    thread, threaded or not: on a threaded interpreter, use them inside
    ``submit`` (``tcl.submit(tcl.tk.call, 'after', 10)`` runs the call
    there) or in a Python command that Tcl calls, never directly from
    another thread.

    Handles and proxies hold the interpreter weakly; once it is gone they
    raise ``ReferenceError``.
    """

    def __init__(self, root=None, max_history=9999, *, threaded=False):
        if threaded:
            if root is not None:
                raise ValueError("a threaded interpreter creates its own Tcl interpreter on its thread: "
                                 "root must be None")
            from . import _threads

            self._loop = _threads.start(self, lambda interp, root: interp._setup(root, max_history))
            return
        self._setup(root, max_history)

    def _setup(self, root, max_history):
        from .history import History
        from .jiv import Jiv
        from .namespace import TclNamespace

        if root is None:
            root = _new_root()
        elif not isinstance(getattr(root, "tk", None), _TkApp):
            raise TypeError(
                "root must be a tkinter.Tk (such as tkinter.Tcl()) or None for a new interpreter, "
                f"not {type(root).__name__}"
            )
        self.root = root
        self.tk = root.tk
        self._thread = threading.get_ident()
        if self._thread != threading.main_thread().ident:
            # Likely dropped by another thread, perhaps at exit.
            self._keep = _forever_keeper()
            from ._threads import finalize_tcl_at_thread_exit

            finalize_tcl_at_thread_exit()
        self.history = History(max_history)
        self.jiv = Jiv(self)
        self.vars = TclNamespace("::", tcl=self).vars
        if _SHARED_KEYS_COST:
            self.__dict__ = dict(self.__dict__)

    def __repr__(self):
        return f"<{type(self).__name__} at {id(self):#x}>"

    # Tcl aborts the whole process when an interpreter is deleted by another
    # thread than its own ("async handler deleted by the wrong thread").
    # Dropped elsewhere, its Tcl interpreter is kept for good. At exit module
    # globals may already be None and imports fail: everything used here is
    # bound in advance, in the closure (not as defaults help() would show).
    def _finaliser(_get_ident, _prepare):
        def __del__(self):
            """Keep the Tcl interpreter for good if another thread drops this
            object: Tcl can only delete it in its own thread."""
            state = self.__dict__
            loop = state.get("_loop")
            if loop is not None:
                # Its own thread deletes the Tcl interpreter.
                loop.close()
                return
            thread = state.get("_thread")
            if thread is None or _get_ident() == thread:
                return
            tk = state.get("tk")
            if tk is None:
                return
            keep = state.get("_keep") or _prepare()
            if keep is not None:
                keep(tk)

        return __del__

    __del__ = _finaliser(threading.get_ident, _forever_keeper)
    del _finaliser

    # -- threads and asyncio ------------------------------------------------

    @property
    def threaded(self):
        """True for an ``Interpreter(threaded=True)``."""
        return self.__dict__.get("_loop") is not None

    def submit(self, fn, /, *args, **kwargs):
        """Run ``fn(*args, **kwargs)`` on the interpreter's thread; return a
        ``concurrent.futures.Future`` of its result.

        The requests ``fn`` makes run back to back, with no other thread's
        request between them. On a threaded interpreter this works from any
        thread; on a plain one only from its own thread, where ``fn`` runs
        at once.
        """
        loop = self.__dict__.get("_loop")
        if loop is None:
            from ._threads import run_here

            return run_here(self, fn, args, kwargs)
        return loop.submit(fn, args, kwargs)

    async def asubmit(self, fn, /, *args, **kwargs):
        """``await tcl.asubmit(fn, *args)``: ``submit`` for ``asyncio``.

        The event loop is never blocked. Cancelling the awaiting task drops
        the result; a request already running still completes.
        """
        loop = self.__dict__.get("_loop")
        if loop is None:
            return self.submit(fn, *args, **kwargs).result()
        return await loop.asubmit(fn, args, kwargs)

    @property
    def ajiv(self):
        """Quick calls for ``asyncio``: ``await tcl.ajiv.after(100)``.

        The same calls as ``jiv`` (the same history and casts), run on the
        interpreter's thread; each call returns an awaitable.
        """
        from ._threads import AsyncJiv

        return AsyncJiv(self, ())

    def close(self):
        """End a threaded interpreter: its thread finishes and deletes the Tcl
        interpreter. Requests not yet run fail with ``RuntimeError``; so does
        every later use. Waits for the thread unless called from it.
        Nothing to do for a plain interpreter."""
        loop = self.__dict__.get("_loop")
        if loop is not None:
            loop.close()
            loop.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    cast_boolean = _cast_boolean
    cast_list = staticmethod(cast_list)
    cast_array = _cast_array
    cast_any = _cast_any


# What the package offers of its default interpreter.
_DEFAULT_INTERPRETER_NAMES = ("root", "tk", "history", "jiv", "vars", "cast_boolean", "cast_array", "cast_any")


class _Package(types.ModuleType):
    """The module ``brelt.tcl``, standing for its default interpreter."""

    def _default(self):
        interp = _default_interpreter
        if interp is None:
            interp = _create_default_interpreter()
        return interp

    # The import system sets a package attribute for every submodule it loads
    # (brelt.tcl.history, brelt.tcl.jiv); these names belong to the default
    # interpreter, so such assignments are ignored.
    def _ignore(self, value):
        pass

    root = property(lambda self: self._default().root, _ignore, doc="The default interpreter's tkinter.Tk.")
    tk = property(lambda self: self._default().tk, _ignore, doc="The default interpreter's Tcl application object.")
    history = property(lambda self: self._default().history, _ignore, doc="The default interpreter's History.")
    jiv = property(lambda self: self._default().jiv, _ignore, doc="The default interpreter's quick calls.")
    vars = property(lambda self: self._default().vars, _ignore, doc="The default interpreter's Tcl variables.")
    cast_boolean = property(lambda self: self._default().cast_boolean, doc=Interpreter.cast_boolean.__doc__)
    cast_array = property(lambda self: self._default().cast_array, doc=Interpreter.cast_array.__doc__)
    cast_any = property(lambda self: self._default().cast_any, doc=Interpreter.cast_any.__doc__)

    def __getattr__(self, name):
        module = _LAZY_EXPORTS.get(name)
        if module is None:
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f"{self.__name__}.{module}"), name)
        setattr(self, name, value)
        return value

    # The API only: not the modules and helpers the package uses itself.
    def __dir__(self):
        dunders = {name for name in super().__dir__() if name.startswith("__")}
        return sorted(dunders | set(__all__) | set(_DEFAULT_INTERPRETER_NAMES))


_default_interpreter = None
_default_lock = threading.Lock()


def _create_default_interpreter():
    global _default_interpreter
    with _default_lock:
        if _default_interpreter is None:
            _default_interpreter = Interpreter()
    return _default_interpreter


sys.modules[__name__].__class__ = _Package
