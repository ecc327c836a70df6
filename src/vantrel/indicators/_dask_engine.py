"""``vantrel-indicators compute ... --engine dask``: Parquet or CSV in, Parquet out, per key, with Dask.

The prices are read partition by partition (``dask.dataframe.read_parquet``, or
``read_csv`` for a CSV file or a directory of them), each key's rows are brought into one
partition where they are not already (vantrel.indicators.dask.apply), ordered by the
date/time column (text dates are parsed for that, and written as they are), and the results
are written as one Parquet file per partition into the output directory. Dask's local
scheduler runs the tasks on every core (the indicators release the interpreter lock); its
progress bar goes to stderr when stderr is a terminal. Missing prices get the same one-line
warning as on the pandas road, counted in the same pass.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any

from vantrel.indicators.cli import (COMPRESSIONS, DATE_COLUMNS, PARQUET_SUFFIXES, PROG, Indicator,
                                    UsageError, _first_line, _is_text, _parse_dates, by_column,
                                    is_parquet_output, price_columns)

# Where the rows of each key are ordered when the date/time column holds text: its values
# parsed, as UTC; not written.
_TIME = "__vantrel_time__"
# Compressions Dask reads, by the name cli.COMPRESSIONS gives them.
_DASK_COMPRESSIONS = {"gzip": "gzip", "bzip2": "bz2", "xz": "xz", "zstd": "zstd"}


def _data_files(directory: str) -> list[str]:
    """The files under a directory, at any depth, as pyarrow sees them (names that start with
    '.' or '_' are skipped), in a stable order."""
    return sorted(os.path.join(root, name) for root, _, names in os.walk(directory)
                  for name in names if not name.startswith((".", "_")))


def _is_csv_name(path: str) -> bool:
    name = path.lower()
    return any(name.endswith(".csv" + suffix) for suffix in ("", ".gz", ".bz2", ".xz", ".zst"))


def _compression(path: str) -> str | None:
    """The compression of a CSV file, told by its first bytes as the pandas road tells it."""
    with open(path, "rb") as probe:
        head = probe.read(6)
    kind = next((c for magic, c in COMPRESSIONS.items() if head.startswith(magic)), None)
    if kind is None:
        return None
    if kind[0] not in _DASK_COMPRESSIONS:
        raise UsageError(f"--engine dask cannot read {kind[0]} files like {path!r}: "
                         "use --engine pandas")
    return _DASK_COMPRESSIONS[kind[0]]


def _read_csv(files: list[str], label: str, dtype: dict[str, str] | None = None) -> Any:
    import dask.dataframe as dd

    from vantrel.indicators.data import exact_floats

    kinds = {_compression(f) for f in files}
    if len(kinds) > 1:
        raise UsageError(f"the CSV files of {label} are compressed in different ways")
    compression = kinds.pop()
    try:
        # A compressed file cannot be split into blocks: one partition per file.
        # Each decimal parsed into the double nearest to it, as on the pandas road.
        return dd.read_csv(files, compression=compression, encoding="utf-8-sig", dtype=dtype,
                           **exact_floats(), **({"blocksize": None} if compression else {}))
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read {label} as CSV: {_first_line(exc)}") from None


def _read(path: str) -> tuple[Any, list[str] | None]:
    """The frame of prices, and its CSV files (None for Parquet)."""
    try:
        import dask.dataframe as dd
    except ImportError:
        raise UsageError("--engine dask needs Dask: pip install "
                         "'vantrel-indicators[dask]'") from None
    if not os.path.exists(path):
        raise UsageError(f"input file {path!r} does not exist")
    label = repr(path)
    if os.path.isdir(path):
        files = _data_files(path)
        if not files:
            raise UsageError(f"cannot read {path!r}: it is a directory with no data files")
        csv = [f for f in files if _is_csv_name(f)]
        if csv and len(csv) < len(files):
            raise UsageError(f"{path!r} holds CSV files and other files; --engine dask reads "
                             "a directory of Parquet files or one of CSV files")
        if csv:
            return _read_csv(csv, label), csv
    elif not path.lower().endswith(PARQUET_SUFFIXES):
        return _read_csv([path], label), [path]
    try:
        ddf = dd.read_parquet(path)
    except (OSError, ValueError) as exc:
        raise UsageError(f"cannot read {path!r} as Parquet: {_first_line(exc)}") from None
    # A stored index (the dates, say) becomes a column like any other, as on the pandas road.
    return (ddf if ddf.index.name is None else ddf.reset_index()), None


def _times(text: Any, dayfirst: bool) -> Any:
    """One partition's date/time text as UTC times, for ordering each key's rows."""
    import pandas as pd

    parsed = _parse_dates(text.reset_index(drop=True), dayfirst)
    if parsed.isna().any():
        row = int(parsed.isna().to_numpy().argmax())
        value = text.iloc[row]
        if pd.isna(value):
            raise UsageError(f"column {text.name!r} has an empty value")
        raise UsageError(f"column {text.name!r} holds a value that is not a date or time: "
                         f"{value!r}")
    if parsed.dt.tz is not None:
        parsed = parsed.dt.tz_convert("UTC").dt.tz_localize(None)
    return pd.Series(parsed.to_numpy(dtype="M8[ns]"), index=text.index, name=_TIME)


def _missing_warning(ind: Indicator, rows: int, per_column: Any) -> str | None:
    """One line on the rows with an empty price, or None."""
    if rows == 0:
        return None
    columns = " and ".join(repr(c) for c, n in per_column.items() if n)
    return (f"{PROG}: warning: column {columns} is empty in {rows} row{'s' * (rows > 1)}; a key's "
            f"output rows from its first such row on may be NaN{ind.on_missing} (--dropna drops "
            "such rows first)\n")


def compute_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    if args.input is None or args.input == "-":
        raise UsageError("--engine dask reads Parquet or CSV files: pass --input")
    if args.by is None:
        raise UsageError("--engine dask computes each key on its own rows: pass --by COLUMN")
    if not is_parquet_output(args.output):
        raise UsageError("--engine dask writes Parquet: pass --output DIRECTORY/")
    ddf, csv_files = _read(args.input)
    label = repr(args.input)
    frame = ddf._meta
    names, inputs = price_columns(frame, ind, getattr(args, "source", "close"), label)
    key = by_column(frame, names, args.by, label)
    date = next((names[d] for d in DATE_COLUMNS if d in names), None)
    prices = [names[w] for w in inputs]
    if csv_files is not None:
        # Read again with the prices as float64: the types Dask infers from the first block
        # would make a later block that holds a decimal (or an empty price) fail.
        ddf = _read_csv(csv_files, label, {p: "float64" for p in prices})
    if args.dropna:
        ddf = ddf.dropna(subset=prices)
    order = date
    if date is not None and _is_text(frame[date]):
        import pandas as pd

        ddf = ddf.assign(**{_TIME: ddf[date].map_partitions(
            _times, bool(args.dayfirst), meta=pd.Series([], dtype="M8[ns]", name=_TIME))})
        order = _TIME
    from vantrel.indicators import dask as vdask

    columns = dict(zip(ind.inputs, prices))
    keep = [date, key] if date is not None else [key]
    empty = ddf[prices].isna()
    progress: contextlib.AbstractContextManager[Any] = contextlib.nullcontext()
    if sys.stderr.isatty():
        from dask.diagnostics import ProgressBar

        progress = ProgressBar(out=sys.stderr)
    try:
        with progress:
            result = vdask.apply(ddf, ind.function, by=key, order=order, columns=columns,
                                 keep=keep, **params)
            import dask

            # The write and the count of empty prices in one pass over the input.
            _, rows, per_column = dask.compute(result.to_parquet(args.output, write_index=False,
                                                                 compute=False),
                                               empty.any(axis=1).sum(), empty.sum())
    except (ValueError, TypeError, OverflowError) as exc:
        raise UsageError(f"{ind.function}: {_first_line(exc)}") from None
    except OSError as exc:
        raise UsageError(f"cannot write {args.output!r}: {exc.strerror or exc}") from None
    warning = _missing_warning(ind, int(rows), per_column)
    if warning:
        sys.stderr.write(warning)
    return 0
