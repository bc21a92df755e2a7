"""Helpers shared by the tests."""

import gc
import sys


def assert_no_leak(func, rounds=2000, warmup=200, allowance=None):
    """Fails when ``func()`` leaves memory blocks behind: after a warm-up, the
    number of allocated blocks must not grow with the number of calls."""
    for _ in range(warmup):
        func()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        func()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    limit = rounds // 2 if allowance is None else allowance
    assert grown < limit, f"{grown} blocks more after {rounds} calls"
