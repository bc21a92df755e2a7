"""quotify() and tclobj(), with Tcl's own list parser as the judge."""

import inspect
import os
import subprocess
import sys
import textwrap
from collections.abc import Mapping, Sequence, Set

import pytest
from hypothesis import given, settings, strategies as st

from brelt.tcl import quotify, tclobj
from support import assert_no_leak

Q = sys.modules["brelt.tcl.quotify"]


# --------------------------------------------------------------------------
# Quoting rules

@pytest.mark.parametrize(
    "elements, text",
    [
        ([1, 2, [3, 4]], "1 2 {3 4}"),
        ([], ""),
        ([""], "{}"),
        (["a b"], "{a b}"),
        (["{}"], "{{}}"),
        (["a{b}c"], "a{b}c"),
        (['"x"'], '{"x"}'),
        (['x"y'], 'x\\"y'),
        (["$x", "[x]", "a;b"], "{$x} {[x]} {a;b}"),
        (["a]"], "a\\]"),
        (["{a b"], "\\{a\\ b"),
        (["a}", "}", "{", "}{"], "a\\} \\} \\{ \\}\\{"),
        (["a\\b", "a\\}b"], "{a\\b} {a\\}b}"),
        (["x\\{y}"], "x\\\\\\{y\\}"),
        (["\\{", "{a\\}"], "{\\{} \\{a\\\\\\}"),
        (["a\\", "\\", "a b\\"], "a\\\\ \\\\ a\\ b\\\\"),
        (["a\\\nb"], "a\\\\\\nb"),
        (["a\nb"], "{a\nb}"),
        (["a\tb{"], "a\\tb\\{"),
        (["\f\r\v{"], "\\f\\r\\v\\{"),
        (["#x"], "#x"),
        (["x y", ["p q", "r"]], "{x y} {{p q} r}"),
        (["é ü", "日本 語"], "{é ü} {日本 語}"),
        (["😀 {", "a\U0001F600"], "😀\\ \\{ a\U0001F600"),
    ],
)
def test_list_quoting(elements, text):
    assert Q._tcl_UpdateStringOfList(elements) == text


@pytest.mark.parametrize("background", ["a", "\xe9", "\u0436"])
def test_every_character_at_every_place_of_a_word(background):
    # The element steps (_Tcl_ScanElement, _Tcl_ConvertElement) are the
    # judge of how a list quotes each word: short words of every length
    # around the 8-character steps, with each of the first 256 characters
    # (and wider ones) at each place.
    # U+2000-U+207F: wide characters whose low byte is a special one.
    chars = [chr(c) for c in range(256)] + [chr(c) for c in range(0x2000, 0x2080)] + ["\U0001f600"]
    for length in range(1, 18):
        for place in range(length):
            words = [background * place + c + background * (length - place - 1) for c in chars]
            expected = [Q._Tcl_ConvertElement(w, Q._Tcl_ScanElement(w)[1]) for w in words]
            assert [quotify([w]) for w in words] == expected
            assert quotify(words) == " ".join(expected)


