// The value types a per-sample step is written over.
//
// A step (ema/step.hpp, adx/step.hpp, ...) is a template over its value type V and uses
// only the operations below, so one text of each formula serves every front end:
//
//   double   one series: the single-series loops and the streaming objects
//   Lanes2   two series side by side (SSE2, every x86-64 compiler; two doubles elsewhere)
//   Lanes4   four series side by side (AVX), defined only in the translation units that are
//            compiled for it (batch/lanes_avx.cpp, AVX2; adx/kernel_avx.cpp), chosen at run time
//
// Each operation acts on each lane exactly as the scalar expression does on a double:
//   a + b, a - b, a * b, a / b   one rounding each (the build forbids contraction)
//   a > b, a < b, a >= b, a == b, a != b   the IEEE comparisons (false with a NaN, but !=)
//   select(m, a, b)              m ? a : b
//   greater_of(a, b)             a > b ? a : b   (b when either is NaN or both are zeros:
//                                x86's maxsd/maxpd exactly)
//   lesser_of(a, b)              a < b ? a : b   (minsd/minpd, likewise)
//   all(m)                       every lane of m true (a branch for the rare lane)
//   choose(m, f, g)              m ? f() : g(), f and g without side effects
//   both(m, n), either(m, n), negate(m)    &&, ||, ! of comparison results
//   magnitude(x)                 std::fabs(x): the sign bit cleared, NaN included
//   is_nan(x)                    std::isnan(x)
//   fused(a, b, c)               std::fma(a, b, c): a * b + c rounded once (only where a
//                                step asks for it by name; exactly rounded on every target)
// so a lane holds exactly the bits the scalar step gives its series. Comparison results
// are bool for double and all-ones / all-zeros lanes for the lane types; a choice is made
// by masking bits, never by a branch on one lane's data.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// VI_DOUBLE2_SSE2=0 on the command line selects the portable two-double form of Lanes2 on
// x86-64 too.
#ifndef VI_DOUBLE2_SSE2
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#define VI_DOUBLE2_SSE2 1
#else
#define VI_DOUBLE2_SSE2 0
#endif
#endif
#if VI_DOUBLE2_SSE2
#include <emmintrin.h>
#endif

