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
// The window extremes come from numeric/window_extremes.hpp: the rescan's exact answer
// in O(1) per sample whatever k_period, without a data-dependent branch.
#pragma once

#include <algorithm>
#include <cstdint>

#include "numeric/lanes.hpp"
#include "numeric/window_extremes.hpp"

namespace vi::stochastic {

// %K of one close within its window's extremes: 50.0 for a flat window. V is a double
// (one series, where the flat test is a branch that random data hardly ever takes) or a
// lane type (several series, the choice masked lane by lane).
template <class V>
V percent_k(V close, V highest_high, V lowest_low) noexcept {
    return choose(
        highest_high == lowest_low, [] { return V(50.0); },
        [&] { return ((close - lowest_low) / (highest_high - lowest_low)) * V(100.0); });
}

// %K at positions [lo, min(hi, length)), lo a multiple of k_period and hi one too or at
// least length. `high_tails` and `low_tails` hold tails_capacity(length, k_period) values
// each, of the value type V that the views' elements convert to, and what the range before
// left there; k_period must be at least 1. Ranges one after the other give the bits of one
// range over the whole input.
template <class In, class Out, class V>
void k_range(In high, In low, In close, Out k_values, std::int64_t length, std::int64_t k_period, double nan,
             V* high_tails, V* low_tails, std::int64_t lo, std::int64_t hi) noexcept {
    hi = std::min(hi, length);
    for (std::int64_t i = lo; i < std::min(k_period - 1, hi); ++i) k_values[i] = V(nan);
    window_extremes_range(high, low, length, k_period, lo, hi, high_tails, low_tails,
                          [close, k_values](std::int64_t i, V highest_high, V lowest_low) {
                              // The division overlaps the scans of the extremes.
                              k_values[i] = percent_k<V>(close[i], highest_high, lowest_low);
                          });
}

// The %K pass.
template <class In, class Out, class V>
void k_pass(In high, In low, In close, Out k_values, std::int64_t length, std::int64_t k_period,
            double nan, V* high_tails, V* low_tails) noexcept {
    k_range(high, low, close, k_values, length, k_period, nan, high_tails, low_tails, 0, length);
}

// %D at positions [first, length) for a d_period of D: the window of D values summed
// from 0.0 in ascending order, written out so that the compiler can vectorise the loop.
template <int D, class View>
void d_fixed(View k_values, View d_values, std::int64_t first, std::int64_t length, double divisor) noexcept {
    using V = typename View::value_type;
    for (std::int64_t i = first; i < length; ++i) {
        V k_sum(0.0);
        for (std::int64_t j = i - (D - 1); j <= i; ++j) k_sum = k_sum + V(k_values[j]);
        d_values[i] = k_sum / V(divisor);
    }
}

// %D at positions [first, length) whose windows lie inside k_values (first >= d_period - 1
// when d_period >= 1): each window summed from 0.0 in ascending order, then divided.
template <class View>
void d_range(View k_values, View d_values, std::int64_t first, std::int64_t length, std::int64_t d_period) noexcept {
    using V = typename View::value_type;
    const double divisor = static_cast<double>(d_period);
    switch (d_period) {  // the usual short periods with a fixed count
        case 1: return d_fixed<1>(k_values, d_values, first, length, divisor);
        case 2: return d_fixed<2>(k_values, d_values, first, length, divisor);
        case 3: return d_fixed<3>(k_values, d_values, first, length, divisor);
        case 4: return d_fixed<4>(k_values, d_values, first, length, divisor);
        default: break;
    }
    for (std::int64_t i = first; i < length; ++i) {
        V k_sum(0.0);
        for (std::int64_t j = i - d_period + 1; j <= i; ++j) k_sum = k_sum + V(k_values[j]);
        d_values[i] = k_sum / V(divisor);
    }
}

// %D at positions [lo, min(hi, length)), from the %K values up to there.
template <class View>
void d_part(View k_values, View d_values, std::int64_t length, std::int64_t k_period, std::int64_t d_period,
            double nan, std::int64_t lo, std::int64_t hi) noexcept {
    hi = std::min(hi, length);
    const std::int64_t first = std::clamp<std::int64_t>(k_period + d_period - 2, 0, length);
    for (std::int64_t i = lo; i < std::min(first, hi); ++i) d_values[i] = typename View::value_type(nan);
    // From `first` on, a window of d_period >= 1 starts at k_period - 1 or later, and
    // one of d_period <= 0 is empty, so every read lies inside [0, i].
    d_range(k_values, d_values, std::max(first, lo), hi, d_period);
}

// The %D pass over the finished %K values.
template <class View>
void d_pass(View k_values, View d_values, std::int64_t length, std::int64_t k_period,
            std::int64_t d_period, double nan) noexcept {
    d_part(k_values, d_values, length, k_period, d_period, nan, 0, length);
}

// %K and %D at positions [lo, min(hi, length)), lo a multiple of k_period and hi one too
// or at least length: the two passes a piece at a time, for several series that run piece
// by piece in turn (%D reads the %K values the pieces before wrote).
template <class In, class Out, class V>
void piece(In high, In low, In close, Out k_values, Out d_values, std::int64_t length, std::int64_t k_period,
           std::int64_t d_period, double nan, V* high_tails, V* low_tails, std::int64_t lo, std::int64_t hi) noexcept {
    k_range(high, low, close, k_values, length, k_period, nan, high_tails, low_tails, lo, hi);
    d_part(k_values, d_values, length, k_period, d_period, nan, lo, hi);
}

// Whether any position of either column is in its warm-up (so `nan` is needed).
inline bool has_warm_up(std::int64_t length, std::int64_t k_period, std::int64_t d_period) noexcept {
    return length > 0 && (k_period > 1 || k_period + d_period - 2 > 0);
}

}  // namespace vi::stochastic
