"""ATR: the true range smoothed by the recursive average with weight 1/period."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from conftest import STRIDED_VIEWS, assert_same_bits, fma, keep_views, random_ohlc
from vantrel.indicators import ATR, volatility


def reference_atr(high, low, close, period):
    """The obvious loop: true range per bar, then the recursion seeded at bar 0, each step
    (1 - alpha) * atr[i-1] + alpha * tr[i] with the first product fused into the sum."""
    high, low, close = (np.asarray(x, dtype=np.float64).tolist() for x in (high, low, close))
    n = len(high)
    alpha = 1.0 / period if period != 0 else math.inf  # C: 1.0 / 0.0 is inf
    tr = [0.0] * n
    for i in range(n):
        if i == 0:
            tr[i] = high[0] - low[0]
            continue
        high_low = high[i] - low[i]
        high_close_prev = abs(high[i] - close[i - 1])
        low_close_prev = abs(low[i] - close[i - 1])
        m = low_close_prev if low_close_prev > high_close_prev else high_close_prev
        tr[i] = m if m > high_low else high_low
    atr = [0.0] * n
    for i in range(n):
        atr[i] = tr[0] if i == 0 else fma(1.0 - alpha, atr[i - 1], alpha * tr[i])
    return atr


def test_hand_computed_values():
    # tr = 2, 3 (|12 - 9|), 2; alpha 1/2: atr = 2, 2.5, 2.25
    result = ATR([10, 12, 11], [8, 9, 9], [9, 11, 10], 2)
    assert_same_bits(result, [2.0, 2.5, 2.25])
    assert result.name == "ATR"
    assert result.dtype == np.float64
    assert isinstance(result.index, pd.RangeIndex)


@pytest.mark.parametrize("period", [1, 2, 3, 14, 50, 0, -3])
def test_matches_reference_on_random_bars(rng, period):
    for n in (1, 2, 40, 3000):  # 3000 runs the pass without the interpreter lock
        high, low, close = random_ohlc(rng, n)
        assert_same_bits(ATR(high, low, close, period), reference_atr(high, low, close, period),
                         f"n={n}")


def test_nan_previous_close_drops_out_of_the_true_range():
    # A NaN close at 1 makes both distances at 2 NaN: the true range falls back to high - low.
    result = ATR([10.0, 11.0, 20.0], [9.0, 10.0, 19.0], [10.5, math.nan, 19.5], 1)
    assert_same_bits(result, [1.0, 1.0, 1.0])


def test_series_index_and_defaults(rng):
    high, low, close = random_ohlc(rng, 60)
    index = pd.date_range("2024-01-01", periods=60, freq="D")
    result = ATR(pd.Series(high, index=index), pd.Series(low), pd.Series(close))
    assert result.index.equals(index)
    assert_same_bits(result, reference_atr(high, low, close, 14))
    assert ATR.__defaults__ == (14,)


@pytest.mark.parametrize("view", STRIDED_VIEWS)
def test_strided_inputs_match_the_reference(rng, monkeypatch, view):
    high, low, close = random_ohlc(rng, 200)
    keep_views(monkeypatch, volatility)
    assert_same_bits(ATR(view(high), view(low), view(close), 5), reference_atr(high, low, close, 5))


def test_empty_input():
    result = ATR([], [], [])
    assert result.name == "ATR" and result.dtype == np.float64 and len(result) == 0


def test_module_docstring():
    assert volatility.__doc__ == "Average True Range (ATR) calculation."
