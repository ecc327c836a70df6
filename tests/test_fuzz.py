"""Property-based fuzzing of all six functions: arbitrary price inputs (every NumPy dtype, any
layout, 0-d and 2-d, pandas Series with odd indexes and extension dtypes, lists with None,
objects that raise from their conversions), scalar parameters at and beyond the 32-bit limits,
NaN and infinite factors, and arguments bound in every way. Every call must either return a
well-formed result, the same on a second call, or raise an ordinary exception; the caller's
arrays are never written.

The example count per function is short by default; VI_FUZZ_EXAMPLES raises it (the sanitizer
job does). Generation is derandomized, so every run tries the same examples."""

from __future__ import annotations

import ctypes
import itertools
import math
import os
import re
import traceback
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import from_dtype

from catalog import (REQUIRED, Boom, Converted, Raising, assert_same_result, check_result,
                     every_indicator, odd_series)

FUZZ = settings(
    max_examples=int(os.environ.get("VI_FUZZ_EXAMPLES", "100")),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
)


# --- hostile objects ---------------------------------------------------------------------------

class Returns:
    """__int__, __float__ or __index__ returning a fixed object (possibly not a number)."""

    def __init__(self, hook, value):
        self.hook, self.value = hook, value

    def __repr__(self):
        return f"Returns({self.hook}, {self.value!r})"


def returning(hook: str, value):
    """An object of a fresh class with one numeric hook that returns `value`."""
    cls = type(f"Returns_{hook.strip('_')}", (Returns,), {hook: lambda self: self.value})
    return cls(hook, value)


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


class ArrayJunk:
    """__array__ returns something that is not an array."""

    def __init__(self, junk):
        self.junk = junk

    def __array__(self, *args, **kwargs):
        return self.junk

    def __repr__(self):
        return f"ArrayJunk({self.junk!r})"


# --- price inputs ------------------------------------------------------------------------------

@dataclass
class Input:
    obj: object
    length: int | None  # the sample count its float64 conversion has, when it converts
    arrays: tuple = ()  # ndarrays that must be unchanged after the call

    def snapshot(self):
        return [(a, a.dtype, a.shape, a.tobytes()) for a in self.arrays if a.dtype != object]


NUMERIC_DTYPES = [
    "?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8", "c8", "c16",
    ">i4", ">f8", ">f4", ">c16", "<f8",
]
OTHER_DTYPES = ["M8[ns]", "M8[D]", "m8[s]", "U4", "S4", [("a", "f8")], [("a", "f8"), ("b", "i2")]]

# Short, longer than most windows, and around the length from which passes release the lock.
lengths = st.one_of(st.integers(0, 6), st.integers(7, 48), st.sampled_from([2047, 2048, 2100]))

objects = st.one_of(
    st.floats(), st.integers(-(2**70), 2**70), st.none(), st.booleans(),
    st.sampled_from(["1.5", "nan", "-inf", "x", "", "1e400"]),
    st.decimals(allow_nan=True), st.fractions(max_denominator=100),
    st.complex_numbers(), st.just(Raising()), st.just(returning("__float__", "not a float")),
)


def numeric_strings(dtype):
    return st.one_of(from_dtype(np.dtype(dtype)), st.floats().map(repr))


@st.composite
def flat_arrays(draw, n):
    """A one-dimensional array of n samples of any dtype, in any memory layout."""
    dtype = draw(st.sampled_from(NUMERIC_DTYPES + OTHER_DTYPES + ["O"]))
    if dtype == "O":
        pattern = draw(st.lists(objects, min_size=1, max_size=5))
        base = np.empty(len(pattern), dtype=object)
        for i, item in enumerate(pattern):  # item by item: a slice assignment would convert
            base[i] = item
    else:
        dt = np.dtype(dtype)
        elements = numeric_strings(dt) if dt.kind in "US" else from_dtype(dt)
        base = np.array(draw(st.lists(elements, min_size=1, max_size=5)), dtype=dt)
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "readonly", "misaligned"]))
    if layout == "strided":
        return np.resize(base, 3 * n)[::3]
    array = np.resize(base, n)
    if layout == "reversed":
        return array[::-1]
    if layout == "readonly":
        array.flags.writeable = False
    if layout == "misaligned" and array.dtype != object:
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        misaligned = raw[1:].view(array.dtype)
        misaligned[...] = array
        return misaligned
    return array


