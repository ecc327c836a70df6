"""The contenders of the benchmark: our functions, the peers, the numba loops and the C++ floor.

Everything here builds zero-argument callables over prepared data; bench/run.py times them.

Numba loops: each is the exact algorithm of one of our functions written as a plain
``@njit`` loop, as a user would write it instead of calling a library. The
recursions are fused into one loop over running scalars (same operations in the same
order, so the same bits; ATR's step is its fused multiply-add, through LLVM's fma); the windows are rescanned per position, as written. They are
used for timing and, on small data, as a bit-for-bit cross-check of our results.
Comparisons are spelled out as strict ``if``/conditional expressions on purpose: ``max``
and ``min`` treat NaN and ties differently.
"""

from __future__ import annotations

import ctypes
import importlib
import os
import subprocess
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
from llvmlite import ir
from numba import njit, types
from numba.extending import intrinsic

HERE = Path(__file__).resolve().parent
BUILD = HERE / "build"

# Default parameters of the benchmark (EMA has no default; 14 is the common choice).
EMA_PERIOD = 14
STOCH_K, STOCH_D = 14, 3
ADX_DI, ADX_SMOOTH = 14, 14
ST_PERIOD, ST_MULT = 10, 3.0
T3_PERIOD, T3_T3, T3_VF = 200, 2, 0.7
ATR_PERIOD = 14

FUNCTIONS = ("EMA", "STOCHASTIC", "ADX", "SUPERTREND", "NORMALIZED_T3", "ATR")

# What each peer computes differently from ours (one line each, quoted in RESULTS.md).
WORK_NOTES = {
    "EMA": "TA-Lib and pandas-ta seed with the SMA of the first `period` samples and leave "
    "`period-1` NaN; ours seeds with the first sample.",
    "STOCHASTIC": "TA-Lib STOCHF (SMA %D) and pandas-ta stochf have other warm-ups; TA-Lib tracks "
    "the window extremes incrementally, ours with monotonic deques (the rescan's exact answer), the "
    "numba loop rescans each window as written.",
    "ADX": "TA-Lib needs three calls (ADX, PLUS_DI, MINUS_DI), each recomputing the true range, and "
    "uses Wilder sums over a first window with a 2*period-1 warm-up; pandas-ta uses pandas ewm; "
    "ours seeds at the first sample and gives all three columns in one call.",
    "SUPERTREND": "TA-Lib has none; pandas-ta's is a different algorithm (final bands compared with "
    "the close, four output columns, ATR by pandas ewm) whose loop runs under numba when numba is "
    "installed, as here; \"pandas-ta (no numba)\" runs that loop in plain Python, as pandas-ta "
    "does without numba.",
    "NORMALIZED_T3": "TA-Lib/pandas-ta T3 seed each EMA stage with an SMA (TA-Lib: 6*(p-1) warm-up); "
    "the normalisation is then pandas rolling min/max, as a user would write it.",
    "ATR": "TA-Lib seeds with the SMA of the first `period` true ranges and leaves `period` NaN; "
    "pandas-ta uses pandas ewm; ours seeds at tr[0].",
}


def ours(name: str) -> Callable | None:
    """Our function (through the package's lazy exports), or None when its module is not built yet."""
    try:
        return getattr(importlib.import_module("vantrel.indicators"), name)
    except (ImportError, AttributeError):
        return None


# ---------------------------------------------------------------------------
# Data.


@dataclass
class Data:
    """Random-walk OHLC as float64 arrays and as Series on a minute DatetimeIndex."""

    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    index: pd.Index

    @property
    def n(self) -> int:
        return len(self.close)

    def series(self) -> tuple[pd.Series, pd.Series, pd.Series]:
        return tuple(pd.Series(a, index=self.index, copy=True) for a in (self.high, self.low, self.close))


def random_walk(n: int, seed: int) -> Data:
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 1e-3, n)))
    open_ = np.empty(n)
    if n:
        open_[0] = close[0]
        open_[1:] = close[:-1]
    wick = close * np.abs(rng.normal(0.0, 5e-4, (2, n)))
    high = np.maximum(open_, close) + wick[0]
    low = np.minimum(open_, close) - wick[1]
    index = pd.date_range("2020-01-01", periods=n, freq="min")
    return Data(high, low, close, index)


