"""The call history: entries, bounds, markers, filtering and logging."""

import collections
import datetime
import logging
import os
import re
import sys
import time

import pytest
from hypothesis import given, settings, strategies as st

from brelt.tcl.history import Entry, History
from support import assert_no_leak

# The module object itself: the package attribute brelt.tcl.history is the
# default interpreter's History.
history_module = sys.modules[History.__module__]


def apis(entries):
    return [e.api for e in entries]


def filled(*commands, **kwargs):
    h = History(**kwargs)
    for command in commands:
        h.append(command)
    return h


# ---------------------------------------------------------------------------
# The module


def test_module_names_and_logger():
    names = [n for n in vars(history_module) if not n.startswith("__")]
    assert names == ["re", "logging", "deque", "get_time", "log", "Entry", "History"]
    assert history_module.deque is collections.deque and history_module.re is re
    assert history_module.log is logging.getLogger("brelt.tcl")
    assert not hasattr(history_module, "__all__")
    assert "history" in history_module.__doc__


# ---------------------------------------------------------------------------
# Entry


@pytest.mark.parametrize(
    "api, line",
    [
        (["puts", "hello world"], "puts {hello world}"),
        (("set", "x", "a b", "-opt", "v"), "set x {a b} -opt v"),
        (lambda: iter(["a b", "c"]), "{a b} c"),  # made anew for each run
        (["tab\there", "{x}", "", "  "], "tab\there {x}  {  }"),  # only the blank counts
        (["é ü", "€"], "{é ü} €"),
        (["\U0001f600 x"], "{\U0001f600 x}"),
        ([], ""),
        ("already {one} line", "already {one} line"),
    ],
)
def test_entry_line(api, line):
    assert Entry(api() if callable(api) else api).api == line


def test_entry_str_repr_and_order():
    e = Entry(["puts", "hello world"])
    assert list(vars(e)) == ["timestamp", "api"]
    assert isinstance(e.timestamp, datetime.datetime)
    assert str(e) == e.timestamp.strftime("%Y-%m-%dT%H:%M:%S.%f") + ": puts {hello world}"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: puts \{hello world\}", str(e))
    assert repr(e) == f"<Entry '{e}' at {hex(id(e))}>"


class _Word(str):
    pass


# Words short and long (past a copy of 16 bytes), ASCII or not, str or a
# subclass, in lists longer than the 64 words joined in one pass.
_WORDS = st.lists(
    st.text(st.sampled_from("ab {}\t-é€"), max_size=40).flatmap(lambda t: st.sampled_from([t, _Word(t)])),
    max_size=70,
)


@given(_WORDS)
def test_entry_line_of_any_words(words):
    assert Entry(words).api == " ".join("{" + w + "}" if " " in w else w for w in words)


@pytest.mark.parametrize("api, error", [(["a", 1], "sequence item 1"), (5, "not iterable"), ([["a b"]], "item 0")])
def test_entry_needs_strings(api, error):
    with pytest.raises(TypeError, match=error):
        Entry(api)


def test_entry_subclass_and_time_source(monkeypatch):
    moment = datetime.datetime(2024, 5, 1, 13, 45, 7, 123456)
    monkeypatch.setattr(history_module, "get_time", lambda: moment)

    class Tagged(Entry):
        def __init__(self, api):
            super().__init__(api)
            self.tag = "t"

    e = Tagged(["puts", "hello world"])
    assert (e.timestamp, e.tag, str(e)) == (moment, "t", "2024-05-01T13:45:07.123456: puts {hello world}")
    # History builds its entries through the module attributes as they are now.
    monkeypatch.setattr(history_module, "Entry", Tagged)
    h = filled("x")
    assert type(h.filter()[0]) is Tagged and h.filter()[0].timestamp == moment


@pytest.mark.parametrize("make", [Entry, lambda api: filled(api).filter()[0]], ids=["Entry", "History.append"])
def test_replaced_time_source_is_called(monkeypatch, make):
    moment = datetime.datetime(2024, 5, 1, 13, 45, 7, 123456)
    monkeypatch.setattr(history_module, "get_time", lambda: moment)
    assert make("x").timestamp is moment


