"""Many series in one call: a universe of symbols, a grid of parameters, a long table by key.

The functions take the parameters of the single-series functions, in the same order and with
the same defaults, plus keyword-only ``by`` and ``threads``:

- **Wide form**: each price input is a 2-D array (rows = time, columns = series) or a
  DataFrame (columns = series). The result is a DataFrame with the first DataFrame input's
  index; a one-output indicator keeps the input's columns, several outputs give the column
  levels (output, series).
- **Parameter grids**: any integer or float parameter may be a list, tuple or 1-D array; every
  combination is computed, and each grid parameter adds an outer column level named after it.
- **Long form**: 1-D price inputs with ``by=`` keys of the same length; each key's rows (in time
  order, keys may interleave) are computed as if they alone had been passed to the single
  function, and the result is aligned row for row with the input.

Every value is bit for bit what the single-series function returns for that series and those
parameters. ``threads=None`` uses every processor (``os.cpu_count()``) a call is large enough
to repay, ``threads=1`` only the calling thread, ``threads=k`` at most k; the result never
depends on the thread count. Float64 inputs are read in place
(any memory order); other numeric inputs are converted once.
"""

from __future__ import annotations

import itertools
import math
import operator
import os
import sys
from dataclasses import dataclass

import numpy as np
import pandas as pd

from vantrel.indicators.batch import _lanes

__all__ = ["EMA", "STOCHASTIC", "ADX", "SUPERTREND", "NORMALIZED_T3", "ATR"]

_REQUIRED = object()
_FLOAT64 = np.dtype(np.float64)


@dataclass(frozen=True)
class _Param:
    name: str
    kind: type  # int or float
    default: object = _REQUIRED


@dataclass(frozen=True)
class _Indicator:
    name: str
    inputs: tuple[str, ...]
    params: tuple[_Param, ...]
    outputs: tuple[str, ...]
    int_outputs: tuple[str, ...] = ()


_TABLE = {
    ind.name: ind
    for ind in (
        _Indicator("EMA", ("src",), (_Param("period", int),), ("EMA",)),
        _Indicator("STOCHASTIC", ("high", "low", "close"),
                   (_Param("k_period", int, 14), _Param("d_period", int, 3)), ("%K", "%D")),
        _Indicator("ADX", ("high", "low", "close"),
                   (_Param("di_length", int, 14), _Param("adx_smoothing", int, 14)),
                   ("Plus_DI", "Minus_DI", "ADX")),
        _Indicator("SUPERTREND", ("high", "low", "close"),
                   (_Param("period", int, 10), _Param("multiplier", float, 3.0)),
                   ("Supertrend", "Direction"), ("Direction",)),
        _Indicator("NORMALIZED_T3", ("src",),
                   (_Param("period", int, 200), _Param("t3_period", int, 2),
                    _Param("volume_factor", float, 0.7)),
                   ("Normalized T3 Oscillator",)),
        _Indicator("ATR", ("high", "low", "close"), (_Param("period", int, 14),), ("ATR",)),
    )
}


# ---------------------------------------------------------------------------
# Parameters: converted as the single-series functions convert them.

_to_int32 = _lanes.to_int32
_to_double = _lanes.to_double


def _is_grid(value) -> bool:
    if isinstance(value, (list, tuple, range, pd.Index, pd.Series)):
        return True
    return isinstance(value, np.ndarray) and value.ndim == 1


def _check(ind: _Indicator, values: dict) -> None:
    """The single functions' own parameter checks, for one combination."""
    if ind.name == "STOCHASTIC" and values["k_period"] < 1:
        raise ValueError("k_period must be at least 1")
    if ind.name == "NORMALIZED_T3":
        if not (values["volume_factor"] > 0.0 and values["volume_factor"] <= 1.0):
            raise ValueError("Volume factor must be between 0 and 1")
        if values["period"] < 1:
            raise ValueError("period must be at least 1")


def _parameters(ind: _Indicator, given):
    """(names of the grid parameters, their values, the combinations as a float64 array)."""
    lists = []
    grid_names = []
    grid_values = []
    for param, value in zip(ind.params, given):
        convert = _to_int32 if param.kind is int else _to_double
        if _is_grid(value):
            values = [convert(v) for v in (value.tolist() if hasattr(value, "tolist") else value)]
            if not values:
                raise ValueError(f"{param.name} is an empty grid")
            grid_names.append(param.name)
            grid_values.append(values)
        else:
            values = [convert(value)]
        lists.append(values)
    combos = list(itertools.product(*lists))
    for combo in combos:
        _check(ind, {p.name: v for p, v in zip(ind.params, combo)})
    table = np.array(combos, dtype=np.float64).reshape(len(combos), len(ind.params))
    return grid_names, grid_values, table


