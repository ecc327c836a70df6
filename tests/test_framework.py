"""The machinery every indicator module shares, exercised through EMA: argument
binding, scalar conversion, input coercion, result assembly, module globals,
tracebacks and the module lifecycle."""

from __future__ import annotations

import ctypes
import decimal
import importlib
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import traceback
import types

import numpy as np
import pandas as pd
import pytest

import vantrel.indicators
from catalog import ALL
from conftest import assert_same_bits, random_ohlc
from vantrel.indicators.ema import ema as ema_module

EMA = ema_module.EMA


def raises(exc, message):
    return pytest.raises(exc, match="^" + re.escape(message) + "$")


# --- argument binding --------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "EMA() takes exactly 2 positional arguments (0 given)"),
        (([1],), {}, "EMA() takes exactly 2 positional arguments (1 given)"),
        (([1], 2, 3), {}, "EMA() takes exactly 2 positional arguments (3 given)"),
        (([1], 2, 3), {"period": 2}, "EMA() takes exactly 2 positional arguments (3 given)"),
        ((), {"period": 2}, "EMA() takes exactly 2 positional arguments (0 given)"),
        (([1],), {"src": [1]}, "EMA() takes exactly 2 positional arguments (1 given)"),
        (([1],), {"bogus": 1}, "EMA() takes exactly 2 positional arguments (1 given)"),
        (([1], 2), {"src": [1]}, "EMA() got multiple values for keyword argument 'src'"),
        (([1], 2), {"bogus": 1}, "EMA() got an unexpected keyword argument 'bogus'"),
        (([1],), {"period": 2, "bogus": 1}, "EMA() got an unexpected keyword argument 'bogus'"),
        ((), {"src": [1], "period": 2, "zzz": 0, "aaa": 0},
         "EMA() got an unexpected keyword argument 'zzz'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with raises(TypeError, message):
        EMA(*args, **kwargs)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [(([1.0, 2.0], 3), {}), (([1.0, 2.0],), {"period": 3}), ((), {"period": 3, "src": [1.0, 2.0]})],
)
def test_arguments_by_position_or_keyword(args, kwargs):
    assert EMA(*args, **kwargs).tolist() == [1.0, 1.5]


# --- scalar conversion -------------------------------------------------------------------------

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    ("period", "used"),
    [(3, 3), (True, 1), (np.int64(3), 3), (np.int8(3), 3), (3.99, 3), (-2.5, -2),
     (np.float64(4.7), 4), (decimal.Decimal("3.7"), 3), (IntLike(3), 3)],
)
def test_integer_conversion(period, used):
    src = [1.0, 4.0, 2.0]
    assert_same_bits(EMA(src, period).to_numpy(), EMA(src, used).to_numpy())


