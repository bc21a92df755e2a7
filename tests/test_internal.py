"""brelt.tcl.internal: the Tcl library through ctypes, list parsing with
Tcl's own scanner, and dictionary-order comparison, judged by real Tcl."""

import ctypes
import functools
import gc
import sys
import tkinter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brelt.tcl import cast_list, internal
from brelt.tcl.internal import GetListFromAny

TclError = tkinter.TclError


@pytest.fixture(scope="module")
def root():
    return tkinter.Tcl()


@pytest.fixture(scope="module")
def tk(root):
    return root.tk


def tcl_list_text(tk, strings):
    """Tcl's own string form of the list of `strings`."""
    return tk.call("format", "%s", tk.call("list", *strings))


def assert_no_leak(func, rounds=40, warmup=10):
    for _ in range(warmup):
        func()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        func()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < rounds // 2, f"{grown} blocks more after {rounds} calls"


# ---------------------------------------------------------------------------
# GetListFromAny: text


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a b c {de} {f g h { i }}", ("a", "b", "c", "de", "f g h { i }")),
        ("", ()),
        ("   ", ()),
        (" \t\n\r\v\f ", ()),
        ("  a  ", ("a",)),
        ("a\\ b c", ("a b", "c")),
        ("{a\\ b} c", ("a\\ b", "c")),
        ('a "b c" d', ("a", "b c", "d")),
        ('"a\\"b"', ('a"b',)),
        ("{}", ("",)),
        ('{} "" x', ("", "", "x")),
        ("é ü", ("é", "ü")),
        ("\U0001f600 {x \U0001f600}", ("\U0001f600", "x \U0001f600")),
        ("a\\nb \\x41\\u00e9", ("a\nb", "Aé")),
        ("a\\\nb", ("a b",)),
        ("{a\\\nb}", ("a\\\nb",)),
        ("{{a} {b}} c", ("{a} {b}", "c")),
        ("1 2.5 true", ("1", "2.5", "true")),
        # A NUL character is part of the text like any other.
        ("a\x00b c", ("a\x00b", "c")),
        ("\x00", ("\x00",)),
        ("x \x00 y", ("x", "\x00", "y")),
    ],
)
def test_parse_table(text, expected, tk):
    result = GetListFromAny(text)
    assert type(result) is tuple
    assert result == expected
    if "\x00" not in text:  # tkinter refuses NUL characters here
        assert result == tk.splitlist(text)


@pytest.mark.parametrize(
    "text, message",
    [
        ("{a b", "unmatched open brace in list"),
        ('"abc', "unmatched open quote in list"),
        ('"a"x', 'list element in quotes followed by "x" instead of space'),
        ("{a}x y", 'list element in braces followed by "x" instead of space'),
        ("a {b", "unmatched open brace in list"),
    ],
)
def test_malformed_text(text, message, root, tk):
    with pytest.raises(TclError) as no_interp:
        GetListFromAny(text)
    assert no_interp.value.args == ("invalid list element",)
    with pytest.raises(TclError) as with_interp:
        GetListFromAny(text, interp=root)
    assert with_interp.value.args == (message,)
    # The message is the interpreter's result, left in place.
    assert internal.TclDLL.Tcl_GetStringResult(root).decode() == message
    with pytest.raises(TclError) as tcl:
        tk.splitlist(text)
    assert str(tcl.value) == message


def test_interpreter_as_pointer(root):
    pointer = internal.Tcl_Interp_p(root.interpaddr())
    with pytest.raises(TclError, match="unmatched open brace"):
        GetListFromAny("{", pointer)
    with pytest.raises(TclError) as null:
        GetListFromAny("{", internal.Tcl_Interp_p())
    assert null.value.args == ("invalid list element",)
    assert GetListFromAny("a b", pointer) == ("a", "b")


def test_error_message_that_is_not_utf8(root):
    # Tcl quotes 20 bytes of the text, cutting the last character in two.
    text = "{a}x" + "\U0001f600" * 8
    with pytest.raises(TclError) as exc:
        GetListFromAny(text, root)
    assert exc.value.args[0].startswith('list element in braces followed by "x\U0001f600\U0001f600')


def test_error_message_in_tcl_internal_form(root, tk):
    # Tcl keeps NUL as C0 80 and characters beyond the BMP as surrogate
    # pairs; its result still reads as the text it stands for.
    with pytest.raises(TclError):
        tk.eval('error "bad \\x00 \\uD83D\\uDE00 thing"')
    assert internal.TclDLL.Tcl_GetStringResult(root) == b"bad \xc0\x80 \xed\xa0\xbd\xed\xb8\x80 thing"
    with pytest.raises(TclError) as exc:
        internal.TclError_from_interp(root)
    assert exc.value.args == ("bad \x00 \U0001f600 thing",)


def tcl_interp_argument_error(interp):
    """What ctypes raises when a library call gets `interp` as its first argument."""
    with pytest.raises(Exception) as exc:
        internal.TclDLL.TclFindElement(interp, b"a", 1, None, None, None, None)
    return exc.value


