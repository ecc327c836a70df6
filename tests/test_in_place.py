"""Steps nobody can see are skipped, visible ones never: exact float64 ndarrays are read in
place and frames are built from one block while `np` and `pd` are the modules bound at import;
with a rebound global, or any other kind of value, every literal step is taken in its order,
and the results are the same to the bit either way."""

from __future__ import annotations

import tracemalloc
import types

import numpy as np
import pandas as pd
import pytest

from catalog import BY_NAME, assert_same_result, every_indicator, odd_series
from conftest import random_ohlc
from test_globals import Plan, Proxy, arguments

FRAMES = [BY_NAME["ADX"], BY_NAME["STOCHASTIC"]]


def literal_pd():
    """pandas itself behind another module object: `pd` is no longer genuine."""
    return types.SimpleNamespace(Series=pd.Series, DataFrame=pd.DataFrame, Index=pd.Index)


def call(indicator, inputs):
    return indicator.function()(*inputs, **indicator.sample)


# --- read in place -----------------------------------------------------------------------------

def peak_bytes(fn):
    fn()  # warm: lazy imports, caches
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


OUTPUT_COLUMNS = {"EMA": 1, "STOCHASTIC": 2, "ADX": 3, "SUPERTREND": 3, "NORMALIZED_T3": 1,
                  "ATR": 1}


@every_indicator
@pytest.mark.parametrize("layout", ["contiguous", "read-only", "every second", "reversed"])
def test_float64_arrays_are_read_in_place(indicator, layout, rng):
    """The call's memory is its output columns (SUPERTREND's include ATR's result) and
    interpreter objects, never a copy of an input; the result is that of fresh copies."""
    n = 50_000
    inputs = indicator.sample_inputs(rng, 2 * n)
    if layout == "read-only":
        for x in inputs:
            x.flags.writeable = False
    views = [x[:n] if layout in ("contiguous", "read-only") else x[::2] if layout == "every second"
             else x[::-1][:n] for x in inputs]
    expected = call(indicator, [v.copy() for v in views])
    assert_same_result(call(indicator, views), expected)
    peak = peak_bytes(lambda: call(indicator, views))
    assert peak < (OUTPUT_COLUMNS[indicator.name] + 0.5) * 8 * n, peak / (8 * n)


@every_indicator
@pytest.mark.parametrize("kind", ["array", "series"])
def test_results_share_no_memory_with_the_inputs(indicator, kind, rng):
    inputs = indicator.sample_inputs(rng, 300)
    given = [pd.Series(x) for x in inputs] if kind == "series" else inputs
    before = [x.copy() for x in inputs]
    result = call(indicator, given)
    frame = result.to_frame() if isinstance(result, pd.Series) else result
    for column in frame.columns:
        assert not any(np.shares_memory(frame[column].to_numpy(), x) for x in inputs)
    for x, y in zip(inputs, before):
        np.testing.assert_array_equal(x.view(np.int64), y.view(np.int64))


class Subclass(np.ndarray):
    log: list = []

    def astype(self, dtype, *args, **kwargs):
        Subclass.log.append(dtype)
        return super().astype(dtype, *args, **kwargs)


CONVERTED = {
    "float32": lambda x: x.astype(np.float32),
    "int64": lambda x: np.round(np.nan_to_num(x, posinf=1e6, neginf=-1e6)).astype(np.int64),
    "byte-swapped": lambda x: x.astype(">f8"),
    "object": lambda x: x.astype(object),
    "list": lambda x: x.tolist(),
}


@every_indicator
@pytest.mark.parametrize("kind", list(CONVERTED))
def test_other_values_are_converted_as_astype_converts_them(indicator, kind, rng):
    """A value that is not an exact native float64 ndarray goes through astype(np.float64):
    the result is that of the converted values, also when only one input is such a value."""
    inputs = indicator.sample_inputs(rng, 200)
    odd = [CONVERTED[kind](x) for x in inputs]
    as_float64 = [np.asarray(x).astype(np.float64) for x in odd]
    assert_same_result(call(indicator, odd), call(indicator, as_float64))
    mixed = [odd[0], *inputs[1:]]
    assert_same_result(call(indicator, mixed), call(indicator, [as_float64[0], *inputs[1:]]))


