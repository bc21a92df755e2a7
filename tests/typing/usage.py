"""A small program typed as a user would type it.

tests/test_typing.py checks it with ``mypy --strict`` (each ``assert_type``
pins what the stubs promise) and runs it against a real interpreter, so the
promises are also kept.
"""

from collections.abc import MutableMapping
from typing import Any, assert_type

import brelt.tcl
from brelt.tcl import (
    Interpreter,
    NestMap,
    TclArrayVariable,
    TclError,
    TclVariable,
    TempTclVariable,
    cast_list,
    quotify,
    tclobj,
)
from brelt.tcl.history import Entry, History
from brelt.tcl.internal import DictionaryCompare, GetListFromAny


class Point:
    def __init__(self, x: int, y: int) -> None:
        self.x, self.y = x, y

    def __tclobj__(self) -> list[int]:
        return [self.x, self.y]


class Raw:
    def __quotify__(self) -> str:
        return "{raw}"


def main() -> None:
    tcl = Interpreter()

    # Values without hooks become Tcl text; a hook decides its own result.
    assert_type(quotify([1, 2, [3, 4]]), str)
    assert_type(quotify(None), str)
    assert_type(quotify(Raw()), str)
    assert_type(tclobj("a b"), str)
    assert_type(tclobj(True), bool)
    assert_type(tclobj(7), int | str)
    assert_type(tclobj(2.5), float)
    assert_type(tclobj([1, 2]), tuple[Any, ...])
    assert_type(tclobj({"a": 1}), tuple[Any, ...])
    assert_type(tclobj(Point(1, 2)), list[int])
    assert_type(quotify.from_sequence(["a", "b c"]), str)
    assert_type(cast_list("a {b c}"), list[Any])
    assert_type(GetListFromAny("a b"), tuple[Any, ...])
    assert_type(DictionaryCompare("a2", "a10"), int)

    colours = TclArrayVariable("::colours", tcl=tcl)
    mapping: MutableMapping[str, Any] = colours
    mapping.update(sky="blue", grass="green")
    assert_type(colours.array_size(), int)
    assert_type(colours.array_names(), list[str])
    for name in colours:
        assert_type(name, str)
    assert len(colours) == colours.array_size() == 2

    greeting = TclVariable("::greeting", tcl=tcl)
    greeting.set("hello world")
    assert_type(greeting.get_str(), str)
    assert_type(greeting.exists(), bool)
    with TempTclVariable(tcl=tcl) as scratch:
        assert_type(scratch, TempTclVariable)
        scratch.set(1)

    assert_type(tcl.jiv.string("toupper", "abc"), Any)
    history: History = tcl.history
    assert_type(history.filter(count=2), list[Entry])
    assert_type(brelt.tcl.history, History)

    kl = NestMap()
    kl["size.width"] = 4
    assert_type(NestMap.from_tcl("{a 1}"), NestMap)
    assert_type(kl.all_keys(), list[str])

    try:
        tcl.jiv.error("boom")
    except TclError as exc:
        assert_type(exc, TclError)

    # What the checker must refuse (an unneeded ignore is an error under --strict).
    try:
        Interpreter("x")  # type: ignore[arg-type]
    except TypeError:
        pass


if __name__ == "__main__":
    main()
