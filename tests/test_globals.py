"""Rebound module globals: each module reads `np` and `pd` (and SuperTrend its `ATR`) at every
call, so a caller may replace them with anything. Whatever the replacement raises propagates
unchanged, whatever malformed object it returns gives an ordinary exception, nothing leaks, and
the first call after the real globals are back gives the usual result."""

from __future__ import annotations

import functools
import traceback
import types
import weakref

import numpy as np
import pandas as pd
import pytest

from catalog import BY_NAME, assert_same_result, check_result, every_indicator
from leakcheck import leaks, traced  # noqa: F401 - a fixture

N = 30


class Injected(MemoryError):
    """The failure the fault plans inject: an allocator running out of memory."""


class Plan:
    """Counts the events of one call (each attribute read from `np` or `pd`, each call of a
    function or class read from them) and raises Injected at event `fail_at`."""

    def __init__(self, fail_at=None):
        self.fail_at = fail_at
        self.count = 0
        self.last = None
        self.raised = None

    def tick(self, event):
        self.count += 1
        self.last = event
        if self.count == self.fail_at:
            self.raised = Injected(event)
            raise self.raised


class Counting(type):
    """The type of the stand-ins for pd.Series and pd.DataFrame: isinstance() and calls go to
    the real class, each an event of the stand-in's current plan."""

    def __instancecheck__(cls, obj):
        cls.plan.tick(f"isinstance(..., {cls.__name__})")
        return isinstance(obj, cls.real)

    def __call__(cls, *args, **kwargs):
        cls.plan.tick(f"{cls.__name__}()")
        return cls.real(*args, **kwargs)


# Made once: a class made at every attribute read would fill the interpreter's type caches.
COUNTING = {real: Counting(real.__name__, (), {"real": real, "plan": None})
            for real in (pd.Series, pd.DataFrame)}


class Proxy:
    """Stands for numpy or pandas as a module global."""

    def __init__(self, real, plan, overrides=None):
        self._real, self._plan, self._overrides = real, plan, overrides or {}

    def __getattr__(self, name):
        self._plan.tick(f"{self._real.__name__}.{name}")
        if name in self._overrides:
            return self._overrides[name]
        value = getattr(self._real, name)
        if isinstance(value, type) and value in COUNTING:
            COUNTING[value].plan = self._plan
            return COUNTING[value]
        if callable(value) and not isinstance(value, type):  # np.asarray, np.empty and so on
            return self._wrap(name, value)
        return value

    def _wrap(self, name, function):
        @functools.wraps(function)
        def call(*args, **kwargs):
            self._plan.tick(f"{self._real.__name__}.{name}()")
            return function(*args, **kwargs)

        return call


def arguments(indicator, rng, as_series, n=N):
    inputs = indicator.sample_inputs(rng, n)
    if as_series:
        index = pd.date_range("2024-01-01", periods=n, freq="D")
        inputs = [pd.Series(x, index=index) for x in inputs]
    return (*inputs, *[indicator.sample[p.name] for p in indicator.params])


def prepared(indicator, rng, as_series=False, n=N):
    """The module, its function, arguments for it and the result they give with real globals."""
    module = indicator.load()
    function = getattr(module, indicator.name)
    args = arguments(indicator, rng, as_series, n)
    return module, function, args, function(*args)


def patched(module, monkeypatch, plan, np_overrides=None, pd_overrides=None):
    monkeypatch.setattr(module, "np", Proxy(np, plan, np_overrides))
    monkeypatch.setattr(module, "pd", Proxy(pd, plan, pd_overrides))


