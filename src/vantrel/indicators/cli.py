"""The ``vantrel-indicators`` command: list the indicators, compute one over a price file, plot it.

    vantrel-indicators list
    vantrel-indicators compute adx                       # synthetic sample, CSV to stdout
    vantrel-indicators compute ema --period 20 --input prices.csv --output ema.csv
    vantrel-indicators compute adx --input long.csv.gz --by symbol   # each symbol on its own
    vantrel-indicators compute adx --input prices/ --by symbol --output out/   # Parquet, on Dask
    vantrel-indicators plot supertrend --output st.png   # needs the 'plot' extra (matplotlib)

Every mistake in the command or the input ends the program with one line on stderr,
``vantrel-indicators: error: ...``, and exit status 2; empty prices get a one-line warning and
leave the exit status alone. NumPy, pandas and the compiled modules
are imported only when a command needs them, and matplotlib only when plotting.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import io
import math
import os
import sys
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, NoReturn

if TYPE_CHECKING:
    import pandas as pd

PROG = "vantrel-indicators"
INT32_MAX = 2**31 - 1
SAMPLE_TITLE = "synthetic sample data (not market prices)"
PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")
ENGINES = ("pandas", "dask")
# Names a date or time column may have, in order of preference (matched case-insensitively).
DATE_COLUMNS = ("date", "datetime", "timestamp", "time")


# ---------------------------------------------------------------------------
# The indicators, their parameters and outputs: the one table the commands read.


@dataclass(frozen=True)
class Param:
    name: str                   # the function's keyword, e.g. "k_period"
    kind: type                  # int (a period) or float (a factor)
    default: float | None       # None: the parameter is required
    help: str
    # Accepted values: periods from 1 up; factors above `above` and at most `at_most`.
    above: float = 0.0
    at_most: float = math.inf

    @property
    def option(self) -> str:
        return "--" + self.name.replace("_", "-")

    def describe(self) -> str:
        if self.default is None:
            return f"{self.option} {self.kind.__name__.upper()} (required)"
        return f"{self.option} {self.kind.__name__.upper()} = {self.default}"


@dataclass(frozen=True)
class Indicator:
    name: str                   # the command-line name, e.g. "supertrend"
    function: str               # the public function, e.g. "SUPERTREND"
    module: str                 # the module that defines it
    inputs: tuple[str, ...]     # ("high", "low", "close"), or ("src",) for one series
    params: tuple[Param, ...]
    outputs: tuple[str, ...]    # result columns (or the Series name)
    summary: str
    # What a missing price does beyond the NaN it leaves, for the command line's warning.
    on_missing: str = ""

    @property
    def single_series(self) -> bool:
        return self.inputs == ("src",)

    def load(self) -> Callable[..., Any]:
        fn: Callable[..., Any] = getattr(importlib.import_module(self.module), self.function)
        return fn


def _period(name: str, default: int | None, help: str) -> Param:
    return Param(name, int, default, help)


INDICATORS: dict[str, Indicator] = {
    ind.name: ind
    for ind in (
        Indicator(
            "ema", "EMA", "vantrel.indicators.ema.ema", ("src",),
            (_period("period", None, "length of the average; the weight of each new value is "
                                     "2/(period+1)"),),
            ("EMA",), "exponential moving average of one series"),
        Indicator(
            "stochastic", "STOCHASTIC", "vantrel.indicators.stochastic.stochastic",
            ("high", "low", "close"),
            (_period("k_period", 14, "bars in the high-low window of %K"),
             _period("d_period", 3, "number of %K values averaged into %D")),
            ("%K", "%D"), "stochastic oscillator: the close within the recent high-low range"),
        Indicator(
            "adx", "ADX", "vantrel.indicators.adx.adx", ("high", "low", "close"),
            (_period("di_length", 14, "smoothing period of true range and directional movement"),
             _period("adx_smoothing", 14, "smoothing period of DX into the ADX")),
            ("Plus_DI", "Minus_DI", "ADX"), "average directional index with +DI and -DI"),
        Indicator(
            "supertrend", "SUPERTREND", "vantrel.indicators.supertrend.supertrend",
            ("high", "low", "close"),
            (_period("period", 10, "period of the average true range"),
             Param("multiplier", float, 3.0, "distance of the bands from the bar midpoint, in "
                                             "average true ranges")),
            ("Supertrend", "Direction"),
            "trailing ATR band with a trend direction (1 up, -1 down)",
            on_missing="; the Supertrend line stops and Direction keeps its last value"),
        Indicator(
            "normalized_t3", "NORMALIZED_T3", "vantrel.indicators.normalized_t3.normalized_t3",
            ("src",),
            (_period("period", 200, "bars in the window that the T3 average is placed in"),
             _period("t3_period", 2, "period of each of the six EMA stages of the T3 average"),
             Param("volume_factor", float, 0.7, "T3 volume factor, above 0 and at most 1",
                   at_most=1.0)),
            ("Normalized T3 Oscillator",),
            "T3 average placed within its rolling range, from -0.5 to +0.5"),
        Indicator(
            "atr", "ATR", "vantrel.indicators.volatility", ("high", "low", "close"),
            (_period("period", 14, "smoothing period of the true range"),),
            ("ATR",), "average true range"),
    )
}


def find_indicator(name: str) -> Indicator | None:
    """The indicator called `name`, in any case, with '-' or '_' ("Normalized-T3")."""
    return INDICATORS.get(name.lower().replace("-", "_"))


# ---------------------------------------------------------------------------
# Errors: one line on stderr, exit status 2.


class UsageError(Exception):
    """A mistake in the command line or the input; its text is the whole message."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _period_value(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 1 <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"must be at least 1 and at most {INT32_MAX}, got {text}")
    return value


