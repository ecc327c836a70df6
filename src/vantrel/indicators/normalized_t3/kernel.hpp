// Normalized T3 kernel: the T3 average placed within its rolling range.
//
// Pass 1 (t3_pass): six cascaded EMAs with one alpha, combined into T3 (step.hpp):
//   t3[i] = ((c1 * e6 + c2 * e5) + c3 * e4) + c4 * e3
// Pass 2 (normalize_pass): for i >= period - 1, over the window start = i - period + 1 .. i,
//   out[i] = (t3[i] - min) / range - 0.5,   range = max - min, or 1.0 when it is zero
//
// Numeric policy:
//   seed     every stage starts at src[0], no averaging over a first window
//   alpha    2.0 / (t3_period + 1), the sum formed in 64 bits so no period wraps;
//            t3_period -1 divides by zero (alpha = inf), 0 gives alpha = 2
//   warm-up  positions 0 .. period - 2 are NaN (the caller's NaN value)
//   bounds   those of a rescan that starts at t3[start] and replaces a bound only on a
//            strict < or >: a NaN at the window start gives NaN bounds (result: the
//            caller's NaN value), later NaNs are passed over, and among equal values
//            the earliest wins (so 0.0 and -0.0 keep their order)
//   zero     a range comparing equal to 0.0 (also -0.0) becomes 1.0; NaN and inf
//            ranges are used as they are
//   NaN      a NaN sample makes every stage NaN from there on, so the result too
//   order    each product rounded on its own, sums in the grouping shown (no FMA)
//
// The bounds come from numeric/window_extremes.hpp instead of a rescan: O(1) per sample
// whatever the period, without a data-dependent branch, with the rescan's exact answer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "numeric/views.hpp"
#include "numeric/window_extremes.hpp"
#include "normalized_t3/step.hpp"

namespace vi::normalized_t3 {

// Writes t3[0 .. length). Returns whether some full window (of `period` >= 1
// positions) starts at a NaN T3 value, that is whether pass 2 writes NaN bounds
// anywhere beyond the warm-up.
template <class In>
bool t3_pass(In src, double* t3, std::int64_t length, int t3_period, double volume_factor,
             std::int64_t period) noexcept {
    if (length <= 0) return false;
    const Params params(t3_period, volume_factor);
    const Params* lane = &params;
    Step<double> step(&lane);
    t3[0] = step.first(src[0]);
    for (std::int64_t i = 1; i < length; ++i) t3[i] = step.next(src[i]);
    bool nan_start = false;
    for (std::int64_t start = 0; start <= length - period; ++start) {
        nan_start |= std::isnan(t3[start]);
    }
    return nan_start;
}

// One T3 value within its window's bounds; `nan` where the bounds are NaN (both are,
// exactly when t3 at the window start is). V is a double (one series: the NaN test is a
// branch) or a lane type (several series, every choice masked lane by lane).
template <class V>
V place(V t3, V max_val, V min_val, double nan) noexcept {
    return choose(is_nan(min_val), [nan] { return V(nan); }, [&] {
        const V range_val = max_val - min_val;
        return (t3 - min_val) / select(range_val == V(0.0), V(1.0), range_val) - V(0.5);
    });
}

// Writes out[0 .. length) from t3; `nan` is written wherever the bounds are NaN.
// `high_tails` and `low_tails` hold tails_capacity(length, period) doubles each;
// requires period >= 1.
template <class Out>
void normalize_pass(const double* t3, Out out, std::int64_t length, std::int64_t period,
                    double* high_tails, double* low_tails, double nan) noexcept {
    const std::int64_t warm_up = std::min(period - 1, length);
    for (std::int64_t i = 0; i < warm_up; ++i) out[i] = nan;
    const Contiguous<const double> values{t3};
    window_extremes(values, values, length, period, high_tails, low_tails,
                    [t3, out, nan](std::int64_t i, double max_val, double min_val) {
                        out[i] = place<double>(t3[i], max_val, min_val, nan);
                    });
}

// Both passes in one, without a full-length T3 array: T3 is made a piece of `chunk`
// samples at a time (a multiple of `period` unless the input is shorter) into `buffer`,
// right before the window extremes read it. The same steps in the same order as t3_pass
// then normalize_pass, so the same bits; `nan` must be known before the pass, which it is
// whenever there is a warm-up to fill.
inline std::int64_t one_pass_chunk(std::int64_t length, std::int64_t period) noexcept {
    const std::int64_t blocks = std::max<std::int64_t>(1, 4096 / period);
    return std::min(length, blocks * period);
}

// The piece of positions [lo, min(hi, length)) of the one pass, lo a multiple of `period`
// and hi one too or at least length: `step` holds the cascade after position lo - 1 (made
// from the parameters when lo is 0) and moves on to hi - 1; `buffer` takes the piece's
// hi - lo T3 values; the tails hold what the piece before left there. V is the value type:
// a double for one series, or a lane type for several series side by side with the same
// parameters, which run piece by piece in turn.
template <class In, class Out, class V>
void piece(In src, Out out, std::int64_t length, std::int64_t period, Step<V>& step, V* buffer, V* high_tails,
           V* low_tails, std::int64_t lo, std::int64_t hi, double nan) noexcept {
    hi = std::min(hi, length);
    for (std::int64_t i = lo; i < std::min(period - 1, hi); ++i) out[i] = V(nan);
    Step<V> s = step;  // a local, which no store into `buffer` can alias
    std::int64_t i = lo;
    if (i == 0 && i < hi) buffer[i++] = s.first(src[0]);
    for (; i < hi; ++i) buffer[i - lo] = s.next(src[i]);
    step = s;
    // T3 at position i of the piece.
    struct Piece {
        const V* buffer;
        std::int64_t lo;
        V operator[](std::int64_t i) const noexcept { return buffer[i - lo]; }
    };
    const Piece t3{buffer, lo};
    window_extremes_range(t3, t3, length, period, lo, hi, high_tails, low_tails,
                          [t3, out, nan](std::int64_t i, V max_val, V min_val) {
                              out[i] = place<V>(t3[i], max_val, min_val, nan);
                          });
}

// The whole pass over one series; `buffer` holds one_pass_chunk(length, period) doubles.
template <class In, class Out>
void one_pass(In src, Out out, std::int64_t length, int t3_period, double volume_factor, std::int64_t period,
              double* buffer, double* high_tails, double* low_tails, double nan) noexcept {
    const Params params(t3_period, volume_factor);
    const Params* lane = &params;
    Step<double> step(&lane);
    const std::int64_t chunk = one_pass_chunk(length, period);
    for (std::int64_t lo = 0; lo < length; lo += chunk) {
        piece(src, out, length, period, step, buffer, high_tails, low_tails, lo, lo + chunk, nan);
    }
}

}  // namespace vi::normalized_t3