@every_indicator
@pytest.mark.parametrize("as_series", [False, True], ids=["arrays", "series"])
@pytest.mark.usefixtures("traced")
def test_a_failure_at_any_step_propagates_and_leaves_nothing_behind(indicator, as_series, rng,
                                                                    monkeypatch):
    module, function, args, expected = prepared(indicator, rng, as_series)

    # Through transparent stand-ins the call is the same; count its steps.
    plan = Plan()
    patched(module, monkeypatch, plan)
    assert_same_result(function(*args), expected)
    steps = plan.count
    assert steps > 0

    def sweep():
        for fail_at in range(1, steps + 1):
            plan = Plan(fail_at)
            patched(module, monkeypatch, plan)
            try:
                function(*args)
            except Injected as error:
                assert error is plan.raised, (error, plan.raised)
                entries = traceback.extract_tb(error.__traceback__)
                assert indicator.name in [entry.name for entry in entries]
            else:
                pytest.fail(f"no error with a failure at {plan.last}")
            finally:
                monkeypatch.undo()

    sweep()
    assert_same_result(function(*args), expected)
    assert leaks(sweep, [*args, np, pd, module, function]) is None
    assert_same_result(function(*args), expected)


# Stand-ins for np.empty, np.zeros and np.full: (length, dtype) -> what they return instead.
MALFORMED_ALLOCATIONS = {
    "shorter": lambda n, dtype: np.zeros(max(n - 1, 0), dtype=dtype),
    "two-dimensional": lambda n, dtype: np.zeros((n, 1), dtype=dtype),
    "float32": lambda n, dtype: np.zeros(n, dtype=np.float32),
    "int32": lambda n, dtype: np.zeros(n, dtype=np.int32),
    "read-only": lambda n, dtype: np.frombuffer(bytes(8 * n), dtype=dtype),
    "big-endian": lambda n, dtype: np.zeros(n, dtype=np.dtype(dtype).newbyteorder(">")),
    "list": lambda n, dtype: [0.0] * n,
    "None": lambda n, dtype: None,
}


def allocator(make):
    def allocate(shape, *args, dtype=np.float64, **kwargs):
        return make(shape, dtype)

    return allocate


@every_indicator
@pytest.mark.parametrize("kind", list(MALFORMED_ALLOCATIONS))
@pytest.mark.usefixtures("traced")
def test_a_malformed_output_array_is_refused(indicator, kind, rng, monkeypatch):
    module, function, args, expected = prepared(indicator, rng)
    allocate = allocator(MALFORMED_ALLOCATIONS[kind])
    monkeypatch.setattr(module, "np", Proxy(np, Plan(), {"empty": allocate, "zeros": allocate,
                                                          "full": allocate}))

    def call():
        with pytest.raises((ValueError, TypeError, BufferError)):
            function(*args)

    call()
    assert leaks(call, [*args, module, function]) is None
    monkeypatch.undo()
    assert_same_result(function(*args), expected)


def relaid(layout, fill):
    """An allocator whose arrays are valid but unusual: not contiguous, or not aligned, and
    filled with `fill` (np.empty's stand-in fills garbage, so an element left unwritten shows)."""

    def allocate(length, dtype=np.float64):
        dtype = np.dtype(dtype)
        if layout == "reversed":
            array = np.empty(length, dtype)[::-1]
        elif layout == "every second":
            array = np.empty(2 * length, dtype)[::2]
        else:
            array = np.zeros(length * dtype.itemsize + 1, np.uint8)[1:].view(dtype)
        array[...] = fill
        return array

    return allocate


@every_indicator
@pytest.mark.parametrize("layout", ["reversed", "every second", "misaligned"])
def test_output_arrays_are_written_through_their_strides(indicator, layout, rng, monkeypatch):
    module, function, args, expected = prepared(indicator, rng)
    monkeypatch.setattr(module, "np", Proxy(np, Plan(), {"empty": relaid(layout, 12345),
                                                          "zeros": relaid(layout, 0)}))
    assert_same_result(function(*args), expected)


