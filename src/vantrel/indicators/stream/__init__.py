"""The indicators one bar at a time, for live feeds.

Each class keeps the state of one indicator over one series of bars::

    from vantrel.indicators.stream import ADX

    adx = ADX(di_length=14, adx_smoothing=14)
    for high, low, close in bars:
        plus_di, minus_di, value = adx.update(high, low, close)

After bars 0..i, the value returned for bar i is row i of the single-series function
(``vantrel.indicators.ADX`` and so on) called on bars 0..i, bit for bit, however the bars
were split between ``update`` and ``update_many``. ``peek`` evaluates a forming bar without
taking it; ``copy``, ``reset`` and pickling save and restore the state exactly. See
docs/streaming.md.
"""

from vantrel.indicators.stream._stream import ADX, ATR, EMA, NORMALIZED_T3, STOCHASTIC, SUPERTREND

__all__ = ["EMA", "STOCHASTIC", "ADX", "SUPERTREND", "NORMALIZED_T3", "ATR"]
