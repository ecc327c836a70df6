// T3 step: six cascaded EMAs with one alpha, combined into the T3 average.
//
//   e1..e6 = src[0] at position 0
//   e1 = alpha * src[i] + (1 - alpha) * e1;   e(k) = (1 - alpha) * e(k) + alpha * e(k-1)
//   t3[i] = ((c1 * e6 + c2 * e5) + c3 * e4) + c4 * e3
//
// The one text of the cascade: the single-series pass, the batch lanes and the streaming
// objects all advance this state.
//
//   alpha    2.0 / (t3_period + 1), the sum formed in 64 bits so no period wraps;
//            t3_period -1 divides by zero (alpha = inf), 0 gives alpha = 2
//   NaN      a NaN sample makes every stage NaN from there on
//   order    each product rounded on its own, sums in the grouping shown (no FMA); note
//            that e1 puts alpha * src first and the later stages put it second
#pragma once

#include <cstdint>

#include "numeric/lanes.hpp"

namespace vi::normalized_t3 {

struct Params {
    double alpha, keep, c1, c2, c3, c4;
    // The T3 coefficients of volume factor a, in the grouping that fixes their last bits.
    Params(int t3_period, double a) noexcept
        : alpha(2.0 / static_cast<double>(static_cast<std::int64_t>(t3_period) + 1)), keep(1.0 - alpha) {
        const double s2 = (3.0 * a) * a;
        const double s3 = s2 * a;
        c1 = ((-a) * a) * a;
        c2 = s3 + s2;
        c3 = ((-6.0 * a) * a - 3.0 * a) - s3;
        c4 = ((1.0 + 3.0 * a) + (a * a) * a) + s2;
    }
};

template <class V>
struct Step {
    static constexpr int inputs = 1;
    using Params = normalized_t3::Params;
    static constexpr int outputs = 1;

    V alpha{}, keep{}, c1{}, c2{}, c3{}, c4{};
    V e1{}, e2{}, e3{}, e4{}, e5{}, e6{};

    Step() noexcept = default;
    explicit Step(const Params* const* lane) noexcept
        : alpha(gather<V>(lane, &Params::alpha)),
          keep(gather<V>(lane, &Params::keep)),
          c1(gather<V>(lane, &Params::c1)),
          c2(gather<V>(lane, &Params::c2)),
          c3(gather<V>(lane, &Params::c3)),
          c4(gather<V>(lane, &Params::c4)) {}

    V first(V src) noexcept {
        e1 = e2 = e3 = e4 = e5 = e6 = src;
        return t3();
    }
    V next(V src) noexcept {
        e1 = alpha * src + keep * e1;
        e2 = keep * e2 + alpha * e1;
        e3 = keep * e3 + alpha * e2;
        e4 = keep * e4 + alpha * e3;
        e5 = keep * e5 + alpha * e4;
        e6 = keep * e6 + alpha * e5;
        return t3();
    }

    void first(const V* in, V* out) noexcept { out[0] = first(in[0]); }
    void next(const V* in, V* out) noexcept { out[0] = next(in[0]); }

private:
    V t3() const noexcept { return ((c1 * e6 + c2 * e5) + c3 * e4) + c4 * e3; }
};

}  // namespace vi::normalized_t3
