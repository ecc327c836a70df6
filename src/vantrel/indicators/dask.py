"""Indicators over a Dask DataFrame: many symbols, more rows than one machine holds.

    import dask.dataframe as dd
    from vantrel.indicators import dask as vdask

    prices = dd.read_parquet("prices/")                    # columns symbol, time, high, low, close
    adx = vdask.apply(prices, "ADX", by="symbol", order="time", di_length=14)
    adx.to_parquet("adx/")

Every key's rows must sit in one partition. `apply` leaves the partitions as they are (the
cheap case: no data moves) when it knows they already are so:

- the index is `by` with known divisions (``set_index(by)``, or
  ``read_parquet(..., index=by, calculate_divisions=True)`` over files written sorted by it);
- the frame came out of ``ddf.shuffle(on=by)`` (Dask records that partitioning);
- ``partitioned=True``: the caller says so;
- by default it looks: one pass over the key columns alone finds whether any key has rows in
  two partitions. A Parquet dataset written partitioned by the key (``symbol=AAPL/...``, as
  ``pyarrow.parquet.write_to_dataset(..., partition_cols=["symbol"])`` writes it) passes, and
  reads its keys from the paths.

Otherwise (or with ``partitioned=False``) it moves the rows with Dask's own shuffle on `by`.

Each partition then goes through the batch function's ``by=`` call (one thread per task:
Dask's workers give the parallelism), so every value is bit for bit what
``vantrel.indicators.batch.<NAME>(..., by=keys)`` returns on the whole table in memory, and
what the single-series function returns on that key's rows alone.

Row order within a key is the time order of the computation. With ``order=`` the rows of each
key are taken in that column's order (a stable sort; the rows keep their places in the
result). Without it they are taken in the order of `ddf`: partition by partition, row by row;
`apply`'s own shuffle keeps that order. A shuffle made beforehand does not keep it, so a frame
that came out of ``shuffle(on=by)`` needs ``order=``.

The result holds the indicator's output columns (a DataFrame also for one output), after the
columns of `ddf` named by ``keep=`` (the key and the time, say), and each row keeps its index
label. In the cheap case its partitions are those of `ddf` row for row; after a shuffle the
rows come partition by key. ``keep=`` is the way to have other columns beside the results:
they come out of the same task, whatever Dask's optimizer does to the partitions of two
separate reads.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any, cast

import numpy as np
import pandas as pd

import vantrel.indicators as _package
from vantrel.indicators import batch as _batch

__all__ = ["apply"]

# The column a one-series indicator reads by default.
DEFAULT_SOURCE = "close"
# Row numbers that survive a shuffle: the input partition in the high bits, the row below.
# (Dask's shuffles deliver rows in input order today, but do not promise it; the numbers
# make the order of each key's rows independent of the shuffle method.)
_ROW = "__vantrel_row__"
_ROW_BITS = 40



def _indicator_name(indicator: str | Callable[..., Any]) -> str:
    """"ADX", "adx", "Normalized-T3", or one of the package's functions -> "ADX" and so on."""
    names = list(_batch._TABLE)
    if isinstance(indicator, str):
        name = indicator.strip().upper().replace("-", "_")
        if name not in names:
            raise ValueError(f"unknown indicator {indicator!r} (indicators: {', '.join(names)})")
        return name
    for name in names:
        if indicator is getattr(_batch, name) or indicator is getattr(_package, name):
            return name
    raise TypeError(f"indicator must be an indicator's name or one of this package's "
                    f"functions, not {indicator!r}")


def _labels(value: Hashable | Sequence[Hashable] | None) -> list[Hashable]:
    if value is None:
        return []
    if isinstance(value, (list, tuple)):
        return list(value)
    return [value]