def _float_value(param: Param) -> Callable[[str], float]:
    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
        if not param.above < value <= param.at_most:
            bound = "" if math.isinf(param.at_most) else f" and at most {param.at_most:g}"
            raise argparse.ArgumentTypeError(
                f"must be greater than {param.above:g}{bound}, got {text}")
        return value

    return convert


# ---------------------------------------------------------------------------
# The command line.

SAMPLE_HELP = (
    "price file: CSV (plain or compressed: .gz, .bz2, .xz, .zip, .zst) or Parquet (.parquet, "
    "or a directory of Parquet files) "
    "with columns date/time (optional, becomes the index), open, high, low, close, volume, "
    "matched in any case; '-' reads CSV from stdin. "
    "Default: the synthetic sample shipped with the package (2,000 made-up daily bars, "
    "not market data)")


def build_parser() -> _Parser:
    parser = _Parser(
        prog=PROG, allow_abbrev=False,
        description="Technical-analysis indicators over OHLC(V) prices: list them, compute one "
                    "to CSV, or plot it over the close.",
        epilog="Without --input, compute and plot use a sample of synthetic prices shipped "
               "with the package (made-up data, not market prices). Examples:\n"
               f"  {PROG} list\n"
               f"  {PROG} compute adx\n"
               f"  {PROG} compute ema --period 20 --input prices.csv --output ema.csv\n"
               f"  {PROG} plot supertrend --output st.png",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    from vantrel.indicators import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    commands.add_parser("list", help="the indicators, their parameters, defaults and outputs",
                        allow_abbrev=False)
    for command, help_text in (("compute", "compute an indicator and write it as CSV"),
                               ("plot", "chart the close with an indicator (needs matplotlib)")):
        sub = commands.add_parser(command, help=help_text, description=help_text,
                                  allow_abbrev=False)
        names = sub.add_subparsers(dest="indicator", metavar="NAME", required=True,
                                   title="indicators", parser_class=_Parser)
        for ind in INDICATORS.values():
            _add_indicator(names, command, ind)
    return parser


def _add_indicator(names: Any, command: str, ind: Indicator) -> None:
    inputs = "one series (--source, default close)" if ind.single_series else "high, low, close"
    # argparse %-formats help texts but not descriptions: only help texts double their '%'.
    description = (f"{ind.function}: {ind.summary}. Input: {inputs}. "
                   f"Output: {', '.join(ind.outputs)}.")
    p = names.add_parser(ind.name, help=ind.summary.replace("%", "%%"), description=description,
                         allow_abbrev=False)
    group = p.add_argument_group("parameters")
    for param in ind.params:
        convert = _period_value if param.kind is int else _float_value(param)
        default = "required" if param.default is None else f"default {param.default}"
        spellings = dict.fromkeys((param.option, "--" + param.name))  # --k-period, --k_period
        group.add_argument(*spellings, dest=param.name, type=convert,
                           required=param.default is None, default=param.default,
                           metavar=param.kind.__name__.upper(),
                           help=f"{param.help} ({default})".replace("%", "%%"))
    p.add_argument("--input", "-i", metavar="FILE", help=SAMPLE_HELP)
    if ind.single_series:
        p.add_argument("--source", default="close", metavar="COLUMN",
                       help="the column the indicator runs over (default: close)")
    p.add_argument("--dropna", action="store_true",
                   help="drop the rows where a price the indicator reads is empty, first")
    p.add_argument("--dayfirst", action="store_true",
                   help="read dates such as 01/02/2022 day first (1 February)")
    if command == "compute":
        p.add_argument("--by", metavar="COLUMN",
                       help="compute each value of COLUMN (a symbol, a ticker) on its own rows; "
                            "the output keeps the column")
        p.add_argument("--output", "-o", metavar="FILE",
                       help="CSV file to write (default: standard output), or Parquet: a "
                            ".parquet file or a directory (a name ending in '/')")
        p.add_argument("--engine", choices=ENGINES, default=None,
                       help="pandas: in memory, here; dask: partition by partition with Dask "
                            "(the 'dask' extra), --by and Parquet output required (default: "
                            "dask for a directory of Parquet or CSV files with --by when Dask "
                            "is installed, else pandas)")
    else:
        p.add_argument("--output", "-o", metavar="FILE", required=True,
                       help="image file to write; its suffix gives the format (.png, .svg, .pdf)")
        p.add_argument("--last", type=_period_value, metavar="N",
                       help="show only the last N bars (the indicator is computed on all of them)")
        p.add_argument("--title", help="chart title (default: the indicator and the input)")


def _unknown_option(args: argparse.Namespace, extras: Sequence[str]) -> str:
    ind = find_indicator(getattr(args, "indicator", "") or "")
    extra = extras[0]
    if ind is None or not extra.startswith("-"):
        return f"unexpected argument {extra!r}"
    params = ", ".join(p.option for p in ind.params)
    others = "--input, --source" if ind.single_series else "--input"
    others += ", --dropna, --dayfirst, " + (
        "--by, --output, --engine" if args.command == "compute"
        else "--output, --last, --title")
    return (f"{ind.name} has no option {extra.split('=')[0]} "
            f"(parameters: {params}; other options: {others})")


def _normalise_indicator_name(argv: list[str]) -> list[str]:
    """Accept "ADX", "Normalized-T3" and the like for NAME, the word after compute or plot."""
    if len(argv) >= 2 and argv[0] in ("compute", "plot"):
        ind = find_indicator(argv[1])
        if ind is not None:
            return [argv[0], ind.name, *argv[2:]]
    return argv


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        parser = build_parser()
        args, extras = parser.parse_known_args(_normalise_indicator_name(argv))
        if extras:
            raise UsageError(_unknown_option(args, extras))
        if args.command == "list":
            return _write_stdout(lambda out: out.write(list_text()))
        ind = INDICATORS[args.indicator]
        params = {p.name: getattr(args, p.name) for p in ind.params}
        if args.command == "compute":
            return _compute_command(ind, params, args)
        return _plot_command(ind, params, args)
    except UsageError as exc:
        message = str(exc)
        if message.startswith("argument NAME: invalid choice"):
            message = message.replace("argument NAME: invalid choice", "unknown indicator", 1)
        elif message.startswith("argument COMMAND: invalid choice"):
            message = message.replace("argument COMMAND: invalid choice", "unknown command", 1)
        sys.stderr.write(f"{PROG}: error: {message}\n")
        return 2


# ---------------------------------------------------------------------------
# list


def list_text() -> str:
    lines = ["Indicators (details: vantrel-indicators compute NAME --help):", ""]
    for ind in INDICATORS.values():
        inputs = ("one column (--source, default close)" if ind.single_series
                  else ", ".join(ind.inputs))
        params = ", ".join(p.describe() for p in ind.params)
        lines += [f"{ind.name}  {ind.function}: {ind.summary}",
                  f"    input:      {inputs}",
                  f"    parameters: {params}",
                  f"    output:     {', '.join(ind.outputs)}",
                  ""]
    lines.append("Without --input, compute and plot use the shipped synthetic sample "
                 "(2,000 made-up daily bars, not market data).")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# Reading prices


@dataclass(frozen=True)
class ReadOptions:
    source: str = "close"       # the column a one-series indicator runs over
    by: str | None = None       # the column whose values name the series (symbol, ticker)
    dayfirst: bool = False      # read 01/02/2022 as 1 February
    chart: bool = False         # also read open, high, low, close, volume where present


@dataclass
class Prices:
    frame: pd.DataFrame         # price columns under lower-case names, on the time index
    inputs: tuple[str, ...]     # the columns the indicator reads, in its argument order
    labels: pd.Index | None     # the date column as the file writes it; None: no dates
    keys: pd.Series | None      # the --by column under its own name, on the time index

    def take(self, rows: Any) -> Prices:
        """The same prices at the positions `rows` only."""
        return Prices(self.frame.iloc[rows], self.inputs,
                      None if self.labels is None else self.labels[rows],
                      None if self.keys is None else self.keys.iloc[rows])


def _read_table(source: str | None) -> tuple[pd.DataFrame, str]:
    """The table in `source` and a name for it in messages and titles."""
    from vantrel.indicators import data

    if source is None:
        with data.open_sample() as handle:
            return data.read_csv_text(handle), "the sample data"
    if source == "-":
        return _parse_csv(sys.stdin, "standard input"), "standard input"
    label = repr(source)
    if os.path.isdir(source) and not _holds_files(source):
        raise UsageError(f"cannot read {source!r}: it is a directory with no Parquet files")
    if os.path.isdir(source) or source.lower().endswith(PARQUET_SUFFIXES):
        return _read_parquet(source), label
    return _read_csv_file(source), label


def _holds_files(directory: str) -> bool:
    """Whether a directory holds a data file, at any depth (pyarrow skips names that start
    with '.' or '_')."""
    return any(not name.startswith((".", "_"))
               for _, _, names in os.walk(directory) for name in names)


# Compressed CSV, told by the file's first bytes: signature -> (name, the module that reads it).
COMPRESSIONS: dict[bytes, tuple[str, str]] = {
    b"\x1f\x8b": ("gzip", "gzip"),
    b"BZh": ("bzip2", "bz2"),
    b"\xfd7zXZ\x00": ("xz", "lzma"),
    b"PK\x03\x04": ("zip", "zipfile"),
    b"\x28\xb5\x2f\xfd": ("zstd", "zstandard"),
}


def _read_csv_file(path: str) -> pd.DataFrame:
    """A CSV file, plain or compressed (gzip, bzip2, xz, zip with one member, zstd)."""
    try:
        with open(path, "rb") as probe:
            head = probe.read(6)
        kind = next((c for magic, c in COMPRESSIONS.items() if head.startswith(magic)), None)
        if kind is None:
            with open(path, encoding="utf-8-sig", newline="") as handle:
                return _parse_csv(handle, path)
        with _open_compressed(path, kind) as handle:
            return _parse_csv(handle, path)
    except FileNotFoundError:
        raise UsageError(f"input file {path!r} does not exist") from None
    except _damaged_file_errors() as exc:
        message = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise UsageError(f"cannot read {path!r}: {message}") from None


def _damaged_file_errors() -> tuple[type[Exception], ...]:
    """What reading a file or a damaged compressed file raises (a Python build may lack lzma)."""
    import zipfile
    import zlib

    errors: list[type[Exception]] = [OSError, EOFError, zlib.error, zipfile.BadZipFile]
    try:
        import lzma
    except ImportError:
        return tuple(errors)
    return (*errors, lzma.LZMAError)


def _open_compressed(path: str, kind: tuple[str, str]) -> IO[str]:
    """The text of a compressed file; a zip file must hold one file, read into memory."""
    name, module_name = kind
    try:
        module = importlib.import_module(module_name)
    except ImportError:
        raise UsageError(f"{path!r} is {name}-compressed; reading it needs the "
                         f"{module_name} package: pip install {module_name}") from None
    if name != "zip":
        handle: IO[str] = module.open(path, "rt", encoding="utf-8-sig", newline="")
        return handle
    with module.ZipFile(path) as archive:
        members = [m for m in archive.namelist() if not m.endswith("/")]
        if len(members) != 1:
            raise UsageError(f"cannot read {path!r}: a zip file must hold exactly one CSV "
                             f"file, it holds {len(members)}")
        return io.TextIOWrapper(io.BytesIO(archive.read(members[0])), encoding="utf-8-sig",
                                newline="")


def _parse_csv(handle: IO[str], name: str) -> pd.DataFrame:
    import pandas as pd

    from vantrel.indicators import data

    try:
        return data.read_csv_text(handle)
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {name!r} as CSV: it is not UTF-8 text") from None
    except pd.errors.EmptyDataError:
        raise UsageError(f"cannot read {name!r} as CSV: it is empty") from None
    except (pd.errors.ParserError, ValueError) as exc:
        raise UsageError(f"cannot read {name!r} as CSV: {_first_line(exc)}") from None


def _first_line(exc: Exception) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _read_parquet(path: str) -> pd.DataFrame:
    try:
        importlib.import_module("pyarrow")
    except ImportError:
        raise UsageError(
            "reading Parquet needs pyarrow: pip install 'vantrel-indicators[parquet]'") from None
    import pandas as pd

    if not os.path.exists(path):
        raise UsageError(f"input file {path!r} does not exist")
    try:
        frame = pd.read_parquet(path, engine="pyarrow")
    except (OSError, ValueError) as exc:
        raise UsageError(f"cannot read {path!r} as Parquet: {_first_line(exc)}") from None
    if isinstance(frame.index, pd.DatetimeIndex) and frame.index.name is None:
        frame.index.name = "date"  # an unnamed time index is the dates, as in a CSV
    if not isinstance(frame.index, pd.RangeIndex):
        frame = frame.reset_index()  # a stored date index becomes a column like any other
    return frame


def _match_columns(frame: pd.DataFrame) -> dict[str, Any]:
    """Lower-cased, stripped column name -> the column's own name, refusing ambiguous names."""
    found: dict[str, Any] = {}
    for column in frame.columns:
        key = str(column).strip().lower()
        if key in found:
            raise UsageError(f"columns {found[key]!r} and {column!r} both match {key!r}")
        found[key] = column
    return found


def _columns_found(frame: pd.DataFrame) -> str:
    return ", ".join(str(c) for c in frame.columns) or "none"


def _first_row(mask: Any) -> int:
    import numpy as np

    return int(np.asarray(mask).argmax())


def _is_text(column: pd.Series) -> bool:
    import pandas as pd

    return bool(pd.api.types.is_object_dtype(column) or pd.api.types.is_string_dtype(column))


# A time of day followed by a UTC offset: "09:30:00-05:00", "09:30Z", "09:30:00.5+0100".
UTC_OFFSET = r"\d:\d\d(?::\d\d(?:\.\d+)?)?\s*(Z|[+-]\d\d:?\d\d)\s*$"


# warnings.catch_warnings swaps the process's filters and restores them on leaving, which is
# not safe across threads: the dask engine parses partitions on several, and one leaving
# its block would put the filters back while another is still parsing. One parse at a time.
_PARSE_LOCK = threading.RLock()


def _parse_dates(text: pd.Series, dayfirst: bool = False) -> pd.Series:
    """Text parsed as dates or times, NaT where a value is none. Each value is parsed on its
    own; UTC offsets that change down the column (summer time) are converted to UTC."""
    import warnings

    import pandas as pd

    pandas_2 = int(pd.__version__.split(".")[0]) >= 2
    options: dict[str, Any] = {"errors": "coerce", **({"format": "mixed"} if pandas_2 else {})}
    with _PARSE_LOCK, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dayfirst:
            # Only values that start with the day: a year-first date stays year-month-day.
            day = text.astype(str).str.match(r"\s*\d{1,2}\D")
            parsed = _parse_dates(text.where(~day))
            return parsed.where(~day, pd.to_datetime(text.where(day), dayfirst=True, **options))
        try:
            parsed = pd.to_datetime(text, **options)
            # pandas before 3 gives datetime objects instead of raising for these.
            if parsed.dtype != object:
                return parsed
        except ValueError:  # several UTC offsets, or some values with one and some without
            pass
        aware = _utc_offsets(text).notna()
        if not aware.all():
            row = _first_row(~aware if aware.iloc[0] else aware)
            raise UsageError(f"column {text.name!r} mixes times with and without a UTC "
                             f"offset: {text.iloc[row]!r} (data row {row + 1})")
        return pd.to_datetime(text, utc=True, **options)


def _utc_offsets(text: pd.Series) -> pd.Series:
    """Each value's UTC offset as written ("Z", "-05:00"), NaN where it has none."""
    offsets: pd.Series = text.astype(str).str.extract(UTC_OFFSET, expand=False)
    return offsets


def _wall_clock(text: pd.Series, utc: pd.Series) -> pd.Series:
    """The local times the file shows, from the UTC times and each value's own offset."""
    import pandas as pd

    offset = _utc_offsets(text).str.replace(":", "")
    minutes = offset.map(lambda o: 0 if o == "Z" else int(o[0] + "1") * (int(o[1:3]) * 60
                                                                           + int(o[3:5])))
    wall: pd.Series = utc.dt.tz_localize(None) + pd.to_timedelta(minutes, unit="min")
    return wall


def _to_dates(column: pd.Series, name: Any, keys: pd.Series | None,
              dayfirst: bool) -> tuple[pd.Index, pd.Index]:
    """The times of the date/time column (for the index and charts) and the column as written
    (for the output): text parsed as dates or times, datetimes and numbers (epoch stamps and the
    like) kept as they are; no gaps, and in time order within each key."""
    import pandas as pd

    if column.isna().any():
        raise UsageError(f"column {name!r} is empty in data row {_first_row(column.isna()) + 1}")
    labels = pd.Index(column, name=name)
    if not _is_text(column):
        _check_time_order(labels, name, keys, column)
        return labels, labels
    parsed = _parse_dates(column.reset_index(drop=True), dayfirst)
    if parsed.isna().any():
        row = _first_row(parsed.isna())
        raise UsageError(f"column {name!r} holds a value that is not a date or time: "
                         f"{column.iloc[row]!r} (data row {row + 1})")
    _check_time_order(pd.DatetimeIndex(parsed), name, keys, column, dayfirst)
    if str(parsed.dt.tz) == "UTC" and _utc_offsets(column).notna().all():
        parsed = _wall_clock(column.reset_index(drop=True), parsed)
    return pd.DatetimeIndex(parsed, name=name), labels


def _out_of_order(times: pd.Index, keys: pd.Series | None) -> int | None:
    """The first row whose time is earlier than the one before it of the same key."""
    import numpy as np
    import pandas as pd

    values = times.asi8 if isinstance(times, pd.DatetimeIndex) else times.to_numpy()
    codes = np.zeros(len(values), np.int64) if keys is None else pd.factorize(keys)[0]
    order = np.argsort(codes, kind="stable")
    values, codes = values[order], codes[order]
    back = (values[1:] < values[:-1]) & (codes[1:] == codes[:-1])
    return int(order[1:][back].min()) if back.any() else None


def _check_time_order(times: pd.Index, name: Any, keys: pd.Series | None,
                      column: pd.Series, dayfirst: bool = False) -> None:
    import pandas as pd

    row = _out_of_order(times, keys)
    if row is None:
        return
    whose = "" if keys is None else f" of {keys.name} {keys.iloc[row]!r}"
    message = (f"the rows{whose} are not in time order: column {name!r} must increase down "
               f"the file (data row {row + 1}; sort the prices oldest first)")
    if _is_text(column) and not dayfirst:
        text = column.reset_index(drop=True)
        day_first = _parse_dates(text, dayfirst=True)
        if day_first.notna().all() and _out_of_order(pd.DatetimeIndex(day_first), keys) is None:
            differ = _first_row(day_first != _parse_dates(text))
            message += (f"; the dates look day first: pass --dayfirst to read "
                        f"{text.iloc[differ]!r} as {day_first.iloc[differ].day} "
                        f"{day_first.iloc[differ]:%B %Y}")
    raise UsageError(message)


def _numeric(frame: pd.DataFrame, column: Any) -> pd.Series:
    import pandas as pd

    values: pd.Series = frame[column]
    if pd.api.types.is_bool_dtype(values) or not pd.api.types.is_numeric_dtype(values):
        numbers = pd.to_numeric(values, errors="coerce")
        bad = numbers.isna() & values.notna()
        if pd.api.types.is_bool_dtype(values) or not bad.any():
            raise UsageError(f"column {column!r} is not numeric (dtype {values.dtype})")
        row = _first_row(bad)
        raise UsageError(f"column {column!r} is not numeric: {values.iloc[row]!r} "
                         f"in data row {row + 1}")
    return values


# Names of a column that tells instruments apart (matched case-insensitively).
SYMBOL_COLUMNS = ("symbol", "ticker", "instrument", "asset", "security", "isin")
CHART_COLUMNS = ("open", "high", "low", "close", "volume")


def _date_column(frame: pd.DataFrame, names: dict[str, Any]) -> Any:
    """The date/time column: one named as such, else an unnamed first column of dates (what
    ``DataFrame.to_csv()`` writes for a date index without a name)."""
    named = next((names[d] for d in DATE_COLUMNS if d in names), None)
    if named is not None:
        return named
    first = frame.columns[0]
    if (str(first).startswith("Unnamed: 0") or not str(first).strip()) and \
            _is_text(frame[first]) and _parse_dates(frame[first]).notna().all():
        return first
    return None


def price_columns(frame: pd.DataFrame, ind: Indicator, source: str,
                  label: str) -> tuple[dict[str, Any], tuple[str, ...]]:
    """(lower-cased name -> column, the lower-cased names `ind` reads), or the error for the
    first price column that `frame` lacks."""
    names = _match_columns(frame)
    inputs = (source.strip().lower(),) if ind.single_series else ind.inputs
    missing = [w for w in inputs if w not in names]
    if missing:
        raise UsageError(f"no {missing[0]!r} column in {label} "
                         f"(columns found: {_columns_found(frame)})")
    return names, inputs


def by_column(frame: pd.DataFrame, names: dict[str, Any], by: str, label: str) -> Any:
    """The column that --by names, matched in any case."""
    column = names.get(by.strip().lower())
    if column is None:
        raise UsageError(f"no {by!r} column in {label} for --by "
                         f"(columns found: {_columns_found(frame)})")
    return column


def _key_column(frame: pd.DataFrame, names: dict[str, Any], label: str,
                options: ReadOptions) -> pd.Series | None:
    """The --by column; without --by, refuses a symbol column that holds several symbols."""
    by = options.by
    if by is None:
        symbol = next((names[s] for s in SYMBOL_COLUMNS if s in names), None)
        if symbol is not None and frame[symbol].nunique(dropna=False) > 1:
            some = ", ".join(map(repr, frame[symbol].drop_duplicates().iloc[:3]))
            hint = ("chart one symbol's rows at a time" if options.chart
                    else f"pass --by {symbol} to compute each symbol on its own")
            raise UsageError(f"column {symbol!r} holds {frame[symbol].nunique()} symbols "
                             f"({some}, ...): {hint}")
        return None
    column = by_column(frame, names, by, label)
    keys: pd.Series = frame[column]
    if keys.isna().any():
        raise UsageError(f"column {column!r} is empty in data row {_first_row(keys.isna()) + 1}")
    return keys


def read_prices(source: str | None, ind: Indicator, options: ReadOptions = ReadOptions()) -> Prices:
    """The price columns `ind` reads from `source` (a path, '-' for stdin, None for the sample)."""
    frame, label = _read_table(source)
    if len(frame.columns) == 0 or len(frame) == 0:
        raise UsageError(f"{label} has no rows of prices")
    names, inputs = price_columns(frame, ind, options.source, label)
    import pandas as pd

    keys = _key_column(frame, names, label, options)
    date = _date_column(frame, names)
    index: pd.Index
    if date is None:
        index, labels = pd.RangeIndex(len(frame)), None
    else:
        index, labels = _to_dates(frame[date], date, keys, options.dayfirst)
        if str(date).startswith("Unnamed: 0") or not str(date).strip():
            labels = labels.rename("date")
    columns = {w: _numeric(frame, names[w]).to_numpy() for w in inputs}
    for extra in CHART_COLUMNS if options.chart else ():
        if extra in names and extra not in columns:
            try:
                columns[extra] = _numeric(frame, names[extra]).to_numpy()
            except UsageError:
                pass  # a column that only decorates the chart
    if keys is not None:
        keys = pd.Series(keys.to_numpy(), index=index, name=keys.name)
    return Prices(pd.DataFrame(columns, index=index), inputs, labels, keys)


# ---------------------------------------------------------------------------
# Computing


def _by_key(ind: Indicator, inputs: list[pd.Series], params: dict[str, Any],
            keys: pd.Series) -> Any:
    """The indicator over each key's rows as if they were a file of their own, aligned row for
    row with the input: the batch function's long form (bit for bit the single function)."""
    batch = importlib.import_module("vantrel.indicators.batch")
    return getattr(batch, ind.function)(*inputs, **params, by=keys)


def compute(ind: Indicator, prices: Prices, params: dict[str, Any]) -> pd.DataFrame:
    """Run the indicator over the price columns; the result as a DataFrame on their index."""
    import pandas as pd

    inputs = [prices.frame[c] for c in prices.inputs]
    try:
        if prices.keys is None:
            result = ind.load()(*inputs, **params)
        else:
            result = _by_key(ind, inputs, params, prices.keys)
    except (ValueError, TypeError, OverflowError) as exc:
        raise UsageError(f"{ind.function}: {exc}") from None
    frame: pd.DataFrame = result.to_frame() if isinstance(result, pd.Series) else result
    return frame


def drop_missing(prices: Prices) -> Prices:
    """The prices without the rows where a column the indicator reads is empty (--dropna)."""
    kept = prices.take(prices.frame[list(prices.inputs)].notna().all(axis=1).to_numpy())
    if len(kept.frame) == 0:
        raise UsageError("no rows of prices are left after --dropna")
    return kept


def missing_warning(ind: Indicator, prices: Prices, result: pd.DataFrame) -> str | None:
    """One line on the first missing price and the NaN it leaves in the output, or None."""
    empty = prices.frame[list(prices.inputs)].isna()
    rows = empty.any(axis=1).to_numpy()
    if not rows.any():
        return None
    row = _first_row(rows)
    columns = " and ".join(repr(c) for c in empty.columns[empty.iloc[row].to_numpy()])
    nan_rows = int(result.iloc[row:].isna().any(axis=1).sum())
    count = int(rows.sum())
    return (f"{PROG}: warning: column {columns} is empty in data row {row + 1} "
            f"({count} row{'s' * (count > 1)} with an empty price in all); {nan_rows} of the "
            f"{len(result) - row} output rows from there on are NaN{ind.on_missing} "
            "(--dropna drops such rows first)\n")


def _prices_and_result(ind: Indicator, params: dict[str, Any], args: argparse.Namespace,
                       chart: bool) -> tuple[Prices, pd.DataFrame]:
    options = ReadOptions(getattr(args, "source", "close"), getattr(args, "by", None),
                          args.dayfirst, chart)
    prices = read_prices(args.input, ind, options)
    if args.dropna:
        prices = drop_missing(prices)
    result = compute(ind, prices, params)
    warning = missing_warning(ind, prices, result)
    if warning:
        sys.stderr.write(warning)
    return prices, result


# ---------------------------------------------------------------------------
# compute


def _write_stdout(write: Callable[[IO[str]], object]) -> int:
    """Write to standard output; a reader that went away (`... | head`) ends it quietly."""
    try:
        write(sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # Point stdout at /dev/null so that the interpreter's own flush at exit fails no more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    return 0


def output_frame(prices: Prices, result: pd.DataFrame) -> pd.DataFrame:
    """The output table: the dates as the file writes them, the --by column, the results."""
    if prices.keys is not None:
        result = result.copy()
        result.insert(0, prices.keys.name, prices.keys.to_numpy())
    if prices.labels is not None:
        result = result.set_axis(prices.labels, axis=0)
    return result


def is_parquet_output(output: str | None) -> bool:
    """Whether `output` names Parquet: a .parquet file, or a directory (existing, or a name
    that ends in '/')."""
    if output is None:
        return False
    return (output.lower().endswith(PARQUET_SUFFIXES) or output.endswith(("/", os.sep))
            or os.path.isdir(output))


def write_csv(frame: pd.DataFrame, output: str | None, index: bool) -> int:
    """`frame` as CSV to `output`, or to standard output when it is None; as Parquet where
    `output` names Parquet (in a directory: one file, part.0.parquet)."""
    def write(target: Any) -> None:
        if not is_parquet_output(output):
            frame.to_csv(target, index=index, lineterminator="\n")
            return
        if importlib.util.find_spec("pyarrow") is None:
            raise UsageError(
                "writing Parquet needs pyarrow: pip install 'vantrel-indicators[parquet]'")
        table = frame.reset_index() if index else frame
        if not target.lower().endswith(PARQUET_SUFFIXES):
            os.makedirs(target, exist_ok=True)
            target = os.path.join(target, "part.0.parquet")
        table.to_parquet(target, index=False)

    if output is None:
        return _write_stdout(write)
    try:
        write(output)
    except OSError as exc:
        raise UsageError(f"cannot write {output!r}: {exc.strerror or exc}") from None
    return 0


def _engine(args: argparse.Namespace) -> str:
    """The engine asked for, or dask for a directory (Parquet or CSV files) with --by when Dask
    is there."""
    if args.engine is not None:
        return str(args.engine)
    if args.by is not None and args.input is not None and os.path.isdir(args.input) and \
            importlib.util.find_spec("dask") is not None:
        return "dask"
    return "pandas"


def _compute_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    if _engine(args) == "dask":
        from vantrel.indicators import _dask_engine

        return _dask_engine.compute_command(ind, params, args)
    prices, result = _prices_and_result(ind, params, args, chart=False)
    return write_csv(output_frame(prices, result), args.output, prices.labels is not None)


# ---------------------------------------------------------------------------
# plot


def _plot_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        raise UsageError(
            "plotting needs matplotlib: pip install 'vantrel-indicators[plot]'") from None
    prices, result = _prices_and_result(ind, params, args, chart=True)
    bars = prices.frame
    if args.last is not None:
        bars, result = bars.iloc[-args.last:], result.iloc[-args.last:]
    settings = ", ".join(f"{k}={v}" for k, v in params.items())
    origin = SAMPLE_TITLE if args.input is None else os.path.basename(args.input)
    title = args.title or f"{ind.function}({settings}) on {origin}"
    from vantrel.indicators import _plot

    source = prices.inputs[0] if ind.single_series else "close"
    figure = _plot.chart(ind.name, bars, source, result, title)
    try:
        figure.savefig(args.output)
    except (OSError, ValueError) as exc:
        message = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise UsageError(f"cannot write {args.output!r}: {message}") from None
    sys.stderr.write(f"{PROG}: wrote {os.path.abspath(args.output)}\n")
    return 0