# ---------------------------------------------------------------------------
# Numba loops: the exact algorithms.

# error_model="numpy": division by zero gives IEEE inf/NaN as in C++, not ZeroDivisionError.
jit = njit(nogil=True, cache=True, error_model="numpy")


@jit
def nb_ema(src, period):
    n = src.shape[0]
    out = np.empty(n)
    if n == 0:
        return out
    alpha = 2.0 / np.float64(np.int64(period) + 1)
    keep = 1.0 - alpha
    value = src[0]
    out[0] = value
    for i in range(1, n):
        value = keep * value + alpha * src[i]
        out[i] = value
    return out


@jit
def nb_stochastic(high, low, close, k_period, d_period):
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
        c = close[i]
        if hh == ll:
            k[i] = 50.0
        else:
            k[i] = ((c - ll) / (hh - ll)) * 100.0
    for i in range(n):
        if i < k_period + d_period - 2:
            d[i] = np.nan
            continue
        acc = 0.0
        for j in range(i - d_period + 1, i + 1):
            acc = acc + k[j]
        d[i] = acc / np.float64(d_period)
    return k, d


@jit
def _true_range(high, low, close, i):
    high_low = high[i] - low[i]
    high_close = abs(high[i] - close[i - 1])
    low_close = abs(low[i] - close[i - 1])
    m = low_close if low_close > high_close else high_close
    return m if m > high_low else high_low


@jit
def nb_adx(high, low, close, di_length, adx_smoothing):
    n = high.shape[0]
    plus_di = np.empty(n)
    minus_di = np.empty(n)
    adx = np.empty(n)
    if n == 0:
        return plus_di, minus_di, adx
    a_di = 1.0 / np.float64(di_length)
    k_di = 1.0 - a_di
    a_adx = 1.0 / np.float64(adx_smoothing)
    k_adx = 1.0 - a_adx
    tr_rma = high[0] - low[0]
    plus_rma = 0.0
    minus_rma = 0.0
    value = 0.0
    for i in range(n):
        if i > 0:
            up = high[i] - high[i - 1]
            down = low[i - 1] - low[i]
            plus_dm = up if (up > down and up > 0.0) else 0.0
            minus_dm = down if (down > up and down > 0.0) else 0.0
            tr = _true_range(high, low, close, i)
            tr_rma = k_di * tr_rma + a_di * tr
            plus_rma = k_di * plus_rma + a_di * plus_dm
            minus_rma = k_di * minus_rma + a_di * minus_dm
        if tr_rma != 0.0:
            p = (plus_rma * 100.0) / tr_rma
            m = (minus_rma * 100.0) / tr_rma
        else:
            p = 0.0
            m = 0.0
        s = p + m
        dx = (abs(p - m) * 100.0) / s if s != 0.0 else 0.0
        value = dx if i == 0 else k_adx * value + a_adx * dx
        plus_di[i] = p
        minus_di[i] = m
        adx[i] = value
    return plus_di, minus_di, adx


@intrinsic
def fma(typingctx, a, b, c):
    """a * b + c rounded once: LLVM's llvm.fma, the FMA instruction on this host (numba
    compiles for it) or the C library's fma, exactly rounded either way."""
    signature = types.float64(types.float64, types.float64, types.float64)

    def codegen(context, builder, sig, args):
        double = ir.DoubleType()
        fused = builder.module.declare_intrinsic("llvm.fma", [double], ir.FunctionType(double, [double] * 3))
        return builder.call(fused, args)

    return signature, codegen


@jit
def nb_atr(high, low, close, period):
    n = high.shape[0]
    out = np.empty(n)
    if n == 0:
        return out
    alpha = 1.0 / np.float64(period)
    keep = 1.0 - alpha
    value = high[0] - low[0]
    out[0] = value
    for i in range(1, n):
        value = fma(keep, value, alpha * _true_range(high, low, close, i))
        out[i] = value
    return out


