"""``python -m brelt.tcl``: run as a user runs it, in a child process, and
at its prompt through a real pseudo-terminal."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import time

import pytest

CLI = [sys.executable, "-m", "brelt.tcl"]


def run(*args, stdin=None, cwd=None):
    return subprocess.run([*CLI, *args], input=stdin, capture_output=True, text=True, timeout=60, cwd=cwd)


@pytest.mark.parametrize(
    ("args", "stdin", "code", "out", "err"),
    [
        (["-c", "puts hello; puts [expr {6 * 7}]"], None, 0, "hello\n42\n", ""),
        # Tcl's own trace, and a failure status.
        (["-c", "proc f {} {error boom}\nf"], None, 1, "", 'boom\n    while executing\n"error boom"\n    (procedure "f" line 1)'),
        # exit unwinds to Python, which leaves with its code, even through catch.
        (["-c", "puts -nonewline [llength $argv]; exit 3", "a", "b c"], None, 3, "2", ""),
        # exit ends the program wherever it runs: inside catch, in an event
        # handler, in a procedure; what was written before is kept.
        (["-c", "catch {exit 4}; puts reached"], None, 4, "", ""),
        (["-c", "puts -nonewline kept; after 100 {catch {exit 7}}; vwait forever"], None, 7, "kept", ""),
        (["-c", "proc f {} {exit 0}; if {[catch f]} {puts caught}; puts reached"], None, 0, "", ""),
        (["-c", "exit -1"], None, 255, "", ""),
        # A wrong exit is an error like any other, with Tcl's message.
        (["-c", "exit foo"], None, 1, "", 'expected integer but got "foo"\n    while executing\n"exit foo"'),
        (["-c", "exit 1 2"], None, 1, "", 'wrong # args: should be "exit ?returnCode?"'),
        (["-c", "puts $argv", "x", "--history"], None, 0, "x --history\n", ""),  # after an argument: one more
        (["-"], "puts [string toupper from-stdin]", 0, "FROM-STDIN\n", ""),
        ([], "set x 1\nputs $x", 0, "1\n", ""),  # standard input that is not a terminal: a script
        (["/no/such/file.tcl"], None, 1, "", 'couldn\'t read file "/no/such/file.tcl"'),
        (["--no-such-option"], None, 2, "", "usage: python -m brelt.tcl"),
    ],
)
def test_scripts(args, stdin, code, out, err):
    result = run(*args, stdin=stdin)
    assert (result.returncode, result.stdout) == (code, out), result.stderr
    assert err in result.stderr


def test_file_with_arguments_and_history(tmp_path):
    script = tmp_path / "s.tcl"
    script.write_text("puts [list [info script] $argv0 $argv $argc]\nset y 2\n")
    result = run("--history", str(script), "p q")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{script} {script} {{{{p q}}}} 1\n"
    # The history: one time-stamped line for what was run.
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: source " + re.escape(str(script)) + "\n", result.stderr)


def test_history_printed_even_after_an_error():
    result = run("--history", "-c", "set a 1\nerror oops")
    assert result.returncode == 1
    assert result.stderr.startswith("oops\n    while executing")
    assert result.stderr.endswith(": set a 1\nerror oops\n")


def test_exit_runs_the_clean_up_of_python():
    """Tcl's exit (here from an event handler, inside catch) still prints
    the history, runs Python's atexit handlers and keeps Tcl's output ahead
    of what they write."""
    code = (
        "import atexit, runpy, sys; atexit.register(print, 'atexit ran'); "
        "sys.argv = ['brelt.tcl', '--history', '-c', sys.argv[1]]; "
        "runpy.run_module('brelt.tcl', run_name='__main__', alter_sys=True)"
    )
    script = "puts -nonewline tcl-output; after 1 {catch {exit 6}}; vwait forever"
    result = subprocess.run(
        [sys.executable, "-c", code, script], capture_output=True, text=True, timeout=60
    )
    assert (result.returncode, result.stdout) == (6, "tcl-outputatexit ran\n"), result.stderr
    assert result.stderr.endswith(": " + script + "\n")


def test_help_explains_the_command_line():
    result = run("--help")
    assert result.returncode == 0
    for words in ("-c SCRIPT", "FILE", "--history", "::errorInfo", "::argv"):
        assert words in result.stdout
    version = run("--version")
    assert version.returncode == 0 and re.fullmatch(r"brelt\.tcl \d\S* on Tcl [89]\.\d+\S*\n", version.stdout)


class Terminal:
    """The command line at its prompt, on the far side of a pseudo-terminal."""

    def __init__(self, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # the child: become the command line
            os.execve(sys.executable, CLI, env)
        self.seen = ""

    def expect(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            assert left > 0, f"no {text!r} in {self.seen!r}"
            if select.select([self.fd], [], [], left)[0]:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # the child has gone
                    chunk = b""
                assert chunk, f"ended without {text!r} in {self.seen!r}"
                self.seen += chunk.decode(errors="replace")
        at = self.seen.index(text) + len(text)
        before, self.seen = self.seen[:at], self.seen[at:]
        return before

    def send(self, line):
        os.write(self.fd, line.encode() + b"\r")

    def wait(self, timeout=30):
        deadline = time.monotonic() + timeout
        while not (done := os.waitpid(self.pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(self.pid, 9)
                done = os.waitpid(self.pid, 0)
                break
            time.sleep(0.05)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(done[1])


@pytest.fixture
def terminal(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path), TERM="dumb")
    term = Terminal(env)
    yield term
    try:
        os.kill(term.pid, 9)
        term.wait()
    except (OSError, ChildProcessError):
        pass


def test_interactive_prompt(terminal, tmp_path):
    terminal.expect("Ctrl-D")
    terminal.expect("% ")
    terminal.send("set greeting [string toupper hello]")
    assert "HELLO" in terminal.expect("% ")
    # A command over several lines waits for its end.
    terminal.send("if {1} {")
    terminal.expect("> ")
    terminal.send("  puts inside")
    terminal.expect("> ")
    terminal.send("}")
    assert "inside" in terminal.expect("% ")
    # An error shows Tcl's trace and leaves the prompt running.
    terminal.send("proc f {} {error boom}; f")
    shown = terminal.expect("% ")
    assert 'boom' in shown and 'invoked from within' in shown and '"f"' in shown
    terminal.send("puts $tcl_interactive")
    assert "1" in terminal.expect("% ")
    terminal.send("exit 5")
    assert terminal.wait() == 5
    # The lines typed are kept for the next session's line editing.
    assert "set greeting [string toupper hello]" in (tmp_path / ".brelt_tcl_history").read_text()


def test_interactive_end_of_input(terminal):
    terminal.expect("% ")
    os.write(terminal.fd, b"\x04")  # Ctrl-D
    assert terminal.wait() == 0
