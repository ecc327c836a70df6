// EMA kernel: the recursion of step.hpp over one series.
//
// Numeric policy:
//   seed     the first sample itself, no averaging over a first window
//   warm-up  none: every position holds the recursion's value
//   alpha    2.0 / (period + 1), the sum formed in 64 bits so no period wraps;
//            period -1 divides by zero (alpha = inf), period 0 gives alpha = 2
//   NaN      carried forward by the recursion from where it first appears
//   order    two rounded products, then one addition (no fused multiply-add)
#pragma once

#include <cstdint>

#include "ema/step.hpp"

namespace vi::ema {

template <class In, class Out>
void kernel(In src, Out out, std::int64_t length, int period) noexcept {
    if (length <= 0) return;
    const Params params(period);
    const Params* lane = &params;
    Step<double> step(&lane);
    out[0] = step.first(src[0]);
    for (std::int64_t i = 1; i < length; ++i) out[i] = step.next(src[i]);
}

}  // namespace vi::ema
