"""vantrel.indicators.batch against the single-series functions, bit for bit: every column of a
wide call, every combination of a grid and every key of a long table is what the single function
returns for that series alone."""

from __future__ import annotations

import itertools

import numpy as np
import pandas as pd
import pytest

from catalog import ALL, BY_NAME, every_indicator
from conftest import assert_same_bits, random_ohlc, raises
from vantrel.indicators import batch
from vantrel.indicators.batch import _lanes

# Parameter sets per indicator: the sample set, edges of the windows and odd values.
EXTRA = {
    "EMA": [{"period": 1}, {"period": 0}, {"period": -1}],
    "STOCHASTIC": [{"k_period": 1, "d_period": 1}, {"k_period": 3, "d_period": 0}],
    "ADX": [{"di_length": 1, "adx_smoothing": 2}, {"di_length": 0, "adx_smoothing": 3}],
    "SUPERTREND": [{"period": 1, "multiplier": 0.0}, {"period": 3, "multiplier": -1.5}],
    "NORMALIZED_T3": [{"period": 1, "t3_period": 1, "volume_factor": 1.0},
                      {"period": 2, "t3_period": 0, "volume_factor": 0.1}],
    "ATR": [{"period": 1}, {"period": 0}],
}
CASES = [pytest.param(ind, params, id=f"{ind.name}-{k}")
         for ind in ALL for k, params in enumerate([ind.sample] + EXTRA[ind.name])]


def wide_inputs(indicator, rng, rows, series, order="C"):
    """Price inputs of shape (rows, series) in the given memory layout."""
    columns = [indicator.sample_inputs(rng, rows) for _ in range(series)]
    arrays = [np.array([c[k] for c in columns]).T for k in range(len(indicator.inputs))]
    if order == "C":
        return [np.ascontiguousarray(a) for a in arrays]
    if order == "F":
        return [np.asfortranarray(a) for a in arrays]
    if order == "strided":  # every other row and every other column of a larger block
        out = []
        for a in arrays:
            big = np.full((2 * rows, 2 * series), np.nan)
            big[::2, ::2] = a
            out.append(big[::2, ::2])
        return out
    return [np.ascontiguousarray(a) for a in arrays]


def expected_columns(indicator, inputs, params):
    """The single function's result for each column of the wide inputs."""
    return [indicator.function()(*[a[:, j] for a in inputs], **params)
            for j in range(inputs[0].shape[1])]


def assert_column(result, key, expected):
    got = result[key]
    assert_same_bits(got, expected, str(key))
    assert got.dtype == expected.dtype


def check_wide(indicator, result, inputs, params):
    for j, expected in enumerate(expected_columns(indicator, inputs, params)):
        if isinstance(expected, pd.Series):
            assert_column(result, j, expected)
        else:
            for column in expected.columns:
                assert_column(result, (column, j), expected[column])


@pytest.mark.parametrize("indicator, params", CASES)
@pytest.mark.parametrize("series, order, threads", [
    (1, "C", 1), (2, "F", 2), (3, "strided", 3), (5, "C", 2), (7, "F", 1), (9, "C", 3),
    (21, "strided", 2), (37, "C", 2)])
def test_wide_columns_are_the_single_function(indicator, params, series, order, threads, rng):
    inputs = wide_inputs(indicator, rng, 150, series, order)
    result = getattr(batch, indicator.name)(*inputs, **params, threads=threads)
    check_wide(indicator, result, inputs, params)