@pytest.mark.parametrize("zone", ["UTC", "Asia/Kathmandu", "America/St_Johns", "Pacific/Chatham"])
@pytest.mark.parametrize("make", [Entry, lambda api: filled(api).filter()[0]], ids=["Entry", "History.append"])
def test_timestamp_is_datetime_now_in_the_zone_of_the_moment(zone, make):
    # The stamp is datetime.now() as it would be read at append time, also
    # right after the process switched zones within the same second.
    old = os.environ.get("TZ")
    try:
        make("warm")
        os.environ["TZ"] = zone
        time.tzset()
        before = datetime.datetime.now()
        stamp = make("x").timestamp
        after = datetime.datetime.now()
    finally:
        if old is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = old
        time.tzset()
    assert type(stamp) is datetime.datetime and stamp.tzinfo is None
    assert before <= stamp <= after and stamp.fold == before.fold


# ---------------------------------------------------------------------------
# History: storage and bounds


def test_history_attributes():
    h = History()
    assert History.__MAX_HISTORY__ == 9999
    assert vars(h) == {"__history__": collections.deque(maxlen=9999), "__markers__": {},
                       "__activeMarkers__": [], "enabled": True}
    assert h.__history__.maxlen == 9999
    assert str(h) == str(h.__history__) == "deque([], maxlen=9999)"


def test_bounded_and_unbounded():
    h = filled("a", "b", "c", max_history=2)
    assert apis(h.filter()) == ["b", "c"]
    big = History(max_history=None)
    big.start_marker("m")
    for i in range(20_000):
        big.append(["set", "x", str(i)])
    assert len(big.__history__) == len(big.__markers__["m"]) == 20_000
    assert big.__markers__["m"].maxlen is None
    assert big.filter(count=1)[0].api == "set x 19999"
    with pytest.raises(ValueError):
        History(max_history=-1)


def test_thousands_of_entries_bounded_with_markers():
    h = History(max_history=1000)
    h.start_marker("all")
    for i in range(5000):
        if i == 4500:
            h.start_marker("late")
        h.append(["set", "x", str(i)])
    assert len(h.__history__) == len(h.__markers__["all"]) == 1000
    assert h.__markers__["late"].maxlen == 1000
    assert apis(h.filter("late", count=0)) == [f"set x {i}" for i in range(4500, 5000)]
    assert apis(h.filter(count=3)) == ["set x 4997", "set x 4998", "set x 4999"]
    assert h.filter(count=0)[0].api == "set x 4000"


def test_disable_enable():
    h = filled("a")
    h.disable()
    h.append("b")
    assert not h.enabled and apis(h.filter()) == ["a"]
    h.enable()
    h.append("c")
    assert apis(h.filter()) == ["a", "c"]


# ---------------------------------------------------------------------------
# Markers


def test_marker_records_while_active():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.end_marker("m")
    h.append("b")
    assert apis(h.filter("m")) == ["a"] and apis(h.filter()) == ["a", "b"]
    h.start_marker("m")  # an existing marker keeps its entries
    h.append("c")
    assert apis(h.filter("m")) == ["a", "c"]


def test_marker_active_twice():
    h = History()
    h.start_marker("m")
    h.start_marker("n")
    h.start_marker("m")
    h.append("a")
    assert apis(h.filter("m")) == ["a", "a"] and apis(h.filter("n")) == ["a"]
    entries = h.filter("m") + h.filter("n") + h.filter()
    assert all(e is entries[0] for e in entries)  # one Entry, shared
    h.end_marker("m")
    assert h.__activeMarkers__ == ["n", "m"]
    h.append("b")
    assert apis(h.filter("m")) == ["a", "a", "b"]


def test_end_marker_not_active():
    h = History()
    with pytest.raises(ValueError):
        h.end_marker("m")
    h.start_marker("m")
    h.end_marker("m")
    with pytest.raises(ValueError):
        h.end_marker("m")