@st.composite
def float64_views(draw, n):
    """A float64 array of n samples in any layout: what a stand-in astype() may return."""
    values = draw(st.lists(st.floats(), min_size=1, max_size=5))
    base = np.resize(np.array(values, dtype=np.float64), 3 * n)
    return draw(st.sampled_from([
        base[:n].copy(), base[::3], base[:n][::-1],
        np.frombuffer(b"\0" + base[:n].tobytes(), np.float64, offset=1),  # misaligned, read-only
        np.broadcast_to(base[:1], (n,)),  # a zero stride
    ]))


odd_indexes = st.sampled_from([
    "range", "step", "reversed", "duplicates", "strings", "datetimes", "tz", "floats_nan", "multi",
    "categorical", "interval",
])


def make_index(kind: str, n: int):
    if kind == "range":
        return pd.RangeIndex(n)
    if kind == "step":
        return pd.RangeIndex(5, 5 + 7 * n, 7)
    if kind == "reversed":
        return pd.RangeIndex(n, 0, -1)
    if kind == "duplicates":
        return pd.Index([i // 2 for i in range(n)])
    if kind == "strings":
        return pd.Index([f"r{i}" for i in range(n)], dtype=object)
    if kind == "datetimes":
        return pd.date_range("2024-02-28", periods=n, freq="h")
    if kind == "tz":
        return pd.date_range("2024-03-31", periods=n, freq="30min", tz="Europe/Berlin")
    if kind == "floats_nan":
        return pd.Index([float("nan") if i % 3 == 0 else i / 4 for i in range(n)])
    if kind == "multi":
        return pd.MultiIndex.from_arrays([[i % 2 for i in range(n)], list(range(n))])
    if kind == "categorical":
        return pd.CategoricalIndex([("a", "b", "c")[i % 3] for i in range(n)])
    return pd.interval_range(0, n) if n else pd.IntervalIndex([])


@st.composite
def series_inputs(draw, n):
    index = make_index(draw(odd_indexes), n)
    kind = draw(st.sampled_from(["numpy", "extension", "odd"]))
    if kind == "numpy":
        data = draw(flat_arrays(n))
        if data.dtype.kind in "SV" or (data.dtype.kind == "U" and n):
            data = data.astype(object)
        try:
            series = pd.Series(data, index=index, copy=False)
        except Exception:  # pandas rejects a few dtypes outright; use its own then
            series = pd.Series(np.zeros(n), index=index)
        return Input(series, n, (data,) if series.dtype != object else ())
    if kind == "extension":
        values = draw(st.lists(st.one_of(st.floats(-1e6, 1e6), st.none()), min_size=1, max_size=4))
        dtype = draw(st.sampled_from(
            ["Float64", "Int64", "boolean", "category", "string", "Sparse[float]"]))
        pattern = [None if v is None else (round(v) if dtype == "Int64" else
                   (v > 0 if dtype == "boolean" else (str(v) if dtype == "string" else v)))
                   for v in values]
        data = [pattern[i % len(pattern)] for i in range(n)]
        return Input(pd.Series(pd.array(data, dtype=dtype), index=index), n)
    # A Series whose `values` stand-in converts to whatever it likes.
    result = draw(st.one_of(
        float64_views(n),
        st.sampled_from(["float32", "2d", "0d", "list", "none", "boom", "big-endian", "object",
                         "datetime"]),
    ))
    length = n
    if isinstance(result, str):
        length = None
        result = {
            "float32": np.zeros(n, dtype=np.float32), "2d": np.zeros((n, 2)), "0d": np.float64(1.0),
            "list": [0.0] * n, "none": None, "boom": Boom, "big-endian": np.zeros(n, dtype=">f8"),
            "object": np.zeros(n, dtype=object), "datetime": np.zeros(n, dtype="M8[ns]"),
        }[result]
    series = odd_series(n, draw(st.sampled_from([Converted(result), Converted(result), Boom])),
                        draw(st.sampled_from([None, None, None, Boom])))
    series.index = index
    return Input(series, length, (result,) if isinstance(result, np.ndarray) else ())


@st.composite
def price_inputs(draw, n):
    kind = draw(st.sampled_from(
        ["array", "array", "array", "list", "series", "series", "0d", "2d", "hostile"]))
    if kind == "array":
        array = draw(flat_arrays(n))
        return Input(array, n, (array,))
    if kind == "list":
        array = draw(flat_arrays(n))
        items = array.tolist()
        for position in draw(st.lists(st.integers(0, max(n - 1, 0)), max_size=3)):
            if items:
                items[position] = None
        return Input(items, n)
    if kind == "series":
        return draw(series_inputs(n))
    if kind == "0d":
        scalar = st.one_of(st.floats(), st.integers(), flat_arrays(1).map(lambda a: a[0]))
        return Input(draw(scalar), None)
    if kind == "2d":
        shape = draw(st.sampled_from([(n, 1), (1, n), (n, 2), (0, 3), (2, 2, n)]))
        array = np.resize(draw(flat_arrays(max(n, 1))), shape)
        return Input(array, None, (array,))
    return Input(draw(st.sampled_from([
        Raising(), ArrayJunk([1.0, "x"]), ArrayJunk(None), ArrayJunk(np.zeros((2, 2))),
        ArrayJunk(np.arange(n, dtype=np.float64)), object(), "12345", b"\x00\x01", {1: 2.0},
    ])), None)


# --- scalar parameters -------------------------------------------------------------------------

# Periods where 32-bit arithmetic would wrap, and the first values beyond the 32-bit range.
EDGES = [-(2**31), -(2**31) + 1, -2, -1, 0, 1, 2, 2**31 - 2, 2**31 - 1]
LIMITS = [2**31, -(2**31) - 1, 2**32, 2**32 + 5, 2**63 - 1, -(2**63), 2**63, 2**64, 10**30,
          -(10**30)]
# Factors at the ends of the doubles.
FACTORS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308, -3.0, 1.0, 0.5]
NUMPY_INTS = ["i1", "i2", "i4", "i8", "u1", "u4", "u8"]

integers = st.one_of(
    st.integers(-3, 40),
    st.sampled_from(EDGES),
    st.sampled_from(LIMITS),
    st.integers(),
    st.sampled_from(NUMPY_INTS).flatmap(lambda d: from_dtype(np.dtype(d))),
)

int_params = st.one_of(
    integers, integers, integers, integers,
    st.booleans(),
    st.floats(),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.fractions(),
    integers.map(lambda v: returning("__int__", v)),
    integers.map(lambda v: returning("__int__", IntSubclass(v))),
    integers.map(lambda v: returning("__index__", v)),
    st.sampled_from([returning("__int__", 2.5), returning("__int__", "3"), Raising(), None, "3",
                     [3], 3j]),
)

float_params = st.one_of(
    st.floats(), st.floats(), st.sampled_from(FACTORS),
    st.integers(), st.sampled_from(EDGES + LIMITS), st.sampled_from([10**400, -(10**400)]),
    st.sampled_from(["f2", "f4", "f8", ">f8", "i4"]).flatmap(lambda d: from_dtype(np.dtype(d))),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.floats().map(lambda v: returning("__float__", v)),
    st.floats().map(lambda v: returning("__float__", FloatSubclass(v))),
    integers.map(lambda v: returning("__index__", v)),
    st.sampled_from([returning("__float__", 1), returning("__float__", "2.0"), Raising(), None,
                     "2.0", True, 1j]),
)


# --- the calls ---------------------------------------------------------------------------------

@st.composite
def calls(draw, indicator):
    n = draw(lengths)
    inputs = []
    for _ in indicator.inputs:
        # Mostly equal lengths, sometimes not.
        m = n if draw(st.integers(0, 3)) else draw(lengths)
        inputs.append(draw(price_inputs(m)))
    if type(inputs[0].obj) is pd.Series and draw(st.booleans()):
        # Later inputs as Series too, so that their `values` are taken.
        for k, later in enumerate(inputs[1:], 1):
            if isinstance(later.obj, np.ndarray) and later.obj.ndim == 1:
                try:
                    inputs[k] = Input(pd.Series(later.obj, copy=False), later.length, later.arrays)
                except (TypeError, ValueError):
                    pass
    values = [i.obj for i in inputs]
    for p in indicator.params:
        values.append(draw(int_params if p.kind == "int" else float_params))

    names = indicator.names
    args, kwargs = [], {}
    positional = True
    for k, (name, value) in enumerate(zip(names, values)):
        param = k - len(indicator.inputs)
        has_default = param >= 0 and indicator.params[param].default is not REQUIRED
        how = draw(st.sampled_from(["pos", "pos", "kw"] + (["omit"] if has_default else [])))
        if how == "omit" or (how == "pos" and not positional):
            if how == "omit":
                positional = False
                continue
            how = "kw"
        if how == "pos":
            args.append(value)
        else:
            positional = False
            kwargs[name] = value
    extra = draw(st.sampled_from(
        [None] * 12 + ["positional", "unexpected", "duplicate", "missing"]))
    if extra == "positional":
        args.append(1)
    elif extra == "unexpected":
        kwargs["bogus"] = 1
    elif extra == "duplicate" and args:
        kwargs[names[0]] = args[0]
    elif extra == "missing" and kwargs:
        kwargs.popitem()
    return inputs, args, kwargs, draw(st.booleans())


def outcome(function, args, kwargs, strict):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict else "ignore")
        try:
            return function(*args, **kwargs)
        except Exception as error:  # noqa: BLE001 - any ordinary exception is acceptable here
            assert not isinstance(error, SystemError), repr(error)
            return error


