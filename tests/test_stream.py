"""Streaming objects: after bars 0..i, the value for bar i is row i of the single-series
function on bars 0..i, bit for bit, however the bars are split between update and
update_many, across pickling, copies and peeks."""

from __future__ import annotations

import math
import pickle
import threading

import numpy as np
import pandas as pd
import pytest

import vantrel.indicators as single
from catalog import BY_NAME
from conftest import SPECIALS, random_ohlc, raises
from vantrel.indicators import stream

# (class, parameter sets): defaults, short windows, and the odd values each function accepts.
PARAMS = {
    "EMA": [(10,), (1,), (0,), (-1,), (-3,)],
    "ATR": [(14,), (1,), (0,), (-2,)],
    "ADX": [(14, 14), (1, 3), (0, 5), (5, -1)],
    "SUPERTREND": [(10, 3.0), (1, 0.0), (3, -1.5), (0, 1.0), (5, math.nan)],
    "STOCHASTIC": [(14, 3), (1, 1), (3, 2), (5, 0), (4, -2), (2, 7), (2**31 - 1, 2**31 - 1)],
    "NORMALIZED_T3": [(200, 2, 0.7), (1, 2, 0.7), (4, 1, 1.0), (7, 3, 0.5), (3, 0, 0.2), (5, -1, 0.9)],
}
CASES = [pytest.param(name, p, id=f"{name}{p}") for name, sets in PARAMS.items() for p in sets]
N = 160


def bars(name, rng, n=N, **kw):
    high, low, close = random_ohlc(rng, n, **kw)
    return [close] if len(BY_NAME[name].inputs) == 1 else [high, low, close]


def bits(values) -> np.ndarray:
    """float64 bits, every NaN as np.nan (a NaN's sign and payload are the compiler's choice,
    as everywhere in the package's exactness rules)."""
    values = np.array(values, dtype=np.float64)
    values[np.isnan(values)] = np.nan
    return values.view(np.int64)


def rows(result) -> np.ndarray:
    """A result's rows as bits (a Series is one column)."""
    frame = result.to_frame() if isinstance(result, pd.Series) else result
    return bits(frame.to_numpy(dtype=np.float64))


def as_row(value) -> np.ndarray:
    return bits(value if isinstance(value, tuple) else (value,))


def assert_same_frame(got, want) -> None:
    """The same pandas type, names, dtypes and index, and the same bits."""
    assert type(got) is type(want)
    frame, want_frame = (x.to_frame() if isinstance(x, pd.Series) else x for x in (got, want))
    assert list(frame.dtypes.items()) == list(want_frame.dtypes.items())
    assert got.index.equals(want.index) and type(got.index) is type(want.index)
    np.testing.assert_array_equal(rows(got), rows(want))


def expected(name, inputs, params):
    return getattr(single, name)(*inputs, *params)