namespace vi {

// ---------------------------------------------------------------------------
// One series: plain doubles. These overloads are declared before any step, so that a
// step's unqualified calls find them (a lane type's own are found through its namespace).

inline double select(bool m, double a, double b) noexcept { return m ? a : b; }
inline double greater_of(double a, double b) noexcept { return a > b ? a : b; }
inline double lesser_of(double a, double b) noexcept { return a < b ? a : b; }
inline bool all(bool m) noexcept { return m; }
inline bool both(bool m, bool n) noexcept { return m && n; }
inline bool either(bool m, bool n) noexcept { return m || n; }
inline bool negate(bool m) noexcept { return !m; }
inline double magnitude(double x) noexcept { return std::fabs(x); }
inline bool is_nan(double x) noexcept { return std::isnan(x); }
inline double fused(double a, double b, double c) noexcept { return std::fma(a, b, c); }

// choose(m, f, g): select(m, f(), g()) for side-effect-free f and g. One series computes
// only the chosen side (a branch, cheap where m seldom changes); lane types compute both
// and mask, as select does.
template <class F, class G>
auto choose(bool m, F&& f, G&& g) noexcept {
    return m ? f() : g();
}
template <class M, class F, class G>
auto choose(M m, F&& f, G&& g) noexcept {
    return select(m, f(), g());
}

// The lane count of a value type, and how lanes are filled and emptied: `load(p)` takes
// p[0 .. lanes) and `store(p, v)` writes them back; `stream(p, v)` writes them with a
// streaming store where there is one (p aligned to the value's size), which skips reading
// the line in first, and a lane type of 4 or 8 doubles has `stream_halves(p, v)`, two
// streaming stores of half a value each (p aligned to half the value's size); where there
// are streaming stores, `join(a, b, off)` (0 < off < lanes) is the last `off` lanes of a
// followed by the first lanes - off of b; `load_each(at, offset)` takes lane k
// from the address at[k] + offset and `store_each(at, offset, v)` writes it there;
// `store_int64(p, v)` writes the lanes, integral values within 32 bits (a direction), as
// int64 to p[0 .. lanes); `transpose(v)` transposes the square of v[0 .. lanes): lane k of
// v[r] becomes lane r of v[k], every bit moved as it is (int64 values included).
template <class V>
struct LaneTraits;

template <>
struct LaneTraits<double> {
    static constexpr int lanes = 1;
    static double load(const double* p) noexcept { return p[0]; }
    static void store(double* p, double v) noexcept { p[0] = v; }
    static void stream(double* p, double v) noexcept { p[0] = v; }
    static void transpose(double*) noexcept {}
    static void store_int64(std::int64_t* p, double v) noexcept { p[0] = static_cast<std::int64_t>(v); }
    static double load_each(const unsigned char* const* at, std::ptrdiff_t offset) noexcept {
        double v;
        std::memcpy(&v, at[0] + offset, sizeof v);
        return v;
    }
    static void store_each(unsigned char* const* at, std::ptrdiff_t offset, double v) noexcept {
        std::memcpy(at[0] + offset, &v, sizeof v);
    }
};

// One double read from, or written to, any address (no alignment needed).
inline double read_double(const unsigned char* at) noexcept {
    double v;
    std::memcpy(&v, at, sizeof v);
    return v;
}
inline void write_double(unsigned char* at, double v) noexcept { std::memcpy(at, &v, sizeof v); }

// The lanes of V filled from one field of each lane's parameters.
template <class V, class P>
V gather(const P* const* lane, double P::*field) noexcept {
    double values[LaneTraits<V>::lanes];
    for (int k = 0; k < LaneTraits<V>::lanes; ++k) values[k] = lane[k]->*field;
    return LaneTraits<V>::load(values);
}

// ---------------------------------------------------------------------------
// Two series side by side.

#if VI_DOUBLE2_SSE2

struct Lanes2 {
    __m128d v;
    Lanes2() noexcept = default;
    explicit Lanes2(__m128d x) noexcept : v(x) {}
    Lanes2(double x) noexcept : v(_mm_set1_pd(x)) {}  // the same value in both lanes
};
struct Mask2L {
    __m128d v;
};

inline Lanes2 operator+(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_add_pd(a.v, b.v)); }
inline Lanes2 operator-(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_sub_pd(a.v, b.v)); }
inline Lanes2 operator*(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_mul_pd(a.v, b.v)); }
inline Lanes2 operator/(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_div_pd(a.v, b.v)); }
inline Mask2L operator>(Lanes2 a, Lanes2 b) noexcept { return {_mm_cmpgt_pd(a.v, b.v)}; }
inline Mask2L operator<(Lanes2 a, Lanes2 b) noexcept { return {_mm_cmplt_pd(a.v, b.v)}; }
inline Mask2L operator>=(Lanes2 a, Lanes2 b) noexcept { return {_mm_cmpge_pd(a.v, b.v)}; }
inline Mask2L operator==(Lanes2 a, Lanes2 b) noexcept { return {_mm_cmpeq_pd(a.v, b.v)}; }
inline Mask2L operator!=(Lanes2 a, Lanes2 b) noexcept { return {_mm_cmpneq_pd(a.v, b.v)}; }
inline Lanes2 select(Mask2L m, Lanes2 a, Lanes2 b) noexcept {
    return Lanes2(_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v)));
}
inline Lanes2 greater_of(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_max_pd(a.v, b.v)); }
inline Lanes2 lesser_of(Lanes2 a, Lanes2 b) noexcept { return Lanes2(_mm_min_pd(a.v, b.v)); }
inline bool all(Mask2L m) noexcept { return _mm_movemask_pd(m.v) == 3; }
inline Mask2L both(Mask2L m, Mask2L n) noexcept { return {_mm_and_pd(m.v, n.v)}; }
inline Mask2L either(Mask2L m, Mask2L n) noexcept { return {_mm_or_pd(m.v, n.v)}; }
inline Mask2L negate(Mask2L m) noexcept {
    return {_mm_xor_pd(m.v, _mm_castsi128_pd(_mm_set1_epi32(-1)))};
}
inline Lanes2 magnitude(Lanes2 x) noexcept { return Lanes2(_mm_andnot_pd(_mm_set1_pd(-0.0), x.v)); }
inline Mask2L is_nan(Lanes2 x) noexcept { return {_mm_cmpunord_pd(x.v, x.v)}; }
// SSE2 has no fused multiply-add: each lane through std::fma.
inline Lanes2 fused(Lanes2 a, Lanes2 b, Lanes2 c) noexcept {
    const __m128d hi_a = _mm_unpackhi_pd(a.v, a.v), hi_b = _mm_unpackhi_pd(b.v, b.v), hi_c = _mm_unpackhi_pd(c.v, c.v);
    return Lanes2(_mm_set_pd(std::fma(_mm_cvtsd_f64(hi_a), _mm_cvtsd_f64(hi_b), _mm_cvtsd_f64(hi_c)),
                             std::fma(_mm_cvtsd_f64(a.v), _mm_cvtsd_f64(b.v), _mm_cvtsd_f64(c.v))));
}

