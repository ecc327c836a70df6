// The extremes of a sliding window, equal bit for bit to what a rescan finds when it
// starts at the window's first sample and replaces its best value only on a strict > / <:
//
//     best = x[s];  for j in s+1 .. i:  if x[j] > best: best = x[j]      (max; min uses <)
//
// What that rescan finds: a NaN first sample stays (nothing compares greater than NaN);
// otherwise later NaNs never win, and the result is the EARLIEST of the largest non-NaN
// values (ties keep the earlier sample, which decides between 0.0 and -0.0).
//
// How it is found here (van Herk / Gil-Werman): the input is cut into blocks of `window`
// samples from position 0. A window either is a whole block, or starts in one block
// (at s) and ends in the next (at i); then it is the tail [s, block end] of the first
// block followed by the head [block start, i] of the second. Both parts are known in
// O(1) per sample: one backward scan of each block gives the answer of every tail, one
// forward scan of the next block the answer of every head, and one pick joins the two.
//
// Every step is one `keep(a, b)`: a, unless the later b beats it strictly. It compiles
// to branch-free code (maxsd/minsd on x86), so the time taken does not depend on the
// data's order, and it is exact:
//   - among non-NaN values it is "the earliest extreme" of a then b, and folding it over
//     segments in order gives the earliest extreme of their union (it is associative);
//   - a NaN b never beats a, and a NaN a is kept. So a head's answer starts from the
//     sentinel `none` (-inf for max, +inf for min) and passes over NaN samples, while a
//     tail's answer, taken from its first sample, stays NaN when that sample is NaN, as
//     the rescan's does (the backward scan carries the answer of the non-NaN samples
//     from tail to tail, starting from the sentinel);
//   - the sentinel never beats a value, and has the bits of a real -inf (+inf): a window
//     whose first sample is not NaN gets the sentinel only when that sample is -inf.
// The working memory is the tails of one block: window - 1 values per input (fewer when
// the input is shorter).
//
// The value type V is a double (one series) or a lane type of numeric/lanes.hpp (several
// series side by side, all with the same window): every step is the same per lane, since
// keep() is greater_of / lesser_of with the later value first, "b > a ? b : a" lane by lane.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "numeric/lanes.hpp"

namespace vi {

// The largest value: `beats(b, a)` when b is strictly larger; NaN beats nothing.
struct Highest {
    static constexpr double none = -std::numeric_limits<double>::infinity();
    static bool beats(double b, double a) noexcept { return b > a; }
    template <class V>
    static V keep(V a, V b) noexcept {
        return greater_of(b, a);
    }
};
// The smallest value, mirrored.
struct Lowest {
    static constexpr double none = std::numeric_limits<double>::infinity();
    static bool beats(double b, double a) noexcept { return b < a; }
    template <class V>
    static V keep(V a, V b) noexcept {
        return lesser_of(b, a);
    }
};

// a, unless the later b beats it strictly (a NaN b never does; a NaN a stays).
template <class Order, class V>
inline V keep(V a, V b) noexcept {
    return Order::keep(a, b);
}

// Doubles each tail buffer of window_extremes holds: window - 1 when the input has
// more than one block, at least 1.
inline std::int64_t tails_capacity(std::int64_t length, std::int64_t window) noexcept {
    return std::max<std::int64_t>(1, std::min(length, window) - 1);
}

// Calls emit(i, highest, lowest) for i = window - 1 .. length - 1 in ascending order,
// where `highest` is the rescan's maximum of high[i - window + 1 .. i] and `lowest` the
// rescan's minimum of low[i - window + 1 .. i] (`high` and `low` may be one array).
// Requires window >= 1; `high_tails` and `low_tails` hold tails_capacity(length, window)
// values each (of the value type, to which high[i] and low[i] convert). Reads high and low
// at [0, length) only. `emit` is taken by value (a lambda of views is small), so its
// captures can stay in registers.
//
// window_extremes_range does the same a range of blocks at a time: the blocks of `window`
// samples from 0 that start in [from, to), where `from` is a multiple of window and `to`
// one too or at least length. It reads high and low in [from, min(to, length)) only, and
// emits every i >= window - 1 there. The tails pass from one block to the next, so calls
// for [0, a), [a, b), ... one after the other emit what one call for [0, length) emits,
// and the input may be made a range at a time into a buffer, right before it is needed.
template <class High, class Low, class V, class Emit>
void window_extremes_range(High high, Low low, std::int64_t length, std::int64_t window, std::int64_t from,
                           std::int64_t to, V* high_tails, V* low_tails, Emit emit) noexcept {
    const V none_high(Highest::none), none_low(Lowest::none);
    // Block [begin, last]; begin + window stays far inside 64 bits (window < 2^31).
    for (std::int64_t begin = from; begin < std::min(to, length); begin += window) {
        const std::int64_t last = begin + window - 1;
        const std::int64_t stop = std::min(last, length);
        // Heads [begin, i]: a forward scan from the sentinel.
        V head_high = none_high;
        V head_low = none_low;
        if (begin == 0) {
            // Windows ending here would start before 0: only the head is needed.
            for (std::int64_t i = 0; i < stop; ++i) {
                head_high = keep<Highest, V>(head_high, high[i]);
                head_low = keep<Lowest, V>(head_low, low[i]);
            }
        } else {
            // The window ending at i = begin + j starts at (begin - window + 1) + j in
            // the previous block, whose tail from there is tails[j]; the head follows.
            for (std::int64_t i = begin, j = 0; i < stop; ++i, ++j) {
                head_high = keep<Highest, V>(head_high, high[i]);
                head_low = keep<Lowest, V>(head_low, low[i]);
                emit(i, keep<Highest>(high_tails[j], head_high), keep<Lowest>(low_tails[j], head_low));
            }
        }
        if (last >= length) break;
        // The window ending at `last` is the whole block: its head, taken from its
        // first sample (which stays when it is NaN).
        head_high = keep<Highest, V>(head_high, high[last]);
        head_low = keep<Lowest, V>(head_low, low[last]);
        emit(last, keep<Highest, V>(high[begin], head_high), keep<Lowest, V>(low[begin], head_low));
        if (last + 1 == length) break;
        // Tails [s, last] for s = begin + 1 .. last, the starts of the next block's
        // windows, stored at tails[s - begin - 1]: a backward scan that carries the
        // answer over the non-NaN samples (`rest_*`, the sentinel when there is none).
        V rest_high = none_high;
        V rest_low = none_low;
        for (std::int64_t s = last; s > begin; --s) {
            const V h = high[s];
            const V l = low[s];
            high_tails[s - begin - 1] = keep<Highest>(h, rest_high);
            low_tails[s - begin - 1] = keep<Lowest>(l, rest_low);
            rest_high = keep<Highest>(keep<Highest>(none_high, h), rest_high);
            rest_low = keep<Lowest>(keep<Lowest>(none_low, l), rest_low);
        }
    }
}

template <class High, class Low, class V, class Emit>
void window_extremes(High high, Low low, std::int64_t length, std::int64_t window, V* high_tails, V* low_tails,
                     Emit emit) noexcept {
    window_extremes_range(high, low, length, window, 0, length, high_tails, low_tails, emit);
}

}  // namespace vi
