"""Small general-purpose containers."""

from typing import Any, Self

__all__ = ["AttrDict"]


class AttrDict(dict[Any, Any]):
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

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") and name.endswith("__"):
            # Protocol look-ups (copy, pickle) must not find keys.
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name: str, value: Any) -> None:
        self[name] = value

    def __delattr__(self, name: str) -> None:
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | {k for k in self if isinstance(k, str) and k.isidentifier()})

    def __repr__(self) -> str:
        return f"{type(self).__name__}({dict.__repr__(self)})"

    def copy(self) -> Self:
        """A shallow copy of the same class."""
        new = type(self)()
        dict.update(new, self)
        return new
