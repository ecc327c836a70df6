"""Streaming objects: the cost of one update called from Python, and update_many against the
single-series function.

    bench/.venv/bin/python bench/stream.py [--quick] [--out bench/STREAM.md]

Per update, every contender runs in the same loop over Python floats: `for x in xs: f(x)` for
one input, `for h, l, c in zip(hs, ls, cs): f(h, l, c)` for three. The floor of any per-bar API
is that loop calling `math.hypot` with the same arguments. Peers (when installed): TA-Lib's
stream objects (`talib.stream`, `update`; the objects that give our outputs) and talipp's indicators (`add`). Contenders are timed
in interleaved rounds (each round runs each once, in a rotated order); the tables quote the best
time of each over the rounds for the per-update loops (short runs, which other work on the machine
only slows), medians and best times for update_many, and ratios measured in this one run.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import vantrel.indicators as single
from vantrel.indicators import stream

try:
    import talib
    import talib.stream as talib_stream
except ImportError:  # the peers are optional
    talib = talib_stream = None
try:
    import talipp
    from talipp import indicators as tp
    from talipp.ohlcv import OHLCV
except ImportError:
    talipp = tp = OHLCV = None

perf = time.perf_counter
PARAMS = {"EMA": (14,), "ATR": (14,), "ADX": (14, 14), "STOCHASTIC": (14, 3), "SUPERTREND": (10, 3.0),
          "NORMALIZED_T3": (200, 2, 0.7)}
ONE_INPUT = {"EMA", "NORMALIZED_T3"}


def prices(n: int, seed: int = 7):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    spread = np.abs(rng.normal(0.0, 1.0, n))
    return close + spread * rng.random(n), close - spread * rng.random(n), close


def loop1(xs, f):
    t0 = perf()
    for x in xs:
        f(x)
    return perf() - t0


def loop3(hs, ls, cs, f):
    t0 = perf()
    for h, l, c in zip(hs, ls, cs):
        f(h, l, c)
    return perf() - t0


def talib_updates(name, warm):
    """TA-Lib's stream objects giving the outputs of ours for `name`, primed with `warm` bars:
    their per-bar calls (ADX needs three objects: ADX, PLUS_DI, MINUS_DI; our STOCHASTIC is
    the fast stochastic, STOCHF)."""
    if talib_stream is None or name not in ("EMA", "ATR", "ADX", "STOCHASTIC"):
        return None
    h, l, c = warm
    if name == "EMA":
        return [talib_stream.EMA(c, timeperiod=14).update]
    if name == "ATR":
        return [talib_stream.ATR(h, l, c, timeperiod=14).update]
    if name == "ADX":
        return [getattr(talib_stream, f)(h, l, c, timeperiod=14).update for f in ("PLUS_DI", "MINUS_DI", "ADX")]
    return [talib_stream.STOCHF(h, l, c, fastk_period=14, fastd_period=3).update]


def talipp_update(name):
    """talipp's indicator of `name` and its per-bar call."""
    if tp is None:
        return None
    if name == "EMA":
        return tp.EMA(period=14).add
    if name == "NORMALIZED_T3":
        return None
    indicator = {"ATR": lambda: tp.ATR(14), "ADX": lambda: tp.ADX(14, 14),
                 "STOCHASTIC": lambda: tp.Stoch(14, 3), "SUPERTREND": lambda: tp.SuperTrend(10, 3.0)}[name]()
    add = indicator.add
    return lambda h, l, c: add(OHLCV(c, h, l, c))


def loop3_each(hs, ls, cs, fs):
    """loop3 calling each of fs on every bar."""
    if len(fs) == 1:
        return loop3(hs, ls, cs, fs[0])
    f, g, k = fs
    t0 = perf()
    for h, l, c in zip(hs, ls, cs):
        f(h, l, c)
        g(h, l, c)
        k(h, l, c)
    return perf() - t0


def interleaved(fns: dict, rounds: int, best: bool = False) -> dict:
    """Median time of each contender over the rounds (the best time with `best`)."""
    times = {k: [] for k in fns}
    keys = list(fns)
    for r in range(rounds):
        for k in keys[r % len(keys):] + keys[: r % len(keys)]:
            times[k].append(fns[k]())
    return {k: min(v) if best else statistics.median(v) for k, v in times.items()}