@jit
def nb_supertrend(high, low, close, period, multiplier):
    atr = nb_atr(high, low, close, period)
    n = close.shape[0]
    line = np.empty(n)
    direction = np.empty(n, dtype=np.int64)
    if n == 0:
        return line, direction
    line[0] = (high[0] + low[0]) * 0.5 - multiplier * atr[0]
    direction[0] = 1
    for i in range(1, n):
        hl2 = (high[i] + low[i]) * 0.5
        prev = line[i - 1]
        if prev >= close[i]:
            upper = hl2 + multiplier * atr[i]
            value = upper
            if direction[i - 1] == -1:
                value = upper if prev > upper else prev
            direction[i] = -1
        else:
            lower = hl2 - multiplier * atr[i]
            value = lower
            if direction[i - 1] == 1:
                value = lower if lower > prev else prev
            direction[i] = 1
        line[i] = value
    return line, direction


@jit
def nb_normalized_t3(src, period, t3_period, volume_factor):
    n = src.shape[0]
    out = np.empty(n)
    if n == 0:
        return out
    a = volume_factor
    alpha = 2.0 / np.float64(np.int64(t3_period) + 1)
    keep = 1.0 - alpha
    c1 = ((-a) * a) * a
    s2 = (3.0 * a) * a
    s3 = s2 * a
    c2 = s3 + s2
    c3 = ((-6.0 * a) * a - 3.0 * a) - s3
    c4 = ((1.0 + 3.0 * a) + (a * a) * a) + s2
    t3 = np.empty(n)
    e1 = e2 = e3 = e4 = e5 = e6 = src[0]
    t3[0] = ((c1 * e6 + c2 * e5) + c3 * e4) + c4 * e3
    for i in range(1, n):
        e1 = alpha * src[i] + keep * e1
        e2 = keep * e2 + alpha * e1
        e3 = keep * e3 + alpha * e2
        e4 = keep * e4 + alpha * e3
        e5 = keep * e5 + alpha * e4
        e6 = keep * e6 + alpha * e5
        t3[i] = ((c1 * e6 + c2 * e5) + c3 * e4) + c4 * e3
    for i in range(n):
        if i < period - 1:
            out[i] = np.nan
            continue
        start = i - period + 1
        lo = t3[start]
        hi = t3[start]
        for j in range(start, i + 1):
            v = t3[j]
            if v < lo:
                lo = v
            if v > hi:
                hi = v
        if np.isnan(lo) or np.isnan(hi):
            out[i] = np.nan
            continue
        rng = hi - lo
        if rng == 0.0:
            rng = 1.0
        out[i] = (t3[i] - lo) / rng - 0.5
    return out


# The memory traffic of ATR's and SuperTrend's passes without their arithmetic chains: the
# same arrays read and written in the same passes, each sample on its own (the compiler
# vectorises these), so their time is what moving those bytes costs here.
@jit
def nb_traffic_atr(high, low, close):
    n = high.shape[0]
    out = np.empty(n)
    for i in range(n):
        out[i] = (high[i] - low[i]) + close[i]
    return out


@jit
def nb_traffic_supertrend(high, low, close):
    atr = nb_traffic_atr(high, low, close)
    n = close.shape[0]
    line = np.empty(n)
    direction = np.empty(n, dtype=np.int64)
    for i in range(n):
        line[i] = ((high[i] + low[i]) + close[i]) + atr[i]
        direction[i] = 1
    return line, direction


# ATR's chain alone: one fused multiply-add per bar on the previous value, each value
# stored, no true range. No loop in this order of operations can run faster.
@jit
def nb_fma_chain(high, low, close):
    n = close.shape[0]
    out = np.empty(n)
    if n == 0:
        return out
    value = close[0]
    out[0] = value
    for i in range(1, n):
        value = fma(0.9285714285714286, value, 0.07142857142857142 * close[i])
        out[i] = value
    return out


