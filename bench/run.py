"""Runs the benchmark and writes bench/results.json, bench/RESULTS.md and the chart.

    bash bench/run.sh            # creates bench/.venv, installs, runs this
    bench/.venv/bin/python bench/run.py [--quick] [--out DIR]

Every comparison is made in one run on one machine: the contenders of a table are
timed in interleaved rounds (each round runs each contender once, in a rotated
order), and the tables quote medians over rounds and ratios ours / peer.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))

import contenders as C  # noqa: E402
import report  # noqa: E402

perf = time.perf_counter


# ---------------------------------------------------------------------------
# Timing.


def calibrate(fn, min_time: float) -> int:
    """Calls per timed sample so that one sample lasts about `min_time` seconds."""
    number = 1
    while True:
        t0 = perf()
        for _ in range(number):
            fn()
        dt = perf() - t0
        if dt >= min_time / 4:
            return max(1, round(number * min_time / dt))
        number *= 4


def interleaved(fns: dict, *, min_time: float, rounds: int, budget: float, min_rounds: int = 3) -> dict:
    """Median seconds per call of each callable, timed in rotating interleaved rounds.

    A contender that has used up `budget` seconds stops after `min_rounds` samples,
    so one slow peer cannot stretch the run; the others keep going.
    """
    labels = list(fns)
    numbers = {}
    for label in labels:
        fns[label]()  # warm-up: caches, lazy imports, numba dispatch
        numbers[label] = calibrate(fns[label], min_time)
    samples = {label: [] for label in labels}
    faults = {label: [] for label in labels}
    spent = dict.fromkeys(labels, 0.0)
    enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            k = r % len(labels)
            for label in labels[k:] + labels[:k]:
                if len(samples[label]) >= min_rounds and spent[label] > budget:
                    continue
                fn, number = fns[label], numbers[label]
                f0 = minor_faults()
                t0 = perf()
                for _ in range(number):
                    fn()
                dt = perf() - t0
                faults[label].append((minor_faults() - f0) / number)
                spent[label] += dt
                samples[label].append(dt / number)
            gc.collect()
    finally:
        if enabled:
            gc.enable()
    return {label: summary(samples[label], faults[label]) for label in labels}


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def summary(xs: list[float], faults: list[float]) -> dict:
    xs = sorted(xs)
    q1, q3 = xs[len(xs) // 4], xs[(3 * len(xs)) // 4]
    return {"median": statistics.median(xs), "min": xs[0], "iqr": q3 - q1, "rounds": len(xs),
            "faults": statistics.median(faults)}


# ---------------------------------------------------------------------------
# Sections.


def available() -> tuple[list[str], dict[str, str]]:
    names, missing = [], {}
    for name in C.FUNCTIONS:
        if C.ours(name) is None:
            missing[name] = "not built in this checkout yet: skipped"
        else:
            names.append(name)
    return names, missing


def crosscheck(names: list[str]) -> list[dict]:
    """Our results against the numba loops, bit for bit, on awkward data."""
    rng = np.random.default_rng(7)
    n = 4000
    d = C.random_walk(n, 11)
    h, l, c = d.high.round(2), d.low.round(2), d.close.round(2)  # ties and flat windows
    for arr in (h, l, c):
        pos = rng.integers(0, n, 12)
        arr[pos[:4]] = np.nan
        arr[pos[4:6]] = np.inf
        arr[pos[6:8]] = -np.inf
        arr[pos[8:]] = -0.0
    clean = C.random_walk(n, 12)
    grids = {
        "EMA": [{"period": p} for p in (1, 2, 14, 200, 0, -1)],
        "STOCHASTIC": [{"k_period": k, "d_period": dd} for k, dd in ((14, 3), (1, 1), (5, 0), (200, 10))],
        "ADX": [{"di_length": a, "adx_smoothing": b} for a, b in ((14, 14), (1, 1), (2, 30), (0, 5))],
        "SUPERTREND": [{"period": p, "multiplier": m} for p, m in ((10, 3.0), (1, 0.0), (30, 1.5), (5, -2.0))],
        "NORMALIZED_T3": [{"period": p, "t3_period": t, "volume_factor": v}
                          for p, t, v in ((200, 2, 0.7), (1, 1, 1.0), (10, 5, 0.3), (5000, 2, 0.7))],
        "ATR": [{"period": p} for p in (14, 1, 0, 100)],
    }
    positional = {
        "EMA": ("period",), "STOCHASTIC": ("k_period", "d_period"), "ADX": ("di_length", "adx_smoothing"),
        "SUPERTREND": ("period", "multiplier"), "NORMALIZED_T3": ("period", "t3_period", "volume_factor"),
        "ATR": ("period",),
    }
    rows = []
    for name in names:
        mine = C.ours(name)
        nb = C.numba_function(name)
        for label, (hh, ll, cc) in (("clean", (clean.high, clean.low, clean.close)), ("specials", (h, l, c))):
            for params in grids[name]:
                got = C.call(mine, name, hh, ll, cc, **params)
                want = _numba_call(nb, name, hh, ll, cc, params, positional[name])
                got_cols = [got[col].to_numpy() for col in got.columns] if isinstance(got, pd.DataFrame) \
                    else [got.to_numpy()]
                want_cols = list(want) if isinstance(want, tuple) else [want]
                bad = 0
                first = None
                for g, w in zip(got_cols, want_cols):
                    g = np.asarray(g)
                    w = np.asarray(w)
                    if g.dtype.kind == "f":
                        same = (g.view(np.int64) == w.view(np.int64)) | (np.isnan(g) & np.isnan(w))
                    else:
                        same = g == w
                    if not same.all():
                        bad += int((~same).sum())
                        if first is None:
                            first = int(np.argmin(same))
                rows.append({"function": name, "data": label, "params": params, "mismatches": bad,
                             "first": first})
    return rows


def _numba_call(nb, name, h, l, c, params, order):
    args = [params[p] for p in order]
    if name in ("EMA", "NORMALIZED_T3"):
        return nb(c, *args)
    return nb(h, l, c, *args)


def scaling(names: list[str], sizes: list[int], quick: bool) -> list[dict]:
    """Every contender at every size, arrays and Series."""
    rows = []
    for n in sizes:
        data = C.random_walk(n, n)
        for name in names:
            for kind in ("array", "series"):
                fns = {c.label: c.fn for c in C.contenders(name, data, kind)}
                big = n >= 1_000_000
                res = interleaved(fns, min_time=0.003, rounds=(5 if quick else (9 if big else 15)),
                                  budget=(1.0 if quick else 4.0))
                rows.append({"function": name, "n": n, "kind": kind, "times": res})
                print(f"  {name:14s} n={n:>9,} {kind:6s} " + "  ".join(
                    f"{k}={v['median'] * 1e3:.3f}ms" for k, v in res.items()), flush=True)
    return rows


def overhead_calls(name: str, data: C.Data, kind: str) -> dict:
    """Ours, pandas' constructor of our result, and the TA-Lib call plus that wrapping."""
    inputs = (data.high, data.low, data.close) if kind == "array" else data.series()
    mine = C.ours(name)
    raw = C.talib_raw(name)
    label, peer = ("TA-Lib+wrap", C.wrapped(raw, name)) if raw is not None else (
        "numba+wrap", C.wrapped(C.numba_function(name), name))
    return {
        "ours": lambda: C.call(mine, name, *inputs),
        "pandas constructor": C.constructor(name, data, kind),
        label: lambda: C.call(peer, name, *inputs),
    }


