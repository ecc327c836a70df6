// ATR kernel: the true range smoothed by the recursive average with weight 1/period.
//
//   tr[0] = high[0] - low[0];   tr[i] = true_range(high[i], low[i], close[i-1])
//   atr[0] = tr[0];             atr[i] = (1 - alpha) * atr[i-1] + alpha * tr[i]
//
// Numeric policy:
//   seed     the first bar's range itself, no averaging over a first window
//   warm-up  none: every position holds the recursion's value
//   alpha    1.0 / period in double; period 0 gives an infinite weight and
//            negative periods a negative one, used unchanged
//   NaN      a NaN high or low is carried forward by the recursion; a NaN previous
//            close only drops out of the true range (see numeric/true_range.hpp)
//   order    two rounded products, then one addition (no fused multiply-add)
#pragma once

#include <cstdint>

#include "numeric/true_range.hpp"

namespace vi::atr {

template <class In, class Out>
void kernel(In high, In low, In close, Out out, std::int64_t length, int period) noexcept {
    if (length <= 0) return;
    const double alpha = 1.0 / static_cast<double>(period);
    const double keep = 1.0 - alpha;
    double value = high[0] - low[0];
    out[0] = value;
    for (std::int64_t i = 1; i < length; ++i) {
        const double tr = true_range(high[i], low[i], close[i - 1]);
        value = keep * value + alpha * tr;
        out[i] = value;
    }
}

}  // namespace vi::atr
