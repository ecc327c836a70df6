// The extremes of a sliding window that grows one sample at a time, equal bit for bit to
// the rescan of numeric/window_extremes.hpp: the window's first sample when it is NaN,
// else the EARLIEST of the largest (smallest) non-NaN samples.
//
// Each window keeps
//   - its last `window` samples (`samples`), for the first sample's NaN test;
//   - per order, a monotonic queue of (position, value) of its non-NaN samples that no
//     later sample beats strictly: a new sample removes from the back every entry it beats
//     (equal entries stay, so the earliest of equal values leads), and the entry that
//     leaves the window is removed from the front. The front is then the earliest extreme.
// Every sample enters and leaves each queue at most once: O(1) amortised per sample, and
// at most `window` entries per queue (storage grows with the samples seen, up to that).
//
// The queues are a function of the window's samples alone, so a window is saved as its
// samples and its count, and restored by pushing the samples again (restore()).
#pragma once

#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "numeric/window_extremes.hpp"

namespace vi {

// A circular buffer of at most `limit` elements, oldest first; the storage doubles as it
// fills, up to the first power of two at or above the limit.
template <class T>
class Ring {
public:
    explicit Ring(std::int64_t limit = 0) noexcept : limit_(limit < 0 ? 0 : limit) {}

    std::int64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::int64_t limit() const noexcept { return limit_; }
    // The k-th element from the oldest, 0 <= k < size().
    const T& operator[](std::int64_t k) const noexcept { return buf_[slot(k)]; }
    const T& front() const noexcept { return buf_[slot(0)]; }
    const T& back() const noexcept { return buf_[slot(size_ - 1)]; }

    // Appends v; when the ring holds `limit` elements the oldest goes first (a ring of
    // limit 0 keeps nothing).
    void push_back(const T& v) {
        if (limit_ == 0) return;
        if (size_ == limit_) pop_front();
        if (size_ == static_cast<std::int64_t>(buf_.size())) grow();
        buf_[slot(size_)] = v;
        ++size_;
    }
    // Storage for min(n, limit) elements, so that pushes up to that size never allocate.
    void reserve(std::int64_t n) {
        if (n > limit_) n = limit_;
        while (static_cast<std::int64_t>(buf_.size()) < n) grow();
    }
    void pop_front() noexcept {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    void pop_back() noexcept { --size_; }
    void clear() noexcept { head_ = size_ = 0; }

private:
    std::size_t slot(std::int64_t k) const noexcept {
        return static_cast<std::size_t>((head_ + k) & mask_);
    }
    void grow() {
        std::int64_t capacity = buf_.empty() ? 4 : 2 * static_cast<std::int64_t>(buf_.size());
        std::vector<T> next(static_cast<std::size_t>(capacity));
        for (std::int64_t k = 0; k < size_; ++k) next[static_cast<std::size_t>(k)] = (*this)[k];
        buf_.swap(next);
        head_ = 0;
        mask_ = capacity - 1;
    }

    std::vector<T> buf_;
    std::int64_t head_ = 0, size_ = 0, mask_ = 0, limit_;
};

// The monotonic queue of one order (Highest or Lowest of window_extremes.hpp).
template <class Order>
class ExtremeQueue {
public:
    explicit ExtremeQueue(std::int64_t window) noexcept : entries_(window) {}

    // The sample at `position` enters; entries before `start` (the first position of the
    // window that now ends at `position`) leave.
    void push(std::int64_t position, double v, std::int64_t start) {
        while (!entries_.empty() && entries_.front().position < start) entries_.pop_front();
        if (std::isnan(v)) return;  // a NaN never beats a value, nor stays a candidate
        while (!entries_.empty() && Order::beats(v, entries_.back().value)) entries_.pop_back();
        entries_.push_back({position, v});
    }
    // The earliest extreme of the non-NaN samples since the last push's `start`; the queue
    // must not be empty.
    double best() const noexcept { return entries_.front().value; }
    // best() after push(position, v, start), without pushing.
    double best_with(double v, std::int64_t start) const noexcept {
        std::int64_t k = 0;
        while (k < entries_.size() && entries_[k].position < start) ++k;  // at most one leaves
        if (k == entries_.size()) return v;
        return keep<Order>(entries_[k].value, v);
    }
    void clear() noexcept { entries_.clear(); }
    void reserve(std::int64_t n) { entries_.reserve(n); }

private:
    struct Entry {
        std::int64_t position;
        double value;
    };
    Ring<Entry> entries_;
};

// A sliding window of `window` >= 1 samples with the rescan extremes of each of Orders.
// Before `window` samples have been seen, the window is every sample so far.
template <class... Orders>
class WindowDeque {
public:
    explicit WindowDeque(std::int64_t window) : window_(window), samples_(window), queues_(ExtremeQueue<Orders>(window)...) {}

    std::int64_t count() const noexcept { return count_; }
    std::int64_t window() const noexcept { return window_; }
    // The last min(count(), window()) samples, oldest first.
    const Ring<double>& samples() const noexcept { return samples_; }

    void push(double v) {
        const std::int64_t start = count_ + 1 - window_;
        samples_.push_back(v);
        (std::get<ExtremeQueue<Orders>>(queues_).push(count_, v, start), ...);
        ++count_;
    }

    // The extreme of the current window; requires count() >= 1.
    template <class Order>
    double extreme() const noexcept {
        const double first = samples_.front();
        if (std::isnan(first)) return first;  // the rescan starts at it and nothing beats it
        return std::get<ExtremeQueue<Order>>(queues_).best();
    }

    // extreme<Order>() after push(v), without pushing.
    template <class Order>
    double extreme_with(double v) const noexcept {
        const std::int64_t start = count_ + 1 - window_;
        // The samples held start at max(0, count - window); the new window at max(0, start).
        const std::int64_t held_from = count_ - window_ > 0 ? count_ - window_ : 0;
        const std::int64_t from = start > 0 ? start : 0;
        const double first = from == count_ ? v : samples_[from - held_from];
        if (std::isnan(first)) return first;
        return std::get<ExtremeQueue<Order>>(queues_).best_with(v, start);
    }

    // Storage for `bars` samples in all, so that pushes up to then never allocate.
    void reserve(std::int64_t bars) {
        samples_.reserve(bars);
        (std::get<ExtremeQueue<Orders>>(queues_).reserve(bars), ...);
    }

    void clear() noexcept {
        count_ = 0;
        samples_.clear();
        (std::get<ExtremeQueue<Orders>>(queues_).clear(), ...);
    }

    // The state after `count` samples of which the last `size` are `last[0 .. size)` (any
    // view); requires size == min(count, window).
    template <class View>
    void restore(std::int64_t count, View last, std::int64_t size) {
        clear();
        count_ = count - size;
        for (std::int64_t k = 0; k < size; ++k) push(last[k]);
    }

private:
    std::int64_t window_;
    std::int64_t count_ = 0;
    Ring<double> samples_;
    std::tuple<ExtremeQueue<Orders>...> queues_;
};

}  // namespace vi
