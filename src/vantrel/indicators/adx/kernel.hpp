// ADX kernel: +DI, -DI and the Average Directional Index in one fused forward pass.
//
// Per position i (i >= 1; position 0 has no moves and no previous close):
//   up   = high[i] - high[i-1]          down = low[i-1] - low[i]
//   +DM  = up   if up > down and up > 0,     else 0.0
//   -DM  = down if down > up and down > 0,   else 0.0
//   m    = |low[i] - close[i-1]| if it is > |high[i] - close[i-1]|, else the latter
//   TR   = m if m > high[i] - low[i], else high[i] - low[i]        (TR[0] = high[0] - low[0])
//   rma  = (1 - 1/di_length) * rma[i-1] + (1/di_length) * x[i]   for TR, +DM, -DM
//   +DI  = (+DM_rma * 100.0) / TR_rma,  -DI likewise, both 0.0 when TR_rma == 0
//   DX   = (|+DI - -DI| * 100.0) / (+DI + -DI), 0.0 when that sum == 0
//   ADX  = (1 - 1/adx_smoothing) * ADX[i-1] + (1/adx_smoothing) * DX[i]
//
// Numeric policy:
//   seed     every smoothing starts from its value at position 0 (+DM and -DM there
//            are 0.0); ADX[0] = DX[0]; no warm-up region
//   compare  all strict; a comparison with NaN is false, so a NaN move counts as 0.0
//            and a NaN candidate range falls back to the earlier candidate
//   guards   exact comparisons with zero; a NaN is not equal to zero and passes through
//   weights  1.0 / period in double; period 0 gives an infinite weight, unguarded
//   order    each smoothing is two rounded products then one addition; each guarded
//            ratio forms its product with 100.0 before the division
//
// Each intermediate series of the textbook layout (moves, DM, TR, the three smoothed
// series, DX) is needed only at i and i-1, so it lives in a scalar here; the values
// are the same operations in the same order, hence the same bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/true_range.hpp"

namespace vi::adx {

namespace detail {

struct Directional {
    double plus_di;
    double minus_di;
    double dx;
};

inline Directional directional(double plus_dm_rma, double minus_dm_rma, double tr_rma) noexcept {
    Directional d{0.0, 0.0, 0.0};
    if (tr_rma != 0.0) {  // NaN != 0.0 holds
        d.plus_di = (plus_dm_rma * 100.0) / tr_rma;
        d.minus_di = (minus_dm_rma * 100.0) / tr_rma;
    }
    const double sum_plus_minus_di = d.plus_di + d.minus_di;
    if (sum_plus_minus_di != 0.0) {
        d.dx = (std::fabs(d.plus_di - d.minus_di) * 100.0) / sum_plus_minus_di;
    }
    return d;
}

}  // namespace detail

template <class In, class Out>
void kernel(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values,
            std::int64_t length, int di_length, int adx_smoothing) noexcept {
    if (length <= 0) return;
    const double alpha_di = 1.0 / static_cast<double>(di_length);
    const double keep_di = 1.0 - alpha_di;
    const double alpha_adx = 1.0 / static_cast<double>(adx_smoothing);
    const double keep_adx = 1.0 - alpha_adx;

    double prev_high = high[0];
    double prev_low = low[0];
    double tr_rma = prev_high - prev_low;
    double plus_dm_rma = 0.0;
    double minus_dm_rma = 0.0;
    detail::Directional d = detail::directional(plus_dm_rma, minus_dm_rma, tr_rma);
    double adx = d.dx;
    plus_di[0] = d.plus_di;
    minus_di[0] = d.minus_di;
    adx_values[0] = adx;

    for (std::int64_t i = 1; i < length; ++i) {
        const double h = high[i];
        const double l = low[i];
        const double prev_close = close[i - 1];

        const double up = h - prev_high;
        const double down = prev_low - l;
        const double plus_dm = (up > down && up > 0.0) ? up : 0.0;
        const double minus_dm = (down > up && down > 0.0) ? down : 0.0;

        const double tr = true_range(h, l, prev_close);

        tr_rma = keep_di * tr_rma + alpha_di * tr;
        plus_dm_rma = keep_di * plus_dm_rma + alpha_di * plus_dm;
        minus_dm_rma = keep_di * minus_dm_rma + alpha_di * minus_dm;

        d = detail::directional(plus_dm_rma, minus_dm_rma, tr_rma);
        adx = keep_adx * adx + alpha_adx * d.dx;
        plus_di[i] = d.plus_di;
        minus_di[i] = d.minus_di;
        adx_values[i] = adx;

        prev_high = h;
        prev_low = l;
    }
}

}  // namespace vi::adx
