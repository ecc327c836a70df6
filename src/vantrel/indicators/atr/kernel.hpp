// ATR kernel: the true range smoothed by the recursive average with weight 1/period.
//
//   tr[0] = high[0] - low[0];   tr[i] = true_range(high[i], low[i], close[i-1])
//   atr[0] = tr[0];             atr[i] = fma(1 - alpha, atr[i-1], alpha * tr[i])
//
// Numeric policy:
//   seed     the first bar's range itself, no averaging over a first window
//   warm-up  none: every position holds the recursion's value
//   alpha    1.0 / period in double; period 0 gives an infinite weight and
//            negative periods a negative one, used unchanged
//   NaN      a NaN high or low is carried forward by the recursion; a NaN previous
//            close only drops out of the true range (see numeric/true_range.hpp)
//   order    alpha * tr[i] rounded on its own; then (1 - alpha) * atr[i-1] + that
//            product in one fused multiply-add, rounded once
//
// Why fused: the recursion is a chain through atr[i-1], one step per bar. Unfused it is
// a multiplication and then an addition on that chain; fused it is one instruction, the
// latency of the multiplication alone. std::fma is exactly rounded wherever it runs, so
// the bits do not depend on the processor: on x86 with GCC or Clang the loop is compiled
// a second time for the FMA instruction set and that copy is taken when the processor
// has it; elsewhere (and on x86 without FMA) std::fma is the C library's, with the same
// result.
#pragma once

#include <cmath>
#include <cstdint>

#include "atr/step.hpp"

// VI_ATR_FMA=0 on the command line leaves the FMA-instruction copy of the loop out.
#ifndef VI_ATR_FMA
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VI_ATR_FMA 1
#else
#define VI_ATR_FMA 0
#endif
#endif

namespace vi::atr {

namespace detail {

#if defined(__GNUC__) || defined(__clang__)
#define VI_ATR_INLINE __attribute__((always_inline)) inline
#else
#define VI_ATR_INLINE inline
#endif

template <class In, class Out>
VI_ATR_INLINE void run(In high, In low, In close, Out out, std::int64_t length, const Params& params) noexcept {
    const Params* lane = &params;
    Step<double> step(&lane);
    out[0] = step.first(high[0], low[0], close[0]);
    for (std::int64_t i = 1; i < length; ++i) out[i] = step.next(high[i], low[i], close[i]);
}

#if VI_ATR_FMA
template <class In, class Out>
__attribute__((target("fma"))) void run_fma(In high, In low, In close, Out out, std::int64_t length,
                                            const Params& params) noexcept {
    run(high, low, close, out, length, params);
}
#endif

#undef VI_ATR_INLINE

}  // namespace detail

template <class In, class Out>
void kernel(In high, In low, In close, Out out, std::int64_t length, int period) noexcept {
    if (length <= 0) return;
    const Params params(period);
#if VI_ATR_FMA
    if (__builtin_cpu_supports("fma")) {
        detail::run_fma(high, low, close, out, length, params);
        return;
    }
#endif
    detail::run(high, low, close, out, length, params);
}

}  // namespace vi::atr