def test_clear():
    h = History()
    h.start_marker("m")
    h.start_marker("n")
    h.append("a")
    h.clear()
    assert h.filter() == [] and apis(h.filter("m")) == ["a"]
    h.append("b")
    h.clear("m")
    assert h.filter("m") == [] and apis(h.filter("n")) == ["a", "b"] and apis(h.filter()) == ["b"]
    h.clear(marker="m", clear_all=True)
    assert h.filter() == [] and h.filter("n") == []
    assert list(h.__markers__) == ["m", "n"] and h.__activeMarkers__ == ["m", "n"]
    with pytest.raises(KeyError) as info:
        h.clear("nope")
    assert info.value.args == ("nope",)


# ---------------------------------------------------------------------------
# filter


def test_filter_count():
    h = filled("x", "y", "z")
    assert apis(h.filter(count=1)) == ["z"]
    assert apis(h.filter(count=0)) == ["x", "y", "z"]
    assert apis(h.filter(count=-1)) == ["y", "z"]  # drops from the front
    assert apis(h.filter(count=-5)) == []
    assert apis(h.filter(count=10)) == ["x", "y", "z"]
    assert h.filter() is not h.filter()


@given(st.integers(0, 60), st.integers(-80, 80), st.integers(1, 40) | st.none())
@settings(max_examples=200, deadline=None)
def test_filter_is_the_slice(n, count, maxlen):
    h = filled(*(f"c{i}" for i in range(n)), max_history=maxlen)
    assert h.filter(count=count) == list(h.__history__)[-count:]


def test_filter_count_before_pattern():
    h = filled("set a 1", "puts a", "set b 2", "puts b", "puts c", "puts d", "set e 5")
    assert apis(h.filter(count=5, regex="^set")) == ["set b 2", "set e 5"]
    assert apis(h.filter(regex=re.compile(r"\bb\b"))) == ["set b 2", "puts b"]
    assert apis(h.filter(regex="")) == apis(h.filter())  # an empty pattern filters nothing


@pytest.mark.parametrize("count", [None, "3", 2.0])
def test_filter_count_must_be_integer(count):
    with pytest.raises(TypeError):
        filled("a").filter(count=count)


@pytest.mark.parametrize("marker", ["setup", ("a", "b")])
def test_filter_unknown_marker(marker):
    with pytest.raises(Exception) as info:
        filled("a").filter(marker)
    assert type(info.value) is Exception
    assert info.value.args == (f"No such marker: {marker}",)
    assert isinstance(info.value.__context__, KeyError)


# ---------------------------------------------------------------------------
# Logging


def test_debug_lines(caplog):
    with caplog.at_level(logging.DEBUG, logger="brelt.tcl"):
        h = History()
        h.append(["set", "myVar", "value"])
        h.disable()
        h.append("puts {a b}")
        h.enable()
    records = [r for r in caplog.records if r.name == "brelt.tcl"]
    assert [r.getMessage() for r in records] == [
        "TclHistory is enabled.",
        "% ['set', 'myVar', 'value']",
        "TclHistory is disabled.",
        "% puts {a b}",
        "TclHistory is enabled.",
    ]
    assert all(r.levelno == logging.DEBUG and r.args == () for r in records)
    assert records[1].msg == "% ['set', 'myVar', 'value']"


class CountingList(list):
    strs = 0

    def __str__(self):
        CountingList.strs += 1
        return "counted"


def test_debug_line_only_built_when_seen(caplog):
    log = logging.getLogger("brelt.tcl")
    h = History()
    CountingList.strs = 0
    with caplog.at_level(logging.INFO, logger="brelt.tcl"):
        h.append(CountingList(["a"]))
    assert CountingList.strs == 0 and apis(h.filter()) == ["a"]
    with caplog.at_level(logging.DEBUG, logger="brelt.tcl"):
        log.disabled = True
        try:
            h.append(CountingList(["b"]))
        finally:
            log.disabled = False
        assert CountingList.strs == 0
        h.append(CountingList(["c"]))
    assert CountingList.strs == 1 and caplog.records[-1].getMessage() == "% counted"


def test_replaced_logger_is_used(monkeypatch):
    lines = []

    class Recorder:
        def debug(self, message):
            lines.append(message)

    monkeypatch.setattr(history_module, "log", Recorder())
    h = History()
    h.append(["a", "b c"])
    assert lines == ["TclHistory is enabled.", "% ['a', 'b c']"]


# ---------------------------------------------------------------------------
# Introspection and leaks


