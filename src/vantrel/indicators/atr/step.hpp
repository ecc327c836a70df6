// ATR step: the true range smoothed by the recursive average with weight 1/period.
//
//   tr[0] = high[0] - low[0];   tr[i] = true_range(high[i], low[i], close[i-1])
//   atr[0] = tr[0];             atr[i] = fma(1 - alpha, atr[i-1], alpha * tr[i])
//
// The one text of the recursion: the single-series loop, SuperTrend's own ATR in the batch
// lanes and the streaming objects all advance this state.
//
//   alpha    1.0 / period in double; period 0 gives an infinite weight and negative
//            periods a negative one, used unchanged
//   NaN      a NaN high or low is carried forward by the recursion; a NaN previous
//            close only drops out of the true range (see numeric/true_range.hpp)
//   order    alpha * tr[i] rounded on its own, then (1 - alpha) * atr[i-1] plus that
//            product in one fused multiply-add, rounded once (std::fma: the same bits on
//            every processor)
#pragma once

#include "numeric/lanes.hpp"
#include "numeric/true_range.hpp"

namespace vi::atr {

struct Params {
    double alpha, keep;
    explicit Params(int period) noexcept : alpha(1.0 / static_cast<double>(period)), keep(1.0 - alpha) {}
};

template <class V>
struct Step {
    static constexpr int inputs = 3;  // high, low, close
    static constexpr int outputs = 1;
    using Params = atr::Params;

    V alpha{}, keep{}, value{}, prev_close{};

    Step() noexcept = default;
    explicit Step(const Params* const* lane) noexcept
        : alpha(gather<V>(lane, &Params::alpha)), keep(gather<V>(lane, &Params::keep)) {}

    V first(V high, V low, V close) noexcept {
        prev_close = close;
        return value = high - low;
    }
    V next(V high, V low, V close) noexcept {
        const V tr = true_range(high, low, prev_close);
        prev_close = close;
        return value = fused(keep, value, alpha * tr);
    }

    void first(const V* in, V* out) noexcept { out[0] = first(in[0], in[1], in[2]); }
    void next(const V* in, V* out) noexcept { out[0] = next(in[0], in[1], in[2]); }
};

}  // namespace vi::atr
