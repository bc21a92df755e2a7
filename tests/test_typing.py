"""The typing stubs: they agree with the modules at run time (stubtest), and
a typed program that uses them passes ``mypy --strict`` and runs."""

import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (make test installs it)")

SAMPLE = Path(__file__).parent / "typing" / "usage.py"


def _run(args, tmp_path):
    # Run where neither the sources nor the tests shadow the installed package.
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    return subprocess.run(
        [sys.executable, *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )


def test_usage_sample_passes_mypy_strict(tmp_path):
    result = _run(["-m", "mypy", "--strict", str(SAMPLE)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_agree_with_the_modules(tmp_path):
    allowlist = Path(__file__).parent / "typing" / "stubtest-allowlist.txt"
    result = _run(["-m", "mypy.stubtest", "--allowlist", str(allowlist),
                   "brelt.tcl", "brelt.datastructures", "brelt.utils.utils"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_sample_runs():
    runpy.run_path(str(SAMPLE), run_name="__main__")


CONSTRUCTORS = ["TclVariable('v', tcl={})", "TclArrayVariable('a', tcl={})", "TempTclVariable(tcl={})",
                "TclCommand('puts', tcl={})", "TclNamespace('::', tcl={})", "TempTclNamespace(tcl={})",
                "Jiv({})", "Jiv_Code('puts', tcl={})"]


@pytest.mark.parametrize("call", CONSTRUCTORS)
def test_tcl_takes_an_interpreter_or_the_package_only(call, tmp_path):
    # Typed as the interpreter protocol: an Interpreter and the package module
    # (the default interpreter) pass, anything else is an error.
    head = ("import brelt.tcl\nfrom brelt.tcl import *\nfrom brelt.tcl.jiv import Jiv, Jiv_Code\n"
            "tcl = Interpreter()\n")
    good = tmp_path / "good.py"
    good.write_text(head + call.format("tcl") + "\n" + call.format("brelt.tcl") + "\n")
    result = _run(["-m", "mypy", "--strict", str(good)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    bad = tmp_path / "bad.py"
    bad.write_text(head + call.format("'oops'") + "\n")
    result = _run(["-m", "mypy", "--strict", str(bad)], tmp_path)
    assert result.returncode == 1 and '"str"' in result.stdout and "TclInterpreter" in result.stdout, result.stdout
