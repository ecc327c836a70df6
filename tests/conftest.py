"""Shared helpers for the indicator tests: random price data and bit-exact comparison."""

from __future__ import annotations

import math
import re
import struct
import types
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest


def bits(x: float) -> int:
    """The IEEE-754 bit pattern of a double, so that -0.0 != 0.0 and NaN == NaN."""
    return struct.unpack("<q", struct.pack("<d", float(x)))[0]


def assert_same_bits(actual, expected, label: str = "") -> None:
    """Every element of `actual` has exactly the bits of `expected` (NaN payloads aside); either
    may be anything np.asarray takes, a DataFrame included (its rows are compared in order)."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape, f"{label}: shape {actual.shape} != {expected.shape}"
    for i, (a, e) in enumerate(zip(actual.ravel().tolist(), expected.ravel().tolist())):
        if math.isnan(a) and math.isnan(e):
            continue
        assert bits(a) == bits(e), f"{label}[{i}]: {a!r} != {e!r}"


def fma(a: float, b: float, c: float) -> float:
    """a * b + c rounded once, as C's fma (math.fma raises where C returns inf or NaN):
    exact in fractions, then rounded to the nearest double; infinities and NaN as in IEEE."""
    if not all(map(math.isfinite, (a, b, c))):
        if math.isfinite(a) and math.isfinite(b):
            return c  # an infinite or NaN addend absorbs any finite product
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:  # the sign of an exact zero: as in a * b + c with round-to-nearest
        return a * b + c
    try:
        return float(exact)
    except OverflowError:
        return math.inf if exact > 0 else -math.inf



def raises(exc, message: str):
    """pytest.raises for exactly `message`, taken literally."""
    return pytest.raises(exc, match="^" + re.escape(message) + "$")


SPECIALS = (math.nan, math.inf, -math.inf, -0.0, 0.0)


def random_prices(rng: np.random.Generator, n: int, *, specials: float = 0.05, ties: float = 0.1,
                  flat: float = 0.05) -> np.ndarray:
    """A random walk sprinkled with NaN, +/-inf, +/-0.0, repeated values and flat stretches."""
    x = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    x = np.round(x, int(rng.integers(0, 3)))  # rounding makes exact ties likely
    for i in range(n):
        u = rng.random()
        if u < specials:
            x[i] = SPECIALS[int(rng.integers(len(SPECIALS)))]
        elif u < specials + ties and i > 0:
            x[i] = x[i - 1]
        elif u < specials + ties + flat and i > 0:
            run = int(rng.integers(2, 8))
            x[i : i + run] = x[i - 1]
    return x


def random_ohlc(rng: np.random.Generator, n: int, **kw) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """High, low and close built around one random walk (with the same specials)."""
    close = random_prices(rng, n, **kw)
    spread = np.abs(rng.normal(0.0, 1.0, n))
    high = close + spread * rng.random(n)
    low = close - spread * rng.random(n)
    # Keep some specials and ties in high and low as well, and occasionally invert a bar.
    for arr in (high, low):
        mask = rng.random(n) < kw.get("specials", 0.05) / 2
        arr[mask] = rng.choice(SPECIALS, int(mask.sum()))
    swap = rng.random(n) < 0.02
    high[swap], low[swap] = low[swap].copy(), high[swap].copy()
    return high, low, close


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261208)


class _KeepArray:
    def __init__(self, array):
        self.array = array

    def astype(self, dtype):
        return self.array


# Views that reach the kernels' strided path when handed over by keep_views().
STRIDED_VIEWS = [
    pytest.param(lambda a: np.repeat(a, 3)[::3], id="stride-3"),
    pytest.param(lambda a: a[::-1].copy()[::-1], id="negative-stride"),
    pytest.param(lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1),
                 id="misaligned"),
]


def keep_views(monkeypatch, module) -> None:
    """Binds `module.np` so that input coercion hands each price input, an ndarray view, to
    the kernel as it is (astype() would copy it): strided, reversed or misaligned views then
    reach the kernels' strided path."""
    fake = {k: getattr(np, k) for k in ("float64", "empty", "zeros", "full", "nan", "int64")}
    monkeypatch.setattr(module, "np", types.SimpleNamespace(asarray=_KeepArray, **fake))


def record_frames(monkeypatch, module) -> list:
    """Binds `module.pd` so that every pd.DataFrame call is recorded, as (column names,
    keyword arguments), before the real constructor runs; returns the list of records."""
    calls = []

    def frame(data, **kwargs):
        calls.append((list(data), kwargs))
        return pd.DataFrame(data, **kwargs)

    monkeypatch.setattr(module, "pd", types.SimpleNamespace(Series=pd.Series, DataFrame=frame))
    return calls


class CountingNp:
    """The real NumPy, except that `nan` reads are counted and give `fill`."""

    def __init__(self, fill):
        self.fill, self.reads = fill, 0

    def __getattr__(self, name):
        return getattr(np, name)

    @property
    def nan(self):
        self.reads += 1
        return self.fill
