// ADX kernel: +DI, -DI and the Average Directional Index in one fused forward pass.
//
// The formulas are those of adx/step.hpp, through its helpers (directional_move, true_range,
// smoothed, directional_index, directional_spread), so the single-series function, the
// batch lanes and the streaming objects give the same bits by construction:
//   up   = high[i] - high[i-1]          down = low[i-1] - low[i]
//   +DM  = up   if up > down and up > 0,     else 0.0
//   -DM  = down if down > up and down > 0,   else 0.0
//   TR   = true_range(high[i], low[i], close[i-1])          (TR[0] = high[0] - low[0])
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
// Resuming: `resume` continues a step's state over the next bars (the stream's update_many)
// and gives the bits of advancing the step bar by bar; `kernel` is resume from bar 0.
//
// Speed: the serial work is the four smoothings (two multiplications and an addition each,
// per position); the slow work is three divisions per position, which depend on no earlier
// division. So the divisions of several positions run side by side in lanes, apart from
// the smoothings. Two loops:
//   - pairs (every target): blocks of positions in two passes; pass 1 runs the moves, DM
//     and the true range of two positions in Lanes2 and the three smoothings into a block
//     buffer, pass 2 the ratios of two positions in Lanes2 and ADX from that buffer;
//   - AVX (x86 with GCC or Clang, when the processor has AVX, contiguous arrays of at
//     least avx_minimum positions; adx/kernel_avx.cpp): four positions per step in Lanes4,
//     the smoothings running ahead of the divisions through a ring so that one loop
//     overlaps the two; the pair loop then finishes the last one to three positions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "adx/step.hpp"
#include "numeric/views.hpp"

// The AVX loop is compiled in its own translation unit (adx/kernel_avx.cpp) by the builds
// that define VI_ADX_AVX=1 (GCC and Clang on x86, with the SIMD paths on).
#ifndef VI_ADX_AVX
#define VI_ADX_AVX 0
#endif