# ---------------------------------------------------------------------------
# Price inputs.

# Samples a thread computes at least before threads=None starts another. Starting and joining
# a native thread costs tens of microseconds, and up to a few tenths of a millisecond where the
# other processor sat idle (a virtual machine's is woken by its host), which a smaller share
# does not repay: on 2 processors two threads overtook one from about 2 x 2**17 samples of
# EMA, ATR and SuperTrend (0.3 ms on one thread), 2 x 2**16 of ADX and 2 x 2**15 of the
# window indicators, whose steps cost more a sample.
_THREAD_SAMPLES = {"EMA": 1 << 17, "ATR": 1 << 17, "SUPERTREND": 1 << 17, "ADX": 1 << 16,
                   "STOCHASTIC": 1 << 15, "NORMALIZED_T3": 1 << 15}


def _threads(threads) -> int | None:
    """The thread count asked for, checked; None where the call's size decides."""
    if threads is None:
        return None
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


def _auto_threads(name: str, samples: int) -> int:
    wanted = samples // _THREAD_SAMPLES[name]
    if wanted <= 1:
        return 1  # without asking os.cpu_count(), which takes microseconds here
    return min(os.cpu_count() or 1, wanted)


def _as_float64(values, label: str) -> np.ndarray:
    if values.dtype == np.float64:
        return values  # read in place, whatever its memory order
    if values.dtype.kind not in "biuf":
        raise TypeError(f"{label} is not numeric (dtype {values.dtype})")
    return values.astype(np.float64)


def _float64_blocks(frame) -> bool:
    """Whether pandas holds every column of `frame` in float64 NumPy blocks, where it shows
    its blocks (False where it does not, or holds any other kind).

    A frame's columns of one dtype lie in a few blocks, so this asks a few blocks where
    frame.dtypes makes a Series of every column's and a set of those hashes each: on 5,000
    columns 0.3 us against 330 (a wide F-order ATR call of three such frames takes 2.4 ms in
    all)."""
    blocks = getattr(getattr(frame, "_mgr", None), "blocks", None)
    if not isinstance(blocks, tuple) or not blocks:
        return False
    return all(isinstance(getattr(b, "values", None), np.ndarray) and b.values.dtype == _FLOAT64
               for b in blocks)


def _price_array(x, name: str) -> np.ndarray:
    """One price input as a 1-D or 2-D float64 array (a view where it already is one)."""
    if isinstance(x, pd.DataFrame):
        # Each dtype is checked once, not each column: a universe has thousands of columns of
        # one or a few dtypes, and the checks take microseconds each (5,000 columns took 9 ms
        # checked one by one, against 0.5 ms for the whole EMA call on the same numbers).
        if _float64_blocks(x):
            return x.to_numpy(dtype=np.float64)
        dtypes = x.dtypes
        kinds = set(dtypes.to_numpy())  # from the array: a Series iterates several times slower
        bad = {dtype for dtype in kinds
               if not (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype))}
        if bad:
            column, dtype = next((column, dtype) for column, dtype in dtypes.items() if dtype in bad)
            raise TypeError(f"column {column!r} of {name} is not numeric (dtype {dtype})")
        if kinds == {_FLOAT64}:
            return x.to_numpy(dtype=np.float64)
        return x.to_numpy(dtype=np.float64, na_value=np.nan)
    if isinstance(x, pd.Series):
        if pd.api.types.is_numeric_dtype(x.dtype) and not isinstance(x.dtype, np.dtype):
            return x.to_numpy(dtype=np.float64, na_value=np.nan)  # nullable dtypes: NA is NaN
        values = x.to_numpy()
    else:
        values = np.asarray(x)
    if values.ndim not in (1, 2):
        raise ValueError(f"{name} has {values.ndim} dimensions; expected 1 (one series) or 2 "
                         "(rows = time, columns = series)")
    return _as_float64(values, name)


def _inputs(ind: _Indicator, given):
    arrays = [_price_array(x, name) for x, name in zip(given, ind.inputs)]
    for name, array in zip(ind.inputs[1:], arrays[1:]):
        if array.shape != arrays[0].shape:
            raise ValueError(f"{ind.inputs[0]} and {name} differ in shape: "
                             f"{arrays[0].shape} and {array.shape}")
    return arrays


