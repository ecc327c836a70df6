from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def ATR(
    high: _Prices, low: _Prices, close: _Prices, period: SupportsIndex = 14
) -> pd.Series[float]:
    """Average true range.

    Parameters
    ----------
    high, low, close : array-like or pandas.Series
        Prices of the same bars, oldest first, paired by position.
    period : int, default 14
        Smoothing period of the true range.

    Returns
    -------
    pandas.Series
        float64 Series named "ATR".
    """