def overhead(names: list[str], quick: bool) -> list[dict]:
    """Per-call overhead: ours against the TA-Lib call plus wrapping, and pandas' constructor."""
    rows = []
    for n in (1, 1000):
        data = C.random_walk(n, 100 + n)
        for name in names:
            for kind in ("array", "series"):
                res = interleaved(overhead_calls(name, data, kind), min_time=0.005, rounds=7 if quick else 21,
                                  budget=10.0)
                rows.append({"function": name, "n": n, "kind": kind, "times": res})
                print(f"  overhead {name:14s} n={n:>5} {kind:6s} " + "  ".join(
                    f"{k}={v['median'] * 1e6:.2f}us" for k, v in res.items()), flush=True)
    return rows


def window_calls(fn, name: str, data: C.Data, param: str, values: tuple[int, ...]) -> dict:
    return {f"{param}={v}": (lambda v=v: C.call(fn, name, data.high, data.low, data.close, **{param: v}))
            for v in values}


def windows(names: list[str], n: int) -> list[dict]:
    """Long windows against the defaults on the same data."""
    data = C.random_walk(n, 5)
    rows = []
    cases = [("STOCHASTIC", "k_period", 14, 1000), ("NORMALIZED_T3", "period", 200, 5000)]
    for name, param, default, long in cases:
        if name not in names:
            continue
        fns = window_calls(C.ours(name), name, data, param, (default, long))
        res = interleaved(fns, min_time=0.003, rounds=9, budget=8.0)
        rows.append({"function": name, "n": n, "param": param, "default": default, "long": long,
                     "times": res})
        print(f"  window {name} " + "  ".join(f"{k}={v['median'] * 1e3:.2f}ms" for k, v in res.items()),
              flush=True)
    return rows


