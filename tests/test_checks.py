"""The leak checks themselves: each must fail on a leak."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

from support import assert_no_leak

# Takes a reference and never gives it back.
incref = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", ctypes.pythonapi))
leaks_on_purpose = pytest.mark.keeps_references("leaks on purpose")


@pytest.mark.parametrize(
    "make_call",
    [
        lambda value: (incref, value),  # a reference to the argument
        lambda value: (lambda: incref(value), ),  # to an object the function closes over
        lambda value: ((lambda: (incref(value), value)[1]), ),  # to the result
    ],
    ids=["argument", "closure", "result"],
)
@leaks_on_purpose
def test_leak_check_sees_a_leaked_reference(make_call):
    value = ["a list of its own"]
    with pytest.raises(AssertionError, match=r"references leaked in 100 calls: \[\(100, \"list"):
        assert_no_leak(*make_call(value), rounds=100, warmup=5)
    assert_no_leak(lambda: value.copy(), rounds=100, warmup=5)


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="Python's allocator is off (PYTHONMALLOC=malloc, as under the sanitizers): no block count")
@leaks_on_purpose
def test_leak_check_sees_leaked_objects():
    with pytest.raises(AssertionError, match="blocks more|references more in total"):
        assert_no_leak(lambda: incref(object()), rounds=500, warmup=5)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
def test_reference_check_of_a_debug_build(tmp_path):
    (tmp_path / "conftest.py").write_text(textwrap.dedent("""
        import refcheck

        def pytest_configure(config):
            config.pluginmanager.register(refcheck.plugin(), "refcheck")
    """))
    (tmp_path / "test_inner.py").write_text(textwrap.dedent("""
        import ctypes
        incref = ctypes.PYFUNCTYPE(None, ctypes.py_object)(("Py_IncRef", ctypes.pythonapi))
        kept = object()

        def test_leaks():
            incref(kept)

        def test_clean():
            [object() for _ in range(10)]
    """))
    env = {**os.environ, "PYTHONPATH": os.path.dirname(__file__)}
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert "references leaked in each of 3 runs: [1, 1, 1]" in result.stdout, result.stdout
    assert "1 failed, 1 passed" in result.stdout