def canonical(text):
    """The same text as CPython stores it when it builds it from scratch."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


@pytest.mark.parametrize(
    "elements",
    [
        ["a", "b c"], ["\xe9", "a"], ["a", "\xe9 x"], ["a b", "\u0436"], ["\u0436", "a", "b"],
        ["a", "\xe9", "\u0436", "\U0001f600 {"], ["\U0001f600", "a"], ["x" * 300, "\u0436" * 300, "y z"],
        [""] * 3, ["a"] * 5000 + ["\xe9"],
    ],
)
def test_lists_are_well_formed_strings_of_the_narrowest_kind(elements):
    # A str whose characters would fit a narrower kind is malformed: it
    # compares unequal to the same text built by CPython.
    text = quotify(elements)
    assert text == " ".join(quotify([e]) for e in elements)
    assert sys.getsizeof(text) == sys.getsizeof(canonical(text))


def test_scan_and_convert_element():
    assert Q._Tcl_ScanElement("") == (2, {"USE_BRACES"})
    assert Q._Tcl_ScanElement("abc") == (8, set())
    assert Q._Tcl_ScanElement("{a") == (6, {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"})
    # A backslash-newline resets the flags, later characters may add again.
    assert Q._Tcl_ScanElement("a\\\nb c")[1] == {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED", "USE_BRACES"}
    assert Q._Tcl_ScanElement(12) == (6, set())

    flags = {"TCL_DONT_USE_BRACES"}
    assert Q._Tcl_ConvertElement("{a", flags) == "\\{a"
    assert flags == {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    assert Q._Tcl_ConvertElement("a b", {"USE_BRACES"}) == "{a b}"
    assert Q._Tcl_ConvertElement("a b", {"USE_BRACES", "TCL_DONT_USE_BRACES"}) == "a\\ b"
    assert Q._Tcl_ConvertElement("a{b", ["BRACES_UNMATCHED"]) == "a\\{b"
    assert Q._Tcl_ConvertElement("a{b", ()) == "a{b"
    assert Q._Tcl_ConvertElement(None, set()) == "{}"
    with pytest.raises(AttributeError):  # a leading "{" has to be recorded in flags
        Q._Tcl_ConvertElement("{a", frozenset())


@pytest.mark.parametrize(
    "value, text",
    [
        (None, ""), ("a b", "a b"), ("", ""), (True, "true"), (False, "false"),
        (1, "1"), (-7, "-7"), (10**30, "1" + "0" * 30),
        (1.5, "1.5"), (1e16, "1e+16"), (float("nan"), "nan"), (1j, "1j"),
        ([], ""), ((), ""), ({}, ""), ([None], "{}"), ([""], "{}"),
        ([True, "x y"], "true {x y}"), (b"ab", "97 98"), (bytearray(b"a"), "97"), (range(3), "0 1 2"),
        ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
        ({"k": [1, 2]}, "k {1 2}"), ([{"a": "b c"}], "{a {b c}}"),
        (frozenset(["x"]), "x"), ({"a": 1}.keys(), "a"), ({"a": 1}.items(), "{a 1}"),
    ],
)
def test_quotify_values(value, text):
    assert quotify(value) == text


def test_quotify_returns_str_unchanged():
    s = "some text"
    assert quotify(s) is s

    class S(str):
        def __str__(self):
            return "converted"

    assert quotify(S("x")) == "converted"
    assert quotify([S("x")]) == "converted"


class Hooked:
    def __init__(self, quotify_=None, tclobj_=None):
        self.__quotify__ = quotify_
        self.__tclobj__ = tclobj_


def test_hooks():
    assert quotify(Hooked(lambda: 5)) == 5
    assert quotify(Hooked(None, lambda: [1, 2])) == "1 2"
    assert quotify(Hooked(0, lambda: "x y")) == "x y"  # a false hook is absent
    assert quotify([Hooked(lambda: "x y")]) == "{x y}"
    assert quotify([Hooked(None, lambda: ["a", "b c"])]) == "{a {b c}}"
    # tclobj() consults __tclobj__ only, and returns its result as it is.
    result = [1, 2]
    assert tclobj(Hooked(None, lambda: result)) is result
    assert tclobj(Hooked(lambda: "x")) == "x"

    class MethodHook:
        def __quotify__(self):
            return "from method"

    assert quotify(MethodHook()) == "from method"


@pytest.mark.parametrize(
    "element, string",
    [
        (Hooked(lambda: 5), "5"),
        (Hooked(lambda: None), ""),
        (Hooked(lambda: [1, "x y"]), "1 {x y}"),
        (Hooked(lambda: Hooked(lambda: "p q")), "p q"),  # a hook may return another hooked object
        (Hooked(lambda: Hooked(None, lambda: 7)), "7"),
    ],
)
def test_element_whose_quotify_hook_returns_no_str_is_converted_again(element, string):
    # The element steps begin with quotify() of the element, whatever it is.
    assert quotify([element, "a"]) == quotify([string, "a"])
    assert Q._Tcl_ScanElement(element) == Q._Tcl_ScanElement(string)
    assert Q._Tcl_ConvertElement(element, {"USE_BRACES"}) == Q._Tcl_ConvertElement(string, {"USE_BRACES"})


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.text(max_size=3), st.integers(1, 3)), max_size=6), st.booleans())
def test_element_hooks_run_in_phases(elements, as_mapping):
    # Every element's own conversion (its first hook) runs before any
    # hook's result that is no str is converted again, element by element.
    calls = []

    def chain(name, depth):
        # A hooked object whose hook returns the next one, `depth` deep.
        def hook(level=1):
            calls.append((name, level))
            if level == depth:
                return f"{name} done"
            return Hooked(lambda: hook(level + 1))
        return Hooked(hook)

    items = [chain(i, e) if isinstance(e, int) else e for i, e in enumerate(elements)]
    first = [(i, 1) for i, e in enumerate(elements) if isinstance(e, int)]
    rest = [(i, level) for i, e in enumerate(elements) if isinstance(e, int) for level in range(2, e + 1)]
    words = [f"{i} done" if isinstance(e, int) else e for i, e in enumerate(elements)]
    if as_mapping:
        keys = [f"k{i}" for i in range(len(items))]
        text = quotify.from_mapping(dict(zip(keys, items)))
        expected_text = Q._tcl_UpdateStringOfList([w for pair in zip(keys, words) for w in pair])
    else:
        text = Q._tcl_UpdateStringOfList(items)
        expected_text = Q._tcl_UpdateStringOfList(words)
    assert calls == first + rest
    assert text == expected_text


def test_element_hook_that_never_gives_a_str_ends_in_recursion_error():
    class Endless:
        def __quotify__(self):
            return self

    with pytest.raises(RecursionError):
        quotify([Endless()])


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ""), (1.5, 1.5), (True, True), (b"x", b"x"),
        (5, 5), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)),
        (2**63, "9223372036854775808"), (-(2**63) - 1, "-9223372036854775809"),
        ([1, [2, None]], (1, (2, ""))), ({"a": [1, 2]}, ("a", (1, 2))),
        (range(2), (0, 1)), (bytearray(b"ab"), (97, 98)), (1j, "1j"),
    ],
)
def test_tclobj_values(value, expected):
    result = tclobj(value)
    assert result == expected and type(result) is type(expected)


def test_tclobj_passes_tcl_ready_values_through(tk):
    obj = tk.call("dict", "create", "a", 1)  # a Tcl_Obj tkinter does not convert
    s = "a b"
    for value in (obj, s, b"x", 1.5, True, 7):
        assert tclobj(value) is value

    class Int(int):
        pass

    assert tclobj(Int(3)) == "3"  # int subclasses fall through to text


def test_function_attributes_and_bindings():
    assert Q.quotify.from_sequence is Q._quotify_from_sequence is Q._tcl_UpdateStringOfList
    assert Q.quotify.from_mapping is Q._quotify_from_mapping
    assert Q.tclobj.from_sequence is Q._tclobj_from_sequence
    assert Q.tclobj.from_mapping is Q._tclobj_from_mapping
    names = [n for n in vars(Q) if not n.startswith("__")]
    assert names == [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
        "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList", "_quotify_from_sequence",
        "_quotify_from_mapping", "quotify", "_sysmaxsize", "_long_type",
        "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj",
    ]
    assert (Q.Mapping, Q.Sequence, Q.Set, Q.unicode, Q._long_type) == (Mapping, Sequence, Set, str, int)
    assert Q._sysmaxsize == sys.maxsize and not hasattr(Q, "__all__")
    import _tkinter

    assert Q._tkTcl_Obj is _tkinter.Tcl_Obj


def test_signatures_keywords_and_help():
    sigs = {
        "quotify": "(obj)", "tclobj": "(obj)", "_Tcl_ScanElement": "(string)",
        "_Tcl_ConvertElement": "(src, flags)", "_tcl_UpdateStringOfList": "(listObj)",
        "_quotify_from_mapping": "(obj)", "_tclobj_from_sequence": "(obj)", "_tclobj_from_mapping": "(obj)",
    }
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(Q, name))) == sig
    assert quotify(obj=[1, "a b"]) == "1 {a b}"
    assert Q._Tcl_ConvertElement(src="a b", flags={"USE_BRACES"}) == "{a b}"
    assert Q._tcl_UpdateStringOfList(listObj=["x"]) == "x"
    with pytest.raises(TypeError, match=r"quotify\(\) missing 1 required positional argument: 'obj'"):
        quotify()
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        quotify(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        quotify(x=1)
    with pytest.raises(TypeError, match="multiple values for argument 'obj'"):
        quotify(1, obj=2)

    text = subprocess.run(
        [sys.executable, "-c", "from brelt.tcl import quotify; help(quotify)"],
        capture_output=True, text=True, check=True, env={**os.environ, "PAGER": "cat", "TERM": "dumb"},
    ).stdout
    assert "quotify(obj)" in text and "quotify() Function/Class" in text
    assert "The result is a string." in text and "__quotify__()" in text
    assert "'1 2 {3 4}'" in text and "'{my key} {my value} a b'" in text
    assert "Tcl 8.4.19" in Q._Tcl_ScanElement.__doc__ and "Tcl_ScanElement" in Q._Tcl_ScanElement.__doc__


# --------------------------------------------------------------------------
# Tcl is the judge

# Every character Tcl's list syntax cares about, every whitespace character,
# and text beyond ASCII and beyond the Basic Multilingual Plane.
SPECIAL = "{}[]$;\"\\#  \t\n\r\f\v\x1c\x85\xa0\u2028\u3000"
element_text = st.text(
    alphabet=st.one_of(
        st.sampled_from(SPECIAL),
        # NUL and lone surrogates cannot reach Tcl through tkinter at all.
        st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",)),
    ),
    max_size=12,
)
nested_lists = st.recursive(
    st.lists(element_text, max_size=6),
    lambda inner: st.lists(st.one_of(element_text, inner), max_size=5),
    max_leaves=30,
)


def split_nested(tk, text, shape):
    """Reads `text` back with Tcl's parser, following the nesting of `shape`."""
    items = tk.splitlist(text)
    assert len(items) == len(shape)
    return [split_nested(tk, item, s) if isinstance(s, list) else item for item, s in zip(items, shape)]


