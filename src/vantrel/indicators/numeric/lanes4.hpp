// Four doubles side by side (AVX), the value type of the four-lane loops: batch's lanes
// (batch/lanes_avx.cpp, compiled for AVX2) and ADX's single-series loop (adx/kernel_avx.cpp,
// for AVX).
//
// Include this only in a translation unit compiled for AVX (and FMA where fused() is used):
// the types live in an unnamed namespace, so every step and loop instantiated with them is
// private to that file and no AVX code can stand in for a baseline function elsewhere.
// The operations are those of numeric/lanes.hpp, each lane exactly the scalar expression.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "numeric/lanes.hpp"

namespace vi {
namespace {

struct Lanes4 {
    __m256d v;
    Lanes4() noexcept = default;
    explicit Lanes4(__m256d x) noexcept : v(x) {}
    Lanes4(double x) noexcept : v(_mm256_set1_pd(x)) {}
};
struct Mask4 {
    __m256d v;
};

inline Lanes4 operator+(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_add_pd(a.v, b.v)); }
inline Lanes4 operator-(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_sub_pd(a.v, b.v)); }
inline Lanes4 operator*(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_mul_pd(a.v, b.v)); }
inline Lanes4 operator/(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_div_pd(a.v, b.v)); }
inline Mask4 operator>(Lanes4 a, Lanes4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
[[maybe_unused]] inline Mask4 operator<(Lanes4 a, Lanes4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask4 operator>=(Lanes4 a, Lanes4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask4 operator==(Lanes4 a, Lanes4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask4 operator!=(Lanes4 a, Lanes4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
// One blendv where AVX2 is there too (the batch lanes); masks and bit operations under AVX
// alone (ADX's single-series loop), where GCC turns a blendv whose mask it sees come from a
// comparison into a test and branch per lane: without AVX2 it has no 256-bit integer sign
// test to put back.
inline Lanes4 select(Mask4 m, Lanes4 a, Lanes4 b) noexcept {
#if defined(__AVX2__)
    return Lanes4(_mm256_blendv_pd(b.v, a.v, m.v));
#else
    return Lanes4(_mm256_or_pd(_mm256_and_pd(m.v, a.v), _mm256_andnot_pd(m.v, b.v)));
#endif
}
inline Lanes4 greater_of(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_max_pd(a.v, b.v)); }
[[maybe_unused]] inline Lanes4 lesser_of(Lanes4 a, Lanes4 b) noexcept { return Lanes4(_mm256_min_pd(a.v, b.v)); }
inline bool all(Mask4 m) noexcept { return _mm256_movemask_pd(m.v) == 0xF; }
inline Mask4 both(Mask4 m, Mask4 n) noexcept { return {_mm256_and_pd(m.v, n.v)}; }
[[maybe_unused]] inline Mask4 either(Mask4 m, Mask4 n) noexcept { return {_mm256_or_pd(m.v, n.v)}; }
inline Mask4 negate(Mask4 m) noexcept {
    return {_mm256_xor_pd(m.v, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}
inline Lanes4 magnitude(Lanes4 x) noexcept { return Lanes4(_mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v)); }
[[maybe_unused]] inline Mask4 is_nan(Lanes4 x) noexcept { return {_mm256_cmp_pd(x.v, x.v, _CMP_UNORD_Q)}; }
inline Lanes4 fused(Lanes4 a, Lanes4 b, Lanes4 c) noexcept { return Lanes4(_mm256_fmadd_pd(a.v, b.v, c.v)); }

}  // namespace

template <>
struct LaneTraits<Lanes4> {
    static constexpr int lanes = 4;
    static Lanes4 load(const double* p) noexcept { return Lanes4(_mm256_loadu_pd(p)); }
    static void store(double* p, Lanes4 v) noexcept { _mm256_storeu_pd(p, v.v); }
    static void stream(double* p, Lanes4 v) noexcept { _mm256_stream_pd(p, v.v); }  // p aligned to 32
    static void stream_halves(double* p, Lanes4 v) noexcept {  // p aligned to 16
        _mm_stream_pd(p, _mm256_castpd256_pd128(v.v));
        _mm_stream_pd(p + 2, _mm256_extractf128_pd(v.v, 1));
    }
    static Lanes4 join(Lanes4 a, Lanes4 b, int off) noexcept {
        const __m256d middle = _mm256_permute2f128_pd(a.v, b.v, 0x21);  // a2 a3 b0 b1
        if (off == 2) return Lanes4(middle);
        if (off == 1) return Lanes4(_mm256_shuffle_pd(middle, b.v, 5));  // a3 b0 b1 b2
        return Lanes4(_mm256_shuffle_pd(a.v, middle, 5));                // a1 a2 a3 b0
    }
    static void transpose(Lanes4* v) noexcept {
        const __m256d t0 = _mm256_unpacklo_pd(v[0].v, v[1].v), t1 = _mm256_unpackhi_pd(v[0].v, v[1].v);
        const __m256d t2 = _mm256_unpacklo_pd(v[2].v, v[3].v), t3 = _mm256_unpackhi_pd(v[2].v, v[3].v);
        v[0] = Lanes4(_mm256_permute2f128_pd(t0, t2, 0x20));
        v[1] = Lanes4(_mm256_permute2f128_pd(t1, t3, 0x20));
        v[2] = Lanes4(_mm256_permute2f128_pd(t0, t2, 0x31));
        v[3] = Lanes4(_mm256_permute2f128_pd(t1, t3, 0x31));
    }
    static void store_int64(std::int64_t* p, Lanes4 v) noexcept {
        const __m128i n = _mm256_cvttpd_epi32(v.v);  // four int32
#if defined(__AVX2__)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_cvtepi32_epi64(n));
#else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_cvtepi32_epi64(n));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2), _mm_cvtepi32_epi64(_mm_unpackhi_epi64(n, n)));
#endif
    }
    static Lanes4 load_each(const unsigned char* const* at, std::ptrdiff_t offset) noexcept {
        double v[4];
        for (int k = 0; k < 4; ++k) std::memcpy(&v[k], at[k] + offset, sizeof(double));
        return Lanes4(_mm256_set_pd(v[3], v[2], v[1], v[0]));
    }
    static void store_each(unsigned char* const* at, std::ptrdiff_t offset, Lanes4 v) noexcept {
        const __m128d low = _mm256_castpd256_pd128(v.v);
        const __m128d high = _mm256_extractf128_pd(v.v, 1);
        _mm_storel_pd(reinterpret_cast<double*>(at[0] + offset), low);
        _mm_storeh_pd(reinterpret_cast<double*>(at[1] + offset), low);
        _mm_storel_pd(reinterpret_cast<double*>(at[2] + offset), high);
        _mm_storeh_pd(reinterpret_cast<double*>(at[3] + offset), high);
    }
};

}  // namespace vi

