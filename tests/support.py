"""Helpers shared by the tests."""

import functools
import gc
import os
import sys
import sysconfig
import types

# On a free-threaded build of CPython (3.13t and later) some reference counts
# are not counts of references: a class's count grows while the garbage
# collector frees its instances (in pure Python too), and classes, functions,
# code objects and modules use deferred reference counting.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# The fuzz tests' time budget (BRELT_FUZZ_SECONDS, none by default) and the
# number of fuzz tests that share it, counted at collection.
_fuzz = {"seconds": float(os.environ.get("BRELT_FUZZ_SECONDS", "0")), "tests": 1}


def share_fuzz_budget(tests):
    _fuzz["tests"] = max(tests, 1)


def fuzz_share():
    """Seconds of the budget that one fuzz test may spend."""
    return _fuzz["seconds"] / _fuzz["tests"]


# Exact types only: walking a subclass could run its code.
_CONTAINERS = (list, tuple, set, frozenset)


def _watched(func, args, result):
    """The objects a call can reach without creating them: the arguments, the
    result, what ``func`` closes over, its constants and the globals it names,
    and the items of plain containers among them. A call that leaks a
    reference to any of them raises its reference count."""
    seen = {}

    def add(obj, depth):
        if id(obj) in seen or len(seen) >= 20_000:
            return
        seen[id(obj)] = obj
        if depth == 0:
            return
        kind = type(obj)
        if kind in _CONTAINERS:
            for item in obj:
                add(item, depth - 1)
        elif kind is dict:
            for key, value in obj.items():
                add(key, depth - 1)
                add(value, depth - 1)
        elif kind is functools.partial:
            add(obj.func, depth - 1)
            add(obj.args, depth - 1)
            add(obj.keywords, depth - 1)
        elif kind is types.FunctionType:
            for cell in obj.__closure__ or ():
                try:
                    add(cell.cell_contents, depth - 1)
                except ValueError:  # an empty cell
                    pass
            add(obj.__defaults__ or (), depth - 1)
            add(obj.__kwdefaults__ or {}, depth - 1)
            code_objects = [obj.__code__]
            while code_objects:
                code = code_objects.pop()
                for const in code.co_consts:
                    if type(const) is types.CodeType:
                        code_objects.append(const)
                    else:
                        add(const, depth - 1)
                for name in code.co_names:
                    if name in obj.__globals__:
                        add(obj.__globals__[name], depth - 1)

    add(func, 4)
    add(args, 4)
    add(result, 4)
    del seen[id(args)]
    return list(seen.values())


def _describe(obj):
    text = repr(obj)
    return f"{type(obj).__name__} {text[:60] + '...' if len(text) > 60 else text}"


def assert_no_leak(func, *args, rounds=2000, warmup=200, allowance=None):
    """Fails when ``func(*args)`` leaves something behind on every call. After
    a warm-up (caches filled, first-call effects done) the call repeats
    ``rounds`` times; then none of these may have grown by ``allowance``
    (half the rounds unless given): the number of allocated memory blocks, the
    reference count of any object the call reaches (see ``_watched``: a leaked
    reference to an existing object allocates nothing; on a free-threaded
    build classes, functions, code objects and modules are left out), and on
    a debug build of CPython the total reference count."""
    result = None
    for _ in range(warmup):
        result = func(*args)
    watched = _watched(func, args, result)
    if FREE_THREADED:
        # Left to the count of blocks: a leaked reference to one of these
        # cannot be told from the build's own deferred counting.
        watched = [obj for obj in watched if not isinstance(obj, (type, types.FunctionType, types.CodeType,
                                                                   types.ModuleType))]
    del result
    total = getattr(sys, "gettotalrefcount", None)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    refs_before = total() if total else 0
    blocks_before = sys.getallocatedblocks()
    for i in range(rounds):
        func(*args)
        if FREE_THREADED and i % 100 == 99:
            # Memory freed while other threads may still read it is given
            # back only at a collection: without one, blocks pile up.
            gc.collect()
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks_before
    refs = total() - refs_before if total else 0
    limit = rounds // 2 if allowance is None else allowance
    # Read as before: a zip() would hold each object once more while read.
    after = [sys.getrefcount(obj) for obj in watched]
    grown = [(a - b, _describe(obj)) for obj, a, b in zip(watched, after, counts) if a - b >= limit]
    assert not grown, f"references leaked in {rounds} calls: {grown}"
    assert refs < limit, f"{refs} references more in total after {rounds} calls"
    assert blocks < limit, f"{blocks} blocks more after {rounds} calls"
