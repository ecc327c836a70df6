// What the batch runs for each indicator, without Python: the step that the lane loop
// advances (numeric/lane_loop.hpp) and the single-series kernel that runs one gathered
// series at a time.
#pragma once

#include <cstdint>
#include <limits>

#include "adx/kernel.hpp"
#include "adx/step.hpp"
#include "atr/kernel.hpp"
#include "atr/step.hpp"
#include "ema/kernel.hpp"
#include "ema/step.hpp"
#include "normalized_t3/kernel.hpp"
#include "normalized_t3/step.hpp"
#include "numeric/lane_loop.hpp"
#include "numeric/views.hpp"
#include "stochastic/kernel.hpp"
#include "supertrend/kernel.hpp"
#include "supertrend/step.hpp"

namespace vi::batch {

enum class Indicator { ema, stochastic, adx, supertrend, normalized_t3, atr };

struct Shape {
    int inputs, outputs, params;
    bool lanes;  // advanced by the lane loop in wide form; else one series at a time
};

constexpr Shape shape(Indicator ind) noexcept {
    switch (ind) {
        case Indicator::ema: return {1, 1, 1, true};
        case Indicator::stochastic: return {3, 2, 2, false};
        case Indicator::adx: return {3, 3, 2, true};
        case Indicator::supertrend: return {3, 2, 2, true};
        case Indicator::normalized_t3: return {1, 1, 3, false};
        case Indicator::atr: return {3, 1, 1, true};
    }
    return {0, 0, 0, false};
}

struct SupertrendParams {
    atr::Params atr;
    supertrend::Params line;
};

// SuperTrend in the lanes: this package's ATR recursion feeds the line.
template <class V>
struct SupertrendLanes {
    using Params = SupertrendParams;
    static constexpr int inputs = 3;
    static constexpr int outputs = 2;
    static constexpr int lanes = LaneTraits<V>::lanes;

    atr::Step<V> atr;
    supertrend::Step<V> line;

    SupertrendLanes() noexcept = default;
    explicit SupertrendLanes(const Params* const* lane) noexcept {
        const atr::Params* atr_lane[lanes];
        const supertrend::Params* line_lane[lanes];
        for (int k = 0; k < lanes; ++k) {
            atr_lane[k] = &lane[k]->atr;
            line_lane[k] = &lane[k]->line;
        }
        atr = atr::Step<V>(atr_lane);
        line = supertrend::Step<V>(line_lane);
    }
    void first(const V* in, V* out) noexcept {
        line.first(in[0], in[1], atr.first(in[0], in[1], in[2]));
        out[0] = line.line;
        out[1] = line.direction;
    }
    void next(const V* in, V* out) noexcept {
        line.next(in[0], in[1], in[2], atr.next(in[0], in[1], in[2]));
        out[0] = line.line;
        out[1] = line.direction;
    }
};

// The parameters of one column in every form the loops need: as the single-series
// function converts them (`raw`) and as each step holds them.
struct ColumnParams {
    int ints[3] = {0, 0, 0};
    double real = 0.0;
    ema::Params ema{1};
    atr::Params atr{1};
    adx::Params adx{1, 1};
    SupertrendParams supertrend{atr::Params(1), supertrend::Params{0.0}};

