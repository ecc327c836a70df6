"""SUPERTREND: the ratcheting line, its direction flag and the contract with ATR."""

from __future__ import annotations

import math
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from conftest import STRIDED_VIEWS, assert_same_bits, keep_views, raises, random_ohlc
from vantrel.indicators import ATR, SUPERTREND
from vantrel.indicators.supertrend import supertrend as supertrend_module


def reference_supertrend(high, low, close, atr, multiplier):
    """The obvious loops over full-length midpoint, band, line and direction lists."""
    high, low, close, atr = (np.asarray(x, dtype=np.float64).tolist()
                             for x in (high, low, close, atr))
    n = len(close)
    hl2 = [(high[i] + low[i]) * 0.5 for i in range(n)]
    upperband = [hl2[i] + multiplier * atr[i] for i in range(n)]
    lowerband = [hl2[i] - multiplier * atr[i] for i in range(n)]
    line = [0.0] * n
    direction = [0] * n
    if n == 0:
        return line, direction
    line[0] = lowerband[0]
    direction[0] = 1
    for i in range(1, n):
        direction[i] = -1 if line[i - 1] >= close[i] else 1
        if direction[i] == 1:
            line[i] = lowerband[i]
            if direction[i - 1] == 1:
                line[i] = lowerband[i] if lowerband[i] > line[i - 1] else line[i - 1]
        else:
            line[i] = upperband[i]
            if direction[i - 1] == -1:
                line[i] = upperband[i] if line[i - 1] > upperband[i] else line[i - 1]
    return line, direction


