"""vantrel.indicators.batch against the ways users compute many series today.

Prints ratios measured side by side in one run (each contender timed in turns, in an order
shuffled each round, best of several rounds), never a lone absolute time as the result:

- wide (5,000 series x 500 bars and 500 x 20,000): ours against a Python loop of single calls
  over the columns and against a numba loop over time with the series as the inner loop
  (the compiler vectorises it across series), for EMA, ATR, ADX, SUPERTREND; STOCHASTIC and
  NORMALIZED_T3 against the loop of single calls; the step indicators again on DataFrames
  built from columns (each series' rows together) against the loop;
- long form (5,000 symbols x 500 bars, rows interleaved by date): EMA by= against polars
  ewm_mean(...).over("symbol") and pandas groupby().transform, ADX by= against groupby().apply;
- a grid of 64 EMA periods over one 1e6 series against a loop of single calls;
- threads=2 against threads=1, and what a second thread adds to memory traffic and to
  arithmetic alone;
- the wide recursions against numba again with the caches emptied before every call (an extra
  table: a wide call moves about as much as the last-level cache holds);
- cold start: a fresh interpreter importing the batch module and finishing one wide ADX call,
  against importing numba and finishing the first call of its loop (compilation included).

Run: python bench/batch.py  (needs numba and polars in the environment; see bench/README).
"""

from __future__ import annotations

import ctypes
import os
import random
import subprocess
import sys
import time

import numpy as np
import pandas as pd

ROUNDS = int(os.environ.get("VI_BENCH_ROUNDS", "5"))


def best_of(fns: dict, rounds: int = ROUNDS, before=None, run: int = 1) -> dict:
    """Best time of a call of each callable, the callables taking turns round by round, in an
    order shuffled each round (the same shuffles in every run): in a fixed order each callable
    always runs straight after the same one, and one that follows a contender whose fresh
    results leave the caches full of lines to write back pays for them in every round.
    `before`, if given, is called untimed before each call; `run`: calls of a callable in a
    row at each turn, as a loop of calls calls it."""
    best = {k: float("inf") for k in fns}
    order = random.Random(len(fns))
    keys = list(fns)
    for _ in range(rounds):
        order.shuffle(keys)
        for k in keys:
            for _ in range(run):
                if before is not None:
                    before()
                t0 = time.perf_counter()
                fns[k]()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best


