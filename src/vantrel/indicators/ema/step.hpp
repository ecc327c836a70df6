// EMA step: value[0] = src[0]; value[i] = (1 - alpha) * value[i-1] + alpha * src[i].
//
// The one text of the recursion: the single-series loop, the batch lanes and the
// streaming object all advance this state (see numeric/lanes.hpp for the value types).
//
//   alpha    2.0 / (period + 1), the sum formed in 64 bits so no period wraps;
//            period -1 divides by zero (alpha = inf), period 0 gives alpha = 2
//   order    two rounded products, then one addition (no fused multiply-add)
#pragma once

#include <cstdint>

#include "numeric/lanes.hpp"

namespace vi::ema {

struct Params {
    double alpha, keep;
    explicit Params(int period) noexcept
        : alpha(2.0 / static_cast<double>(static_cast<std::int64_t>(period) + 1)), keep(1.0 - alpha) {}
};

template <class V>
struct Step {
    static constexpr int inputs = 1;
    static constexpr int outputs = 1;
    using Params = ema::Params;

    V alpha{}, keep{}, value{};

    Step() noexcept = default;
    // One lane per entry of `lane`.
    explicit Step(const Params* const* lane) noexcept
        : alpha(gather<V>(lane, &Params::alpha)), keep(gather<V>(lane, &Params::keep)) {}

    V first(V src) noexcept { return value = src; }
    V next(V src) noexcept { return value = keep * value + alpha * src; }

    void first(const V* in, V* out) noexcept { out[0] = first(in[0]); }
    void next(const V* in, V* out) noexcept { out[0] = next(in[0]); }
};

}  // namespace vi::ema