@every_indicator
def test_dataframes_keep_index_and_columns_and_ints_convert(indicator, rng):
    index = pd.date_range("2024-01-01", periods=60, freq="h")
    inputs = wide_inputs(indicator, rng, 60, 3)
    names = pd.Index(["AAA", "BBB", "CCC"], name="symbol")
    frames = [pd.DataFrame(np.round(np.nan_to_num(a, posinf=9e9, neginf=-9e9) * 10).astype(np.int64)
                           if k == 0 else a, index=index,
                           columns=names) for k, a in enumerate(inputs)]
    result = getattr(batch, indicator.name)(*frames, **indicator.sample)
    assert result.index.equals(index)
    expected = expected_columns(indicator, [f.to_numpy(np.float64) for f in frames],
                                indicator.sample)
    if isinstance(indicator.result, str):
        assert result.columns.equals(names)
        for name, e in zip(names, expected):
            assert_same_bits(result[name], e)
    else:
        outputs = [c for c, _ in indicator.result]
        assert list(result.columns) == list(itertools.product(outputs, names))
        assert result.columns.names == [None, "symbol"]
        for (output, dtype), (name, e) in itertools.product(indicator.result, zip(names, expected)):
            assert str(result[(output, name)].dtype) == dtype
            assert_same_bits(result[(output, name)], e[output])


@pytest.mark.parametrize("levels, at", [
    ([["Plus_DI", "Minus_DI", "ADX"], pd.RangeIndex(4)], 0),
    ([[10, 20, 10], ["%K", "%D"], pd.Index(["b", "a", np.nan, "a"], name="symbol")], 1),
    ([np.array([3.0, 1.0]), [2, 2], pd.to_datetime(["2020-01-02", "2020-01-01"]).tz_localize("UTC")], -1),
    ([[1, 2], pd.CategoricalIndex(["x", "y"])], -1),
    ([["EMA"], [("a", 1), ("b", 2)]], -1),
], ids=["outputs", "repeats-nan", "dates", "categorical", "tuples"])
def test_column_levels_are_from_product(levels, at):
    # The columns are built from the levels' factorizations; pandas' own product is the oracle,
    # down to the dtype of every level and of its codes.
    names = [f"n{k}" for k in range(len(levels))]
    expected = pd.MultiIndex.from_product(levels, names=names)
    got = batch._columns(levels, names, tuple(levels[at]) if at >= 0 else (), at)
    pd.testing.assert_index_equal(got, expected, exact=True)
    for a, b in zip(got.levels, expected.levels):
        pd.testing.assert_index_equal(a, b, exact=True)
    for a, b in zip(got.codes, expected.codes):
        assert a.dtype == b.dtype and np.array_equal(a, b)


@pytest.mark.parametrize("storage", ["python", "pyarrow", "python"])
def test_output_level_follows_the_string_options(storage, rng):
    # The output level's factorization is kept from call to call; the options pandas infers
    # string labels by may change in between.
    if "string_storage" not in dir(pd.options.mode):
        pytest.skip("no string storage option")
    if storage == "pyarrow":
        pytest.importorskip("pyarrow")
    high, low, close = (np.column_stack([x, x]) for x in random_ohlc(rng, 20))
    with pd.option_context("mode.string_storage", storage):
        for result in (batch.ADX(high, low, close), batch.SUPERTREND(high, low, close)):
            level = result.columns.levels[0]
            pd.testing.assert_index_equal(level, pd.Index(list(level)), exact=True)


def test_columns_made_again_are_an_index_of_their_own(rng):
    # A call over the same columns as a call before reuses their factorization: each result
    # still gets an Index of its own, named as its inputs are named now.
    high, low, close = (pd.DataFrame(np.column_stack([x, x[::-1]]), columns=["a", "b"])
                        for x in random_ohlc(rng, 20))
    first = batch.ADX(high, low, close)
    first.columns.names = ["x", "y"]
    high.columns.name = "symbol"
    second = batch.ADX(high, low, close)
    assert second.columns is not first.columns
    outputs = list(batch._TABLE["ADX"].outputs)
    expected = pd.MultiIndex.from_product([outputs, high.columns], names=[None, "symbol"])
    pd.testing.assert_index_equal(second.columns, expected, exact=True)
    pd.testing.assert_index_equal(first.columns, expected.set_names(["x", "y"]), exact=True)
    third = batch.ADX(high.to_numpy(), low.to_numpy(), close.to_numpy())
    pd.testing.assert_index_equal(third.columns, pd.MultiIndex.from_product([outputs, range(2)]),
                                  exact="equiv")


