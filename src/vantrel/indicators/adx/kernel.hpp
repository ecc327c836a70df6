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
// its own position and lives in a register; the smoothed series pass through a small
// buffer. The values are the same operations in the same order, hence the same bits.
//
// Speed: the serial work is the four smoothings (a multiplication and an addition each,
// per position); the slow work is three divisions per position. Neither the moves nor
// DM (a masked select) nor the true range (maxpd) branch on the data, and each division
// instruction does several positions' worth. Two loops:
//   - pairs (every target): blocks of positions in two passes, two positions per step
//     with the pair operations of numeric/double2.hpp; pass 1 runs the moves, DM, the
//     true range and the three smoothings into a block buffer, pass 2 the ratios and
//     ADX from it, +DI of two positions in one division (-DI and DX likewise);
//   - AVX (x86 with GCC or Clang, when the processor has AVX, contiguous arrays of at
//     least avx_minimum positions): four positions per step, and the smoothings run
//     ahead of the divisions through a ring, so that one loop overlaps the two (see
//     avx_run); the pair loop then finishes the last one to three positions.
// A zero guard is one test for all lanes; in the rare step with a zero denominator that
// lane divides 1.0 and is masked to 0.0, so nothing is ever divided by zero.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "numeric/double2.hpp"
#include "numeric/true_range.hpp"

// The AVX loop: GCC and Clang on x86 (it is compiled for AVX with a target attribute and
// chosen at run time); VI_ADX_AVX=0 on the command line leaves it out.
#ifndef VI_ADX_AVX
#if VI_DOUBLE2_SSE2 && (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VI_ADX_AVX 1
#else
#define VI_ADX_AVX 0
#endif
#endif
#if VI_ADX_AVX
#include <immintrin.h>
#endif

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

struct Weights {
    double alpha_di, keep_di, alpha_adx, keep_adx;
};

// The four smoothings after the last position done.
struct State {
    double tr_rma;
    Double2 dm_rma;  // [+DM, -DM]
    double adx;
};

// Positions per block (even, so that only the last block can end on a lone position).
inline constexpr std::int64_t block = 256;

// The smoothed series of one block; a spare slot takes the copy of a lone last position.
struct Smoothed {
    double tr[block + 1];
    double plus_dm[block + 1];
    double minus_dm[block + 1];
};

// Pass 1 for two positions, given their prices and those one position earlier: the
// smoothings, into slots k and k + 1 of `buf`.
inline void smooth(Smoothed& buf, std::int64_t k, Double2 h, Double2 h_prev, Double2 l, Double2 l_prev,
                   Double2 c_prev, State& state, const Weights& w) noexcept {
    const Double2 alpha = splat(w.alpha_di);
    const Double2 keep_di = splat(w.keep_di);
    const Double2 zero = splat(0.0);
    const Double2 up = h - h_prev;
    const Double2 down = l_prev - l;
    // up > down && up > 0.0 is up > (0.0 > down ? 0.0 : down), a NaN down staying NaN.
    const Double2 plus_term = alpha * keep(greater_of(zero, down) < up, up);
    const Double2 minus_term = alpha * keep(greater_of(zero, up) < down, down);
    const Double2 tr_term = alpha * true_range(h, l, c_prev);
    state.tr_rma = w.keep_di * state.tr_rma + first(tr_term);
    state.dm_rma = keep_di * state.dm_rma + firsts(plus_term, minus_term);
    buf.tr[k] = state.tr_rma;
    buf.plus_dm[k] = first(state.dm_rma);
    buf.minus_dm[k] = second(state.dm_rma);
    state.tr_rma = w.keep_di * state.tr_rma + second(tr_term);
    state.dm_rma = keep_di * state.dm_rma + seconds(plus_term, minus_term);
    buf.tr[k + 1] = state.tr_rma;
    buf.plus_dm[k + 1] = first(state.dm_rma);
    buf.minus_dm[k + 1] = second(state.dm_rma);
}

