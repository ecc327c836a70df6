"""The vantrel-indicators command: list, compute and plot, every bad input, and the sample data."""

from __future__ import annotations

import inspect
import io
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import assert_same_bits, random_ohlc
from vantrel.indicators import cli
from vantrel.indicators.data import exact_floats, open_sample, sample_ohlcv

ROOT = Path(__file__).resolve().parent.parent
NAMES = list(cli.INDICATORS)


def run(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def run_error(capsys, *argv: str) -> str:
    """Runs a command that must fail: exit 2, nothing on stdout, one line on stderr."""
    code, out, err = run(capsys, *argv)
    assert (code, out) == (2, ""), err
    assert err.startswith("vantrel-indicators: error: ") and err.count("\n") == 1, err
    return err


def read_output(text_or_path) -> pd.DataFrame:
    source = io.StringIO(text_or_path) if isinstance(text_or_path, str) else text_or_path
    return pd.read_csv(source, **exact_floats())


def direct(name: str, prices: pd.DataFrame, source: str = "close", **params) -> pd.DataFrame:
    """The indicator called as a function on the price columns."""
    ind = cli.INDICATORS[name]
    columns = [source] if ind.single_series else list(ind.inputs)
    result = ind.load()(*(prices[c] for c in columns), **params)
    return result.to_frame() if isinstance(result, pd.Series) else result


def assert_frame_bits(actual: pd.DataFrame, expected: pd.DataFrame) -> None:
    assert list(actual.columns) == list(expected.columns)
    for column in expected.columns:
        assert_same_bits(actual[column], expected[column], column)


def write_csv(path: Path, text: str) -> str:
    path.write_text(text, encoding="utf-8")
    return str(path)


# ---------------------------------------------------------------------------
# The indicator table agrees with the functions.


@pytest.mark.parametrize("name", NAMES)
def test_table_matches_the_function_signature(name):
    ind = cli.INDICATORS[name]
    parameters = list(inspect.signature(ind.load()).parameters.values())
    assert [p.name for p in parameters] == [*ind.inputs, *(p.name for p in ind.params)]
    for param, runtime in zip(ind.params, parameters[len(ind.inputs):], strict=True):
        expected = inspect.Parameter.empty if param.default is None else param.default
        assert runtime.default == expected and type(runtime.default) in (param.kind, type)


# ---------------------------------------------------------------------------
# list


def test_list_names_every_indicator_parameter_default_and_output(capsys):
    code, out, err = run(capsys, "list")
    assert (code, err) == (0, "")
    for ind in cli.INDICATORS.values():
        block = out.split(f"\n{ind.name}  ")[1].split("\n\n")[0]
        assert ind.function in block
        for param in ind.params:
            default = "(required)" if param.default is None else f"= {param.default}"
            assert f"{param.option} {param.kind.__name__.upper()} {default}" in block
        assert f"output:     {', '.join(ind.outputs)}" in block
    assert "synthetic" in out


def test_list_imports_neither_pandas_nor_the_modules():
    code = ("import sys; from vantrel.indicators.cli import main; main(['list']);"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('pandas', 'numpy', 'matplotlib') or m.count('.') > 2))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip().splitlines()[-1] == "[]"


@pytest.mark.parametrize("name", NAMES)
def test_indicator_help_shows_parameters_and_defaults(capsys, name):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["compute", name, "--help"])
    out = " ".join(capsys.readouterr().out.split())
    assert exit_info.value.code == 0 and "%%" not in out
    assert f"Output: {', '.join(cli.INDICATORS[name].outputs)}." in out
    for param in cli.INDICATORS[name].params:
        default = "required" if param.default is None else f"default {param.default}"
        assert param.option in out and f"({default})" in out


# ---------------------------------------------------------------------------
# compute


@pytest.mark.parametrize("name", NAMES)
def test_compute_on_the_sample_equals_the_function(capsys, name):
    params = {"period": 20} if name == "ema" else {}
    argv = ["--period", "20"] if name == "ema" else []
    code, out, err = run(capsys, "compute", name, *argv)
    assert (code, err) == (0, "")
    got = read_output(out)
    prices = sample_ohlcv()
    assert list(got.columns) == ["date", *cli.INDICATORS[name].outputs]
    assert got["date"].tolist() == prices.index.strftime("%Y-%m-%d").tolist()
    assert_frame_bits(got.drop(columns="date"), direct(name, prices, **params))


