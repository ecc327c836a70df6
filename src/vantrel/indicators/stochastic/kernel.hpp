// Stochastic oscillator kernels.
//
//   %K[i] = ((close[i] - lowest) / (highest - lowest)) * 100.0 over the window
//           [i - k_period + 1, i], where `highest` and `lowest` are what a scan from
//           the window's first sample finds when it replaces only on a strict > / <
//   %D[i] = (0.0 + %K[i-d+1] + ... + %K[i]) / d_period, summed in ascending order
//
// Numeric policy:
//   warm-up  %K is `nan` below k_period - 1, %D below k_period + d_period - 2 (64-bit sum,
//            so no pair of periods wraps; a warm-up past the end leaves %D all `nan`)
//   NaN      a NaN first sample of a window is that window's extreme; a later one is
//            passed over (a strict comparison with NaN is false); a NaN close gives NaN
//   ties     the earliest of equal values is the extreme, so -0.0 and 0.0 keep the bits
//            of whichever came first
//   flat     highest == lowest gives 50.0, whatever the close (NaN included)
//   range    no clamping: closes outside the window give values beyond 0..100, an
//            inverted window (highest < lowest) flips the sign
//   %D       each window summed afresh from 0.0 (a running sum would change bits); a
//            d_period of 0 gives 0.0 / 0.0 = NaN, a negative one an empty sum, -0.0
//   order    the two differences, their quotient, then the product with 100.0
//
// The window extremes come from two monotonic deques (common/monotonic_deque.hpp)
// instead of a rescan, in O(1) amortised per sample, with the rescan's exact answer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/monotonic_deque.hpp"

namespace vi::stochastic {

// The %K pass. `max_ring` and `min_ring` hold deque_capacity(length, k_period) slots
// each; k_period must be at least 1.
template <class In, class Out>
void k_pass(In high, In low, In close, Out k_values, std::int64_t length, std::int64_t k_period,
            double nan, DequeSlot* max_ring, DequeSlot* min_ring) noexcept {
    const std::int64_t capacity = deque_capacity(length, k_period);
    MaxDeque highs(max_ring, capacity);
    MinDeque lows(min_ring, capacity);
    for (std::int64_t i = 0; i < length; ++i) {
        // Expire first: the deques then hold positions of [i - k_period + 1, i] only,
        // at most k_period of them.
        const std::int64_t start = i - k_period + 1;
        highs.expire(start);
        lows.expire(start);
        const double h = high[i];
        const double l = low[i];
        if (!std::isnan(h)) highs.push(h, i);
        if (!std::isnan(l)) lows.push(l, i);
        if (start < 0) {
            k_values[i] = nan;
            continue;
        }
        // A non-NaN first sample keeps its deque non-empty (see the deque's header).
        const double first_high = high[start];
        const double first_low = low[start];
        const double highest_high = std::isnan(first_high) ? first_high : highs.front();
        const double lowest_low = std::isnan(first_low) ? first_low : lows.front();
        const double close_val = close[i];
        if (highest_high == lowest_low) {
            k_values[i] = 50.0;
        } else {
            k_values[i] = ((close_val - lowest_low) / (highest_high - lowest_low)) * 100.0;
        }
    }
}

// The %D pass over the finished %K values.
template <class View>
void d_pass(View k_values, View d_values, std::int64_t length, std::int64_t k_period,
            std::int64_t d_period, double nan) noexcept {
    const std::int64_t first = std::clamp<std::int64_t>(k_period + d_period - 2, 0, length);
    const double divisor = static_cast<double>(d_period);
    for (std::int64_t i = 0; i < first; ++i) d_values[i] = nan;
    // From `first` on, a window of d_period >= 1 starts at k_period - 1 or later, and
    // one of d_period <= 0 is empty, so every read lies inside [0, i].
    for (std::int64_t i = first; i < length; ++i) {
        double k_sum = 0.0;
        for (std::int64_t j = i - d_period + 1; j <= i; ++j) k_sum = k_sum + k_values[j];
        d_values[i] = k_sum / divisor;
    }
}

// Whether any position of either column is in its warm-up (so `nan` is needed).
inline bool has_warm_up(std::int64_t length, std::int64_t k_period, std::int64_t d_period) noexcept {
    return length > 0 && (k_period > 1 || k_period + d_period - 2 > 0);
}

}  // namespace vi::stochastic
