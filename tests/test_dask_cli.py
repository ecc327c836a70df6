"""`vantrel-indicators compute ... --by` over a directory of Parquet files: the Dask engine
writes what the in-memory engine writes, bit for bit, and talks on stderr only to a terminal."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from vantrel.indicators import cli  # noqa: E402


@pytest.fixture(scope="module")
def prices_dir(tmp_path_factory):
    """40 symbols x 500 bars, in four files of 125 bars each, rows shuffled within each file."""
    rng = np.random.default_rng(3)
    rows = 40 * 500
    close = 50.0 + rng.standard_normal(rows).cumsum() * 0.05
    bar = np.tile(np.arange(500), 40)
    frame = pd.DataFrame({
        "Symbol": np.repeat([f"T{i:02d}" for i in range(40)], 500),
        "Date": pd.Timestamp("2021-03-01") + pd.to_timedelta(bar, unit="D"),
        "High": close + 0.5, "Low": close - 0.5, "Close": close, "part": bar // 125})
    path = tmp_path_factory.mktemp("cli") / "prices"
    table = pa.Table.from_pandas(frame.sample(frac=1.0, random_state=1), preserve_index=False)
    pq.write_to_dataset(table, str(path), partition_cols=["part"])
    return str(path)


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def read_sorted(path):
    frame = pd.read_parquet(path)
    frame["Date"] = frame["Date"].astype("M8[ns]")
    return frame.sort_values(["Symbol", "Date"], kind="stable").reset_index(drop=True)


@pytest.mark.parametrize(("name", "options"), [("adx", []), ("supertrend", ["--period", "5"]),
                                               ("ema", ["--period", "9", "--source", "high"])])
def test_dask_engine_writes_what_pandas_writes(capsys, tmp_path, prices_dir, name, options):
    dask_out, pandas_out = tmp_path / "dask/", tmp_path / "pandas.parquet"
    # A directory with --by: the Dask engine, unless told otherwise.
    assert run(capsys, "compute", name, *options, "--input", prices_dir, "--by", "symbol",
               "--output", f"{dask_out}/") == (0, "", "")
    # The in-memory engine wants each symbol's rows in time order.
    ordered = tmp_path / "ordered.parquet"
    read_sorted(prices_dir).drop(columns="part").to_parquet(ordered)
    assert run(capsys, "compute", name, *options, "--input", str(ordered), "--by", "symbol",
               "--engine", "pandas", "--output", str(pandas_out)) == (0, "", "")
    got, want = read_sorted(dask_out), read_sorted(pandas_out)
    assert list(got.columns) == list(want.columns) == ["Date", "Symbol", *cli.INDICATORS[name].outputs]
    assert got["Symbol"].astype(str).equals(want["Symbol"].astype(str))
    for column in cli.INDICATORS[name].outputs:
        assert got[column].dtype == want[column].dtype
        assert np.array_equal(got[column].to_numpy().view(np.int64),
                              want[column].to_numpy().view(np.int64)), column


def test_progress_bar_only_on_a_terminal(capsys, monkeypatch, tmp_path, prices_dir):
    argv = ["compute", "atr", "--input", prices_dir, "--by", "symbol", "--engine", "dask"]
    assert run(capsys, *argv, "--output", f"{tmp_path / 'a'}/") == (0, "", "")
    monkeypatch.setattr("sys.stderr.isatty", lambda: True)
    code, out, err = run(capsys, *argv, "--output", f"{tmp_path / 'b'}/")
    assert (code, out) == (0, "")
    assert "100% Completed" in err


@pytest.mark.parametrize(("argv", "message"), [
    (["--output", "out/"], "--engine dask computes each key on its own rows: pass --by COLUMN"),
    (["--by", "symbol"], "--engine dask writes Parquet: pass --output DIRECTORY/"),
    (["--by", "ticker", "--output", "out/"], "no 'ticker' column in '{input}' for --by"),
    (["--by", "symbol", "--output", "out/", "--source", "open"], "no 'open' column in '{input}'"),
])
def test_dask_engine_mistakes(capsys, prices_dir, argv, message):
    indicator = "ema" if "--source" in argv else "adx"
    options = ["--period", "3"] if indicator == "ema" else []
    code, out, err = run(capsys, "compute", indicator, *options, "--input", prices_dir,
                         "--engine", "dask", *argv)
    assert (code, out) == (2, "")
    assert err.startswith(f"vantrel-indicators: error: {message.format(input=prices_dir)}")


def test_dask_engine_reads_csv_files_as_the_pandas_road_does(capsys, tmp_path):
    # Day-first text dates (their text order is not their time order), rows shuffled over two
    # gzip files, and an empty close: the bits and the warning of the pandas road.
    rng = np.random.default_rng(5)
    bar = np.tile(np.arange(300), 6)
    close = 20.0 + rng.standard_normal(len(bar)).cumsum() * 0.1
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{i}" for i in range(6)], 300),
        "date": (pd.Timestamp("2020-01-01") + pd.to_timedelta(bar, unit="D")).strftime("%d/%m/%Y"),
        "high": close + 0.3, "low": close - 0.3, "close": close})
    frame.loc[400, "close"] = np.nan
    ordered = tmp_path / "ordered.csv"
    frame.to_csv(ordered, index=False)
    (tmp_path / "csv").mkdir()
    shuffled = frame.sample(frac=1.0, random_state=2)
    for k in range(2):
        shuffled.iloc[k::2].to_csv(tmp_path / "csv" / f"part{k}.csv.gz", index=False)
    common = ["compute", "adx", "--by", "symbol", "--dayfirst"]
    code, out, err = run(capsys, *common, "--input", str(tmp_path / "csv"),
                         "--output", f"{tmp_path / 'dask'}/")
    assert (code, out) == (0, "")
    assert err == ("vantrel-indicators: warning: column 'close' is empty in 1 row; a key's output "
                   "rows from its first such row on may be NaN (--dropna drops such rows first)\n")
    code, out, err = run(capsys, *common, "--input", str(ordered), "--engine", "pandas",
                         "--output", str(tmp_path / "pandas.parquet"))
    assert (code, out) == (0, "") and "column 'close' is empty in data row 401" in err
    got, want = (pd.read_parquet(p).sort_values(["symbol", "date"], kind="stable", ignore_index=True)
                 for p in (tmp_path / "dask", tmp_path / "pandas.parquet"))
    assert list(got.columns) == list(want.columns)
    assert got["date"].astype(str).equals(want["date"].astype(str))
    for column in cli.INDICATORS["adx"].outputs:
        assert np.array_equal(got[column].to_numpy().view(np.int64),
                              want[column].to_numpy().view(np.int64)), column


def test_dask_engine_refuses_a_directory_of_csv_and_other_files(capsys, tmp_path):
    pd.DataFrame({"symbol": ["a"], "close": [1.0]}).to_csv(tmp_path / "a.csv", index=False)
    pd.DataFrame({"symbol": ["a"], "close": [1.0]}).to_parquet(tmp_path / "b.parquet")
    code, out, err = run(capsys, "compute", "ema", "--period", "3", "--input", str(tmp_path),
                         "--by", "symbol", "--engine", "dask", "--output", f"{tmp_path / 'o'}/")
    assert (code, out) == (2, "")
    assert "holds CSV files and other files" in err
