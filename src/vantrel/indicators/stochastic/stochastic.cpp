// vantrel.indicators.stochastic.stochastic: the stochastic oscillator (%K and %D).
#include <memory>

#include "framework/framework.hpp"
#include "stochastic/kernel.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("high"), vi::input("low"), vi::input("close"),
                                vi::integer("k_period", 14), vi::integer("d_period", 3)};

constexpr const char* doc =
    "\n"
    "    Calculate the Stochastic Oscillator (%K and %D) in compiled code for speed.\n"
    "    \n"
    "    The Stochastic Oscillator is a momentum indicator that shows the location\n"
    "    of the close relative to the high-low range over a set number of periods.\n"
    "    \n"
    "    Parameters\n"
    "    ----------\n"
    "    high : array-like\n"
    "        High prices (numpy array or pandas Series)\n"
    "    low : array-like\n"
    "        Low prices (numpy array or pandas Series)\n"
    "    close : array-like\n"
    "        Close prices (numpy array or pandas Series)\n"
    "    k_period : int, optional\n"
    "        The lookback period for %K calculation (default: 14)\n"
    "    d_period : int, optional\n"
    "        The period for %D smoothing (SMA of %K) (default: 3)\n"
    "        \n"
    "    Returns\n"
    "    -------\n"
    "    pandas.DataFrame\n"
    "        DataFrame with columns ['%K', '%D']\n"
    "        - %K: Fast stochastic indicator\n"
    "        - %D: Slow stochastic indicator (SMA of %K)\n"
    "    ";

PyObject* k_name = nullptr;
PyObject* d_name = nullptr;

vi::Ref stochastic_call(vi::Call& call) {
    const std::int64_t k_period = call.int32(3);
    const std::int64_t d_period = call.int32(4);
    // A window of fewer than one sample would start after its own position.
    if (k_period < 1) vi::raise(PyExc_ValueError, "k_period must be at least 1");
    vi::Ref index;
    // Named references, not a structured binding: Clang before 16 cannot capture bindings in lambdas.
    auto inputs = vi::coerce_high_low_close(call, index);
    vi::Series &high = inputs[0], &low = inputs[1], &close = inputs[2];
    const Py_ssize_t length = high.size();

    // %K and %D: np.empty each, or one block.
    vi::FrameColumns columns = call.frame_columns(2, length, false);
    const double nan = vi::stochastic::has_warm_up(length, k_period, d_period) ? call.np_nan() : 0.0;
    const std::int64_t capacity = vi::tails_capacity(length, k_period);
    // The window tails of high and low; every slot is written before it is read.
    auto tails = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(2 * capacity));

    vi::run_pass(length, [&] {
        vi::dispatch(
            [&](auto h, auto l, auto c, auto k, auto d) {
                vi::stochastic::k_pass(h, l, c, k, length, k_period, nan, tails.get(), tails.get() + capacity);
                vi::stochastic::d_pass(k, d, length, k_period, d_period, nan);
            },
            high.raw(), low.raw(), close.raw(), columns.raw(0), columns.raw(1));
    });
    // The index keyword goes with every call, None when `high` is not a Series.
    PyObject* const names[] = {k_name, d_name};
    return call.frame(columns, names, index.get(), true);
}

int stochastic_exec(PyObject*) {
    k_name = vi::intern("%K");
    d_name = vi::intern("%D");
    return 0;
}

constexpr vi::FunctionDef stochastic_function{"STOCHASTIC", doc, params, stochastic_call,
                                              "vantrel/indicators/stochastic/stochastic.cpp", __LINE__};
vi::ModuleDef stochastic_module{"stochastic", "Compiled calculation of the stochastic oscillator.",
                                stochastic_function, stochastic_exec};

}  // namespace

VI_MODULE_INIT(stochastic, stochastic_module)
