"""``python -m brelt.tcl``: run as a user runs it, in a child process, and
at its prompt through a real pseudo-terminal."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import termios
import time

import pytest

CLI = [sys.executable, "-m", "brelt.tcl"]

pytestmark = pytest.mark.in_child_process


def run(*args, stdin=None, cwd=None):
    return subprocess.run([*CLI, *args], input=stdin, capture_output=True, text=True, timeout=60, cwd=cwd)


@pytest.mark.parametrize(
    ("args", "stdin", "code", "out", "err"),
    [
        (["-c", "puts hello; puts [expr {6 * 7}]"], None, 0, "hello\n42\n", ""),
        # Tcl's own trace, and a failure status.
        (["-c", "proc f {} {error boom}\nf"], None, 1, "",
         'boom\n    while executing\n"error boom"\n    (procedure "f" line 1)'),
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
        # Standard input that is not a terminal, with no FILE: a command at a
        # time, as tclsh runs it. A failure prints its message and the next
        # command runs; a command reads the lines after it; the end is status 0.
        ([], "set x 1\nputs $x", 0, "1\n", ""),
        ([], "puts a\nif {1} {\nerror boom\n}\nputs b\n", 0, "a\nb\n", "boom\n"),
        ([], "gets stdin line\nread by the command\nputs $line\nexit 5\nputs no", 5, "read by the command\n", ""),
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
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: source " + re.escape(str(script)) + "\n",
                        result.stderr)


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


@pytest.mark.parametrize(
    "script",
    [
        "while 1 {}",
        "while 1 {catch {while 1 {}}}",  # past every catch
        "proc f {} {while 1 {}}; f",
        "vwait forever",  # waiting for events
        "after 2000; puts late",  # blocked in the system: ends at the next command
        "after 2000",  # ... or as it ends
    ],
)
def test_ctrl_c_ends_a_script_as_it_ends_tclsh(script):
    """Killed by SIGINT after Python's clean-up (the shell sees 130), with
    no Python traceback; the history is still printed."""
    child = subprocess.Popen(
        [*CLI, "--history", "-c", f"puts started; flush stdout; {script}"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "started\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGINT, err
    assert out == "" and "Traceback" not in err and err.endswith(script + "\n")


@pytest.mark.parametrize(
    "script",
    [
        b'puts [string length "a\0b"]; puts [string map [list \0 NUL] "a\0b"]',  # NUL: an ordinary character
        b'puts "\xe9t\xe9"; puts [string length "\xff"]',  # not UTF-8: Tcl's own reading
        b'puts "ok \xe9"\nerror "a\0b \xe9"',  # both in an error and its trace
        b"puts [list [llength $argv] [string length [lindex $argv 0]]]\r\n",  # CR LF, as Tcl reads it
    ],
)
def test_a_script_is_read_as_tcl_reads_it(script, tmp_path):
    """Standard input runs as Tcl's own `source` of the same bytes (Tcl reads
    them in the system encoding, and Tcl 9 refuses what does not fit); -c
    runs as the same text given to a script as an argument, which Tcl reads
    as tclsh reads its arguments."""

    def run_bytes(*args, stdin=None):
        result = subprocess.run([*CLI, *args], input=stdin, capture_output=True, timeout=60)
        assert b"Traceback" not in result.stderr
        return result

    def message(result):  # Tcl's reason of the error, without what it read
        return result.stderr.split(b"\n")[0].rpartition(b": ")[2]

    path = tmp_path / "s.tcl"
    path.write_bytes(script)
    arg = b"x\xe9y"  # an argument that is not UTF-8 either
    sourced = run_bytes(path, arg)
    from_stdin = run_bytes("-", arg, stdin=script)
    assert (from_stdin.returncode, from_stdin.stdout) == (sourced.returncode, sourced.stdout), from_stdin.stderr
    if b"couldn't read file" in sourced.stderr:  # Tcl 9: not in the system encoding
        assert from_stdin.returncode == 1 and message(from_stdin) == message(sourced)
    else:  # the same trace, but for its end, where `source` names the file
        file_trace = sourced.stderr.split(b"\n")
        assert from_stdin.stderr.split(b"\n") == (file_trace[:3] + [b""] if sourced.returncode else file_trace)
    if b"\0" not in script:  # an argument cannot hold one
        evaluator = tmp_path / "eval.tcl"
        evaluator.write_text("set argv [lassign $argv script]; incr argc -1; eval $script")
        evaluated = run_bytes(evaluator, script, arg)
        given = run_bytes("-c", script, arg)
        assert (given.returncode, given.stdout) == (evaluated.returncode, evaluated.stdout), given.stderr
        assert given.stderr.split(b"\n")[:3] == evaluated.stderr.split(b"\n")[:3]


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
        # Not pty.fork(): forking a process that runs threads (as the suite
        # does) may deadlock the child before it execs. setsid(1) makes the
        # terminal the child's controlling one, so that Ctrl-C reaches it.
        self.fd, far = pty.openpty()
        try:
            self.child = subprocess.Popen(["setsid", "--ctty", *CLI], stdin=far, stdout=far, stderr=far,
                                          env=env, close_fds=True)
        finally:
            os.close(far)
        self.pid = self.child.pid
        self.seen = ""

    def expect(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            assert left > 0, f"no {text!r} in {self.seen!r}\n{self.state()}"
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

    def state(self):
        """What the child is doing: its threads' kernel state and signals,
        its terminal's modes, and (faulthandler) its Python stacks."""
        lines = []
        try:
            tasks = sorted(os.listdir(f"/proc/{self.pid}/task"))
        except OSError:  # it has gone
            tasks = []
        for task in tasks:
            try:
                with open(f"/proc/{self.pid}/task/{task}/status") as f:
                    fields = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
                with open(f"/proc/{self.pid}/task/{task}/wchan") as f:
                    wchan = f.read()
            except OSError:
                continue
            lines.append(f"thread {task}: {fields['State'].strip()} in {wchan}; pending "
                         f"{fields['SigPnd'].strip()}/{fields['ShdPnd'].strip()}, blocked {fields['SigBlk'].strip()}")
        try:
            lflag = termios.tcgetattr(self.fd)[3]
            lines.append(f"terminal: ISIG {bool(lflag & termios.ISIG)}, ICANON {bool(lflag & termios.ICANON)}")
        except termios.error:
            pass
        self.child.send_signal(signal.SIGABRT)
        dump, end = b"", time.monotonic() + 5
        while time.monotonic() < end and select.select([self.fd], [], [], 0.5)[0]:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            dump += chunk
        lines.append(dump.decode(errors="replace"))
        return "\n".join(lines)

    def send(self, line):
        os.write(self.fd, line.encode() + b"\r")

    def wait(self, timeout=30):
        try:
            code = self.child.wait(timeout)
        except subprocess.TimeoutExpired:
            self.child.kill()
            code = self.child.wait()
        os.close(self.fd)
        return code


