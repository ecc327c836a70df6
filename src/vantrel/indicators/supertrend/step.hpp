// SuperTrend step: a line that ratchets along the band of the current trend.
//
// For each bar i, given its ATR value:
//   hl2 = (high[i] + low[i]) * 0.5;   d = multiplier * atr[i]
//   upper = hl2 + d;                   lower = hl2 - d
//   line[0] = lower[0], direction[0] = 1
//   direction[i] = -1 if line[i-1] >= close[i] else 1
//   up   (1):  line[i] = lower[i]; held at line[i-1] unless lower[i] > line[i-1],
//              when the trend was already up
//   down (-1): line[i] = upper[i]; held at line[i-1] unless line[i-1] > upper[i],
//              when the trend was already down
//
// The one text of the line: the single-series loop, the batch lanes and the streaming
// objects all advance this state. The direction is carried as the double -1.0 or 1.0.
//
//   ties     line[i-1] == close[i] turns the trend down; an equal band holds the line
//   NaN      any comparison with NaN is false: a NaN line or close gives direction 1,
//            and a NaN band or line on a held trend keeps line[i-1]; on a change of
//            direction the line takes the new band as it is, NaN included
//   order    the sum, then the product with 0.5; multiplier * atr rounded on its own
//            before the addition or subtraction (no fused multiply-add)
#pragma once

#include "numeric/lanes.hpp"

namespace vi::supertrend {

struct Params {
    double multiplier;
};

template <class V>
struct Bands {
    V upper, lower;
};

// The bands of one bar.
template <class V>
Bands<V> bands(V high, V low, V atr, V multiplier) noexcept {
    const V hl2 = (high + low) * V(0.5);
    const V distance = multiplier * atr;
    return {hl2 + distance, hl2 - distance};
}

// Bar i's line and direction from bar i-1's (both given in `line`, `direction`).
template <class V>
void advance(V& line, V& direction, V close, V upper, V lower) noexcept {
    const auto down = line >= close;
    const V held_down = select(both(direction == V(-1.0), negate(line > upper)), line, upper);
    const V held_up = select(both(direction == V(1.0), negate(lower > line)), line, lower);
    line = select(down, held_down, held_up);
    direction = select(down, V(-1.0), V(1.0));
}

template <class V>
struct Step {
    static constexpr int inputs = 4;  // high, low, close, atr
    using Params = supertrend::Params;
    static constexpr int outputs = 2;  // line, direction

    V multiplier{}, line{}, direction{};

    Step() noexcept = default;
    explicit Step(const Params* const* lane) noexcept : multiplier(gather<V>(lane, &Params::multiplier)) {}

    void first(V high, V low, V atr) noexcept { first_bands(bands(high, low, atr, multiplier)); }
    void next(V high, V low, V close, V atr) noexcept {
        const Bands<V> b = bands(high, low, atr, multiplier);
        advance(line, direction, close, b.upper, b.lower);
    }
    // The same from bands already known.
    void first_bands(Bands<V> b) noexcept {
        line = b.lower;
        direction = V(1.0);
    }
    void next_bands(V close, Bands<V> b) noexcept { advance(line, direction, close, b.upper, b.lower); }
};

}  // namespace vi::supertrend
