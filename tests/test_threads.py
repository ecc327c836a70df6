"""Threads: several threads call every function at once on the same input objects. The inputs are
long enough for the numeric passes to run without the interpreter lock, so calls really overlap.
Every result must equal the single-threaded one bit for bit, and the inputs must be unchanged."""

from __future__ import annotations

import os
import random
import sys
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from catalog import ALL, assert_same_result
from conftest import random_ohlc

THREADS = 4
ROUNDS = 3
N = 5000  # above the length from which the passes release the lock


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def available():
    functions = []
    for indicator in ALL:
        try:
            functions.append((indicator, indicator.function()))
        except pytest.skip.Exception:
            pass
    return functions


def run_threads(worker):
    """worker(t) on THREADS Python threads at once, t = 0 .. THREADS - 1; returns when all end."""
    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def test_concurrent_calls_match_single_threaded_results(rng, fast_switching):
    functions = available()
    high, low, close = random_ohlc(rng, 2 * N)
    index = pd.date_range("2020-01-01", periods=N, freq="min")
    shared = {
        "arrays": [x[:N] for x in (high, low, close)],
        "strided": [x[::2] for x in (high, low, close)],
        "series": [pd.Series(x[:N], index=index) for x in (high, low, close)],
    }
    snapshot = [x.copy() for x in (high, low, close)]

    def calls():
        for indicator, function in functions:
            for layout, (high_, low_, close_) in shared.items():
                inputs = [close_] if len(indicator.inputs) == 1 else [high_, low_, close_]
                yield (indicator.name, layout, "sample"), function, inputs, indicator.sample
                yield (indicator.name, layout, "periods of 7"), function, inputs, {
                    p.name: 7 for p in indicator.params if p.kind == "int"}

    expected = {key: function(*inputs, **kwargs) for key, function, inputs, kwargs in calls()}
    barrier = threading.Barrier(THREADS)
    results = [[] for _ in range(THREADS)]
    errors = []

    def worker(t):
        order = list(calls()) * ROUNDS
        random.Random(t).shuffle(order)
        try:
            barrier.wait()
            for key, function, inputs, kwargs in order:
                results[t].append((key, function(*inputs, **kwargs)))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    run_threads(worker)

    assert not errors
    assert all(len(r) == len(expected) * ROUNDS for r in results)
    for per_thread in results:
        for key, result in per_thread:
            assert_same_result(result, expected[key])
    for original, now in zip(snapshot, (high, low, close)):
        np.testing.assert_array_equal(now.view(np.int64), original.view(np.int64))



def test_another_thread_runs_while_a_long_pass_computes():
    # With forced switches out of the way (a long switch interval), a thread that yields the
    # lock at every step (sleep(0)) runs only while the main thread has released it. A long
    # %D window makes the numeric pass take far longer (tens of ms, the work grows with
    # d_period) than anything else in the call that might release the lock (NumPy's copies of
    # 8,192 samples take microseconds), so the other thread taking many steps during one call
    # (a few hundred here; a handful when the pass keeps the lock) shows that the pass ran
    # without the lock. Loose: one call in ten is enough, however busy the machine is.
    stochastic = next(i for i in ALL if i.name == "STOCHASTIC").function()
    close = 100.0 + np.cumsum(np.random.default_rng(7).normal(0.0, 1.0, 8192))
    high, low = close + 1.0, close - 1.0
    steps = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            steps[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        most = 0
        for _ in range(10):
            before = steps[0]
            stochastic(high, low, close, 1, 3000)
            most = max(most, steps[0] - before)
            if most >= 50:
                break
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert most >= 50


def test_batch_calls_from_several_threads_and_a_forked_child(rng):
    # Calls of the batch functions from several Python threads at once share the native
    # threads kept between calls (or start their own while those are busy), and a child made
    # by fork() has none of the parent's threads: every result must still be the one-thread
    # one, and the child must not wait for threads that are not there.
    from vantrel.indicators import batch

    columns = [random_ohlc(rng, 400) for _ in range(40)]
    high, low, close = (np.column_stack([c[k] for c in columns]) for k in range(3))
    calls = [(batch.EMA, (close, 9)), (batch.ADX, (high, low, close)),
             (batch.SUPERTREND, (high, low, close)), (batch.STOCHASTIC, (high, low, close))]
    expected = [function(*args, threads=1) for function, args in calls]
    barrier = threading.Barrier(THREADS)
    mismatches, errors = [], []

    def worker(t):
        try:
            barrier.wait()
            for _ in range(20):
                for (function, args), want in zip(calls, expected):
                    if not function(*args, threads=2 + t % 2).equals(want):
                        mismatches.append(function.__name__)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    run_threads(worker)
    assert not errors and not mismatches, (errors, mismatches)

    if not hasattr(os, "fork"):
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:  # the child: exit status 0 if every result is right
        status = 1
        try:
            status = 0 if all(function(*args, threads=2).equals(want)
                              for (function, args), want in zip(calls, expected)) else 1
        finally:
            os._exit(status)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the forked child did not finish its batch calls")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(status) == 0


def test_kept_memory_given_back_and_taken_again_around_its_marking(rng):
    # Results of a megabyte or more lie in kept memory, which is marked free to reclaim a
    # while after it is given back once calls have used several threads; freed, and taken
    # again just before, during or after that marking, from two threads at once, and in a
    # child made by fork() meanwhile, every result must still be the one-thread one.
    from vantrel.indicators import batch

    columns = [random_ohlc(rng, 3000) for _ in range(64)]
    high, low, close = (np.column_stack([c[k] for c in columns]) for k in range(3))
    calls = [(batch.EMA, (close, 9)), (batch.ADX, (high, low, close))]
    expected = [function(*args, threads=1) for function, args in calls]
    pauses = random.Random(7)
    waits = [pauses.uniform(0.05, 0.25) for _ in range(12)]
    mismatches, errors = [], []

    def worker(t):
        try:
            for wait in waits[t::2]:
                for (function, args), want in zip(calls, expected):
                    if not function(*args, threads=2).equals(want):
                        mismatches.append(function.__name__)
                time.sleep(wait)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(2)]
    for w in workers:
        w.start()
    pid = None
    if hasattr(os, "fork"):
        time.sleep(0.3)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            pid = os.fork()
        if pid == 0:  # the child: exit status 0 if every result is right, twice over
            status = 1
            try:
                status = 0 if all(function(*args, threads=2).equals(want)
                                  for _ in range(2)
                                  for (function, args), want in zip(calls, expected)) else 1
            finally:
                os._exit(status)
    for w in workers:
        w.join()
    assert not errors and not mismatches, (errors, mismatches)
    if pid is not None:
        deadline = time.monotonic() + 60
        while not (done := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                pytest.fail("the forked child did not finish its batch calls")
            time.sleep(0.01)
        assert os.waitstatus_to_exitcode(done[1]) == 0
