"""Interpreter(threaded=True): one Tcl interpreter on a thread of its own,
used from any thread and from asyncio, with Tcl's event loop running."""

import asyncio
import gc
import socket
import subprocess
import sys
import textwrap
import threading
import time
import tkinter
import traceback
from concurrent.futures import ThreadPoolExecutor

import pytest

from brelt.tcl import Interpreter, TclError
from brelt.tcl.namespace import TclCommand, TclVariable


@pytest.fixture
def ttcl():
    with Interpreter(threaded=True) as tcl:
        yield tcl


def _in_thread(func, *args):
    box = []
    thread = threading.Thread(target=lambda: box.append(_outcome(func, *args)))
    thread.start()
    thread.join(30)
    assert not thread.is_alive()
    kind, value = box.pop()
    if kind == "raised":
        # Its traceback reaches the thread's frames, which reach `box`: a
        # cycle holding the arguments (a root of this thread's) that the
        # garbage collector could free in another thread.
        value.__traceback__ = None
    return kind, value


def _outcome(func, *args):
    try:
        return ("ok", func(*args))
    except BaseException as error:  # noqa: BLE001 - the outcome is the test's subject
        return ("raised", error)


def test_requests_run_on_the_interpreter_thread(ttcl):
    owner = ttcl._loop.ident
    assert owner != threading.get_ident()
    kind, result = _in_thread(lambda: ttcl.submit(lambda: (threading.get_ident(), ttcl.jiv.expr("6*7"))).result())
    assert (kind, result) == ("ok", (owner, 42))
    assert [str(e).split(": ", 1)[1] for e in ttcl.history.filter(count=1)] == ["expr 6*7"]


def test_a_failure_reaches_the_caller_with_its_details(ttcl):
    def fail():
        ttcl.jiv.error("boom", "", "CUSTOM X")

    future = ttcl.submit(fail)
    # Where it failed, in the interpreter's thread.
    assert "fail" in [frame.name for frame in traceback.extract_tb(future.exception().__traceback__)]
    kind, error = _in_thread(future.result)
    assert kind == "raised" and isinstance(error, TclError)
    assert str(error).startswith("boom") and error.errorcode == ("CUSTOM", "X")


@pytest.mark.parametrize("request_, trace", [
    # An evaluation's own trace, even one the failing code set itself.
    (lambda t: TclCommand(("error",), tcl=t)("m", "own trace"), "own trace"),
    # A variable read after that failure: Tcl leaves the older trace in
    # place, which is not this failure's.
    (lambda t: TclVariable("::nosuch", tcl=t).get(), "can't read \"::nosuch\": no such variable"),
], ids=["evaluation", "variable read"])
def test_details_read_in_the_interpreter_thread_are_the_failures_own(ttcl, request_, trace):
    _in_thread(TclCommand(("error",), tcl=ttcl), "older", "older trace")
    kind, error = _in_thread(request_, ttcl)
    assert kind == "raised" and error.errorinfo.split("\n")[0] == trace


def test_tcl_events_run_while_idle(ttcl):
    fired = threading.Event()
    ttcl.submit(ttcl.tk.createcommand, "fired", fired.set).result()
    ttcl.submit(ttcl.tk.call, "after", 20, "set ::t 1; fired").result()
    assert fired.wait(10)
    assert ttcl.submit(ttcl.tk.getvar, "t").result() == "1"


def test_plain_interpreters_run_submit_at_once_on_their_own_thread():
    tcl = Interpreter()
    assert not tcl.threaded
    assert tcl.submit(tcl.tk.call, "expr", "1+1").result() == 2
    kind, error = _in_thread(tcl.submit, tcl.tk.call, "expr", "1+1")
    assert kind == "raised" and isinstance(error, RuntimeError)


def test_root_cannot_be_given_to_a_threaded_interpreter():
    import tkinter

    with pytest.raises(ValueError, match="root must be None"):
        Interpreter(tkinter.Tcl(), threaded=True)
    # The error's traceback and this frame make a cycle that holds the root:
    # collected here, in its own thread, not by a later test's worker.
    gc.collect()


