"""What a user installs: the package as built (not the checkout), its files,
its version."""

import os
import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import brelt.tcl
import brelt.tcl.quotify  # noqa: F401  (the extension module itself)

ROOT = Path(__file__).resolve().parent.parent
PACKAGE_SOURCES = ROOT / "src" / "brelt"
# The C++ extension modules: one folder of sources each.
EXTENSIONS = sorted(p.name for p in (PACKAGE_SOURCES / "tcl").iterdir() if p.is_dir() and any(p.glob("*.cpp")))


@pytest.mark.skipif(not os.environ.get("BRELT_TEST_INSTALLED"), reason="only when testing an installed wheel or sdist")
def test_the_installed_package_is_under_test():
    # tools/test-installed runs the suite from outside the clone, against a
    # fresh virtual environment that holds nothing of the checkout.
    checkout = Path(os.environ.get("BRELT_CHECKOUT", ROOT)).resolve()
    for name in ("brelt", "brelt.tcl", "brelt.tcl.quotify"):
        module = sys.modules[name]
        where = Path(module.__file__).resolve()
        assert checkout not in where.parents, f"{name} comes from the checkout: {where}"
        assert Path(sys.prefix).resolve() in where.parents, where


def _installed_files():
    files = metadata.files("brelt-tcl") or []
    return {f.as_posix() for f in files if not f.parts[0].endswith(".dist-info") and "__pycache__" not in f.parts}


def test_the_distribution_holds_only_what_the_package_needs():
    suffix = next(s for s in (".so", ".pyd") if any(f.endswith(s) for f in _installed_files()))
    expected = {
        p.relative_to(PACKAGE_SOURCES.parent).as_posix()
        for p in PACKAGE_SOURCES.rglob("*")
        if p.is_file() and p.suffix in (".py", ".pyi", ".typed") and p.parent.name not in EXTENSIONS
        and "__pycache__" not in p.parts
    }
    expected.add("brelt/py.typed")
    expected.add("brelt/tcl/py.typed")
    extension = re.compile(rf"brelt/tcl/({'|'.join(EXTENSIONS)})\.[\w.-]+{re.escape(suffix)}")
    found = _installed_files()
    modules = {extension.fullmatch(f).group(1) for f in found if extension.fullmatch(f)}
    assert modules == set(EXTENSIONS)
    assert {f for f in found if not extension.fullmatch(f)} == expected
    # Typing: a stub beside every extension module, and the marker.
    assert {f"brelt/tcl/{name}.pyi" for name in EXTENSIONS} <= found


def test_one_version_everywhere():
    version = brelt.tcl.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+(\.dev\d+|(a|b|rc)\d+)?", version)
    assert metadata.version("brelt-tcl") == version
    changelog = (ROOT / "CHANGELOG.md").read_text()
    assert re.search(rf"^## {re.escape(version)}\b", changelog, re.M), "CHANGELOG.md has no entry for it"
    # The install examples name the wheel of this version.
    for page in ("README.md", "docs/installation.rst"):
        named = re.findall(r"brelt_tcl-([^-\s]+)-", (ROOT / page).read_text())
        assert named and set(named) == {version}, page
    out = subprocess.run([sys.executable, "-m", "brelt.tcl", "--version"], capture_output=True, text=True, check=True)
    assert out.stdout.startswith(f"brelt.tcl {version} on Tcl ")


def test_dir_of_the_package_shows_its_api_only():
    names = {n for n in dir(brelt.tcl) if not n.startswith("__")}
    assert names == set(brelt.tcl.__all__) | {"root", "tk", "history", "jiv", "vars", "cast_boolean", "cast_array",
                                             "cast_any"}
    assert "__version__" in dir(brelt.tcl)
    for name in names:  # each of them is there
        getattr(brelt.tcl, name)


def test_help_of_the_interpreter_shows_no_implementation_details():
    import pydoc

    text = pydoc.render_doc(brelt.tcl.Interpreter, renderer=pydoc.plaintext)
    assert "__del__(self)" in text
    for detail in ("_get_ident", "_prepare", "_forever_keeper", "bound in advance"):
        assert detail not in text


def test_the_error_of_a_missing_element_has_a_public_name(tcl):
    import pickle
    import tkinter

    error = brelt.tcl.TclKeyError
    assert "TclKeyError" in brelt.tcl.__all__
    assert (error.__module__, error.__qualname__) == ("brelt.tcl", "TclKeyError")
    assert issubclass(error, tkinter.TclError) and issubclass(error, KeyError) and error.__doc__
    array = brelt.tcl.TclArrayVariable("::a", tcl=tcl)
    array["x"] = 1
    with pytest.raises(error) as info:
        array["missing"]
    assert type(info.value) is error
    assert "brelt.tcl.TclKeyError: " in "".join(__import__("traceback").format_exception_only(info.value))
    assert type(pickle.loads(pickle.dumps(info.value))) is error


@pytest.mark.parametrize("name", ["quotify", "internal", "namespace", "jiv", "nestmap", "history"])
def test_dir_of_a_module_lists_what_it_binds(name):
    import importlib

    module = importlib.import_module(f"brelt.tcl.{name}")
    assert "__dir__" not in vars(module) and sorted(vars(module)) == dir(module)
