"""STOCHASTIC: worked examples, NaN and warm-up placement, argument and length rules, and a
bit-exact comparison with a reference that rescans every window."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from conftest import (
    SPECIALS,
    STRIDED_VIEWS,
    CountingNp,
    assert_same_bits,
    keep_views,
    raises,
    random_ohlc,
    record_frames,
)
from vantrel.indicators import STOCHASTIC
from vantrel.indicators.stochastic import stochastic as stochastic_module

NAN = math.nan


def stochastic_reference(high, low, close, k_period, d_period):
    """The two passes as plain loops: every window scanned from its first sample."""
    high, low, close = ([float(v) for v in x] for x in (high, low, close))
    n = len(high)
    k = [NAN] * n
    for i in range(k_period - 1, n):
        start = i - k_period + 1
        highest, lowest = high[start], low[start]
        for j in range(start + 1, i + 1):
            if high[j] > highest:
                highest = high[j]
            if low[j] < lowest:
                lowest = low[j]
        k[i] = 50.0 if highest == lowest else ((close[i] - lowest) / (highest - lowest)) * 100.0
    d = [NAN] * n
    for i in range(max(0, k_period + d_period - 2), n):
        total = 0.0
        for j in range(i - d_period + 1, i + 1):
            total = total + k[j]
        d[i] = total / d_period if d_period else NAN
    return k, d


def check(high, low, close, k_period, d_period, label=""):
    result = STOCHASTIC(high, low, close, k_period, d_period)
    k, d = stochastic_reference(high, low, close, k_period, d_period)
    assert_same_bits(result["%K"].to_numpy(), k, f"%K {label}")
    assert_same_bits(result["%D"].to_numpy(), d, f"%D {label}")
    return result


@pytest.mark.parametrize(
    ("high", "low", "close", "k_period", "d_period", "k", "d"),
    [
        pytest.param([3, 5, 4, 6, 7, 5], [1, 2, 2, 3, 5, 4], [2, 4, 3, 5, 6, 4.5], 3, 2,
                     [NAN, NAN, 50.0, 75.0, 80.0, 37.5], [NAN, NAN, NAN, 62.5, 77.5, 58.75],
                     id="worked-example"),
        pytest.param([5, 5, 5], [5, 5, 5], [5, NAN, 7], 2, 2,
                     [NAN, 50.0, 50.0], [NAN, NAN, 50.0], id="flat-window-even-for-nan-close"),
        # Quotient first, then the product: (2 / 3) * 100 is one bit away from 200 / 3.
        pytest.param([3, NAN, 4, 6], [1, 2, 2, 3], [2, 4, 3, 5], 3, 1,
                     [NAN, NAN, (2 / 3) * 100, NAN], [NAN, NAN, (2 / 3) * 100, NAN],
                     id="nan-inside-passed-over-nan-first-kept"),
        pytest.param([3, 5, 4], [1, 2, 2], [2, 4, 6], 3, 1, [NAN, NAN, 125.0], [NAN, NAN, 125.0],
                     id="unclamped-above"),
        pytest.param([3, 5, 4], [1, 2, 2], [2, 4, -1], 3, 1, [NAN, NAN, -50.0], [NAN, NAN, -50.0],
                     id="unclamped-below"),
        pytest.param([1, 1], [3, 3], [4, 0], 1, 1, [-50.0, 150.0], [-50.0, 150.0],
                     id="inverted-window"),
        pytest.param([1, 2], [0, 0], [0.5, 1], 1, 0, [50.0, 50.0], [NAN, NAN], id="d-period-0"),
        pytest.param([1, 2, 3, 4], [0, 0, 0, 0], [1, 1, 1, 1], 3, -1,
                     [NAN, NAN, (1 / 3) * 100, 25.0], [-0.0] * 4, id="d-period-negative"),
        pytest.param([1, 2, 3, 4], [0, 0, 0, 0], [1, 1, 1, 1], 5, -1,
                     [NAN] * 4, [NAN, NAN, -0.0, -0.0], id="d-period-negative-late-start"),
    ],
)
def test_examples(high, low, close, k_period, d_period, k, d):
    result = STOCHASTIC(high, low, close, k_period, d_period)
    assert_same_bits(result["%K"].to_numpy(), k, "%K")
    assert_same_bits(result["%D"].to_numpy(), d, "%D")


def test_defaults_and_warm_up_regions(rng):
    high, low, close = random_ohlc(rng, 20, specials=0.0)
    result = STOCHASTIC(high, low, close)
    assert list(result.columns) == ["%K", "%D"]
    assert (result.dtypes == np.float64).all() and isinstance(result.index, pd.RangeIndex)
    k, d = result["%K"].to_numpy(), result["%D"].to_numpy()
    assert np.isnan(k[:13]).all() and not np.isnan(k[13:]).any()
    assert np.isnan(d[:15]).all() and not np.isnan(d[15:]).any()
    assert d[15] == ((0.0 + k[13]) + k[14] + k[15]) / 3
    assert_same_bits(result, STOCHASTIC(high, low, close, 14, 3))


@pytest.mark.parametrize("length", [0, 1, 5])
def test_short_and_empty_inputs(length):
    result = check([1.0] * length, [0.0] * length, [0.5] * length, 6, 2)
    assert result.shape == (length, 2) and list(result.columns) == ["%K", "%D"]
    assert (result.dtypes == np.float64).all()


def small_set(rng, n):
    """Values from a handful of specials and small numbers: ties, signed zeros and NaN abound."""
    return rng.choice(np.array(SPECIALS + (1.0, -1.0, 2.0, 0.0, -0.0)), n)


def test_matches_reference_on_random_inputs(rng):
    for trial in range(1500):
        n = int(rng.integers(0, 40))
        if trial % 3 == 0:
            high, low, close = small_set(rng, n), small_set(rng, n), small_set(rng, n)
        else:
            high, low, close = random_ohlc(rng, n, specials=0.2, ties=0.3, flat=0.1)
        k_period = int(rng.integers(1, 7))
        d_period = int(rng.integers(-2, 5))
        check(high, low, close, k_period, d_period, f"trial={trial} k={k_period} d={d_period}")


def boundary_lengths(k_period):
    """Lengths on and next to multiples of k_period, down to those shorter than a window."""
    return sorted({n for m in range(5) for n in (m * k_period - 1, m * k_period, m * k_period + 1)
                   if n >= 0})


@pytest.mark.parametrize("k_period", range(1, 9))
def test_windows_across_block_boundaries(rng, k_period):
    # The extremes are put together from blocks of k_period samples counted from position 0:
    # a window is a whole block or a tail of one block followed by a head of the next.
    for n in boundary_lengths(k_period):
        for trial in range(12):
            if trial % 2:
                high, low, close = small_set(rng, n), small_set(rng, n), small_set(rng, n)
            else:
                high, low, close = random_ohlc(rng, n, specials=0.2, ties=0.3, flat=0.1)
            check(high, low, close, k_period, 1 + trial % 5, f"n={n} trial={trial}")
    # One NaN high and one NaN low at every offset, on and off the block edges, amid ties
    # of signed zeros.
    n = 3 * k_period + 1
    base = rng.choice(np.array([0.0, -0.0, 1.0, -1.0]), n)
    for p in range(n):
        high, low = base.copy(), base.copy()
        high[p] = NAN
        low[(p + 1) % n] = NAN
        check(high, low, base[::-1].copy(), k_period, 3, f"nan at {p}")


@pytest.mark.parametrize(("k_period", "d_period"), [(14, 3), (50, 1), (200, 7), (999, 2)])
def test_matches_reference_on_long_windows(rng, k_period, d_period):
    for flat in (0.05, 0.4):
        high, low, close = random_ohlc(rng, 1500, specials=0.02, flat=flat)
        check(high, low, close, k_period, d_period, f"flat={flat}")


@pytest.mark.parametrize("view", STRIDED_VIEWS)
def test_strided_inputs_match_the_reference(rng, monkeypatch, view):
    high, low, close = random_ohlc(rng, 300, specials=0.1)
    keep_views(monkeypatch, stochastic_module)
    check(view(high), view(low), view(close), 5, 3)


@pytest.mark.parametrize(
    ("k_period", "d_period", "d_value"),
    [
        (2**31 - 1, 2**31 - 1, NAN),  # k_period + d_period - 2 does not fit 32 bits
        (2, 2**31 - 1, NAN),  # wrapped in 32 bits, the first %D window would start before 0
        (1, 2**31 - 1, NAN),
        (2**31 - 1, -(2**31), -0.0),  # warm-up sum negative: every %D is 0.0 / d_period
    ],
)
def test_huge_periods_stay_inside_the_arrays(k_period, d_period, d_value):
    result = check([2.0, 3.0, 1.0], [1.0, 1.0, 0.0], [1.5, 2.0, 0.5], k_period, d_period)
    assert_same_bits(result["%D"].to_numpy(), [d_value] * 3)


def test_large_d_period_on_long_input_reads_only_its_windows(rng):
    high, low, close = random_ohlc(rng, 3000, specials=0.0)
    check(high, low, close, 3, 2500)


@pytest.mark.parametrize("k_period", [0, -1, -(2**31)])
def test_k_period_below_one_is_refused_before_the_inputs(k_period):
    with raises(ValueError, "k_period must be at least 1"):
        STOCHASTIC(np.zeros((2, 2)), [1.0], [1.0], k_period)
    with raises(TypeError, "an integer is required"):  # both conversions come first
        STOCHASTIC([1.0], [1.0], [1.0], k_period, "3")


@pytest.mark.parametrize(
    ("args", "kwargs", "exc", "message"),
    [
        (([1], [1], [1]), {"high": [1]}, TypeError,
         "STOCHASTIC() got multiple values for keyword argument 'high'"),
        ((), {"high": [1], "close": [1]}, TypeError,
         "STOCHASTIC() takes at least 3 positional arguments (1 given)"),
        (([1], [1]), {}, TypeError, "STOCHASTIC() takes at least 3 positional arguments (2 given)"),
        (([1], [1], [1], 3, 3, 3), {}, TypeError,
         "STOCHASTIC() takes at most 5 positional arguments (6 given)"),
        (([1], [1], [1]), {"period": 3}, TypeError,
         "STOCHASTIC() got an unexpected keyword argument 'period'"),
        ((np.zeros((2, 2)), [1], [1], "3"), {}, TypeError, "an integer is required"),
        ((np.zeros((2, 2)), [1], [1], "3", 2**31), {}, TypeError, "an integer is required"),
        ((np.zeros((2, 2)), [1], [1], 3, 2**31), {}, OverflowError,
         "value too large to convert to int"),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with raises(exc, message):
        STOCHASTIC(*args, **kwargs)


def test_keywords_defaults_and_float_periods():
    h, lo, c = [3, 5, 4, 6, 7, 5], [1, 2, 2, 3, 5, 4], [2, 4, 3, 5, 6, 4.5]
    expected = STOCHASTIC(h, lo, c, 3, 2)
    assert_same_bits(STOCHASTIC(close=c, low=lo, high=h, d_period=2, k_period=3), expected)
    assert_same_bits(STOCHASTIC(h, lo, c, 3.9, 2.2), expected)


@pytest.mark.parametrize(
    ("length", "k_period", "d_period", "reads"),
    [(6, 3, 2, 1), (6, 1, 1, 0), (0, 3, 2, 0), (6, 1, 2, 1), (6, 2, 0, 1), (6, 1, 0, 0)],
)
def test_warm_up_fill_reads_np_nan_once_and_only_when_needed(monkeypatch, length, k_period,
                                                            d_period, reads):
    fake = CountingNp(-7.25)
    monkeypatch.setattr(stochastic_module, "np", fake)
    flat = np.ones(length)
    result = STOCHASTIC(flat, flat, np.arange(length), k_period, d_period)
    assert fake.reads == reads
    positions = np.arange(length)
    expected_k = np.where(positions < k_period - 1, -7.25, 50.0)
    expected_d = np.where(positions < k_period + d_period - 2, -7.25, 50.0 if d_period else NAN)
    assert_same_bits(result["%K"].to_numpy(), expected_k)
    assert_same_bits(result["%D"].to_numpy(), expected_d)


def test_index_keyword_is_passed_on_every_call(monkeypatch):
    calls = record_frames(monkeypatch, stochastic_module)
    dates = pd.date_range("2024-01-01", periods=4)
    h, lo, c = [4.0, 5.0, 6.0, 7.0], [1.0, 2.0, 3.0, 4.0], [2.0, 3.0, 4.0, 5.0]
    as_series = STOCHASTIC(pd.Series(h, index=dates), pd.Series(lo), pd.Series(c), 2, 2)
    STOCHASTIC(h, lo, c, 2, 2)
    mixed = STOCHASTIC(np.array(h), pd.Series(lo, index=dates), pd.Series(c, index=dates), 2, 2)
    assert [columns for columns, _ in calls] == [["%K", "%D"]] * 3
    assert calls[0][1]["index"] is as_series.index and as_series.index.equals(dates)
    assert calls[1][1]["index"] is None and calls[2][1]["index"] is None
    assert isinstance(mixed.index, pd.RangeIndex)


def test_function_and_module_attributes():
    import vantrel.indicators

    assert vantrel.indicators.STOCHASTIC is STOCHASTIC
    assert STOCHASTIC.__defaults__ == (14, 3)
    assert STOCHASTIC.__module__ == "vantrel.indicators.stochastic.stochastic"
    doc = stochastic_module.__doc__
    assert doc.count(".") == 1 and doc.endswith(".") and "stochastic oscillator" in doc.lower()
    lines = STOCHASTIC.__doc__.split("\n")
    assert lines[0] == "" and len(lines) == 26 and lines[-1] == "    "
    assert lines[1].startswith("    ") and "Stochastic Oscillator (%K and %D)" in lines[1]
    assert lines[2:] == [
        "    ",
        "    The Stochastic Oscillator is a momentum indicator that shows the location",
        "    of the close relative to the high-low range over a set number of periods.",
        "    ",
        "    Parameters",
        "    ----------",
        "    high : array-like",
        "        High prices (numpy array or pandas Series)",
        "    low : array-like",
        "        Low prices (numpy array or pandas Series)",
        "    close : array-like",
        "        Close prices (numpy array or pandas Series)",
        "    k_period : int, optional",
        "        The lookback period for %K calculation (default: 14)",
        "    d_period : int, optional",
        "        The period for %D smoothing (SMA of %K) (default: 3)",
        "        ",
        "    Returns",
        "    -------",
        "    pandas.DataFrame",
        "        DataFrame with columns ['%K', '%D']",
        "        - %K: Fast stochastic indicator",
        "        - %D: Slow stochastic indicator (SMA of %K)",
        "    ",
    ]