@every_indicator
def test_grids_are_every_combination_in_order(indicator, rng):
    # Every parameter as a grid with a repeated value; the first one also over three series.
    grid = {}
    for p in indicator.params:
        base = indicator.sample[p.name]
        grid[p.name] = [base, base + 1, base] if p.kind == "int" else np.array([base, base / 2])
    inputs = wide_inputs(indicator, rng, 80, 3)
    result = getattr(batch, indicator.name)(*inputs, **grid, threads=2)
    names = [p.name for p in indicator.params]
    assert list(result.columns.names[:len(names)]) == names
    combos = list(itertools.product(*[list(grid[n]) for n in names]))
    per_combo = result.shape[1] // len(combos)
    for k, combo in enumerate(combos):
        part = result.iloc[:, k * per_combo:(k + 1) * per_combo]
        params = dict(zip(names, combo))
        for j, expected in enumerate(expected_columns(indicator, inputs, params)):
            frame = expected.to_frame() if isinstance(expected, pd.Series) else expected
            for o, column in enumerate(frame.columns):
                assert_same_bits(part.iloc[:, o * 3 + j], frame[column], f"{combo} {column} {j}")

    # A 1-D input with a grid: one column per combination (and output).
    one = [a[:, 0] for a in inputs]
    flat = getattr(batch, indicator.name)(*one, **grid)
    width = 1 if isinstance(indicator.result, str) else len(indicator.result)
    assert flat.shape == (80, len(combos) * width)
    for k, combo in enumerate(combos):
        expected = indicator.function()(*one, **dict(zip(names, combo)))
        assert_same_bits(flat.iloc[:, k * width:(k + 1) * width], pd.DataFrame(expected), f"1-D {combo}")


@every_indicator
def test_long_form_by_key(indicator, rng):
    rows = 400
    keys = rng.choice(np.array(["b", "a", "c", "d"], dtype=object), rows)  # interleaved
    keys[:3] = "z"  # a short key
    inputs = indicator.sample_inputs(rng, rows)
    index = pd.RangeIndex(1000, 1000 + rows)
    series = [pd.Series(x, index=index) for x in inputs]
    grid = {indicator.params[0].name: [indicator.sample[indicator.params[0].name], 2]}
    for given, extra in ((series, {}), (inputs, grid)):
        params = {**indicator.sample, **extra}
        result = getattr(batch, indicator.name)(*given, **params, by=keys, threads=3)
        assert len(result) == rows
        if given is series:
            assert result.index.equals(index)
        for key in np.unique(keys):
            mask = keys == key
            for value in extra.get(indicator.params[0].name, [None]):
                p = dict(params)
                if value is not None:
                    p[indicator.params[0].name] = value
                expected = indicator.function()(*[x[mask] for x in inputs], **p)
                got = result[mask] if value is None else result.loc[mask, value]
                if isinstance(expected, pd.DataFrame):
                    assert list(got.columns) == list(expected.columns)
                    assert list(got.dtypes) == list(expected.dtypes)
                assert_same_bits(got, expected, f"{key} {value}")


def test_long_form_results_have_the_single_functions_types(rng):
    keys = np.repeat([3, 1, 2], 20)
    high, low, close = random_ohlc(rng, 60)
    ema = batch.EMA(pd.Series(close, name="x"), 5, by=keys)
    assert type(ema) is pd.Series and ema.name == "EMA"
    st = batch.SUPERTREND(high, low, close, by=pd.Series(keys))
    assert list(st.columns) == ["Supertrend", "Direction"]
    assert list(st.dtypes) == [np.float64, np.int64]
    assert st.index.equals(pd.RangeIndex(60))


def test_one_series_without_grid_is_the_single_result(rng):
    for indicator in ALL:
        inputs = indicator.sample_inputs(rng, 50)
        got = getattr(batch, indicator.name)(*inputs, **indicator.sample)
        expected = indicator.function()(*inputs, **indicator.sample)
        assert type(got) is type(expected)
        assert_same_bits(got, expected, indicator.name)


