// The true range of one bar, as every range-based indicator computes it.
//
// Numeric policy:
//   candidates  high - low, |high - previous close|, |low - previous close|
//   selection   a later candidate replaces the one before only when strictly greater;
//               a comparison with NaN keeps the earlier candidate
//               (|high - prev close|, then high - low)
//   first bar   has no previous close: its true range is high - low (the caller's rule)
//
// Both selections are "a > b ? a : b" with the later candidate first: x86's maxsd/maxpd
// exactly, so the compiled step has no branch. The pair form gives two bars at once,
// lane by lane the same bits.
#pragma once

#include <cmath>

#include "numeric/double2.hpp"

namespace vi {

inline double true_range(double high, double low, double prev_close) noexcept {
    const double high_low = high - low;
    const double high_close_prev = std::fabs(high - prev_close);
    const double low_close_prev = std::fabs(low - prev_close);
    const double m = low_close_prev > high_close_prev ? low_close_prev : high_close_prev;
    return m > high_low ? m : high_low;
}

inline Double2 true_range(Double2 high, Double2 low, Double2 prev_close) noexcept {
    const Double2 high_low = high - low;
    const Double2 high_close_prev = magnitude(high - prev_close);
    const Double2 low_close_prev = magnitude(low - prev_close);
    return greater_of(greater_of(low_close_prev, high_close_prev), high_low);
}

}  // namespace vi
