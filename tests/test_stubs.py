"""Type stubs: one per compiled module, in step with the runtime signatures, useful to
mypy --strict, and in agreement with the modules according to stubtest."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import subprocess
import sys
import textwrap
from importlib import metadata
from pathlib import Path

import pytest

import vantrel.indicators

FUNCTIONS = {
    "vantrel.indicators.ema.ema": "EMA",
    "vantrel.indicators.stochastic.stochastic": "STOCHASTIC",
    "vantrel.indicators.adx.adx": "ADX",
    "vantrel.indicators.supertrend.supertrend": "SUPERTREND",
    "vantrel.indicators.normalized_t3.normalized_t3": "NORMALIZED_T3",
    "vantrel.indicators.volatility": "ATR",
}
PACKAGE = Path(vantrel.indicators.__file__).parent


def stub_of(module_name: str) -> ast.Module:
    module = importlib.import_module(module_name)
    path = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    return ast.parse(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize(("module_name", "name"), FUNCTIONS.items())
def test_stub_signature_and_help(module_name, name):
    """Names, kinds and defaults (with their types) as the function reports them, and a
    docstring that describes every parameter."""
    node = next(n for n in stub_of(module_name).body
                if isinstance(n, ast.FunctionDef) and n.name == name)
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    runtime = inspect.signature(getattr(importlib.import_module(module_name), name))
    assert [a.arg for a in args.args] == list(runtime.parameters)
    defaults = [ast.literal_eval(d) for d in args.defaults]
    expected = [p.default for p in runtime.parameters.values() if p.default is not p.empty]
    assert [(d, type(d)) for d in defaults] == [(e, type(e)) for e in expected]
    doc = ast.get_docstring(node)
    assert doc and "Returns" in doc
    for parameter in runtime.parameters:
        assert parameter in doc


@pytest.mark.parametrize("name", ["EMA", "ADX", "NORMALIZED_T3"])
def test_compiled_functions_keep_their_own_docstring(name):
    assert getattr(vantrel.indicators, name).__doc__ is None


def test_package_stub_reexports_every_function():
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text(encoding="utf-8"))
    imported = {alias.asname: (node.module, alias.name) for node in tree.body
                if isinstance(node, ast.ImportFrom) for alias in node.names}
    assert imported == {name: (module, name) for module, name in FUNCTIONS.items()}
    declared_all = next(ast.literal_eval(n.value) for n in tree.body
                        if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert declared_all == vantrel.indicators.__all__
    assert (PACKAGE / "py.typed").is_file() and (PACKAGE.parent / "py.typed").is_file()


# ---------------------------------------------------------------------------
# mypy and stubtest, when installed (with pandas-stubs, without which pandas is untyped).


def _have_typing_tools() -> bool:
    if importlib.util.find_spec("mypy") is None:
        return False
    try:
        metadata.version("pandas-stubs")
    except metadata.PackageNotFoundError:
        return False
    return True


needs_mypy = pytest.mark.skipif(not _have_typing_tools(), reason="needs mypy and pandas-stubs")


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    """A directory outside the clone (so its src/ is not picked up) with a shared cache."""
    return tmp_path_factory.mktemp("mypy")


def run_mypy(directory: Path, source: str) -> subprocess.CompletedProcess[str]:
    (directory / "usage.py").write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
         str(directory / ".cache"), "usage.py"],
        capture_output=True, text=True, cwd=directory)


USAGE = """\
    import numpy as np
    import pandas as pd

    from vantrel.indicators import ADX, ATR, EMA, NORMALIZED_T3, STOCHASTIC, SUPERTREND
    from vantrel.indicators.ema.ema import EMA as EMA_FROM_MODULE

    close = pd.Series([1.0, 2.0, 3.0])
    reveal_type(EMA(close, 2))
    reveal_type(EMA_FROM_MODULE([1, 2, 3], period=np.int64(3)))
    reveal_type(STOCHASTIC(close, close, close, k_period=2, d_period=1))
    reveal_type(ADX(np.ones(3), np.zeros(3), close, 5, adx_smoothing=5))
    reveal_type(SUPERTREND(close, close, close, period=3, multiplier=2))
    reveal_type(NORMALIZED_T3(close.to_numpy(), 20, t3_period=3, volume_factor=0.5))
    reveal_type(ATR(close, close, close, period=5))
"""


@needs_mypy
def test_mypy_strict_accepts_ordinary_use_and_sees_the_return_types(mypy_dir):
    done = run_mypy(mypy_dir, USAGE)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and not [line for line in lines if ": error:" in line], done.stdout
    revealed = [line.split("Revealed type is ")[1].strip('"').replace("builtins.", "")
                for line in lines]
    series, frame = "pandas.core.series.Series[float]", "pandas.core.frame.DataFrame"
    assert revealed == [series, series, frame, frame, frame, series, series]


@needs_mypy
def test_mypy_strict_rejects_misuse(mypy_dir):
    done = run_mypy(mypy_dir, """\
        import pandas as pd
        from vantrel.indicators import EMA, NORMALIZED_T3, STOCHASTIC, SUPERTREND

        close = pd.Series([1.0, 2.0])
        EMA(close)
        STOCHASTIC(close, close, close, k_period=1.5)
        SUPERTREND(close, close, close, multiplier="3")
        NORMALIZED_T3(close, window=20)
        frame: pd.DataFrame = EMA(close, 3)
    """)
    errors = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert errors == {5, 6, 7, 8, 9}, done.stdout


@needs_mypy
def test_stubtest_agrees_with_the_modules(mypy_dir):
    # stubtest imports and type-checks every module of the package, the plotting one too.
    pytest.importorskip("matplotlib")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", "vantrel"],
        capture_output=True, text=True, cwd=mypy_dir)
    problems = [line for line in done.stdout.splitlines() if line.strip()]
    # stubtest takes only Python functions, builtins and method descriptors for functions; the
    # compiled functions' own type is none of these unless it defines __get__, so stubtest
    # says "is not a function" (and still compares the signatures). Only that is let through.
    routines = {f"{module}.{name}" for module, name in FUNCTIONS.items()
                if inspect.isroutine(getattr(importlib.import_module(module), name))}
    tolerated = {f"{module}.{name} is not a function" for module, name in FUNCTIONS.items()
                 if f"{module}.{name}" not in routines}
    assert [line for line in problems if line not in tolerated] == [], done.stdout + done.stderr
