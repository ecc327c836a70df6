// What the batch runs for each indicator, without Python: the step that the lane loop
// advances (numeric/lane_loop.hpp) and the single-series kernel that runs one gathered
// series at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include "adx/step.hpp"
#include "atr/step.hpp"
#include "ema/step.hpp"
#include "normalized_t3/kernel.hpp"
#include "normalized_t3/step.hpp"
#include "numeric/lane_loop.hpp"
#include "numeric/views.hpp"
#include "stochastic/kernel.hpp"
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
        case Indicator::stochastic: return 2 * tails_capacity(length, p.ints[0]);
        case Indicator::normalized_t3: return length + 2 * tails_capacity(length, p.ints[0]);
        default: return 0;
    }
}

// One series of a window indicator (STOCHASTIC, NORMALIZED_T3), `length` samples,
// contiguous, through the single-series kernels. (The other indicators run in the lanes.)
inline void run_series(Indicator ind, const double* const* in, double* const* out, std::int64_t length,
                       const ColumnParams& p, double* scratch) noexcept {
    using In = Contiguous<const double>;
    using Out = Contiguous<double>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t capacity = tails_capacity(length, p.ints[0]);
    if (ind == Indicator::stochastic) {
        stochastic::k_pass(In{in[0]}, In{in[1]}, In{in[2]}, Out{out[0]}, length, p.ints[0], nan, scratch,
                           scratch + capacity);
        stochastic::d_pass(Out{out[0]}, Out{out[1]}, length, p.ints[0], p.ints[1], nan);
    } else if (ind == Indicator::normalized_t3) {
        double* t3 = scratch;
        normalized_t3::t3_pass(In{in[0]}, t3, length, p.ints[1], p.real, p.ints[0]);
        normalized_t3::normalize_pass(t3, Out{out[0]}, length, p.ints[0], t3 + length, t3 + length + capacity, nan);
    }
}

// The window indicators (STOCHASTIC, NORMALIZED_T3) with several series side by side:
// groups of the lanes of V run through the kernels' pieces with V as their value type,
// reading the inputs and writing the outputs in place. The groups of a batch take one
// piece of rows after another in turn, so that a piece's rows (pages and cache lines, one
// line holding up to 8 neighbouring series) are read by the neighbouring groups close
// together in time, rather than each group walking every row of a tall input alone.
//
// A piece is the most whole windows within `piece_rows` rows (one window where a window is
// longer); a batch is as many groups as `batch_lanes` lanes, fewer where their state (the
// window tails and the T3 cascade) would pass `batch_state_bytes`, which keeps a batch's
// state in the L2 cache.
inline constexpr std::int64_t piece_rows = 256;
inline constexpr std::int64_t batch_lanes = 512;
inline constexpr std::int64_t batch_state_bytes = std::int64_t{256} << 10;

struct WindowPlan {
    std::int64_t piece;       // rows a piece
    std::int64_t tails;       // values of the tails of one group (both orders)
    std::int64_t lane_bytes;  // state bytes a lane
    std::int64_t lanes;       // lanes a batch: a multiple of 8, so of every lane count
};

inline WindowPlan window_plan(Indicator ind, std::int64_t rows, const ColumnParams& p) noexcept {
    const std::int64_t window = p.ints[0];
    WindowPlan plan{};
    plan.piece = std::max<std::int64_t>(1, piece_rows / window) * window;
    plan.tails = 2 * tails_capacity(rows, window);
    const std::int64_t cascade = ind == Indicator::normalized_t3 ? sizeof(normalized_t3::Step<double>) : 0;
    plan.lane_bytes = plan.tails * std::int64_t{sizeof(double)} + cascade;
    plan.lanes = std::clamp<std::int64_t>(batch_state_bytes / plan.lane_bytes / 8 * 8, 8, batch_lanes);
    return plan;
}