    // `values` in the order of the function's parameters after its price inputs.
    void set(Indicator ind, const double* values) noexcept {
        switch (ind) {
            case Indicator::ema:
                ints[0] = static_cast<int>(values[0]);
                ema = ema::Params(ints[0]);
                break;
            case Indicator::atr:
                ints[0] = static_cast<int>(values[0]);
                atr = atr::Params(ints[0]);
                break;
            case Indicator::adx:
                ints[0] = static_cast<int>(values[0]);
                ints[1] = static_cast<int>(values[1]);
                adx = adx::Params(ints[0], ints[1]);
                break;
            case Indicator::supertrend:
                ints[0] = static_cast<int>(values[0]);
                real = values[1];
                supertrend = {atr::Params(ints[0]), supertrend::Params{real}};
                break;
            case Indicator::stochastic:
                ints[0] = static_cast<int>(values[0]);
                ints[1] = static_cast<int>(values[1]);
                break;
            case Indicator::normalized_t3:
                ints[0] = static_cast<int>(values[0]);
                ints[1] = static_cast<int>(values[1]);
                real = values[2];
                break;
        }
    }
    // The step's parameters, as the lane loop takes them.
    const void* step_params(Indicator ind) const noexcept {
        switch (ind) {
            case Indicator::ema: return &ema;
            case Indicator::atr: return &atr;
            case Indicator::adx: return &adx;
            case Indicator::supertrend: return &supertrend;
            default: return nullptr;
        }
    }
};

// Doubles of working memory that run_series needs beside its inputs and outputs.
inline std::int64_t series_scratch(Indicator ind, std::int64_t length, const ColumnParams& p) noexcept {
    switch (ind) {
        case Indicator::supertrend: return length;  // the ATR values
        case Indicator::stochastic: return 2 * tails_capacity(length, p.ints[0]);
        case Indicator::normalized_t3: return length + 2 * tails_capacity(length, p.ints[0]);
        default: return 0;
    }
}

// One series of `length` samples, contiguous, through the single-series kernels.
inline void run_series(Indicator ind, const double* const* in, double* const* out, std::int64_t* direction,
                       std::int64_t length, const ColumnParams& p, double* scratch) noexcept {
    using In = Contiguous<const double>;
    using Out = Contiguous<double>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    switch (ind) {
        case Indicator::ema: ema::kernel(In{in[0]}, Out{out[0]}, length, p.ints[0]); return;
        case Indicator::atr: atr::kernel(In{in[0]}, In{in[1]}, In{in[2]}, Out{out[0]}, length, p.ints[0]); return;
        case Indicator::adx:
            adx::kernel(In{in[0]}, In{in[1]}, In{in[2]}, Out{out[0]}, Out{out[1]}, Out{out[2]}, length,
                        p.ints[0], p.ints[1]);
            return;
        case Indicator::supertrend:
            atr::kernel(In{in[0]}, In{in[1]}, In{in[2]}, Out{scratch}, length, p.ints[0]);
            supertrend::kernel(In{in[0]}, In{in[1]}, In{in[2]}, In{scratch}, Out{out[0]},
                               Contiguous<std::int64_t>{direction}, length, p.real);
            return;
        case Indicator::stochastic: {
            const std::int64_t capacity = tails_capacity(length, p.ints[0]);
            stochastic::k_pass(In{in[0]}, In{in[1]}, In{in[2]}, Out{out[0]}, length, p.ints[0], nan, scratch,
                               scratch + capacity);
            stochastic::d_pass(Out{out[0]}, Out{out[1]}, length, p.ints[0], p.ints[1], nan);
            return;
        }
        case Indicator::normalized_t3: {
            const std::int64_t capacity = tails_capacity(length, p.ints[0]);
            double* t3 = scratch;
            normalized_t3::t3_pass(In{in[0]}, t3, length, p.ints[1], p.real, p.ints[0]);
            normalized_t3::normalize_pass(t3, Out{out[0]}, length, p.ints[0], t3 + length,
                                          t3 + length + capacity, nan);
            return;
        }
    }
}

// The lane loop of `ind` with value type V over columns [begin, end): tiles of G groups
// (more groups for the short steps, whose latency needs more to hide); returns the first
// column not done (fewer than one group's lanes remain).
template <class V>
std::int64_t lane_loop_of(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    switch (ind) {
        case Indicator::ema: return lane_loop<ema::Step<V>, V, 4>(b, begin, end);
        case Indicator::atr: return lane_loop<atr::Step<V>, V, 4>(b, begin, end);
        case Indicator::adx: return lane_loop<adx::Step<V>, V, 2>(b, begin, end);
        case Indicator::supertrend: return lane_loop<SupertrendLanes<V>, V, 2>(b, begin, end);
        default: return begin;
    }
}

// The same with four lanes (AVX and FMA, lanes_avx.cpp) and with eight (AVX-512F,
// lanes_avx512.cpp), each compiled for its instruction set; call only when usable.
std::int64_t lane_loop_avx(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept;
std::int64_t lane_loop_avx512(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept;
bool avx_usable() noexcept;
bool avx512_usable() noexcept;

}  // namespace vi::batch
