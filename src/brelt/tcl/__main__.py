"""``python -m brelt.tcl``: Tcl on the default interpreter, from a shell.

Runs a Tcl script given with ``-c``, a Tcl file, or an interactive prompt
with line editing and history. Every script it runs is recorded in the
interpreter's call history, which ``--history`` prints when it ends.
"""

from __future__ import annotations

import argparse
import atexit
import ctypes
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import brelt.tcl
from brelt.tcl import TclError, quotify

PROMPT = "% "
CONTINUATION = "> "
HISTORY_FILE = os.path.join("~", ".brelt_tcl_history")
HISTORY_LENGTH = 1000

# Tcl_CancelEval's flag that unwinds the script past every `catch`.
TCL_CANCEL_UNWIND = 0x100000
# Tcl_GetStdChannel's names of standard output and standard error.
TCL_STDOUT = 1 << 2
TCL_STDERR = 1 << 3


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m brelt.tcl",
        description=(
            "Run Tcl on brelt.tcl's default interpreter: a script given with -c, a "
            "Tcl file, or (with neither) an interactive prompt; standard input that "
            "is not a terminal is run a command at a time, as tclsh runs it. The "
            "interpreter is the one tkinter creates, as `import brelt.tcl` gives it to Python."
        ),
        epilog=(
            "Errors print Tcl's stack trace (::errorInfo) and end a script with exit "
            "status 1; at the prompt they leave you at the prompt. Tcl's `exit N` "
            "leaves with status N, from wherever it runs; Ctrl-C ends a script as it ends "
            "tclsh (SIGINT, status 130). Extra arguments go to the script as Tcl's ::argv."
        ),
    )
    parser.add_argument("-c", metavar="SCRIPT", dest="script", help="run the Tcl script SCRIPT")
    parser.add_argument("file", nargs="?", metavar="FILE", help="run the Tcl file FILE ('-': standard input)")
    parser.add_argument("args", nargs=argparse.REMAINDER, metavar="ARG", help="arguments for the script (::argv)")
    parser.add_argument("--version", action="store_true", help="print the versions of brelt.tcl and Tcl, and exit")
    parser.add_argument(
        "--history",
        action="store_true",
        help="print the time-stamped history of the scripts run to standard error at exit",
    )
    return parser


class _TclLibrary:
    """The few functions of tkinter's Tcl library that the command line needs
    beyond tkinter: Tcl's exit, its asynchronous handlers and cancellation."""

    ExitProc = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
    AsyncProc = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)

    def __init__(self) -> None:
        from brelt.tcl import internal

        dll = internal.TclDLL
        # Prototypes of their own, so that the library object that other code
        # shares keeps the argument types it was given.
        self.set_exit_proc = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(("Tcl_SetExitProc", dll))
        # Tcl's exit runs with Python's lock held: nothing else of Python
        # runs while the process comes down.
        self.exit = ctypes.PYFUNCTYPE(None, ctypes.c_int)(("Tcl_Exit", dll))
        self.async_create = ctypes.CFUNCTYPE(ctypes.c_void_p, self.AsyncProc, ctypes.c_void_p)(
            ("Tcl_AsyncCreate", dll)
        )
        self.async_mark = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(("Tcl_AsyncMark", dll))
        self.async_delete = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(("Tcl_AsyncDelete", dll))
        self.cancel_eval = ctypes.CFUNCTYPE(
            ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int
        )(("Tcl_CancelEval", dll))
        # Tcl leaves an unwound interpreter refusing every script until
        # this (its own interp cancel does the same).
        self.reset_cancellation = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)(
            ("TclResetCancellation", dll)
        )
        self.get_std_channel = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_int)(("Tcl_GetStdChannel", dll))
        self.flush = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(("Tcl_Flush", dll))
        self.create_interp = ctypes.CFUNCTYPE(ctypes.c_void_p)(("Tcl_CreateInterp", dll))
        self.get_command_info = ctypes.CFUNCTYPE(
            ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(_CmdInfo)
        )(("Tcl_GetCommandInfo", dll))
        self.create_obj_command = ctypes.CFUNCTYPE(
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p
        )(("Tcl_CreateObjCommand", dll))

    def restore_exit_command(self, interp: int) -> None:
        """Give `interp` back Tcl's own `exit`, which tkinter deletes: taken
        from an interpreter of its own, which is kept for good (the command
        may use its data)."""
        donor = self.create_interp()
        info = _CmdInfo()
        if not donor or not self.get_command_info(donor, b"exit", ctypes.byref(info)) or not info.objProc:
            raise RuntimeError("Tcl's exit command is not available")
        self.create_obj_command(interp, b"::exit", info.objProc, info.objClientData, None)