@every_indicator
def test_fuzz(indicator):
    function = indicator.function()

    @FUZZ
    @given(call=calls(indicator))
    def run(call):
        inputs, args, kwargs, strict = call
        snapshots = [s for i in inputs for s in i.snapshot()]
        first = outcome(function, args, kwargs, strict)
        second = outcome(function, args, kwargs, strict)
        for array, dtype, shape, data in snapshots:
            now = (array.dtype, array.shape, array.tobytes())
            assert now == (dtype, shape, data), "an input was written"
        if isinstance(first, BaseException):
            assert type(second) is type(first), (first, second)
            return
        governing = inputs[indicator.governing_position()]
        head = inputs[0].obj
        check_result(indicator, first, governing.length,
                     head.index if isinstance(head, pd.Series) else None)
        assert_same_result(second, first)

    run()


@every_indicator
def test_parameters_at_the_limits(indicator, rng):
    """Every pair of parameters at the edges of the 32-bit range (or the doubles), on inputs
    from empty to longer than any window the small parameters make."""
    function = indicator.function()
    grids = [EDGES if p.kind == "int" else FACTORS for p in indicator.params]
    for n in (0, 1, 2, 40):
        inputs = indicator.sample_inputs(rng, n)
        for values in itertools.product(*grids):
            first = outcome(function, (*inputs, *values), {}, True)
            if isinstance(first, BaseException):
                continue
            check_result(indicator, first, n)
            assert_same_result(outcome(function, (*inputs, *values), {}, True), first)


