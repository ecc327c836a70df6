// Two doubles side by side, for kernels that carry two values through one step
// (+DM and -DM) or work on two positions at once.
//
// Each operation acts on each lane exactly as the scalar expression in its comment,
// so a lane holds the bits that scalar code would give:
//   a + b, a - b, a * b, a / b   one rounding each (the build forbids contraction)
//   greater_of(a, b)   a > b ? a : b   (b when either is NaN or both are zeros)
//   magnitude(x)       std::fabs(x): the sign bit cleared, NaN included
//   a < b, nonzero(x)  the scalar comparisons: < is false with a NaN, x != 0.0 true
//   keep(m, x)         m ? x : 0.0    (+0.0, the bits of the literal)
//   select(m, a, b)    m ? a : b
//   all(m)             both lanes true
// A choice is made by masking bits, never by a branch on the data. With SSE2 (every
// x86-64 compiler) a pair is one register and each operation one instruction: maxpd
// is a > b ? a : b by definition, and masks are all-ones or all-zeros lanes; other
// targets get two scalar operations per call, with the same results.
#pragma once

#include <cstdint>

#include "numeric/lanes.hpp"  // VI_DOUBLE2_SSE2, and <emmintrin.h> with it
#include "numeric/views.hpp"

namespace vi {

#if VI_DOUBLE2_SSE2

struct Double2 {
    __m128d v;
};
struct Mask2 {
    __m128d v;  // each lane all ones (true) or all zeros (false)
};

inline Double2 pair(double first, double second) noexcept { return {_mm_set_pd(second, first)}; }
inline Double2 splat(double x) noexcept { return {_mm_set1_pd(x)}; }
inline double first(Double2 x) noexcept { return _mm_cvtsd_f64(x.v); }
inline double second(Double2 x) noexcept { return _mm_cvtsd_f64(_mm_unpackhi_pd(x.v, x.v)); }
// [first(a), first(b)] and [second(a), second(b)]
inline Double2 firsts(Double2 a, Double2 b) noexcept { return {_mm_unpacklo_pd(a.v, b.v)}; }
inline Double2 seconds(Double2 a, Double2 b) noexcept { return {_mm_unpackhi_pd(a.v, b.v)}; }

inline Double2 operator+(Double2 a, Double2 b) noexcept { return {_mm_add_pd(a.v, b.v)}; }
inline Double2 operator-(Double2 a, Double2 b) noexcept { return {_mm_sub_pd(a.v, b.v)}; }
inline Double2 operator*(Double2 a, Double2 b) noexcept { return {_mm_mul_pd(a.v, b.v)}; }
inline Double2 operator/(Double2 a, Double2 b) noexcept { return {_mm_div_pd(a.v, b.v)}; }
inline Double2 greater_of(Double2 a, Double2 b) noexcept { return {_mm_max_pd(a.v, b.v)}; }
inline Double2 magnitude(Double2 x) noexcept { return {_mm_andnot_pd(_mm_set1_pd(-0.0), x.v)}; }

inline Mask2 operator<(Double2 a, Double2 b) noexcept { return {_mm_cmplt_pd(a.v, b.v)}; }
inline Mask2 nonzero(Double2 x) noexcept { return {_mm_cmpneq_pd(x.v, _mm_setzero_pd())}; }
inline bool all(Mask2 m) noexcept { return _mm_movemask_pd(m.v) == 3; }
inline Double2 keep(Mask2 m, Double2 x) noexcept { return {_mm_and_pd(m.v, x.v)}; }
inline Double2 select(Mask2 m, Double2 a, Double2 b) noexcept {
    return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))};
}

#else

struct Double2 {
    double lanes[2];
};
struct Mask2 {
    bool lanes[2];
};

inline Double2 pair(double first, double second) noexcept { return {{first, second}}; }
inline Double2 splat(double x) noexcept { return {{x, x}}; }
inline double first(Double2 x) noexcept { return x.lanes[0]; }
inline double second(Double2 x) noexcept { return x.lanes[1]; }
inline Double2 firsts(Double2 a, Double2 b) noexcept { return {{a.lanes[0], b.lanes[0]}}; }
inline Double2 seconds(Double2 a, Double2 b) noexcept { return {{a.lanes[1], b.lanes[1]}}; }

template <class Op>
inline Double2 each(Double2 a, Double2 b, Op op) noexcept {
    return {{op(a.lanes[0], b.lanes[0]), op(a.lanes[1], b.lanes[1])}};
}
inline Double2 operator+(Double2 a, Double2 b) noexcept {
    return each(a, b, [](double x, double y) { return x + y; });
}
inline Double2 operator-(Double2 a, Double2 b) noexcept {
    return each(a, b, [](double x, double y) { return x - y; });
}
inline Double2 operator*(Double2 a, Double2 b) noexcept {
    return each(a, b, [](double x, double y) { return x * y; });
}
inline Double2 operator/(Double2 a, Double2 b) noexcept {
    return each(a, b, [](double x, double y) { return x / y; });
}
inline Double2 greater_of(Double2 a, Double2 b) noexcept {
    return each(a, b, [](double x, double y) { return x > y ? x : y; });
}
inline Double2 magnitude(Double2 x) noexcept { return {{std::fabs(x.lanes[0]), std::fabs(x.lanes[1])}}; }

inline Mask2 operator<(Double2 a, Double2 b) noexcept {
    return {{a.lanes[0] < b.lanes[0], a.lanes[1] < b.lanes[1]}};
}
inline Mask2 nonzero(Double2 x) noexcept { return {{x.lanes[0] != 0.0, x.lanes[1] != 0.0}}; }
inline bool all(Mask2 m) noexcept { return m.lanes[0] && m.lanes[1]; }
inline Double2 keep(Mask2 m, Double2 x) noexcept {
    return {{m.lanes[0] ? x.lanes[0] : 0.0, m.lanes[1] ? x.lanes[1] : 0.0}};
}
inline Double2 select(Mask2 m, Double2 a, Double2 b) noexcept {
    return {{m.lanes[0] ? a.lanes[0] : b.lanes[0], m.lanes[1] ? a.lanes[1] : b.lanes[1]}};
}

#endif

// Positions i and i + 1 of a view, read and written as a pair.
template <class View>
inline Double2 load_pair(View view, std::int64_t i) noexcept {
    return pair(view[i], view[i + 1]);
}
template <class View>
inline void store_pair(View view, std::int64_t i, Double2 x) noexcept {
    view[i] = first(x);
    view[i + 1] = second(x);
}
#if VI_DOUBLE2_SSE2
inline Double2 load_pair(Contiguous<const double> view, std::int64_t i) noexcept {
    return {_mm_loadu_pd(view.base + i)};
}
inline void store_pair(Contiguous<double> view, std::int64_t i, Double2 x) noexcept {
    _mm_storeu_pd(view.base + i, x.v);
}
#endif

}  // namespace vi