def numba_loops():
    from numba import njit

    jit = njit(cache=False, error_model="numpy")

    @jit
    def ema(src, period):
        rows, n = src.shape
        out = np.empty((rows, n))
        alpha = 2.0 / (period + 1)
        keep = 1.0 - alpha
        for j in range(n):
            out[0, j] = src[0, j]
        for t in range(1, rows):
            for j in range(n):
                out[t, j] = keep * out[t - 1, j] + alpha * src[t, j]
        return out

    @jit
    def atr(high, low, close, period):
        rows, n = high.shape
        out = np.empty((rows, n))
        alpha = 1.0 / period
        keep = 1.0 - alpha
        for j in range(n):
            out[0, j] = high[0, j] - low[0, j]
        for t in range(1, rows):
            for j in range(n):
                hl = high[t, j] - low[t, j]
                hc = abs(high[t, j] - close[t - 1, j])
                lc = abs(low[t, j] - close[t - 1, j])
                m = lc if lc > hc else hc
                tr = m if m > hl else hl
                out[t, j] = keep * out[t - 1, j] + alpha * tr
        return out

    @jit
    def adx(high, low, close, di_length, adx_smoothing):
        rows, n = high.shape
        plus = np.empty((rows, n))
        minus = np.empty((rows, n))
        out = np.empty((rows, n))
        a = 1.0 / di_length
        k = 1.0 - a
        a2 = 1.0 / adx_smoothing
        k2 = 1.0 - a2
        tr_s = np.empty(n)
        p_s = np.zeros(n)
        m_s = np.zeros(n)
        for j in range(n):
            tr_s[j] = high[0, j] - low[0, j]
            pdi = (0.0 * 100.0) / tr_s[j] if tr_s[j] != 0.0 else 0.0
            plus[0, j] = pdi
            minus[0, j] = pdi
            s = pdi + pdi
            out[0, j] = (abs(pdi - pdi) * 100.0) / s if s != 0.0 else 0.0
        for t in range(1, rows):
            for j in range(n):
                up = high[t, j] - high[t - 1, j]
                down = low[t - 1, j] - low[t, j]
                pdm = up if (up > down and up > 0.0) else 0.0
                mdm = down if (down > up and down > 0.0) else 0.0
                hl = high[t, j] - low[t, j]
                hc = abs(high[t, j] - close[t - 1, j])
                lc = abs(low[t, j] - close[t - 1, j])
                m = lc if lc > hc else hc
                tr = m if m > hl else hl
                tr_s[j] = k * tr_s[j] + a * tr
                p_s[j] = k * p_s[j] + a * pdm
                m_s[j] = k * m_s[j] + a * mdm
                pdi = (p_s[j] * 100.0) / tr_s[j] if tr_s[j] != 0.0 else 0.0
                mdi = (m_s[j] * 100.0) / tr_s[j] if tr_s[j] != 0.0 else 0.0
                plus[t, j] = pdi
                minus[t, j] = mdi
                s = pdi + mdi
                dx = (abs(pdi - mdi) * 100.0) / s if s != 0.0 else 0.0
                out[t, j] = k2 * out[t - 1, j] + a2 * dx
        return plus, minus, out

    @jit
    def supertrend(high, low, close, period, multiplier):
        rows, n = high.shape
        line = np.empty((rows, n))
        direction = np.empty((rows, n), dtype=np.int64)
        alpha = 1.0 / period
        keep = 1.0 - alpha
        atr = np.empty(n)
        for j in range(n):
            atr[j] = high[0, j] - low[0, j]
            line[0, j] = (high[0, j] + low[0, j]) * 0.5 - multiplier * atr[j]
            direction[0, j] = 1
        for t in range(1, rows):
            for j in range(n):
                hl = high[t, j] - low[t, j]
                hc = abs(high[t, j] - close[t - 1, j])
                lc = abs(low[t, j] - close[t - 1, j])
                m = lc if lc > hc else hc
                tr = m if m > hl else hl
                atr[j] = keep * atr[j] + alpha * tr
                hl2 = (high[t, j] + low[t, j]) * 0.5
                d = multiplier * atr[j]
                prev = line[t - 1, j]
                if prev >= close[t, j]:
                    upper = hl2 + d
                    line[t, j] = prev if (direction[t - 1, j] == -1 and not prev > upper) else upper
                    direction[t, j] = -1
                else:
                    lower = hl2 - d
                    line[t, j] = prev if (direction[t - 1, j] == 1 and not lower > prev) else lower
                    direction[t, j] = 1
        return line, direction

    return {"EMA": ema, "ATR": atr, "ADX": adx, "SUPERTREND": supertrend}


_STREAM = None


