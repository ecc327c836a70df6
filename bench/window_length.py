"""How the cost of STOCHASTIC depends on the %K window length.

The window extremes come from a block algorithm with O(1) work per sample, so a call should
cost about the same for k_period 14 and 1,000. Both lengths are timed in one run, alternating call by call so that
drift of the machine hits both alike; the medians and their ratio are printed.

    python bench/window_length.py [--samples 1000000] [--repeats 15]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from vantrel.indicators import STOCHASTIC


def prices(samples: int, seed: int = 7) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, samples))
    spread = np.abs(rng.normal(0.0, 1.0, samples))
    return close + spread * rng.random(samples), close - spread * rng.random(samples), close


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--windows", type=int, nargs="+", default=[14, 1000])
    args = parser.parse_args()

    high, low, close = prices(args.samples)
    times: dict[int, list[float]] = {k: [] for k in args.windows}
    for k in args.windows:  # warm-up call: page in the code and the allocator
        STOCHASTIC(high, low, close, k, 3)
    for _ in range(args.repeats):
        for k in args.windows:
            start = time.perf_counter()
            STOCHASTIC(high, low, close, k, 3)
            times[k].append(time.perf_counter() - start)

    base = statistics.median(times[args.windows[0]])
    print(f"STOCHASTIC on {args.samples:,} samples, d_period 3, median of {args.repeats} "
          f"interleaved calls")
    for k in args.windows:
        median = statistics.median(times[k])
        print(f"  k_period {k:>7,}: {median * 1e3:8.2f} ms   ratio to k_period "
              f"{args.windows[0]}: {median / base:.3f}")


if __name__ == "__main__":
    main()
