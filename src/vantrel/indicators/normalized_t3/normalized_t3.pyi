"""Normalized T3 Oscillator indicator calculation."""

from typing import Any, SupportsIndex, TypeAlias

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]

def NORMALIZED_T3(
    src: _Prices,
    period: SupportsIndex = 200,
    t3_period: SupportsIndex = 2,
    volume_factor: float = 0.7,
) -> pd.Series[float]:
    """The T3 moving average placed within its rolling range, from -0.5 to +0.5.

    The T3 average is six cascaded EMAs (weight ``2 / (t3_period + 1)``, each
    starting at the first sample) combined with coefficients from
    ``volume_factor``. Each value is then ``(t3 - lowest) / (highest - lowest)
    - 0.5`` over the last ``period`` T3 values, the current one included.

    Parameters
    ----------
    src : array-like or pandas.Series
        The prices, oldest first.
    period : int, default 200
        Bars in the window that the T3 value is placed in.
    t3_period : int, default 2
        Period of each of the six EMA stages.
    volume_factor : float, default 0.7
        T3 volume factor; must be greater than 0 and at most 1.

    Returns
    -------
    pandas.Series
        float64 Series named "Normalized T3 Oscillator", on the index of
        ``src`` when it is a Series, else on a default range index.

    Raises
    ------
    ValueError
        "Volume factor must be between 0 and 1" unless 0 < volume_factor <= 1;
        "period must be at least 1".

    Notes
    -----
    - Warm-up: the first ``period - 1`` values are NaN.
    - A flat window (all T3 values equal) gives -0.5.
    - A NaN in ``src`` makes every value from there on NaN.
    """
