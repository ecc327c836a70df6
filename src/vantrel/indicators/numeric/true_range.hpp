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
// exactly, so the compiled step has no branch. The template serves every value type of
// numeric/lanes.hpp.
#pragma once

#include <cmath>

#include "numeric/lanes.hpp"

namespace vi {

template <class V>
    requires(LaneTraits<V>::lanes >= 1)
V true_range(V high, V low, V prev_close) noexcept {
    const V high_low = high - low;
    const V high_close_prev = magnitude(high - prev_close);
    const V low_close_prev = magnitude(low - prev_close);
    return greater_of(greater_of(low_close_prev, high_close_prev), high_low);
}

// Elements of any view convert to double.
inline double true_range(double high, double low, double prev_close) noexcept {
    return true_range<double>(high, low, prev_close);
}

}  // namespace vi