template <>
struct LaneTraits<Lanes2> {
    static constexpr int lanes = 2;
    static Lanes2 load(const double* p) noexcept { return Lanes2(_mm_loadu_pd(p)); }
    static void store(double* p, Lanes2 v) noexcept { _mm_storeu_pd(p, v.v); }
    static void stream(double* p, Lanes2 v) noexcept { _mm_stream_pd(p, v.v); }  // p aligned to 16
    static Lanes2 join(Lanes2 a, Lanes2 b, int) noexcept { return Lanes2(_mm_shuffle_pd(a.v, b.v, 1)); }  // a1 b0
    static void transpose(Lanes2* v) noexcept {
        const __m128d a = v[0].v, b = v[1].v;
        v[0] = Lanes2(_mm_unpacklo_pd(a, b));
        v[1] = Lanes2(_mm_unpackhi_pd(a, b));
    }
    static void store_int64(std::int64_t* p, Lanes2 v) noexcept {
        const __m128i n = _mm_cvttpd_epi32(v.v);  // two int32, sign-extended below
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi32(n, _mm_srai_epi32(n, 31)));
    }
    static Lanes2 load_each(const unsigned char* const* at, std::ptrdiff_t offset) noexcept {
        return Lanes2(_mm_set_pd(read_double(at[1] + offset), read_double(at[0] + offset)));
    }
    static void store_each(unsigned char* const* at, std::ptrdiff_t offset, Lanes2 v) noexcept {
        write_double(at[0] + offset, _mm_cvtsd_f64(v.v));
        write_double(at[1] + offset, _mm_cvtsd_f64(_mm_unpackhi_pd(v.v, v.v)));
    }
};

#else

// The portable form: two scalar operations per call, with the same results.
struct Lanes2 {
    double v[2];
    Lanes2() noexcept = default;
    Lanes2(double x) noexcept : v{x, x} {}
};
struct Mask2L {
    bool v[2];
};

#define VI_LANES2_BINARY(op)                                                     \
    inline Lanes2 operator op(Lanes2 a, Lanes2 b) noexcept {                     \
        Lanes2 r;                                                                \
        r.v[0] = a.v[0] op b.v[0];                                               \
        r.v[1] = a.v[1] op b.v[1];                                               \
        return r;                                                                \
    }
#define VI_LANES2_COMPARE(op)                                                    \
    inline Mask2L operator op(Lanes2 a, Lanes2 b) noexcept {                     \
        return {{a.v[0] op b.v[0], a.v[1] op b.v[1]}};                           \
    }