class Recorder:
    """A stand-in for ATR that records its calls and returns fixed values."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.fixture
def stand_in(monkeypatch):
    def install(result):
        recorder = Recorder(result)
        monkeypatch.setattr(supertrend_module, "ATR", recorder)
        return recorder
    return install


def check(result, line, direction):
    assert list(result.columns) == ["Supertrend", "Direction"]
    assert result["Supertrend"].dtype == np.float64 and result["Direction"].dtype == np.int64
    assert_same_bits(result["Supertrend"], line, "Supertrend")
    assert result["Direction"].tolist() == list(direction)


# --- worked examples and edge cases --------------------------------------------------------------

NAN = math.nan


@pytest.mark.parametrize(
    ("high", "low", "close", "atr", "multiplier", "line", "direction"),
    [
        # the trend turns down when the close equals the previous line value
        ([10, 11, 12, 11, 9], [8, 9, 10, 9, 7], [9, 10, 11, 10, 8], [1.0] * 5, 1.0,
         [8, 9, 10, 11, 9], [1, 1, 1, -1, -1]),
        # a flat market with zero range: equality keeps the trend down
        ([7.5] * 4, [7.5] * 4, [7.5] * 4, [0.0] * 4, 3.0, [7.5] * 4, [1, -1, -1, -1]),
        # an up-trend whose lower band drops holds the line
        ([10, 12, 11, 13], [8, 10, 9, 11], [9, 11, 10.5, 12], [1.0] * 4, 1.0,
         [8, 10, 10, 11], [1, 1, 1, 1]),
        # a NaN first ATR value: the line is NaN and the direction 1 to the end
        ([10, 12, 11, 13], [8, 10, 9, 11], [9, 11, 10.5, 12], [NAN, 1.0, 1.0, 1.0], 1.0,
         [NAN] * 4, [1, 1, 1, 1]),
        # a NaN multiplier does the same
        ([10, 12, 11, 13], [8, 10, 9, 11], [9, 11, 10.5, 12], [1.0] * 4, NAN, [NAN] * 4, [1] * 4),
        # a NaN ATR value inside a held up-trend does not reach the line
        ([10, 12, 11, 13], [8, 10, 9, 11], [9, 11, 10.5, 12], [1.0, 1.0, NAN, 1.0], 1.0,
         [8, 10, 10, 11], [1, 1, 1, 1]),
        # a NaN ATR value at a change of direction puts NaN into the line; the next bar leaves it
        ([10, 11, 12, 11, 9], [8, 9, 10, 9, 7], [9, 10, 11, 10, 8], [1.0, 1.0, 1.0, NAN, 1.0], 1.0,
         [8, 9, 10, NAN, 7], [1, 1, 1, -1, 1]),
        # a band equal to the line holds the line: seen through the sign of zero, up ...
        ([0.0, -0.0], [0.0, -0.0], [0.0, 1.0], [0.0, 0.0], 1.0, [0.0, 0.0], [1, 1]),
        # ... and down
        ([0.0, 0.0, -0.0], [0.0, 0.0, -0.0], [0.0, -1.0, -1.0], [0.0, 0.0, -0.0], 1.0,
         [0.0, 0.0, 0.0], [1, -1, -1]),
        # one bar: the lower band and an up-trend
        ([11.0], [9.0], [10.0], [0.75], 2.0, [8.5], [1]),
        # multiplier 0: both bands are the midpoint
        ([10, 11, 12, 11, 9], [8, 9, 10, 9, 7], [9, 10, 11, 10, 8], [1.0] * 5, 0.0,
         [9, 10, 11, 10, 8], [1, 1, 1, -1, -1]),
    ],
)
def test_examples(stand_in, high, low, close, atr, multiplier, line, direction):
    stand_in(pd.Series(atr))
    result = SUPERTREND(high, low, close, 10, multiplier)
    check(result, line, direction)
    assert isinstance(result.index, pd.RangeIndex)
    assert reference_supertrend(high, low, close, atr, multiplier)[1] == direction


# --- differential tests against the plain reference ---------------------------------------------

@pytest.mark.parametrize("multiplier", [3.0, 1.0, 0.5, 0.0, -1.5, NAN, math.inf])
def test_matches_reference_with_the_real_atr(rng, multiplier):
    for n in (1, 2, 30, 500, 4000):  # 4000 runs the pass without the interpreter lock
        high, low, close = random_ohlc(rng, n, specials=0.02)
        period = int(rng.integers(1, 20))
        atr = ATR(high, low, close, period).to_numpy()
        result = SUPERTREND(high, low, close, period, multiplier)
        check(result, *reference_supertrend(high, low, close, atr, multiplier))


def test_matches_reference_with_specials_in_the_atr(rng, stand_in):
    for n in (50, 3000):
        high, low, close = random_ohlc(rng, n, specials=0.1, ties=0.2)
        atr = np.abs(rng.normal(0.0, 2.0, n)).round(1)
        atr[rng.random(n) < 0.05] = NAN
        stand_in(pd.Series(atr))
        for multiplier in (1.0, 2.5):
            result = SUPERTREND(high, low, close, 7, multiplier)
            check(result, *reference_supertrend(high, low, close, atr, multiplier))


@pytest.mark.parametrize("view", STRIDED_VIEWS)
def test_strided_inputs_match_the_reference(rng, monkeypatch, view):
    high, low, close = random_ohlc(rng, 300, specials=0.02)
    atr = ATR(high, low, close, 5).to_numpy()
    keep_views(monkeypatch, supertrend_module)
    result = SUPERTREND(view(high), view(low), view(close), 5, 2.0)
    check(result, *reference_supertrend(high, low, close, atr, 2.0))


# --- the contract with ATR ----------------------------------------------------------------------

@pytest.mark.parametrize("make", [list, np.asarray, pd.Series])
def test_atr_receives_the_callers_objects_and_period_as_a_keyword(stand_in, make):
    recorder = stand_in(pd.Series([1.0, 1.0, 1.0]))
    high, low, close = make([3.0, 4.0, 5.0]), make([1.0, 2.0, 3.0]), make([2.0, 3.0, 4.0])
    SUPERTREND(high, low, close, 14.7)
    (args, kwargs), = recorder.calls
    assert len(args) == 3 and all(a is b for a, b in zip(args, (high, low, close)))
    assert kwargs == {"period": 14} and type(kwargs["period"]) is int


def test_atr_gets_the_default_period_and_never_the_multiplier(stand_in):
    recorder = stand_in(pd.Series([1.0]))
    SUPERTREND(high=[2.0], low=[1.0], close=[1.5], multiplier=9.0)
    assert [kwargs for _, kwargs in recorder.calls] == [{"period": 10}]


def test_an_exception_from_atr_propagates_unchanged(stand_in):
    error = LookupError("from ATR")
    recorder = stand_in(error)
    with pytest.raises(LookupError) as caught:
        SUPERTREND([2.0], [1.0], [1.5])
    assert caught.value is error and len(recorder.calls) == 1


def test_a_result_without_values_raises_attribute_error(stand_in):
    stand_in([1.0, 1.0])
    with raises(AttributeError, "'list' object has no attribute 'values'"):
        SUPERTREND([2.0, 3.0], [1.0, 2.0], [1.5, 2.5])


def test_atr_values_must_convert_like_a_price_input(stand_in):
    stand_in(pd.DataFrame({"a": [1.0, 1.0], "b": [1.0, 1.0]}))
    with raises(ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"):
        SUPERTREND([2.0, 3.0], [1.0, 2.0], [1.5, 2.5])


def test_order_of_steps(stand_in):
    recorder = stand_in(pd.Series([1.0, 1.0]))
    # A bad period or multiplier fails before ATR is called ...
    with raises(TypeError, "an integer is required"):
        SUPERTREND([2.0, 3.0], [1.0, 2.0], [1.5, 2.5], "10")
    with pytest.raises(TypeError):
        SUPERTREND([2.0, 3.0], [1.0, 2.0], [1.5, 2.5], 10, "x")
    # ... so does the input step (a Series high with a list low has no .values) ...
    with raises(AttributeError, "'list' object has no attribute 'values'"):
        SUPERTREND(pd.Series([2.0, 3.0]), [1.0, 2.0], [1.5, 2.5])
    assert recorder.calls == []
    # ... while the float64 conversion comes after the call.
    with pytest.raises(ValueError, match="could not convert string to float"):
        SUPERTREND(["a", "b"], [1.0, 2.0], [1.5, 2.5])
    assert len(recorder.calls) == 1


def test_atr_is_looked_up_at_every_call(monkeypatch):
    assert supertrend_module.ATR is ATR
    monkeypatch.delattr(supertrend_module, "ATR")
    with raises(NameError, "name 'ATR' is not defined"):
        SUPERTREND([2.0], [1.0], [1.5])


# --- lengths, empty input, result shape ---------------------------------------------------------

def test_an_atr_result_shorter_than_the_inputs_is_rejected(stand_in):
    stand_in(pd.Series(np.ones(2)))
    with raises(ValueError, "the ATR result has 2 samples, fewer than the 5 of close"):
        SUPERTREND(np.arange(5) + 2.0, np.arange(5) + 1.0, np.arange(5) + 1.5)


def test_a_longer_atr_result_is_read_up_to_the_length_of_the_inputs(rng, stand_in):
    high, low, close = random_ohlc(rng, 30, specials=0.0)
    atr = np.abs(rng.normal(0.0, 1.0, 40))
    stand_in(pd.Series(atr))
    result = SUPERTREND(high, low, close, 10, 2.0)
    check(result, *reference_supertrend(high, low, close, atr[:30], 2.0))


def test_empty_input_gives_an_empty_frame():
    result = SUPERTREND([], [], [])
    check(result, [], [])


def test_series_input_keeps_the_index_of_high(rng):
    high, low, close = random_ohlc(rng, 25, specials=0.0)
    index = pd.date_range("2024-03-01", periods=25, freq="h")
    result = SUPERTREND(pd.Series(high, index=index), pd.Series(low), pd.Series(close[::-1].copy()))
    assert result.index.equals(index)
    expected = SUPERTREND(high, low, close[::-1].copy())
    check(result, expected["Supertrend"], expected["Direction"])


# --- module surface -----------------------------------------------------------------------------

def test_docstrings_and_defaults():
    lines = SUPERTREND.__doc__.split("\n")
    assert lines[0] == "" and len(lines) == 21
    summary = lines[1]
    assert summary.startswith("    ") and not summary[4:].startswith(" ")
    assert "SuperTrend" in summary and summary.endswith(".")
    assert lines[2:] == [
        "    ",
        "    Parameters",
        "    ----------",
        "    high : array-like",
        "        High prices (numpy array or pandas Series)",
        "    low : array-like",
        "        Low prices (numpy array or pandas Series)  ",
        "    close : array-like",
        "        Close prices (numpy array or pandas Series)",
        "    period : int",
        "        The period for ATR calculation (default: 10)",
        "    multiplier : float",
        "        The multiplier for ATR to calculate SuperTrend (default: 3.0)",
        "        ",
        "    Returns",
        "    -------",
        "    pandas.DataFrame",
        "        DataFrame with SuperTrend values and direction",
        "    ",
    ]
    doc = supertrend_module.__doc__
    assert "\n" not in doc and "SuperTrend" in doc
    assert SUPERTREND.__defaults__ == (10, 3.0)


def run_python(code: str) -> list[str]:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()


def test_a_volatility_module_without_atr_fails_the_import_and_a_retry_works():
    assert run_python("""
        import sys, types
        import vantrel.indicators
        name = "vantrel.indicators.volatility"
        sys.modules[name] = types.ModuleType(name)
        try:
            import vantrel.indicators.supertrend.supertrend
        except ImportError as error:
            print(type(error).__name__, error)
        print("vantrel.indicators.supertrend.supertrend" in sys.modules)
        del sys.modules[name]
        from vantrel.indicators.supertrend.supertrend import SUPERTREND, ATR
        from vantrel.indicators.volatility import ATR as real
        print(ATR is real, SUPERTREND([2.0], [1.0], [1.5], 3, 1.0)["Supertrend"].tolist())
    """) == ["ImportError cannot import name ATR", "False", "True [0.5]"]


def test_a_volatility_module_that_cannot_load_fails_the_import():
    assert run_python("""
        import sys
        sys.modules["vantrel.indicators.volatility"] = None
        try:
            from vantrel.indicators import SUPERTREND
        except ImportError as error:
            print(type(error).__name__, error)
    """) == [
        "ModuleNotFoundError import of vantrel.indicators.volatility halted; None in sys.modules"
    ]
