"""Reference and memory leaks: every function is called many times on each of its success and
error paths; afterwards the reference counts of everything it was given or looked up are what
they were, and traced memory (Python objects and NumPy buffers alike) has not grown."""

from __future__ import annotations

import functools

import numpy as np
import pandas as pd
import pytest

from catalog import ANY, REQUIRED, Boom, Converted, OddSeries, Raising, every_indicator, odd_series
from leakcheck import leaks, traced  # noqa: F401 - a fixture


def cases(indicator, rng):
    """(label, args, kwargs, outcome) for each path: outcome is None for a result, an exception
    type, or ANY where the function may either return or raise."""
    n = 40
    inputs = indicator.sample_inputs(rng, n)
    params = [indicator.sample[p.name] for p in indicator.params]
    names = indicator.names
    k = len(inputs)

    def replace(position, value):
        values = inputs + params
        return (*values[:position], value, *values[position + 1:])

    def series_first(series):
        """`series` as the first input, the others as Series too so that their values are taken."""
        return (series, *[pd.Series(x) for x in inputs[1:]], *params)

    yield "arrays", (*inputs, *params), {}, None
    yield "keywords", (), dict(zip(names, inputs + params)), None
    required = [v for p, v in zip(indicator.params, params) if p.default is REQUIRED]
    yield "defaults", (*inputs, *required), {}, None
    yield "lists", (*[x.tolist() for x in inputs], *params), {}, None
    index = pd.date_range("2024-01-01", periods=n, freq="D")
    yield "series", (*[pd.Series(x, index=index) for x in inputs], *params), {}, None
    yield "ints", (*[np.nan_to_num(x).astype(np.int32) for x in inputs], *params), {}, None
    yield "strided", (*[np.repeat(x, 2)[::-2] for x in inputs], *params), {}, None
    yield "empty", (*[x[:0] for x in inputs], *params), {}, ANY
    yield "one sample", (*[x[:1] for x in inputs], *params), {}, ANY
    yield "long (lock released)", (*indicator.sample_inputs(rng, 3000), *params), {}, None
    uncached = [300 if p.kind == "int" else 0.25 + 0.5 for p in indicator.params]
    yield "uncached parameters", (*inputs, *uncached), {}, ANY
    yield "__int__ conversion", replace(k, Returning(7)), {}, None

    yield "no arguments", (), {}, TypeError
    yield "too many arguments", (*inputs, *params, 1), {}, TypeError
    yield "unexpected keyword", (*inputs, *params), {"bogus": inputs[0]}, TypeError
    yield "duplicate keyword", (*inputs, *params), {names[0]: inputs[0]}, TypeError
    yield "period not an integer", replace(k, "7"), {}, TypeError
    yield "period too large", replace(k, 2**31), {}, OverflowError
    yield "period __int__ raises", replace(k, Raising()), {}, Boom
    for position, p in enumerate(indicator.params, k):
        if p.kind == "float":
            yield f"{p.name} not a number", replace(position, "x"), {}, TypeError
            yield f"{p.name} __float__ raises", replace(position, Raising()), {}, Boom
            yield f"{p.name} NaN", replace(position, float("nan")), {}, ANY
    yield "two-dimensional input", replace(0, np.zeros((n, 2))), {}, ValueError
    yield "zero-dimensional input", replace(0, np.float64(1.0)), {}, ValueError
    yield "unconvertible input", replace(0, ["a"] * n), {}, ValueError
    yield "__array__ raises", replace(0, Raising()), {}, Boom
    yield "astype returns a list", series_first(odd_series(n, Converted([0.0] * n))), {}, TypeError
    float32 = Converted(np.zeros(n, np.float32))
    yield "astype returns float32", series_first(odd_series(n, float32)), {}, ValueError
    yield "values raises", series_first(odd_series(n, Boom)), {}, Boom
    yield "index raises", series_first(odd_series(n, Converted(inputs[0]), Boom)), {}, Boom
    if k == 3:
        yield "series then list", (pd.Series(inputs[0]), *inputs[1:], *params), {}, AttributeError
        yield "short low", (inputs[0], inputs[1][: n // 2], inputs[2], *params), {}, ANY
        yield "short close", (inputs[0], inputs[1], inputs[2][: n // 2], *params), {}, ANY
        yield "short high", (inputs[0][: n // 2], *inputs[1:], *params), {}, ANY
    if indicator.name == "NORMALIZED_T3":
        yield "volume factor out of range", replace(k + 2, 0.0), {}, ValueError


class Returning:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def root(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def watched(indicator, args, kwargs) -> list:
    """Every object the call is given or looks up."""
    module = indicator.load()
    objects = [module, getattr(module, indicator.name), module.np, module.pd, np.nan, np.float64,
               np.int64, np.empty, np.zeros, np.asarray, pd.Series, pd.DataFrame]
    for value in [*args, *kwargs.values()]:
        objects.append(value)
        if isinstance(value, list):
            objects.extend(value)
        if isinstance(value, OddSeries):
            objects.extend([value.odd_values, getattr(value.odd_values, "result", None)])
        elif isinstance(value, pd.Series):
            # A kept `values` view would hold the array that owns the data.
            objects.extend([value.index, root(value.values)])
    return objects


def run(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the outcome is checked once, not in the loop
        return type(error)
    return None


@every_indicator
@pytest.mark.usefixtures("traced")
def test_no_leak_on_any_path(indicator, rng):
    function = indicator.function()
    failures = []
    for label, args, kwargs, expected in cases(indicator, rng):
        got = run(function, args, kwargs)
        if expected is None:
            assert got is None, (label, got)
        elif expected is not ANY:
            assert got is not None and issubclass(got, expected), (label, got, expected)
        call = functools.partial(run, function, args, kwargs)
        found = leaks(call, watched(indicator, args, kwargs))
        if found:
            failures.append((label, found))
    assert not failures