def per_update(name, n, rounds):
    h, l, c = prices(n + 200)
    warm = (h[:200], l[:200], c[:200])
    hs, ls, cs = h[200:].tolist(), l[200:].tolist(), c[200:].tolist()
    hypot = math.hypot
    fns = {}
    if name in ONE_INPUT:
        fns["floor"] = lambda: loop1(cs, hypot)
        fns["ours"] = lambda: loop1(cs, getattr(stream, name)(*PARAMS[name]).update)
    else:
        fns["floor"] = lambda: loop3(hs, ls, cs, hypot)
        fns["ours"] = lambda: loop3(hs, ls, cs, getattr(stream, name)(*PARAMS[name]).update)
    if talib_updates(name, warm) is not None:
        if name in ONE_INPUT:
            fns["TA-Lib"] = lambda: loop1(cs, talib_updates(name, warm)[0])
        else:
            fns["TA-Lib"] = lambda: loop3_each(hs, ls, cs, talib_updates(name, warm))
        if name == "ADX":  # TA-Lib's ADX object alone, which gives one of the three outputs
            fns["TA-Lib ADX only"] = lambda: loop3(hs, ls, cs, talib_updates(name, warm)[2])
    if talipp_update(name) is not None:
        count = min(n, 20_000)  # talipp is slow: a shorter run, scaled per bar
        if name in ONE_INPUT:
            fns["talipp"] = lambda: loop1(cs[:count], talipp_update(name)) * n / count
        else:
            fns["talipp"] = lambda: loop3(hs[:count], ls[:count], cs[:count], talipp_update(name)) * n / count
    best = interleaved(fns, rounds, best=True)
    return {k: v / n * 1e9 for k, v in best.items()}  # ns per bar


def many_vs_single(name, n, rounds):
    h, l, c = prices(n)
    inputs = (c,) if name in ONE_INPUT else (h, l, c)
    function = getattr(single, name)
    cls = getattr(stream, name)

    def timed(fn):
        def run():
            t0 = perf()
            fn()
            return perf() - t0
        return run

    fns = {"single": timed(lambda: function(*inputs, *PARAMS[name])),
           "update_many": timed(lambda: cls(*PARAMS[name]).update_many(*inputs))}
    medians = interleaved(fns, rounds)
    best = interleaved(fns, rounds, best=True)
    return medians["update_many"] / medians["single"], best["update_many"] / best["single"], medians["single"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "STREAM.md")
    args = parser.parse_args(argv)
    n, rounds, big, big_rounds = (20_000, 5, 200_000, 5) if args.quick else (100_000, 15, 1_000_000, 15)

    lines = ["# Streaming objects: per-update cost and update_many", "",
             f"Python {platform.python_version()} on {platform.machine()}, "
             f"TA-Lib {getattr(talib, '__version__', 'not installed')}, "
             f"talipp {getattr(talipp, '__version__', 'installed') if talipp else 'not installed'}; "
             f"{n:,} bars per update loop, the best of {rounds} interleaved rounds; load average at the "
             f"start {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors (other work on the machine "
             "inflates every time and blurs the ratios).", "",
             "| class | floor ns/bar | ours ns/bar | ours / floor | TA-Lib ns/bar | TA-Lib / ours "
             "| talipp ns/bar | talipp / ours |", "|---|---|---|---|---|---|---|---|"]
    notes = ["TA-Lib contenders give the outputs ours gives: ADX is TA-Lib's PLUS_DI, MINUS_DI and ADX "
             "objects each updated per bar; STOCHASTIC (%K, %D) is STOCHF."]
    for name in PARAMS:
        r = per_update(name, n, rounds)
        ours = r["ours"]
        ta = f"{r['TA-Lib']:.0f} | {r['TA-Lib'] / ours:.1f}x" if "TA-Lib" in r else "- | -"
        tpp = f"{r['talipp']:.0f} | {r['talipp'] / ours:.1f}x" if "talipp" in r else "- | -"
        lines.append(f"| {name} | {r['floor']:.0f} | {ours:.0f} | {ours / r['floor']:.2f} | {ta} | {tpp} |")
        print(lines[-1], flush=True)
        if "TA-Lib ADX only" in r:
            notes.append(f"TA-Lib's ADX object alone (ADX only, no +DI/-DI): {r['TA-Lib ADX only']:.0f} ns/bar, "
                         f"{r['TA-Lib ADX only'] / ours:.1f}x ours.")
    lines += [""] + notes
    lines += ["", f"update_many over {big:,} bars against the single-series function on the same arrays "
              f"(medians of {big_rounds} interleaved rounds, and the best of another {big_rounds}, which "
              "other work on the machine disturbs less):", "",
              "| class | single ms | update_many / single (medians) | (best) |", "|---|---|---|---|"]
    for name in PARAMS:
        ratio, best_ratio, t = many_vs_single(name, big, big_rounds)
        lines.append(f"| {name} | {t * 1e3:.2f} | {ratio:.2f} | {best_ratio:.2f} |")
        print(lines[-1], flush=True)
    args.out.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