@settings(max_examples=400, deadline=None)
@given(nested_lists)
def test_tcl_parses_back_exactly_what_was_quoted(tk, value):
    assert split_nested(tk, quotify(value), value) == value


@settings(max_examples=200, deadline=None)
@given(st.lists(element_text, max_size=8))
def test_tcl_evaluates_quoted_words_as_the_same_words(tk, words):
    # As a script, the text is one command whose words are exactly the strings.
    tk.createcommand("brelt_words", lambda *args: tk.call("list", *args))
    try:
        assert tk.splitlist(tk.eval(quotify(["brelt_words", *words]))) == tuple(words)
    finally:
        tk.deletecommand("brelt_words")


@settings(max_examples=200, deadline=None)
@given(nested_lists)
def test_tclobj_values_arrive_as_the_same_lists(tk, value):
    obj = tclobj(value)
    assert tk.call("llength", obj) == len(value)
    for i, item in enumerate(value):
        if isinstance(item, str):
            assert tk.call("lindex", obj, i) == item
        else:
            assert tk.call("llength", tk.call("lindex", obj, i)) == len(item)
    assert split_nested(tk, tk.call("string", "cat", obj), value) == value


# --------------------------------------------------------------------------
# Bad input

class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom


class BadStr:
    __str__ = raise_boom