def floor(names: list[str], n: int) -> dict | None:
    """EMA against the bare C++ recursion that also copies its input and allocates its output."""
    if "EMA" not in names:
        return None
    bare = C.BareEma()
    data = C.random_walk(n, 3)
    src = data.close
    mine = C.ours("EMA")
    p = C.EMA_PERIOD
    ready = np.empty(n)
    check = bare.numpy_fresh(src, p)
    same = bool((check.view(np.int64) == mine(src, p).to_numpy().view(np.int64)).all())
    fns = {
        "ours": lambda: mine(src, p),
        "C++ numpy-allocated": lambda: bare.numpy_fresh(src, p),
        "C++ malloc": lambda: bare.malloc_fresh(src, p),
        "C++ loop only": lambda: bare.loop_only(src, ready, p),
        "numba": lambda: C.nb_ema(src, p),
    }
    res = interleaved(fns, min_time=0.003, rounds=21, budget=5.0)
    print("  floor " + "  ".join(f"{k}={v['median'] * 1e3:.3f}ms" for k, v in res.items()), flush=True)
    return {"n": n, "times": res, "same_bits": same}


def faults_per_call(fn, calls: int = 5) -> float:
    """Minor page faults per call: the cost of fresh memory, counted rather than timed."""
    before = minor_faults()
    for _ in range(calls):
        fn()
    return (minor_faults() - before) / calls


def warm_allocator() -> str:
    """Fixes glibc's allocator in the state of a long-running process that works with big arrays.

    By default glibc serves blocks above a threshold (128 KiB at start, raised to the size of
    the last big block freed, up to 32 MiB) with fresh mappings, returns them to the kernel
    when freed, and trims the top of its heap when more than twice that threshold is free.
    Whether a call then pays page faults for its arrays depends on what ran before it:
    pandas-ta's bursts of temporaries, say, would make the next contender's arrays fresh.
    Fixing both thresholds (mallopt) keeps freed memory in the process for every contender
    alike; the cost of fresh memory in a new process is measured apart (`cold`).
    """
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        m_trim_threshold, m_mmap_threshold = -1, -3
        ok = libc.mallopt(m_mmap_threshold, 32 << 20) == 1 and libc.mallopt(m_trim_threshold, 1 << 30) == 1
    except (OSError, AttributeError):
        ok = False
    return "glibc mmap threshold 32 MiB, trim threshold 1 GiB" if ok else "allocator defaults (not glibc)"


def cold_probe(name: str, contender: str, sizes: list[int]) -> list[dict]:
    """One contender in this fresh interpreter, allocator untouched: time and faults per call."""
    fn = C.ours(name) if contender == "ours" else C.numba_function(name)
    rows = []
    for n in sizes:
        data = C.random_walk(n, 13)
        call = (lambda d=data: C.call(fn, name, d.high, d.low, d.close))
        call()
        times = []
        for _ in range(7):
            t0 = perf()
            call()
            times.append(perf() - t0)
        rows.append({"n": n, "median": statistics.median(times), "faults": faults_per_call(call)})
    return rows


def cold(names: list[str], sizes: list[int]) -> list[dict]:
    """Ours and the numba loop each in a fresh interpreter (see warm_allocator)."""
    rows = []
    for name in names:
        found = {}
        for contender in ("ours", "numba"):
            out = subprocess.run([sys.executable, __file__, "--cold-probe", name, contender,
                                  *map(str, sizes)], capture_output=True, text=True, check=True).stdout
            found[contender] = json.loads(out.strip().splitlines()[-1])
        for i, n in enumerate(sizes):
            rows.append({"function": name, "n": n, "ours": found["ours"][i], "numba": found["numba"][i]})
            print(f"  cold {name:14s} n={n:>9,} ours {found['ours'][i]['median'] * 1e3:.2f}ms/"
                  f"{found['ours'][i]['faults']:.0f}pf  numba {found['numba'][i]['median'] * 1e3:.2f}ms/"
                  f"{found['numba'][i]['faults']:.0f}pf", flush=True)
    return rows


