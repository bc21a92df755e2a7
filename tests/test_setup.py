"""The set-up scripts say what is wrong with the Python they are given."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# Answers the three questions tools/find-python asks as an old CPython would.
FAKE_OLD_PYTHON = """#!/bin/sh
case "$2" in
    *sys.executable*) echo "$0" ;;
    *version_info*) exit 1 ;;
    *python_version*) echo "CPython 3.10.13" ;;
esac
"""


@pytest.fixture
def old_python(tmp_path):
    path = tmp_path / "python3.10"
    path.write_text(FAKE_OLD_PYTHON)
    path.chmod(0o755)
    return path


def run(*args, **kwargs):
    return subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=120, **kwargs)


def test_find_python_names_this_python():
    result = run("tools/find-python", sys.executable)
    assert (result.returncode, result.stdout.strip()) == (0, sys.executable)


def test_find_python_refuses_an_old_python_saying_why(old_python):
    result = run("tools/find-python", str(old_python))
    assert (result.returncode, result.stdout) == (1, "")
    assert "is CPython 3.10.13; brelt.tcl needs CPython 3.11 or newer" in result.stderr


@pytest.mark.skipif(not os.access("/usr/bin/make", os.X_OK), reason="make is not installed")
def test_make_stops_before_building_with_an_old_python(old_python, tmp_path):
    venv = tmp_path / "venv"
    result = run("make", "--no-print-directory", "setup", f"PYTHON={old_python}", f"VENV={venv}")
    assert result.returncode != 0
    assert "needs CPython 3.11 or newer" in result.stderr
    assert not venv.exists()  # nothing recorded: the next make asks again