def test_signatures_and_docs():
    import inspect

    assert str(inspect.signature(History)) == "(max_history=9999)"
    assert str(inspect.signature(History.filter)) == "(self, marker=None, count=20, regex=None)"
    assert str(inspect.signature(History.clear)) == "(self, marker=None, clear_all=False)"
    assert str(inspect.signature(Entry)) == "(api)"
    assert Entry.__doc__.startswith("Tcl Historical Entry")
    assert "deque" in History.__doc__ and "marker" in History.__doc__


def test_no_leaks():
    h = History(max_history=10)
    h.start_marker("m")
    assert_no_leak(lambda: h.append(["set", "x", "a b"]))
    assert_no_leak(lambda: h.filter("m", count=5, regex="x"))
    assert_no_leak(lambda: str(h.filter(count=1)[0]))
    h2 = History()
    assert_no_leak(lambda: pytest.raises(Exception, h2.filter, "missing"))


@pytest.mark.parametrize("name", ["enabled", "__history__", "__activeMarkers__", "disabled"])
def test_class_attributes_win_over_the_instance_dict(monkeypatch, caplog, name):
    # append() reads what __init__ stored in the instance; a data descriptor
    # that a class defines later takes precedence, as for any attribute.
    h = History()
    other = collections.deque()
    values = {"enabled": False, "__history__": other, "__activeMarkers__": ["m"], "disabled": True}
    owner = logging.Logger if name == "disabled" else History
    with caplog.at_level(logging.DEBUG, logger="brelt.tcl"):
        h.append("warm")  # both classes looked at, the logger's answer cached
        monkeypatch.setattr(owner, name, property(lambda self: values[name]), raising=False)
        if name == "__activeMarkers__":
            h.__markers__["m"] = other
        CountingList.strs = 0
        h.append(CountingList(["x"]))
    expected = {
        "enabled": (["warm"], [], 1),
        "__history__": (["warm"], ["x"], 1),
        "__activeMarkers__": (["warm", "x"], ["x"], 1),
        "disabled": (["warm", "x"], [], 0),  # a disabled logger: no line is built
    }[name]
    assert (apis(h.__dict__["__history__"]), apis(other), CountingList.strs) == expected


# ---------------------------------------------------------------------------
# to_tcl: the history as a script that replays it

from brelt.tcl import Interpreter, quotify  # noqa: E402

# Words as the quick calls send them: Tcl's special characters, blanks, and
# lists (whose braces Tcl's list quoting balances).
TCL_TEXT = st.text(st.sampled_from(list("ab $[]\\\";\n#\t\xe9\u20ac\U0001f600")), max_size=8)
WORD = TCL_TEXT | st.lists(TCL_TEXT, max_size=3).map(quotify)


@settings(max_examples=60, deadline=None)
@given(first=st.sampled_from(["rec", "#rec"]), words=st.lists(WORD, max_size=5))
def test_to_tcl_runs_the_recorded_words(first, words):
    h = filled([first, *words])
    script = h.to_tcl()
    tk = Interpreter().tk
    tk.eval("proc rec args {lappend ::got $args}; proc #rec args {lappend ::got $args}")
    tk.eval(script)
    assert tk.splitlist(tk.splitlist(tk.getvar("got"))[0]) == tuple(words)


def test_to_tcl_layout(monkeypatch):
    stamps = iter([datetime.datetime(2026, 12, 7, 10, 8, 24, 170646), datetime.datetime(2026, 12, 7, 10, 8, 25)])
    monkeypatch.setattr(history_module, "get_time", lambda: next(stamps))
    h = filled(["proc", "f", "a {b 2}", "return [list $a $b]"], ["set", "v", "$x"])
    assert h.to_tcl() == (
        "# 2026-12-07T10:08:24.170646\n"
        "proc f {a {b 2}} {return [list $a $b]}\n"  # a proper line, exactly as recorded
        "# 2026-12-07T10:08:25.000000\n"
        "set v {$x}\n"  # sent as the word $x, never substituted
    )
    assert History().to_tcl() == ""


