// vantrel.indicators.adx.adx: the Average Directional Index with +DI and -DI.
#include "adx/kernel.hpp"
#include "framework/framework.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("high"), vi::input("low"), vi::input("close"),
                                vi::integer("di_length", 14), vi::integer("adx_smoothing", 14)};

PyObject* plus_di_name = nullptr;
PyObject* minus_di_name = nullptr;
PyObject* adx_name = nullptr;

vi::Ref adx_call(vi::Call& call) {
    const int di_length = call.int32(3);
    const int adx_smoothing = call.int32(4);
    vi::Ref index;
    // Named references, not a structured binding: Clang before 16 cannot capture bindings in lambdas.
    auto inputs = vi::coerce_high_low_close(call, index);
    vi::Series &high = inputs[0], &low = inputs[1], &close = inputs[2];
    const Py_ssize_t length = high.size();

    // +DI, -DI and ADX: np.zeros each, or one block (every element is written).
    vi::FrameColumns columns = call.frame_columns(3, length, true);
    vi::run_pass(length, [&] {
        vi::dispatch(
            [&](auto h, auto l, auto c, auto p, auto m, auto a) {
                vi::adx::kernel(h, l, c, p, m, a, length, di_length, adx_smoothing);
            },
            high.raw(), low.raw(), close.raw(), columns.raw(0), columns.raw(1), columns.raw(2));
    });
    PyObject* const names[] = {plus_di_name, minus_di_name, adx_name};
    return call.frame(columns, names, index.get());
}

int adx_exec(PyObject*) {
    plus_di_name = vi::intern("Plus_DI");
    minus_di_name = vi::intern("Minus_DI");
    adx_name = vi::intern("ADX");
    return 0;
}

constexpr vi::FunctionDef adx_function{"ADX", nullptr, params, adx_call, "vantrel/indicators/adx/adx.cpp",
                                       __LINE__};
vi::ModuleDef adx_module{"adx", "Average Directional Index (ADX) indicator calculation.", adx_function,
                         adx_exec};

}  // namespace

VI_MODULE_INIT(adx, adx_module)