@every_indicator
def test_values_of_an_ndarray_subclass_are_converted_by_their_own_astype(indicator, rng):
    inputs = indicator.sample_inputs(rng, 50)
    expected = call(indicator, inputs)
    for first_only in (False, True):
        odd = [odd_series(len(x), x.view(Subclass)) if k == 0 or not first_only else pd.Series(x)
               for k, x in enumerate(inputs)]
        Subclass.log = []
        assert_same_result(call(indicator, odd), expected)
        converted = 1 if first_only else len(inputs)
        if indicator.name == "SUPERTREND":  # it hands the same Series to ATR, which converts too
            converted *= 2
        assert Subclass.log == [np.float64] * converted


# --- literal steps -----------------------------------------------------------------------------

@every_indicator
def test_a_rebound_np_sees_every_literal_step(indicator, rng, monkeypatch):
    """Through a transparent stand-in for numpy: np.asarray of every input, np.float64, then
    the allocations of the textbook layout (SUPERTREND's five np.empty arrays among them)."""
    module = indicator.load()
    args = arguments(indicator, rng, False)
    expected = getattr(module, indicator.name)(*args)
    plan = Plan()
    events = []
    plan.tick = lambda event: events.append(event)
    monkeypatch.setattr(module, "np", Proxy(np, plan))
    assert_same_result(getattr(module, indicator.name)(*args), expected)
    calls = [e for e in events if e.endswith("()")]
    n_inputs = len(indicator.inputs)
    allocations = {"EMA": ["empty"], "STOCHASTIC": ["empty"] * 2, "ADX": ["zeros"] * 3,
                   "SUPERTREND": ["empty"] * 5, "NORMALIZED_T3": ["zeros"], "ATR": ["empty"]}
    assert calls == ["numpy.asarray()"] * n_inputs + [
        f"numpy.{a}()" for a in allocations[indicator.name]], calls
    assert events.index("numpy.float64") > events.index("numpy.asarray()")


def test_a_rebound_np_allocator_that_writes_into_an_input_does_not_reach_the_result(rng,
                                                                                    monkeypatch):
    """The float64 copies are taken before the allocations: what an allocator of the caller's
    does to the caller's arrays afterwards is not seen, as with the literal copies."""
    for indicator in BY_NAME.values():
        module = indicator.load()
        inputs = indicator.sample_inputs(rng, 100)
        expected = call(indicator, [x.copy() for x in inputs])

        def empty(*a, **k):
            for x in inputs:
                x[:] = 1e9
            return np.empty(*a, **k)

        monkeypatch.setattr(module, "np", Proxy(np, Plan(), {"empty": empty, "zeros": empty}))
        assert_same_result(call(indicator, inputs), expected)
        monkeypatch.undo()


@pytest.mark.parametrize("indicator", FRAMES, ids=lambda i: i.name)
@pytest.mark.parametrize("kind", ["array", "series"])
def test_light_frames_equal_the_dictionary_frames(indicator, kind, rng, monkeypatch):
    """Columns (labels and their dtype), dtypes, index and values as pd.DataFrame({...})
    gives them, which is what a rebound `pd` receives."""
    module = indicator.load()
    inputs = indicator.sample_inputs(rng, 120)
    if kind == "series":
        index = pd.date_range("2024-01-01", periods=120, freq="h")
        inputs = [pd.Series(x, index=index) for x in inputs]
    light = call(indicator, inputs)
    monkeypatch.setattr(module, "pd", literal_pd())
    literal = call(indicator, inputs)
    pd.testing.assert_frame_equal(light, literal, check_exact=True, check_column_type=True,
                                  check_index_type=True)
    assert light.columns.dtype == literal.columns.dtype
    assert light.index is literal.index or kind == "array"
    light.columns.name = "renamed"  # each result has an Index of its own
    assert call(indicator, inputs).columns.name is None


