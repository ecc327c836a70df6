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
