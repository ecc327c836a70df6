// ADX's single-series loop with four positions per step (AVX), chosen at run time by
// adx/kernel.hpp when the processor has AVX and the arrays are contiguous.
//
// This file alone is compiled for AVX (contraction stays off); its value type is the
// Lanes4 of numeric/lanes4.hpp, private to this file, and every formula is a helper of
// adx/step.hpp over it, so a lane holds the bits of the scalar step.
//
// Layout: the moves, DM, the true range and the ratios are computed for four positions at
// once (lane q = position q). The four smoothings are one chain per position, so they run
// on a row [TR, +DM, -DM, ADX] of one position: a step of all four is
// smoothed([keep_di, keep_di, keep_di, keep_adx], row, [alpha_di, alpha_di, alpha_di,
// alpha_adx], [TR, +DM, -DM, DX]), one multiplication pair and one addition. Rows and
// columns change places by 4x4 transposes. The smoothings run `lag` positions ahead of
// ADX through a ring of rows, so the divisions of one group overlap the chain of others
// and no smoothing waits on a division.
#include <type_traits>

#include "adx/kernel.hpp"
#include "numeric/lanes4.hpp"

namespace vi::adx::detail {
namespace {

using V = Lanes4;
using T = LaneTraits<Lanes4>;

inline constexpr std::int64_t lag = 16;   // positions the smoothings run ahead of ADX
inline constexpr std::int64_t ring = 32;  // slots: a power of two, a multiple of 4, > lag
static_assert((ring & (ring - 1)) == 0 && ring % 4 == 0 && ring > lag && lag % 8 == 0);

struct Ring {
    alignas(32) double rows[4 * ring];  // [TR_rma, +DM_rma, -DM_rma, ADX] of each slot
    alignas(32) double dx[ring];        // DX of each slot
};

// Rows to columns and back: x[q] lane r <-> x'[r] lane q.
void transpose(V& a, V& b, V& c, V& d) noexcept {
    const __m256d t0 = _mm256_unpacklo_pd(a.v, b.v);  // [a0, b0, a2, b2]
    const __m256d t1 = _mm256_unpackhi_pd(a.v, b.v);  // [a1, b1, a3, b3]
    const __m256d t2 = _mm256_unpacklo_pd(c.v, d.v);  // [c0, d0, c2, d2]
    const __m256d t3 = _mm256_unpackhi_pd(c.v, d.v);  // [c1, d1, c3, d3]
    a = V(_mm256_permute2f128_pd(t0, t2, 0x20));
    b = V(_mm256_permute2f128_pd(t1, t3, 0x20));
    c = V(_mm256_permute2f128_pd(t0, t2, 0x31));
    d = V(_mm256_permute2f128_pd(t1, t3, 0x31));
}

// The last lane (a row's ADX) into *to.
void store_last(double* to, V row) noexcept { _mm_storeh_pd(to, _mm256_extractf128_pd(row.v, 1)); }

}  // namespace

void avx_run(const double* high, const double* low, const double* close, double* plus_di, double* minus_di,
             double* adx_values, std::int64_t end, Smoothings& s, const Weights& w) noexcept {
    // Locals only (no store to an output can alias them), so the chain stays in registers.
    const V keep(_mm256_set_pd(w.keep_adx, w.keep_di, w.keep_di, w.keep_di));
    const V alpha(_mm256_set_pd(w.alpha_adx, w.alpha_di, w.alpha_di, w.alpha_di));
    V row(_mm256_set_pd(s.adx, s.minus, s.plus, s.tr));  // after the last step
    Ring r;
    auto slot = [](std::int64_t position) { return (position - 1) & (ring - 1); };

    // The rows of positions i..i+3 from the bars and DX of the four ADX positions from
    // a (with_adx; else the ADX lane stays as it was), into the ring.
    auto smooth = [&](std::int64_t i, std::int64_t a, auto with_adx) {
        constexpr bool adx_on = decltype(with_adx)::value;
        const V h = T::load(high + i), l = T::load(low + i);
        const V up = h - T::load(high + i - 1);
        const V down = T::load(low + i - 1) - l;
        V x0 = true_range(h, l, T::load(close + i - 1));
        V x1 = directional_move(up, down);
        V x2 = directional_move(down, up);
        V x3 = adx_on ? T::load(r.dx + slot(a)) : V(0.0);
        transpose(x0, x1, x2, x3);
        double* rows = r.rows + 4 * slot(i);
        const auto step = [&](V x, int q) {
            const V next = smoothed(keep, row, alpha, x);
            if constexpr (adx_on) {
                row = next;
                store_last(adx_values + a + q, row);
            } else {
                row = V(_mm256_blend_pd(next.v, row.v, 0x8));
            }
            T::store(rows + 4 * q, row);
        };
        step(x0, 0);
        step(x1, 1);
        step(x2, 2);
        step(x3, 3);
    };
    // +DI and -DI of positions j..j+3 from the ring, stored, and their DX into the ring.
    auto ratios = [&](std::int64_t j) {
        const double* rows = r.rows + 4 * slot(j);
        V tr = T::load(rows), plus = T::load(rows + 4), minus = T::load(rows + 8), unused = T::load(rows + 12);
        transpose(tr, plus, minus, unused);
        const V plus_index = directional_index(plus, tr);
        const V minus_index = directional_index(minus, tr);
        T::store(plus_di + j, plus_index);
        T::store(minus_di + j, minus_index);
        T::store(r.dx + slot(j), directional_spread(plus_index, minus_index));
    };

    // The first `lag` positions: the true range and DM alone.
    std::int64_t i = 1;  // next position to smooth
    for (; i < 1 + lag; i += 4) smooth(i, 0, std::false_type{});
    // The ratios of the first two groups; then each step smooths i..i+3 with ADX of
    // a = i - lag (whose ratios are two steps old), and finds the ratios of j = i - lag / 2.
    std::int64_t j = 1;  // next position of the ratios
    for (; j < 1 + lag / 2; j += 4) ratios(j);
    std::int64_t a = 1;  // next position of the ADX smoothing
    for (; i < end; i += 4, j += 4, a += 4) {
        smooth(i, a, std::true_type{});
        ratios(j);
    }
    // The smoothings are done: the last ratios, then ADX alone (the other lanes discarded).
    for (; j < end; j += 4) ratios(j);
    double last[4];
    T::store(last, row);
    s.tr = last[0];
    s.plus = last[1];
    s.minus = last[2];
    for (; a < end; ++a) {
        row = smoothed(keep, row, alpha, V(r.dx[slot(a)]));
        store_last(adx_values + a, row);
    }
    T::store(last, row);
    s.adx = last[3];
    _mm256_zeroupper();  // the callers run SSE code, which pays for dirty upper halves
}

}  // namespace vi::adx::detail
