"""``vantrel-indicators compute ... --engine dask``: Parquet in, Parquet out, per key, with Dask.

The prices are read partition by partition (``dask.dataframe.read_parquet``), each key's rows
are brought into one partition where they are not already (vantrel.indicators.dask.apply),
ordered by the date/time column, and the results are written as one Parquet file per
partition into the output directory. Dask's local scheduler runs the tasks on every core
(the indicators release the interpreter lock); its progress bar goes to stderr when stderr is
a terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any

from vantrel.indicators.cli import (DATE_COLUMNS, PARQUET_SUFFIXES, Indicator, UsageError,
                                    _first_line, _is_text, by_column, is_parquet_output,
                                    price_columns)


def _read(path: str) -> Any:
    try:
        import dask.dataframe as dd
    except ImportError:
        raise UsageError("--engine dask needs Dask: pip install "
                         "'vantrel-indicators[dask]'") from None
    if not os.path.exists(path):
        raise UsageError(f"input file {path!r} does not exist")
    if not (os.path.isdir(path) or path.lower().endswith(PARQUET_SUFFIXES)):
        raise UsageError(f"--engine dask reads Parquet (a .parquet file or a directory), not "
                         f"{path!r}: use --engine pandas")
    try:
        ddf = dd.read_parquet(path)
    except (OSError, ValueError) as exc:
        raise UsageError(f"cannot read {path!r} as Parquet: {_first_line(exc)}") from None
    # A stored index (the dates, say) becomes a column like any other, as on the pandas road.
    return ddf if ddf.index.name is None else ddf.reset_index()


def compute_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    if args.input is None or args.input == "-":
        raise UsageError("--engine dask reads a Parquet file or directory: pass --input")
    if args.by is None:
        raise UsageError("--engine dask computes each key on its own rows: pass --by COLUMN")
    if not is_parquet_output(args.output):
        raise UsageError("--engine dask writes Parquet: pass --output DIRECTORY/")
    ddf = _read(args.input)
    label = repr(args.input)
    frame = ddf._meta
    names, inputs = price_columns(frame, ind, getattr(args, "source", "close"), label)
    key = by_column(frame, names, args.by, label)
    date = next((names[d] for d in DATE_COLUMNS if d in names), None)
    if date is not None and _is_text(frame[date]):
        raise UsageError(f"column {date!r} holds text; --engine dask orders each key's rows by "
                         "a timestamp or number column (--engine pandas reads dates as text)")
    prices = [names[w] for w in inputs]
    if args.dropna:
        ddf = ddf.dropna(subset=prices)
    from vantrel.indicators import dask as vdask

    columns = dict(zip(ind.inputs, prices))
    keep = [date, key] if date is not None else [key]
    progress: contextlib.AbstractContextManager[Any] = contextlib.nullcontext()
    if sys.stderr.isatty():
        from dask.diagnostics import ProgressBar

        progress = ProgressBar(out=sys.stderr)
    try:
        with progress:
            result = vdask.apply(ddf, ind.function, by=key, order=date, columns=columns,
                                 keep=keep, **params)
            result.to_parquet(args.output, write_index=False)
    except (ValueError, TypeError, OverflowError) as exc:
        raise UsageError(f"{ind.function}: {_first_line(exc)}") from None
    except OSError as exc:
        raise UsageError(f"cannot write {args.output!r}: {exc.strerror or exc}") from None
    return 0
