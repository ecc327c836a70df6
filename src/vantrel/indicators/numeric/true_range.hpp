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
// numeric/lanes.hpp; the Double2 form gives two bars of one series at once, lane by lane
// the same bits.
#pragma once

#include <cmath>

#include "numeric/double2.hpp"
#include "numeric/lanes.hpp"

namespace vi {

template <class V>
    requires(LaneTraits<V>::lanes >= 1)
V true_range(V high, V low, V prev_close) noexcept {
    const V high_low = high - low;
    const V high_close_prev = magnitude(high - prev_close);
    const V low_close_prev = magnitude(low - prev_close);
    const V m = select(low_close_prev > high_close_prev, low_close_prev, high_close_prev);
    return select(m > high_low, m, high_low);
}

// Elements of any view convert to double.
inline double true_range(double high, double low, double prev_close) noexcept {
    return true_range<double>(high, low, prev_close);
}

inline Double2 true_range(Double2 high, Double2 low, Double2 prev_close) noexcept {
    const Double2 high_low = high - low;
    const Double2 high_close_prev = magnitude(high - prev_close);
    const Double2 low_close_prev = magnitude(low - prev_close);
    return greater_of(greater_of(low_close_prev, high_close_prev), high_low);
}

}  // namespace vi
