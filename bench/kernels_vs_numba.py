"""ADX, ATR and SUPERTREND against their plain numba loops and TA-Lib, end to end.

Every contender is called through Python on the same float64 arrays (a random walk
with wicks, as bench/contenders.py makes it), so ours includes its input copies
(astype), output allocation and result assembly. The numba loops are the exact
algorithms of bench/contenders.py; their results are checked bit for bit against ours
before anything is timed. The contenders of one function are called in turn, round
after round, so that drift of a shared machine hits them alike; medians are printed
and the ratio of ours to each contender (below 1.0 ours is faster).

    NUMBA_CACHE_DIR=/tmp/numba-cache python bench/kernels_vs_numba.py [--samples 1000000] [--repeats 21]

TA-Lib counterparts: ATR for ATR, and PLUS_DI + MINUS_DI + ADX (three calls) for ADX;
SUPERTREND has none. TA-Lib is skipped when it is not installed.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import contenders as c  # noqa: E402  (bench/contenders.py: the numba loops and the data)
from vantrel.indicators import ADX, ATR, SUPERTREND  # noqa: E402


def talib_functions(high, low, close) -> dict:
    try:
        import talib
    except ImportError:
        return {}
    return {
        "ADX": lambda: (talib.PLUS_DI(high, low, close, c.ADX_DI),
                        talib.MINUS_DI(high, low, close, c.ADX_DI),
                        talib.ADX(high, low, close, c.ADX_DI)),
        "ATR": lambda: talib.ATR(high, low, close, c.ATR_PERIOD),
    }


def same_bits(a, b) -> bool:
    a = np.asarray(a)
    b = np.asarray(b)
    if a.dtype.kind == "f":
        return a.shape == b.shape and bool(np.all((a.view(np.int64) == b.view(np.int64))
                                                  | (np.isnan(a) & np.isnan(b))))
    return bool(np.array_equal(a, b))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    d = c.random_walk(args.samples, args.seed)
    h, l, cl = d.high, d.low, d.close
    c.warm_numba()
    ours = {
        "ADX": lambda: ADX(h, l, cl, c.ADX_DI, c.ADX_SMOOTH),
        "ATR": lambda: ATR(h, l, cl, c.ATR_PERIOD),
        "SUPERTREND": lambda: SUPERTREND(h, l, cl, c.ST_PERIOD, c.ST_MULT),
    }
    numba = {name: (lambda name=name: c.call(c.numba_function(name), name, h, l, cl)) for name in ours}
    talib = talib_functions(h, l, cl)

    for name in ours:  # the same bits, column by column
        mine = ours[name]()
        columns = [mine.to_numpy()] if mine.ndim == 1 else [mine[k].to_numpy() for k in mine.columns]
        theirs = numba[name]()
        theirs = theirs if isinstance(theirs, tuple) else (theirs,)
        assert all(same_bits(x, y) for x, y in zip(columns, theirs)), f"{name}: bits differ from numba"

    print(f"{args.samples:,} float64 samples, median of {args.repeats} interleaved rounds; "
          f"x = ours / contender (below 1.0 ours is faster)")
    for name in ours:
        runs = {"ours": ours[name], "numba": numba[name]}
        if name in talib:
            runs["TA-Lib"] = talib[name]
        times: dict[str, list[float]] = {k: [] for k in runs}
        for fn in runs.values():
            fn()
        for _ in range(args.repeats):
            for label, fn in runs.items():
                start = time.perf_counter()
                fn()
                times[label].append(time.perf_counter() - start)
        base = statistics.median(times["ours"])
        row = "  ".join(f"{label} {statistics.median(t) * 1e3:7.2f} ms"
                        + ("" if label == "ours" else f" (x {base / statistics.median(t):.2f})")
                        for label, t in times.items())
        print(f"{name:<11} {row}")


if __name__ == "__main__":
    main()
