// SuperTrend kernel: a line that ratchets along the band of the current trend.
//
// For each bar i, in one pass (the midpoint and bands live in registers):
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
#pragma once

#include <cstdint>

namespace vi::supertrend {

template <class In, class Line, class Direction>
void kernel(In high, In low, In close, In atr, Line line, Direction direction, std::int64_t length,
            double multiplier) noexcept {
    if (length <= 0) return;
    double prev_line = (high[0] + low[0]) * 0.5 - multiplier * atr[0];
    std::int64_t prev_direction = 1;
    line[0] = prev_line;
    direction[0] = prev_direction;
    for (std::int64_t i = 1; i < length; ++i) {
        const double hl2 = (high[i] + low[i]) * 0.5;
        const double distance = multiplier * atr[i];
        double value;
        std::int64_t dir;
        if (prev_line >= close[i]) {
            dir = -1;
            const double upper = hl2 + distance;
            value = (prev_direction == -1 && !(prev_line > upper)) ? prev_line : upper;
        } else {
            dir = 1;
            const double lower = hl2 - distance;
            value = (prev_direction == 1 && !(lower > prev_line)) ? prev_line : lower;
        }
        line[i] = value;
        direction[i] = dir;
        prev_line = value;
        prev_direction = dir;
    }
}

}  // namespace vi::supertrend