@pytest.mark.parametrize("convert", [
    lambda v: v.astype(np.float32),  # a block of another dtype beside the float64 ones
    lambda v: pd.array(np.where(np.isnan(v), None, v), dtype="Float64"),  # NA reads as NaN
])
def test_frames_of_mixed_numeric_dtypes_read_as_float64(convert, rng):
    values = rng.normal(size=(40, 3))
    values[5, 1] = np.nan
    frame = pd.DataFrame({"a": values[:, 0], "b": convert(values[:, 1]), "c": values[:, 2]})
    as_floats = frame.to_numpy(np.float64, na_value=np.nan)
    expected = expected_columns(BY_NAME["EMA"], [as_floats], {"period": 5})
    result = batch.EMA(frame, 5)
    for name, e in zip("abc", expected):
        assert_same_bits(result[name], e)


@pytest.mark.parametrize("call, error", [
    (lambda h, l: batch.ADX(h, l[:, :2], l), raises(
        ValueError, "high and low differ in shape: (30, 3) and (30, 2)")),
    (lambda h, l: batch.EMA(h[:, 0], 3, by=np.zeros(29)), raises(
        ValueError, "by has 29 keys for 30 rows")),
    (lambda h, l: batch.EMA(h, [], ), raises(ValueError, "period is an empty grid")),
    (lambda h, l: batch.EMA(h, 3, by=np.zeros(30)), pytest.raises(TypeError, match="1-D")),
    (lambda h, l: batch.EMA(h.reshape(30, 3, 1), 3), pytest.raises(ValueError, match="3 dim")),
    (lambda h, l: batch.EMA(pd.DataFrame({"a": h[:, 0], "b": ["x"] * 30}), 3),
     pytest.raises(TypeError, match="column 'b' of src is not numeric")),
    (lambda h, l: batch.EMA(pd.DataFrame({"a": h[:, 0], "c": pd.Categorical(h[:, 1])}), 3),
     pytest.raises(TypeError, match="column 'c' of src is not numeric")),
    (lambda h, l: batch.STOCHASTIC(h, l, l, k_period=[3, 0]),
     raises(ValueError, "k_period must be at least 1")),
    (lambda h, l: batch.NORMALIZED_T3(h, volume_factor=[0.5, 1.5]),
     raises(ValueError, "Volume factor must be between 0 and 1")),
    (lambda h, l: batch.EMA(h, "3"), raises(TypeError, "an integer is required")),
    (lambda h, l: batch.EMA(h, [2**31]), raises(OverflowError, "value too large to convert to int")),
    (lambda h, l: batch.EMA(h, 3, threads=0), pytest.raises(ValueError, match="threads")),
])
def test_bad_input_is_refused_clearly(call, error):
    high = np.arange(90.0).reshape(30, 3)
    with error:
        call(high, high - 1)


@every_indicator
def test_empty_inputs_give_empty_frames_with_the_levels(indicator):
    for shape in ((0, 3), (5, 0)):
        inputs = [np.zeros(shape) for _ in indicator.inputs]
        result = getattr(batch, indicator.name)(*inputs, **indicator.sample)
        assert result.shape[0] == shape[0]
        levels = 1 if isinstance(indicator.result, str) else 2
        assert result.columns.nlevels == levels
    empty = getattr(batch, indicator.name)(*[np.zeros(0) for _ in indicator.inputs],
                                           **indicator.sample, by=np.zeros(0))
    assert len(empty) == 0


def test_inputs_are_read_in_place_and_never_written(rng):
    high, low, close = (np.asfortranarray(a) for a in wide_inputs(BY_NAME["ADX"], rng, 64, 5))
    before = [a.copy() for a in (high, low, close)]
    for a in (high, low, close):
        a.flags.writeable = False
    batch.ADX(high, low, close, threads=2)
    for a, b in zip((high, low, close), before):
        np.testing.assert_array_equal(a, b)