def traffic_function(name: str) -> Callable:
    """The memory traffic of one function's passes, called like ours on float64 arrays."""
    return {
        "ATR": lambda h, l, c, p=ATR_PERIOD: nb_traffic_atr(h, l, c),
        "ATR-chain": lambda h, l, c, p=ATR_PERIOD: nb_fma_chain(h, l, c),
        "SUPERTREND": lambda h, l, c, p=ST_PERIOD, m=ST_MULT: nb_traffic_supertrend(h, l, c),
    }[name]


def numba_function(name: str) -> Callable:
    """The numba loop of one function, called like ours on float64 arrays."""
    return {
        "EMA": lambda src, period=EMA_PERIOD: nb_ema(src, period),
        "STOCHASTIC": lambda h, l, c, k=STOCH_K, d=STOCH_D: nb_stochastic(h, l, c, k, d),
        "ADX": lambda h, l, c, a=ADX_DI, b=ADX_SMOOTH: nb_adx(h, l, c, a, b),
        "SUPERTREND": lambda h, l, c, p=ST_PERIOD, m=ST_MULT: nb_supertrend(h, l, c, p, m),
        "NORMALIZED_T3": lambda s, p=T3_PERIOD, t=T3_T3, v=T3_VF: nb_normalized_t3(s, p, t, v),
        "ATR": lambda h, l, c, p=ATR_PERIOD: nb_atr(h, l, c, p),
    }[name]


def warm_numba() -> None:
    """Compiles (or loads from the cache) every numba loop before anything is timed."""
    d = random_walk(64, 0)
    for name in FUNCTIONS:
        call(numba_function(name), name, d.high, d.low, d.close)


def call(fn: Callable, name: str, high, low, close, **params):
    """Calls a function of our signature with one or three price inputs."""
    if name == "EMA":  # the one function without a default period
        return fn(close, params.get("period", EMA_PERIOD))
    if name == "NORMALIZED_T3":
        return fn(close, **params)
    return fn(high, low, close, **params)


# ---------------------------------------------------------------------------
# The C++ floor for EMA.


def compiled(name: str) -> ctypes.CDLL:
    """bench/<name>.cpp as a shared library, compiled when missing or older than its source
    (with the package's exactness flags), loaded with ctypes."""
    source = HERE / f"{name}.cpp"
    library = BUILD / f"{name}.so"
    if not library.exists() or library.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(exist_ok=True)
        subprocess.run(
            [os.environ.get("CXX", "g++"), "-O2", "-ffp-contract=off", "-fno-fast-math",
             "-shared", "-fPIC", "-o", str(library), str(source)],
            check=True,
        )
    return ctypes.CDLL(str(library))


class BareEma:
    """The bare C++ EMA (bench/bare_ema.cpp), compiled on first use and loaded with ctypes."""

    def __init__(self) -> None:
        lib = compiled("bare_ema")
        lib.bare_ema_loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
        lib.bare_ema_loop.restype = None
        lib.bare_ema_fresh.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
        lib.bare_ema_fresh.restype = ctypes.c_void_p
        lib.bare_free.argtypes = [ctypes.c_void_p]
        lib.bare_free.restype = None
        self.lib = lib

    def numpy_fresh(self, src: np.ndarray, period: int) -> np.ndarray:
        """Copy with astype and allocate with np.empty (our allocator), then the C++ loop."""
        data = src.astype(np.float64)
        out = np.empty(len(data), dtype=np.float64)
        self.lib.bare_ema_loop(data.ctypes.data, out.ctypes.data, len(data), period)
        return out

    def malloc_fresh(self, src: np.ndarray, period: int) -> None:
        """Copy, allocate, loop and free, all in C++ with malloc."""
        self.lib.bare_free(self.lib.bare_ema_fresh(src.ctypes.data, len(src), period))

    def loop_only(self, src: np.ndarray, out: np.ndarray, period: int) -> None:
        """The recursion alone, into an output array that already exists (no copy, no fault)."""
        self.lib.bare_ema_loop(src.ctypes.data, out.ctypes.data, len(src), period)


# ---------------------------------------------------------------------------
# Peers.


def _talib():
    import talib

    return talib


def _pandas_ta():
    import pandas_ta_classic

    return pandas_ta_classic