namespace vi::adx {

namespace detail {

struct Weights {
    double alpha_di, keep_di, alpha_adx, keep_adx;
};

// The four smoothings after the last position done.
struct Smoothings {
    double tr, plus, minus, adx;
};

#if VI_ADX_AVX
// Positions [1, end) of contiguous arrays, four per step: end - 1 a multiple of 4 and at
// least avx_minimum (adx/kernel_avx.cpp; the processor must have AVX).
inline constexpr std::int64_t avx_minimum = 64;
void avx_run(const double* high, const double* low, const double* close, double* plus_di, double* minus_di,
             double* adx_values, std::int64_t end, Smoothings& s, const Weights& w) noexcept;
#endif

// Positions per block.
inline constexpr std::int64_t block = 256;

// The smoothed series of one block; a spare slot pairs a lone last position.
struct Block {
    double tr[block + 1];
    double plus[block + 1];
    double minus[block + 1];
};

// Positions i and i + 1 of a view as two lanes, and back.
template <class View>
Lanes2 two(View view, std::int64_t i) noexcept {
    const double x[2] = {view[i], view[i + 1]};
    return LaneTraits<Lanes2>::load(x);
}
template <class View>
void put_two(View view, std::int64_t i, Lanes2 v) noexcept {
    double x[2];
    LaneTraits<Lanes2>::store(x, v);
    view[i] = x[0];
    view[i + 1] = x[1];
}

// Positions [start, length), block by block, from the smoothings `state` (updated).
template <class In, class Out>
void blocks(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values, std::int64_t start,
            std::int64_t length, Smoothings& state, const Weights w) noexcept {
    // The state is a local copy, which no store to an output can alias.
    Smoothings s = state;
    Block buf;
    // Pass 1 at k, k + 1 (k alone when `lone`, its copy in the spare slot): the moves, DM
    // and the true range two positions at a time, the smoothings position by position.
    auto smooth = [&](std::int64_t k, Lanes2 h, Lanes2 h_prev, Lanes2 l, Lanes2 l_prev, Lanes2 c_prev, auto lone) {
        const Lanes2 up = h - h_prev;
        const Lanes2 down = l_prev - l;
        double tr[2], plus[2], minus[2];
        LaneTraits<Lanes2>::store(tr, true_range(h, l, c_prev));
        LaneTraits<Lanes2>::store(plus, directional_move(up, down));
        LaneTraits<Lanes2>::store(minus, directional_move(down, up));
        for (int q = 0; q < 2; ++q) {
            if (q == 0 || !decltype(lone)::value) {
                s.tr = smoothed(w.keep_di, s.tr, w.alpha_di, tr[q]);
                s.plus = smoothed(w.keep_di, s.plus, w.alpha_di, plus[q]);
                s.minus = smoothed(w.keep_di, s.minus, w.alpha_di, minus[q]);
            }
            buf.tr[k + q] = s.tr;
            buf.plus[k + q] = s.plus;
            buf.minus[k + q] = s.minus;
        }
    };
    for (; start < length; start += block) {
        const std::int64_t count = std::min(block, length - start);
        std::int64_t k = 0;
        for (; k + 1 < count; k += 2) {
            const std::int64_t i = start + k;
            smooth(k, two(high, i), two(high, i - 1), two(low, i), two(low, i - 1), two(close, i - 1),
                   std::false_type{});
        }
        if (k < count) {
            const std::int64_t i = start + k;
            smooth(k, Lanes2(high[i]), Lanes2(high[i - 1]), Lanes2(low[i]), Lanes2(low[i - 1]), Lanes2(close[i - 1]),
                   std::true_type{});
        }

        // Pass 2: +DI, -DI and DX two positions at a time, ADX position by position.
        const Contiguous<const double> tr_buf{buf.tr}, plus_buf{buf.plus}, minus_buf{buf.minus};
        for (k = 0; k < count; k += 2) {
            const std::int64_t i = start + k;
            const Lanes2 tr = two(tr_buf, k);
            const Lanes2 plus = directional_index(two(plus_buf, k), tr);
            const Lanes2 minus = directional_index(two(minus_buf, k), tr);
            double dx[2];
            LaneTraits<Lanes2>::store(dx, directional_spread(plus, minus));
            if (k + 1 < count) {
                put_two(plus_di, i, plus);
                put_two(minus_di, i, minus);
                s.adx = smoothed(w.keep_adx, s.adx, w.alpha_adx, dx[0]);
                adx_values[i] = s.adx;
                s.adx = smoothed(w.keep_adx, s.adx, w.alpha_adx, dx[1]);
                adx_values[i + 1] = s.adx;
            } else {
                double x[2];
                LaneTraits<Lanes2>::store(x, plus);
                plus_di[i] = x[0];
                LaneTraits<Lanes2>::store(x, minus);
                minus_di[i] = x[0];
                s.adx = smoothed(w.keep_adx, s.adx, w.alpha_adx, dx[0]);
                adx_values[i] = s.adx;
            }
        }
    }
    state = s;
}

}  // namespace detail

// Bars 0 .. length - 1 of the arrays as the bars that follow those `step` has seen (none
// when `fresh`): their rows into the outputs, and `step` left after the last of them, with
// the bits of advancing it bar by bar.
template <class In, class Out>
void resume(Step<double>& step, bool fresh, In high, In low, In close, Out plus_di, Out minus_di, Out adx_values,
            std::int64_t length) noexcept {
    if (length <= 0) return;
    {
        const double in[3] = {high[0], low[0], close[0]};
        double out[3];
        if (fresh) {
            step.first(in, out);
        } else {
            step.next(in, out);
        }
        plus_di[0] = out[0];
        minus_di[0] = out[1];
        adx_values[0] = out[2];
    }
    if (length == 1) return;
    const detail::Weights w{step.alpha_di, step.keep_di, step.alpha_adx, step.keep_adx};
    detail::Smoothings s{step.tr_rma, step.plus_rma, step.minus_rma, step.adx};

    std::int64_t start = 1;
#if VI_ADX_AVX
    if constexpr (std::is_same_v<In, Contiguous<const double>> && std::is_same_v<Out, Contiguous<double>>) {
        const std::int64_t end = 1 + (length - 1) / 4 * 4;
        if (end - 1 >= detail::avx_minimum && __builtin_cpu_supports("avx")) {
            detail::avx_run(high.base, low.base, close.base, plus_di.base, minus_di.base, adx_values.base, end, s, w);
            start = end;
        }
    }
#endif
    detail::blocks(high, low, close, plus_di, minus_di, adx_values, start, length, s, w);
    step.tr_rma = s.tr;
    step.plus_rma = s.plus;
    step.minus_rma = s.minus;
    step.adx = s.adx;
    step.prev_high = high[length - 1];
    step.prev_low = low[length - 1];
    step.prev_close = close[length - 1];
}

template <class In, class Out>
void kernel(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values, std::int64_t length,
            int di_length, int adx_smoothing) noexcept {
    const Params params(di_length, adx_smoothing);
    const Params* lane = &params;
    Step<double> step(&lane);
    resume(step, true, high, low, close, plus_di, minus_di, adx_values, length);
}

}  // namespace vi::adx