def diagnostics(names: list[str], n: int) -> list[dict]:
    """Where ours loses at the largest size: the input copies alone, and page faults per call."""
    data = C.random_walk(n, 13)
    arrays = (data.high, data.low, data.close)
    rows = []
    for name in names:
        mine, nb = C.ours(name), C.numba_function(name)
        fns = {"ours": lambda m=mine, nm=name: C.call(m, nm, *arrays),
               "numba": lambda f=nb, nm=name: C.call(f, nm, *arrays),
               "input copies alone": C.copies(name, data)}
        res = interleaved(fns, min_time=0.003, rounds=15, budget=5.0)
        faults = {label: faults_per_call(fn) for label, fn in fns.items()}
        rows.append({"function": name, "n": n, "times": res, "faults": faults, "copies": C.COPIES[name]})
        print(f"  diagnostics {name:14s} " + "  ".join(
            f"{k}={v['median'] * 1e3:.2f}ms/{faults[k]:.0f}pf" for k, v in res.items()), flush=True)
    return rows


SLACK = 64 * 1024  # bytes of interpreter objects (the result's index, names, dict) beyond the columns


def memory(names: list[str], n: int) -> list[dict]:
    """Peak traced allocation of one call (NumPy reports its data buffers to tracemalloc)."""
    data = C.random_walk(n, 9)
    rows = []
    for name in names:
        mine = C.ours(name)
        inputs, outputs = C.SHAPE[name]
        for kind in ("array", "series"):
            args = (data.high, data.low, data.close) if kind == "array" else data.series()
            C.call(mine, name, *args)  # warm
            gc.collect()
            tracemalloc.start()
            base = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            result = C.call(mine, name, *args)
            peak = tracemalloc.get_traced_memory()[1] - base
            tracemalloc.stop()
            del result
            column = 8 * n
            rows.append({"function": name, "kind": kind, "n": n, "peak": peak, "slack": SLACK,
                         "budget": (inputs + outputs + 1) * column, "column": column,
                         "inputs": inputs, "outputs": outputs})
        print(f"  memory {name:14s} peak={rows[-1]['peak'] / (8 * n):.2f} columns "
              f"(budget {inputs + outputs + 1})", flush=True)
    return rows


def threads(names: list[str], n: int, quick: bool) -> list[dict]:
    """Throughput of two threads on two different series against one thread doing both.

    Two controls show what the machine allows at that moment: the bare C++ EMA
    recursion into ready arrays (compute only; ctypes releases the GIL) and a copy
    into fresh memory (`astype`: memory bandwidth and page faults only).
    """
    a, b = C.random_walk(n, 21), C.random_walk(n, 22)
    calls = 2
    rows = []

    def one_thread(fn):
        t0 = perf()
        for d in (a, b):
            for _ in range(calls):
                fn(d)
        return perf() - t0

    def two_threads(fn):
        barrier = threading.Barrier(3)

        def work(d):
            barrier.wait()
            for _ in range(calls):
                fn(d)

        ts = [threading.Thread(target=work, args=(d,)) for d in (a, b)]
        for t in ts:
            t.start()
        barrier.wait()
        t0 = perf()
        for t in ts:
            t.join()
        return perf() - t0

    bare = C.BareEma()
    ready = {id(a): np.empty(n), id(b): np.empty(n)}
    cases = [("control", "C++ recursion into ready arrays",
              lambda d: bare.loop_only(d.close, ready[id(d)], C.EMA_PERIOD)),
             ("control", "copy into fresh memory", lambda d: d.close.astype(np.float64))]
    for name in names:
        for label, f in (("ours", C.ours(name)), ("numba", C.numba_function(name))):
            cases.append((name, label, lambda d, f=f, name=name: C.call(f, name, d.high, d.low, d.close)))
    for name, label, fn in cases:
        fn(a)
        t1s, t2s = [], []
        for r in range(3 if quick else 7):
            if r % 2:
                t2s.append(two_threads(fn))
                t1s.append(one_thread(fn))
            else:
                t1s.append(one_thread(fn))
                t2s.append(two_threads(fn))
        t1, t2 = statistics.median(t1s), statistics.median(t2s)
        rows.append({"function": name, "contender": label, "n": n, "calls": 2 * calls,
                     "one_thread": t1, "two_threads": t2, "speedup": t1 / t2})
        print(f"  threads {name:14s} {label:6s} speedup {t1 / t2:.2f}x", flush=True)
    return rows


