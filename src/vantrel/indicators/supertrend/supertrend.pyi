"""Calculates the SuperTrend indicator."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def SUPERTREND(
    high: _Prices,
    low: _Prices,
    close: _Prices,
    period: SupportsIndex = 10,
    multiplier: float = 3.0,
) -> pd.DataFrame:
    """SuperTrend: a trailing line at ``multiplier`` average true ranges from the bar midpoint.

    The bands are ``(high + low) / 2 +/- multiplier * ATR(period)``. While the
    trend is up the line follows the lower band and never falls; while it is
    down it follows the upper band and never rises. The trend turns down when
    the close is at or below the previous line value, and up when it is above.

    Parameters
    ----------
    high, low, close : array-like or pandas.Series
        Prices of the same bars, oldest first, paired by position.
    period : int, default 10
        Period of the average true range (``vantrel.indicators.ATR``).
    multiplier : float, default 3.0
        Distance of the bands from the midpoint, in average true ranges.

    Returns
    -------
    pandas.DataFrame
        Columns "Supertrend" (float64) and "Direction" (int64: 1 up, -1 down),
        on the index of ``high`` when it is a Series, else on a default range
        index.

    Raises
    ------
    ValueError
        When the three inputs differ in length (from ``ATR`` or this function).

    Notes
    -----
    - The line starts on the first bar's lower band with Direction 1; there
      is no warm-up beyond what the ATR gives.
    - A close equal to the previous line value counts as a down-trend.
    - A NaN line value with Direction 1 stays NaN to the end (every later
      comparison with it is false); a NaN band value during a held trend is
      passed over.
    """
