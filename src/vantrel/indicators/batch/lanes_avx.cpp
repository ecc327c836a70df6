// The lane loops with four doubles per value (AVX2, and FMA for the one fused step), chosen
// at run time.
//
// This file alone is compiled for AVX2 and FMA (contraction stays off: only an explicit
// fused() is fused). Its value type lives in an unnamed namespace, so
// every step and loop instantiated with it is private to this file: no AVX code can stand
// in for a baseline function elsewhere in the module. The arithmetic is that of every
// other value type: one IEEE operation per lane, no contraction.
#include "batch/columns.hpp"
#include "numeric/lanes4.hpp"

namespace vi::batch {

std::int64_t lane_loop_avx(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    const std::int64_t done = lane_loop_of<Lanes4>(ind, b, begin, end);
    _mm256_zeroupper();  // the caller runs SSE code, which pays for dirty upper halves
    return done;
}

std::int64_t window_lanes_avx(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end,
                              void* scratch) noexcept {
    const std::int64_t done = window_lanes_of<Lanes4>(ind, b, begin, end, scratch);
    _mm256_zeroupper();
    return done;
}

}  // namespace vi::batch
