"""The six public functions described as data, for the tests that run the same checks over all
of them (fuzzing, leaks, threads, rebound globals). A function whose extension module is not
built is skipped, so each check switches on by itself when the module appears."""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import pytest

from conftest import random_ohlc

REQUIRED = object()  # marks a parameter without a default
ANY = object()  # an outcome that may be a result or an exception


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # "int" or "float"
    default: object = REQUIRED


@dataclass(frozen=True)
class Indicator:
    name: str
    module: str
    inputs: tuple[str, ...]
    params: tuple[Param, ...]
    governing: str  # the input whose length is the result's
    result: str | tuple[tuple[str, str], ...]  # Series name, or (column, dtype) pairs
    sample: dict = field(default_factory=dict)  # parameters that reach every pass on short data

    def load(self):
        """The module, or a skip when its extension is not built yet."""
        try:
            return importlib.import_module(self.module)
        except ModuleNotFoundError as error:
            if error.name is not None and self.module.startswith(error.name):
                pytest.skip(f"{self.module} is not built")
            raise

    def function(self):
        return getattr(self.load(), self.name)

    @property
    def names(self) -> tuple[str, ...]:
        return self.inputs + tuple(p.name for p in self.params)

    def sample_inputs(self, rng: np.random.Generator, n: int) -> list[np.ndarray]:
        high, low, close = random_ohlc(rng, n)
        return [close] if len(self.inputs) == 1 else [high, low, close]

    def governing_position(self) -> int:
        return self.inputs.index(self.governing)


FLOAT = "float64"

ALL = (
    Indicator("EMA", "vantrel.indicators.ema.ema", ("src",), (Param("period", "int"),),
              "src", "EMA", {"period": 5}),
    Indicator("STOCHASTIC", "vantrel.indicators.stochastic.stochastic", ("high", "low", "close"),
              (Param("k_period", "int", 14), Param("d_period", "int", 3)),
              "high", (("%K", FLOAT), ("%D", FLOAT)), {"k_period": 5, "d_period": 3}),
    Indicator("ADX", "vantrel.indicators.adx.adx", ("high", "low", "close"),
              (Param("di_length", "int", 14), Param("adx_smoothing", "int", 14)),
              "high", (("Plus_DI", FLOAT), ("Minus_DI", FLOAT), ("ADX", FLOAT)),
              {"di_length": 5, "adx_smoothing": 4}),
    Indicator("SUPERTREND", "vantrel.indicators.supertrend.supertrend", ("high", "low", "close"),
              (Param("period", "int", 10), Param("multiplier", "float", 3.0)),
              "close", (("Supertrend", FLOAT), ("Direction", "int64")),
              {"period": 5, "multiplier": 2.0}),
    Indicator("NORMALIZED_T3", "vantrel.indicators.normalized_t3.normalized_t3", ("src",),
              (Param("period", "int", 200), Param("t3_period", "int", 2),
               Param("volume_factor", "float", 0.7)),
              "src", "Normalized T3 Oscillator",
              {"period": 10, "t3_period": 3, "volume_factor": 0.6}),
    Indicator("ATR", "vantrel.indicators.volatility", ("high", "low", "close"),
              (Param("period", "int", 14),), "high", "ATR", {"period": 5}),
)

BY_NAME = {indicator.name: indicator for indicator in ALL}

every_indicator = pytest.mark.parametrize("indicator", ALL, ids=[i.name for i in ALL])


def check_result(indicator: Indicator, result, length: int | None, index=None) -> None:
    """A well-formed result: the right pandas type, names, dtypes, length and index."""
    if isinstance(indicator.result, str):
        assert type(result) is pd.Series, type(result)
        assert result.name == indicator.result
        assert result.dtype == np.float64, result.dtype
    else:
        assert type(result) is pd.DataFrame, type(result)
        assert [(c, str(t)) for c, t in result.dtypes.items()] == list(indicator.result)
    if length is not None:
        assert len(result) == length, (len(result), length)
    if index is not None:
        assert result.index.equals(index)
    else:
        assert isinstance(result.index, pd.RangeIndex)
        assert result.index.equals(pd.RangeIndex(len(result)))
    if indicator.name == "SUPERTREND":
        assert set(np.unique(result["Direction"].to_numpy())) <= {1, -1}


CANONICAL_NAN = np.array(np.nan).view(np.int64)


def result_bits(result) -> list[np.ndarray]:
    """The raw bits of every column, for exact comparison, every NaN as np.nan's: the sign and
    payload of a NaN that arithmetic makes are the processor's and the compiler's (x86 makes a
    negative one, and Clang may order the operands of the strided and contiguous copies of a
    kernel differently), and no result is defined by them."""
    frame = result.to_frame() if isinstance(result, pd.Series) else result
    columns = [frame[c].to_numpy() for c in frame.columns]
    return [np.where(np.isnan(x), CANONICAL_NAN, x.view(np.int64)) if x.dtype == np.float64
            else x.view(np.int64).copy() for x in columns]


def assert_same_result(actual, expected) -> None:
    assert type(actual) is type(expected)
    if isinstance(expected, pd.Series):
        assert actual.name == expected.name
    else:
        assert list(actual.columns) == list(expected.columns)
    assert actual.index.equals(expected.index)
    for a, e in zip(result_bits(actual), result_bits(expected), strict=True):
        np.testing.assert_array_equal(a, e)


# --- hostile objects -----------------------------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below."""


class Raising:
    """Every conversion hook raises."""

    def __array__(self, *args, **kwargs):
        raise Boom("__array__")

    def __len__(self):
        raise Boom("__len__")

    def __int__(self):
        raise Boom("__int__")

    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "Raising()"


class Converted:
    """Stands for `.values`: its astype() returns a fixed object, or raises."""

    def __init__(self, result):
        self.result = result

    def astype(self, dtype):
        if self.result is Boom:
            raise Boom("astype")
        return self.result

    def __repr__(self):
        return f"Converted({self.result!r})"


class OddSeries(pd.Series):
    """A Series whose `values` (and possibly `index`) are not what pandas would give."""

    odd_values = None
    odd_index = None

    @property
    def values(self):
        if self.odd_values is Boom:
            raise Boom("values")
        return self.odd_values

    def __getattribute__(self, name):
        if name == "index" and object.__getattribute__(self, "odd_index") is Boom:
            raise Boom("index")
        return super().__getattribute__(name)

    def __repr__(self):
        return f"OddSeries(values={self.odd_values!r}, index={self.odd_index!r})"


def odd_series(n: int, values, index=None) -> OddSeries:
    """An OddSeries of n rows whose `values` is `values` (Boom: raises) and whose `index`
    raises when `index` is Boom."""
    series = OddSeries(np.zeros(n))
    series.odd_values = values
    series.odd_index = index
    return series