def test_round_trip_of_an_awkward_csv(capsys, tmp_path, rng):
    """Byte-order mark, a comment line, columns in mixed case and order, empty cells,
    infinities and -0.0: reading, computing and writing lose no bit."""
    high, low, close = random_ohlc(rng, 300)
    dates = pd.bdate_range("2021-03-01", periods=300)
    frame = pd.DataFrame({"Close": close, "LOW": low, "Date": dates, "High": high,
                          "Volume": rng.integers(1, 10**6, 300)})
    path = tmp_path / "prices.csv"
    path.write_text("\ufeff# exported by hand\n" + frame.to_csv(index=False), encoding="utf-8")
    out_path = tmp_path / "out.csv"
    code, out, err = run(capsys, "compute", "stochastic", "--k-period", "5", "--d_period", "2",
                         "--input", str(path), "-o", str(out_path))
    assert (code, out) == (0, "") and err.startswith("vantrel-indicators: warning: column ")
    got = read_output(out_path).set_index("Date")
    read_back = pd.read_csv(path, skiprows=1, encoding="utf-8-sig", **exact_floats())
    expected = direct("stochastic", read_back.rename(columns=str.lower), k_period=5, d_period=2)
    assert got.index.tolist() == dates.strftime("%Y-%m-%d").tolist()
    assert_frame_bits(got, expected)


def test_source_column_and_a_file_without_dates(capsys, tmp_path):
    path = write_csv(tmp_path / "p.csv", "Open,Close\n1,10\n2,20\n4,30\n")
    code, out, err = run(capsys, "compute", "EMA", "--period", "3", "--source", "OPEN",
                         "--input", path)
    assert (code, err) == (0, "")
    assert out == "EMA\n1.0\n1.5\n2.75\n"  # no index column when the input has no date


def test_stdin_and_name_spellings(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("time,high,low,close\n1,3,1,2\n2,4,2,3\n"))
    code, out, err = run(capsys, "compute", "Normalized-T3", "--period", "1", "--input", "-")
    assert (code, err) == (0, "")
    assert out == "time,Normalized T3 Oscillator\n1,-0.5\n2,-0.5\n"


def test_parquet_round_trip(capsys, tmp_path):
    pytest.importorskip("pyarrow")
    prices = sample_ohlcv().iloc[:400]
    path = tmp_path / "p.parquet"
    prices.to_parquet(path)
    code, out, err = run(capsys, "compute", "supertrend", "--multiplier", "2.5", "-i", str(path))
    assert (code, err) == (0, "")
    got = read_output(out)
    assert_frame_bits(got.drop(columns="date"), direct("supertrend", prices, multiplier=2.5))
    assert got["Direction"].dtype == np.int64


# ---------------------------------------------------------------------------
# Files as they come: unnamed date index, compressed, several symbols, gaps, offsets, day first


def _unnamed_index(frame: pd.DataFrame) -> pd.DataFrame:
    return frame.rename_axis(None)


def _zip(path: Path, frame: pd.DataFrame) -> None:
    frame.to_csv(path, compression={"method": "zip", "archive_name": "prices.csv"})


WRITERS = {
    "unnamed_date.csv": lambda path, f: _unnamed_index(f).to_csv(path),
    "prices.csv.gz": lambda path, f: _unnamed_index(f).to_csv(path),
    "prices.csv.bz2": lambda path, f: f.to_csv(path),
    "prices.csv.xz": lambda path, f: f.to_csv(path),
    "no_suffix_gzip": lambda path, f: f.to_csv(path, compression="gzip"),
    "prices.zip": _zip,
    "unnamed_index.parquet": lambda path, f: _unnamed_index(f).to_parquet(path),
}