def normalise(t3: pd.Series, period: int) -> pd.Series:
    """The rolling min/max normalisation a pandas user writes around a T3 average."""
    lo = t3.rolling(period).min()
    hi = t3.rolling(period).max()
    rng = hi - lo
    rng = rng.mask(rng == 0.0, 1.0)
    return ((t3 - lo) / rng - 0.5).rename("Normalized T3 Oscillator")


def talib_raw(name: str) -> Callable | None:
    """TA-Lib on float64 arrays, returning what TA-Lib returns (arrays)."""
    ta = _talib()
    if name == "EMA":
        return lambda src, period=EMA_PERIOD: ta.EMA(src, period)
    if name == "STOCHASTIC":
        return lambda h, l, c, k=STOCH_K, d=STOCH_D: ta.STOCHF(h, l, c, k, d, 0)
    if name == "ADX":
        return lambda h, l, c, a=ADX_DI, b=ADX_SMOOTH: (
            ta.PLUS_DI(h, l, c, a), ta.MINUS_DI(h, l, c, a), ta.ADX(h, l, c, a))
    if name == "NORMALIZED_T3":
        return lambda s, p=T3_PERIOD, t=T3_T3, v=T3_VF: normalise(pd.Series(ta.T3(s, t, v)), p)
    if name == "ATR":
        return lambda h, l, c, p=ATR_PERIOD: ta.ATR(h, l, c, p)
    return None


def wrap(name: str, values, index=None):
    """Wraps raw results in the pandas object our function returns (pandas' defaults)."""
    if name in ("EMA", "ATR"):
        return pd.Series(values, index=index, name=name)
    if name == "NORMALIZED_T3":
        if isinstance(values, pd.Series):
            return values.set_axis(index) if index is not None else values
        return pd.Series(values, index=index, name="Normalized T3 Oscillator")
    columns = {
        "STOCHASTIC": ("%K", "%D"),
        "ADX": ("Plus_DI", "Minus_DI", "ADX"),
        "SUPERTREND": ("Supertrend", "Direction"),
    }[name]
    return pd.DataFrame(dict(zip(columns, values)), index=index)


def wrapped(raw: Callable, name: str) -> Callable:
    """A raw peer plus the wrapping into our result type; Series in -> Series index kept."""

    def run(*inputs, **params):
        index = inputs[0].index if isinstance(inputs[0], pd.Series) else None
        arrays = [x.to_numpy() if isinstance(x, pd.Series) else x for x in inputs]
        return wrap(name, raw(*arrays, **params), index)

    return run


def pandas_ta_function(name: str) -> Callable | None:
    """pandas-ta's own implementation (talib=False), on Series."""
    pta = _pandas_ta()
    if name == "EMA":
        return lambda src, period=EMA_PERIOD: pta.ema(src, length=period, talib=False)
    if name == "STOCHASTIC":
        return lambda h, l, c, k=STOCH_K, d=STOCH_D: pta.stochf(h, l, c, fastk=k, fastd=d, talib=False)
    if name == "ADX":
        return lambda h, l, c, a=ADX_DI, b=ADX_SMOOTH: pta.adx(h, l, c, length=a, lensig=b, talib=False)
    if name == "SUPERTREND":
        return lambda h, l, c, p=ST_PERIOD, m=ST_MULT: pta.supertrend(h, l, c, length=p, multiplier=m)
    if name == "NORMALIZED_T3":
        return lambda s, p=T3_PERIOD, t=T3_T3, v=T3_VF: normalise(pta.t3(s, length=t, a=v, talib=False), p)
    if name == "ATR":
        return lambda h, l, c, p=ATR_PERIOD: pta.atr(h, l, c, length=p, talib=False)
    return None


def pandas_ta_supertrend_without_numba() -> Callable:
    """pandas-ta's SuperTrend as a user without numba runs it: its loop in plain Python."""
    pta = _pandas_ta()
    module = importlib.import_module("pandas_ta_classic.overlap.supertrend")
    jitted = module._supertrend_loop
    plain = getattr(jitted, "py_func", jitted)

    def run(h, l, c, p=ST_PERIOD, m=ST_MULT):
        module._supertrend_loop = plain
        try:
            return pta.supertrend(h, l, c, length=p, multiplier=m)
        finally:
            module._supertrend_loop = jitted

    return run


