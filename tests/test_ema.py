"""EMA: worked examples, edge cases and a bit-exact comparison with a plain reference."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from conftest import assert_same_bits, random_prices
from vantrel.indicators import EMA


def ema_reference(values, period: int) -> list[float]:
    """The recursion as written: seed with the first sample, then (1 - a) * prev + a * x."""
    data = [float(v) for v in values]
    if not data:
        return []
    denominator = period + 1  # Python ints: no wrap-around
    alpha = 2.0 / denominator if denominator != 0 else math.inf
    keep = 1.0 - alpha
    out = [data[0]]
    for x in data[1:]:
        out.append(keep * out[-1] + alpha * x)
    return out


@pytest.mark.parametrize(
    ("src", "period", "expected"),
    [
        ([1, 2, 3], 1, [1.0, 2.0, 3.0]),
        ([1, 2, 3], 3, [1.0, 1.5, 2.25]),
        ([7.5], 20, [7.5]),
        ([1, 2, 3], 10.9, ema_reference([1, 2, 3], 10)),  # a float period truncates toward zero
        ([1.0, 2.0, math.nan, 4.0], 3, [1.0, 1.5, math.nan, math.nan]),
        ([math.nan, 2.0, 3.0], 3, [math.nan] * 3),
    ],
)
def test_examples(src, period, expected):
    result = EMA(src, period)
    assert isinstance(result, pd.Series)
    assert result.name == "EMA" and result.dtype == np.float64
    assert isinstance(result.index, pd.RangeIndex) and len(result) == len(expected)
    assert_same_bits(result.to_numpy(), expected)


@pytest.mark.parametrize("period", [0, -1, -2, -5, 2**31 - 1, -(2**31)])
def test_unvalidated_periods_follow_the_arithmetic(period):
    # 0 gives alpha 2, -1 an infinite alpha, 2**31 - 1 must not wrap when one is added.
    src = [1.0, 3.0, -2.0, 0.5, 8.0]
    assert_same_bits(EMA(src, period).to_numpy(), ema_reference(src, period), f"period={period}")


def test_matches_reference_on_random_inputs(rng):
    for trial in range(300):
        n = int(rng.integers(0, 60)) if trial % 10 else 2000
        src = random_prices(rng, n)
        period = int(rng.choice([1, 2, 3, 5, 14, 50, 200, int(rng.integers(-4, 40))]))
        assert_same_bits(EMA(src, period).to_numpy(), ema_reference(src, period),
                         f"trial={trial} period={period}")


def test_empty_input_gives_an_empty_named_series():
    result = EMA(np.array([], dtype=np.float64), 10)
    assert len(result) == 0 and result.name == "EMA" and result.dtype == np.float64


def test_series_input_keeps_its_index_and_values(rng):
    index = pd.date_range("2024-01-01", periods=50, freq="D", name="date")
    values = random_prices(rng, 50)
    source = pd.Series(values, index=index, name="close")
    result = EMA(source, 5)
    pd.testing.assert_index_equal(result.index, index)
    assert result.name == "EMA"
    assert_same_bits(result.to_numpy(), ema_reference(values, 5))
    assert_same_bits(source.to_numpy(), values)  # the caller's data is only read


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: a.tolist(), id="list"),
        pytest.param(lambda a: np.round(a).astype(np.int64), id="int64"),
        pytest.param(lambda a: a.astype(np.float32), id="float32"),
        pytest.param(lambda a: a.astype(">f8"), id="big-endian"),
        pytest.param(lambda a: np.repeat(a, 2)[::2], id="strided"),
        pytest.param(lambda a: a[::-1].copy()[::-1], id="negative-stride"),
        pytest.param(lambda a: pd.Series(np.round(a).astype(np.int32)), id="int-series"),
    ],
)
def test_input_kinds_match_the_float64_result(rng, make):
    values = 100.0 + np.cumsum(rng.normal(size=200))
    given = make(values)
    expected = np.asarray(given, dtype=np.float64)
    assert_same_bits(EMA(given, 9).to_numpy(), ema_reference(expected, 9))
