// The extreme of a sliding window in O(1) amortised per sample, equal to what a rescan
// finds when it starts at the window's first sample and replaces only on a strict > / <.
//
// Why a deque gives the rescan's exact answer:
//   - the rescan's result for a window whose first sample is not NaN is the earliest
//     sample holding the largest (smallest) non-NaN value of the window;
//   - the max deque holds non-NaN samples in non-increasing value order, dropping from
//     the back only those strictly smaller than a newcomer, so an equal earlier sample
//     stays in front of a later one; after dropping positions before the window start,
//     its front is that earliest maximum (the min deque mirrors it);
//   - NaN samples never enter a deque: the caller tests the window's first sample for
//     NaN directly and takes a NaN there as the extreme. A non-NaN first sample is in
//     its deque or beaten by a later entry, so the deque is not empty when it is read.
#pragma once

#include <algorithm>
#include <cstdint>

namespace vi {

// One deque entry: a sample's value and its position.
struct DequeSlot {
    double value;
    std::int64_t pos;
};

// Entries each deque needs: it never holds more than one window, nor more than the input.
inline std::int64_t deque_capacity(std::int64_t length, std::int64_t window) noexcept {
    return std::max<std::int64_t>(1, std::min(length, window));
}

// A double-ended queue of samples in a ring of `capacity` slots owned by the caller.
// `Before(a, b)` is true when value a must drop b from the back (a beats b strictly).
template <class Before>
class MonotonicDeque {
public:
    MonotonicDeque(DequeSlot* ring, std::int64_t capacity) noexcept : ring_(ring), capacity_(capacity) {}

    // Drops the positions before `start` from the front.
    void expire(std::int64_t start) noexcept {
        while (count_ > 0 && ring_[head_].pos < start) {
            head_ = next(head_);
            --count_;
        }
    }
    // Appends a non-NaN sample after dropping every entry it beats strictly; the deque
    // must hold fewer than `capacity` entries (expire first).
    void push(double value, std::int64_t pos) noexcept {
        while (count_ > 0) {
            const std::int64_t last = tail_ == 0 ? capacity_ - 1 : tail_ - 1;
            if (!Before{}(value, ring_[last].value)) break;
            tail_ = last;
            --count_;
        }
        ring_[tail_] = DequeSlot{value, pos};
        tail_ = next(tail_);
        ++count_;
    }
    double front() const noexcept { return ring_[head_].value; }

private:
    std::int64_t next(std::int64_t k) const noexcept { return k + 1 == capacity_ ? 0 : k + 1; }
    DequeSlot* ring_;
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

using MaxDeque = MonotonicDeque<Greater>;
using MinDeque = MonotonicDeque<Less>;

}  // namespace vi
