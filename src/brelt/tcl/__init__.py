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
interpreter, the thread that first used it).

From a shell, ``python -m brelt.tcl`` runs Tcl on the default interpreter
(``--help`` says how).
"""

import importlib
import sys
import threading
import tkinter
import types
from collections.abc import Mapping

from _tkinter import Tcl_Obj as _TclObj
from _tkinter import TkappType as _TkApp

from ._version import __version__
from .quotify import quotify, tclobj

TclError = tkinter.TclError

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


def cast_list(value):
    """Return the elements of a Tcl list as a Python ``list``.

    Text (a ``str``, or a ``_tkinter.Tcl_Obj`` through its string form) is
    parsed with Tcl's own list rules, so every element comes back as a
    ``str`` exactly as Tcl reads it; ``bytes`` (a Tcl byte array) are read
    as Latin-1 text. The elements of a tuple or list (a list result as
    tkinter returns it) are taken as they are, except that Tcl objects among
    them become their string form, as in ``cast_any``. Other sequences and
    sets are taken element by element; a single ``int``, ``float`` or
    ``bool`` becomes a one-element list and ``None`` the empty list.

    Needs no interpreter. Malformed list text raises ``TclError``.

    >>> cast_list('a {b c} "d e"')
    ['a', 'b c', 'd e']
    >>> cast_list(('a', 1))
    ['a', 1]
    """
    cls = type(value)
    if cls is tuple or cls is list:
        return [_cast_item(item) for item in value]
    if cls is bytes:
        value = value.decode("latin-1")
    global _GetListFromAny
    if _GetListFromAny is None:
        # Loaded on first use: it brings in ctypes, which a program that never
        # parses a list need not pay for.
        from .internal import GetListFromAny as _GetListFromAny
    return list(_GetListFromAny(value))


_GetListFromAny = None


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


def _cast_item(value):
    # tkinter turns Tcl's numbers, booleans, byte arrays, lists and strings
    # into Python values; any other Tcl object is text for Python.
    cls = type(value)
    if cls is _TclObj:
        return str(value)
    if cls is tuple:
        return tuple([_cast_item(item) for item in value])
    return value


_get_ident = threading.get_ident


def _check_owner(tcl):
    """Raise ``RuntimeError`` unless the calling thread owns ``tcl``.

    tkinter refuses calls from other threads only on a threaded Tcl 8; on
    Tcl 9 it lets them run. The C modules make the same check (on the
    ``_thread`` attribute) before every request.
    """
    if _get_ident() != tcl._thread:
        raise RuntimeError("Calling Tcl from different apartment")


class Interpreter:
    """One Tcl interpreter, created through tkinter, and the tools around it.

    ``Interpreter(root=None, max_history=9999)``: ``root`` is a ``tkinter.Tk``
    (by default a new ``tkinter.Tcl()``, an interpreter without Tk);
    ``max_history`` bounds the call history (``None``: unbounded).

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

    Casts of raw results (what ``tk.call`` returns): ``cast_boolean``,
    ``cast_list``, ``cast_array`` and ``cast_any``.

    An interpreter belongs to the thread that created it (``root`` too must
    come from that thread): from any other thread, its operations (``jiv``,
    ``vars``, ``cast_boolean``, the handles of ``brelt.tcl.namespace``)
    raise ``RuntimeError``, on every Tcl release. ``tk`` is tkinter's own
    object, guarded only as tkinter guards it (not at all on Tcl 9). An
    interpreter dropped by another thread keeps its Tcl interpreter for the
    life of the process, since Tcl cannot delete it there. Handles and
    proxies hold the interpreter weakly; once it is gone they raise
    ``ReferenceError``.
    """

    def __init__(self, root=None, max_history=9999):
        from .history import History
        from .jiv import Jiv
        from .namespace import TclNamespace

        if root is None:
            root = tkinter.Tcl()
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
        self.history = History(max_history)
        self.jiv = Jiv(self)
        self.vars = TclNamespace("::", tcl=self).vars

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

    def cast_boolean(self, value):
        """Return Tcl's truth value of a raw result as a ``bool``.

        Accepts what Tcl accepts as a boolean: Python ``bool``, ``int`` and
        ``float`` (as Tcl's numbers: non-zero is true), and as text
        (``str``, ``bytes``, Tcl objects) ``1``/``0``, ``true``/``false``,
        ``yes``/``no`` and ``on``/``off`` in any case and as unique
        prefixes. Anything else raises ``TclError`` with Tcl's message
        ("expected boolean value but got ...").
        """
        cls = type(value)
        if cls is bool:
            return value
        if cls is int:
            return value != 0
        if cls is float:  # a Tcl double object: Tcl takes its numeric truth
            if value != value:
                raise TclError("floating point value is Not a Number")
            return value != 0.0
        if cls is bytes:
            value = value.decode("latin-1")
        elif cls is not str and cls is not _TclObj:
            value = quotify(value)
        # Tcl parses the text with this interpreter, which tkinter does not
        # guard here.
        _check_owner(self)
        return self.tk.getboolean(value)

    cast_list = staticmethod(cast_list)

    def cast_array(self, value):
        """Return the result of ``array get`` as a ``dict``.

        ``value`` holds names and values alternately (``name value name
        value ...``): Tcl list text is parsed, tuples and lists are taken as
        they are, a mapping is copied. The result maps each name to its value
        (a name given twice keeps its last value). An odd number of elements
        raises ``ValueError``.
        """
        if isinstance(value, Mapping):
            return dict(value)
        items = cast_list(value)
        if len(items) % 2:
            raise ValueError(f"not a list of name/value pairs ({len(items)} elements): {quotify(items)!r}")
        return dict(zip(items[0::2], items[1::2]))

    def cast_any(self, value):
        """Return a raw result as its natural Python value.

        ``str``, ``int``, ``float``, ``bool`` and ``bytes`` come back as they
        are, a list result as a ``tuple`` of such values (nested lists as
        nested tuples), and any other Tcl object (a dict, a command name...)
        as its string form: no ``_tkinter.Tcl_Obj`` reaches the caller.
        """
        # _cast_item's own steps, so a plain result (every quick call's)
        # costs no second call.
        cls = type(value)
        if cls is _TclObj:
            return str(value)
        if cls is tuple:
            return tuple([_cast_item(item) for item in value])
        return value


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