def test_close_ends_the_thread_and_refuses_later_requests():
    tcl = Interpreter(threaded=True)
    thread = tcl._loop.thread
    tcl.close()
    assert not thread.is_alive()
    with pytest.raises(RuntimeError, match="closed"):
        tcl.submit(lambda: None)
    tcl.close()  # again: nothing to do


@pytest.mark.keeps_references("tkinter keeps references for every thread that makes a Tcl interpreter")
def test_new_interpreters_after_ended_threads_that_used_tcl():
    # Thread ids are reused, and Tcl takes a new thread for an ended one
    # that used Tcl: the interpreter's thread must not be such a thread
    # (requests from other threads would never arrive).
    for _ in range(5):
        for thread in [threading.Thread(target=Interpreter) for _ in range(3)]:
            thread.start()
            thread.join()
        with Interpreter(threaded=True) as tcl:
            assert tcl.submit(tcl.tk.call, "expr", "2+3").result(timeout=10) == 5


def test_submit_runs_a_batch_back_to_back(ttcl):
    def batch(i):
        ttcl.tk.call("set", "shared", i)
        for _ in range(20):
            ttcl.tk.call("set", "other", "x")
        return str(ttcl.tk.getvar("shared"))

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(lambda i: ttcl.submit(batch, i).result(), range(200)))
    assert results == [str(i) for i in range(200)]


def test_asyncio_awaits_with_timers_and_file_events(ttcl):
    left, right = socket.socketpair()
    try:
        ttcl.submit(ttcl.jiv.eval, textwrap.dedent("""
            set ::ticks 0
            proc tick {} { incr ::ticks; after 5 tick }
            after 5 tick
            # A socket pair of Tcl's own, read by a fileevent.
            proc accept {chan args} {
                fconfigure $chan -blocking 0 -buffering line
                fileevent $chan readable [list receive $chan]
            }
            proc receive {chan} { if {[gets $chan line] >= 0} { lappend ::received $line } }
            set ::server [socket -server accept -myaddr 127.0.0.1 0]
            set ::client [socket 127.0.0.1 [lindex [fconfigure $::server -sockname] 2]]
            fconfigure $::client -buffering line
        """)).result()
        lines = []

        def readable():
            lines.append(right.recv(100))

        ttcl.submit(ttcl.tk.createfilehandler, right, tkinter.READABLE, lambda *_: readable()).result()

        async def main():
            calls = [asyncio.ensure_future(ttcl.ajiv.set(f"v{i}", i)) for i in range(1000)]
            for call in calls[::7]:
                call.cancel()
            left.send(b"ping")
            await ttcl.ajiv.eval("puts $::client pong")
            await asyncio.sleep(0.1)
            done = await asyncio.gather(*calls, return_exceptions=True)
            return done

        done = asyncio.run(main())
        for i, outcome in enumerate(done):
            if isinstance(outcome, asyncio.CancelledError):
                assert i % 7 == 0
            else:
                assert str(outcome) == str(i)
        assert ttcl.submit(ttcl.tk.getvar, "v999").result() == "999"
        assert int(ttcl.submit(ttcl.tk.getvar, "ticks").result()) > 0
        assert lines == [b"ping"]
        assert ttcl.submit(ttcl.tk.eval, "set ::received").result() == "pong"
        assert ttcl.submit(ttcl.tk.call, "expr", "1").result() == 1  # still sound
    finally:
        ttcl.submit(ttcl.tk.deletefilehandler, right).result()
        ttcl.submit(ttcl.tk.eval, "catch {close $::client}; catch {close $::server}").result()
        left.close()
        right.close()


def test_ajiv_is_the_quick_call_proxy(ttcl):
    async def main():
        await ttcl.ajiv.namespace("eval", "::app", "proc twice {x} { expr {2*$x} }")
        return await ttcl.ajiv.app.twice(21), await ttcl.asubmit(ttcl.jiv.app.twice, 4)

    assert asyncio.run(main()) == (42, 8)
    assert "app::twice 21" in str(ttcl.history.filter(count=2)[0])


