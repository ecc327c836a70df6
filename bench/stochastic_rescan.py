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

import numpy as np
from numba import njit

from vantrel.indicators import STOCHASTIC


@njit(nogil=True, cache=False, error_model="numpy")
def rescan(high, low, close, k_period, d_period):
    n = high.shape[0]
    k = np.empty(n)
    d = np.empty(n)
    for i in range(n):
        if i < k_period - 1:
            k[i] = np.nan
            continue
        start = i - k_period + 1
        hh = high[start]
        ll = low[start]
        for j in range(start + 1, i + 1):
            if high[j] > hh:
                hh = high[j]
            if low[j] < ll:
                ll = low[j]
        if hh == ll:
            k[i] = 50.0
        else:
            k[i] = ((close[i] - ll) / (hh - ll)) * 100.0
    for i in range(n):
        if i < k_period + d_period - 2:
            d[i] = np.nan
            continue
        acc = 0.0
        for j in range(i - d_period + 1, i + 1):
            acc = acc + k[j]
        d[i] = acc / np.float64(d_period)
    return k, d


def random_walk(samples: int, seed: int = 7) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 1e-3, samples)))
    previous = np.concatenate([close[:1], close[:-1]])
    wick = close * np.abs(rng.normal(0.0, 5e-4, (2, samples)))
    return np.maximum(previous, close) + wick[0], np.minimum(previous, close) - wick[1], close


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

    high, low, close = random_walk(args.samples)
    d_period = args.d_period
    contenders = {}
    for k in args.windows:
        contenders[f"ours k={k}"] = lambda k=k: STOCHASTIC(high, low, close, k, d_period)
        contenders[f"numba k={k}"] = lambda k=k: rescan(high, low, close, k, d_period)
        if talib is not None:
            contenders[f"TA-Lib k={k}"] = lambda k=k: talib.STOCHF(high, low, close, k, d_period, 0)
    contenders["3 input copies"] = lambda: [x.astype(np.float64) for x in (high, low, close)]

    for k in args.windows:  # compile, page in, and check the bits
        ours = STOCHASTIC(high, low, close, k, d_period)
        theirs = rescan(high, low, close, k, d_period)
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