# The indicators whose long form runs row by row through their per-sample step.
_STEPS = ("EMA", "ATR", "ADX", "SUPERTREND")


def _arrow_chunks(values):
    """The chunks of Arrow string or binary data as factorize_arrow takes them, or None when
    `values` holds no such data (pyarrow is imported only where pandas already holds Arrow
    data, or where the keys are pyarrow's own arrays)."""
    pa = sys.modules.get("pyarrow")
    if pa is None:
        return None
    if isinstance(values, pa.ChunkedArray):
        chunks = values.chunks
    elif isinstance(values, pa.Array):
        chunks = [values]
    else:
        dtype = getattr(values, "dtype", None)
        arrow = (isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow") or (
            isinstance(dtype, pd.ArrowDtype))
        if not arrow or not hasattr(values, "__arrow_array__"):
            return None
        data = values.__arrow_array__()
        chunks = data.chunks if isinstance(data, pa.ChunkedArray) else [data]
    out = []
    for chunk in chunks:
        kind = chunk.type
        if pa.types.is_string(kind) or pa.types.is_binary(kind):
            large = False
        elif pa.types.is_large_string(kind) or pa.types.is_large_binary(kind):
            large = True
        else:
            return None
        validity, offsets, data = chunk.buffers()
        out.append((len(chunk), chunk.offset, validity, offsets, data, large))
    return out


def _code_dtype(rows: int):
    """The key codes' dtype: int32 (less memory to write and read) where it can number the rows."""
    return np.int32 if rows < 2**31 else np.int64


def _pandas_codes(values):
    """pandas' numbering, its missing values one key (some pandas releases still mark NaT -1)."""
    codes, uniques = pd.factorize(values, use_na_sentinel=False)
    codes = codes.astype(np.int64, copy=False)
    count = len(uniques)
    if count < len(codes) and (codes < 0).any():
        codes = np.where(codes < 0, count, codes)
        count += 1
    return codes, count


def _key_codes(by, rows: int, threads: int = 1):
    """(codes, number of keys): row r's key numbered in the order of first appearance; missing
    keys (NaN, None, NaT, an Arrow null) are one key of their own, as the other keys are.
    Numbers, dates and Arrow or fixed-width strings are numbered on `threads` threads."""
    if isinstance(by, (pd.Series, pd.Index)):
        if len(by) != rows:
            raise ValueError(f"by has {len(by)} keys for {rows} rows")
        dtype = by.dtype
        if isinstance(dtype, pd.CategoricalDtype):
            values = pd.Categorical(by)
            codes = values.codes.astype(_code_dtype(rows))
            missing = len(values.categories)
            codes[codes < 0] = missing
            return codes, missing + 1
        by = by.array
        if not isinstance(dtype, np.dtype):
            chunks = _arrow_chunks(by)
            if chunks is not None:
                codes = np.empty(rows, dtype=_code_dtype(rows))
                return codes, _lanes.factorize_arrow(chunks, codes, threads)
            if not (isinstance(dtype, pd.StringDtype) and dtype.storage == "python"):
                # Nullable numbers, dates with a time zone, periods, intervals, other Arrow
                # types: pandas numbers them (its missing values one key).
                return _pandas_codes(by)
        keys = by.to_numpy()
    else:
        chunks = _arrow_chunks(by)
        if chunks is not None:
            codes = np.empty(rows, dtype=_code_dtype(rows))
            if len(codes) != sum(c[0] for c in chunks):
                raise ValueError(f"by has {sum(c[0] for c in chunks)} keys for {rows} rows")
            return codes, _lanes.factorize_arrow(chunks, codes, threads)
        keys = np.asarray(by)
    if keys.ndim != 1:
        raise ValueError(f"by must be 1-D, not {keys.ndim}-D")
    if len(keys) != rows:
        raise ValueError(f"by has {len(keys)} keys for {rows} rows")
    kind = keys.dtype.kind
    if not keys.dtype.isnative:
        keys = keys.astype(keys.dtype.newbyteorder("="))
    if kind in "mM":
        keys = keys.view(np.int64)  # NaT is one value, the smallest int64
    elif kind not in "biuOSU" and not (kind == "f" and keys.dtype.itemsize in (4, 8)):
        return _pandas_codes(keys)
    codes = np.empty(rows, dtype=_code_dtype(rows))
    return codes, _lanes.factorize(keys, codes, threads)