@pytest.mark.parametrize("name", WRITERS)
def test_price_files_as_they_come(capsys, tmp_path, name):
    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    prices = sample_ohlcv().iloc[:300]
    WRITERS[name](tmp_path / name, prices)
    code, out, err = run(capsys, "compute", "adx", "-i", str(tmp_path / name))
    assert (code, err) == (0, "")
    got = read_output(out)
    assert got["date"].tolist() == prices.index.strftime("%Y-%m-%d").tolist()
    assert_frame_bits(got.drop(columns="date"), direct("adx", prices))


def long_table(order: list[str]) -> pd.DataFrame:
    """Two symbols over overlapping dates, BBB at half AAA's price, rows sorted by `order`."""
    base = sample_ohlcv()
    table = pd.concat({"AAA": base.iloc[:200], "BBB": base.iloc[120:400] * 0.5},
                      names=["Symbol"]).reset_index()
    return table.sort_values(order, kind="stable").reset_index(drop=True)


@pytest.mark.parametrize("order", [["Symbol", "date"], ["date", "Symbol"]])
@pytest.mark.parametrize(("name", "argv"), [("supertrend", []), ("stochastic", []),
                                            ("ema", ["--period", "9"])])
def test_by_computes_each_symbol_on_its_own(capsys, tmp_path, order, name, argv):
    table = long_table(order)
    path = tmp_path / "long.csv"
    table.to_csv(path, index=False)
    assert "pass --by Symbol to compute each symbol" in run_error(
        capsys, "compute", name, *argv, "-i", str(path))
    code, out, err = run(capsys, "compute", name, *argv, "--by", "symbol", "-i", str(path))
    assert (code, err) == (0, "")
    got = read_output(out)
    assert got[["date", "Symbol"]].equals(table[["date", "Symbol"]].astype({"date": str}))
    params = {"period": 9} if name == "ema" else {}
    for symbol, rows in table.groupby("Symbol"):
        assert_frame_bits(got.loc[rows.index].drop(columns=["date", "Symbol"]),
                          direct(name, rows, **params))


def test_missing_price_warns_and_dropna_drops(capsys, tmp_path):
    prices = sample_ohlcv().iloc[:100].copy()
    prices.iloc[[40, 70], prices.columns.get_loc("high")] = np.nan
    path = tmp_path / "gaps.csv"
    prices.to_csv(path)
    code, out, err = run(capsys, "compute", "adx", "-i", str(path))
    assert code == 0 and read_output(out)["ADX"].isna().sum() == 60
    assert err == ("vantrel-indicators: warning: column 'high' is empty in data row 41 (2 rows "
                   "with an empty price in all); 60 of the 60 output rows from there on are NaN "
                   "(--dropna drops such rows first)\n")
    code, out, err = run(capsys, "compute", "supertrend", "-i", str(path))
    assert code == 0 and "Direction keeps its last value" in err
    code, out, err = run(capsys, "compute", "adx", "--dropna", "-i", str(path))
    assert (code, err) == (0, "")
    kept = prices.dropna()
    got = read_output(out)
    assert got["date"].tolist() == kept.index.strftime("%Y-%m-%d").tolist()
    assert_frame_bits(got.drop(columns="date"), direct("adx", kept))


def test_utc_offsets_that_change_with_summer_time(capsys, tmp_path):
    prices = sample_ohlcv().iloc[:50]
    times = pd.date_range("2022-03-08 09:30", periods=50, freq="D", tz="America/New_York")
    stamps = times.strftime("%Y-%m-%d %H:%M:%S%z").str.replace(r"(\d\d)$", r":\1", regex=True)
    table = prices.reset_index(drop=True).assign(Datetime=stamps)
    path = write_csv(tmp_path / "intraday.csv", table.to_csv(index=False))
    code, out, err = run(capsys, "compute", "atr", "-i", path)
    assert (code, err) == (0, "")
    got = read_output(out)
    assert got["Datetime"].tolist() == list(stamps)  # the offsets as the file gives them
    assert {s[-6:] for s in stamps} == {"-05:00", "-04:00"}
    assert_frame_bits(got.drop(columns="Datetime"), direct("atr", table))


