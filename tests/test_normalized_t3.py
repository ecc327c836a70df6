"""NORMALIZED_T3: the T3 cascade, its rolling bounds and the volume-factor check."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from conftest import STRIDED_VIEWS, CountingNp, assert_same_bits, keep_views, raises, random_prices
from vantrel.indicators import NORMALIZED_T3
from vantrel.indicators.normalized_t3 import normalized_t3 as t3_module

NAN = math.nan
INT_MAX = 2**31 - 1
VF_MESSAGE = "Volume factor must be between 0 and 1"


def reference_t3(data, t3_period, a):
    """Six full-length EMA stages and the T3 sum, as plain loops."""
    n = len(data)
    denominator = t3_period + 1
    alpha = 2.0 / denominator if denominator != 0 else math.inf  # C: 2.0 / 0.0 is inf
    c1 = ((-a) * a) * a
    s2 = (3.0 * a) * a
    s3 = s2 * a
    c2 = s3 + s2
    c3 = ((-6.0 * a) * a - 3.0 * a) - s3
    c4 = ((1.0 + 3.0 * a) + (a * a) * a) + s2
    ema = [[0.0] * n for _ in range(6)]
    if n:
        for stage in ema:
            stage[0] = data[0]
    for i in range(1, n):
        ema[0][i] = alpha * data[i] + (1.0 - alpha) * ema[0][i - 1]
        for k in range(1, 6):
            ema[k][i] = (1.0 - alpha) * ema[k][i - 1] + alpha * ema[k - 1][i]
    return [((c1 * ema[5][i] + c2 * ema[4][i]) + c3 * ema[3][i]) + c4 * ema[2][i] for i in range(n)]


def normalize(t3, period):
    """Rescans every window from its first position, then places each value in its range."""
    n = len(t3)
    min_vals = [NAN] * n
    max_vals = [NAN] * n
    for i in range(period - 1, n):
        start = i - period + 1
        min_val = max_val = t3[start]
        for j in range(start, i + 1):
            if t3[j] < min_val:
                min_val = t3[j]
            if t3[j] > max_val:
                max_val = t3[j]
        min_vals[i] = min_val
        max_vals[i] = max_val
    out = [0.0] * n
    for i in range(n):
        if math.isnan(min_vals[i]) or math.isnan(max_vals[i]):
            out[i] = NAN
        else:
            range_val = max_vals[i] - min_vals[i]
            if range_val == 0.0:
                range_val = 1.0
            out[i] = (t3[i] - min_vals[i]) / range_val - 0.5
    return out


def reference(src, period=200, t3_period=2, volume_factor=0.7):
    data = np.asarray(src, dtype=np.float64).tolist()
    return normalize(reference_t3(data, t3_period, volume_factor), period)


# --- worked examples ----------------------------------------------------------------------------

def test_dyadic_example_is_exact():
    # alpha 1/2 and coefficients -1/8, 9/8, -27/8, 27/8: every stage and T3 value is a dyadic
    # fraction, so exact rational arithmetic reproduces them; only the final division rounds.
    src = [2, 4, 1, 3, 0, 2]
    half = Fraction(1, 2)
    stages = [[Fraction(src[0])] * 6]
    for x in src[1:]:
        row = [half * x + half * stages[-1][0]]
        for k in range(1, 6):
            row.append(half * stages[-1][k] + half * row[k - 1])
        stages.append(row)
    c1, c2, c3, c4 = Fraction(-1, 8), Fraction(9, 8), Fraction(-27, 8), Fraction(27, 8)
    t3 = [c1 * e[5] + c2 * e[4] + c3 * e[3] + c4 * e[2] for e in stages]
    expected = [NAN, NAN]
    for i in range(2, 6):
        low, high = min(t3[i - 2:i + 1]), max(t3[i - 2:i + 1])
        expected.append(float((t3[i] - low) / (high - low or 1)) - 0.5)
    result = NORMALIZED_T3(src, period=3, t3_period=3, volume_factor=0.5)
    assert_same_bits(result, expected)
    assert result.tolist()[4:] == [-0.5, -0.5]
    assert_same_bits(result, reference(src, 3, 3, 0.5))


def test_rise_and_fall_example():
    result = NORMALIZED_T3([1, 2, 3, 2, 1], period=3)
    values = result.tolist()
    assert math.isnan(values[0]) and math.isnan(values[1])
    assert values[2] == 0.5 and 0.0 < values[3] < 0.5 and values[4] == -0.5
    assert result.name == "Normalized T3 Oscillator" and isinstance(result.index, pd.RangeIndex)
    assert_same_bits(result, reference([1, 2, 3, 2, 1], 3))


def test_constant_input_has_a_zero_range_replaced_by_one():
    assert_same_bits(NORMALIZED_T3([5, 5, 5, 5, 5, 5], period=3), [NAN, NAN] + [-0.5] * 4)


def test_defaults(rng):
    x = random_prices(rng, 450, specials=0.0)
    assert_same_bits(NORMALIZED_T3(x), NORMALIZED_T3(x, 200, 2, 0.7))
    assert_same_bits(NORMALIZED_T3(x), reference(x))
    assert np.isnan(NORMALIZED_T3(x[:199])).all()
    assert NORMALIZED_T3.__defaults__ == (200, 2, 0.7) and NORMALIZED_T3.__doc__ is None
    assert t3_module.__doc__ == "Normalized T3 Oscillator indicator calculation."


def test_period_one_places_every_finite_value_at_the_bottom(rng):
    x = random_prices(rng, 80, specials=0.0)
    x[60] = NAN
    assert_same_bits(NORMALIZED_T3(x, 1), [-0.5] * 60 + [NAN] * 20)


def test_nan_sample_spoils_only_the_positions_from_it_on(rng):
    x = random_prices(rng, 120, specials=0.0)
    clean = NORMALIZED_T3(x, 10).to_numpy()
    x[70] = NAN
    spoiled = NORMALIZED_T3(x, 10).to_numpy()
    assert_same_bits(spoiled[:70], clean[:70])
    assert np.isnan(spoiled[70:]).all()


# --- the volume factor and the period -----------------------------------------------------------

@pytest.mark.parametrize("volume_factor", [0, 0.0, -0.1, 1.0000001, NAN, math.inf, -math.inf])
def test_volume_factor_outside_the_range_is_rejected(volume_factor):
    with raises(ValueError, VF_MESSAGE) as caught:
        NORMALIZED_T3([1.0, 2.0, 3.0], 2, 2, volume_factor)
    assert caught.value.args == (VF_MESSAGE,)


def test_volume_factor_one_is_accepted_as_an_int(rng):
    x = random_prices(rng, 40, specials=0.0)
    assert_same_bits(NORMALIZED_T3(x, 5, 2, 1), NORMALIZED_T3(x, 5, 2, 1.0))
    assert_same_bits(NORMALIZED_T3(x, 5, 2, 1), reference(x, 5, 2, 1.0))


def numpy_conversion_message(values):
    try:
        np.asarray(values).astype(np.float64)
    except ValueError as error:
        return str(error)
    raise AssertionError("converted")


class BrokenArray:
    def __array__(self, *args, **kwargs):
        raise LookupError("no array here")


@pytest.mark.parametrize(
    ("src", "volume_factor", "period", "exc", "message"),
    [
        (["a", "b"], 0.0, 5, ValueError, VF_MESSAGE),                # before the float64 conversion
        (["a", "b"], 0.5, 5, ValueError, numpy_conversion_message(["a", "b"])),
        (BrokenArray(), 0.0, 5, LookupError, "no array here"),      # after the input step
        ([1.0, 2.0], 2.0, 0, ValueError, VF_MESSAGE),                 # before the period check
        ([1.0, 2.0], 0.7, 0, ValueError, "period must be at least 1"),
        ([1.0, 2.0], 0.7, -5, ValueError, "period must be at least 1"),
        (["a", "b"], 0.7, 0, ValueError, "period must be at least 1"),
        ([], 0.7, -(2**31), ValueError, "period must be at least 1"),
    ],
)
def test_order_of_checks(src, volume_factor, period, exc, message):
    with raises(exc, message):
        NORMALIZED_T3(src, period, 2, volume_factor)


@pytest.mark.parametrize(
    ("args", "message"),
    [((), "NORMALIZED_T3() takes at least 1 positional argument (0 given)"),  # one: singular
     (([1.0], 2, 2, 0.7, 5), "NORMALIZED_T3() takes at most 4 positional arguments (5 given)")],
)
def test_argument_count_errors(args, message):
    with raises(TypeError, message):
        NORMALIZED_T3(*args)


# --- unvalidated T3 periods, lengths and index ---------------------------------------------------

@pytest.mark.parametrize("t3_period", [0, -1, -2, 1, INT_MAX, -INT_MAX - 1])
def test_any_t3_period_follows_the_arithmetic(rng, t3_period):
    x = random_prices(rng, 60, specials=0.0)
    assert_same_bits(NORMALIZED_T3(x, 4, t3_period), reference(x, 4, t3_period))


@pytest.mark.parametrize("t3_period", [INT_MAX, INT_MAX - 1, -INT_MAX - 1])
def test_extreme_t3_periods_do_not_wrap(t3_period):
    # |alpha| is about 1e-9 here: only a huge jump moves the third stage, and with it T3, which
    # then keeps rising for a positive alpha (a wrapped t3_period + 1 would make it fall).
    src = [0.0, 1e300, -1e300, 1e300, 0.0, 5e299, -3e299]
    result = NORMALIZED_T3(src, 3, t3_period)
    assert_same_bits(result, reference(src, 3, t3_period))
    assert result.tolist()[2:] == [0.5 if t3_period > 0 else -0.5] * 5


@pytest.mark.parametrize("period", [59, 60, 61, INT_MAX])
def test_windows_as_long_as_the_input(rng, period):
    x = random_prices(rng, 60, specials=0.0)
    result = NORMALIZED_T3(x, period)
    assert_same_bits(result, reference(x, min(period, 61)))
    assert np.isnan(result.to_numpy()[:-2]).all()


def test_empty_input_gives_an_empty_named_series():
    result = NORMALIZED_T3(np.array([], dtype=np.float32))
    assert len(result) == 0 and result.dtype == np.float64
    assert result.name == "Normalized T3 Oscillator"


def test_series_input_keeps_its_index(rng):
    x = random_prices(rng, 30, specials=0.0)
    index = pd.date_range("2024-05-01", periods=30, freq="min")
    result = NORMALIZED_T3(pd.Series(x, index=index), 6)
    assert result.index.equals(index) and result.name == "Normalized T3 Oscillator"
    assert_same_bits(result, NORMALIZED_T3(list(x), 6))


# --- np.nan is read through the module global, once and only when needed -------------------------

@pytest.mark.parametrize(
    ("src", "period", "reads", "filled"),
    [
        ([1.0, 2.0, 3.0, 4.0], 3, 1, [0, 1]),       # warm-up
        ([1.0, 2.0, 3.0, 4.0], 2, 1, [0]),          # the shortest warm-up
        ([1.0, 2.0, 3.0, 4.0], 1, 0, []),           # nothing without bounds
        ([NAN, 2.0, 3.0, 4.0], 1, 1, [0, 1, 2, 3]),  # windows that start at a NaN T3 value
        ([1.0, 2.0, NAN, 4.0], 2, 1, [0, 3]),       # at 2 the arithmetic gives NaN, at 3 the bounds
        ([], 3, 0, []),
    ],
)
def test_nan_positions_take_np_nan(monkeypatch, src, period, reads, filled):
    fake = CountingNp(-7.25)
    monkeypatch.setattr(t3_module, "np", fake)
    result = NORMALIZED_T3(src, period).to_numpy()
    assert fake.reads == reads
    assert np.flatnonzero(result == -7.25).tolist() == filled


# --- differential tests against the plain reference ---------------------------------------------

@pytest.mark.parametrize("t3_period", [0, 1, 2, 3, 9])
@pytest.mark.parametrize("volume_factor", [0.7, 0.5, 1.0, 0.3, 0.123, 0.77])
def test_matches_reference_on_random_inputs(rng, t3_period, volume_factor):
    for n in (1, 2, 7, 90):
        for period in (1, 2, 3, 8, 30, 95):
            x = random_prices(rng, n, specials=0.03, ties=0.3, flat=0.2)
            assert_same_bits(NORMALIZED_T3(x, period, t3_period, volume_factor),
                             reference(x, period, t3_period, volume_factor),
                             f"n={n} period={period}")


@pytest.mark.parametrize(("period", "t3_period"), [(1, 1), (37, 1), (37, 0), (64, 2), (300, 2)])
def test_matches_reference_on_long_inputs(rng, period, t3_period):
    # t3_period 1 makes T3 follow the input closely, so its ties and flat stretches reach the
    # windows; t3_period 0 makes it oscillate. 9000 samples run without the interpreter lock,
    # and T3 is made in pieces of a few thousand samples (whole windows each): the NaN falls
    # into a later piece.
    x = random_prices(rng, 9000, specials=0.0, ties=0.3, flat=0.2)
    x[8900] = NAN
    assert_same_bits(NORMALIZED_T3(x, period, t3_period), reference(x, period, t3_period))


@pytest.mark.parametrize("period", range(1, 9))
def test_windows_across_block_boundaries(rng, period):
    # The bounds are put together from blocks of `period` positions counted from 0. With
    # t3_period 1 the T3 values follow the input's ties, flat stretches and infinities; a NaN
    # sample turns T3 NaN from there on, so its position moves the first NaN window start.
    lengths = {n for m in range(5) for n in (m * period - 1, m * period, m * period + 1) if n > 0}
    for n in sorted(lengths):
        for trial in range(6):
            x = random_prices(rng, n, specials=0.0, ties=0.4, flat=0.2)
            if trial % 2:
                x[int(rng.integers(n))] = NAN
            if trial % 3 == 0:
                x[int(rng.integers(n))] = math.inf if trial else -math.inf
            assert_same_bits(NORMALIZED_T3(x, period, 1), reference(x, period, 1),
                             f"n={n} trial={trial}")


@pytest.mark.parametrize("view", STRIDED_VIEWS)
def test_strided_input_matches_the_reference(rng, monkeypatch, view):
    x = random_prices(rng, 300, specials=0.0)
    keep_views(monkeypatch, t3_module)
    assert_same_bits(NORMALIZED_T3(view(x), 20), reference(x, 20))
