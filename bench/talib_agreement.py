"""After how many bars each indicator agrees with TA-Lib, on the shipped sample data.

The indicators here start their recursions at the first bar; TA-Lib starts them from an average
over a first window and leaves a NaN warm-up before it. The two series then differ by a term
that shrinks by a constant factor each bar. This script measures, for each output, the first bar
from which every later value agrees with TA-Lib's to a relative difference of at most 1e-9
(|ours - theirs| <= 1e-9 * max(|ours|, |theirs|)), and prints a Markdown table
(docs/conventions.md quotes it). For the recursions it also prints the largest relative
difference left from three and from six periods on.

TA-Lib is a peer of the benchmark only, never a dependency of the package. Run it in the
benchmark's environment, which `bash bench/run.sh` creates (or any environment with ta-lib and
this package installed):

    bench/.venv/bin/python bench/talib_agreement.py
"""

from __future__ import annotations

import numpy as np
import talib
from numpy.lib.stride_tricks import sliding_window_view

from vantrel.indicators import ADX, ATR, EMA, NORMALIZED_T3, STOCHASTIC
from vantrel.indicators.data import sample_ohlcv

TOLERANCE = 1e-9


def agrees_from(ours: np.ndarray, theirs: np.ndarray) -> int | None:
    """The first bar from which every value agrees to TOLERANCE, or None if the last does not."""
    scale = np.maximum(np.abs(ours), np.abs(theirs))
    close = np.abs(ours - theirs) <= TOLERANCE * scale  # False wherever either is NaN
    bad = np.flatnonzero(~close)
    if len(bad) and bad[-1] == len(ours) - 1:
        return None
    return int(bad[-1]) + 1 if len(bad) else 0


def largest_difference(ours: np.ndarray, theirs: np.ndarray, start: int) -> float:
    ours, theirs = ours[start:], theirs[start:]
    return float(np.max(np.abs(ours - theirs) / np.maximum(np.abs(ours), np.abs(theirs))))


def first_value(values: np.ndarray) -> int:
    return int(np.flatnonzero(~np.isnan(values))[0])


def placed_in_range(t3: np.ndarray, period: int) -> np.ndarray:
    """TA-Lib's T3 placed within its rolling range as NORMALIZED_T3 places its own T3 (a flat
    window counts as a range of 1), NaN until the window is full of TA-Lib values."""
    out = np.full(len(t3), np.nan)
    windows = sliding_window_view(t3, period)
    low, high = windows.min(axis=1), windows.max(axis=1)
    span = np.where(high - low == 0.0, 1.0, high - low)
    out[period - 1:] = (t3[period - 1:] - low) / span - 0.5
    return out


def rows() -> list[tuple[str, str, np.ndarray, np.ndarray, int | None]]:
    """(ours, TA-Lib's, our values, TA-Lib's values, the period of a recursion or None)."""
    prices = sample_ohlcv()
    h, low, c = (prices[k].to_numpy() for k in ("high", "low", "close"))
    stoch = STOCHASTIC(h, low, c, 14, 3)
    fastk, fastd = talib.STOCHF(h, low, c, fastk_period=14, fastd_period=3, fastd_matype=0)
    adx = ADX(h, low, c, 14, 14)
    table: list[tuple[str, str, np.ndarray, np.ndarray, int | None]] = [
        (f"EMA({p})", f"EMA({p})", EMA(c, p).to_numpy(), talib.EMA(c, p), p) for p in (10, 20, 50)]
    table += [
        ("STOCHASTIC(14, 3) %K", "STOCHF(14, 3, SMA) fastk", stoch["%K"].to_numpy(), fastk, None),
        ("STOCHASTIC(14, 3) %D", "STOCHF(14, 3, SMA) fastd", stoch["%D"].to_numpy(), fastd, None),
        ("ADX(14, 14) Plus_DI", "PLUS_DI(14)", adx["Plus_DI"].to_numpy(),
         talib.PLUS_DI(h, low, c, 14), 14),
        ("ADX(14, 14) Minus_DI", "MINUS_DI(14)", adx["Minus_DI"].to_numpy(),
         talib.MINUS_DI(h, low, c, 14), 14),
        ("ADX(14, 14) ADX", "ADX(14)", adx["ADX"].to_numpy(), talib.ADX(h, low, c, 14), 14),
        ("ATR(14)", "ATR(14)", ATR(h, low, c, 14).to_numpy(), talib.ATR(h, low, c, 14), 14),
        ("NORMALIZED_T3(200, 2, 0.7)", "T3(2, 0.7), placed in its 200-bar range",
         NORMALIZED_T3(c, 200, 2, 0.7).to_numpy(), placed_in_range(talib.T3(c, 2, 0.7), 200),
         None),
    ]
    return table


def main() -> None:
    print(f"Sample data: {len(sample_ohlcv())} bars; TA-Lib {talib.__version__}; "
          f"agreement to {TOLERANCE:g} relative.\n")
    print("| ours | TA-Lib | TA-Lib's first value | agrees from bar | "
          "largest difference from 3 periods on | from 6 periods on |")
    print("|---|---|---:|---:|---:|---:|")
    for ours_name, theirs_name, ours, theirs, period in rows():
        start = agrees_from(ours, theirs)
        left = " | ".join(
            "" if period is None else f"{largest_difference(ours, theirs, k * period):.0e}"
            for k in (3, 6))
        print(f"| {ours_name} | {theirs_name} | {first_value(theirs)} | "
              f"{'never' if start is None else start} | {left} |")


if __name__ == "__main__":
    main()
