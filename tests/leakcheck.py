"""Leak measurement shared by the tests: reference counts of the objects a call is given or
looks up, and traced memory (Python objects and NumPy buffers alike) over repeated calls."""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import pytest

WARM_UP = 5
REPEAT = 100
WINDOWS = 2
# Any object leaked per call adds at least 24 bytes, REPEAT * 24 per window.
SLACK = 2048
# Memory is counted where the allocating code was called from these tests directly: the
# extension's own objects, the arrays it has NumPy make, the exceptions it raises. What pandas'
# Python code allocates is left out, as pandas and NumPy fill caches there for thousands of
# calls; an object of pandas' making that the extension kept would hold a reference to
# something the tests count (an input's index or data, an output array).
HERE = [tracemalloc.Filter(True, os.path.join(os.path.dirname(os.path.abspath(__file__)), "*"))]


@pytest.fixture
def traced():
    """Traces allocations, and keeps everything that exists now out of later collections so
    that the many gc.collect() calls of a leak check are quick."""
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


def countable(objects) -> list:
    """The objects whose reference count is their own: no small ints, strings or singletons,
    which the rest of the process shares."""
    return [o for o in objects
            if not (o is None or isinstance(o, (bool, str)) or (type(o) is int and -5 <= o <= 256))]


def traced_here() -> int:
    return sum(trace.size for trace in tracemalloc.take_snapshot().filter_traces(HERE).traces)


def growth(call) -> int:
    """Bytes gained over REPEAT calls: the smallest of up to WINDOWS windows."""
    smallest = None
    for _ in range(WINDOWS):
        memory = traced_here()
        for _ in range(REPEAT):
            call()
        gc.collect()
        grown = traced_here() - memory
        smallest = grown if smallest is None else min(smallest, grown)
        if smallest <= SLACK:
            break
    return smallest


def leaks(call, objects) -> tuple[list, int] | None:
    """Runs `call` many times: None when no count changed and memory did not grow, else the
    changed counts and the growth. Needs the `traced` fixture."""
    assert tracemalloc.is_tracing()
    for _ in range(WARM_UP):
        call()
    objects = countable(objects)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    grown = growth(call)
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(objects, before, after) if a != b]
    return (changed, grown) if changed or grown > SLACK else None