@pytest.mark.parametrize(("name", "params"), CASES)
def test_every_bar_matches_the_single_function_on_its_prefix(name, params, rng):
    inputs = bars(name, rng)
    full = rows(expected(name, inputs, params))
    obj = getattr(stream, name)(*params)
    got = np.array([as_row(obj.update(*(float(x[i]) for x in inputs))) for i in range(N)])
    np.testing.assert_array_equal(got, full)
    # Row i is that of the function on bars 0..i itself (the functions are causal; a few
    # prefixes taken literally keep that honest).
    for i in (0, 1, N // 3, N - 1):
        np.testing.assert_array_equal(rows(expected(name, [x[: i + 1] for x in inputs], params))[i], full[i])
    assert obj.count == N
    np.testing.assert_array_equal(as_row(obj.value), full[-1])


@pytest.mark.parametrize(("name", "params"), CASES)
def test_any_chunking_peeks_copies_and_pickles_give_the_same_bits(name, params, rng):
    inputs = bars(name, rng, 400)
    n = len(inputs[0])
    index = pd.date_range("2024-01-01", periods=n, freq="min")
    full = expected(name, inputs, params)
    obj = getattr(stream, name)(*params)
    twin = None
    i = 0
    while i < n:
        if rng.random() < 0.5:
            bar = [float(x[i]) for x in inputs]
            for _ in range(2):  # a peek leaves no trace
                np.testing.assert_array_equal(as_row(obj.peek(*bar)), rows(full)[i])
            np.testing.assert_array_equal(as_row(obj.update(*bar)), rows(full)[i])
            i += 1
        else:
            size = int(rng.integers(0, 150)) if rng.random() < 0.3 else int(rng.integers(0, 20))
            # What the function gives for these bars: its own type, names and index rules.
            if rng.random() < 0.5:
                chunk = [pd.Series(x[i : i + size], index=index[i : i + size]) for x in inputs]
                chunk_index = chunk[0].index
            else:
                chunk = [list(x[i : i + size]) for x in inputs]
                chunk_index = pd.RangeIndex(len(chunk[0]))
            got = obj.update_many(*chunk)
            assert_same_frame(got, full.iloc[i : i + size].set_axis(chunk_index))
            i += len(chunk[0])
        if rng.random() < 0.1:  # resume from a pickle, keep a copy
            obj = pickle.loads(pickle.dumps(obj))
            twin = obj.copy()
            twin_at = obj.count
    assert obj.count == n
    if twin is not None:  # the copy was left behind where it was taken
        assert twin.count == twin_at
        rest = twin.update_many(*[x[twin_at:] for x in inputs])
        np.testing.assert_array_equal(rows(rest), rows(full)[twin_at:])


# Chunk lengths at the edges of ADX's resumed kernel: one bar (the step alone), the pair
# loop's odd and even ends, the four-position loop's minimum (64 after the first bar) and its
# remainders of 1-3, the pair loop's 256-position blocks.
ADX_CHUNKS = [(1, 64, 65, 66, 67, 68, 69, 2), (3, 257, 256, 258, 1, 70), (300, 1, 129, 5, 64)]


@pytest.mark.parametrize("sizes", ADX_CHUNKS)
@pytest.mark.parametrize("strided", [False, True], ids=["contiguous", "strided"])
@pytest.mark.parametrize(("params", "specials"), [((14, 14), 0.0), ((1, 3), 0.0), ((5, 2), 0.004)])
def test_adx_chunks_resume_its_kernel_at_every_loop_edge(sizes, strided, params, specials, rng):
    n = sum(sizes) + 3
    inputs = list(random_ohlc(rng, n, specials=specials))
    full = rows(single.ADX(*inputs, *params))
    obj = stream.ADX(*params)
    at = 0
    for size in sizes:
        chunk = [np.repeat(x[at : at + size], 2)[::2] if strided else x[at : at + size] for x in inputs]
        np.testing.assert_array_equal(rows(obj.update_many(*chunk)), full[at : at + size])
        at += size
    # The state left behind continues bar by bar.
    for i in range(at, n):
        np.testing.assert_array_equal(as_row(obj.update(*(float(x[i]) for x in inputs))), full[i])


@pytest.mark.parametrize("params", [(200, 2, 0.7), (4, 1, 1.0)])
def test_long_normalized_t3_chunks_go_piece_by_piece_with_the_same_bits(params, rng):
    """update_many takes long chunks in pieces of 32,768 bars or more: across those seams too
    every bar is the function's."""
    (close,) = bars("NORMALIZED_T3", rng, 70_001, specials=0.0)
    full = rows(single.NORMALIZED_T3(close, *params))
    obj = stream.NORMALIZED_T3(*params)
    obj.update(float(close[0]))
    np.testing.assert_array_equal(rows(obj.update_many(close[1:70_000])), full[1:70_000])
    np.testing.assert_array_equal(as_row(obj.update(float(close[70_000]))), full[70_000])


def test_windows_hold_the_rescan_rules_of_nan_ties_and_signed_zeros(rng):
    """Window extremes from data made of few values: NaN and infinities at and after the
    window start, -0.0 against 0.0, long flat stretches."""
    alphabet = np.array([math.nan, math.inf, -math.inf, -0.0, 0.0, 1.0, -1.0, 2.0])
    for window in (1, 2, 3, 5, 8, 13):
        for trial in range(4):
            n = 300
            high, low, close = (alphabet[rng.integers(0, len(alphabet), n)] for _ in range(3))
            flat = rng.random(n) < 0.3
            for x in (high, low, close):
                x[flat] = x[np.maximum(np.flatnonzero(flat) - 1, 0)]
            for d in (1, 3):
                obj = stream.STOCHASTIC(window, d)
                got = np.array([as_row(obj.update(h, lo, c)) for h, lo, c in zip(high, low, close)])
                np.testing.assert_array_equal(got, rows(single.STOCHASTIC(high, low, close, window, d)))
            finite = np.where(np.isnan(close) | np.isinf(close), 0.0, close)
            obj = stream.NORMALIZED_T3(window, 1, 0.7)
            got = np.array([as_row(obj.update(x)) for x in finite])
            np.testing.assert_array_equal(got, rows(single.NORMALIZED_T3(finite, window, 1, 0.7)))


def test_value_count_reset_and_repr():
    obj = stream.SUPERTREND(period=3)
    assert obj.value is None and obj.count == 0
    line, direction = obj.update(10, 8, 9)
    assert type(direction) is int and direction == 1 and obj.value == (line, 1)
    assert repr(obj) == "<SUPERTREND(period=3, multiplier=3.0), count=1>"
    obj.reset()
    assert obj.value is None and obj.count == 0
    assert obj.update(10, 8, 9) == (line, 1)
    assert stream.EMA(7.9).update(1) == 1.0 and repr(stream.EMA(7.9)) == "<EMA(period=7), count=0>"


@pytest.mark.parametrize("name", ["ADX", "SUPERTREND", "EMA"])
def test_results_the_caller_keeps_never_change(name, rng):
    """A dropped result is refilled for the next bar; a kept one, or a value taken out of it,
    stays as it was (update and peek alike)."""
    inputs = bars(name, rng, 12)
    want = rows(expected(name, inputs, PARAMS[name][0]))
    obj = getattr(stream, name)(*PARAMS[name][0])
    kept = {}
    for i in range(12):
        bar = [float(x[i]) for x in inputs]
        if i % 3 == 0:
            kept[i] = obj.peek(*bar)
        result = obj.update(*bar)
        if i % 4 == 1:
            kept[i] = result
        elif i % 4 == 2:
            kept[i] = result[0] if isinstance(result, tuple) else result
        del result
    for i, value in kept.items():
        np.testing.assert_array_equal(as_row(value), want[i][: len(as_row(value))])


def test_empty_update_many_keeps_the_state():
    obj = stream.ADX()
    obj.update(3, 1, 2)
    before = pickle.dumps(obj)
    result = obj.update_many([], [], [])
    assert list(result.columns) == ["Plus_DI", "Minus_DI", "ADX"] and len(result) == 0
    assert pickle.dumps(obj) == before


# ---------------------------------------------------------------------------
# Bad input.

BAD_PARAMS = [
    ("EMA", ("x",)), ("EMA", (2**31,)), ("EMA", (-(2**31) - 1,)), ("STOCHASTIC", (0,)),
    ("STOCHASTIC", (3, 1.5j)), ("SUPERTREND", (3, "2")), ("NORMALIZED_T3", (0,)),
    ("NORMALIZED_T3", (10, 2, 0.0)), ("NORMALIZED_T3", (10, 2, math.nan)), ("NORMALIZED_T3", (0, 2, 2.0)),
    ("ATR", (None,)),
]


@pytest.mark.parametrize(("name", "args"), BAD_PARAMS)
def test_parameters_are_refused_as_the_function_refuses_them(name, args):
    prices = [[1.0, 2.0]] * len(BY_NAME[name].inputs)
    with pytest.raises(Exception) as function_error:
        getattr(single, name)(*prices, *args)
    with raises(type(function_error.value), str(function_error.value)):
        getattr(stream, name)(*args)


@pytest.mark.parametrize(("call", "message"), [
    (lambda: stream.EMA(), "EMA() takes exactly 1 positional argument (0 given)"),
    (lambda: stream.EMA(1, 2), "EMA() takes exactly 1 positional argument (2 given)"),
    (lambda: stream.ATR(1, 2), "ATR() takes at most 1 positional argument (2 given)"),
    (lambda: stream.ADX(3, di_length=3), "ADX() got multiple values for keyword argument 'di_length'"),
    (lambda: stream.ADX(length=3), "ADX() got an unexpected keyword argument 'length'"),
])
def test_constructor_arguments_are_bound_like_a_function_call(call, message):
    with raises(TypeError, message):
        call()


@pytest.mark.parametrize("method", ["update", "peek"])
def test_bad_bars_are_type_errors_and_nan_or_inf_are_bars(method):
    adx = stream.ADX(3)
    call = getattr(adx, method)
    with raises(TypeError, f"ADX.{method}() takes exactly 3 positional arguments (2 given)"):
        call(1.0, 2.0)
    with raises(TypeError, f"ADX.{method}() takes exactly 3 positional arguments (4 given)"):
        call(1.0, 2.0, 3.0, 4.0)
    with raises(TypeError, f"ADX.{method}() got an unexpected keyword argument 'open'"):
        call(1.0, 2.0, close=3.0, open=1.0)
    with raises(TypeError, "must be real number, not str"):
        call(1.0, "2", 3.0)
    with raises(TypeError, f"EMA.{method}() takes exactly 1 positional argument (0 given)"):
        getattr(stream.EMA(3), method)()
    assert adx.count == 0
    assert call(high=np.float32(2), low=1, close=math.inf) == call(2.0, 1.0, math.inf)
    assert all(math.isnan(v) for v in call(math.nan, 1.0, 1.0)[:2])


def test_update_many_refuses_what_the_function_refuses():
    obj = stream.STOCHASTIC(3)
    with raises(ValueError, "high, low and close differ in length: 2, 1, 2"):
        obj.update_many([1, 2], [1], [1, 2])
    with raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"):
        obj.update_many(np.ones((2, 2)), np.ones((2, 2)), np.ones((2, 2)))
    with raises(TypeError, "STOCHASTIC.update_many() takes exactly 3 positional arguments (1 given)"):
        obj.update_many([1.0])
    with pytest.raises(ValueError):
        obj.update_many(["a"], ["b"], ["c"])
    assert obj.count == 0
    with raises(ValueError, "the state does not fit this object"):
        obj.__setstate__(b"\0" * 8)


# ---------------------------------------------------------------------------
# Threads.


def test_two_threads_hammering_one_object_lose_no_bar():
    """Both threads feed the same bar, so every interleaving is the same series; update_many's
    long chunks run without the interpreter lock while update calls arrive."""
    bar = (10.5, 9.25, 10.0)
    obj = stream.ADX(5, 3)
    chunk = [np.full(5000, v) for v in bar]
    rounds = 40
    errors = []

    def worker(kind):
        try:
            for _ in range(rounds):
                if kind:
                    obj.update_many(*chunk)
                else:
                    for _ in range(200):
                        obj.update(*bar)
                        obj.peek(*bar)
                    pickle.loads(pickle.dumps(obj.copy()))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    total = rounds * (5000 + 200)
    assert obj.count == total
    want = single.ADX(*[np.full(total, v) for v in bar], 5, 3)
    np.testing.assert_array_equal(as_row(obj.value), rows(want)[-1])


def test_specials_are_accepted_one_by_one():
    obj = stream.NORMALIZED_T3(3)
    values = list(SPECIALS) * 3
    got = np.array([as_row(obj.update(v)) for v in values])
    np.testing.assert_array_equal(got, rows(single.NORMALIZED_T3(values, 3)))
