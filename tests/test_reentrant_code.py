"""Python code that re-enters the modules while they work: no crash, the
sound result. Each script runs in a child process, since the failure it
guards against is the death of the process."""

import subprocess
import sys
import textwrap

import pytest


def run_isolated(script):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
    return result.stdout.split()


@pytest.mark.keeps_references("the package's type caches keep (at most 256 of) the classes they have seen, "
                              "and this test makes new ones")
def test_next_on_an_array_iterator_from_inside_its_own_names():
    # The generator that array_names returned asks the same iterator for its
    # next name while it runs: Python's answer is "generator already executing".
    out = run_isolated("""
        from brelt.tcl import Interpreter
        from brelt.tcl.namespace import TclArrayVariable

        class Names(TclArrayVariable):
            def array_names(self, pattern=None):
                def names():
                    yield "x"
                    try:
                        next(it)
                    except ValueError as e:
                        print(str(e).replace(" ", "_"))
                    junk = [[i] for i in range(10_000)]  # new objects where a freed one was
                    yield "y"
                    yield next(it)
                return names()

        it = iter(Names("::a", tcl=Interpreter()))
        print(next(it), next(it))
        try:
            next(it)
        except ValueError as e:
            print(str(e).replace(" ", "_"))
        print(list(it))
    """)
    assert out == ["generator_already_executing", "x", "y", "generator_already_executing", "[]"]


def test_from_tcl_with_a_cast_list_that_refills_one_list():
    out = run_isolated("""
        import brelt.tcl
        from brelt.tcl import NestMap

        real, reused = brelt.tcl.cast_list, []

        def refill(value):
            reused[:] = real(value)
            return reused

        brelt.tcl.cast_list = refill
        text = " ".join("{k%d v%d}" % (i, i) for i in range(200))
        kl = NestMap.from_tcl(text)
        print(kl == {"k%d" % i: "v%d" % i for i in range(200)})
    """)
    assert out == ["True"]


@pytest.mark.parametrize("convert", ["tclobj", "quotify", "NestMap.__tclobj__"])
def test_depth_cap_holds_across_hooks(convert):
    # A NestMap in a dict in a NestMap...: every level re-enters a walk
    # through a hook, and the walks share one depth.
    out = run_isolated(f"""
        import sys
        from brelt.tcl import NestMap, quotify, tclobj
        sys.setrecursionlimit(10**6)
        top = node = NestMap()
        for _ in range(100_000):
            inner = NestMap()
            node["k"] = {{"k": inner}}  # a plain dict stays a plain dict
            node = inner
        try:
            {convert}(top)
        except RecursionError:
            print("RecursionError")
    """)
    assert out == ["RecursionError"]
