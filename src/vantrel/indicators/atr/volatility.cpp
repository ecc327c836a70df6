// vantrel.indicators.volatility: the average true range, the ATR that SuperTrend imports.
#include "framework/framework.hpp"
#include "atr/kernel.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("high"), vi::input("low"), vi::input("close"),
                                vi::integer("period", 14)};
PyObject* atr_name = nullptr;

vi::Ref atr_call(vi::Call& call) {
    const int period = call.int32(3);
    vi::Ref index;
    // The result carries the index of `high`, so `high` sets the length.
    // Named references, not a structured binding: Clang before 16 cannot capture bindings in lambdas.
    auto inputs = vi::coerce_high_low_close(call, index);
    vi::Series &high = inputs[0], &low = inputs[1], &close = inputs[2];
    const Py_ssize_t length = high.size();
    vi::Output<double> atr = call.empty(length);
    vi::run_pass(length, [&] {
        vi::dispatch([&](auto h, auto l, auto c, auto out) { vi::atr::kernel(h, l, c, out, length, period); },
                     high.raw(), low.raw(), close.raw(), atr.raw());
    });
    return call.series(atr.object(), index.get(), atr_name);
}

int atr_exec(PyObject*) {
    atr_name = vi::intern("ATR");
    return 0;
}

constexpr const char* atr_doc =
    "Average true range of high, low and close prices.\n"
    "\n"
    "The true range of the first bar is high - low; later bars take the largest of\n"
    "high - low, |high - previous close| and |low - previous close|. It is smoothed\n"
    "by the recursive average with weight 1/period, seeded with the first true range,\n"
    "so every position holds a value.\n"
    "\n"
    "Returns a float64 pandas Series named \"ATR\" with the index of `high` when\n"
    "`high` is a Series.";

constexpr vi::FunctionDef atr_function{"ATR", atr_doc, params, atr_call, "vantrel/indicators/atr/volatility.cpp",
                                       __LINE__};
vi::ModuleDef atr_module{"volatility", "Average True Range (ATR) calculation.", atr_function, atr_exec};

}  // namespace

VI_MODULE_INIT(volatility, atr_module)