@pytest.mark.parametrize("interp", [object(), "x", 5, tkinter.Tcl().tk])
def test_unsupported_interp(interp):
    expected = tcl_interp_argument_error(interp)
    assert type(expected) is ctypes.ArgumentError
    for text in ("a b", "   ", "{"):
        with pytest.raises(ctypes.ArgumentError) as exc:
            GetListFromAny(text, interp=interp)
        assert exc.value.args == expected.args
        assert "Unrecognized Tcl interpreter object: " + repr(interp) in str(exc.value)
    # Without text there is no library call, so the interpreter is not looked at.
    assert GetListFromAny("", interp=interp) == ()
    assert GetListFromAny(None, interp=interp) == ()


def test_keywords_and_signature():
    import inspect

    assert GetListFromAny(obj="a b", interp=None) == ("a", "b")
    assert str(inspect.signature(GetListFromAny)) == "(obj, interp=None)"
    with pytest.raises(TypeError):
        GetListFromAny()
    with pytest.raises(TypeError):
        GetListFromAny("a", None, None)


# ---------------------------------------------------------------------------
# GetListFromAny: values that are not text


class Words:
    def __str__(self):
        return "x {y z}"


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ()),
        (5, (5,)),
        (True, (True,)),
        (1.5, (1.5,)),
        (2**100, (2**100,)),
        ([1, "a b"], (1, "a b")),
        ({1}, (1,)),
        (frozenset(["a b"]), ("a b",)),
        (b"ab", (97, 98)),
        (bytearray(b"a"), (97,)),
        (range(3), (0, 1, 2)),
        (Words(), ("x", "y z")),
        ({"k": 1}, ("'k': 1",)),  # a mapping is read as its text
    ],
)
def test_values(value, expected):
    result = GetListFromAny(value)
    assert type(result) is tuple
    assert result == expected
    assert all(type(a) is type(b) for a, b in zip(result, expected))


def test_tuple_is_returned_as_is():
    t = (1, "a b")
    assert GetListFromAny(t) is t

    class T(tuple):
        pass

    sub = T((1, 2))
    result = GetListFromAny(sub)
    assert type(result) is tuple and result == (1, 2)


def test_str_subclass_and_int_subclass():
    class S(str):
        def __str__(self):
            return "ignored"

    assert GetListFromAny(S("a b")) == ("a", "b")

    class I(int):
        pass

    # Not exactly an int: read as its text.
    assert GetListFromAny(I(7)) == ("7",)


def test_tcl_obj_is_read_as_text(tk):
    obj = tk.call("dict", "create", "a", "b c")
    assert not isinstance(obj, (str, tuple))
    assert GetListFromAny(obj) == ("a", "b c")


def test_bad_text():
    with pytest.raises(UnicodeEncodeError):
        GetListFromAny("a \ud800")
    # Backslash sequences that Tcl turns into bytes that are not UTF-8.
    with pytest.raises(UnicodeDecodeError):
        GetListFromAny("\\ud800 x")

    class Bad:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        GetListFromAny(Bad())


def test_huge_list(tk):
    words = [f"w{i}" for i in range(1_000_000)]
    words[123_456] = "two words"
    text = tcl_list_text(tk, words)
    assert GetListFromAny(text) == tuple(words)
    assert GetListFromAny(words) == tuple(words)


def test_long_element():
    element = "x" * 100_000 + "\\ " + "é" * 1000
    assert GetListFromAny(element + " y") == ("x" * 100_000 + " " + "é" * 1000, "y")
    assert GetListFromAny("{" + element + "}") == (element,)


def test_no_reference_leaks(root):
    text = "a {b c} d\\ e \"f g\" é " * 20
    assert_no_leak(lambda: GetListFromAny(text))
    assert_no_leak(lambda: GetListFromAny(text, root))
    assert_no_leak(lambda: GetListFromAny([1, 2, 3]))

    def failing():
        with pytest.raises(TclError):
            GetListFromAny("a {b", root)
        with pytest.raises(ctypes.ArgumentError):
            GetListFromAny("a", object())
        with pytest.raises(UnicodeDecodeError):
            GetListFromAny("a \\ud800")

    assert_no_leak(failing)


# ---------------------------------------------------------------------------
# GetListFromAny against Tcl on random input

tcl_strings = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(tcl_strings, max_size=8))
def test_tcl_list_text_parses_back(tk, strings):
    text = tcl_list_text(tk, strings)
    result = GetListFromAny(text)
    assert result == tuple(strings)
    if "\x00" not in text:
        assert result == tk.splitlist(text)


list_alphabet = st.sampled_from(list("ab {}\"\\ \t\n;$[]xé") + ["\\n", "\\x41", "\\u00e9", "\\\n"])


@settings(max_examples=500, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(list_alphabet, max_size=16).map("".join))
def test_random_text_agrees_with_tcl(tk, root, text):
    try:
        expected = tk.splitlist(text)
    except TclError as exc:
        with pytest.raises(TclError) as ours:
            GetListFromAny(text, root)
        assert ours.value.args == (str(exc),)
        with pytest.raises(TclError, match="^invalid list element$"):
            GetListFromAny(text)
    else:
        assert GetListFromAny(text) == expected
        assert GetListFromAny(text, root) == expected


# ---------------------------------------------------------------------------
# The package's cast_list


def test_cast_list(tk):
    assert cast_list('a {b c} "d e"') == ["a", "b c", "d e"]
    assert cast_list(tk.call("list", "a", "b c")) == ["a", "b c"]
    assert cast_list(None) == []
    assert cast_list(3) == [3]
    with pytest.raises(TclError):
        cast_list("{")
