"""Every example in a docstring runs as written: those of the extension
modules' functions, classes and methods as well as the Python modules'."""

import copy
import doctest
import importlib
import re
from pathlib import Path

import pytest

MODULES = [
    "brelt",
    "brelt.datastructures",
    "brelt.utils",
    "brelt.utils.utils",
    "brelt.tcl",
    "brelt.tcl.__main__",
    "brelt.tcl.quotify",
    "brelt.tcl.internal",
    "brelt.tcl.namespace",
    "brelt.tcl.jiv",
    "brelt.tcl.nestmap",
    "brelt.tcl.history",
]

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src"
PAGES = sorted(path.name for path in (ROOT / "docs").glob("*.rst") if ">>> " in path.read_text(encoding="utf-8"))


def _docstring_tests():
    finder = doctest.DocTestFinder(exclude_empty=True)
    found = {}
    for name in MODULES:
        # Each example runs with its module's names, as help() shows it there.
        for test in finder.find(importlib.import_module(name)):
            if test.examples:
                found.setdefault(test.name, test)
    return sorted(found.values(), key=lambda test: test.name)


TESTS = _docstring_tests()


@pytest.mark.parametrize("test", TESTS, ids=[test.name for test in TESTS])
def test_example(test):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    # Run on a copy: clearing the names afterwards must leave the collected
    # test whole for the next run of it.
    test = copy.copy(test)
    test.globs = dict(test.globs)
    runner.run(test, out=output.append, clear_globs=True)
    assert runner.failures == 0, "".join(output)


def test_every_example_is_found():
    # An example in a place the finder does not reach (a nested class, a
    # module left out above) would silently never run.
    prompt = re.compile(r"^\s*>>> ", re.MULTILINE)
    written = {
        str(path.relative_to(SOURCES)): len(prompt.findall(path.read_text(encoding="utf-8")))
        for path in sorted(SOURCES.rglob("*"))
        if path.suffix in {".py", ".cpp", ".hpp"}
    }
    found = sum(len(test.examples) for test in TESTS)
    assert found == sum(written.values()), {path: count for path, count in written.items() if count}


@pytest.mark.parametrize("page", PAGES)
def test_documentation_page(page, tk):
    # The pages show a session at the Python prompt, TclX part included.
    try:
        tk.call("package", "require", "Tclx")
    except Exception:  # noqa: BLE001 - TclError: not installed here
        if page == "tutorial.rst":
            pytest.skip("TclX is not installed")
    failures, _ = doctest.testfile(
        str(ROOT / "docs" / page), module_relative=False, optionflags=doctest.ELLIPSIS, report=False, verbose=False
    )
    assert failures == 0


def test_readme_quick_start(capsys):
    # The quick start runs as written, and what it says print() shows is shown.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", readme, re.DOTALL).group(1)
    names = {}
    exec(compile(code, "README.md", "exec"), names)
    # The Python command it registers keeps its interpreter alive.
    names["tcl"].tk.eval("namespace delete ::app")
    stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: ", re.MULTILINE)
    printed = stamp.sub("", capsys.readouterr().out).splitlines()
    after_print = code.split("print(entry)\n", 1)[1].splitlines()
    promised = [stamp.sub("", line[2:]) for line in after_print[: len(printed) + 1] if line.startswith("# ")]
    assert printed == promised