class BadIter(Sequence):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise Boom
        return "x"


class BadMapping(Mapping):
    def __iter__(self):
        return iter(["a"])

    def __len__(self):
        return 1

    def __getitem__(self, key):
        raise Boom


class BadHookAttribute:
    @property
    def __quotify__(self):
        raise Boom


@pytest.mark.parametrize(
    "value",
    [BadStr(), [1, BadStr()], ["x", [BadStr()]], BadIter(), [BadIter()], BadMapping(), {"k": BadStr()},
     Hooked(raise_boom), [Hooked(None, raise_boom)], BadHookAttribute(), {1, BadStr()}],
)
@pytest.mark.parametrize("func", [quotify, tclobj])
def test_errors_propagate_unchanged(func, value):
    with pytest.raises(Boom):
        func(value)


def test_iterator_errors_propagate_unchanged():
    with pytest.raises(Boom):
        Q._tcl_UpdateStringOfList(x for x in [1, BadStr()])

    def failing_iterator():
        yield "a"
        raise Boom

    for func in (Q._tcl_UpdateStringOfList, Q._tclobj_from_sequence):
        with pytest.raises(Boom):
            func(failing_iterator())


def test_hook_mutating_the_list_being_converted():
    items = []

    class Shrinker:
        def __str__(self):
            items.clear()
            return "s"

    items[:] = ["a", Shrinker(), "never seen"]
    assert quotify(items) == "a s"
    items[:] = ["a", Shrinker(), "never seen"]
    assert tclobj(items) == ("a", "s")