def test_dayfirst(capsys, tmp_path):
    prices = sample_ohlcv().iloc[:40]
    path = tmp_path / "eu.csv"
    prices.set_axis(prices.index.strftime("%d/%m/%Y"), axis=0).to_csv(path)
    assert ("the dates look day first: pass --dayfirst to read '02/01/2017' as 2 January 2017"
            in run_error(capsys, "compute", "atr", "-i", str(path)))
    code, out, err = run(capsys, "compute", "atr", "--dayfirst", "-i", str(path))
    assert (code, err) == (0, "")
    assert_frame_bits(read_output(out).drop(columns="date"), direct("atr", prices))


# ---------------------------------------------------------------------------
# Bad input: one line on stderr, exit status 2.

BAD_ARGUMENTS = [
    (["compute", "macd"], "unknown indicator: 'macd'"),
    (["frobnicate"], "unknown command: 'frobnicate'"),
    (["compute"], "required: NAME"),
    (["compute", "adx", "--period", "5"], "adx has no option --period (parameters: --di-length"),
    (["compute", "adx", "stray"], "unexpected argument 'stray'"),
    (["compute", "ema"], "required: --period"),
    (["compute", "ema", "--period", "ten"],
     "argument --period: expected a whole number, got 'ten'"),
    (["compute", "ema", "--period", "2.5"], "expected a whole number, got '2.5'"),
    (["compute", "ema", "--period", "0"], "must be at least 1 and at most 2147483647, got 0"),
    (["compute", "adx", "--di-length", "2147483648"], "at most 2147483647, got 2147483648"),
    (["compute", "supertrend", "--multiplier", "x"], "expected a number, got 'x'"),
    (["compute", "supertrend", "--multiplier", "-1"], "must be greater than 0, got -1"),
    (["compute", "supertrend", "--multiplier", "nan"], "must be greater than 0, got nan"),
    (["compute", "normalized_t3", "--volume-factor", "1.5"],
     "must be greater than 0 and at most 1, got 1.5"),
    (["plot", "adx"], "required: --output"),
    (["plot", "adx", "-o", "x.png", "--last", "0"], "argument --last: must be at least 1"),
    (["compute", "adx", "--by", "sym"], "no 'sym' column in the sample data for --by"),
    (["plot", "adx", "-o", "x.png", "--by", "symbol"], "adx has no option --by"),
]


@pytest.mark.parametrize(("argv", "message"), BAD_ARGUMENTS)
def test_bad_arguments(capsys, argv, message):
    assert message in run_error(capsys, *argv)


BAD_FILES = [
    ("missing.csv", None, "input file '{path}' does not exist"),
    ("empty.csv", "", "cannot read '{path}' as CSV: it is empty"),
    ("ragged.csv", "high,low,close\n1,2,3\n1,2,3,4,5\n", "cannot read '{path}' as CSV: Error"),
    ("latin1.csv", b"high,low,close\n\xe9\xff,1,2\n",
     "cannot read '{path}' as CSV: it is not UTF-8"),
    ("header.csv", "date,high,low,close\n", "'{path}' has no rows of prices"),
    ("nohigh.csv", "Date,Low,Close\n2020-01-01,1,2\n",
     "no 'high' column in '{path}' (columns found: Date, Low, Close)"),
    ("text.csv", "high,low,close\n2,1,1.5\n3,abc,2\n",
     "column 'low' is not numeric: 'abc' in data row 2"),
    ("twice.csv", "close,Close,high,low\n1,2,3,4\n", "columns 'close' and 'Close' both match"),
    ("baddate.csv", "date,high,low,close\n2020-01-02,2,1,1\nsoon,2,1,1\n",
     "column 'date' holds a value that is not a date or time: 'soon' (data row 2)"),
    ("nodate.csv", "date,high,low,close\n2020-01-02,2,1,1\n,2,1,1\n",
     "column 'date' is empty in data row 2"),
    ("backwards.csv", "date,high,low,close\n2020-01-03,2,1,1\n2020-01-02,2,1,1\n",
     "the rows are not in time order"),
    ("junk.parquet", b"not parquet", "cannot read '{path}' as Parquet"),
    ("truncated.csv.gz", b"\x1f\x8b\x08\x00\x00", "cannot read '{path}': "),
    ("two.zip", None, "a zip file must hold exactly one CSV file, it holds 2"),
    ("naive_and_aware.csv", "time,high,low,close\n2022-01-03 09:30-05:00,2,1,1\n"
     "2022-01-04 09:30,2,1,1\n", "column 'time' mixes times with and without a UTC offset: "
     "'2022-01-04 09:30' (data row 2)"),
    ("symbols_gap.csv", "symbol,high,low,close\nA,2,1,1\n,2,1,1\n",
     "column 'symbol' is empty in data row 2"),
    ("symbols_backwards.csv", "date,symbol,high,low,close\n2020-01-02,A,2,1,1\n"
     "2020-01-01,B,2,1,1\n2020-01-01,A,2,1,1\n",
     "the rows of symbol 'A' are not in time order: column 'date' must increase down the file "
     "(data row 3;"),
]


