"""The call history."""

import logging

import pytest

from brelt.tcl.history import Entry, History


def test_bounded():
    h = History(max_history=2)
    for word in "abc":
        h.append(word)
    assert [e.api for e in h.filter()] == ["b", "c"]


def test_entry_forms():
    e = Entry(["puts", "hello world"])
    assert e.api == "puts {hello world}"
    assert str(e) == e.timestamp.strftime("%Y-%m-%dT%H:%M:%S.%f") + ": puts {hello world}"
    assert repr(e) == f"<Entry '{e}' at {hex(id(e))}>"
    assert Entry("already {one} line").api == "already {one} line"


def test_markers_and_filter():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.end_marker("m")
    h.append("b")
    assert [e.api for e in h.filter("m")] == ["a"]
    assert [e.api for e in h.filter()] == ["a", "b"]
    with pytest.raises(Exception, match="^No such marker: setup$"):
        h.filter("setup")


def test_disabled_still_logs(caplog):
    h = History()
    h.disable()
    with caplog.at_level(logging.DEBUG, logger="brelt.tcl"):
        h.append(["set", "x", "1"])
    assert h.filter() == []
    assert [r.getMessage() for r in caplog.records] == ["% ['set', 'x', '1']"]
