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

// Before code of the caller's may run: inputs read in place get private copies of their
// values (what the literal float64 copies would hold).
void detach(std::initializer_list<vi::Series*> series) {
    for (vi::Series* s : series) s->detach();
}

vi::Ref supertrend_call(vi::Call& call) {
    const int period = call.int32(3);
    const double multiplier = call.real(4);
    constexpr int inputs[] = {0, 1, 2};
    vi::Taken taken = call.take(inputs);
    // ATR runs interpreter code: it is called with the lock held, after the
    // input step and before any float64 conversion.
    vi::Ref atr_values = call_atr(call, period);
    std::array<vi::Series, 3> prices;
    vi::Ref float64 = call.convert(taken.values, prices);
    vi::Series& high = prices[0];
    vi::Series& low = prices[1];
    vi::Series& close = prices[2];
    // `.values` of a pandas Series is pandas' own code; of anything else it may be the caller's.
    if (!vi::is_pandas_series(atr_values.get())) detach({&high, &low, &close});
    vi::Ref atr_array = vi::check(PyObject_GetAttr(atr_values.get(), vi::names.values));
    vi::Series atr;
    if (!(call.numpy_is_genuine() && vi::bind_in_place(atr_array.get(), atr))) {
        detach({&high, &low, &close});
        atr = call.to_float64(atr_array.get(), float64.get());
    }

    // One length for the three inputs; ATR's result may be longer (its first `length`
    // values are read).
    vi::require_same_length(call, prices);
    const Py_ssize_t length = close.size();
    vi::require_length(atr, "the ATR result", length, "close");

    // With `np` genuine the midpoint and bands stay in registers. Otherwise the five arrays
    // come from `np.empty` in order, and the passes write and read them all.
    const bool fused = call.numpy_is_genuine();
    vi::Output<double> hl2, upperband, lowerband;
    if (!fused) {
        detach({&high, &low, &close, &atr});  // the allocator may be the caller's code
        hl2 = call.empty(length);
        upperband = call.empty(length);
        lowerband = call.empty(length);
    }
    vi::Output<double> line = call.empty(length);
    vi::Output<std::int64_t> direction = call.empty_int64(length);
    vi::run_pass(length, [&] {
        if (fused) {
            vi::dispatch(
                [&](auto h, auto l, auto c, auto a, auto out_line, auto out_direction) {
                    vi::supertrend::kernel(h, l, c, a, out_line, out_direction, length, multiplier);
                },
                high.raw(), low.raw(), close.raw(), atr.raw(), line.raw(), direction.raw());
        } else {
            vi::dispatch(
                [&](auto h, auto l, auto c, auto a, auto mid, auto up, auto down, auto out_line,
                    auto out_direction) {
                    vi::supertrend::passes(h, l, c, a, mid, up, down, out_line, out_direction, length,
                                           multiplier);
                },
                high.raw(), low.raw(), close.raw(), atr.raw(), hl2.raw(), upperband.raw(), lowerband.raw(),
                line.raw(), direction.raw());
        }
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
