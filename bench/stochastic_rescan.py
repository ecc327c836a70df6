"""STOCHASTIC against a numba loop that rescans every window, and against TA-Lib's STOCHF.

The numba loop is the algorithm as written (each %K window scanned from its first sample,
each %D window summed afresh), called on the float64 arrays as they are; ours also pays
for the three float64 input copies of its coercion, which are timed alone too. Every
contender runs once per repeat, in a rotating order, so that drift of a shared machine
hits all alike; the medians and their ratios to ours are printed. Before timing, ours is
checked bit for bit against the numba loop on the same data.

    python bench/stochastic_rescan.py [--samples 1000000] [--repeats 31] [--windows 14 1000]

Needs numba; TA-Lib is timed when it is installed.
"""

from __future__ import annotations

import argparse
import statistics
import time

import sys
from pathlib import Path

import numpy as np

from vantrel.indicators import STOCHASTIC

sys.path.insert(0, str(Path(__file__).resolve().parent))

import contenders as c  # noqa: E402  (the numba loops and the data of the main benchmark)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal bit patterns wherever either is not NaN (NaN payloads aside)."""
    nan = np.isnan(a)
    return bool(np.array_equal(nan, np.isnan(b)) and
                np.array_equal(a[~nan].view(np.int64), b[~nan].view(np.int64)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=31)
    parser.add_argument("--windows", type=int, nargs="+", default=[14, 1000])
    parser.add_argument("--d-period", type=int, default=3)
    args = parser.parse_args()
    try:
        import talib
    except ImportError:
        talib = None

    data = c.random_walk(args.samples, seed=7)
    high, low, close = data.high, data.low, data.close
    d_period = args.d_period
    contenders = {}
    for k in args.windows:
        contenders[f"ours k={k}"] = lambda k=k: STOCHASTIC(high, low, close, k, d_period)
        contenders[f"numba k={k}"] = lambda k=k: c.nb_stochastic(high, low, close, k, d_period)
        if talib is not None:
            contenders[f"TA-Lib k={k}"] = lambda k=k: talib.STOCHF(high, low, close, k, d_period, 0)
    contenders["3 input copies"] = lambda: [x.astype(np.float64) for x in (high, low, close)]

    for k in args.windows:  # compile, page in, and check the bits
        ours = STOCHASTIC(high, low, close, k, d_period)
        theirs = c.nb_stochastic(high, low, close, k, d_period)
        for column, values in zip(("%K", "%D"), theirs):
            assert same_bits(ours[column].to_numpy(), values), f"k={k} {column} differs"
    for fn in contenders.values():
        fn()

    names = list(contenders)
    times: dict[str, list[float]] = {name: [] for name in names}
    for repeat in range(args.repeats):
        shift = repeat % len(names)
        for name in names[shift:] + names[:shift]:
            start = time.perf_counter()
            contenders[name]()
            times[name].append(time.perf_counter() - start)

    medians = {name: statistics.median(t) for name, t in times.items()}
    print(f"STOCHASTIC on {args.samples:,} float64 samples, d_period {d_period}: median of "
          f"{args.repeats} interleaved calls (ours bit-identical to the numba rescan)")
    for k in args.windows:
        base = medians[f"ours k={k}"]
        for name in names:
            if name.endswith(f"k={k}"):
                print(f"  {name:<16} {medians[name] * 1e3:8.2f} ms   ours / this: "
                      f"{base / medians[name]:.3f}")
    print(f"  {'3 input copies':<16} {medians['3 input copies'] * 1e3:8.2f} ms")
    first = args.windows[0]
    for k in args.windows[1:]:
        print(f"  ours k={k} / ours k={first}: "
              f"{medians[f'ours k={k}'] / medians[f'ours k={first}']:.3f}")


if __name__ == "__main__":
    main()