# ---------------------------------------------------------------------------
# Contenders of one (function, data, input kind).


@dataclass
class Contender:
    label: str        # "ours", "TA-Lib", "numba", ...
    fn: Callable[[], object]
    is_ours: bool = False


def contenders(name: str, data: Data, kind: str) -> list[Contender]:
    """Every contender of `name` on `data`, given float64 arrays ("array") or Series ("series")."""
    mine = ours(name)
    if mine is None:
        return []
    arrays = (data.high, data.low, data.close)
    out: list[Contender] = []
    if kind == "array":
        out.append(Contender("ours", lambda: call(mine, name, *arrays), True))
        raw = talib_raw(name)
        if raw is not None:
            out.append(Contender("TA-Lib", lambda: call(raw, name, *arrays)))
        nb = numba_function(name)
        out.append(Contender("numba", lambda: call(nb, name, *arrays)))
    else:
        series = data.series()
        out.append(Contender("ours", lambda: call(mine, name, *series), True))
        raw = talib_raw(name)
        if raw is not None:
            tw = wrapped(raw, name)
            out.append(Contender("TA-Lib+wrap", lambda: call(tw, name, *series)))
        nw = wrapped(numba_function(name), name)
        out.append(Contender("numba+wrap", lambda: call(nw, name, *series)))
        pt = pandas_ta_function(name)
        if pt is not None:
            out.append(Contender("pandas-ta", lambda: call(pt, name, *series)))
        if name == "SUPERTREND":
            plain = pandas_ta_supertrend_without_numba()
            out.append(Contender("pandas-ta (no numba)", lambda: call(plain, name, *series)))
    return out


def constructor(name: str, data: Data, kind: str) -> Callable[[], object]:
    """pandas' own constructor building our result from ready arrays (the 1-sample yardstick).

    The same call our framework makes: copy=False (the arrays are fresh), the index
    keyword only for Series input.
    """
    n = data.n
    kw = {"copy": False}
    if kind == "series":
        kw["index"] = data.index
    if name in ("EMA", "ATR", "NORMALIZED_T3"):
        a = np.empty(n)
        series_name = "Normalized T3 Oscillator" if name == "NORMALIZED_T3" else name
        return lambda: pd.Series(a, name=series_name, **kw)
    if name == "STOCHASTIC":
        k, d = np.empty(n), np.empty(n)
        return lambda: pd.DataFrame({"%K": k, "%D": d}, **kw)
    if name == "ADX":
        p, m, a = np.empty(n), np.empty(n), np.empty(n)
        return lambda: pd.DataFrame({"Plus_DI": p, "Minus_DI": m, "ADX": a}, **kw)
    line, direction = np.empty(n), np.empty(n, dtype=np.int64)
    return lambda: pd.DataFrame({"Supertrend": line, "Direction": direction}, **kw)


# The float64 copies one call of ours would make of price data with the literal steps: one per
# input (astype), and SuperTrend's ATR call makes three of its own before SuperTrend copies its
# three inputs and the ATR values. Exact float64 ndarrays are read in place instead, so these
# copies are what that saves.
COPIES = {"EMA": 1, "STOCHASTIC": 3, "ADX": 3, "SUPERTREND": 7, "NORMALIZED_T3": 1, "ATR": 3}


def copies(name: str, data: Data) -> Callable[[], object]:
    """The input copies of one call of ours, alone (what reading inputs in place would save)."""
    sources = [data.close] if COPIES[name] == 1 else [data.high, data.low, data.close]
    sources = (sources * 3)[: COPIES[name]]
    return lambda: [x.astype(np.float64) for x in sources]


# Columns of each result: (price inputs, output columns) for the memory budget.
SHAPE = {
    "EMA": (1, 1),
    "STOCHASTIC": (3, 2),
    "ADX": (3, 3),
    "SUPERTREND": (4, 2),  # three inputs plus ATR's result
    "NORMALIZED_T3": (1, 1),
    "ATR": (3, 1),
}