class _CmdInfo(ctypes.Structure):
    # Tcl_CmdInfo's leading fields, the same on Tcl 8.6 and 9; Tcl 9 adds
    # more, which the padding holds.
    isNativeObjectProc: int
    objProc: int | None
    objClientData: int | None
    rest: Any
    _fields_ = [
        ("isNativeObjectProc", ctypes.c_int),
        ("objProc", ctypes.c_void_p),
        ("objClientData", ctypes.c_void_p),
        ("rest", ctypes.c_void_p * 16),
    ]


class _Session:
    """What the command line sends to the default interpreter, and how Tcl's
    `exit` and Ctrl-C reach the process."""

    def __init__(self, tcl: Any) -> None:
        self.tcl = tcl
        self.lib = _TclLibrary()
        self._cleanups: list[Callable[[], object]] = []
        self._running = False  # a script runs in Tcl
        self._interrupted = False  # a Ctrl-C came while it ran
        self._cancelled = False  # and Tcl was told to unwind it
        # The line being read: whether one is, and which (shared with the
        # watcher thread).
        self._lock = threading.Lock()
        self._reading = False
        self._line_serial = 0
        self._install_exit()
        self._install_interrupts()

    # -- leaving -----------------------------------------------------------

    def at_exit(self, func: Callable[[], object]) -> None:
        """Run ``func`` when the command line ends, by either road: Python's
        return from main() or Tcl's `exit`. The last added runs first."""
        self._cleanups.append(func)

    def finish(self) -> None:
        """Run what at_exit() was given, all of it; raise the first error."""
        error: BaseException | None = None
        while self._cleanups:
            try:
                self._cleanups.pop()()
            except BaseException as exc:
                error = error or exc
        if error is not None:
            raise error

    def _install_exit(self) -> None:
        # Tcl's `exit` ends the process from wherever it runs (inside `catch`,
        # in an event handler), without coming back. Tcl calls this instead,
        # which does Python's part of the ending and then Tcl's own exit.
        self._exit_proc = self.lib.ExitProc(self._on_tcl_exit)
        self.lib.set_exit_proc(ctypes.cast(self._exit_proc, ctypes.c_void_p))
        self.lib.restore_exit_command(self.tcl.tk.interpaddr())
        self.at_exit(lambda: self.lib.set_exit_proc(None))

    def _on_tcl_exit(self, client_data: int | None) -> None:
        status = ctypes.c_int(client_data or 0).value  # Tcl passes the status as the pointer
        # What the script wrote comes before what Python's clean-up writes.
        for channel in (TCL_STDOUT, TCL_STDERR):
            if stream := self.lib.get_std_channel(channel):
                self.lib.flush(stream)
        try:
            self.finish()
            atexit._run_exitfuncs()
        except BaseException as exc:  # never back into Tcl: it must not return
            try:
                print(f"{type(exc).__name__}: {exc}", file=sys.stderr)
            except BaseException:
                pass
        finally:
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except BaseException:
                    pass
            self.lib.set_exit_proc(None)
            # Tcl's exit: its exit handlers, its channels flushed, the process.
            self.lib.exit(status)
            os._exit(status)

    # -- Ctrl-C ------------------------------------------------------------

    def _install_interrupts(self) -> None:
        # While Tcl runs, Python's SIGINT handler cannot: it waits for the
        # next bytecode. Python's C-level handler still writes the signal's
        # number to the wake-up pipe; a thread reads it and marks a Tcl
        # asynchronous handler (made for being marked from anywhere), which
        # Tcl runs in this thread at its next safe point, where it cancels
        # the script.
        self._interp = self.tcl.tk.interpaddr()
        self._async_proc = self.lib.AsyncProc(self._on_async)
        self._async = self.lib.async_create(self._async_proc, None)
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        old_wakeup = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
        old_handler = signal.signal(signal.SIGINT, self._on_sigint)
        # The watcher never takes SIGINT itself: the main thread must, to
        # interrupt a line being read.
        old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            watcher = threading.Thread(target=self._watch, args=(read_end,), name="brelt.tcl Ctrl-C", daemon=True)
            watcher.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)

        def uninstall() -> None:
            signal.signal(signal.SIGINT, old_handler)
            signal.set_wakeup_fd(old_wakeup)
            os.close(write_end)  # the watcher reads the end of the pipe and stops
            watcher.join()
            self.lib.async_delete(self._async)

        self.at_exit(uninstall)

    def _watch(self, read_end: int) -> None:
        try:
            while data := os.read(read_end, 64):
                if signal.SIGINT in data:
                    self.lib.async_mark(self._async)
                    self._resend_if_lost()
        finally:
            os.close(read_end)

    def _resend_if_lost(self) -> None:
        # The line reader sees a signal only while it waits for a key; one
        # that comes while it echoes the last key would wait for the next
        # key. Sent again to the main thread until the line is given up.
        with self._lock:
            serial = self._line_serial if self._reading else None
        if serial is None:
            return
        time.sleep(0.05)
        with self._lock:
            if self._reading and self._line_serial == serial:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)  # type: ignore[arg-type]

    def read_line(self, prompt: str) -> str:
        """One line typed at the prompt; Ctrl-C raises KeyboardInterrupt."""
        with self._lock:
            self._reading = True
            self._line_serial += 1
        try:
            return input(prompt)
        finally:
            with self._lock:
                self._reading = False

    def _on_async(self, client_data: int | None, interp: int | None, code: int) -> int:
        # Tcl's safe point, in this thread (interp is NULL when Tcl waits for
        # events). Coming into Python runs Python's SIGINT handler first, if
        # its signal is still pending: so a Ctrl-C that Python has taken as
        # KeyboardInterrupt already, but that the watcher saw late, cancels
        # nothing.
        if self._running and self._interrupted and not self._cancelled:
            self._cancelled = True
            self.lib.cancel_eval(self._interp, None, None, TCL_CANCEL_UNWIND)
        return code

    def _on_sigint(self, signum: int, frame: object) -> None:
        if self._running:  # Tcl is told to unwind the script; run() reports it
            self._interrupted = True
            return
        raise KeyboardInterrupt

    # -- running -----------------------------------------------------------

    def run(self, script: str) -> str:
        """Record and run one script; return its result. Ctrl-C while it runs
        raises KeyboardInterrupt."""
        sys.stdout.flush()  # keep Python's output before Tcl's
        tk = self.tcl.tk
        self.tcl.history.append(script)
        self._interrupted = self._cancelled = False
        self._running = True
        try:
            if "\0" not in script:
                result = str(tk.eval(script))
            else:
                # tkinter's eval takes a C string, and its call hands Tcl a
                # NUL it does not expect; Tcl's own conversion makes the
                # text, and `try` runs it in the global frame (one more line
                # of trace, which error_trace takes off).
                tk.call(
                    "::apply",
                    "text {set ::__brelt_cli_script [::encoding convertfrom utf-8 $text]}",
                    script.encode("utf-8", "surrogatepass"),
                )
                try:
                    result = str(tk.eval("::try $::__brelt_cli_script"))
                finally:
                    tk.call("::unset", "-nocomplain", "::__brelt_cli_script")
        except TclError:
            if self._cancelled or self._interrupted:
                raise KeyboardInterrupt from None
            raise
        finally:
            self._running = False
            if self._cancelled:
                self.lib.reset_cancellation(self._interp, 1)
            # Tcl buffers a channel that is not a terminal and flushes it only
            # at its own exit, which Python's exit does not go through.
            tk.eval("catch {flush stdout}; catch {flush stderr}")
        if self._interrupted:  # it came as the script was ending
            raise KeyboardInterrupt
        return result

    def error_trace(self, exc: TclError) -> str:
        """Tcl's stack trace of the error just raised, or its message."""
        try:
            trace = str(self.tcl.tk.globalgetvar("errorInfo"))
        except TclError:
            trace = ""
        if trace:
            trace = _TRY_LINE.sub("", trace)
        return trace or str(exc)

    def text(self, raw: str) -> str:
        """A command-line word as tclsh reads its arguments: its bytes in the
        system encoding, a byte that does not fit taken as it is (Tcl 9's
        `tcl8` profile, Tcl 8's only way)."""
        tk = self.tcl.tk
        data = os.fsencode(raw)
        if int(tk.call("::package", "vsatisfies", tk.call("::info", "patchlevel"), "9-")):
            return str(tk.call("::encoding", "convertfrom", "-profile", "tcl8", tk.call("::encoding", "system"), data))
        return str(tk.call("::encoding", "convertfrom", data))

    def set_argv(self, argv0: str, args: Sequence[str]) -> None:
        tk = self.tcl.tk
        tk.call("::set", "::argv0", self.text(argv0))
        tk.call("::set", "::argv", quotify([self.text(arg) for arg in args]))
        tk.call("::set", "::argc", len(args))


