"""Many series in one call: a universe of symbols, a grid of parameters, a long table by key."""

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any] | pd.DataFrame
_Int: TypeAlias = SupportsIndex | Sequence[SupportsIndex] | np.ndarray[Any, Any]
_Float: TypeAlias = SupportsFloat | Sequence[SupportsFloat] | np.ndarray[Any, Any]
_Keys: TypeAlias = ArrayLike | pd.Series[Any] | pd.Index[Any] | None

__all__ = ["EMA", "STOCHASTIC", "ADX", "SUPERTREND", "NORMALIZED_T3", "ATR"]

# The indicators' table, read by vantrel.indicators.dask.
@dataclass(frozen=True)
class _Param:
    name: str
    kind: type
    default: object = ...

@dataclass(frozen=True)
class _Indicator:
    name: str
    inputs: tuple[str, ...]
    params: tuple[_Param, ...]
    outputs: tuple[str, ...]
    int_outputs: tuple[str, ...] = ()

_TABLE: dict[str, _Indicator]

def _is_grid(value: object) -> bool: ...

def EMA(src: _Prices, period: _Int, *, by: _Keys = None,
        threads: int | None = None) -> pd.DataFrame | pd.Series[float]:
    """Exponential moving average of many series at once (see the module's help)."""

def STOCHASTIC(high: _Prices, low: _Prices, close: _Prices, k_period: _Int = 14, d_period: _Int = 3,
               *, by: _Keys = None, threads: int | None = None) -> pd.DataFrame:
    """Stochastic oscillator (%K, %D) of many series at once (see the module's help)."""

def ADX(high: _Prices, low: _Prices, close: _Prices, di_length: _Int = 14, adx_smoothing: _Int = 14,
        *, by: _Keys = None, threads: int | None = None) -> pd.DataFrame:
    """ADX with +DI and -DI of many series at once (see the module's help)."""

def SUPERTREND(high: _Prices, low: _Prices, close: _Prices, period: _Int = 10, multiplier: _Float = 3.0,
               *, by: _Keys = None, threads: int | None = None) -> pd.DataFrame:
    """SuperTrend line and direction of many series at once (see the module's help).

    The ATR under the line is this package's ATR recursion (vantrel.indicators.volatility.ATR).
    """

def NORMALIZED_T3(src: _Prices, period: _Int = 200, t3_period: _Int = 2, volume_factor: _Float = 0.7,
                  *, by: _Keys = None, threads: int | None = None) -> pd.DataFrame | pd.Series[float]:
    """Normalized T3 oscillator of many series at once (see the module's help)."""

def ATR(high: _Prices, low: _Prices, close: _Prices, period: _Int = 14, *, by: _Keys = None,
        threads: int | None = None) -> pd.DataFrame | pd.Series[float]:
    """Average true range of many series at once (see the module's help)."""