VI_LANES2_BINARY(+)
VI_LANES2_BINARY(-)
VI_LANES2_BINARY(*)
VI_LANES2_BINARY(/)
VI_LANES2_COMPARE(>)
VI_LANES2_COMPARE(<)
VI_LANES2_COMPARE(>=)
VI_LANES2_COMPARE(==)
VI_LANES2_COMPARE(!=)
#undef VI_LANES2_BINARY
#undef VI_LANES2_COMPARE

inline Lanes2 select(Mask2L m, Lanes2 a, Lanes2 b) noexcept {
    Lanes2 r;
    r.v[0] = m.v[0] ? a.v[0] : b.v[0];
    r.v[1] = m.v[1] ? a.v[1] : b.v[1];
    return r;
}
inline Lanes2 greater_of(Lanes2 a, Lanes2 b) noexcept {
    Lanes2 r;
    r.v[0] = a.v[0] > b.v[0] ? a.v[0] : b.v[0];
    r.v[1] = a.v[1] > b.v[1] ? a.v[1] : b.v[1];
    return r;
}
inline Lanes2 lesser_of(Lanes2 a, Lanes2 b) noexcept {
    Lanes2 r;
    r.v[0] = a.v[0] < b.v[0] ? a.v[0] : b.v[0];
    r.v[1] = a.v[1] < b.v[1] ? a.v[1] : b.v[1];
    return r;
}
inline bool all(Mask2L m) noexcept { return m.v[0] && m.v[1]; }
inline Mask2L both(Mask2L m, Mask2L n) noexcept { return {{m.v[0] && n.v[0], m.v[1] && n.v[1]}}; }
inline Mask2L either(Mask2L m, Mask2L n) noexcept { return {{m.v[0] || n.v[0], m.v[1] || n.v[1]}}; }
inline Mask2L negate(Mask2L m) noexcept { return {{!m.v[0], !m.v[1]}}; }
inline Lanes2 magnitude(Lanes2 x) noexcept {
    Lanes2 r;
    r.v[0] = std::fabs(x.v[0]);
    r.v[1] = std::fabs(x.v[1]);
    return r;
}
inline Mask2L is_nan(Lanes2 x) noexcept { return {{std::isnan(x.v[0]), std::isnan(x.v[1])}}; }
inline Lanes2 fused(Lanes2 a, Lanes2 b, Lanes2 c) noexcept {
    Lanes2 r;
    r.v[0] = std::fma(a.v[0], b.v[0], c.v[0]);
    r.v[1] = std::fma(a.v[1], b.v[1], c.v[1]);
    return r;
}

template <>
struct LaneTraits<Lanes2> {
    static constexpr int lanes = 2;
    static Lanes2 load(const double* p) noexcept {
        Lanes2 r;
        std::memcpy(r.v, p, sizeof r.v);
        return r;
    }
    static void store(double* p, Lanes2 v) noexcept { std::memcpy(p, v.v, sizeof v.v); }
    static void stream(double* p, Lanes2 v) noexcept { store(p, v); }
    static void transpose(Lanes2* v) noexcept {
        unsigned char bits[sizeof(double)];  // bytes, so that no value passes a floating-point register
        std::memcpy(bits, &v[0].v[1], sizeof bits);
        std::memcpy(&v[0].v[1], &v[1].v[0], sizeof bits);
        std::memcpy(&v[1].v[0], bits, sizeof bits);
    }
    static void store_int64(std::int64_t* p, Lanes2 v) noexcept {
        p[0] = static_cast<std::int64_t>(v.v[0]);
        p[1] = static_cast<std::int64_t>(v.v[1]);
    }
    static Lanes2 load_each(const unsigned char* const* at, std::ptrdiff_t offset) noexcept {
        Lanes2 r;
        r.v[0] = read_double(at[0] + offset);
        r.v[1] = read_double(at[1] + offset);
        return r;
    }
    static void store_each(unsigned char* const* at, std::ptrdiff_t offset, Lanes2 v) noexcept {
        write_double(at[0] + offset, v.v[0]);
        write_double(at[1] + offset, v.v[1]);
    }
};

#endif

}  // namespace vi