def _first_index(given, kind):
    for x in given:
        if isinstance(x, kind):
            return x.index
    return None


# ---------------------------------------------------------------------------
# Results.

def _level(values):
    """The (codes, categories) that MultiIndex.from_product makes of one level, or None where
    its own path differs (a categorical level)."""
    if isinstance(getattr(values, "dtype", None), pd.CategoricalDtype):
        return None
    cat = pd.Categorical(values, ordered=False)
    return cat.codes, cat.categories


# The factorization of each multi-output indicator's output level, by the dtype pandas
# gives its names now (object or str, which an option of pandas 2 may switch, and the str
# dtype's storage, another option).
_output_levels: dict = {}

try:  # pandas' own test of its string inference (pandas 2.3 on)
    from pandas._config import using_string_dtype as _using_strings
except ImportError:
    _using_strings = None


def _label_dtype():
    """The dtype pandas gives an Index of strings now: from its test of its inference and
    the str dtype its options make (a few microseconds), else from such an Index (tens)."""
    if _using_strings is not None:
        if not _using_strings():
            return np.dtype(object)
        try:
            return pd.StringDtype(na_value=np.nan)
        except TypeError:
            pass
    return pd.Index(["a"]).dtype


# The levels and codes of the column indexes made lately, by what they were made of: a call
# over the same columns again (the same Index, or a RangeIndex of the same range) gets a
# MultiIndex of its own over the same levels and codes, its series not factorized again
# (about 0.1 ms of a call with several outputs). An entry holds the Index objects it was
# made of, so that their ids stay theirs.
_recent_columns: dict = {}
_RECENT_COLUMNS = 16


def _columns_key(level_values: list, label, at: int):
    """What the columns of `level_values` are made of, as a key of _recent_columns (level `at`
    the output level, `label` its key in _output_levels); None where another level is not a
    flat Index."""
    parts = []
    for k, values in enumerate(level_values):
        if k == at:
            parts.append(label)
        elif type(values) is pd.RangeIndex:
            parts.append((values.start, values.stop, values.step))
        elif isinstance(values, pd.Index) and not isinstance(values, pd.MultiIndex):
            parts.append(id(values))
        else:
            return None
    return tuple(parts)


def _columns(level_values: list, names: list, outputs: tuple = (), at: int = -1):
    """pd.MultiIndex.from_product(level_values, names=names), built from the levels'
    factorizations without from_product's integrity checks of the codes it makes itself (a
    few tenths of a millisecond a call); level `at`, if any, is the indicator's `outputs`."""
    if len(level_values) == 1:
        return pd.Index(level_values[0], name=names[0], tupleize_cols=False)
    label = (outputs, _label_dtype()) if 0 <= at < len(level_values) else None
    key = _columns_key(level_values, label, at)
    recent = _recent_columns.get(key) if key is not None else None
    if recent is not None:
        _, levels, codes = recent
        return pd.MultiIndex(levels=levels, codes=codes, names=names, verify_integrity=False)
    parts = []
    for k, values in enumerate(level_values):
        if k == at:
            part = _output_levels.get(label)
            if part is None:
                part = _output_levels.setdefault(label, _level(values))
        else:
            part = _level(values)
        if part is None:
            return pd.MultiIndex.from_product(level_values, names=names)
        parts.append(part)
    sizes = [len(level_codes) for level_codes, _ in parts]
    codes = []
    for k, (level_codes, _) in enumerate(parts):
        inner = math.prod(sizes[k + 1:])
        outer = math.prod(sizes[:k])
        codes.append(np.tile(np.repeat(level_codes, inner), outer))
    levels = [categories for _, categories in parts]
    if key is not None:
        while len(_recent_columns) >= _RECENT_COLUMNS:
            try:  # the oldest out; another thread may change the cache meanwhile
                _recent_columns.pop(next(iter(_recent_columns)), None)
            except (RuntimeError, StopIteration):
                break
        _recent_columns[key] = (list(level_values), levels, codes)
    return pd.MultiIndex(levels=levels, codes=codes, names=names, verify_integrity=False)


def _empty(shape: tuple, dtype):
    """np.empty(shape, dtype) for 8-byte items; a large one's memory is kept for a later call
    once its arrays are freed (a fresh mapping costs more than the arithmetic written into it)."""
    nbytes = 8 * math.prod(shape)
    if nbytes < _BLOCK_MIN:
        return np.empty(shape, dtype=dtype)
    return np.frombuffer(_lanes.block(nbytes), dtype=dtype).reshape(shape)