// Positions [start, length), block by block.
template <class In, class Out>
void blocks(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values, std::int64_t start,
            std::int64_t length, State state, const Weights w) noexcept {
    // State and weights are copies, which no store to an output can alias.
    const Double2 hundred = splat(100.0);
    const Double2 alpha_adx = splat(w.alpha_adx);
    Smoothed buf;
    const Contiguous<const double> tr_buf{buf.tr}, plus_buf{buf.plus_dm}, minus_buf{buf.minus_dm};
    for (; start < length; start += block) {
        const std::int64_t count = std::min(block, length - start);

        std::int64_t k = 0;
        for (; k + 1 < count; k += 2) {
            const std::int64_t i = start + k;
            smooth(buf, k, load_pair(high, i), load_pair(high, i - 1), load_pair(low, i),
                   load_pair(low, i - 1), load_pair(close, i - 1), state, w);
        }
        if (k < count) {
            const std::int64_t i = start + k;
            smooth(buf, k, splat(high[i]), splat(high[i - 1]), splat(low[i]), splat(low[i - 1]),
                   splat(close[i - 1]), state, w);
        }

        // Pass 2: +DI, -DI, DX and ADX of the block.
        for (k = 0; k < count; k += 2) {
            const Double2 tr = load_pair(tr_buf, k);
            const Double2 plus = ratio_or_zero(load_pair(plus_buf, k) * hundred, tr);
            const Double2 minus = ratio_or_zero(load_pair(minus_buf, k) * hundred, tr);
            const Double2 dx_term = alpha_adx * dx(plus, minus);
            const double adx_first = w.keep_adx * state.adx + first(dx_term);
            const std::int64_t i = start + k;
            if (k + 1 < count) {
                state.adx = w.keep_adx * adx_first + second(dx_term);
                store_pair(plus_di, i, plus);
                store_pair(minus_di, i, minus);
                store_pair(adx_values, i, pair(adx_first, state.adx));
            } else {
                state.adx = adx_first;
                plus_di[i] = first(plus);
                minus_di[i] = first(minus);
                adx_values[i] = adx_first;
            }
        }
    }
}

#if VI_ADX_AVX
#define VI_AVX __attribute__((target("avx")))
#define VI_AVX_INLINE __attribute__((target("avx"), always_inline))

// ratio_or_zero and magnitude, four lanes.
VI_AVX_INLINE inline __m256d ratio_or_zero4(__m256d numerator, __m256d denominator) noexcept {
    const __m256d usable = _mm256_cmp_pd(denominator, _mm256_setzero_pd(), _CMP_NEQ_UQ);
    if (_mm256_movemask_pd(usable) == 0xF) return _mm256_div_pd(numerator, denominator);
    const __m256d safe = _mm256_blendv_pd(_mm256_set1_pd(1.0), denominator, usable);
    return _mm256_and_pd(usable, _mm256_div_pd(numerator, safe));
}

VI_AVX_INLINE inline __m256d magnitude4(__m256d x) noexcept {
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
}

// The ring between the two halves of the AVX loop.
inline constexpr std::int64_t lag = 16;   // positions the smoothings run ahead of ADX
inline constexpr std::int64_t ring = 32;  // slots: a power of two, a multiple of 4, > lag
static_assert((ring & (ring - 1)) == 0 && ring % 4 == 0 && ring > lag && lag % 8 == 0);
inline constexpr std::int64_t avx_minimum = 64;  // positions below which the pair loop does it all

struct Ring {
    alignas(32) double tr[ring];
    alignas(32) double dm[2 * ring];  // [+DM, -DM] of each slot
    alignas(32) double dx[ring];      // alpha_adx * DX
};

// The terms that positions i..i+3 add to the smoothings (alpha * TR, alpha * DM).
struct Terms {
    __m128d tr_01, tr_23;  // [TR_0, TR_1], [TR_2, TR_3]
    __m256d dm_02, dm_13;  // [+DM_0, -DM_0, +DM_2, -DM_2], [+DM_1, -DM_1, +DM_3, -DM_3]
};