@pytest.mark.parametrize(("name", "content", "message"), BAD_FILES, ids=[b[0] for b in BAD_FILES])
def test_bad_input_files(capsys, tmp_path, name, content, message):
    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content, encoding="utf-8")
    elif name.endswith(".zip"):
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("a.csv", "high,low,close\n1,1,1\n")
            archive.writestr("b.csv", "high,low,close\n1,1,1\n")
    argv = ["--by", "symbol"] if name.startswith("symbols") else []
    err = run_error(capsys, "compute", "adx", *argv, "--input", str(path))
    assert message.format(path=path) in err


def test_directory_and_unwritable_output(capsys, tmp_path):
    assert f"cannot read '{tmp_path}': it is a directory with no Parquet files" in run_error(
        capsys, "compute", "atr", "-i", str(tmp_path))
    target = tmp_path / "no" / "such" / "dir.csv"
    assert f"cannot write '{target}': " in run_error(
        capsys, "compute", "atr", "-o", str(target))


def test_unreadable_file(capsys, monkeypatch, tmp_path):
    path = write_csv(tmp_path / "secret.csv", "high,low,close\n1,1,1\n")

    def refuse(file, *args, **kwargs):
        raise PermissionError(13, "Permission denied", file)

    monkeypatch.setattr(cli, "open", refuse, raising=False)  # found before the builtin
    assert f"cannot read '{path}': Permission denied" in run_error(capsys, "compute", "adx",
                                                                  "-i", path)


@pytest.mark.parametrize(("module", "argv", "extra"), [
    ("pyarrow", ["compute", "adx", "-i", "prices.parquet"], "[parquet]"),
    ("matplotlib", ["plot", "adx", "-o", "chart.png"], "[plot]"),
])
def test_missing_optional_dependency_names_the_extra(capsys, monkeypatch, module, argv, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    assert f"pip install 'vantrel-indicators{extra}'" in run_error(capsys, *argv)


def test_errors_end_to_end_without_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "vantrel.indicators", "compute", "adx",
                           "--input", "absent.csv"], capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == "vantrel-indicators: error: input file 'absent.csv' does not exist\n"


