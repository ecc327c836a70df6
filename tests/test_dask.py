"""vantrel.indicators.dask on a real cluster (two worker processes) over Parquet datasets that
pyarrow writes partitioned: bit for bit the batch functions' by= call on the whole table in
memory, whatever the layout, the row order or a worker lost on the way."""

from __future__ import annotations

import os
import signal
import time

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import vantrel.indicators as vi  # noqa: E402
from vantrel.indicators import batch  # noqa: E402
from vantrel.indicators import dask as vdask  # noqa: E402

SYMBOLS, BARS = 300, 2_000
KEEP = ["symbol", "time"]


def prices() -> pd.DataFrame:
    """SYMBOLS random walks of BARS minute bars, sorted by symbol, then time."""
    rng = np.random.default_rng(13)
    rows = SYMBOLS * BARS
    close = 100.0 + rng.standard_normal(rows).cumsum() * 0.1
    spread = rng.random(rows)
    bar = np.tile(np.arange(BARS), SYMBOLS)
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{i:03d}" for i in range(SYMBOLS)], BARS),
        "time": pd.Timestamp("2024-01-02 09:30") + pd.to_timedelta(bar, unit="min"),
        "High": close + spread, "low": close - spread, "close": close})
    frame.loc[rng.choice(rows, 50, replace=False), "close"] = np.nan
    return frame.assign(bucket=np.repeat(np.arange(SYMBOLS) % 5, BARS), chunk=bar // 250)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    frame = prices()
    root = tmp_path_factory.mktemp("prices")
    layouts = {
        # Each symbol in one file (five files of 60 symbols each): no shuffle needed.
        "by_symbol": (frame.drop(columns="chunk"), ["bucket"]),
        # Eight files of 250 bars of every symbol: each symbol split across eight partitions.
        "by_time": (frame.drop(columns="bucket"), ["chunk"]),
        # The same, every file's rows in random order.
        "by_time_unsorted": (frame.drop(columns="bucket").sample(frac=1.0, random_state=5),
                             ["chunk"]),
    }
    paths = {}
    for name, (table, partition_cols) in layouts.items():
        paths[name] = str(root / name)
        pq.write_to_dataset(pa.Table.from_pandas(table, preserve_index=False), paths[name],
                            partition_cols=partition_cols)
    return frame, paths


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def expected(frame, name, **params):
    """The batch function's by= call on the whole table in memory."""
    one = name in ("EMA", "NORMALIZED_T3")
    inputs = [frame["High"]] if one else [frame["High"], frame["low"], frame["close"]]
    result = getattr(batch, name)(*inputs, **params, by=frame["symbol"])
    return result.to_frame() if isinstance(result, pd.Series) else result


def assert_exact(got: pd.DataFrame, frame: pd.DataFrame, want: pd.DataFrame) -> None:
    """`got` (keep columns + outputs, any row order) holds `want`'s bits on `frame`'s rows."""
    got = got.sort_values(KEEP, kind="stable").reset_index(drop=True)
    for column in KEEP:  # Parquet may hand back other dtypes (times in microseconds)
        assert got[column].astype(frame[column].dtype).equals(frame[column].reset_index(drop=True))
    assert list(got.columns[len(KEEP):]) == list(want.columns)
    for column in want.columns:
        assert got[column].dtype == want[column].dtype, column
        assert np.array_equal(got[column].to_numpy().view(np.int64),
                              want[column].to_numpy().view(np.int64)), column


def shuffles(result) -> bool:
    return "Shuffle" in str(result.optimize().expr.tree_repr())


@pytest.mark.parametrize(("indicator", "name", "params"), [
    ("adx", "ADX", {"di_length": 10}),
    (vi.SUPERTREND, "SUPERTREND", {"period": 7, "multiplier": 2.5}),   # int64 Direction
    (batch.EMA, "EMA", {"period": 20}),
    ("Normalized-T3", "NORMALIZED_T3", {"period": 50}),
])
def test_dataset_partitioned_by_symbol(client, data, indicator, name, params):
    frame, paths = data
    columns = {"src": "High"} if name in ("EMA", "NORMALIZED_T3") else None
    result = vdask.apply(dd.read_parquet(paths["by_symbol"]), indicator, by="symbol",
                         keep=KEEP, columns=columns, **params)
    assert not shuffles(result)  # every symbol sits in one file: the cheap case
    got = result.compute()
    assert got.dtypes.equals(result._meta.dtypes)
    assert_exact(got, frame, expected(frame, name, **params))


@pytest.mark.parametrize(("layout", "order"), [("by_time", None), ("by_time_unsorted", "time")])
def test_symbols_split_across_partitions(client, data, layout, order):
    """The shuffle brings each symbol's rows together in the input's order (or in `order`),
    though Dask's shuffle delivers them in whatever order they arrive."""
    frame, paths = data
    result = vdask.apply(dd.read_parquet(paths[layout]), "ADX", by="symbol", order=order,
                         keep=KEEP)
    assert shuffles(result)
    assert_exact(result.compute(), frame, expected(frame, "ADX"))


def test_frame_already_shuffled_needs_order(client, data):
    frame, paths = data
    shuffled = dd.read_parquet(paths["by_time_unsorted"]).shuffle(on="symbol")
    with pytest.raises(ValueError, match="does not keep its rows in order: pass order="):
        vdask.apply(shuffled, "ADX", by="symbol")
    result = vdask.apply(shuffled, "ADX", by="symbol", order="time", keep=KEEP)
    assert str(result.optimize().expr.tree_repr()).count("Shuffle") == 1  # no second one
    assert_exact(result.compute(), frame, expected(frame, "ADX"))


def _never_read(i):
    raise AssertionError("a task ran")


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"by": "ticker"}, ValueError, "no 'ticker' column for by="),
    ({"by": "symbol", "order": "date"}, ValueError, "no 'date' column for order="),
    ({"by": "symbol", "keep": ["volume"]}, ValueError, "no 'volume' column for keep="),
    ({"by": "symbol", "columns": {"high": "H"}}, ValueError, "no 'H' column for ADX's high"),
    ({"by": "symbol", "columns": {"src": "close"}}, ValueError, "'src', which ADX does not read"),
    ({"by": "symbol", "indicator": "EMA", "period": 3, "columns": {}}, ValueError,
     "no column matches 'close' for EMA's src"),
    ({"by": "symbol", "dilength": 3}, TypeError, "ADX has no parameter 'dilength'"),
    ({"by": "symbol", "di_length": [3, 4]}, TypeError, "di_length takes one value here"),
    ({"by": "symbol", "indicator": "NORMALIZED_T3", "volume_factor": 2.0}, ValueError,
     "Volume factor must be between 0 and 1"),
    ({"by": "symbol", "indicator": "MACD"}, ValueError, "unknown indicator 'MACD'"),
    ({"by": "symbol", "indicator": len}, TypeError, "indicator must be an indicator's name"),
])
def test_mistakes_raise_before_any_task(kwargs, error, message):
    """The frame's tasks fail if one runs: the error must come from the arguments alone."""
    meta = pd.DataFrame({"symbol": pd.Series(dtype=object), "time": pd.Series(dtype="M8[ns]"),
                         "high": pd.Series(dtype=float), "low": pd.Series(dtype=float),
                         "Close": pd.Series(dtype=float)})
    ddf = dd.from_map(_never_read, [0, 1], meta=meta, enforce_metadata=False)
    kwargs = {"indicator": "ADX", **kwargs}
    if kwargs["indicator"] == "EMA":
        ddf = ddf.drop(columns="Close")
    with pytest.raises(error, match=message):
        vdask.apply(ddf, kwargs.pop("indicator"), **kwargs)


def _slow(part: pd.DataFrame) -> pd.DataFrame:
    time.sleep(0.4)  # the computation lasts long enough to lose a worker in the middle of it
    return part


def _tasks_in_memory(dask_scheduler=None):
    return {ws.address: len(ws.has_what) for ws in dask_scheduler.workers.values()}


def test_worker_killed_mid_run(client, data):
    frame, paths = data
    ddf = dd.read_parquet(paths["by_time"])
    ddf = ddf.map_partitions(_slow, meta=ddf._meta)
    future = client.compute(vdask.apply(ddf, "ADX", by="symbol", keep=KEEP, partitioned=False))
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 60
    while True:  # until a worker holds results and the computation still runs
        holding = [a for a, n in client.run_on_scheduler(_tasks_in_memory).items() if n]
        if holding or future.done() or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    assert holding and not future.done()
    os.kill(pids[holding[0]], signal.SIGKILL)
    got = future.result(timeout=120)
    assert_exact(got, frame, expected(frame, "ADX"))
    client.wait_for_workers(2, timeout=60)
    assert holding[0] not in client.run(os.getpid)  # the worker was lost and replaced