def _run(script, timeout=60):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.in_child_process
@pytest.mark.parametrize("script", [
    # a set-up that fails: its error, collected by another thread, holds no
    # Tcl interpreter
    """
    import gc, threading
    from brelt.tcl import Interpreter
    try:
        Interpreter(max_history='a lot', threaded=True)
    except TypeError as error:
        box = [error]
    t = threading.Thread(target=lambda: (box.clear(), gc.collect())); t.start(); t.join()
    """,
    # collected by another thread
    """
    import gc, threading
    from brelt.tcl import Interpreter
    tcl = Interpreter(threaded=True)
    thread = tcl._loop.thread
    holder = [tcl]; del tcl
    t = threading.Thread(target=lambda: (holder.clear(), gc.collect())); t.start(); t.join()
    thread.join(10)
    assert not thread.is_alive()
    """,
    # leaving the program with requests in flight
    """
    import threading
    from brelt.tcl import Interpreter
    tcl = Interpreter(threaded=True)
    def spam():
        try:
            while True:
                tcl.submit(tcl.tk.call, 'after', 1).result()
        except RuntimeError:
            pass
    for _ in range(4):
        threading.Thread(target=spam, daemon=True).start()
    """,
    # closed while other threads wait on it
    """
    import threading
    from brelt.tcl import Interpreter
    tcl = Interpreter(threaded=True)
    outcomes = []
    def wait():
        try:
            tcl.submit(tcl.tk.call, 'after', 200).result()
            outcomes.append('ok')
        except RuntimeError:
            outcomes.append('closed')
    threads = [threading.Thread(target=wait) for _ in range(4)]
    [t.start() for t in threads]
    tcl.close()
    [t.join(10) for t in threads]
    assert len(outcomes) == 4, outcomes
    """,
])
def test_no_abort_and_no_hang(script):
    done = _run(script)
    assert done.returncode == 0, done.stderr


def _mixed_operations(tcl, worker, rounds):
    """Every kind of request of the package, from one thread; returns what
    went wrong (nothing, when every result is right)."""
    from brelt.tcl import TclArrayVariable, TclCommand, TclNamespace, TclVariable, TempTclCommand, TempTclVariable

    wrong = []

    def check(what, got, expected):
        # Values as Tcl text: a read gives Tcl's value as tkinter hands it over.
        if type(expected) is not tuple:
            got, expected = str(got), str(expected)
        if got != expected:
            wrong.append((worker, what, got, expected))

    ns = TclNamespace(f"::w{worker}", tcl=tcl)
    ns.create()
    ns.cmds["twice"] = lambda x: str(2 * int(tcl.jiv.expr(f"{x} + 0")))  # calls back into Tcl
    var = TclVariable(f"::w{worker}::v", tcl=tcl)
    arr = TclArrayVariable(f"::w{worker}::a", tcl=tcl)
    llength = TclCommand("::llength", tcl=tcl)
    for i in range(rounds):
        kind = i % 8
        if kind == 0:
            check("jiv", tcl.jiv.expr(f"{i} * 2"), i * 2)
        elif kind == 1:
            var.set(i)
            check("variable", var.get(), str(i))
        elif kind == 2:
            arr[str(i)] = i
            check("array", arr[str(i)], str(i))
        elif kind == 3:
            check("command", llength(["a", i, "b c"]), 3)
        elif kind == 4:
            check("callback", tcl.jiv.namespace("eval", f"::w{worker}", f"twice {i}"), str(2 * i))
        elif kind == 5:
            ns.vars["k"] = i
            check("view", ns.vars["k"], str(i))
        elif kind == 6:
            with TempTclCommand(lambda x=i: x, tcl=tcl) as temp:
                check("temporary command", temp(), i)
            with TempTclVariable(tcl=tcl) as temp:
                temp.set(i)
                check("temporary variable", temp.get(), str(i))
        else:
            try:
                tcl.jiv.error(f"e{i}", "", f"W {worker}")
            except TclError as error:
                check("error", (str(error).split("\n")[0], error.errorcode), (f"e{i}", ("W", str(worker))))
            else:
                wrong.append((worker, "error", "no TclError"))
    return wrong