_TRY_LINE = re.compile(r'\n    \("::try" body line \d+\)\Z')


def _run_script(session: _Session, script: str) -> int:
    try:
        session.run(script)
    except TclError as exc:
        print(session.error_trace(exc), file=sys.stderr)
        return 1
    return 0


# One line of standard input, read by Tcl: its length (-1 at the end) and
# its text.
_READ_LINE = "{} {list [::gets stdin line] $line}"


def _run_commands(session: _Session) -> int:
    """Standard input that is not a terminal, run as tclsh runs it: a
    command at a time, as soon as its lines are complete (so that a command
    may read the lines after it); a failed command's message goes to
    standard error and the next command runs; at the end of the input the
    status is 0 (a command left incomplete there is dropped)."""
    tk = session.tcl.tk
    command = ""
    while True:
        try:
            length, line = tk.splitlist(tk.call("::apply", _READ_LINE))
        except TclError as exc:  # Tcl 9 refuses bytes its encoding lacks
            print(exc, file=sys.stderr)
            return 1
        if int(length) < 0:
            return 0
        command += line + "\n"
        if not int(tk.call("::info", "complete", command)):
            continue
        script, command = command[:-1], ""
        try:
            session.run(script)
        except TclError as exc:
            print(exc, file=sys.stderr)


