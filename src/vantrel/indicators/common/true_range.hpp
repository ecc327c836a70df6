// The true range of one bar, as every range-based indicator computes it.
//
// Numeric policy:
//   candidates  high - low, |high - previous close|, |low - previous close|
//   selection   a later candidate replaces the one before only when strictly greater;
//               a comparison with NaN keeps the earlier candidate
//               (|high - prev close|, then high - low)
//   first bar   has no previous close: its true range is high - low (the caller's rule)
#pragma once

#include <cmath>

namespace vi {

inline double true_range(double high, double low, double prev_close) noexcept {
    const double high_low = high - low;
    const double high_close_prev = std::fabs(high - prev_close);
    const double low_close_prev = std::fabs(low - prev_close);
    const double m = low_close_prev > high_close_prev ? low_close_prev : high_close_prev;
    return m > high_low ? m : high_low;
}

}  // namespace vi