def broken_int_slot():
    """An object whose type's nb_int slot returns NULL without setting an exception, as a
    broken extension type's might: the slot is pointed at PyErr_Occurred, which takes no
    argument and, with no error pending, returns NULL."""

    class BrokenInt:
        def __int__(self):
            return 3

    pointer = ctypes.sizeof(ctypes.c_void_p)
    header = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)  # the type's PyVarObject
    as_number = ctypes.c_void_p.from_address(id(BrokenInt) + header + 9 * pointer)  # tp_as_number
    nb_int = ctypes.c_void_p.from_address(as_number.value + 16 * pointer)
    nb_int.value = ctypes.cast(ctypes.pythonapi.PyErr_Occurred, ctypes.c_void_p).value
    return BrokenInt()


@every_indicator
def test_a_step_that_fails_without_an_exception_gives_system_error(indicator, rng):
    function = indicator.function()
    broken = broken_int_slot()
    with pytest.raises(SystemError):
        int(broken)  # the interpreter's own report of the broken slot
    period = [p.name for p in indicator.params if p.kind == "int"][0]
    message = f"<built-in function {indicator.name}> returned NULL without setting an exception"
    with pytest.raises(SystemError, match=re.escape(message)) as info:
        function(*indicator.sample_inputs(rng, 5), **{period: broken})
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == indicator.name
