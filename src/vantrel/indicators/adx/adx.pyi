"""Average Directional Index (ADX) indicator calculation."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def ADX(
    high: _Prices,
    low: _Prices,
    close: _Prices,
    di_length: SupportsIndex = 14,
    adx_smoothing: SupportsIndex = 14,
) -> pd.DataFrame:
    """Average directional index, with the positive and negative directional indicators.

    True range and directional movement are smoothed with weight
    ``1 / di_length`` into +DI and -DI (in percent of the smoothed range);
    ``DX = |+DI - -DI| / (+DI + -DI) * 100`` is smoothed with weight
    ``1 / adx_smoothing`` into the ADX.

    Parameters
    ----------
    high, low, close : array-like or pandas.Series
        Prices of the same bars, oldest first, paired by position.
    di_length : int, default 14
        Smoothing period of true range and directional movement.
    adx_smoothing : int, default 14
        Smoothing period of DX into the ADX.

    Returns
    -------
    pandas.DataFrame
        float64 columns "Plus_DI", "Minus_DI" and "ADX", on the index of
        ``high`` when it is a Series, else on a default range index.

    Raises
    ------
    ValueError
        When ``low`` or ``close`` is shorter than ``high``.

    Notes
    -----
    - Every smoothing starts at the first bar's value (no average over a first
      window), so there is no warm-up; the first row is 0, 0, 0.
    - A zero smoothed range gives DI values of 0, and +DI + -DI = 0 gives
      DX = 0: constant prices give zeros throughout, never NaN.
    - A NaN high or low makes all three columns NaN from that bar on; a NaN
      close only drops the previous-close terms of the next bar's true range.
    """
