// EMA kernel: ema[0] = src[0]; ema[i] = (1 - alpha) * ema[i-1] + alpha * src[i].
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

namespace vi::ema {

template <class In, class Out>
void kernel(In src, Out out, std::int64_t length, int period) noexcept {
    if (length <= 0) return;
    const double alpha = 2.0 / static_cast<double>(static_cast<std::int64_t>(period) + 1);
    const double keep = 1.0 - alpha;
    double value = src[0];
    out[0] = value;
    for (std::int64_t i = 1; i < length; ++i) {
        value = keep * value + alpha * src[i];
        out[i] = value;
    }
}

}  // namespace vi::ema