@pytest.mark.parametrize(
    ("period", "exc", "message"),
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntLike("3"), TypeError, "__int__ returned non-int (type str)"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**80, OverflowError, "value too large to convert to int"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_integer_conversion_errors_come_before_the_input_is_looked_at(period, exc, message):
    with raises(exc, message):
        EMA(object(), period)  # an input that could not be coerced


# --- input coercion ----------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("src", "exc", "message"),
    [
        (np.zeros((2, 3)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (5.0, ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (np.zeros((1, 1, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 3)"),
    ],
)
def test_dimension_errors(src, exc, message):
    with raises(exc, message):
        EMA(src, 3)


def test_conversion_errors_from_numpy_propagate():
    with pytest.raises(ValueError, match="could not convert string to float"):
        EMA(["a", "b"], 3)


class FakeValues:
    def __init__(self, result, log):
        self.result, self.log = result, log

    def astype(self, dtype):
        self.log.append(("astype", dtype))
        return self.result


class FakeSeries:
    """Stands in for pd.Series once bound as the module's `pd.Series`: an instance is a price
    input whose attribute reads are logged; calling the class with an ndarray builds a real
    Series, as result assembly does, and records the keywords it was given."""

    calls: list = []

    def __new__(cls, data, log=None, **kwargs):
        if isinstance(data, np.ndarray):
            cls.calls.append(kwargs)
            return pd.Series(data, **kwargs)
        return super().__new__(cls)

    def __init__(self, data, log):
        self._values, self._log = data, log

    @property
    def values(self):
        self._log.append("values")
        return self._values

    @property
    def index(self):
        self._log.append("index")
        result = self._values.result
        return pd.RangeIndex(len(result) if result is not None else 0)


@pytest.fixture
def fake_pd(monkeypatch):
    FakeSeries.calls = []
    monkeypatch.setattr(ema_module, "pd", types.SimpleNamespace(Series=FakeSeries))
    return FakeSeries.calls


def test_series_coercion_reads_values_then_index_then_converts(fake_pd):
    log = []
    result = EMA(FakeSeries(FakeValues(np.array([1.0, 2.0, 3.0]), log), log), 3)
    assert log == ["values", "index", ("astype", np.float64)]
    assert result.tolist() == [1.0, 1.5, 2.25]
    [kwargs] = fake_pd
    assert list(kwargs) == ["index", "name", "copy"] and kwargs["name"] == "EMA"
    assert kwargs["copy"] is False
    assert kwargs["index"].equals(pd.RangeIndex(3))


@pytest.mark.parametrize(
    ("result", "message"),
    [([1.0, 2.0], "Cannot convert list to numpy.ndarray"),
     (None, "Cannot convert NoneType to numpy.ndarray")],
)
def test_astype_must_return_an_ndarray(fake_pd, result, message):
    with raises(TypeError, message):
        EMA(FakeSeries(FakeValues(result, []), []), 2)


@pytest.mark.parametrize(
    "view",
    [
        pytest.param(lambda a: a[::3], id="stride-3"),
        pytest.param(lambda a: a[::-1], id="negative-stride"),
        pytest.param(lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1),
                     id="misaligned"),
    ],
)
def test_non_contiguous_float64_is_read_through_its_stride(fake_pd, view):
    # astype() normally returns a fresh contiguous copy; a stand-in that returns a view
    # exercises the strided read path of the kernels.
    data = view(np.arange(30, dtype=np.float64) ** 1.5)
    result = EMA(FakeSeries(FakeValues(data, []), []), 4)
    assert_same_bits(result.to_numpy(), EMA(data.copy(), 4).to_numpy())


@pytest.mark.parametrize("lengths", [(595, 600, 600), (600, 595, 600), (600, 600, 601), (0, 1, 1)])
@pytest.mark.parametrize("indicator", [i for i in ALL if len(i.inputs) == 3], ids=lambda i: i.name)
def test_price_inputs_of_unequal_lengths_are_refused(indicator, lengths, rng):
    """No bar of any input is silently dropped: every length is named, in parameter order."""
    high, low, close = random_ohlc(rng, max(lengths))
    inputs = [x[:n] for x, n in zip((high, low, close), lengths)]
    message = "high, low and close differ in length: {}, {}, {}".format(*lengths)
    for convert in (np.asarray, pd.Series):
        with raises(ValueError, message):
            indicator.function()(*map(convert, inputs))


# --- result assembly and module globals --------------------------------------------------------

def test_result_assembly_passes_no_index_keyword_without_an_index(fake_pd):
    EMA([1.0, 2.0], 3)
    assert fake_pd == [{"name": "EMA", "copy": False}]


def test_globals_are_looked_up_at_each_call(monkeypatch):
    class Boom(Exception):
        pass

    def empty(*args, **kwargs):
        raise Boom("allocator")

    fake_np = types.SimpleNamespace(**{k: getattr(np, k) for k in ("asarray", "float64", "nan")},
                                    empty=empty)
    monkeypatch.setattr(ema_module, "np", fake_np)
    with pytest.raises(Boom, match="allocator"):
        EMA([1.0, 2.0], 3)
    monkeypatch.undo()
    assert EMA([1.0, 2.0], 3).tolist() == [1.0, 1.5]


def test_a_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(ema_module, "np")
    with raises(NameError, "name 'np' is not defined"):
        EMA([1.0], 3)


# --- tracebacks and references -----------------------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [lambda: EMA(), lambda: EMA([1], "x"), lambda: EMA(np.zeros((2, 2)), 3),
     lambda: EMA(["a"], 3), lambda: EMA([1], 3, bogus=1)],
)
def test_every_exception_leaves_with_an_entry_naming_the_function(call):
    with pytest.raises(Exception) as info:
        call()
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.name == "EMA"
    assert last.filename.endswith("ema.cpp")


def test_no_reference_is_leaked_on_success_or_error():
    src = np.arange(50, dtype=np.float64)
    period = 10**6 + 7  # a fresh int object, not a cached small one
    bad = np.zeros((2, 2))
    before = (sys.getrefcount(src), sys.getrefcount(period), sys.getrefcount(bad))
    for _ in range(100):
        EMA(src, period)
        with pytest.raises(ValueError):
            EMA(bad, period)
        with pytest.raises(TypeError):
            EMA(src, period, bogus=bad)
    assert (sys.getrefcount(src), sys.getrefcount(period), sys.getrefcount(bad)) == before


# --- the function object -----------------------------------------------------------------------

def test_function_attributes():
    assert EMA.__name__ == EMA.__qualname__ == "EMA"
    assert EMA.__module__ == "vantrel.indicators.ema.ema"
    assert EMA.__doc__ is None and EMA.__defaults__ is None
    assert str(inspect.signature(EMA)) == "(src, period)"
    assert pickle.loads(pickle.dumps(EMA)) is EMA
    assert inspect.isroutine(EMA) and type("Holder", (), {"f": EMA})().f is EMA  # never binds
    assert vantrel.indicators.EMA is EMA
    assert ema_module.__doc__ == "Exponential Moving Average (EMA) calculation."
    assert ema_module.np is np and ema_module.pd is pd


# --- module lifecycle --------------------------------------------------------------------------

def test_reimport_after_removal_gives_the_same_module_object():
    name = "vantrel.indicators.ema.ema"
    first = importlib.import_module(name)
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = first
    assert again is first and again.EMA is first.EMA


def test_second_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_New.restype = ctypes.py_object
    api.PyModule_New.argtypes = [ctypes.c_char_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(ema_module)
    assert api.PyModule_ExecDef(ema_module, definition) == 0  # the first object: nothing to do
    other = api.PyModule_New(b"vantrel.indicators.ema.ema")
    with raises(RuntimeError, "Module 'ema' has already been imported. Re-initialisation is not supported."):
        api.PyModule_ExecDef(other, definition)


def run_python(code: str) -> str:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_loading_into_a_second_interpreter_is_refused(tmp_path):
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("no _testcapi in this interpreter")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    out = tmp_path / "out.txt"
    result = run_python(f"""
        import _testcapi
        import vantrel.indicators.ema.ema
        _testcapi.run_in_subinterp('''
        try:
            import vantrel.indicators.ema.ema
            message = "imported"
        except ImportError as error:
            message = str(error)
        open({str(out)!r}, "w").write(message)
        ''')
        print(open({str(out)!r}).read())
    """)
    assert result == ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")


def test_a_failed_import_of_pandas_fails_the_module_and_a_retry_works():
    result = run_python("""
        import sys
        sys.modules["pandas"] = None
        try:
            import vantrel.indicators.ema.ema
        except ImportError as error:
            print("first:", isinstance(error, ImportError))
        del sys.modules["pandas"]
        import vantrel.indicators.ema.ema as m
        print("second:", m.EMA([1, 2, 3], 3).tolist())
    """)
    assert result.splitlines() == ["first: True", "second: [1.0, 1.5, 2.25]"]


def test_the_package_exports_lazily():
    result = run_python("""
        import sys, vantrel.indicators as vi
        print(any(m.startswith("vantrel.indicators.ema") for m in sys.modules), vi.__version__ != "")
        from vantrel.indicators import EMA
        print("vantrel.indicators.ema.ema" in sys.modules, "EMA" in dir(vi))
    """)
    assert result.splitlines() == ["False True", "True True"]
