// vantrel.indicators.ema.ema: the exponential moving average of one series.
#include "framework/framework.hpp"
#include "ema/kernel.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("src"), vi::integer("period")};
PyObject* ema_name = nullptr;

vi::Ref ema_call(vi::Call& call) {
    const int period = call.int32(1);
    vi::Ref index;
    // Named references, not a structured binding: Clang before 16 cannot capture bindings in lambdas.
    auto inputs = call.coerce<1>({0}, index);
    vi::Series& data = inputs[0];
    const Py_ssize_t length = data.size();
    vi::Output<double> ema = call.empty(length);
    vi::run_pass(length, [&] {
        vi::dispatch([&](auto src, auto out) { vi::ema::kernel(src, out, length, period); },
                     data.raw(), ema.raw());
    });
    return call.series(ema.object(), index.get(), ema_name);
}

int ema_exec(PyObject*) {
    ema_name = vi::intern("EMA");
    return 0;
}

constexpr vi::FunctionDef ema_function{"EMA", nullptr, params, ema_call, "vantrel/indicators/ema/ema.cpp",
                                       __LINE__};
vi::ModuleDef ema_module{"ema", "Exponential Moving Average (EMA) calculation.", ema_function, ema_exec};

}  // namespace

VI_MODULE_INIT(ema, ema_module)
