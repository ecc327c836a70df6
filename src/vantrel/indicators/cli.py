"""The ``vantrel-indicators`` command: list the indicators, compute one over a price file, plot it.

    vantrel-indicators list
    vantrel-indicators compute adx                       # synthetic sample, CSV to stdout
    vantrel-indicators compute ema --period 20 --input prices.csv --output ema.csv
    vantrel-indicators plot supertrend --output st.png   # needs the 'plot' extra (matplotlib)

Every mistake in the command or the input ends the program with one line on stderr,
``vantrel-indicators: error: ...``, and exit status 2. NumPy, pandas and the compiled modules
are imported only when a command needs them, and matplotlib only when plotting.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, NoReturn

if TYPE_CHECKING:
    import pandas as pd

PROG = "vantrel-indicators"
INT32_MAX = 2**31 - 1
SAMPLE_TITLE = "synthetic sample data (not market prices)"
PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")
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
            "trailing ATR band with a trend direction (1 up, -1 down)"),
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
    "price file: CSV or Parquet (.parquet) with columns date/time (optional, becomes the "
    "index), open, high, low, close, volume, matched in any case; '-' reads CSV from stdin. "
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
    description = (f"{ind.function}: {ind.summary}. Input: {inputs}. "
                   f"Output: {', '.join(ind.outputs)}.").replace("%", "%%")
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
    if command == "compute":
        p.add_argument("--output", "-o", metavar="FILE",
                       help="CSV file to write (default: standard output)")
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
    others = "--input, --source, --output" if ind.single_series else "--input, --output"
    if args.command == "plot":
        others += ", --last, --title"
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
            sys.stdout.write(list_text())
            return 0
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


@dataclass
class Prices:
    frame: pd.DataFrame         # the columns the indicator reads, under their canonical names
    has_dates: bool             # the index came from a date/time column


def _read_table(source: str | None) -> tuple[pd.DataFrame, str]:
    """The table in `source` and a name for it in messages and titles."""
    from vantrel.indicators import data

    if source is None:
        with data.open_sample() as handle:
            return data.read_csv_text(handle), "the sample data"
    if source == "-":
        return _parse_csv(sys.stdin, "standard input"), "standard input"
    label = repr(source)
    if os.path.isdir(source):
        raise UsageError(f"cannot read {source!r}: it is a directory")
    if source.lower().endswith(PARQUET_SUFFIXES):
        return _read_parquet(source), label
    try:
        with open(source, encoding="utf-8-sig", newline="") as handle:
            return _parse_csv(handle, source), label
    except FileNotFoundError:
        raise UsageError(f"input file {source!r} does not exist") from None
    except OSError as exc:
        raise UsageError(f"cannot read {source!r}: {exc.strerror or exc}") from None


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
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise UsageError(f"cannot read {name!r} as CSV: {first}") from None


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
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise UsageError(f"cannot read {path!r} as Parquet: {first}") from None
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


def _first_row(mask: pd.Series) -> int:
    return int(mask.to_numpy().argmax())


def _to_dates(column: pd.Series, name: Any) -> pd.Index:
    """The index made from the date/time column: text parsed as dates, datetimes and numbers
    (epoch stamps and the like) kept as they are; no gaps, and in time order."""
    import warnings

    import pandas as pd

    if column.isna().any():
        raise UsageError(f"column {name!r} is empty in data row {_first_row(column.isna()) + 1}")
    index: pd.Index
    if pd.api.types.is_object_dtype(column) or pd.api.types.is_string_dtype(column):
        # Each value parsed on its own ("mixed" from pandas 2 on; earlier versions always did).
        pandas_2 = int(pd.__version__.split(".")[0]) >= 2
        mixed: dict[str, Any] = {"format": "mixed"} if pandas_2 else {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            parsed = pd.to_datetime(column, errors="coerce", **mixed)
        if parsed.isna().any():
            row = _first_row(parsed.isna())
            raise UsageError(f"column {name!r} holds a value that is not a date or time: "
                             f"{column.iloc[row]!r} (data row {row + 1})")
        index = pd.DatetimeIndex(parsed, name=name)
    else:
        index = pd.Index(column, name=name)
    if not index.is_monotonic_increasing:
        raise UsageError(f"the rows are not in time order: column {name!r} must increase down "
                         "the file (sort the prices oldest first)")
    return index


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


def read_prices(source: str | None, ind: Indicator, column: str = "close") -> Prices:
    """The price columns `ind` reads from `source` (a path, '-' for stdin, None for the sample)."""
    frame, label = _read_table(source)
    if len(frame.columns) == 0 or len(frame) == 0:
        raise UsageError(f"{label} has no rows of prices")
    names = _match_columns(frame)
    wanted = (column.strip().lower(),) if ind.single_series else ind.inputs
    missing = [w for w in wanted if w not in names]
    if missing:
        raise UsageError(f"no {missing[0]!r} column in {label} "
                         f"(columns found: {_columns_found(frame)})")
    import pandas as pd

    date = next((names[d] for d in DATE_COLUMNS if d in names), None)
    index = _to_dates(frame[date], date) if date is not None else pd.RangeIndex(len(frame))
    columns = {w: _numeric(frame, names[w]).to_numpy() for w in wanted}
    prices = pd.DataFrame(columns, index=index)
    return Prices(prices, date is not None)


def compute(ind: Indicator, prices: Prices, params: dict[str, Any]) -> pd.DataFrame:
    """Run the indicator over the price columns; the result as a DataFrame on their index."""
    import pandas as pd

    fn = ind.load()
    inputs = [prices.frame[c] for c in prices.frame.columns]
    try:
        result = fn(*inputs, **params)
    except (ValueError, TypeError, OverflowError) as exc:
        raise UsageError(f"{ind.function}: {exc}") from None
    frame: pd.DataFrame = result.to_frame() if isinstance(result, pd.Series) else result
    return frame


# ---------------------------------------------------------------------------
# compute


def _compute_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    prices = read_prices(args.input, ind, getattr(args, "source", "close"))
    result = compute(ind, prices, params)
    if args.output is None:
        try:
            result.to_csv(sys.stdout, index=prices.has_dates, lineterminator="\n")
            sys.stdout.flush()
        except BrokenPipeError:
            # The reader went away (`... | head`): stop quietly, like other command-line tools.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
        return 0
    try:
        result.to_csv(args.output, index=prices.has_dates, lineterminator="\n")
    except OSError as exc:
        raise UsageError(f"cannot write {args.output!r}: {exc.strerror or exc}") from None
    return 0


# ---------------------------------------------------------------------------
# plot


def _plot_command(ind: Indicator, params: dict[str, Any], args: argparse.Namespace) -> int:
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        raise UsageError(
            "plotting needs matplotlib: pip install 'vantrel-indicators[plot]'") from None
    prices = read_prices(args.input, ind, getattr(args, "source", "close"))
    result = compute(ind, prices, params)
    # The price line: the close, or for a one-series indicator the column it ran over.
    price = prices.frame["close" if "close" in prices.frame else prices.frame.columns[0]]
    if args.last is not None:
        price, result = price.iloc[-args.last:], result.iloc[-args.last:]
    settings = ", ".join(f"{k}={v}" for k, v in params.items())
    origin = SAMPLE_TITLE if args.input is None else os.path.basename(args.input)
    title = args.title or f"{ind.function}({settings}) on {origin}"
    from vantrel.indicators import _plot

    figure = _plot.chart(ind.name, price, result, title)
    try:
        figure.savefig(args.output)
    except (OSError, ValueError) as exc:
        message = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise UsageError(f"cannot write {args.output!r}: {message}") from None
    return 0
