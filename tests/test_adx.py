"""ADX: worked examples, guards and NaN paths, argument and length rules, and a bit-exact
comparison with a reference that keeps every intermediate series in an array of its own."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from conftest import (
    SPECIALS,
    STRIDED_VIEWS,
    assert_same_bits,
    keep_views,
    raises,
    random_ohlc,
    record_frames,
)
from vantrel.indicators import ADX
from vantrel.indicators.adx import adx as adx_module

NAN = math.nan


def weight(period):
    """1.0 / period with IEEE division by zero (an infinite weight) rather than an exception."""
    with np.errstate(divide="ignore"):
        return float(np.float64(1.0) / np.float64(period))


def adx_reference(high, low, close, di_length, adx_smoothing):
    """Twelve full-length arrays, one forward pass each, in the textbook order."""
    high, low, close = ([float(v) for v in x] for x in (high, low, close))
    n = len(high)
    (up, down, plus_dm, minus_dm, tr, tr_rma, plus_dm_rma, minus_dm_rma, plus_di, minus_di, dx,
     adx) = ([0.0] * n for _ in range(12))
    if n == 0:
        return plus_di, minus_di, adx
    alpha_di, alpha_adx = weight(di_length), weight(adx_smoothing)
    for i in range(1, n):
        up[i] = high[i] - high[i - 1]
        down[i] = low[i - 1] - low[i]
    for i in range(1, n):
        plus_dm[i] = up[i] if up[i] > down[i] and up[i] > 0 else 0.0
        minus_dm[i] = down[i] if down[i] > up[i] and down[i] > 0 else 0.0
    for i in range(1, n):
        high_low = high[i] - low[i]
        high_close_prev = abs(high[i] - close[i - 1])
        low_close_prev = abs(low[i] - close[i - 1])
        m = low_close_prev if low_close_prev > high_close_prev else high_close_prev
        tr[i] = m if m > high_low else high_low
    tr[0] = high[0] - low[0]
    tr_rma[0], plus_dm_rma[0], minus_dm_rma[0] = tr[0], plus_dm[0], minus_dm[0]
    for i in range(1, n):
        tr_rma[i] = (1.0 - alpha_di) * tr_rma[i - 1] + alpha_di * tr[i]
        plus_dm_rma[i] = (1.0 - alpha_di) * plus_dm_rma[i - 1] + alpha_di * plus_dm[i]
        minus_dm_rma[i] = (1.0 - alpha_di) * minus_dm_rma[i - 1] + alpha_di * minus_dm[i]
    for i in range(n):
        if tr_rma[i] != 0:
            plus_di[i] = (plus_dm_rma[i] * 100.0) / tr_rma[i]
            minus_di[i] = (minus_dm_rma[i] * 100.0) / tr_rma[i]
        else:
            plus_di[i] = minus_di[i] = 0.0
    for i in range(n):
        total = plus_di[i] + minus_di[i]
        dx[i] = (abs(plus_di[i] - minus_di[i]) * 100.0) / total if total != 0 else 0.0
    adx[0] = dx[0]
    for i in range(1, n):
        adx[i] = (1.0 - alpha_adx) * adx[i - 1] + alpha_adx * dx[i]
    return plus_di, minus_di, adx


COLUMNS = ["Plus_DI", "Minus_DI", "ADX"]


def check(high, low, close, di_length, adx_smoothing, label=""):
    result = ADX(high, low, close, di_length, adx_smoothing)
    assert list(result.columns) == COLUMNS and (result.dtypes == np.float64).all()
    for column, expected in zip(COLUMNS, adx_reference(high, low, close, di_length, adx_smoothing)):
        assert_same_bits(result[column].to_numpy(), expected, f"{column} {label}")
    return result


@pytest.mark.parametrize(
    ("high", "low", "close", "plus_di", "minus_di", "adx"),
    [
        pytest.param([10, 12, 11], [8, 9, 9], [9, 11, 10],
                     [0.0, 40.0, 200 / 9], [0.0] * 3, [0.0, 50.0, 75.0], id="example-1"),
        pytest.param([10, 9, 8, 9], [9, 7, 7, 8], [9.5, 8, 7.5, 8.5],
                     [0.0, 0.0, 0.0, 800 / 23], [0.0, 400 / 7, 400 / 11, 400 / 23],
                     [0.0, 50.0, 75.0, 325 / 6], id="example-2"),
        pytest.param([5] * 4, [5] * 4, [5] * 4, [0.0] * 4, [0.0] * 4, [0.0] * 4, id="constant"),
        pytest.param([7.0], [6.0], [6.5], [0.0], [0.0], [0.0], id="single-row"),
    ],
)
def test_examples(high, low, close, plus_di, minus_di, adx):
    result = check(high, low, close, 2, 2)
    for column, expected in zip(COLUMNS, (plus_di, minus_di, adx)):
        np.testing.assert_allclose(result[column].to_numpy(), expected, rtol=1e-15, atol=0)


def test_equal_up_and_down_moves_count_for_neither():
    # At position 1 the high rises by 2 and the low falls by 2.
    result = check([10.0, 12.0], [8.0, 6.0], [9.0, 9.0], 1, 1)
    assert result.iloc[1].tolist() == [0.0, 0.0, 0.0]


def test_nan_close_is_passed_over_by_the_true_range():
    high, low, close = [10.0, 11.0, 12.0, 11.5], [9.0, 9.5, 10.0, 10.5], [9.5, NAN, 11.0, NAN]
    result = check(high, low, close, 3, 2)
    assert not result.isna().to_numpy().any()


@pytest.mark.parametrize("column", ["high", "low"])
@pytest.mark.parametrize("position", [0, 2])
def test_nan_high_or_low_poisons_from_its_row_on(column, position):
    prices = {"high": [10.0, 11.0, 12.0, 11.5, 13.0], "low": [9.0, 9.5, 10.0, 10.5, 11.0]}
    prices[column][position] = NAN
    result = check(prices["high"], prices["low"], [9.5, 10.0, 11.0, 11.0, 12.0], 3, 2)
    nan_rows = result.isna().all(axis=1).to_numpy()
    assert nan_rows.tolist() == [i >= position for i in range(5)]


def small_set(rng, n):
    return rng.choice(np.array(SPECIALS + (1.0, -1.0, 2.0, 0.5)), n)


def test_matches_reference_on_random_inputs(rng):
    for trial in range(600):
        n = int(rng.integers(0, 50)) if trial % 20 else 3000
        if trial % 4 == 0:
            high, low, close = small_set(rng, n), small_set(rng, n), small_set(rng, n)
        else:
            high, low, close = random_ohlc(rng, n, specials=0.03 * (trial % 3))
        di_length = int(rng.choice([1, 2, 3, 14, 0, -1, -3, int(rng.integers(1, 60))]))
        adx_smoothing = int(rng.choice([1, 2, 14, 0, -2, int(rng.integers(1, 60))]))
        check(high, low, close, di_length, adx_smoothing, f"trial={trial} periods={di_length},"
              f"{adx_smoothing}")


# Lengths around the start of the four-position loop (65 positions, on processors with AVX),
# each remainder of its groups of four, and several blocks of the pair loop. A NaN high or
# low makes every later row NaN, so these series keep theirs finite: NaN closes, ties, flat
# stretches, inverted bars and small whole numbers (zero ranges and zero sums in any lane).
@pytest.mark.parametrize("n", [64, 65, 66, 67, 68, 69, 70, 77, 258, 515, 1203])
def test_long_inputs_match_the_reference(rng, n):
    for trial in range(4):
        if trial < 2:
            high, low, close = random_ohlc(rng, n, specials=0.0, flat=0.3)
            if trial == 1:
                close[rng.random(n) < 0.1] = NAN
        else:
            pool = np.array([0.0, -0.0, 1.0, 2.0, 3.0] if trial == 2 else [5.0, 5.0, 5.0, 6.0])
            high, low, close = rng.choice(pool, n), rng.choice(pool, n), rng.choice(pool, n)
        ordinary = trial % 2 == 0  # else periods with infinite or negative weights
        di_length = int(rng.integers(1, 30) if ordinary else rng.choice([0, -2, 1]))
        adx_smoothing = int(rng.integers(1, 30) if ordinary else rng.choice([0, -3, 1]))
        result = check(high, low, close, di_length, adx_smoothing,
                       f"n={n} trial={trial} periods={di_length},{adx_smoothing}")
        if ordinary:
            assert not result.iloc[-8:].isna().to_numpy().any()


@pytest.mark.parametrize("view", STRIDED_VIEWS)
def test_strided_inputs_match_the_reference(rng, monkeypatch, view):
    high, low, close = random_ohlc(rng, 300)
    keep_views(monkeypatch, adx_module)
    check(view(high), view(low), view(close), 5, 4)


def test_empty_input_gives_an_empty_frame():
    result = check([], [], [], 14, 14)
    assert result.shape == (0, 3)


@pytest.mark.parametrize(
    ("args", "kwargs", "exc", "message"),
    [
        ((), {"high": [1], "close": [1]}, TypeError,
         "ADX() takes at least 3 positional arguments (1 given)"),
        (([1], [1], [1], 3, 3, 3), {}, TypeError,
         "ADX() takes at most 5 positional arguments (6 given)"),
        (([1], [1], [1]), {"low": [1]}, TypeError,
         "ADX() got multiple values for keyword argument 'low'"),
        (([1], [1], [1]), {"length": 3}, TypeError,
         "ADX() got an unexpected keyword argument 'length'"),
        ((np.zeros((2, 2)), [1], [1], "14"), {}, TypeError, "an integer is required"),
        ((np.zeros((2, 2)), [1], [1], 14, 2**31), {}, OverflowError,
         "value too large to convert to int"),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with raises(exc, message):
        ADX(*args, **kwargs)


def test_defaults_keywords_and_float_periods(rng):
    high, low, close = random_ohlc(rng, 100, specials=0.0)
    expected = ADX(high, low, close, 14, 14)
    for result in (ADX(high, low, close), ADX(close=close, high=high, low=low, di_length=14.9),
                   ADX(high, low, close, adx_smoothing=14)):
        assert_same_bits(result, expected)


def test_index_keyword_only_with_an_index(monkeypatch):
    calls = record_frames(monkeypatch, adx_module)
    dates = pd.date_range("2024-01-01", periods=3)
    h, lo, c = [10, 12, 11], [8, 9, 9], [9, 11, 10]
    as_series = ADX(pd.Series(h, index=dates), pd.Series(lo), pd.Series(c, index=dates[::-1]), 2, 2)
    ADX(h, lo, c, 2, 2)
    assert [columns for columns, _ in calls] == [COLUMNS, COLUMNS]
    assert calls[0][1]["index"] is as_series.index and as_series.index.equals(dates)
    assert "index" not in calls[1][1]
    assert as_series["ADX"].tolist() == [0.0, 50.0, 75.0]  # paired by position, not by index


def test_function_and_module_attributes():
    import vantrel.indicators

    assert vantrel.indicators.ADX is ADX
    assert ADX.__defaults__ == (14, 14) and ADX.__doc__ is None
    assert ADX.__module__ == "vantrel.indicators.adx.adx"
    assert adx_module.__doc__ == "Average Directional Index (ADX) indicator calculation."