def _price_columns(name: str, frame_columns: Sequence[Hashable],
                   columns: Mapping[str, Hashable] | None) -> list[Hashable]:
    """The frame's column for each price input of `name`, in the function's argument order."""
    inputs = _batch._TABLE[name].inputs
    columns = dict(columns or {})
    unknown = sorted(set(columns) - set(inputs))
    if unknown:
        raise ValueError(f"columns= names {', '.join(map(repr, unknown))}, which {name} does "
                         f"not read (its prices: {', '.join(inputs)})")
    by_lower: dict[str, list[Hashable]] = {}
    for column in frame_columns:
        by_lower.setdefault(str(column).strip().lower(), []).append(column)
    chosen = []
    for price in inputs:
        if price in columns:
            column = columns[price]
            if column not in frame_columns:
                raise ValueError(f"no {column!r} column for {name}'s {price} (columns: "
                                 f"{_listing(frame_columns)})")
            chosen.append(column)
            continue
        wanted = DEFAULT_SOURCE if price == "src" else price
        found = by_lower.get(wanted, [])
        if len(found) != 1:
            what = (f"columns {' and '.join(map(repr, found))} both match" if found
                    else "no column matches")
            raise ValueError(f"{what} {wanted!r} for {name}'s {price} (columns: "
                             f"{_listing(frame_columns)}); name it with columns={{{price!r}: ...}}")
        chosen.append(found[0])
    return chosen


def _listing(columns: Sequence[Hashable]) -> str:
    return ", ".join(map(repr, columns)) or "none"


def _fixed_params(name: str, params: dict[str, Any]) -> dict[str, Any]:
    known = [p.name for p in _batch._TABLE[name].params]
    unknown = [k for k in params if k not in known]
    if unknown:
        raise TypeError(f"{name} has no parameter {unknown[0]!r} (parameters: "
                        f"{', '.join(known)})")
    grids = [k for k, v in params.items() if _batch._is_grid(v)]
    if grids:
        raise TypeError(f"{grids[0]} takes one value here; call apply once per parameter set")
    return params


# ---------------------------------------------------------------------------
# What runs on the workers (module-level functions, so that they pickle by reference).


