"""Exponential Moving Average (EMA) calculation."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def EMA(src: _Prices, period: SupportsIndex) -> pd.Series[float]:
    """Exponential moving average of one price series.

    Each value is ``(1 - alpha) * previous + alpha * price`` with
    ``alpha = 2 / (period + 1)``. The average starts at the first sample
    itself (no average over a first window), so there is no warm-up: the
    result is defined from the first row on.

    Parameters
    ----------
    src : array-like or pandas.Series
        The prices, oldest first. Converted to float64.
    period : int
        Length of the average. Not validated: 1 returns the input, and 0 or
        negative values give weights outside (0, 1].

    Returns
    -------
    pandas.Series
        float64 Series named "EMA", on the index of ``src`` when it is a
        Series, else on a default range index.

    Notes
    -----
    A NaN in ``src`` makes every later value NaN: the recursion carries it.

    Examples
    --------
    >>> EMA([1, 2, 3], 3).tolist()
    [1.0, 1.5, 2.25]
    """
