"""Average True Range (ATR) calculation."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def ATR(
    high: _Prices, low: _Prices, close: _Prices, period: SupportsIndex = 14
) -> pd.Series[float]:
    """Average true range: the typical size of one bar's move, gaps included.

    The true range is the largest of ``high - low``, ``|high - previous close|``
    and ``|low - previous close|`` (the first bar takes ``high - low``). It is
    smoothed by ``atr = (1 - 1/period) * previous + (1/period) * true range``,
    starting at the first bar's true range, so there is no warm-up.

    Parameters
    ----------
    high, low, close : array-like or pandas.Series
        Prices of the same bars, oldest first, paired by position.
    period : int, default 14
        Smoothing period of the true range.

    Returns
    -------
    pandas.Series
        float64 Series named "ATR", on the index of ``high`` when it is a
        Series, else on a default range index.

    Raises
    ------
    ValueError
        When ``low`` or ``close`` is shorter than ``high``.

    Notes
    -----
    A NaN high or low makes every later value NaN; a NaN close only drops out
    of the next bar's true range.
    """