VI_AVX_INLINE inline Terms avx_terms(const double* high, const double* low, const double* close,
                                     std::int64_t i, __m256d alpha) noexcept {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d h = _mm256_loadu_pd(high + i);
    const __m256d l = _mm256_loadu_pd(low + i);
    const __m256d c_prev = _mm256_loadu_pd(close + i - 1);
    const __m256d up = _mm256_sub_pd(h, _mm256_loadu_pd(high + i - 1));
    const __m256d down = _mm256_sub_pd(_mm256_loadu_pd(low + i - 1), l);
    const __m256d plus_term =
        _mm256_mul_pd(alpha, _mm256_and_pd(_mm256_cmp_pd(_mm256_max_pd(zero, down), up, _CMP_LT_OQ), up));
    const __m256d minus_term =
        _mm256_mul_pd(alpha, _mm256_and_pd(_mm256_cmp_pd(_mm256_max_pd(zero, up), down, _CMP_LT_OQ), down));
    const __m256d high_close_prev = magnitude4(_mm256_sub_pd(h, c_prev));
    const __m256d low_close_prev = magnitude4(_mm256_sub_pd(l, c_prev));
    const __m256d tr = _mm256_max_pd(_mm256_max_pd(low_close_prev, high_close_prev), _mm256_sub_pd(h, l));
    const __m256d tr_term = _mm256_mul_pd(alpha, tr);
    return {_mm256_castpd256_pd128(tr_term), _mm256_extractf128_pd(tr_term, 1),
            _mm256_unpacklo_pd(plus_term, minus_term), _mm256_unpackhi_pd(plus_term, minus_term)};
}

// +DI and -DI of positions j..j+3 from the ring, stored, and alpha_adx * DX of the four
// into the ring.
VI_AVX_INLINE inline void avx_ratios(double* plus_di, double* minus_di, std::int64_t j, Ring& r,
                                    __m256d alpha_adx) noexcept {
    const __m256d hundred = _mm256_set1_pd(100.0);
    const std::int64_t k = (j - 1) & (ring - 1);
    const __m256d dm_01 = _mm256_load_pd(r.dm + 2 * k);                // [+0, -0, +1, -1]
    const __m256d dm_23 = _mm256_load_pd(r.dm + 2 * k + 4);            // [+2, -2, +3, -3]
    const __m256d even = _mm256_permute2f128_pd(dm_01, dm_23, 0x20);  // [+0, -0, +2, -2]
    const __m256d odd = _mm256_permute2f128_pd(dm_01, dm_23, 0x31);   // [+1, -1, +3, -3]
    const __m256d tr = _mm256_load_pd(r.tr + k);
    const __m256d plus = ratio_or_zero4(_mm256_mul_pd(_mm256_unpacklo_pd(even, odd), hundred), tr);
    const __m256d minus = ratio_or_zero4(_mm256_mul_pd(_mm256_unpackhi_pd(even, odd), hundred), tr);
    _mm256_storeu_pd(plus_di + j, plus);
    _mm256_storeu_pd(minus_di + j, minus);
    const __m256d dx = ratio_or_zero4(_mm256_mul_pd(magnitude4(_mm256_sub_pd(plus, minus)), hundred),
                                     _mm256_add_pd(plus, minus));
    _mm256_store_pd(r.dx + k, _mm256_mul_pd(alpha_adx, dx));
}

// keep * value + term, lane by lane.
VI_AVX_INLINE inline __m128d smooth2(__m128d keep, __m128d value, __m128d term) noexcept {
    return _mm_add_pd(_mm_mul_pd(keep, value), term);
}