@pytest.mark.parametrize("indicator", FRAMES, ids=lambda i: i.name)
def test_a_frame_pandas_refuses_fails_as_the_dictionary_frame_does(indicator, rng, monkeypatch):
    """Series whose index is longer than their values: pandas' own error, word for word."""
    module = indicator.load()
    odd = [odd_series(40, x) for x in indicator.sample_inputs(rng, 30)]
    with pytest.raises(ValueError) as light:
        call(indicator, odd)
    monkeypatch.setattr(module, "pd", literal_pd())
    with pytest.raises(ValueError) as literal:
        call(indicator, odd)
    assert str(light.value) == str(literal.value)


@pytest.mark.parametrize("indicator", FRAMES, ids=lambda i: i.name)
def test_light_frame_labels_follow_the_string_storage_option(indicator, rng):
    if "string_storage" not in dir(pd.options.mode):
        pytest.skip("no string storage option")
    inputs = indicator.sample_inputs(rng, 20)
    for storage in ("python", "pyarrow", "python"):
        if storage == "pyarrow":
            pytest.importorskip("pyarrow")
        with pd.option_context("mode.string_storage", storage):
            result = call(indicator, inputs)
            assert result.columns.dtype == pd.Index(list(result.columns)).dtype


def test_a_rebound_pd_gets_the_dictionary(rng, monkeypatch):
    for indicator in FRAMES + [BY_NAME["SUPERTREND"]]:
        module = indicator.load()
        frames = []
        real = pd.DataFrame

        def frame(data, **kwargs):
            frames.append((type(data), list(data), sorted(kwargs)))
            return real(data, **kwargs)

        monkeypatch.setattr(module, "pd", types.SimpleNamespace(Series=pd.Series, DataFrame=frame))
        call(indicator, indicator.sample_inputs(rng, 30))
        monkeypatch.undo()
        [(data_type, columns, keywords)] = frames
        assert data_type is dict and columns == [c for c, _ in indicator.result]
        assert "copy" in keywords


# --- SUPERTREND and code of the caller's after the float64 conversion -----------------------------

@pytest.mark.parametrize("atr_kind", ["values of the caller's", "object Series"])
def test_supertrend_inputs_keep_their_values_from_before_the_atr_result_is_read(atr_kind, rng,
                                                                                 monkeypatch):
    """The inputs are converted before ATR's result is: a `.values` or a float conversion of
    the caller's that then writes into the caller's arrays does not reach the result."""
    module = BY_NAME["SUPERTREND"].load()
    high, low, close = random_ohlc(rng, 60)
    atr = np.abs(rng.normal(0.0, 1.0, 60))
    monkeypatch.setattr(module, "ATR", lambda *a, **k: pd.Series(atr))
    expected = module.SUPERTREND(high.copy(), low.copy(), close.copy(), 5, 2.0)

    def scribble():
        for x in (high, low, close):
            x[:] = -1.0

    if atr_kind == "object Series":
        result = pd.Series(np.array([Scribbling(v, scribble) for v in atr], dtype=object))
    else:
        result = Values(scribble, atr)
    monkeypatch.setattr(module, "ATR", lambda *a, **k: result)
    assert_same_result(module.SUPERTREND(high, low, close, 5, 2.0), expected)
    assert (high == -1.0).all()  # the caller's code did run


class Values:
    def __init__(self, on_read, values):
        self._on_read, self._values = on_read, values

    @property
    def values(self):
        self._on_read()
        return self._values


class Scribbling:
    """A number whose float conversion writes into the caller's arrays."""

    def __init__(self, value, scribble):
        self.value, self.scribble = value, scribble

    def __float__(self):
        self.scribble()
        return float(self.value)
