"""Small general-purpose containers."""

__all__ = ["AttrDict"]


class AttrDict(dict):
    """A ``dict`` whose keys are also attributes.

    >>> d = AttrDict(name='x')
    >>> d.name
    'x'
    >>> d.size = 3
    >>> d['size']
    3

    Attribute access goes through the item operations (``self[name]``), so a
    subclass that redefines them (dotted keys, say) gets them for attributes
    too. Names that ``dict`` itself defines (``keys``, ``items``...) stay
    methods; read such keys with ``d['keys']``.
    """

    __slots__ = ()

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            # Protocol look-ups (copy, pickle) must not find keys.
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __dir__(self):
        return sorted(set(super().__dir__()) | {k for k in self if isinstance(k, str) and k.isidentifier()})

    def __repr__(self):
        return f"{type(self).__name__}({dict.__repr__(self)})"

    def copy(self):
        """A shallow copy of the same class."""
        new = type(self)()
        dict.update(new, self)
        return new