// Positions [1, end), 4 per step, end - 1 a multiple of 4 and at least avx_minimum.
// Three groups of four positions are in flight in one loop step: the smoothings of
// i..i+3 into the ring, the ratios of j = i - lag / 2 .. j + 3 from the ring, and ADX of
// a = i - lag .. a + 3 from the ratios found two steps before. So the divisions of one
// group overlap the serial smoothings of others, and no smoothing waits on a division.
// The true-range smoothing and the ADX smoothing share one register as [TR_rma, ADX]:
// a step of both is one multiplication by [keep_di, keep_adx] and one addition.
VI_AVX inline void avx_run(const double* high, const double* low, const double* close, double* plus_di,
                           double* minus_di, double* adx_values, std::int64_t end, State& state,
                           const Weights& w) noexcept {
    const __m256d alpha = _mm256_set1_pd(w.alpha_di);
    const __m256d alpha_adx = _mm256_set1_pd(w.alpha_adx);
    const __m128d keep_dm = _mm_set1_pd(w.keep_di);
    const __m128d keep_tr_adx = _mm_set_pd(w.keep_adx, w.keep_di);
    __m128d tr_adx = _mm_set_pd(state.adx, state.tr_rma);  // [TR_rma, ADX]
    __m128d dm = state.dm_rma.v;                            // [+DM_rma, -DM_rma]
    Ring r;

    std::int64_t i = 1;  // next position to smooth
    for (; i < 1 + lag; i += 4) {  // the true range and DM alone; ADX is put back after each step
        const Terms t = avx_terms(high, low, close, i, alpha);
        const std::int64_t k = (i - 1) & (ring - 1);
        const __m128d adx = tr_adx;
        tr_adx = _mm_move_sd(adx, smooth2(keep_tr_adx, tr_adx, t.tr_01));
        dm = smooth2(keep_dm, dm, _mm256_castpd256_pd128(t.dm_02));
        _mm_store_sd(r.tr + k, tr_adx);
        _mm_store_pd(r.dm + 2 * k, dm);
        tr_adx = _mm_move_sd(adx, smooth2(keep_tr_adx, tr_adx, _mm_unpackhi_pd(t.tr_01, t.tr_01)));
        dm = smooth2(keep_dm, dm, _mm256_castpd256_pd128(t.dm_13));
        _mm_store_sd(r.tr + k + 1, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 2, dm);
        tr_adx = _mm_move_sd(adx, smooth2(keep_tr_adx, tr_adx, t.tr_23));
        dm = smooth2(keep_dm, dm, _mm256_extractf128_pd(t.dm_02, 1));
        _mm_store_sd(r.tr + k + 2, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 4, dm);
        tr_adx = _mm_move_sd(adx, smooth2(keep_tr_adx, tr_adx, _mm_unpackhi_pd(t.tr_23, t.tr_23)));
        dm = smooth2(keep_dm, dm, _mm256_extractf128_pd(t.dm_13, 1));
        _mm_store_sd(r.tr + k + 3, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 6, dm);
    }

    // The ratios of the first two groups; then each step smooths i..i+3, finds the ratios
    // of j = i - lag / 2 and smooths ADX of a = i - lag, whose ratios are two steps old.
    std::int64_t j = 1;  // next position of the ratios
    for (; j < 1 + lag / 2; j += 4) avx_ratios(plus_di, minus_di, j, r, alpha_adx);
    std::int64_t a = 1;  // next position of the ADX smoothing
    for (; i < end; i += 4, j += 4, a += 4) {
        const Terms t = avx_terms(high, low, close, i, alpha);
        const std::int64_t k = (i - 1) & (ring - 1);
        const double* dx = r.dx + ((a - 1) & (ring - 1));
        const __m128d dx_01 = _mm_load_pd(dx);
        const __m128d dx_23 = _mm_load_pd(dx + 2);
        tr_adx = smooth2(keep_tr_adx, tr_adx, _mm_unpacklo_pd(t.tr_01, dx_01));
        dm = smooth2(keep_dm, dm, _mm256_castpd256_pd128(t.dm_02));
        _mm_store_sd(r.tr + k, tr_adx);
        _mm_storeh_pd(adx_values + a, tr_adx);
        _mm_store_pd(r.dm + 2 * k, dm);
        tr_adx = smooth2(keep_tr_adx, tr_adx, _mm_unpackhi_pd(t.tr_01, dx_01));
        dm = smooth2(keep_dm, dm, _mm256_castpd256_pd128(t.dm_13));
        _mm_store_sd(r.tr + k + 1, tr_adx);
        _mm_storeh_pd(adx_values + a + 1, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 2, dm);
        tr_adx = smooth2(keep_tr_adx, tr_adx, _mm_unpacklo_pd(t.tr_23, dx_23));
        dm = smooth2(keep_dm, dm, _mm256_extractf128_pd(t.dm_02, 1));
        _mm_store_sd(r.tr + k + 2, tr_adx);
        _mm_storeh_pd(adx_values + a + 2, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 4, dm);
        tr_adx = smooth2(keep_tr_adx, tr_adx, _mm_unpackhi_pd(t.tr_23, dx_23));
        dm = smooth2(keep_dm, dm, _mm256_extractf128_pd(t.dm_13, 1));
        _mm_store_sd(r.tr + k + 3, tr_adx);
        _mm_storeh_pd(adx_values + a + 3, tr_adx);
        _mm_store_pd(r.dm + 2 * k + 6, dm);
        avx_ratios(plus_di, minus_di, j, r, alpha_adx);
    }

    // The smoothings are done: the last ratios, then ADX alone (the true-range lane is
    // discarded).
    for (; j < end; j += 4) avx_ratios(plus_di, minus_di, j, r, alpha_adx);
    const double tr_rma = _mm_cvtsd_f64(tr_adx);
    for (; a < end; a += 4) {
        const double* dx = r.dx + ((a - 1) & (ring - 1));
        for (int q = 0; q < 4; ++q) {
            tr_adx = smooth2(keep_tr_adx, tr_adx, _mm_loaddup_pd(dx + q));
            _mm_storeh_pd(adx_values + a + q, tr_adx);
        }
    }
    state.tr_rma = tr_rma;
    state.dm_rma.v = dm;
    state.adx = _mm_cvtsd_f64(_mm_unpackhi_pd(tr_adx, tr_adx));
    _mm256_zeroupper();  // the callers run SSE code, which pays for dirty upper halves
}

