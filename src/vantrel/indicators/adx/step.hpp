// ADX step: +DI, -DI and the Average Directional Index of one bar.
//
// Per bar i (i >= 1; bar 0 has no moves and no previous close):
//   up   = high[i] - high[i-1]          down = low[i-1] - low[i]
//   +DM  = up   if up > down and up > 0,     else 0.0
//   -DM  = down if down > up and down > 0,   else 0.0
//   TR   = true_range(high[i], low[i], close[i-1])          (TR[0] = high[0] - low[0])
//   rma  = (1 - 1/di_length) * rma[i-1] + (1/di_length) * x[i]   for TR, +DM, -DM
//   +DI  = (+DM_rma * 100.0) / TR_rma,  -DI likewise, both 0.0 when TR_rma == 0
//   DX   = (|+DI - -DI| * 100.0) / (+DI + -DI), 0.0 when that sum == 0
//   ADX  = (1 - 1/adx_smoothing) * ADX[i-1] + (1/adx_smoothing) * DX[i]
//
// The one text of these formulas: the helpers below, over any value type of
// numeric/lanes.hpp. The batch lanes and the streaming objects advance the state; the
// single-series kernel (kernel.hpp) runs the same helpers over positions side by side.
//
//   seed     every smoothing starts from its value at bar 0 (+DM and -DM there are 0.0);
//            ADX[0] = DX[0]
//   compare  all strict; a comparison with NaN is false, so a NaN move counts as 0.0
//   guards   exact comparisons with zero; a NaN is not equal to zero and passes through
//   order    each smoothing is two rounded products then one addition; each guarded
//            ratio forms its product with 100.0 before the division
#pragma once

#include "numeric/lanes.hpp"
#include "numeric/true_range.hpp"

namespace vi::adx {

struct Params {
    double alpha_di, keep_di, alpha_adx, keep_adx;
    Params(int di_length, int adx_smoothing) noexcept
        : alpha_di(1.0 / static_cast<double>(di_length)),
          keep_di(1.0 - alpha_di),
          alpha_adx(1.0 / static_cast<double>(adx_smoothing)),
          keep_adx(1.0 - alpha_adx) {}
};

// numerator / denominator, 0.0 where the denominator == 0.0 (nothing is divided by zero).
template <class V>
V ratio_or_zero(V numerator, V denominator) noexcept {
    const auto usable = denominator != V(0.0);
    if (all(usable)) return numerator / denominator;
    return select(usable, numerator / select(usable, denominator, V(1.0)), V(0.0));
}

// +DM from (up, down), -DM from (down, up): the move when it beats the other and 0.0.
// move > other and move > 0.0 is move > (0.0 > other ? 0.0 : other), a NaN other staying
// NaN (so no move beats it).
template <class V>
V directional_move(V move, V other) noexcept {
    return select(greater_of(V(0.0), other) < move, move, V(0.0));
}

// One step of a smoothing: keep * value + alpha * x.
template <class V>
V smoothed(V keep, V value, V alpha, V x) noexcept {
    return keep * value + alpha * x;
}

// +DI (or -DI) from the smoothed +DM (-DM) and true range.
template <class V>
V directional_index(V dm_rma, V tr_rma) noexcept {
    return ratio_or_zero(dm_rma * V(100.0), tr_rma);
}

// DX from +DI and -DI.
template <class V>
V directional_spread(V plus_di, V minus_di) noexcept {
    return ratio_or_zero(magnitude(plus_di - minus_di) * V(100.0), plus_di + minus_di);
}

template <class V>
struct Step {
    static constexpr int inputs = 3;   // high, low, close
    using Params = adx::Params;
    static constexpr int outputs = 3;  // +DI, -DI, ADX

    V alpha_di{}, keep_di{}, alpha_adx{}, keep_adx{};
    V prev_high{}, prev_low{}, prev_close{}, tr_rma{}, plus_rma{}, minus_rma{}, adx{};

    Step() noexcept = default;
    explicit Step(const Params* const* lane) noexcept
        : alpha_di(gather<V>(lane, &Params::alpha_di)),
          keep_di(gather<V>(lane, &Params::keep_di)),
          alpha_adx(gather<V>(lane, &Params::alpha_adx)),
          keep_adx(gather<V>(lane, &Params::keep_adx)) {}

    void first(const V* in, V* out) noexcept {
        prev_high = in[0];
        prev_low = in[1];
        prev_close = in[2];
        tr_rma = in[0] - in[1];
        plus_rma = V(0.0);
        minus_rma = V(0.0);
        adx = ratios(out);
        out[2] = adx;
    }
    void next(const V* in, V* out) noexcept {
        const V high = in[0], low = in[1];
        const V up = high - prev_high;
        const V down = prev_low - low;
        tr_rma = smoothed(keep_di, tr_rma, alpha_di, true_range(high, low, prev_close));
        plus_rma = smoothed(keep_di, plus_rma, alpha_di, directional_move(up, down));
        minus_rma = smoothed(keep_di, minus_rma, alpha_di, directional_move(down, up));
        prev_high = high;
        prev_low = low;
        prev_close = in[2];
        adx = smoothed(keep_adx, adx, alpha_adx, ratios(out));
        out[2] = adx;
    }

private:
    // +DI and -DI into out[0], out[1]; returns DX.
    V ratios(V* out) const noexcept {
        const V plus_di = directional_index(plus_rma, tr_rma);
        const V minus_di = directional_index(minus_rma, tr_rma);
        out[0] = plus_di;
        out[1] = minus_di;
        return directional_spread(plus_di, minus_di);
    }
};

}  // namespace vi::adx