# Replacements that return something other than what numpy or pandas would. Each gives an
# ordinary exception or, where the function does not depend on the replaced value, a result.
REPLACEMENTS = {
    "np.asarray returns a list": ({"asarray": lambda x: list(np.asarray(x))}, {}),
    "np.asarray returns a 2-d array": ({"asarray": lambda x: np.atleast_2d(np.asarray(x))}, {}),
    "np.float64 is float32": ({"float64": np.float32}, {}),
    "np.float64 is a string": ({"float64": "float64"}, {}),
    "np.nan is a string": ({"nan": "nan"}, {}),
    "np.nan is an int": ({"nan": 7}, {}),
    "pd.Series is a function": ({}, {"Series": lambda *a, **k: "not a Series"}),
    "pd.DataFrame is a function": ({}, {"DataFrame": lambda *a, **k: "not a DataFrame"}),
    "pd.Series is not a class": ({}, {"Series": 42}),
}


@every_indicator
@pytest.mark.parametrize("replacement", list(REPLACEMENTS))
def test_replaced_attributes_give_an_exception_or_a_result(indicator, replacement, rng,
                                                           monkeypatch):
    module, function, args, expected = prepared(indicator, rng)
    np_overrides, pd_overrides = REPLACEMENTS[replacement]
    patched(module, monkeypatch, Plan(), np_overrides, pd_overrides)
    try:
        result = function(*args)
    except Exception as error:  # noqa: BLE001 - any ordinary exception
        assert not isinstance(error, SystemError), repr(error)
    else:
        if not isinstance(result, str):
            check_result(indicator, result, N)
    monkeypatch.undo()
    assert_same_result(function(*args), expected)