#undef VI_AVX
#undef VI_AVX_INLINE
#endif

}  // namespace detail

template <class In, class Out>
void kernel(In high, In low, In close, Out plus_di, Out minus_di, Out adx_values,
            std::int64_t length, int di_length, int adx_smoothing) noexcept {
    if (length <= 0) return;
    detail::Weights w;
    w.alpha_di = 1.0 / static_cast<double>(di_length);
    w.keep_di = 1.0 - w.alpha_di;
    w.alpha_adx = 1.0 / static_cast<double>(adx_smoothing);
    w.keep_adx = 1.0 - w.alpha_adx;

    // Position 0: the range of the first bar, no moves, and ADX[0] = DX[0].
    detail::State state{high[0] - low[0], splat(0.0), 0.0};
    {
        const Double2 tr = splat(state.tr_rma);
        const Double2 plus = detail::ratio_or_zero(splat(first(state.dm_rma)) * splat(100.0), tr);
        const Double2 minus = detail::ratio_or_zero(splat(second(state.dm_rma)) * splat(100.0), tr);
        state.adx = first(detail::dx(plus, minus));
        plus_di[0] = first(plus);
        minus_di[0] = first(minus);
        adx_values[0] = state.adx;
    }

    std::int64_t start = 1;
#if VI_ADX_AVX
    if constexpr (std::is_same_v<In, Contiguous<const double>> && std::is_same_v<Out, Contiguous<double>>) {
        const std::int64_t end = 1 + (length - 1) / 4 * 4;
        if (end - 1 >= detail::avx_minimum && __builtin_cpu_supports("avx")) {
            detail::avx_run(high.base, low.base, close.base, plus_di.base, minus_di.base, adx_values.base,
                            end, state, w);
            start = end;
        }
    }
#endif
    detail::blocks(high, low, close, plus_di, minus_di, adx_values, start, length, state, w);
}

}  // namespace vi::adx
