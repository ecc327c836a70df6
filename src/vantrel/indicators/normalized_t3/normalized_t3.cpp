// vantrel.indicators.normalized_t3.normalized_t3: the T3 average placed within its rolling range.
#include <algorithm>
#include <limits>
#include <memory>

#include "framework/framework.hpp"
#include "normalized_t3/kernel.hpp"

namespace {

constexpr vi::Param params[] = {vi::input("src"), vi::integer("period", 200), vi::integer("t3_period", 2),
                                vi::real("volume_factor", 0.7)};
PyObject* result_name = nullptr;

vi::Ref normalized_t3_call(vi::Call& call) {
    const int period = call.int32(1);
    const int t3_period = call.int32(2);
    const double volume_factor = call.real(3);
    constexpr int inputs[] = {0};
    vi::Taken taken = call.take(inputs);
    // Parameter checks come after the input step and before the float64
    // conversion, so they take precedence over a conversion error.
    if (!(volume_factor > 0.0 && volume_factor <= 1.0)) {
        vi::raise(PyExc_ValueError, "Volume factor must be between 0 and 1");
    }
    // A window needs at least one position.
    if (period < 1) vi::raise(PyExc_ValueError, "period must be at least 1");
    vi::Series data;
    call.convert(std::span<const vi::Ref>(taken.values.data(), 1), std::span<vi::Series>(&data, 1));
    const Py_ssize_t length = data.size();
    vi::Output<double> result = call.zeros(length);

    const std::int64_t capacity = vi::tails_capacity(length, period);
    // `np.nan` fills the positions without bounds: read once, and only when there are some.
    const bool warm_up = std::min<std::int64_t>(period - 1, length) > 0;
    if (warm_up) {
        // The warm-up needs `np.nan` anyway, so it is known before the pass, which then
        // makes T3 a few windows at a time instead of into a full-length array.
        const double nan = call.np_nan();
        const std::int64_t block_size = vi::normalized_t3::one_pass_chunk(length, period);
        // Working memory is taken before the lock is released (bad_alloc becomes MemoryError).
        auto work = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(block_size + 2 * capacity));
        vi::run_pass(length, [&] {
            vi::dispatch(
                [&](auto src, auto out) {
                    vi::normalized_t3::one_pass(src, out, length, t3_period, volume_factor, period, work.get(),
                                                work.get() + block_size, work.get() + block_size + capacity, nan);
                },
                data.raw(), result.raw());
        });
        return call.series(result.object(), taken.index.get(), result_name);
    }

    // No warm-up (period 1, or no samples): whether `np.nan` is needed is known only once
    // T3 is, so T3 goes into a full-length array first.
    auto t3 = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(length));
    auto tails = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(2 * capacity));
    bool nan_start = false;
    vi::run_pass(length, [&] {
        vi::dispatch(
            [&](auto src) {
                nan_start = vi::normalized_t3::t3_pass(src, t3.get(), length, t3_period, volume_factor, period);
            },
            data.raw());
    });
    const double nan = nan_start ? call.np_nan() : std::numeric_limits<double>::quiet_NaN();
    vi::run_pass(length, [&] {
        vi::dispatch(
            [&](auto out) {
                vi::normalized_t3::normalize_pass(t3.get(), out, length, period, tails.get(),
                                                  tails.get() + capacity, nan);
            },
            result.raw());
    });
    return call.series(result.object(), taken.index.get(), result_name);
}

int normalized_t3_exec(PyObject*) {
    result_name = vi::intern("Normalized T3 Oscillator");
    return 0;
}

constexpr vi::FunctionDef normalized_t3_function{"NORMALIZED_T3", nullptr, params, normalized_t3_call,
                                                 "vantrel/indicators/normalized_t3/normalized_t3.cpp", __LINE__};
vi::ModuleDef normalized_t3_module{"normalized_t3", "Normalized T3 Oscillator indicator calculation.",
                                   normalized_t3_function, normalized_t3_exec};

}  // namespace

VI_MODULE_INIT(normalized_t3, normalized_t3_module)
