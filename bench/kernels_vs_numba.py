"""ADX, ATR and SUPERTREND against their plain numba loops and TA-Lib, end to end.

Every contender is called through Python on the same float64 arrays (bench/contenders.py's
random walk), so ours includes its input copies (astype), output allocation and result
assembly. The numba loops are the exact algorithms of bench/contenders.py; before timing,
each of our results is checked bit for bit against its loop. The float64 copies that one
call of ours makes (three for ADX and ATR, seven for SUPERTREND, whose ATR call copies too)
are timed alone as well: what no kernel can win back. Every contender runs once per round,
in a rotating order, so that drift of a shared machine hits all alike; medians are printed
with the ratio of ours to each (below 1.0 ours is faster).

    python bench/kernels_vs_numba.py [--samples 1000000] [--repeats 21]

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

import contenders as c  # noqa: E402

NAMES = ("ADX", "ATR", "SUPERTREND")


def talib_call(name: str, high, low, close):
    try:
        raw = c.talib_raw(name)
    except ImportError:
        return None
    return None if raw is None else (lambda: c.call(raw, name, high, low, close))


def same_bits(a, b) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return False
    if a.dtype.kind != "f":
        return bool(np.array_equal(a, b))
    return bool(np.all((a.view(np.int64) == b.view(np.int64)) | (np.isnan(a) & np.isnan(b))))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    d = c.random_walk(args.samples, args.seed)
    h, l, cl = d.high, d.low, d.close
    c.warm_numba()

    print(f"{args.samples:,} float64 samples, median of {args.repeats} rounds; "
          f"(x r): ours / contender, below 1.0 ours is faster")
    for name in NAMES:
        mine = c.ours(name)
        loop = c.numba_function(name)
        result = mine(h, l, cl)
        columns = [result] if result.ndim == 1 else [result[k] for k in result.columns]
        expected = loop(h, l, cl)
        expected = expected if isinstance(expected, tuple) else (expected,)
        assert all(same_bits(x, y) for x, y in zip(columns, expected)), f"{name}: bits differ"

        runs = {"ours": lambda: mine(h, l, cl), "numba": lambda: loop(h, l, cl)}
        peer = talib_call(name, h, l, cl)
        if peer is not None:
            runs["TA-Lib"] = peer
        runs[f"{c.COPIES[name]} copies"] = c.copies(name, d)
        labels = list(runs)
        times: dict[str, list[float]] = {k: [] for k in labels}
        for fn in runs.values():
            fn()
        for r in range(args.repeats):
            for label in labels[r % len(labels):] + labels[:r % len(labels)]:
                start = time.perf_counter()
                runs[label]()
                times[label].append(time.perf_counter() - start)
        medians = {k: statistics.median(v) for k, v in times.items()}
        cells = [f"{k} {m * 1e3:6.2f} ms" + ("" if k == "ours" else f" (x {medians['ours'] / m:.2f})")
                 for k, m in medians.items()]
        print(f"{name:<11}" + "   ".join(cells))


if __name__ == "__main__":
    main()