@every_indicator
@pytest.mark.parametrize("name", ["np", "pd"])
def test_a_deleted_global_raises_name_error(indicator, name, rng, monkeypatch):
    module = indicator.load()
    function = getattr(module, indicator.name)
    args = arguments(indicator, rng, False)
    monkeypatch.delattr(module, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        function(*args)
    monkeypatch.undo()
    check_result(indicator, function(*args), N)


class NoValues:
    pass


class Values:
    def __init__(self, values):
        self.values = values


ATR_REPLACEMENTS = {
    "raises": (lambda *a, **k: (_ for _ in ()).throw(Injected("ATR")), Injected),
    "no values": (lambda *a, **k: NoValues(), AttributeError),
    "shorter": (lambda *a, **k: Values(np.zeros(N - 1)), ValueError),
    "empty": (lambda *a, **k: Values(np.zeros(0)), ValueError),
    "two-dimensional": (lambda *a, **k: Values(np.zeros((N, 1))), ValueError),
    "a list": (lambda *a, **k: Values([1.0] * N), AttributeError),
    "float32 astype": (
        lambda *a, **k: Values(types.SimpleNamespace(astype=lambda d: np.zeros(N, np.float32))),
        ValueError),
    "strings": (lambda *a, **k: Values(np.array(["x"] * N)), ValueError),
}


@pytest.mark.parametrize("kind", list(ATR_REPLACEMENTS))
@pytest.mark.usefixtures("traced")
def test_supertrend_refuses_a_malformed_atr(kind, rng, monkeypatch):
    indicator = BY_NAME["SUPERTREND"]
    module, function, args, expected = prepared(indicator, rng)
    replacement, error = ATR_REPLACEMENTS[kind]
    monkeypatch.setattr(module, "ATR", replacement)

    def call():
        with pytest.raises(error):
            function(*args)

    call()
    assert leaks(call, [*args, module, function]) is None
    monkeypatch.undo()
    assert_same_result(function(*args), expected)


@every_indicator
def test_stand_ins_dropped_during_the_call_are_kept_alive_while_in_use(indicator, rng, monkeypatch):
    module, function, args, expected = prepared(indicator, rng)

    class RebindsGlobals:
        """A price input whose conversion puts the real modules back, so the stand-ins lose
        their last reference outside the call."""

        def __array__(self, dtype=None, copy=None):
            module.np, module.pd = np, pd
            return args[0]

    monkeypatch.setattr(module, "np", Proxy(np, Plan()))
    monkeypatch.setattr(module, "pd", Proxy(pd, Plan()))
    stand_ins = [weakref.ref(module.np), weakref.ref(module.pd)]
    assert_same_result(function(RebindsGlobals(), *args[1:]), expected)
    assert [ref() for ref in stand_ins] == [None, None]


def test_supertrend_keeps_an_atr_alive_that_unbinds_itself(rng, monkeypatch):
    indicator = BY_NAME["SUPERTREND"]
    module, function, args, expected = prepared(indicator, rng)
    real_atr = module.ATR

    def atr(*atr_args, **kwargs):
        module.ATR = real_atr
        return real_atr(*atr_args, **kwargs)

    monkeypatch.setattr(module, "ATR", atr)
    stand_in = weakref.ref(atr)
    del atr
    assert_same_result(function(*args), expected)
    assert stand_in() is None


def test_supertrend_with_an_atr_that_calls_it_again_raises_recursion_error(rng, monkeypatch):
    module = BY_NAME["SUPERTREND"].load()
    monkeypatch.setattr(module, "ATR", lambda *args, **kwargs: module.SUPERTREND(*args, **kwargs))
    with pytest.raises(RecursionError):
        module.SUPERTREND(*arguments(BY_NAME["SUPERTREND"], rng, False))


class Assembly(type):
    """Stand-in type of pd.Series and pd.DataFrame that ends an allocation-failure plan where
    result assembly begins: what pandas does with a failed allocation is pandas' own affair."""

    def __instancecheck__(cls, obj):
        return isinstance(obj, cls.real)

    def __call__(cls, *args, **kwargs):
        cls.end()
        return cls.real(*args, **kwargs)


@every_indicator
def test_a_failed_allocation_at_any_step_gives_memory_error(indicator, rng, monkeypatch):
    """Makes the k-th memory allocation of a call fail, for every k until result assembly
    begins: each C-API call that allocates must be checked and its MemoryError passed on.
    The inputs are arrays, so that no pandas code runs under the failing allocator (pandas and
    the interpreter do not always survive it); SuperTrend's call of ATR runs without it."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no _testcapi.set_nomemory")
    # A length of 300 is no cached small int: making it allocates.
    module, function, args, expected = prepared(indicator, rng, n=300)
    end = testcapi.remove_mem_hooks
    monkeypatch.setattr(module, "pd", types.SimpleNamespace(**{
        name: Assembly(name, (), {"real": getattr(pd, name), "end": staticmethod(end)})
        for name in ("Series", "DataFrame")}))

    def sweep(arm_at_start):
        survived = 0
        fail_at = 0
        while survived < 20:  # the failure fell after assembly began: every step was tried
            armed[0] = fail_at
            if arm_at_start:
                testcapi.set_nomemory(fail_at, fail_at + 1)
            try:
                result = function(*args)
            except BaseException as error:  # noqa: BLE001 - checked once the hooks are gone
                end()
                assert isinstance(error, MemoryError), (fail_at, error)
                survived = 0
            else:
                end()
                assert_same_result(result, expected)
                survived += 1
            fail_at += 1

    armed = [None]
    if indicator.name == "SUPERTREND":
        real_atr = module.ATR

        def atr_then_arm(*atr_args, **kwargs):
            result = real_atr(*atr_args, **kwargs)
            testcapi.set_nomemory(armed[0], armed[0] + 1)
            return result

        def atr_unarmed(*atr_args, **kwargs):
            end()
            return real_atr(*atr_args, **kwargs)

        monkeypatch.setattr(module, "ATR", atr_unarmed)
        sweep(True)  # up to ATR
        monkeypatch.setattr(module, "ATR", atr_then_arm)
        sweep(False)  # from ATR's result on
    else:
        sweep(True)
    monkeypatch.undo()
    assert_same_result(function(*args), expected)
