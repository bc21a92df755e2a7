"""Drive a real Tcl interpreter from Python and exchange values with it.

An :class:`Interpreter` wraps one Tcl interpreter created through tkinter::

    from brelt.tcl import Interpreter
    tcl = Interpreter()
    tcl.jiv.set('greeting', 'hello world')     # the Tcl command: set greeting {hello world}
    tcl.jiv.lsort('b a c', decreasing=True)    # lsort {b a c} -decreasing -> ('c', 'b', 'a')

The package itself stands for a default interpreter, created the first time
one of its operations is used: ``brelt.tcl.tk``, ``brelt.tcl.jiv``,
``brelt.tcl.history``, ``brelt.tcl.vars``, ``brelt.tcl.root`` and the casts
``brelt.tcl.cast_boolean``, ``cast_array`` and ``cast_any``. ``cast_list``
needs no interpreter at all.

Values go to Tcl through :func:`quotify` (Tcl text) and :func:`tclobj` (values
tkinter hands to Tcl as native objects).
"""

import importlib
import sys
import threading
import tkinter
import types
from collections.abc import Iterator, Mapping, MutableMapping

from _tkinter import Tcl_Obj as _TclObj

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
}

__all__ = ["Interpreter", "TclError", "quotify", "tclobj", "cast_list", *_LAZY_EXPORTS]


def cast_list(value):
    """Return the elements of a Tcl list as a Python ``list``.

    Text (a ``str``, or a ``_tkinter.Tcl_Obj`` through its string form) is
    parsed with Tcl's own list rules, so every element comes back as a
    ``str`` exactly as Tcl reads it. Tuples, lists and other sequences and
    sets are passed through element by element, a single ``int``, ``float``
    or ``bool`` becomes a one-element list and ``None`` the empty list.

    Needs no interpreter. Malformed list text raises ``TclError``.

    >>> cast_list('a {b c} "d e"')
    ['a', 'b c', 'd e']
    """
    from .internal import GetListFromAny

    return list(GetListFromAny(value))


def _cast_any(value):
    # tkinter already turns Tcl's int, double, boolean, bytearray, list and
    # string objects into Python values; what it hands over as Tcl_Obj
    # (dict, index, command name... objects) is text for Python.
    if isinstance(value, _TclObj):
        return str(value)
    if type(value) is tuple:
        return tuple(_cast_any(item) for item in value)
    return value


class _GlobalVariables(MutableMapping):
    """The Tcl variables of an interpreter by name, values as strings.

    Names are resolved at the global level; reading a missing variable raises
    ``KeyError`` carrying Tcl's error.
    """

    def __init__(self, interpreter):
        import weakref

        self._tcl = weakref.proxy(interpreter)

    def __getitem__(self, name):
        try:
            return self._tcl.tk.eval(quotify(("set", name)))
        except TclError as exc:
            raise KeyError(exc) from exc

    def __setitem__(self, name, value):
        self._tcl.tk.setvar(quotify(name), tclobj(value))

    def __delitem__(self, name):
        try:
            self._tcl.tk.unsetvar(quotify(name))
        except TclError as exc:
            raise KeyError(exc) from exc

    def __contains__(self, name):
        return self._tcl.cast_boolean(self._tcl.tk.call("::info", "exists", quotify(name)))

    def __iter__(self) -> Iterator[str]:
        return iter(cast_list(self._tcl.tk.call("::info", "vars")))

    def __len__(self):
        return len(cast_list(self._tcl.tk.call("::info", "vars")))


class Interpreter:
    """One Tcl interpreter, created through tkinter, and the tools around it.

    ``Interpreter(root=None, max_history=9999)``: ``root`` is a ``tkinter.Tk``
    (by default a new ``tkinter.Tcl()``, an interpreter without Tk);
    ``max_history`` bounds the call history (``None``: unbounded).

    Attributes:
        root     the ``tkinter.Tk`` object
        tk       its Tcl application object (``call``, ``eval``, ``getvar``...)
        history  the ``History`` of the commands sent through ``jiv``
        jiv      quick calls: ``tcl.jiv.ns.proc(arg, opt=value)``
        vars     the interpreter's Tcl variables as a mapping of strings

    An interpreter belongs to the thread that created it; tkinter refuses
    calls from other threads unless that thread runs its main loop.
    """

    def __init__(self, root=None, max_history=9999):
        from .history import History
        from .jiv import Jiv

        self.root = tkinter.Tcl() if root is None else root
        self.tk = self.root.tk
        self.history = History(max_history)
        self.jiv = Jiv(self)
        self.vars = _GlobalVariables(self)

    def __repr__(self):
        return f"<{type(self).__name__} at {id(self):#x}>"

    def cast_boolean(self, value):
        """Return Tcl's truth value of ``value`` as a ``bool``.

        Accepts what Tcl accepts as a boolean: ``1``/``0`` and other numbers,
        ``true``/``false``, ``yes``/``no``, ``on``/``off`` (any case, unique
        prefixes too), Tcl boolean objects, Python ``bool`` and ``int``.
        Anything else raises ``TclError`` ("expected boolean value but
        got ...").
        """
        if isinstance(value, (bool, int, str, _TclObj)):
            return self.tk.getboolean(value)
        return self.tk.getboolean(quotify(value))

    cast_list = staticmethod(cast_list)

    def cast_array(self, value):
        """Return the result of ``array get`` (name, value, name, value...)
        as a ``dict`` from element name to value.

        Text is parsed as a Tcl list; tuples and lists are taken as they are;
        a mapping is copied. A list with an odd number of elements raises
        ``ValueError``.
        """
        if isinstance(value, Mapping):
            return dict(value)
        items = value if type(value) in (tuple, list) else cast_list(value)
        if len(items) % 2:
            raise ValueError(f"not a list of name/value pairs ({len(items)} elements): {quotify(items)!r}")
        return dict(zip(items[0::2], items[1::2]))

    def cast_any(self, value):
        """Return a raw Tcl result as its natural Python value.

        ``str``, ``int``, ``float``, ``bool`` and ``bytes`` come back as they
        are, a list result as a ``tuple`` of such values, and any other Tcl
        object (a dict, a command name...) as its string form: no
        ``_tkinter.Tcl_Obj`` reaches the caller.
        """
        return _cast_any(value)


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

    root = property(lambda self: self._default().root, _ignore)
    tk = property(lambda self: self._default().tk, _ignore)
    history = property(lambda self: self._default().history, _ignore)
    jiv = property(lambda self: self._default().jiv, _ignore)
    vars = property(lambda self: self._default().vars, _ignore)
    cast_boolean = property(lambda self: self._default().cast_boolean)
    cast_array = property(lambda self: self._default().cast_array)
    cast_any = property(lambda self: self._default().cast_any)

    def __getattr__(self, name):
        module = _LAZY_EXPORTS.get(name)
        if module is None:
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f"{self.__name__}.{module}"), name)
        setattr(self, name, value)
        return value

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(_LAZY_EXPORTS) | {"root", "tk", "history", "jiv", "vars"})


_default_interpreter = None
_default_lock = threading.Lock()


def _create_default_interpreter():
    global _default_interpreter
    with _default_lock:
        if _default_interpreter is None:
            _default_interpreter = Interpreter()
    return _default_interpreter


sys.modules[__name__].__class__ = _Package
