"""Compiled calculation of the stochastic oscillator."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def STOCHASTIC(
    high: _Prices,
    low: _Prices,
    close: _Prices,
    k_period: SupportsIndex = 14,
    d_period: SupportsIndex = 3,
) -> pd.DataFrame:
    """Stochastic oscillator: where the close lies within the recent high-low range.

    ``%K = (close - lowest low) / (highest high - lowest low) * 100`` over the
    last ``k_period`` bars (the current one included), and ``%D`` is the plain
    average of the last ``d_period`` values of %K.

    Parameters
    ----------
    high, low, close : array-like or pandas.Series
        Prices of the same bars, oldest first, paired by position.
    k_period : int, default 14
        Bars in the high-low window of %K.
    d_period : int, default 3
        Number of %K values averaged into %D.

    Returns
    -------
    pandas.DataFrame
        float64 columns "%K" and "%D", on the index of ``high`` when it is a
        Series, else on a default range index.

    Raises
    ------
    ValueError
        "k_period must be at least 1", or ``low`` or ``close`` shorter than ``high``.

    Notes
    -----
    - Warm-up: %K is NaN for the first ``k_period - 1`` rows and %D for the
      first ``k_period + d_period - 2`` rows.
    - A flat window (highest high equal to lowest low) gives %K = 50.
    - %K is not clipped: a close outside the window's range gives a value
      above 100 or below 0.
    - A NaN high or low inside a window is skipped, but one at the window's
      first bar makes that %K NaN; a NaN close gives a NaN %K (except in a
      flat window). A NaN %K makes the %D values that average it NaN.
    """
