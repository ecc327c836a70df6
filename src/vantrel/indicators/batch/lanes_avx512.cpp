// The lane loops with eight doubles per value (AVX-512F), chosen at run time.
//
// This file alone is compiled for AVX-512F (contraction stays off: only an explicit
// fused() is fused). Its value type lives in an unnamed namespace, so every step and loop
// instantiated with it is private to this file: no AVX-512 code can stand in for a
// baseline function elsewhere in the module. Comparisons give mask registers; a choice is
// a masked blend, lane by lane the scalar step's `m ? a : b`.
#include <immintrin.h>

#include <cstring>

#include "batch/columns.hpp"

namespace vi::batch {
namespace {

struct Lanes8 {
    __m512d v;
    Lanes8() noexcept = default;
    explicit Lanes8(__m512d x) noexcept : v(x) {}
    Lanes8(double x) noexcept : v(_mm512_set1_pd(x)) {}
};
struct Mask8 {
    __mmask8 m;
};

inline Lanes8 operator+(Lanes8 a, Lanes8 b) noexcept { return Lanes8(_mm512_add_pd(a.v, b.v)); }
inline Lanes8 operator-(Lanes8 a, Lanes8 b) noexcept { return Lanes8(_mm512_sub_pd(a.v, b.v)); }
inline Lanes8 operator*(Lanes8 a, Lanes8 b) noexcept { return Lanes8(_mm512_mul_pd(a.v, b.v)); }
inline Lanes8 operator/(Lanes8 a, Lanes8 b) noexcept { return Lanes8(_mm512_div_pd(a.v, b.v)); }
[[maybe_unused]] inline Mask8 operator>(Lanes8 a, Lanes8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
[[maybe_unused]] inline Mask8 operator<(Lanes8 a, Lanes8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask8 operator>=(Lanes8 a, Lanes8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask8 operator==(Lanes8 a, Lanes8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask8 operator!=(Lanes8 a, Lanes8 b) noexcept { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)}; }
inline Lanes8 select(Mask8 m, Lanes8 a, Lanes8 b) noexcept { return Lanes8(_mm512_mask_blend_pd(m.m, b.v, a.v)); }
// The zero-masked form with every lane on (GCC 12 flags the plain one as reading an undefined register).
inline Lanes8 greater_of(Lanes8 a, Lanes8 b) noexcept {
    return Lanes8(_mm512_maskz_max_pd(static_cast<__mmask8>(0xFF), a.v, b.v));
}
inline Lanes8 lesser_of(Lanes8 a, Lanes8 b) noexcept {
    return Lanes8(_mm512_maskz_min_pd(static_cast<__mmask8>(0xFF), a.v, b.v));
}
inline bool all(Mask8 m) noexcept { return m.m == 0xFF; }
[[maybe_unused]] inline Mask8 both(Mask8 m, Mask8 n) noexcept { return {static_cast<__mmask8>(m.m & n.m)}; }
[[maybe_unused]] inline Mask8 either(Mask8 m, Mask8 n) noexcept { return {static_cast<__mmask8>(m.m | n.m)}; }
[[maybe_unused]] inline Mask8 negate(Mask8 m) noexcept { return {static_cast<__mmask8>(~m.m)}; }
inline Lanes8 magnitude(Lanes8 x) noexcept { return Lanes8(_mm512_abs_pd(x.v)); }
[[maybe_unused]] inline Mask8 is_nan(Lanes8 x) noexcept { return {_mm512_cmp_pd_mask(x.v, x.v, _CMP_UNORD_Q)}; }
inline Lanes8 fused(Lanes8 a, Lanes8 b, Lanes8 c) noexcept { return Lanes8(_mm512_fmadd_pd(a.v, b.v, c.v)); }

}  // namespace
}  // namespace vi::batch

namespace vi {

template <>
struct LaneTraits<batch::Lanes8> {
    using Lanes8 = batch::Lanes8;
    static constexpr int lanes = 8;
    static Lanes8 load(const double* p) noexcept { return Lanes8(_mm512_loadu_pd(p)); }
    static void store(double* p, Lanes8 v) noexcept { _mm512_storeu_pd(p, v.v); }
    static void stream(double* p, Lanes8 v) noexcept { _mm512_stream_pd(p, v.v); }  // p aligned to 64
    static void stream_halves(double* p, Lanes8 v) noexcept {  // p aligned to 32
        // The zero-masked extracts: GCC 12 warns that the plain ones (and the cast, one of
        // them) read an undefined register.
        constexpr __mmask8 all = 0xFF;
        _mm256_stream_pd(p, _mm512_maskz_extractf64x4_pd(all, v.v, 0));
        _mm256_stream_pd(p + 4, _mm512_maskz_extractf64x4_pd(all, v.v, 1));
    }
    static Lanes8 join(Lanes8 a, Lanes8 b, int off) noexcept {
        // Lane j takes lane j + 8 - off of the pair (a, b).
        const __m512i at = _mm512_add_epi64(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0), _mm512_set1_epi64(8 - off));
        return Lanes8(_mm512_permutex2var_pd(a.v, at, b.v));
    }
    static void transpose(Lanes8* v) noexcept {
        // Pairs of rows interleaved, then 128-bit pieces: blocks 0 and 2 of two values
        // (0x88), or 1 and 3 (0xdd). The zero-masked forms with every lane on: GCC 12 warns
        // that the plain ones read an undefined register.
        constexpr __mmask8 all = 0xFF;
        __m512d t[8], u[8];
        for (int r = 0; r < 8; r += 2) {
            t[r] = _mm512_maskz_unpacklo_pd(all, v[r].v, v[r + 1].v);
            t[r + 1] = _mm512_maskz_unpackhi_pd(all, v[r].v, v[r + 1].v);
        }
        for (int h = 0; h < 8; h += 4) {
            u[h] = _mm512_maskz_shuffle_f64x2(all, t[h], t[h + 2], 0x88);
            u[h + 1] = _mm512_maskz_shuffle_f64x2(all, t[h + 1], t[h + 3], 0x88);
            u[h + 2] = _mm512_maskz_shuffle_f64x2(all, t[h], t[h + 2], 0xdd);
            u[h + 3] = _mm512_maskz_shuffle_f64x2(all, t[h + 1], t[h + 3], 0xdd);
        }
        for (int k = 0; k < 4; ++k) {
            v[k] = Lanes8(_mm512_maskz_shuffle_f64x2(all, u[k], u[k + 4], 0x88));
            v[k + 4] = Lanes8(_mm512_maskz_shuffle_f64x2(all, u[k], u[k + 4], 0xdd));
        }
    }
    static void load_transposed(const double* const* at, Lanes8* v) noexcept {
        // Value q's first half joined to value q + 4's as they are loaded (and their second
        // halves), then pairs of those interleaved, then each row's pairs picked from two:
        // 16 shuffles where loads and transpose() take 24, and the inserts need not wait
        // for the one port that shuffles 512-bit values. In F-order calls, SuperTrend on
        // 500 series x 20,000 rows took 15.0 ms against 16.6 on two threads (the rest level).
        constexpr __mmask8 all = 0xFF;
        __m512d a[8];
        for (int q = 0; q < 4; ++q) {
            const __m512d first = _mm512_maskz_broadcast_f64x4(all, _mm256_loadu_pd(at[q]));
            const __m512d second = _mm512_maskz_broadcast_f64x4(all, _mm256_loadu_pd(at[q] + 4));
            a[q] = _mm512_maskz_insertf64x4(all, first, _mm256_loadu_pd(at[q + 4]), 1);
            a[q + 4] = _mm512_maskz_insertf64x4(all, second, _mm256_loadu_pd(at[q + 4] + 4), 1);
        }
        const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);  // lanes 0, 1 of each 128 bits, in turn
        const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
        for (int h = 0; h < 8; h += 4) {
            const __m512d lo = _mm512_maskz_unpacklo_pd(all, a[h], a[h + 1]);
            const __m512d hi = _mm512_maskz_unpackhi_pd(all, a[h], a[h + 1]);
            const __m512d lo2 = _mm512_maskz_unpacklo_pd(all, a[h + 2], a[h + 3]);
            const __m512d hi2 = _mm512_maskz_unpackhi_pd(all, a[h + 2], a[h + 3]);
            v[h] = Lanes8(_mm512_permutex2var_pd(lo, even, lo2));
            v[h + 1] = Lanes8(_mm512_permutex2var_pd(hi, even, hi2));
            v[h + 2] = Lanes8(_mm512_permutex2var_pd(lo, odd, lo2));
            v[h + 3] = Lanes8(_mm512_permutex2var_pd(hi, odd, hi2));
        }
    }
    static void store_int64(std::int64_t* p, Lanes8 v) noexcept {
        // The zero-masked forms: GCC 12 warns that the plain ones read an undefined register.
        const __m256i n = _mm512_maskz_cvttpd_epi32(0xFF, v.v);
        _mm512_storeu_si512(p, _mm512_maskz_cvtepi32_epi64(0xFF, n));
    }
    static Lanes8 load_each(const unsigned char* const* at, std::ptrdiff_t offset) noexcept {
        double v[8];
        for (int k = 0; k < 8; ++k) std::memcpy(&v[k], at[k] + offset, sizeof(double));
        return Lanes8(_mm512_set_pd(v[7], v[6], v[5], v[4], v[3], v[2], v[1], v[0]));
    }
    static void store_each(unsigned char* const* at, std::ptrdiff_t offset, Lanes8 v) noexcept {
        double lanes_out[8];
        _mm512_storeu_pd(lanes_out, v.v);
        for (int k = 0; k < 8; ++k) std::memcpy(at[k] + offset, &lanes_out[k], sizeof(double));
    }
};

}  // namespace vi

namespace vi::batch {

std::int64_t lane_loop_avx512(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    const std::int64_t done = lane_loop_of<Lanes8>(ind, b, begin, end);
    _mm256_zeroupper();  // the caller runs SSE code, which pays for dirty upper halves
    return done;
}

std::int64_t window_lanes_avx512(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end,
                                 void* scratch) noexcept {
    const std::int64_t done = window_lanes_of<Lanes8>(ind, b, begin, end, scratch);
    _mm256_zeroupper();
    return done;
}

}  // namespace vi::batch