def pandas_calls(n: int) -> dict:
    cols = [np.random.default_rng(1).random(n) for _ in range(3)]
    a = cols[0]
    index = pd.date_range("2020", periods=n, freq="min")
    return {
        "pd.Series(a, name=)": lambda: pd.Series(a, name="EMA"),
        "pd.Series(a, name=, copy=False)": lambda: pd.Series(a, name="EMA", copy=False),
        "pd.Series(a, index=, name=)": lambda: pd.Series(a, index=index, name="EMA"),
        "pd.DataFrame(3 columns)": lambda: pd.DataFrame(dict(zip("abc", cols))),
        "pd.DataFrame(3 columns, copy=False)": lambda: pd.DataFrame(dict(zip("abc", cols)), copy=False),
        "a.astype(np.float64)": lambda: a.astype(np.float64),
        "np.empty(n) + first write": lambda: np.copyto(np.empty(n), a),
    }


def pandas_costs(n_values=(1, 1_000_000)) -> list[dict]:
    """What pandas' constructors and NumPy's copy cost on their own (for the framework notes)."""
    rows = []
    for n in n_values:
        res = interleaved(pandas_calls(n), min_time=0.003, rounds=15, budget=5.0)
        rows.append({"n": n, "times": res})
        print(f"  pandas n={n}: " + "  ".join(f"{k}={v['median'] * 1e6:.1f}us" for k, v in res.items()),
              flush=True)
    return rows


def machine() -> dict:
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    thp = ""
    try:
        thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().strip()
    except OSError:
        pass
    versions = {"python": platform.python_version(), "numpy": np.__version__, "pandas": pd.__version__}
    for module, key in (("talib", "ta-lib"), ("pandas_ta_classic", "pandas-ta-classic"), ("numba", "numba"),
                        ("vantrel.indicators", "vantrel.indicators"), ("matplotlib", "matplotlib")):
        try:
            versions[key] = __import__(module, fromlist=["__version__"]).__version__
        except Exception:  # noqa: BLE001 - a missing peer is reported, not fatal
            versions[key] = "not installed"
    commit = ""
    try:
        commit = subprocess.run(["git", "-C", str(C.HERE), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    gxx = subprocess.run([os.environ.get("CXX", "g++"), "--version"], capture_output=True, text=True,
                         check=False).stdout.splitlines()[:1]
    return {"cpu": cpu, "cores": os.cpu_count(), "nice": os.nice(0), "load": [round(x, 2) for x in os.getloadavg()], "system": f"{platform.system()} {platform.release()}",
            "thp": thp, "versions": versions, "commit": commit, "compiler": gxx[0] if gxx else "",
            "date": time.strftime("%Y-%m-%d %H:%M")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer rounds (a smoke run)")
    parser.add_argument("--out", type=Path, default=None, help="output folder (default: bench/, or "
                        "bench/build/quick with --quick)")
    parser.add_argument("--cold-probe", nargs="+", metavar="ARG", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cold_probe:  # internal: one measurement in a fresh interpreter, printed as JSON
        name, contender, *sizes = args.cold_probe
        print(json.dumps(cold_probe(name, contender, [int(x) for x in sizes])))
        return
    out = args.out or (C.HERE / "build" / "quick" if args.quick else C.HERE)
    out.mkdir(parents=True, exist_ok=True)
    big = 100_000 if args.quick else 1_000_000
    sizes = [1000, 10_000, 100_000] if args.quick else [1000, 10_000, 100_000, 1_000_000]

    started = perf()
    allocator = warm_allocator()
    names, missing = available()
    print(f"functions: {', '.join(names)}" + (f"; missing: {', '.join(missing)}" if missing else ""), flush=True)
    print("compiling numba loops ...", flush=True)
    C.warm_numba()
    results = {"meta": machine(), "missing": missing, "quick": args.quick, "big": big}
    results["meta"]["allocator"] = allocator
    sections = [
        ("crosscheck", lambda: crosscheck(names)),
        ("scaling", lambda: scaling(names, sizes, args.quick)),
        ("overhead", lambda: overhead(names, args.quick)),
        ("windows", lambda: windows(names, big)),
        ("floor", lambda: floor(names, big)),
        ("diagnostics", lambda: diagnostics(names, big)),
        ("cold", lambda: cold(names, [big // 10, big])),
        ("memory", lambda: memory(names, big)),
        ("threads", lambda: threads(names, big, args.quick)),
        ("pandas", lambda: pandas_costs((1, big))),
    ]
    for key, run in sections:
        print(f"[{key}] {perf() - started:.0f}s", flush=True)
        results[key] = run()
    results["seconds"] = perf() - started
    results["meta"]["load_end"] = [round(x, 2) for x in os.getloadavg()]
    (out / "results.json").write_text(json.dumps(results, indent=1))
    report.write(results, out)
    print(f"done in {results['seconds']:.0f}s: {out / 'RESULTS.md'}", flush=True)


if __name__ == "__main__":
    main()