def same_bits(actual, expected) -> bool:
    """Whole arrays with equal bits, any NaN equal to any NaN."""
    a = np.asarray(actual, dtype=np.float64)
    e = np.asarray(expected, dtype=np.float64)
    both_nan = np.isnan(a) & np.isnan(e)
    return a.shape == e.shape and bool(np.all((a.view(np.int64) == e.view(np.int64)) | both_nan))


def outputs_of(indicator) -> list:
    """The output columns of the indicator, or [None] where its result is one Series."""
    return [None] if isinstance(indicator.result, str) else [c for c, _ in indicator.result]


def stacked_outputs(indicator, result, expected):
    """(output, the wide result's columns of it, the single results' stacked side by side)."""
    for output in outputs_of(indicator):
        got = result if output is None else result[output]
        yield output, got, np.column_stack([e if output is None else e[output] for e in expected])


@pytest.mark.parametrize("order, rows", [("C", 19), ("F", 19), ("F", 203)])
@pytest.mark.parametrize("name", ["EMA", "ATR", "ADX", "SUPERTREND"])
def test_wide_lanes_across_tile_and_band_edges(name, order, rows, rng):
    # 8,237 series: past a band of the widest tiles (256 tiles of 32 series, or two of 16) by
    # a tile or two and 13 series, which a last tile overlapping its neighbour takes; 19 rows
    # end every block depth (2, 3, 4) short. In F order each tile copies blocks of rows of
    # its columns side by side first (32 rows deep or more): 203 rows end those blocks short.
    indicator = BY_NAME[name]
    inputs = wide_inputs(indicator, rng, rows, 8237 if rows < 100 else 1037, order)
    expected = expected_columns(indicator, inputs, indicator.sample)
    for threads in (1, 3):
        result = getattr(batch, name)(*inputs, **indicator.sample, threads=threads)
        for output, got, want in stacked_outputs(indicator, result, expected):
            assert same_bits(got, want), f"{name} {output} threads={threads}"


@pytest.mark.parametrize("name, series, order", [
    ("EMA", 1001, "C"), ("ADX", 1001, "C"), ("SUPERTREND", 1001, "C"), ("EMA", None, "C"),
    ("EMA", 4200, "C"), ("SUPERTREND", 4200, "C"), ("EMA", 4201, "C"), ("ADX", 4202, "C"),
    ("EMA", 4204, "C"), ("SUPERTREND", 4204, "C"), ("ADX", 1004, "C"), ("ATR", 1001, "C"),
    ("ADX", 1001, "F"), ("SUPERTREND", 1001, "F"), ("EMA", 1001, "F"), ("ATR", 1003, "F"),
    ("EMA", 1001, "shared C"), ("SUPERTREND", 4204, "shared C"), ("ATR", 1003, "shared F")])
