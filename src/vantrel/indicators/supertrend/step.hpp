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

// A bar's midpoint and band distance; the bands are hl2 + distance and hl2 - distance.
template <class V>
struct Around {
    V hl2, distance;
    V upper() const noexcept { return hl2 + distance; }
    V lower() const noexcept { return hl2 - distance; }
};

template <class V>
Around<V> around(V high, V low, V atr, V multiplier) noexcept {
    return {(high + low) * V(0.5), multiplier * atr};
}

// The bands of one bar.
template <class V>
Bands<V> bands(V high, V low, V atr, V multiplier) noexcept {
    const Around<V> a = around(high, low, atr, multiplier);
    return {a.upper(), a.lower()};
}

// Bar i's line and direction from bar i-1's (both given in `line`, `direction`); the
// bands come from `upper()` and `lower()`, so that one series computes only the band of
// the trend it is in.
template <class V, class Upper, class Lower>
void advance(V& line, V& direction, V close, Upper&& upper, Lower&& lower) noexcept {
    const auto down = line >= close;
    // A held trend keeps the line unless the band moved past it towards the price:
    // "band < line ? band : line" and "band > line ? band : line", which are lesser_of and
    // greater_of exactly (NaN and equal zeros keep the line), one minpd or maxpd in the
    // lanes instead of a comparison and a select, and no branch on the band's every wiggle.
    line = choose(
        down,
        [&] {
            const V band = upper();
            return select(direction == V(-1.0), lesser_of(band, line), band);
        },
        [&] {
            const V band = lower();
            return select(direction == V(1.0), greater_of(band, line), band);
        });
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
        const Around<V> a = around(high, low, atr, multiplier);
        advance(line, direction, close, [&] { return a.upper(); }, [&] { return a.lower(); });
    }
    // The same from bands already known.
    void first_bands(Bands<V> b) noexcept {
        line = b.lower;
        direction = V(1.0);
    }
    void next_bands(V close, Bands<V> b) noexcept {
        advance(line, direction, close, [&] { return b.upper; }, [&] { return b.lower; });
    }
};

}  // namespace vi::supertrend
