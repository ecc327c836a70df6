// SuperTrend kernel: a line that ratchets along the band of the current trend.
//
// For each bar i:
//   hl2 = (high[i] + low[i]) * 0.5;   d = multiplier * atr[i]
//   upper = hl2 + d;                   lower = hl2 - d
//   line[0] = lower[0], direction[0] = 1
//   direction[i] = -1 if line[i-1] >= close[i] else 1
//   up   (1):  line[i] = lower[i]; held at line[i-1] unless lower[i] > line[i-1],
//              when the trend was already up
//   down (-1): line[i] = upper[i]; held at line[i-1] unless line[i-1] > upper[i],
//              when the trend was already down
//
// Numeric policy:
//   seed     the first lower band with an up-trend, whatever the prices do
//   warm-up  none: every position holds a value
//   ties     line[i-1] == close[i] turns the trend down; an equal band holds the line
//   NaN      any comparison with NaN is false: a NaN line or close gives direction 1,
//            and a NaN band or line on a held trend keeps line[i-1]; on a change of
//            direction the line takes the new band as it is, NaN included
//   order    the sum, then the product with 0.5; multiplier * atr rounded on its own
//            before the addition or subtraction (no fused multiply-add)
//
// Two loops with one step (step.hpp): `kernel` keeps the midpoint and bands in registers
// (one pass); `passes` writes them to full-length arrays first and reads them back, as the
// three passes of the textbook layout do (the binding takes it when the arrays are visible).
#pragma once

#include <cstdint>

#include "supertrend/step.hpp"

namespace vi::supertrend {

template <class In, class Line, class Direction>
void kernel(In high, In low, In close, In atr, Line line, Direction direction, std::int64_t length,
            double multiplier) noexcept {
    if (length <= 0) return;
    const Params params{multiplier};
    const Params* lane = &params;
    Step<double> step(&lane);
    step.first(high[0], low[0], atr[0]);
    line[0] = step.line;
    direction[0] = static_cast<std::int64_t>(step.direction);
    for (std::int64_t i = 1; i < length; ++i) {
        step.next(high[i], low[i], close[i], atr[i]);
        line[i] = step.line;
        direction[i] = static_cast<std::int64_t>(step.direction);
    }
}

template <class In, class Work, class Line, class Direction>
void passes(In high, In low, In close, In atr, Work hl2, Work upper, Work lower, Line line,
            Direction direction, std::int64_t length, double multiplier) noexcept {
    if (length <= 0) return;
    for (std::int64_t i = 0; i < length; ++i) hl2[i] = (high[i] + low[i]) * 0.5;
    for (std::int64_t i = 0; i < length; ++i) {
        upper[i] = hl2[i] + multiplier * atr[i];
        lower[i] = hl2[i] - multiplier * atr[i];
    }
    const Params params{multiplier};
    const Params* lane = &params;
    Step<double> step(&lane);
    step.first_bands({upper[0], lower[0]});
    line[0] = step.line;
    direction[0] = static_cast<std::int64_t>(step.direction);
    for (std::int64_t i = 1; i < length; ++i) {
        step.next_bands(close[i], {upper[i], lower[i]});
        line[i] = step.line;
        direction[i] = static_cast<std::int64_t>(step.direction);
    }
}

}  // namespace vi::supertrend
