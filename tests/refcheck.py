"""Reference leak hunting on a debug build of CPython (one that has
``sys.gettotalrefcount``), in the manner of CPython's own ``-R`` option.

Each test runs, set-up and tear-down included, ``warmup + runs`` times
unreported before its reported run; from the last warm-up run on, the total
reference count and the number of allocated blocks are read after each. A
test whose total grows in every one of the ``runs`` runs after the warm-up
leaks and is reported failed. A leak that allocates nothing (a reference
leaked to an existing object) shows here as well as one that does.

On a free-threaded build the total reference count does not count the
references to objects with deferred reference counting (classes, functions,
code objects, modules), and merges per-thread counts when the collector
runs: there a test leaks only when its allocated blocks grow in every run.

``BRELT_REFCHECK=warmup:runs`` (default ``1:3``) sets the numbers; ``0:0``
turns the check off. Hypothesis runs derandomized, so that every run of a
test sees the same examples.
"""

import gc
import os
import sys
import sysconfig

import pytest
from _pytest.runner import runtestprotocol

_LEAKED = pytest.StashKey[str]()


def _clear_caches():
    # What a run leaves in the caches of the standard library is not a leak.
    import linecache
    import re

    re.purge()
    linecache.clearcache()
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


class RefCheck:
    def __init__(self, warmup, runs):
        self.warmup = warmup
        self.runs = runs

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        # pytest keeps something of every temporary folder it makes; a test
        # may also keep references on purpose (marked so, with the reason).
        # A test whose work runs in child processes has nothing to count here.
        if (item.get_closest_marker("keeps_references") or item.get_closest_marker("in_child_process")
                or {"tmp_path", "tmpdir"} & set(item.fixturenames)):
            return None
        # Filled in place, each reading replacing an int of its own: appending
        # would keep one more object per reading.
        totals = [10**9 + i for i in range(self.runs + 1)]
        blocks = [10**9 + i for i in range(self.runs + 1)]
        for i in range(self.warmup + self.runs):
            reports = runtestprotocol(item, nextitem=nextitem, log=False)
            # Output and log lines captured for the report pile up per run.
            del item._report_sections[:]
            if any(not r.passed for r in reports):
                return None  # failing, skipped or expected to fail: reported as usual
            reading = i + 1 - self.warmup
            if reading >= 0:
                _clear_caches()
                totals[reading] = sys.gettotalrefcount()
                blocks[reading] = sys.getallocatedblocks()
        deltas = [b - a for a, b in zip(totals, totals[1:])]
        block_deltas = [b - a for a, b in zip(blocks, blocks[1:])]
        if all(d > 0 for d in deltas) and not sysconfig.get_config_var("Py_GIL_DISABLED"):
            item.stash[_LEAKED] = f"references leaked in each of {self.runs} runs: {deltas}"
        elif all(d > 0 for d in block_deltas):
            item.stash[_LEAKED] = f"memory blocks leaked in each of {self.runs} runs: {block_deltas}"
        return None  # the reported run follows

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        leaked = item.stash.get(_LEAKED, None)
        if leaked and report.when == "call" and report.passed:
            report.outcome = "failed"
            report.longrepr = leaked


def plugin():
    """The plugin where CPython counts references, else None."""
    if not hasattr(sys, "gettotalrefcount"):
        return None
    warmup, _, runs = os.environ.get("BRELT_REFCHECK", "1:3").partition(":")
    warmup, runs = int(warmup), int(runs or 3)
    if warmup <= 0 or runs <= 0:
        return None
    from hypothesis import settings

    settings.register_profile("refcheck", derandomize=True, database=None, deadline=None)
    settings.load_profile("refcheck")
    return RefCheck(warmup, runs)