_BLOCK_MIN = _lanes.BLOCK_MIN


def _allocate(ind: _Indicator, rows: int, tail: tuple, columns: bool = False):
    """The output arrays of a call, (rows, combos[, series]) each, and the block they share
    when every output is float64 (outputs on the axis after the combos). With `columns`
    each column's rows lie together (F order, pandas' own layout of a block)."""
    n_out = len(ind.outputs)

    def empty(shape, dtype):
        if not columns:
            return _empty(shape, dtype)
        return _empty(shape[1:] + shape[:1], dtype).transpose((len(shape) - 1,) + tuple(range(len(shape) - 1)))

    if not ind.int_outputs:
        block = empty((rows, tail[0], n_out) + tail[1:], np.float64)
        return block, [block[:, :, o] for o in range(n_out)]
    outputs = [empty((rows,) + tail, np.int64 if name in ind.int_outputs else np.float64)
               for name in ind.outputs]
    return None, outputs


def _flat(array):
    """A (rows, ...) array as (rows, columns), columns in C order (a view)."""
    return array.reshape(array.shape[0], math.prod(array.shape[1:]))


try:  # pandas 3 on: a frame made straight from its blocks and their column positions
    from pandas.api.internals import create_dataframe_from_blocks as _from_blocks
except ImportError:
    _from_blocks = None


def _frame(block, outputs, index, columns):
    """The DataFrame whose columns, in the order (combo, output[, series]), hold `outputs`."""
    if block is not None:
        return pd.DataFrame(_flat(block), index=index, columns=columns, copy=False)
    # Mixed dtypes (SuperTrend's int64 direction): a block per output, its columns placed
    # combination by combination; where pandas cannot take blocks, one frame per output,
    # then the columns interleaved (a copy).
    flats = [_flat(o) for o in outputs]
    combos = outputs[0].shape[1]
    width = flats[0].shape[1] // combos  # columns of one output under one combination
    if _from_blocks is not None:
        at = (np.arange(combos)[:, None] * (len(outputs) * width) + np.arange(width)).ravel()
        return _from_blocks([(f.T, at + o * width) for o, f in enumerate(flats)], index=index,
                            columns=columns)
    frame = pd.concat([pd.DataFrame(f, index=index, copy=False) for f in flats], axis=1,
                      ignore_index=True)
    if combos > 1:
        per_output = combos * width
        order = [o * per_output + p * width + s
                 for p in range(combos) for o in range(len(outputs)) for s in range(width)]
        frame = frame.iloc[:, order]
    frame.columns = columns
    return frame


def _compute(name: str, prices, params, by, threads):
    ind = _TABLE[name]
    grid_names, grid_values, table = _parameters(ind, params)
    count = _threads(threads)
    arrays = _inputs(ind, prices)
    combos = table.shape[0]
    if count is None:
        count = _auto_threads(name, arrays[0].size * combos)
    n_out = len(ind.outputs)
    multi = n_out > 1

    if arrays[0].ndim == 2:
        if by is not None:
            raise TypeError("by= takes 1-D price inputs (one long table); the inputs are 2-D")
        return _wide(ind, prices, arrays, table, grid_names, grid_values, count)

    rows = arrays[0].shape[0]
    index = _first_index(prices[:1], pd.Series)
    if by is None:
        if not grid_names:
            # One series and one parameter set: the single function's result type.
            frame = _wide(ind, prices, [a.reshape(rows, 1) for a in arrays], table, [], [], count,
                          index=index)
            if not multi:
                return pd.Series(frame.iloc[:, 0].to_numpy(), index=frame.index, name=ind.outputs[0],
                                 copy=False)
            return frame
        frame = _wide(ind, prices, [a.reshape(rows, 1) for a in arrays], table, grid_names,
                      grid_values, count, index=index, series_level=False)
        return frame

    codes, count_keys = _key_codes(by, rows, count)
    block, outputs = _allocate(ind, rows, (combos,))
    if name in _STEPS:
        # Rows in table order, each advancing its own key's state. Every thread reads every
        # row, which repays itself only for the heavier steps.
        row_threads = count if name in ("ADX", "SUPERTREND") else 1
        _lanes.run(name, tuple(arrays), tuple(outputs), table, codes, count_keys, row_threads)
    else:
        # The window indicators: each key's rows gathered and run as one series.
        order = np.empty(rows, dtype=np.int64)
        starts = np.empty(count_keys + 1, dtype=np.int64)
        _lanes.group(codes, order, starts)
        _lanes.run(name, tuple(arrays), tuple(outputs), table, order, starts, count)
    if index is None:
        index = pd.RangeIndex(rows)
    if not grid_names:
        if not multi:
            return pd.Series(outputs[0][:, 0], index=index, name=ind.outputs[0], copy=False)
        return _frame(block, outputs, index, pd.Index(ind.outputs))
    levels = list(grid_values) + ([list(ind.outputs)] if multi else [])
    names = list(grid_names) + ([None] if multi else [])
    at = len(grid_values) if multi else -1  # the output level
    return _frame(block, outputs, index, _columns(levels, names, ind.outputs, at))


