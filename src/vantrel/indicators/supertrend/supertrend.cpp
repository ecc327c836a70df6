// vantrel.indicators.supertrend.supertrend: the SuperTrend line and its direction flag.
#include "framework/framework.hpp"
#include "supertrend/kernel.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("high"), vi::input("low"), vi::input("close"),
                                vi::integer("period", 10), vi::real("multiplier", 3.0)};

PyObject* atr_name = nullptr;        // "ATR": the module global bound at import
PyObject* kw_period = nullptr;       // ("period",): ATR's one keyword
PyObject* supertrend_name = nullptr;
PyObject* direction_name = nullptr;

// ATR(high, low, close, period=period) with the caller's own objects, through
// whatever the module global `ATR` is bound to at this call.
vi::Ref call_atr(const vi::Call& call, int period) {
    vi::Ref atr = call.global(atr_name);
    vi::Ref period_object = vi::check(PyLong_FromLong(period));
    PyObject* args[] = {call.arg(0), call.arg(1), call.arg(2), period_object.get()};
    return vi::check(PyObject_Vectorcall(atr.get(), args, 3, kw_period));
}

vi::Ref supertrend_call(vi::Call& call) {
    const int period = call.int32(3);
    const double multiplier = call.real(4);
    constexpr int inputs[] = {0, 1, 2};
    vi::Taken taken = call.take(inputs);
    // ATR runs interpreter code: it is called with the lock held, after the
    // input step and before any float64 conversion.
    vi::Ref atr_values = call_atr(call, period);
    vi::Ref float64 = call.np_attr(vi::names.float64);
    std::array<vi::Series, 3> prices;
    for (std::size_t k = 0; k < 3; ++k) prices[k] = call.to_float64(taken.values[k].get(), float64.get());
    const vi::Series& high = prices[0];
    const vi::Series& low = prices[1];
    const vi::Series& close = prices[2];
    vi::Ref atr_array = vi::check(PyObject_GetAttr(atr_values.get(), vi::names.values));
    vi::Series atr = call.to_float64(atr_array.get(), float64.get());

    // One length for the three inputs; ATR's result may be longer (its first `length`
    // values are read).
    vi::require_same_length(call, prices);
    const Py_ssize_t length = close.size();
    vi::require_length(atr, "the ATR result", length, "close");

    vi::Output<double> line = call.empty(length);
    vi::Output<std::int64_t> direction = call.empty_int64(length);
    vi::run_pass(length, [&] {
        vi::dispatch(
            [&](auto h, auto l, auto c, auto a, auto out_line, auto out_direction) {
                vi::supertrend::kernel(h, l, c, a, out_line, out_direction, length, multiplier);
            },
            high.raw(), low.raw(), close.raw(), atr.raw(), line.raw(), direction.raw());
    });
    return call.frame({{supertrend_name, line.object()}, {direction_name, direction.object()}},
                      taken.index.get());
}

// `from ..volatility import ATR`, resolved against this module's package, and
// bound as the module global `ATR`. A missing name fails the import.
int supertrend_exec(PyObject* module) {
    if (kw_period == nullptr) {  // a failed import may run this again
        atr_name = vi::intern("ATR");
        supertrend_name = vi::intern("Supertrend");
        direction_name = vi::intern("Direction");
        kw_period = vi::check(PyTuple_Pack(1, vi::intern("period"))).release();
    }

    vi::Ref fromlist = vi::check(PyTuple_Pack(1, atr_name));
    vi::Ref volatility =
        vi::check(PyImport_ImportModuleLevel("volatility", PyModule_GetDict(module), nullptr, fromlist.get(), 2));
    PyObject* atr = PyObject_GetAttr(volatility.get(), atr_name);
    if (atr == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", atr_name);
        }
        return -1;
    }
    vi::Ref owned = vi::Ref::steal(atr);
    return PyModule_AddObjectRef(module, "ATR", owned.get());
}

constexpr const char* supertrend_doc =
    "\n"
    "    Calculate the SuperTrend indicator in one compiled pass over the bars, fast on long series.\n"
    "    \n"
    "    Parameters\n"
    "    ----------\n"
    "    high : array-like\n"
    "        High prices (numpy array or pandas Series)\n"
    "    low : array-like\n"
    "        Low prices (numpy array or pandas Series)  \n"
    "    close : array-like\n"
    "        Close prices (numpy array or pandas Series)\n"
    "    period : int\n"
    "        The period for ATR calculation (default: 10)\n"
    "    multiplier : float\n"
    "        The multiplier for ATR to calculate SuperTrend (default: 3.0)\n"
    "        \n"
    "    Returns\n"
    "    -------\n"
    "    pandas.DataFrame\n"
    "        DataFrame with SuperTrend values and direction\n"
    "    ";

constexpr vi::FunctionDef supertrend_function{"SUPERTREND", supertrend_doc, params, supertrend_call,
                                              "vantrel/indicators/supertrend/supertrend.cpp", __LINE__};
vi::ModuleDef supertrend_module{"supertrend", "Calculates the SuperTrend indicator.", supertrend_function,
                                supertrend_exec};

}  // namespace

VI_MODULE_INIT(supertrend, supertrend_module)
