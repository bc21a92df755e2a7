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


# A stand-in for the Debian archive, for tools/build-tcl-envs: `apt-cache
# showsrc` lists $FAKE_ARCHIVE/<package> (one version a line), `apt-get
# source` fetches any version not named in $FAKE_ARCHIVE/missing.
FAKE_APT_CACHE = """#!/bin/sh
for last; do :; done
[ -f "$FAKE_ARCHIVE/$last" ] || exit 0
while read -r v; do printf 'Package: %s\\nVersion: %s\\n\\n' "$last" "$v"; done <"$FAKE_ARCHIVE/$last"
"""
FAKE_APT_GET = """#!/bin/sh
for last; do :; done
case " $* " in
    *" update "*) exit 0 ;;
    *" source "*)
        if grep -qxF "$last" "$FAKE_ARCHIVE/missing"; then echo "E: 404 Not Found" >&2; exit 100; fi
        package=${last%%=*}; version=${last#*=}; version=${version#*:}
        touch "${package}_${version%-*}.orig.tar.xz" ;;
esac
"""

ARCHIVE = {
    "tcl9.0": ["9.0.4+dfsg-1", "9.0.10+dfsg-1", "9.0.4+dfsg-2", "9.0.10~rc1+dfsg-1"],
    "tk9.0": ["9.0.4-1", "9.0.3-2"],
    "python3.13": ["3.13.5-2+deb13u5", "3.13.18-1", "3.13.9-1"],
}


def resolve(tmp_path, archive, missing=()):
    fake = tmp_path / "fake"
    (fake / "bin").mkdir(parents=True)
    for name, text in (("apt-cache", FAKE_APT_CACHE), ("apt-get", FAKE_APT_GET)):
        (fake / "bin" / name).write_text(text)
        (fake / "bin" / name).chmod(0o755)
    for package, versions in archive.items():
        (fake / package).write_text("".join(v + "\n" for v in versions))
    (fake / "missing").write_text("".join(m + "\n" for m in missing))
    env = dict(os.environ, PATH=f"{fake / 'bin'}:{os.environ['PATH']}", FAKE_ARCHIVE=str(fake),
               BRELT_CACHE=str(tmp_path / "cache"))
    return run("tools/build-tcl-envs", "--resolve", sys.executable, env=env)


@pytest.mark.skipif(not os.access("/usr/bin/dpkg", os.X_OK), reason="needs dpkg's version order")
@pytest.mark.parametrize("missing, tcl", [
    ((), "9.0.10+dfsg-1"),
    # Listed before its files reached the mirror: the next newest is taken
    # (a release candidate sorts before its release, after older releases).
    (("tcl9.0=9.0.10+dfsg-1",), "9.0.10~rc1+dfsg-1"),
    (("tcl9.0=9.0.10+dfsg-1", "tcl9.0=9.0.10~rc1+dfsg-1"), "9.0.4+dfsg-2"),
])
def test_tcl_envs_take_the_newest_sources_the_archive_offers(tmp_path, missing, tcl):
    result = resolve(tmp_path, ARCHIVE, missing)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == [f"tcl9.0 {tcl}", "tk9.0 9.0.4-1", "python3.13 3.13.18-1"]
    # The versions built are the cache key: a newer upload builds beside.
    upstream = tcl.split("+")[0]  # 9.0.10~rc1 keeps its mark: not the release's key
    envs = dict(line.split() for line in lines[3:])
    assert set(envs) == {"tk9-shared", "tk9-static", "tk86-static"}
    assert f"/py3.13.18-tcl{upstream}-tk9.0.4/tk9-shared" in envs["tk9-shared"]
    assert "/py3.13.18-tcl8.6" in envs["tk86-static"]


@pytest.mark.skipif(not os.access("/usr/bin/dpkg", os.X_OK), reason="needs dpkg's version order")
def test_tcl_envs_refuse_a_series_that_is_gone(tmp_path):
    result = resolve(tmp_path, {k: v for k, v in ARCHIVE.items() if k != "tk9.0"})
    assert result.returncode == 1
    assert "no longer offers the source package tk9.0" in result.stderr
    assert "BRELT_TCL_SERIES" in result.stderr
