"""``python -m brelt.tcl``: Tcl on the default interpreter, from a shell.

Runs a Tcl script given with ``-c``, a Tcl file, or an interactive prompt
with line editing and history. Every script it runs is recorded in the
interpreter's call history, which ``--history`` prints when it ends.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import brelt.tcl
from brelt.tcl import TclError, quotify

PROMPT = "% "
CONTINUATION = "> "
HISTORY_FILE = os.path.join("~", ".brelt_tcl_history")

# `exit` would end the process inside Tcl, before Python prints the history
# or saves the line history: this one unwinds the script instead, and the
# command line leaves with the code once the script has returned.
_EXIT_PROC = """
proc ::exit {{code 0}} {
    set ::__brelt_cli_exit $code
    return -code error -errorcode {BRELT EXIT} "exit $code"
}
"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m brelt.tcl",
        description=(
            "Run Tcl on brelt.tcl's default interpreter: a script given with -c, a "
            "Tcl file, or (with neither) an interactive prompt. The interpreter is "
            "the one tkinter creates, as `import brelt.tcl` gives it to Python."
        ),
        epilog=(
            "Errors print Tcl's stack trace (::errorInfo) and end a script with exit "
            "status 1; at the prompt they leave you at the prompt. Tcl's `exit N` "
            "leaves with status N. Extra arguments go to the script as Tcl's ::argv."
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


class _Session:
    """What the command line sends to the default interpreter."""

    def __init__(self, tcl: Any) -> None:
        self.tcl = tcl
        tcl.tk.eval(_EXIT_PROC)

    def run(self, script: str) -> str:
        """Record and run one script; return its result."""
        sys.stdout.flush()  # keep Python's output before Tcl's
        self.tcl.tk.call("::unset", "-nocomplain", "::__brelt_cli_exit")
        self.tcl.history.append(script)
        try:
            return str(self.tcl.tk.eval(script))
        finally:
            # Tcl buffers a channel that is not a terminal and flushes it only
            # at its own exit, which Python's exit does not go through.
            self.tcl.tk.eval("catch {flush stdout}; catch {flush stderr}")

    def exit_code(self) -> int | None:
        """The code given to `exit`, if the last script called it."""
        tk = self.tcl.tk
        if not int(tk.call("::info", "exists", "::__brelt_cli_exit")):
            return None
        code = tk.call("::set", "::__brelt_cli_exit")
        try:
            return int(code)
        except (TypeError, ValueError):
            return 1

    def error_trace(self, exc: TclError) -> str:
        """Tcl's stack trace of the error just raised, or its message."""
        try:
            trace = str(self.tcl.tk.globalgetvar("errorInfo"))
        except TclError:
            trace = ""
        return trace or str(exc)

    def set_argv(self, argv0: str, args: Sequence[str]) -> None:
        tk = self.tcl.tk
        tk.call("::set", "::argv0", argv0)
        tk.call("::set", "::argv", quotify(list(args)))
        tk.call("::set", "::argc", len(args))


def _run_script(session: _Session, script: str) -> int:
    try:
        session.run(script)
    except TclError as exc:
        code = session.exit_code()
        if code is None:
            print(session.error_trace(exc), file=sys.stderr)
            return 1
        return code
    code = session.exit_code()  # an `exit` that a `catch` got in the way of
    return 0 if code is None else code


def _read_command(prompt: str) -> str:
    return input(prompt)


def _interactive(session: _Session) -> int:
    try:
        import readline
    except ImportError:  # no line editing on this platform: plain input()
        readline = None  # type: ignore[assignment]
    history_file = os.path.expanduser(HISTORY_FILE)
    if readline is not None:
        try:
            readline.read_history_file(history_file)
        except OSError:
            pass
    tk = session.tcl.tk
    tk.call("::set", "::tcl_interactive", 1)
    print(
        f"brelt.tcl on Tcl {tk.call('::info', 'patchlevel')}; Ctrl-D or `exit` leaves.",
        file=sys.stderr,
    )
    try:
        while True:
            try:
                command = _read_command(PROMPT)
                while not int(tk.call("::info", "complete", command)):
                    command += "\n" + _read_command(CONTINUATION)
            except EOFError:
                print(file=sys.stderr)
                return 0
            except KeyboardInterrupt:
                print("\nKeyboardInterrupt", file=sys.stderr)
                continue
            if not command.strip():
                continue
            try:
                result = session.run(command)
            except TclError as exc:
                result = ""
                if session.exit_code() is None:
                    print(session.error_trace(exc), file=sys.stderr)
            except KeyboardInterrupt:
                print("\nKeyboardInterrupt", file=sys.stderr)
                continue
            code = session.exit_code()
            if code is not None:
                return code
            if result:
                print(result)
    finally:
        if readline is not None:
            try:
                readline.set_history_length(1000)
                readline.write_history_file(history_file)
            except OSError:
                pass


def _version() -> str:
    return brelt.tcl.__version__


def _print_history(tcl: Any) -> None:
    for entry in tcl.history.filter(count=0):
        print(entry, file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``);
    return the exit status."""
    options = _parser().parse_args(argv)
    tcl: Any = brelt.tcl
    if options.version:
        print(f"brelt.tcl {_version()} on Tcl {tcl.tk.call('::info', 'patchlevel')}")
        return 0
    session = _Session(tcl)
    try:
        if options.script is not None:
            session.set_argv("python -m brelt.tcl", [*([options.file] if options.file else []), *options.args])
            return _run_script(session, options.script)
        if options.file is not None and options.file != "-":
            session.set_argv(options.file, options.args)
            return _run_script(session, quotify(["source", options.file]))
        session.set_argv("python -m brelt.tcl", options.args)
        if options.file is None and sys.stdin.isatty():
            return _interactive(session)
        return _run_script(session, sys.stdin.read())
    finally:
        if options.history:
            _print_history(tcl)


if __name__ == "__main__":
    sys.exit(main())