// Bytes of working memory window_lanes_of needs for `rows` rows under parameters p, for
// any lane type: a batch's state, and one piece of T3 values of the widest lanes.
inline std::int64_t window_scratch(Indicator ind, std::int64_t rows, const ColumnParams& p) noexcept {
    const WindowPlan plan = window_plan(ind, rows, p);
    constexpr std::int64_t slack = 64 * 4;  // each part starts at a 64-byte boundary
    return plan.lanes * plan.lane_bytes + plan.piece * 8 * std::int64_t{sizeof(double)} + slack;
}

// Columns [begin, end) of `b`, as many whole groups of the lanes of V as there are, where
// every column's inputs and outputs are neighbouring doubles (one value of V a row) and all
// share one parameter set (b.params[c] points to column c's ColumnParams); `scratch` holds
// window_scratch() bytes from a 64-byte boundary. Returns the first column not done.
template <class V>
std::int64_t window_lanes_of(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end,
                             void* scratch) noexcept {
    constexpr int W = LaneTraits<V>::lanes;
    const std::int64_t groups = (end - begin) / W;
    if (groups == 0 || detail::layout<V>(b, begin, static_cast<int>(groups * W)) != detail::Layout::consecutive) {
        return begin;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ColumnParams& p = *static_cast<const ColumnParams*>(b.params[begin]);
    const WindowPlan plan = window_plan(ind, b.rows, p);
    const std::int64_t rows = b.rows, half = plan.tails / 2;
    auto at = [](void* memory, std::int64_t offset) {  // 64-byte aligned, offset bytes on
        const auto address = (reinterpret_cast<std::uintptr_t>(memory) + offset + 63) / 64 * 64;
        return reinterpret_cast<void*>(address);
    };
    const std::int64_t per_batch = plan.lanes / W;
    using In = LaneRows<V>;
    using Out = LaneRows<V, unsigned char>;
    for (std::int64_t first = 0; first < groups; first += per_batch) {
        const std::int64_t count = std::min(per_batch, groups - first);
        V* const tails = static_cast<V*>(at(scratch, 0));
        auto* const cascades = static_cast<normalized_t3::Step<V>*>(
            at(scratch, count * plan.tails * std::int64_t{sizeof(V)}));
        V* const buffer = static_cast<V*>(at(cascades + (ind == Indicator::normalized_t3 ? count : 0), 0));
        if (ind == Indicator::normalized_t3) {
            const normalized_t3::Params params(p.ints[1], p.real);
            const normalized_t3::Params* lane[W];
            for (const normalized_t3::Params*& q : lane) q = &params;
            for (std::int64_t g = 0; g < count; ++g) new (cascades + g) normalized_t3::Step<V>(lane);
        }
        for (std::int64_t lo = 0; lo < rows; lo += plan.piece) {
            const std::int64_t hi = std::min(rows, lo + plan.piece);
            for (std::int64_t g = 0; g < count; ++g) {
                const std::int64_t c = begin + (first + g) * W;
                const unsigned char* const* in = b.in + c * b.inputs;
                unsigned char* const* out = b.out + c * b.outputs;
                {
                    // The rows the next group reads and writes, asked for while this one runs:
                    // this piece's, or after the last group the first group's next piece. Rows
                    // far apart lie a page or more apart, which the processor's prefetchers do
                    // not follow, so without this every row of a tall input waits on memory
                    // (measured: about twice the time a sample).
                    const bool last = g + 1 == count;
                    const std::int64_t c_next = last ? begin + first * W : c + W;
                    const std::int64_t lo_next = last ? hi : lo;
                    const std::int64_t hi_next = last ? std::min(rows, hi + plan.piece) : hi;
                    const unsigned char* const* in_next = b.in + c_next * b.inputs;
                    unsigned char* const* out_next = b.out + c_next * b.outputs;
                    for (std::int64_t r = lo_next; r < hi_next; ++r) {
                        for (int i = 0; i < b.inputs; ++i) prefetch(in_next[i] + r * b.in_step[i], false);
                        for (int o = 0; o < b.outputs; ++o) prefetch(out_next[o] + r * b.out_step[o], true);
                    }
                }
                V* const high_tails = tails + g * plan.tails;
                if (ind == Indicator::stochastic) {
                    stochastic::piece(In{in[0], b.in_step[0]}, In{in[1], b.in_step[1]}, In{in[2], b.in_step[2]},
                                      Out{out[0], b.out_step[0]}, Out{out[1], b.out_step[1]}, rows, p.ints[0],
                                      p.ints[1], nan, high_tails, high_tails + half, lo, lo + plan.piece);
                } else {
                    normalized_t3::piece(In{in[0], b.in_step[0]}, Out{out[0], b.out_step[0]}, rows, p.ints[0],
                                         cascades[g], buffer, high_tails, high_tails + half, lo, lo + plan.piece,
                                         nan);
                }
            }
        }
    }
    return begin + groups * W;
}

// Groups a tile of ADX or SuperTrend: four with up to four doubles a value, two with eight.
// A tile's rows of a block are one chain of dependent steps per group, and ADX's chain
// holds three divisions a row; four chains overlap more of it than two (AMD Zen 3, four
// doubles, one thread: ADX 5,000 series x 500 rows 10.9 -> 9.0 ms, 500 x 20,000 45.6 ->
// 40.3 ms, SuperTrend 5,000 x 500 8.1 -> 7.4 ms; the best of three turns each, in processes
// of their own). Eight-double values keep the two groups they were tuned with.
template <class V>
inline constexpr int long_step_groups = LaneTraits<V>::lanes <= 4 ? 4 : 2;

// The lane loop of `ind` with value type V over columns [begin, end): tiles of G groups;
// returns the first column not done (fewer than one group's lanes remain). ADX and
// SuperTrend sweep their bands row by row, whose arithmetic then no longer waits on each
// step's state going through memory from one row to the next; EMA and ATR, whose steps are
// a few operations on as many bytes of state as of rows, only where a band's steps stay
// near (see near_steps_bytes). Sweeps against blocks, time taken, AMD Zen 3, two threads
// (one): ADX 0.81 (0.87) on 5,000 series x 500 rows, 0.72 (0.80) on 500 x 20,000, 0.89
// (0.88) on 500 x 500, 0.77 (0.82) on 1,000 x 1,000; SuperTrend 0.86 (1.02), 0.99 (0.73),
// 0.83 (0.86), 0.84 (0.83); EMA 0.85 (0.77) and ATR 0.79 (0.74) on 500 x 20,000, on the
// others 0.86-1.12.
template <class V>
std::int64_t lane_loop_of(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    switch (ind) {
        case Indicator::ema: return lane_loop<ema::Step<V>, V, 4, Visit::near_rows>(b, begin, end);
        case Indicator::atr: return lane_loop<atr::Step<V>, V, 4, Visit::near_rows>(b, begin, end);
        case Indicator::adx: return lane_loop<adx::Step<V>, V, long_step_groups<V>, Visit::rows>(b, begin, end);
        case Indicator::supertrend:
            return lane_loop<SupertrendLanes<V>, V, long_step_groups<V>, Visit::rows>(b, begin, end);
        default: return begin;
    }
}

// The same with four lanes (AVX2 and FMA, lanes_avx.cpp) and with eight (AVX-512F,
// lanes_avx512.cpp), each compiled for its instruction set; call only when usable.
std::int64_t lane_loop_avx(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept;
std::int64_t lane_loop_avx512(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept;
std::int64_t window_lanes_avx(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end,
                              void* scratch) noexcept;
std::int64_t window_lanes_avx512(Indicator ind, const LaneColumns& b, std::int64_t begin, std::int64_t end,
                                 void* scratch) noexcept;
bool avx_usable() noexcept;
bool avx512_usable() noexcept;

}  // namespace vi::batch