def tcl_state(tk, names):
    state = {}
    for name in names:
        if tk.getboolean(tk.call("array", "exists", name)):
            state[name] = dict(zip(*[iter(tk.splitlist(tk.call("array", "get", name)))] * 2))
        elif tk.getboolean(tk.call("info", "exists", name)):
            state[name] = tk.eval(quotify(("set", name)))
    for proc in tk.splitlist(tk.call("info", "procs", "p*")):
        state[proc] = (tk.call("info", "args", proc), tk.call("info", "body", proc))
    return state


@settings(max_examples=25, deadline=None)
@given(values=st.lists(WORD, min_size=1, max_size=4), key=TCL_TEXT)
def test_to_tcl_replays_in_a_fresh_interpreter(values, key):
    tcl = Interpreter()
    jiv = tcl.jiv
    jiv.set("s", values[0])
    jiv.proc("p", "a {b {x y}}", "global calls; lappend calls [list $a $b]")
    tcl.history.start_marker("m")
    jiv.array("set", "arr", [key, values[-1], "k", values[0]])
    for value in values:
        jiv.lappend("L", value)
        jiv.p(value)
    jiv.dict("set", "d", key, values[-1])
    tcl.history.end_marker("m")
    jiv.p(values[0], values[-1])
    names = ["s", "arr", "L", "d", "calls"]
    for marker, kept in ((None, names), ("m", ["arr", "L", "d"])):
        fresh = Interpreter()
        if marker == "m":  # the marker holds the calls, not the proc they call
            fresh.tk.eval("proc p {a {b {x y}}} {global calls; lappend calls [list $a $b]}")
        fresh.tk.eval(tcl.history.to_tcl(marker))
        expected = tcl_state(tcl.tk, kept)
        assert tcl_state(fresh.tk, names if marker is None else kept) == expected
        assert set(expected) >= {"L", "d"}


def test_to_tcl_unknown_marker():
    h = History()
    with pytest.raises(Exception) as info:
        h.to_tcl("setup")
    assert type(info.value) is Exception and info.value.args == ("No such marker: setup",)
    assert isinstance(info.value.__context__, KeyError)


# ---------------------------------------------------------------------------
# The read-only sequence of the general history


@settings(max_examples=60, deadline=None)
@given(count=st.integers(0, 12), maxlen=st.one_of(st.none(), st.integers(0, 6)),
       index=st.integers(-15, 15), window=st.tuples(st.none() | st.integers(-15, 15), st.none() | st.integers(-15, 15),
                                                    st.none() | st.integers(-3, 3).filter(bool)))
def test_history_reads_as_the_sequence_of_its_general_history(count, maxlen, index, window):
    h = filled(*[f"cmd {i}" for i in range(count)], max_history=maxlen)
    h.start_marker("m")
    h.append("marked")  # in the general history too, and only once there
    model = list(h.__history__)
    assert len(h) == len(model)
    assert list(h) == model and list(reversed(h)) == model[::-1]
    assert h[slice(*window)] == model[slice(*window)]
    if -len(model) <= index < len(model):
        assert h[index] is model[index]
    else:
        with pytest.raises(IndexError):
            h[index]
    assert h[-1].api == "marked" if model else True


def test_history_iterates_while_commands_are_recorded(tcl):
    for i in range(3):
        tcl.jiv.set("x", i)
    seen = []
    for entry in tcl.history:  # each step records one more command
        seen.append(entry.api)
        tcl.jiv.set("y", entry.api)
    assert seen == ["set x 0", "set x 1", "set x 2"]
    assert [e.api for e in reversed(tcl.history)][:2] == ["set y {set x 2}", "set y {set x 1}"]


@pytest.mark.parametrize("index, error", [("a", TypeError), (1.0, TypeError), (None, TypeError)])
def test_history_index_of_another_type(index, error):
    with pytest.raises(error):
        filled("a")[index]


@pytest.mark.parametrize("value", ["a lot", 1.5, [3]], ids=["str", "float", "list"])
@pytest.mark.parametrize("make", [History, lambda m: __import__("brelt.tcl").tcl.Interpreter(max_history=m)],
                         ids=["History", "Interpreter"])
def test_a_max_history_of_another_type_is_named(make, value):
    with pytest.raises(TypeError, match=rf"^max_history must be an integer or None, not {type(value).__name__}$"):
        make(value)