def test_closed_pipe_ends_quietly(tmp_path):
    reader = subprocess.Popen([sys.executable, "-m", "vantrel.indicators", "compute", "adx"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    assert reader.stdout.readline() == b"date,Plus_DI,Minus_DI,ADX\n"
    reader.stdout.close()  # like `| head -1`: the rest of the CSV meets a closed pipe
    assert reader.wait() == 0 and reader.stderr.read() == b""
    reader.stderr.close()


def test_compute_adx_end_to_end_prints_csv_without_matplotlib(tmp_path):
    code = ("import sys; from vantrel.indicators.cli import main; rc = main(['compute', 'adx']);"
            "assert 'matplotlib' not in sys.modules; sys.exit(rc)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0] == "date,Plus_DI,Minus_DI,ADX" and len(lines) == 1 + len(sample_ohlcv())


# ---------------------------------------------------------------------------
# plot


@pytest.mark.parametrize("name", NAMES)
def test_plot_writes_an_image(capsys, tmp_path, name):
    pytest.importorskip("matplotlib")
    path = tmp_path / f"{name}.png"
    argv = ["--period", "20"] if name == "ema" else []
    code, out, err = run(capsys, "plot", name, *argv, "--last", "300", "--output", str(path))
    # stderr may hold matplotlib's note that it is building its font cache (first use only)
    assert (code, out) == (0, "") and "error" not in err, err
    assert err.endswith(f"vantrel-indicators: wrote {path}\n")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 10_000


CHARTS = [  # indicator, columns of the file, the panels' y labels, reference levels
    ("adx", ["open", "high", "low", "close", "volume"], ["price", "volume", "+DI, -DI, ADX"],
     {20.0, 25.0}),
    ("stochastic", ["high", "low", "close"], ["price", "%K, %D"], {20.0, 80.0}),
    ("normalized_t3", ["close", "volume"], ["price", "volume", "normalized T3"], {0.0}),
    ("supertrend", ["open", "high", "low", "close"], ["price"], set()),
]


@pytest.mark.parametrize(("name", "columns", "ylabels", "levels"), CHARTS,
                         ids=[c[0] for c in CHARTS])
def test_chart_panels_candles_and_levels(name, columns, ylabels, levels):
    pytest.importorskip("matplotlib")
    from matplotlib.collections import LineCollection

    from vantrel.indicators import _plot

    bars = sample_ohlcv().iloc[:120][columns]
    params = {"period": 20} if name == "normalized_t3" else {}
    figure = _plot.chart(name, bars, "close", direct(name, bars, **params), "t")
    axes = figure.get_axes()
    assert [ax.get_ylabel() for ax in axes] == ylabels
    wicks = [c for c in axes[0].collections if isinstance(c, LineCollection)]
    assert len(wicks) == ("open" in columns)  # candles exactly when the file has the open
    drawn = {line.get_ydata()[0] for line in axes[-1].get_lines() if line.get_linestyle() == "--"}
    assert drawn == levels


def test_intraday_ticks_skip_nights_and_weekends():
    pytest.importorskip("matplotlib")
    from vantrel.indicators import _plot

    days = pd.bdate_range("2022-03-10", periods=3)  # Thursday, Friday, Monday
    times = pd.DatetimeIndex([d + pd.Timedelta(minutes=570 + 5 * i)
                              for d in days for i in range(78)])
    positions, labels = _plot._date_ticks(times)
    assert min(np.diff(positions)) >= len(times) / 9
    assert labels[0] == "10 Mar 10:00" and "11 Mar 09:30" in labels and "14 Mar 09:30" in labels
    assert all(len(label) == 5 for label in labels if "Mar" not in label)  # hours of the day


def test_plot_bad_format(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    err = run_error(capsys, "plot", "atr", "-o", str(tmp_path / "chart.xyz"))
    assert "cannot write" in err and "xyz" in err


def test_console_script_plots_supertrend(tmp_path):
    pytest.importorskip("matplotlib")
    script = Path(sys.executable).with_name("vantrel-indicators")
    if not script.exists():
        pytest.skip("console script not installed next to this interpreter")
    done = subprocess.run([str(script), "plot", "supertrend", "--output", "st.png"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0 and "error" not in done.stderr.lower(), done.stderr
    assert (tmp_path / "st.png").stat().st_size > 10_000


# ---------------------------------------------------------------------------
# The sample data


def test_sample_is_labelled_synthetic_and_well_formed():
    with open_sample() as handle:
        assert handle.readline().startswith("# Synthetic data, not market prices")
    prices = sample_ohlcv()
    assert len(prices) == 2000 and prices.index.is_monotonic_increasing
    assert list(prices.columns) == ["open", "high", "low", "close", "volume"]
    assert (prices["high"] >= prices[["open", "close"]].max(axis=1)).all()
    assert (prices["low"] <= prices[["open", "close"]].min(axis=1)).all()
    assert (prices["low"] > 0).all() and prices["volume"].dtype == np.int64
    assert np.allclose(prices[["open", "high", "low", "close"]] * 100,
                       (prices[["open", "high", "low", "close"]] * 100).round())


def test_sample_file_is_what_the_generator_makes():
    tool = ROOT / "tools" / "make_sample_data.py"
    if not tool.exists():
        pytest.skip("run from a clone of the repository")
    done = subprocess.run([sys.executable, str(tool), "--check"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
