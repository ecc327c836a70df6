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
// Each intermediate series of the textbook layout (moves, DM, TR, DX) is needed only at
// its own position, so it lives in a register; the three smoothed series pass through
// a small buffer per block. The values are the same operations in the same order,
// hence the same bits.
//
// Speed: the only serial work is the four smoothings, and the only slow operations are
// the three divisions per position. The loop runs over blocks of positions in two
// passes, two positions per step with the pair operations of common/double2.hpp:
//   1. the moves, DM, the true range and the three smoothings of the block, into the
//      block buffer: DM is a masked select and the true range takes maxpd, so nothing
//      here branches on the data;
//   2. +DI, -DI, DX and ADX from the buffer: +DI of two positions in one division, -DI
//      and DX likewise, so three divisions per step of two positions.
// Splitting the passes keeps each loop short: the smoothings no longer wait behind the
// divisions. A zero guard is one test for both lanes; in the rare step with a zero
// denominator, that lane divides 1.0 and is then masked to 0.0, so nothing is ever
// divided by zero. An odd last position runs the same step with its values in both
// lanes, and only the first lane is stored.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/double2.hpp"
#include "common/true_range.hpp"

namespace vi::adx {

namespace detail {

// numerator / denominator lane by lane, 0.0 where the denominator == 0.0 (a NaN
// denominator is != 0.0 and passes through).
inline Double2 ratio_or_zero(Double2 numerator, Double2 denominator) noexcept {
    const Mask2 usable = nonzero(denominator);
    if (all(usable)) return numerator / denominator;
    return keep(usable, numerator / select(usable, denominator, splat(1.0)));
}

// DX from +DI and -DI, lane by lane: 0.0 where +DI + -DI == 0.0.
inline Double2 dx(Double2 plus_di, Double2 minus_di) noexcept {
    return ratio_or_zero(magnitude(plus_di - minus_di) * splat(100.0), plus_di + minus_di);
}

// Positions per block (even, so that only the last block can end on a lone position).
inline constexpr std::int64_t block = 256;

// The smoothed series of one block; a spare slot takes the copy of a lone last position.
struct Smoothed {
    double tr[block + 1];
    double plus_dm[block + 1];
    double minus_dm[block + 1];
};

}  // namespace detail

template <class In, class Out>
void kernel(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values,
            std::int64_t length, int di_length, int adx_smoothing) noexcept {
    if (length <= 0) return;
    const double alpha_di = 1.0 / static_cast<double>(di_length);
    const double keep_di = 1.0 - alpha_di;
    const double alpha_adx = 1.0 / static_cast<double>(adx_smoothing);
    const double keep_adx = 1.0 - alpha_adx;
    const Double2 hundred = splat(100.0);

    // Position 0: the range of the first bar, no moves, and ADX[0] = DX[0].
    double tr_rma = high[0] - low[0];
    Double2 dm_rma = splat(0.0);  // [+DM, -DM] smoothed
    double adx;
    {
        const Double2 plus = detail::ratio_or_zero(splat(first(dm_rma)) * hundred, splat(tr_rma));
        const Double2 minus = detail::ratio_or_zero(splat(second(dm_rma)) * hundred, splat(tr_rma));
        adx = first(detail::dx(plus, minus));
        plus_di[0] = first(plus);
        minus_di[0] = first(minus);
        adx_values[0] = adx;
    }

    const Double2 alpha = splat(alpha_di);
    const Double2 keep_pair = splat(keep_di);
    const Double2 zero = splat(0.0);
    const Double2 alpha_dx = splat(alpha_adx);
    detail::Smoothed buf;
    const Contiguous<const double> tr_buf{buf.tr}, plus_buf{buf.plus_dm}, minus_buf{buf.minus_dm};

    // Pass 1 for positions start + k and start + k + 1, given their prices and those one
    // position earlier: the smoothings, into slots k and k + 1.
    auto smooth = [&](std::int64_t k, Double2 h, Double2 h_prev, Double2 l, Double2 l_prev, Double2 c_prev) {
        const Double2 up = h - h_prev;
        const Double2 down = l_prev - l;
        // up > down && up > 0.0 is up > (0.0 > down ? 0.0 : down): a NaN down stays NaN.
        const Double2 plus_term = alpha * keep(greater_of(zero, down) < up, up);
        const Double2 minus_term = alpha * keep(greater_of(zero, up) < down, down);
        const Double2 tr_term = alpha * true_range(h, l, c_prev);
        tr_rma = keep_di * tr_rma + first(tr_term);
        dm_rma = keep_pair * dm_rma + firsts(plus_term, minus_term);
        buf.tr[k] = tr_rma;
        buf.plus_dm[k] = first(dm_rma);
        buf.minus_dm[k] = second(dm_rma);
        tr_rma = keep_di * tr_rma + second(tr_term);
        dm_rma = keep_pair * dm_rma + seconds(plus_term, minus_term);
        buf.tr[k + 1] = tr_rma;
        buf.plus_dm[k + 1] = first(dm_rma);
        buf.minus_dm[k + 1] = second(dm_rma);
    };

    for (std::int64_t start = 1; start < length; start += detail::block) {
        const std::int64_t count = std::min(detail::block, length - start);

        std::int64_t k = 0;
        for (; k + 1 < count; k += 2) {
            const std::int64_t i = start + k;
            smooth(k, load_pair(high, i), load_pair(high, i - 1), load_pair(low, i), load_pair(low, i - 1),
                   load_pair(close, i - 1));
        }
        if (k < count) {
            const std::int64_t i = start + k;
            smooth(k, splat(high[i]), splat(high[i - 1]), splat(low[i]), splat(low[i - 1]), splat(close[i - 1]));
        }

        // Pass 2: +DI, -DI, DX and ADX of the block.
        for (k = 0; k < count; k += 2) {
            const Double2 tr = load_pair(tr_buf, k);
            const Double2 plus = detail::ratio_or_zero(load_pair(plus_buf, k) * hundred, tr);
            const Double2 minus = detail::ratio_or_zero(load_pair(minus_buf, k) * hundred, tr);
            const Double2 dx_term = alpha_dx * detail::dx(plus, minus);
            const double adx_first = keep_adx * adx + first(dx_term);
            const std::int64_t i = start + k;
            if (k + 1 < count) {
                adx = keep_adx * adx_first + second(dx_term);
                store_pair(plus_di, i, plus);
                store_pair(minus_di, i, minus);
                store_pair(adx_values, i, pair(adx_first, adx));
            } else {
                adx = adx_first;
                plus_di[i] = first(plus);
                minus_di[i] = first(minus);
                adx_values[i] = adx_first;
            }
        }
    }
}

}  // namespace vi::adx