def _number_rows(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    """`part` with its rows numbered in `ddf`'s order, so that a shuffle cannot reorder them."""
    number = 0 if partition_info is None else int(partition_info["number"])
    rows = (np.int64(number) << np.int64(_ROW_BITS)) + np.arange(len(part), dtype=np.int64)
    return part.assign(**{_ROW: rows})


def _restore_order(part: pd.DataFrame) -> pd.DataFrame:
    """A shuffled partition back in `ddf`'s row order, without the row numbers."""
    rows = part[_ROW].to_numpy()
    return part.iloc[np.argsort(rows, kind="stable")].drop(columns=_ROW)


def _key_columns(part: pd.DataFrame, by: list[Hashable]) -> dict[int, Any]:
    return {i: part[k] if k in part.columns else part.index.to_series() for i, k in enumerate(by)}


def _keys(part: pd.DataFrame, by: list[Hashable]) -> Any:
    """The keys of each row as the batch call takes them: one key column as it is (the batch
    call numbers its values itself, fastest from the column), several as one group number."""
    columns = _key_columns(part, by)
    if len(columns) == 1:
        return columns[0].reset_index(drop=True)
    frame = pd.DataFrame({i: c.to_numpy() for i, c in columns.items()})
    return frame.groupby(list(frame.columns), sort=False, dropna=False).ngroup().to_numpy()


def _partition_keys(part: pd.DataFrame, by: list[Hashable]) -> pd.DataFrame:
    """The distinct keys of one partition."""
    return pd.DataFrame({i: c.to_numpy() for i, c in _key_columns(part, by).items()}
                        ).drop_duplicates()


def _compute_partition(part: pd.DataFrame, name: str, prices: list[Hashable], by: list[Hashable],
                       order: list[Hashable], params: dict[str, Any],
                       keep: list[Hashable]) -> pd.DataFrame:
    """The indicator over one partition, key by key, on the partition's rows, after the
    columns `keep`."""
    keys = _keys(part, by)
    arrays = [part[c] for c in prices]
    take = None
    if order:
        ordered = part[order].reset_index(drop=True).sort_values(cast(list[str], order),
                                                                kind="stable")
        take = ordered.index.to_numpy()
        if (take == np.arange(len(take))).all():
            take = None
        else:
            keys = keys[take] if isinstance(keys, np.ndarray) else keys.iloc[take].reset_index(drop=True)
            arrays = [a.iloc[take] for a in arrays]
    arrays = [a.reset_index(drop=True) for a in arrays]
    result = getattr(_batch, name)(*arrays, **params, by=keys, threads=1)
    if isinstance(result, pd.Series):
        result = result.to_frame()
    if take is not None:
        back = np.empty_like(take)
        back[take] = np.arange(len(take))
        result = result.iloc[back]
    result = result.set_axis(part.index, axis=0)
    if keep:
        result = pd.concat([part[keep], result], axis=1)
    return result


# ---------------------------------------------------------------------------
# The graph.


def _check_columns(ddf: Any, labels: list[Hashable], role: str, index: bool = True) -> None:
    for label in labels:
        if label not in ddf.columns and not (index and label == ddf.index.name):
            raise ValueError(f"no {label!r} column for {role} (columns: "
                             f"{_listing(list(ddf.columns))})")


def _partitioned_by(ddf: Any, by: list[Hashable]) -> str | None:
    """How `ddf` is already partitioned by `by`: "index", "shuffle", or None (it is not)."""
    if len(by) == 1 and by[0] == ddf.index.name and by[0] not in ddf.columns \
            and ddf.known_divisions:
        return "index"
    expr = getattr(ddf, "expr", None)
    recorded: set[Any] = getattr(expr, "unique_partition_mapping_columns_from_shuffle", set())
    if tuple(by) in recorded or (len(by) == 1 and by[0] in recorded):
        return "shuffle"
    return None


def _keys_apart(ddf: Any, by: list[Hashable]) -> bool:
    """Whether no key has rows in two partitions: one pass over the key columns only (a
    Parquet dataset written partitioned by the key reads them from its paths)."""
    meta = pd.DataFrame({i: pd.Series(dtype=object) for i in range(len(by))})
    found = ddf[by].map_partitions(_partition_keys, by, meta=meta, enforce_metadata=False)
    return not found.compute().duplicated().any()


def _by_key(ddf: Any, by: list[Hashable]) -> Any:
    """`ddf` with every key's rows in one partition, in `ddf`'s order (with Dask's shuffle)."""
    numbered = ddf.map_partitions(_number_rows, meta=_number_rows(ddf._meta))
    return numbered.shuffle(on=by).map_partitions(_restore_order, meta=ddf._meta)


def apply(ddf: Any, indicator: str | Callable[..., Any], *, by: Hashable | Sequence[Hashable],
          order: Hashable | Sequence[Hashable] | None = None,
          columns: Mapping[str, Hashable] | None = None,
          keep: Hashable | Sequence[Hashable] | None = None, partitioned: bool | None = None,
          **params: Any) -> Any:
    """The indicator over each key's rows of the Dask DataFrame `ddf` (see the module's help).

    indicator: a name ("ADX", case-insensitive) or one of the package's functions.
    by: the key column (or columns, or the index's name), e.g. "symbol".
    order: the column (or columns) that orders each key's rows, e.g. "time"; default: the
        frame's own row order.
    columns: the column of each price input ({"high": "High", "src": "mid"}); default: the
        inputs' own names in any case ("close" for a one-series indicator's src).
    keep: columns of `ddf` to carry in front of the results, e.g. ["symbol", "time"].
    partitioned: whether every key's rows already sit in one partition; default: look.
    params: the indicator's parameters (di_length=14, ...), one value each.

    Returns a Dask DataFrame of the indicator's output columns, each row under its label in
    `ddf`. Every mistake in the arguments (a missing column, an unknown parameter) raises
    here, before any task runs.
    """
    name = _indicator_name(indicator)
    params = _fixed_params(name, params)
    keys, order_by, kept = _labels(by), _labels(order), _labels(keep)
    if not keys:
        raise ValueError("by= names no column")
    prices = _price_columns(name, list(ddf.columns), columns)
    _check_columns(ddf, keys, "by=")
    _check_columns(ddf, order_by, "order=")
    _check_columns(ddf, kept, "keep=", index=False)
    args = (name, prices, keys, order_by, params, kept)
    # The meta is the computation on an empty partition: the dtypes, names and order of the
    # columns as a partition returns them; a rejected parameter raises here, before any task.
    meta = _compute_partition(ddf._meta, *args)
    how = _partitioned_by(ddf, keys)
    if how is None:
        if any(k not in ddf.columns for k in keys):
            raise ValueError(f"by= names the index {ddf.index.name!r}, whose divisions are "
                             "unknown: set_index it first, or make it a column")
        if partitioned is None:
            partitioned = _keys_apart(ddf, keys)
        how = "keys apart" if partitioned else None
    if how == "shuffle" and not order_by:
        raise ValueError(f"the frame was shuffled by {by!r}, which does not keep its rows in "
                         "order: pass order= (the time column)")
    frame = ddf if how else _by_key(ddf, keys)
    return frame.map_partitions(_compute_partition, *args, meta=meta, enforce_metadata=False,
                                align_dataframes=False)