class _LineHistory:
    """The prompt's line history, kept in a file between sessions. A command
    typed over several lines is one entry; in the file, its inner line ends
    are written as CR LF."""

    def __init__(self, readline: Any, path: str) -> None:
        self.readline = readline
        self.path = path
        readline.set_auto_history(False)
        try:
            with open(path, encoding="utf-8", errors="surrogateescape", newline="\n") as file:
                text = file.read()
        except OSError:
            return
        entry: list[str] = []
        for line in text.split("\n"):
            if line.endswith("\r"):
                entry.append(line[:-1])
                continue
            entry.append(line)
            if any(entry):
                readline.add_history("\n".join(entry))
            entry = []

    def add(self, command: str) -> None:
        if command.strip():
            self.readline.add_history(command)

    def save(self) -> None:
        readline = self.readline
        count = readline.get_current_history_length()
        entries = [readline.get_history_item(i) for i in range(max(1, count - HISTORY_LENGTH + 1), count + 1)]
        text = "".join(entry.replace("\n", "\r\n") + "\n" for entry in entries if entry is not None)
        try:
            with open(self.path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as file:
                file.write(text)
        except OSError:
            pass


def _no_input_hook() -> Callable[[], None]:
    """Leave Tcl's events alone while a line is read, as tclsh does; return
    what puts the hook back. tkinter's hook runs Tcl's events until a key is
    pressed and so hides Ctrl-C from the line reader, which would learn of it
    only at the end of the line."""
    try:
        hook = ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook")
    except (AttributeError, ValueError):
        return lambda: None
    old = hook.value
    hook.value = None

    def restore() -> None:
        hook.value = old

    return restore


def _interactive(session: _Session) -> int:
    try:
        import readline
    except ImportError:  # no line editing on this platform: plain input()
        readline = None  # type: ignore[assignment]
    history = None
    if readline is not None:
        history = _LineHistory(readline, os.path.expanduser(HISTORY_FILE))
        session.at_exit(history.save)
    session.at_exit(_no_input_hook())
    tk = session.tcl.tk
    tk.call("::set", "::tcl_interactive", 1)
    print(
        f"brelt.tcl on Tcl {tk.call('::info', 'patchlevel')}; Ctrl-D or `exit` leaves.",
        file=sys.stderr,
    )
    while True:
        # Ctrl-C abandons the line being typed, the command so far, or the
        # command running, wherever it comes.
        try:
            try:
                command = session.read_line(PROMPT)
                while not int(tk.call("::info", "complete", command)):
                    command += "\n" + session.read_line(CONTINUATION)
            except EOFError:
                print(file=sys.stderr)
                return 0
            if history is not None:
                history.add(command)
            if not command.strip():
                continue
            try:
                result = session.run(command)
                if result:
                    print(result)
            except TclError as exc:
                print(session.error_trace(exc), file=sys.stderr)
        except KeyboardInterrupt:
            print("\nKeyboardInterrupt", file=sys.stderr)


def _version() -> str:
    return brelt.tcl.__version__


def _print_history(tcl: Any) -> None:
    for entry in tcl.history.filter(count=0):
        print(entry, file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``);
    return the exit status. Ctrl-C during a script raises KeyboardInterrupt;
    Tcl's `exit` ends the process."""
    options = _parser().parse_args(argv)
    tcl: Any = brelt.tcl
    if options.version:
        print(f"brelt.tcl {_version()} on Tcl {tcl.tk.call('::info', 'patchlevel')}")
        return 0
    session = _Session(tcl)
    if options.history:
        session.at_exit(lambda: _print_history(tcl))
    try:
        if options.script is not None:
            session.set_argv("python -m brelt.tcl", [*([options.file] if options.file else []), *options.args])
            return _run_script(session, session.text(options.script))
        if options.file is not None and options.file != "-":
            session.set_argv(options.file, options.args)
            return _run_script(session, quotify(["source", session.text(options.file)]))
        session.set_argv("python -m brelt.tcl", options.args)
        if options.file is None:
            return _interactive(session) if sys.stdin.isatty() else _run_commands(session)
        # Tcl reads its standard input itself, as tclsh does: in the system
        # encoding, with its line-end translation, and Tcl 9's strictness.
        try:
            script = str(tcl.tk.call("::read", "stdin"))
        except TclError as exc:
            print(exc, file=sys.stderr)
            return 1
        return _run_script(session, script)
    finally:
        session.finish()


def _quiet_interrupt(kind: type[BaseException], value: BaseException, tb: object) -> None:
    if not issubclass(kind, KeyboardInterrupt):
        sys.__excepthook__(kind, value, tb)  # type: ignore[arg-type]


if __name__ == "__main__":
    # Ctrl-C ends a script as it ends tclsh: Python cleans up and then dies of
    # SIGINT (the shell sees 130), without a Python traceback.
    sys.excepthook = _quiet_interrupt
    sys.exit(main())
