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
// The window extremes come from two monotonic deques instead of a rescan, in O(1)
// amortised per sample. Why that gives the rescan's exact answer:
//   - the rescan's result for a window whose first sample is not NaN is the earliest
//     sample holding the largest (smallest) non-NaN value of the window;
//   - the max deque holds non-NaN samples in non-increasing value order, dropping from
//     the back only those strictly smaller than a newcomer, so an equal earlier sample
//     stays in front of a later one; after dropping positions before the window start,
//     its front is that earliest maximum (the min deque mirrors it);
//   - NaN samples never enter a deque; the window's first sample is tested for NaN
//     directly, and a NaN there is returned as the extreme.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vi::stochastic {

// One deque entry: a sample's value and its position.
struct Slot {
    double value;
    std::int64_t pos;
};

// Entries each deque needs: it never holds more than one window, nor more than the input.
inline std::int64_t deque_capacity(std::int64_t length, std::int64_t k_period) noexcept {
    return std::max<std::int64_t>(1, std::min(length, k_period));
}

// A double-ended queue of positions in a ring of `capacity` slots owned by the caller.
// `Before(a, b)` is true when value a must drop b from the back (a beats b strictly).
template <class Before>
class MonotonicDeque {
public:
    MonotonicDeque(Slot* ring, std::int64_t capacity) noexcept : ring_(ring), capacity_(capacity) {}

    // Drops the positions before `start` from the front.
    void expire(std::int64_t start) noexcept {
        while (count_ > 0 && ring_[head_].pos < start) {
            head_ = next(head_);
            --count_;
        }
    }
    // Appends a non-NaN sample after dropping every entry it beats strictly.
    void push(double value, std::int64_t pos) noexcept {
        while (count_ > 0) {
            const std::int64_t last = tail_ == 0 ? capacity_ - 1 : tail_ - 1;
            if (!Before{}(value, ring_[last].value)) break;
            tail_ = last;
            --count_;
        }
        ring_[tail_] = Slot{value, pos};
        tail_ = next(tail_);
        ++count_;
    }
    double front() const noexcept { return ring_[head_].value; }

private:
    std::int64_t next(std::int64_t k) const noexcept { return k + 1 == capacity_ ? 0 : k + 1; }
    Slot* ring_;
    std::int64_t capacity_;
    std::int64_t head_ = 0;
    std::int64_t tail_ = 0;
    std::int64_t count_ = 0;
};

struct Greater {
    bool operator()(double a, double b) const noexcept { return a > b; }
};
struct Less {
    bool operator()(double a, double b) const noexcept { return a < b; }
};

// The %K pass. `max_ring` and `min_ring` hold deque_capacity(length, k_period) slots
// each; k_period must be at least 1.
template <class In, class Out>
void k_pass(In high, In low, In close, Out k_values, std::int64_t length, std::int64_t k_period,
            double nan, Slot* max_ring, Slot* min_ring) noexcept {
    const std::int64_t capacity = deque_capacity(length, k_period);
    MonotonicDeque<Greater> highs(max_ring, capacity);
    MonotonicDeque<Less> lows(min_ring, capacity);
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
        // A non-NaN first sample is in its deque or beaten by a later entry, so the
        // deque is not empty when it is read.
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
