"""NORMALIZED_T3: does a long normalization window cost what a short one does?

The rolling bounds come from a block algorithm, so the work per sample should not
grow with `period`. This times NORMALIZED_T3 on one random walk with a short and a
long window, alternating the two in every repeat so that both see the same machine
state, and compares the medians.

    python bench/t3_window.py [--samples N] [--repeats R] [--short P] [--long P] [--limit X]

Exits with status 1 when the long window's median exceeds `limit` times the short one's.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

from vantrel.indicators import NORMALIZED_T3


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--short", type=int, default=200)
    parser.add_argument("--long", type=int, default=5_000)
    parser.add_argument("--limit", type=float, default=1.3)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    src = 100.0 + np.cumsum(rng.normal(0.0, 1.0, args.samples))
    periods = (args.short, args.long)
    for period in periods:  # warm up: imports, page faults, allocator pools
        NORMALIZED_T3(src, period)

    times: dict[int, list[float]] = {p: [] for p in periods}
    for repeat in range(args.repeats):
        for period in periods if repeat % 2 == 0 else periods[::-1]:
            start = time.perf_counter()
            NORMALIZED_T3(src, period)
            times[period].append(time.perf_counter() - start)

    medians = {p: statistics.median(t) for p, t in times.items()}
    for period in periods:
        print(f"period {period:>7}: median {medians[period] * 1e3:8.2f} ms "
              f"(min {min(times[period]) * 1e3:.2f}, max {max(times[period]) * 1e3:.2f}) "
              f"over {args.repeats} runs of {args.samples:,} samples")
    ratio = medians[args.long] / medians[args.short]
    verdict = "ok" if ratio <= args.limit else "TOO SLOW"
    print(f"ratio period {args.long} / period {args.short}: {ratio:.3f} "
          f"(limit {args.limit}) {verdict}")
    return 0 if ratio <= args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