def test_lists_parsed_with_the_interpreter_from_another_thread(ttcl):
    from brelt.tcl.internal import GetListFromAny

    assert _in_thread(GetListFromAny, "a {b c}", ttcl.root) == ("ok", ("a", "b c"))
    kind, error = _in_thread(GetListFromAny, "a {b", ttcl.root)
    assert kind == "raised" and str(error) == "unmatched open brace in list"
    plain = Interpreter()
    kind, error = _in_thread(GetListFromAny, "a", plain.root)
    assert kind == "raised" and isinstance(error, RuntimeError)


def test_sixteen_threads_of_mixed_requests(ttcl):
    with ThreadPoolExecutor(16) as pool:
        outcomes = list(pool.map(lambda w: _mixed_operations(ttcl, w, 1000), range(16)))
    assert [w for outcome in outcomes for w in outcome] == []


@pytest.mark.parametrize("in_thread", [False, True], ids=["own thread", "other thread"])
def test_requests_from_the_interpreter_thread_and_others_agree(ttcl, in_thread):
    if in_thread:
        assert _in_thread(_mixed_operations, ttcl, 0, 16) == ("ok", [])
    else:
        assert ttcl.submit(_mixed_operations, ttcl, 0, 16).result() == []


@pytest.mark.parametrize("fails", [False, True], ids=["returns", "raises"])
def test_cancelled_awaits_leave_the_interpreter_sound(ttcl, fails):
    started = [threading.Event() for _ in range(2)]
    ttcl.submit(ttcl.tk.createcommand, "started", lambda i: started[int(i)].set()).result()
    ttcl.submit(ttcl.tk.setvar, "done", "").result()
    late = "error late" if fails else "return late"
    handled = []

    async def wait_until(event):
        for _ in range(2000):
            if event.is_set():
                return
            await asyncio.sleep(0.005)
        raise AssertionError("the request never started")

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: handled.append(context))
        # Two long requests, each cancelled once it runs, and a batch queued
        # behind them, half of it cancelled there.
        running = [asyncio.ensure_future(ttcl.ajiv.eval(f"started {i}; after 300; lappend ::done r{i}; {late}"))
                   for i in range(2)]
        queued = [asyncio.ensure_future(ttcl.ajiv.lappend("done", f"q{i}")) for i in range(20)]
        await wait_until(started[0])
        for task in [running[0], *queued[::2]]:
            task.cancel()
        await wait_until(started[1])
        running[1].cancel()
        kept = await asyncio.gather(*queued[1::2])
        outcomes = await asyncio.gather(*running, *queued[::2], return_exceptions=True)
        assert all(isinstance(outcome, asyncio.CancelledError) for outcome in outcomes)
        return kept, await ttcl.ajiv.expr("6 * 7")

    kept, later = asyncio.run(main())
    # The requests cancelled while running completed; those cancelled while
    # queued did not run; the others ran in order, with their own results.
    done = ["r0", "r1"] + [f"q{i}" for i in range(1, 20, 2)]
    assert ttcl.submit(ttcl.tk.eval, "set done").result().split() == done
    assert [outcome[-1] for outcome in kept] == done[2:]
    assert later == 42 and handled == []


def test_an_idle_interpreter_uses_no_cpu(ttcl):
    # Its thread sleeps in Tcl's notifier until an event or a request comes:
    # a thread that polls, even every millisecond, spends tens of ms here.
    before = ttcl.submit(time.thread_time).result()
    time.sleep(1)
    assert ttcl.submit(time.thread_time).result() - before < 0.01