def test_results_past_the_caches_are_streamed_exactly(name, series, order, rng):
    # Results of STREAM_MIN bytes or more written into kept memory (the second call's) go
    # past the caches: 1,001 series on two threads through a block of rows in a buffer, each
    # thread's share ending in an overlapping tile, and a grid over one series (None) with
    # every lane reading the same input; 4,200 series, more than 16 KB a thread's share of a
    # row and rows a multiple of 64 bytes apart, straight from the tiles, except a last
    # overlapping tile off the lanes' alignment; 4,201, 4,202 and 4,204 series (and 1,004),
    # rows 8, 16 and 32 bytes off that alignment, so that row by row each tile's values start
    # at every offset, and ADX and SuperTrend join each value's end to the next's start. In F
    # order each column's values go out a square of rows at a time, joined into whole lines
    # from one block of rows to the next, SuperTrend's direction among them. On several
    # threads ("shared") smaller results are streamed too. The first call leaves other
    # values in the memory the second one lands in.
    indicator = BY_NAME[name]
    columns = series or 64
    least = _lanes.SHARED_STREAM_MIN if order.startswith("shared") else _lanes.STREAM_MIN
    order = order.split()[-1]
    rows = -(-least // (8 * columns * len(outputs_of(indicator))))
    if series is None:
        inputs = list(indicator.sample_inputs(rng, rows))
        periods = list(range(2, 2 + columns))
        batch.EMA(*[x + 1.0 for x in inputs], period=periods, threads=2)
        result = batch.EMA(*inputs, period=periods, threads=2)
        for p in periods:
            assert_same_bits(result[p], indicator.function()(*inputs, period=p), str(p))
        return
    inputs = wide_inputs(indicator, rng, rows, series, order)
    expected = expected_columns(indicator, inputs, indicator.sample)
    getattr(batch, name)(*[x + 1.0 for x in inputs], **indicator.sample, threads=2)
    result = getattr(batch, name)(*inputs, **indicator.sample, threads=2)
    for output, got, want in stacked_outputs(indicator, result, expected):
        assert same_bits(got, want), output


@pytest.mark.parametrize("name, params", [
    ("STOCHASTIC", {"k_period": 300, "d_period": 5}),
    ("STOCHASTIC", {"k_period": 1, "d_period": 3}),
    ("NORMALIZED_T3", {"period": 300, "t3_period": 3, "volume_factor": 0.7}),
    ("NORMALIZED_T3", {"period": 1, "t3_period": 2, "volume_factor": 0.7})])
def test_wide_window_lanes_over_long_series(name, params, rng):
    # 15 series side by side run as 8, 4 and 2 lanes and one alone; 9,000 rows hold many
    # windows and several of the pieces NORMALIZED_T3 makes its T3 in. Every other series
    # has no NaN or infinity, so that NORMALIZED_T3 is not NaN from an early NaN on.
    indicator = BY_NAME[name]
    columns = [random_ohlc(rng, 9000, specials=0.0005 * (k % 2)) for k in range(15)]
    picked = [2] if len(indicator.inputs) == 1 else [0, 1, 2]
    inputs = [np.ascontiguousarray(np.column_stack([c[i] for c in columns])) for i in picked]
    result = getattr(batch, name)(*inputs, **params, threads=2)
    check_wide(indicator, result, inputs, params)


def data_address(column) -> int:
    return column.to_numpy().__array_interface__["data"][0]


def views_kept_memory(column) -> bool:
    """Whether the column's values lie in a block of kept memory (pandas before 3 copies the
    outputs of mixed dtypes into a frame of its own)."""
    base = column.to_numpy()
    while isinstance(base, np.ndarray) and base.base is not None:
        base = base.base
    return isinstance(base, _lanes.Block)


@pytest.mark.parametrize("name", ["ADX", "SUPERTREND", "NORMALIZED_T3"])
def test_large_results_reuse_memory_only_once_freed(name, rng):
    # A result of 1 MiB or more takes memory kept from results freed before: memory that an
    # array still views is never handed out again, and a reused block's old values are all
    # overwritten (the third call lands in the memory of the first two, full of other values).
    indicator = BY_NAME[name]
    fn = getattr(batch, name)
    first, second = (wide_inputs(indicator, rng, 300, 2000) for _ in range(2))
    result = fn(*first, **indicator.sample)
    held = result.iloc[:, 0].to_numpy()
    snapshot = held.copy()
    freed = {data_address(result.iloc[:, k]) for k in range(0, result.shape[1], 2000)}
    del result
    result = fn(*second, **indicator.sample)
    assert not np.shares_memory(held, result.iloc[:, 0].to_numpy())
    assert same_bits(held, snapshot)
    freed |= {data_address(result.iloc[:, k]) for k in range(0, result.shape[1], 2000)}
    del result, held
    result = fn(*first, **indicator.sample)
    assert data_address(result.iloc[:, 0]) in freed or not views_kept_memory(result.iloc[:, 0])
    expected = expected_columns(indicator, first, indicator.sample)
    for output, got, want in stacked_outputs(indicator, result, expected):
        assert same_bits(got, want), output
        if output == "Direction":
            assert got.dtypes.eq(np.int64).all()