@pytest.fixture
def terminal(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path), TERM="dumb", PYTHONFAULTHANDLER="1")
    term = Terminal(env)
    yield term
    term.child.kill()  # nothing once it has ended
    try:
        term.wait()
    except OSError:  # its terminal already closed
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


def test_ctrl_c_at_the_prompt(terminal, tmp_path):
    terminal.expect("% ")
    # While typing: the line is abandoned at once, and the prompt is back.
    os.write(terminal.fd, b"puts typed")
    terminal.expect("puts typed")
    os.write(terminal.fd, b"\x03")
    assert "KeyboardInterrupt" in terminal.expect("% ")
    terminal.send("puts next")
    shown = terminal.expect("% ")
    assert "typed" not in shown and shown.count("next") == 2  # echoed, then printed
    # In a continued command: all of it.
    terminal.send("if 1 {")
    terminal.expect("> ")
    os.write(terminal.fd, b"\x03")
    terminal.expect("% ")
    # While a command runs: the command is abandoned; the prompt goes on.
    terminal.send("set n 0; while 1 {catch {incr n}}")
    time.sleep(0.5)
    os.write(terminal.fd, b"\x03")
    assert "KeyboardInterrupt" in terminal.expect("% ")
    terminal.send("puts [expr {$n > 0}]-alive")
    assert "1-alive" in terminal.expect("% ")
    # exit with a wrong argument is an error like any other.
    terminal.send("exit foo")
    assert 'expected integer but got "foo"' in terminal.expect("% ")
    # An event handler's exit leaves with its status.
    terminal.send("after 10 {exit 9}; vwait forever")
    assert terminal.wait() == 9


def test_a_command_over_several_lines_is_one_history_entry(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path), TERM="dumb", PYTHONFAULTHANDLER="1")
    up = b"\x1b[A"
    for session in range(2):  # typed, then recalled in the next session
        term = Terminal(env)
        try:
            term.expect("% ")
            if session == 0:
                for line, prompt in (("if 1 {", "> "), ("puts [string toupper multi]", "> "), ("}", "% ")):
                    term.send(line)
                    term.expect(prompt)
            os.write(term.fd, up + b"\r")
            assert "MULTI" in term.expect("% ")
            os.write(term.fd, b"\x04")  # Ctrl-D: the last entry stays the command
            assert term.wait() == 0
        finally:
            term.child.kill()  # nothing once it has ended
            try:
                term.wait()
            except OSError:  # its terminal already closed
                pass