@pytest.mark.parametrize("func", [quotify, tclobj])
def test_self_referential_and_deep_containers(func):
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        func(loop)
    mapping = {}
    mapping["self"] = mapping
    with pytest.raises(RecursionError):
        func(mapping)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        func(deep)


def test_deep_containers_with_a_raised_recursion_limit():
    # With the limit raised, only the walk's own cap stands between a deep
    # container and the end of the C stack.
    script = textwrap.dedent("""
        import sys
        from brelt.tcl import quotify, tclobj
        sys.setrecursionlimit(10**6)
        deep = []
        for _ in range(200_000):
            deep = [deep]
        for func in (quotify, tclobj):
            try:
                func(deep)
            except RecursionError:
                pass
            else:
                raise SystemExit("no RecursionError")
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


def test_moderately_deep_nesting_is_fine():
    value = "x"
    for _ in range(200):
        value = [value, "a b"]
    text = quotify(value)
    assert text.count("{") == text.count("}") and text.startswith("{")


# --------------------------------------------------------------------------
# Reference leaks

@pytest.mark.parametrize(
    "call",
    [
        lambda: quotify(["a b", "{", [1, 2.5, None], {"k": "v w"}, b"xy", range(3)]),
        lambda: tclobj(["a b", [1, 2**70, None], {"k": {1, 2}}, (1j,)]),
        lambda: Q._Tcl_ScanElement("{a b"),
        lambda: Q._Tcl_ConvertElement("{a b", {"TCL_DONT_USE_BRACES"}),
        lambda: quotify(Hooked(None, lambda: ["x", "y z"])),
    ],
)
def test_no_reference_leaks(call):
    assert_no_leak(call, allowance=50)


# Values the result shares with the argument: a reference leaked to them
# allocates nothing, only their reference count tells.
@pytest.mark.parametrize(
    "func, value",
    [(quotify, "a b"), (quotify, ["a b", "c"]), (tclobj, "a b"), (tclobj, ("a b", 7, (None, 2.5)))],
)
def test_no_leaked_references_to_the_argument(func, value):
    assert_no_leak(func, value, rounds=200, warmup=20)


def test_no_leaks_on_errors():
    def failing():
        with pytest.raises(Boom):
            quotify(["a", "b c", BadStr()])
        with pytest.raises(Boom):
            tclobj({"a": [1, BadStr()]})

    assert_no_leak(failing, rounds=500, allowance=50)
