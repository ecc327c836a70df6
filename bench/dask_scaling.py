"""Dask throughput: two local workers against one, and one worker against the in-process call.

    python bench/dask_scaling.py [--symbols 1000] [--bars 20000] [--rounds 3] [--files 40]

Writes a Parquet dataset of SYMBOLS x BARS minute bars (symbol, time, high, low, close),
partitioned by a symbol bucket so that every symbol sits in one file (the cheap layout: no
shuffle), and runs ADX per symbol over it in three ways, in interleaved rounds (each round
runs each way once, in a rotated order; the tables quote medians and ratios of one run):

- in-process: ``pandas.read_parquet`` of the dataset, ``batch.ADX(..., by=symbol, threads=1)``,
  ``to_parquet`` of the result: one thread, everything in memory;
- Dask, one worker: ``distributed.LocalCluster(n_workers=1, threads_per_worker=1)``,
  ``read_parquet`` -> ``vantrel.indicators.dask.apply`` -> ``to_parquet``;
- Dask, two workers: the same with ``n_workers=2``.

Each way also runs compute-only: the prices already in memory (a pandas frame in-process,
persisted on the workers for Dask), the results reduced to a row count where they are made.
Cluster start-up is not timed. The machine's load average is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

perf = time.perf_counter


def write_dataset(root: Path, symbols: int, bars: int, files: int) -> int:
    """The dataset, written one bucket of symbols at a time; its size on disk in bytes."""
    rng = np.random.default_rng(7)
    per_file = -(-symbols // files)
    start = np.datetime64("2015-01-02T09:30", "ns")
    for bucket in range(files):
        names = range(bucket * per_file, min(symbols, (bucket + 1) * per_file))
        if not names:
            break
        rows = len(names) * bars
        close = 100.0 + rng.standard_normal(rows).cumsum() * 0.05
        spread = rng.random(rows) * 0.2
        table = pa.table({
            "symbol": np.repeat([f"S{i:05d}" for i in names], bars),
            "time": np.tile(start + np.arange(bars).astype("m8[m]"), len(names)),
            "high": close + spread, "low": close - spread, "close": close})
        folder = root / f"bucket={bucket}"
        folder.mkdir(parents=True)
        pq.write_table(table, folder / "part-0.parquet")
    return sum(p.stat().st_size for p in root.rglob("*.parquet"))


def in_process(source: Path, out: Path) -> int:
    from vantrel.indicators import batch

    frame = pd.read_parquet(source)
    result = batch.ADX(frame["high"], frame["low"], frame["close"], by=frame["symbol"], threads=1)
    result.insert(0, "symbol", frame["symbol"].to_numpy())
    result.insert(0, "time", frame["time"].to_numpy())
    result.to_parquet(out / "part.0.parquet", index=False)
    return len(result)


def in_process_compute(frame: pd.DataFrame) -> int:
    from vantrel.indicators import batch

    return len(batch.ADX(frame["high"], frame["low"], frame["close"], by=frame["symbol"],
                         threads=1))


def on_dask(source: Path, out: Path) -> None:
    import dask.dataframe as dd

    from vantrel.indicators import dask as vdask

    result = vdask.apply(dd.read_parquet(source), "ADX", by="symbol", keep=["time", "symbol"])
    result.to_parquet(out, write_index=False)


def on_dask_compute(prices) -> int:
    from vantrel.indicators import dask as vdask

    result = vdask.apply(prices, "ADX", by="symbol", partitioned=True)
    return int(result.map_partitions(len).sum().compute())


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--symbols", type=int, default=1000)
    parser.add_argument("--bars", type=int, default=20_000)
    parser.add_argument("--files", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    rows = args.symbols * args.bars
    work = Path(tempfile.mkdtemp(prefix="vantrel-dask-bench-"))
    try:
        source = work / "prices"
        t0 = perf()
        disk = write_dataset(source, args.symbols, args.bars, args.files)
        print(f"dataset: {rows:,} rows ({args.symbols:,} symbols x {args.bars:,} bars) in "
              f"{args.files} files, {disk / rows:.1f} bytes per row on disk "
              f"(written in {perf() - t0:.1f} s)")
        frame = pd.read_parquet(source)
        memory = frame.memory_usage(deep=True).sum()
        print(f"in memory: {memory / rows:.1f} bytes per row (pandas)")
        print(f"load average before: {load()}   cpus: {os.cpu_count()}")

        times: dict[str, list[float]] = {}

        out = work / "out"

        def timed(label: str, run) -> None:
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            t = perf()
            run()
            times.setdefault(label, []).append(perf() - t)

        ways = ["in-process", "dask-1", "dask-2"]
        for r in range(args.rounds):
            for way in ways[r % 3:] + ways[:r % 3]:
                if way == "in-process":
                    timed("in-process parquet->parquet", lambda: in_process(source, out))
                    timed("in-process compute", lambda: in_process_compute(frame))
                    continue
                workers = int(way[-1])
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster, \
                        Client(cluster) as client:
                    client.run(lambda: __import__("vantrel.indicators.dask"))
                    timed(f"dask {workers} worker parquet->parquet", lambda: on_dask(source, out))
                    prices = dd.read_parquet(source).persist()
                    from distributed import wait

                    wait(prices)
                    timed(f"dask {workers} worker compute", lambda: on_dask_compute(prices))
                    del prices
            print(f"round {r + 1}: load average {load()}", file=sys.stderr)

        median = {k: statistics.median(v) for k, v in times.items()}
        print(f"\n{'run':38} {'median s':>9} {'rows/s':>14}")
        for label, seconds in median.items():
            print(f"{label:38} {seconds:9.2f} {rows / seconds:14,.0f}")
        for kind in ("parquet->parquet", "compute"):
            one, two = median[f"dask 1 worker {kind}"], median[f"dask 2 worker {kind}"]
            base = median[f"in-process {kind}"]
            print(f"\n{kind}: two workers / one worker = {one / two:.2f}x rows/s; "
                  f"one worker's time / in-process time = {one / base:.2f}x")
        print(f"\nload average after: {load()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