_COLUMN_RESULTS = frozenset({"EMA", "ATR", "ADX", "SUPERTREND"})


def _wide(ind, prices, arrays, table, grid_names, grid_values, count, *, index=None,
          series_level=True):
    rows, series = arrays[0].shape
    combos = table.shape[0]
    multi = len(ind.outputs) > 1
    # Where every input's series lie each in one piece (a DataFrame's block, an F-order
    # array), the step indicators' results do too: a tile then reads and writes each of its
    # series front to back.
    columns = (ind.name in _COLUMN_RESULTS and rows > 1 and series > 1
               and all(a.strides[0] == a.itemsize for a in arrays))
    block, outputs = _allocate(ind, rows, (combos, series), columns)
    _lanes.run(ind.name, tuple(arrays), tuple(outputs), table, None, None, count)

    if index is None and series_level:
        index = _first_index(prices, pd.DataFrame)
    if index is None:
        index = pd.RangeIndex(rows)
    first_frame = next((x for x in prices if isinstance(x, pd.DataFrame)), None)
    series_columns = first_frame.columns if first_frame is not None else pd.RangeIndex(series)
    levels = list(grid_values) + ([list(ind.outputs)] if multi else [])
    names = list(grid_names) + ([None] if multi else [])
    if series_level:
        if not levels:
            return pd.DataFrame(outputs[0].reshape(rows, series), index=index,
                                columns=series_columns.copy(), copy=False)
        # The Index itself where it is flat: from_product factorizes an Index several times
        # faster than the list of its values, with the same levels.
        flat = not isinstance(series_columns, pd.MultiIndex)
        levels.append(series_columns if flat else list(series_columns))
        names.append(series_columns.name)
    if not levels:  # one series, one parameter set: the caller names the result
        return _frame(block, outputs, index, pd.Index(ind.outputs))
    at = len(grid_values) if multi else -1  # the output level
    return _frame(block, outputs, index, _columns(levels, names, ind.outputs, at))


# ---------------------------------------------------------------------------
# The functions.

def EMA(src, period, *, by=None, threads=None):
    """Exponential moving average of many series at once (see the module's help)."""
    return _compute("EMA", (src,), (period,), by, threads)


def STOCHASTIC(high, low, close, k_period=14, d_period=3, *, by=None, threads=None):
    """Stochastic oscillator (%K, %D) of many series at once (see the module's help)."""
    return _compute("STOCHASTIC", (high, low, close), (k_period, d_period), by, threads)


def ADX(high, low, close, di_length=14, adx_smoothing=14, *, by=None, threads=None):
    """ADX with +DI and -DI of many series at once (see the module's help)."""
    return _compute("ADX", (high, low, close), (di_length, adx_smoothing), by, threads)


def SUPERTREND(high, low, close, period=10, multiplier=3.0, *, by=None, threads=None):
    """SuperTrend line and direction of many series at once (see the module's help).

    The ATR under the line is this package's ATR recursion (vantrel.indicators.volatility.ATR).
    """
    return _compute("SUPERTREND", (high, low, close), (period, multiplier), by, threads)


def NORMALIZED_T3(src, period=200, t3_period=2, volume_factor=0.7, *, by=None, threads=None):
    """Normalized T3 oscillator of many series at once (see the module's help)."""
    return _compute("NORMALIZED_T3", (src,), (period, t3_period, volume_factor), by, threads)


def ATR(high, low, close, period=14, *, by=None, threads=None):
    """Average true range of many series at once (see the module's help)."""
    return _compute("ATR", (high, low, close), (period,), by, threads)