def _stream_library():
    global _STREAM
    if _STREAM is None:
        from contenders import compiled
        _STREAM = compiled("stream_copy")
        _STREAM.stream_fill.argtypes = [ctypes.c_void_p, ctypes.c_void_p] + [ctypes.c_int64] * 2
        _STREAM.traffic.argtypes = ([ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
                                    + [ctypes.c_int64] * 3 + [ctypes.c_int] * 4)
        _STREAM.spin.argtypes = [ctypes.c_int64, ctypes.c_int]
        _STREAM.spin.restype = ctypes.c_double
    return _STREAM


def streamed_fill(x, kept):
    """x[t] into every value of row t of kept (rows, width), C order, with streaming stores
    (np.copyto(kept, x[:, None]))."""
    _stream_library().stream_fill(x.ctypes.data, kept.ctypes.data, *kept.shape)


# Multiplications of the arithmetic-alone ratio (about as long as a wide ADX call on one thread).
SPIN = 8_000_000

# Rows ahead whose inputs the traffic floors ask for (the fastest distance found here).
AHEAD = 8


def traffic(inputs, kept, threads, stream=True, by_rows=True, ahead=0):
    """The least memory traffic of a wide call: every input (rows, n), C order, read once and
    every output (the rows of kept (rows, count, n) along the middle axis) written once, on
    `threads` threads, each taking a share of the rows (a recursion over time cannot split
    its rows) or of the columns, asking for the inputs `ahead` rows on (0: not)."""
    rows, count, n = kept.shape
    sources = (ctypes.c_void_p * len(inputs))(*[x.ctypes.data for x in inputs])
    _stream_library().traffic(sources, len(inputs), kept.ctypes.data, rows, n, count, threads,
                              int(stream), int(by_rows), ahead)


def floors(inputs, count, rows, n):
    """The traffic floors of a wide call as callables for best_of, each into memory of its own
    (written in the round before): two threads taking half the rows or half the columns,
    streaming their outputs, with and without asking for the inputs ahead."""
    fns = {}
    for by_rows in (True, False):
        for ahead in (0, AHEAD):
            moved = np.empty((rows, count, n))
            fns[("floor", by_rows, ahead)] = (
                lambda moved=moved, by_rows=by_rows, ahead=ahead:
                traffic(inputs, moved, 2, by_rows=by_rows, ahead=ahead))
    return fns


def floor_times(t):
    """(any split, columns split): the best floor times of floors() in best_of's times t."""
    rows = min(t[k] for k in t if isinstance(k, tuple) and k[1])
    columns = min(t[k] for k in t if isinstance(k, tuple) and not k[1])
    return min(rows, columns), columns


def walk(rng, rows, n):
    close = 100.0 + np.cumsum(rng.normal(size=(rows, n)), axis=0)
    spread = np.abs(rng.normal(size=(rows, n)))
    return close + spread, close - spread, close


ARGS = {"EMA": (20,), "ATR": (14,), "ADX": (14, 14), "SUPERTREND": (10, 3.0),
        "STOCHASTIC": (14, 3), "NORMALIZED_T3": (200, 2, 0.7)}


def prices(name, high, low, close):
    return (close,) if name in ("EMA", "NORMALIZED_T3") else (high, low, close)


def wide(loops):
    from vantrel import indicators as vi
    from vantrel.indicators import batch

    rng = np.random.default_rng(1)
    print("\n## Wide form: ratio = other / ours (higher is better for us)\n")
    print("The last three columns compare with floors of the memory traffic of the call: every "
          "input read once and every output streamed once, on two threads, without arithmetic, "
          "into memory of their own written in the round before (bench/stream_copy.cpp). Each is "
          f"the best of asking for the inputs {AHEAD} rows ahead or not (the hardware's "
          "prefetchers alone lose the rows of a share of the columns). The traffic floor is the "
          "best of each thread taking half the rows or half the columns; the column floor takes "
          "half the columns, as a recursion over time must be split (the state at a row needs "
          "every row before it), and so bounds what any exact implementation gets against the "
          "loop in this run: loosely for the indicators whose arithmetic costs more than their "
          "memory traffic (ADX's three divisions a sample, the window indicators). The floors "
          "read the inputs the other contenders have just read, so they are if anything "
          "optimistic; ours / column floor is how far ours is from it. Arithmetic alone "
          f"threads=1 / threads=2 is the same ratio for {SPIN:,} multiplications in registers, "
          "split over threads started for the call as ours are, timed in the same rounds: the "
          "most a second thread gives work that is bound by its arithmetic on this host at "
          "that moment. No split of an exact recursion over two threads beats the column floor, "
          "so threads=1 / column floor is the most threads=1 / threads=2 can be in this run. "
          "threads=1 / threads=2 comes from rounds of their own: in a row, each thread count "
          "called five times in a row at each turn, as a loop of calls runs (a kept thread then "
          "finds the next call while it still looks for one); in turns, the two alternating with "
          "nothing between them, so that each call on two threads follows one on one thread, "
          "after which the kept thread sleeps and is woken (tens of microseconds here). The "
          "other columns' times come from rounds of every contender in turns, in an order "
          "shuffled each round.\n")
    print("| shape | indicator | Python loop of single calls | numba time-major | "
          "threads=1 / threads=2 in a row | threads=1 / threads=2 in turns | "
          "threads=1 / column floor | arithmetic alone threads=1 / threads=2 | "
          "loop / traffic floor | loop / column floor | ours / column floor |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for rows, n in ((500, 5000), (20000, 500)):
        high, low, close = walk(rng, rows, n)
        for name, args in ARGS.items():
            inputs = prices(name, high, low, close)
            single = getattr(vi, name)
            ours = getattr(batch, name)
            fns = {
                "ours": lambda: ours(*inputs, *args),
                "ours1": lambda: ours(*inputs, *args, threads=1),
                "spin": lambda: _stream_library().spin(SPIN, 2),
                "spin1": lambda: _stream_library().spin(SPIN, 1),
                "loop": lambda: [single(*[x[:, j] for x in inputs], *args) for j in range(n)],
            }
            fns.update(floors(inputs, len(batch._TABLE[name].outputs), rows, n))
            if name in loops:
                loops[name](*inputs, *args)  # compiled outside the timing
                fns["numba"] = lambda: loops[name](*inputs, *args)
            t = best_of(fns, rounds=ROUNDS if n < 5000 or name != "ADX" else 3)
            # The two thread counts again, in turns with nothing between them: in the rounds
            # above two threads may run straight after numba, whose fresh results leave the caches
            # full of lines to write back, and one thread straight after two.
            pair = best_of({"ours": fns["ours"], "ours1": fns["ours1"]})
            in_row = best_of({"ours": fns["ours"], "ours1": fns["ours1"]},
                             rounds=ROUNDS if n < 5000 or name != "ADX" else 3, run=5)
            any_split, columns = floor_times(t)
            numba = f"{t['numba'] / t['ours']:.2f}x" if "numba" in t else "-"
            print(f"| {n} x {rows} | {name} | {t['loop'] / t['ours']:.1f}x | {numba} | "
                  f"{in_row['ours1'] / in_row['ours']:.2f}x | "
                  f"{pair['ours1'] / pair['ours']:.2f}x | {t['ours1'] / columns:.2f}x | "
                  f"{t['spin1'] / t['spin']:.2f}x | "
                  f"{t['loop'] / any_split:.1f}x | "
                  f"{t['loop'] / columns:.1f}x | {t['ours'] / columns:.2f} |", flush=True)


def wide_frames():
    """The step indicators on DataFrames built from columns (each series' rows together, as
    from a CSV or Parquet file): ours against a loop of single calls over the same columns."""
    from vantrel import indicators as vi
    from vantrel.indicators import batch

    rng = np.random.default_rng(2)
    print("\n## Wide form on DataFrames of columns (F order): loop of single calls / ours\n")
    print("| shape | EMA | ATR | ADX | SUPERTREND |")
    print("|---|---|---|---|---|")
    for rows, n in ((500, 5000), (20000, 500)):
        frames = [pd.DataFrame(np.asfortranarray(x)) for x in walk(rng, rows, n)]
        cells = []
        for name in ("EMA", "ATR", "ADX", "SUPERTREND"):
            inputs, args = prices(name, *frames), ARGS[name]
            single, ours = getattr(vi, name), getattr(batch, name)
            columns = [[x[j].to_numpy() for x in inputs] for j in range(n)]
            t = best_of({"ours": lambda: ours(*inputs, *args),
                         "loop": lambda: [single(*c, *args) for c in columns]})
            cells.append(f"{t['loop'] / t['ours']:.1f}x")
        print(f"| {n} x {rows} | " + " | ".join(cells) + " |", flush=True)


def long_form():
    from vantrel import indicators as vi
    from vantrel.indicators import batch
    from vantrel.indicators.batch import _key_codes

    rng = np.random.default_rng(2)
    rows, n = 500, 5000
    high, low, close = walk(rng, rows, n)
    symbols = np.array([f"S{i:04d}" for i in range(n)], dtype=object)
    table = pd.DataFrame({"symbol": np.tile(symbols, rows), "high": high.ravel(),
                          "low": low.ravel(), "close": close.ravel()})  # interleaved by date
    print("\n## Long form, 5,000 symbols x 500 bars, interleaved: ratio = other / ours\n")
    print(f"symbol column: {table['symbol'].dtype!r}\n")
    print("| call | other | ratio |")
    print("|---|---|---|")
    fns = {"ours": lambda: batch.EMA(table["close"], 20, by=table["symbol"]),
           "groupby": lambda: table.groupby("symbol")["close"].transform(lambda s: vi.EMA(s, 20))}
    try:
        import polars as pl

        frame = pl.from_pandas(table)
        fns["polars"] = lambda: frame.select(
            pl.col("close").ewm_mean(span=20, adjust=False).over("symbol"))
    except ImportError:
        pass
    t = best_of(fns, rounds=3)
    if "polars" in t:
        print(f"| EMA by= | polars ewm_mean().over() | {t['polars'] / t['ours']:.1f}x "
              f"(ours / polars = {t['ours'] / t['polars']:.2f}) |")
    print(f"| EMA by= | pandas groupby().transform(EMA) | {t['groupby'] / t['ours']:.0f}x |")
    t = best_of({"ours": lambda: batch.ADX(table["high"], table["low"], table["close"],
                                           by=table["symbol"]),
                 "groupby": lambda: table.groupby("symbol")[["high", "low", "close"]].apply(
                     lambda g: vi.ADX(g["high"], g["low"], g["close"]))}, rounds=2)
    print(f"| ADX by= | pandas groupby().apply(ADX) | {t['groupby'] / t['ours']:.0f}x |")
    if "polars" not in fns:
        return

    # The same EMA call by other kinds of key column, and its parts (numbering the keys, the
    # pass over the rows), each as a fraction of polars' whole call, timed in turns with it.
    codes, count = _key_codes(table["symbol"], len(table))
    price = table["close"].to_numpy()
    keys = {"object": table["symbol"].astype(object), "categorical": table["symbol"].astype("category"),
            "int64": pd.Series(np.tile(np.arange(n, dtype=np.int64), rows)),
            "str, shuffled rows": table["symbol"].sample(frac=1.0, random_state=0).reset_index(drop=True)}
    try:
        keys["string[python]"] = table["symbol"].astype("string[python]")
    except (TypeError, ImportError):
        pass
    parts = {"EMA by= " + name: (lambda k=k: batch.EMA(price, 20, by=k)) for name, k in keys.items()}
    parts["numbering the str keys alone (2 threads)"] = lambda: _key_codes(table["symbol"], len(table), 2)
    parts["numbering the str keys alone (1 thread)"] = lambda: _key_codes(table["symbol"], len(table), 1)
    parts["the pass over the rows alone (1 thread)"] = lambda: batch._lanes.run(
        "EMA", (price,), (np.empty((len(price), 1)),), np.array([[20.0]]), codes, count, 1)
    t = best_of({**parts, "polars": fns["polars"]}, rounds=3)
    print("\n| part or key column | ours / polars ewm_mean().over() |")
    print("|---|---|")
    for name in parts:
        print(f"| {name} | {t[name] / t['polars']:.2f} |")


def grid():
    from vantrel import indicators as vi
    from vantrel.indicators import batch

    x = np.cumsum(np.random.default_rng(3).normal(size=1_000_000))
    periods = list(range(2, 66))
    kept = np.empty((len(x), len(periods)))
    t = best_of({"ours": lambda: batch.EMA(x, periods),
                 "loop": lambda: [vi.EMA(x, p) for p in periods],
                 "floor": lambda: np.copyto(kept, x[:, None]),
                 "streamed": lambda: streamed_fill(x, kept)}, rounds=5)
    print("\n## Grid: 64 EMA periods over one 1e6-sample series\n")
    print(f"loop of single calls / ours: {t['loop'] / t['ours']:.1f}x (loop / write floor, the "
          f"512 MB written once by one thread into memory already mapped: plain stores "
          f"{t['loop'] / t['floor']:.1f}x, streaming stores {t['loop'] / t['streamed']:.1f}x)")


# The prices are made before the clock starts: the time is the import and the first call.
COLD_DATA = """
import sys, time, numpy, pandas
rng = numpy.random.default_rng(0)
c = 100 + numpy.cumsum(rng.normal(size=(500, 5000)), axis=0)
h, l = c + 1, c - 1
"""

COLD_OURS = COLD_DATA + """
t0 = time.perf_counter()
from vantrel.indicators import batch
batch.ADX(h, l, c)
print(time.perf_counter() - t0)
"""

# The same wide ADX loop as the tables above time, compiled on its first call.
COLD_NUMBA = COLD_DATA + """
sys.path.insert(0, {bench!r})
import batch as bench
t0 = time.perf_counter()
bench.numba_loops()["ADX"](h, l, c, 14, 14)
print(time.perf_counter() - t0)
"""


def cold():
    def run(code):
        return min(float(subprocess.run([sys.executable, "-c", code], capture_output=True,
                                        text=True, check=True).stdout) for _ in range(3))
    ours = run(COLD_OURS)
    numba = run(COLD_NUMBA.format(bench=os.path.dirname(os.path.abspath(__file__))))
    print("\n## Cold start (fresh interpreter, after importing numpy and pandas)\n")
    print(f"import batch + first wide ADX 5,000 x 500: {ours * 1e3:.0f} ms; import numba + first "
          f"call of the wide ADX loop: {numba * 1e3:.0f} ms; ours / numba = {ours / numba:.3f}")


def memory_threads():
    """What a second thread adds to moving the wide EMA's bytes here, the columns split as the
    batch functions split them (a recursion over time cannot split its rows)."""
    x = np.random.default_rng(0).normal(size=(500, 5000))  # 20 MB read, 20 MB written
    keys = [(threads, stream, ahead) for threads in (1, 2) for stream in (False, True)
            for ahead in (0, AHEAD)]
    kept = {key: np.empty((500, 1, 5000)) for key in keys}
    t = best_of({key: (lambda key=key: traffic([x], kept[key], key[0], key[1], by_rows=False,
                                               ahead=key[2]))
                 for key in keys}, rounds=max(ROUNDS, 15))

    def gain(stream):
        one = min(t[1, stream, ahead] for ahead in (0, AHEAD))
        return one / min(t[2, stream, ahead] for ahead in (0, AHEAD))

    print("\n## Memory traffic: two threads against one\n")
    print(f"The wide EMA's 20 MB read and 20 MB written by one thread / by two, half the columns "
          f"each (the best of asking for the input {AHEAD} rows ahead or not): plain stores "
          f"{gain(False):.2f}x, streaming stores {gain(True):.2f}x (each into memory of its own, "
          f"written in the round before)")


# glibc's allocator tuned to keep freed memory for the next call: blocks up to 32 MiB (its
# most) from the heap instead of a fresh mapping each, and no trimming of the heap's top.
# With its defaults, a freed result past the trim threshold (twice the mapping threshold,
# which rises to the largest block freed) is handed back to the system, and the next call's
# result faults in fresh pages: so the numba loops, whose results are fresh arrays, run at
# either speed by what else the process allocated (ADX 5,000 x 500: 6 ms or 41 ms on one
# thread here). The batch functions keep their results' memory themselves.
TUNED_ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}


def wide_numba():
    """The wide 5,000 x 500 recursions, ours (threads=None) against the numba loops alone."""
    from vantrel.indicators import batch

    loops = numba_loops()
    high, low, close = walk(np.random.default_rng(1), 500, 5000)
    for name in ("EMA", "ATR", "ADX", "SUPERTREND"):
        inputs, args, ours = prices(name, high, low, close), ARGS[name], getattr(batch, name)
        loops[name](*inputs, *args)
        t = best_of({"ours": lambda: ours(*inputs, *args),
                     "numba": lambda: loops[name](*inputs, *args)}, rounds=max(ROUNDS, 9))
        print(f"{name} {t['numba'] / t['ours']:.2f}")


def wide_cold(loops):
    """numba / ours on the wide recursions with the caches emptied before every call: a wide
    call reads and writes about as much as the last-level cache holds (20 MB in and 20 MB out
    for EMA), so what each contender finds there depends on who ran before it. Streaming
    stores leave the input in the cache for the next contender, plain stores push it out."""
    from vantrel.indicators import batch

    high, low, close = walk(np.random.default_rng(1), 500, 5000)
    flush = np.ones(FLUSH_BYTES // 8)
    print("\n## Wide 5,000 x 500 against numba, caches emptied before each call (extra table)\n")
    print(f"numba / ours (higher is better for us): before every timed call {FLUSH_BYTES >> 20} MB "
          "are written, one store a cache line, so that each call reads its inputs from memory; "
          "best of the rounds, the contenders in turns. The last column is ours on one thread "
          "against two under the same conditions, from memory (the wide table's, in turns with "
          "nothing between them, finds the inputs in the caches).\n")
    print("| indicator | numba / ours | numba / ours threads=1 | ours threads=1 / threads=2 |")
    print("|---|---|---|---|")
    for name in ("EMA", "ATR", "ADX", "SUPERTREND"):
        inputs, args, ours = prices(name, high, low, close), ARGS[name], getattr(batch, name)
        fns = {"ours": lambda: ours(*inputs, *args), "ours1": lambda: ours(*inputs, *args, threads=1),
               "numba": lambda: loops[name](*inputs, *args)}
        for fn in fns.values():
            fn()

        def empty_caches():
            flush[::8] += 1.0

        best = best_of(fns, rounds=max(ROUNDS, 9), before=empty_caches)
        print(f"| {name} | {best['numba'] / best['ours']:.2f}x | {best['numba'] / best['ours1']:.2f}x | "
              f"{best['ours1'] / best['ours']:.2f}x |", flush=True)


# Bytes written before each call of wide_cold(): three times the 32 MB last-level cache of
# the AMD EPYC machines this was measured on.
FLUSH_BYTES = 96 << 20


def allocators():
    """numba / ours on the wide recursions, each way in a process of its own: glibc's
    defaults, and tuned as TUNED_ALLOCATOR says (a labelled extra)."""
    if not sys.platform.startswith("linux"):
        return
    ratios = {}
    for label, extra in (("defaults", {}), ("tuned", TUNED_ALLOCATOR)):
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--wide-numba"],
                             env={**os.environ, **extra}, capture_output=True, text=True,
                             check=True).stdout
        for line in out.splitlines():
            name, ratio = line.split()
            ratios.setdefault(name, {})[label] = ratio
    print("\n## Wide 5,000 x 500 against numba, by allocator (extra table)\n")
    print("numba / ours (higher is better for us), each column in a fresh process: glibc's "
          "allocator with its defaults, and tuned to keep freed memory "
          f"({' '.join(f'{k}={v}' for k, v in TUNED_ALLOCATOR.items())}), under which numba's "
          "fresh result arrays land in pages already mapped.\n")
    print("| indicator | defaults | tuned allocator |")
    print("|---|---|---|")
    for name, r in ratios.items():
        print(f"| {name} | {r['defaults']}x | {r['tuned']}x |")


def main():
    try:
        loops = numba_loops()
    except ImportError:
        loops = {}
    print(f"# batch benchmark (load average {os.getloadavg()[0]:.1f}, {os.cpu_count()} cpus)")
    wide(loops)
    wide_frames()
    long_form()
    grid()
    memory_threads()
    if loops:
        wide_cold(loops)
        allocators()
        cold()


if __name__ == "__main__":
    if sys.argv[1:] == ["--wide-numba"]:
        wide_numba()
    else:
        main()
