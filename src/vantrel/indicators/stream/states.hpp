// The state of each streaming indicator, without Python: one bar in, the row of the
// single-series function for that bar out.
//
// Every state advances the per-sample steps of the indicator folders (ema/step.hpp,
// atr/step.hpp, adx/step.hpp, supertrend/step.hpp, normalized_t3/step.hpp) over V = double,
// and the window indicators take their extremes from numeric/window_deque.hpp, so each bar
// gets exactly the bits the single-series function gives that position:
//
//   advance(i, in, out)   bar i (0 for the first) with inputs in[], its outputs into out[]
//   peek(i, in, out)      what advance would write, the state unchanged
//   save(w) / load(r)     the fields that the next bars depend on
//   reserve(n)            storage for n bars in all, so that advance allocates nothing
//   advance_many(...)     (some states) many bars at once through the single-series
//                         passes, with the bits of advancing them one by one
//
// Warm-up positions hold a quiet NaN, the bits of `np.nan`.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "adx/kernel.hpp"
#include "atr/step.hpp"
#include "batch/columns.hpp"
#include "ema/step.hpp"
#include "normalized_t3/kernel.hpp"
#include "numeric/window_deque.hpp"
#include "stochastic/kernel.hpp"
#include "supertrend/step.hpp"

namespace vi::stream {

inline constexpr double warm_up_nan = std::numeric_limits<double>::quiet_NaN();

// A saved state: 8-byte little-endian fields, so a pickle moves between machines.
class Writer {
public:
    void put(double v) { put(std::bit_cast<std::uint64_t>(v)); }
    void put(std::int64_t v) { put(static_cast<std::uint64_t>(v)); }
    void put(std::uint64_t v) {
        for (int k = 0; k < 8; ++k) bytes_.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
    }
    void put(const Ring<double>& ring) {
        put(ring.size());
        for (std::int64_t k = 0; k < ring.size(); ++k) put(ring[k]);
    }
    const std::string& bytes() const noexcept { return bytes_; }

private:
    std::string bytes_;
};

// Reads what a Writer wrote; `ok()` turns false on a short or malformed state, and the
// reads then give zeros.
class Reader {
public:
    Reader(const char* data, std::size_t size) noexcept : data_(data), size_(size) {}
    std::uint64_t bits() noexcept {
        if (size_ - at_ < 8 || !ok_) {
            ok_ = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(data_[at_ + k])) << (8 * k);
        at_ += 8;
        return v;
    }
    double real() noexcept { return std::bit_cast<double>(bits()); }
    std::int64_t integer() noexcept { return static_cast<std::int64_t>(bits()); }
    // A saved ring that must hold exactly `size` values.
    std::vector<double> values(std::int64_t size) {
        std::vector<double> out;
        if (integer() != size || size < 0 || static_cast<std::uint64_t>(size) > (size_ - at_) / 8) {
            ok_ = false;
            return out;
        }
        out.resize(static_cast<std::size_t>(size));
        for (auto& v : out) v = real();
        return out;
    }
    void fail() noexcept { ok_ = false; }
    bool ok() const noexcept { return ok_ && at_ == size_; }

private:
    const char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// view[offset + k]: the last samples of a chunk, for WindowDeque::restore.
template <class View>
struct Offset {
    View view;
    std::int64_t offset;
    double operator[](std::int64_t k) const noexcept { return view[offset + k]; }
};

inline std::int64_t held(std::int64_t count, std::int64_t window) noexcept {
    return count < window ? count : window;
}

// A step of one lane (one series) from its parameters.
template <class Step>
Step single_lane(const typename Step::Params& params) noexcept {
    const typename Step::Params* lane = &params;
    return Step(&lane);
}

// The states that are one step: advance runs it (first() at bar 0), peek runs a copy.
template <class Step>
struct OneStep {
    static constexpr int inputs = Step::inputs, outputs = Step::outputs;
    Step step;

    explicit OneStep(const typename Step::Params& params) noexcept : step(single_lane<Step>(params)) {}
    void advance(std::int64_t i, const double* in, double* out) noexcept {
        if (i == 0) {
            step.first(in, out);
        } else {
            step.next(in, out);
        }
    }
    void peek(std::int64_t i, const double* in, double* out) const noexcept {
        Step copy = step;
        if (i == 0) {
            copy.first(in, out);
        } else {
            copy.next(in, out);
        }
    }
    void reserve(std::int64_t) noexcept {}
};

struct Ema : OneStep<ema::Step<double>> {
    explicit Ema(int period) noexcept : OneStep(ema::Params(period)) {}
    void save(Writer& w) const { w.put(step.value); }
    void load(Reader& r, std::int64_t) { step.value = r.real(); }
};

struct Atr : OneStep<atr::Step<double>> {
    explicit Atr(int period) noexcept : OneStep(atr::Params(period)) {}
    void save(Writer& w) const {
        w.put(step.value);
        w.put(step.prev_close);
    }
    void load(Reader& r, std::int64_t) {
        step.value = r.real();
        step.prev_close = r.real();
    }
};

struct Adx : OneStep<adx::Step<double>> {
    Adx(int di_length, int adx_smoothing) noexcept : OneStep(adx::Params(di_length, adx_smoothing)) {}
    void save(Writer& w) const {
        for (double v : {step.prev_high, step.prev_low, step.prev_close, step.tr_rma, step.plus_rma,
                         step.minus_rma, step.adx}) {
            w.put(v);
        }
    }
    void load(Reader& r, std::int64_t) {
        for (double* v : {&step.prev_high, &step.prev_low, &step.prev_close, &step.tr_rma, &step.plus_rma,
                          &step.minus_rma, &step.adx}) {
            *v = r.real();
        }
    }
    // Bars first .. first + n - 1 at once: the single-series kernel resumed from this state.
    template <class In, class Out>
    void advance_many(std::int64_t first, std::int64_t n, In high, In low, In close, Out plus_di, Out minus_di,
                      Out adx_values, double*) noexcept {
        adx::resume(step, first == 0, high, low, close, plus_di, minus_di, adx_values, n);
    }
    std::int64_t scratch(std::int64_t) const noexcept { return 0; }
};

// This package's ATR recursion under the SuperTrend line, composed as the batch lanes do;
// the direction is the double -1.0 or 1.0.
struct Supertrend : OneStep<batch::SupertrendLanes<double>> {
    Supertrend(int period, double multiplier) noexcept
        : OneStep(batch::SupertrendParams{atr::Params(period), supertrend::Params{multiplier}}) {}
    void save(Writer& w) const {
        for (double v : {step.atr.value, step.atr.prev_close, step.line.line, step.line.direction}) w.put(v);
    }
    void load(Reader& r, std::int64_t) {
        for (double* v : {&step.atr.value, &step.atr.prev_close, &step.line.line, &step.line.direction}) {
            *v = r.real();
        }
        if (step.line.direction != 1.0 && step.line.direction != -1.0) r.fail();
    }
};

// %K over the window extremes, %D over the last d_period %K values summed afresh from 0.0
// in ascending order (stochastic/kernel.hpp: k_pass, d_pass).
struct Stochastic {
    static constexpr int inputs = 3, outputs = 2;  // %K, %D
    std::int64_t k_period, d_period;
    WindowDeque<Highest> highs;
    WindowDeque<Lowest> lows;
    Ring<double> ks;  // the last d_period - 1 values of %K

    Stochastic(int k, int d)
        : k_period(k), d_period(d), highs(k), lows(k), ks(d > 1 ? static_cast<std::int64_t>(d) - 1 : 0) {}

    // Storage for `bars` bars in all: advance() then allocates nothing up to there.
    void reserve(std::int64_t bars) {
        highs.reserve(bars);
        lows.reserve(bars);
        ks.reserve(bars);
    }
    void advance(std::int64_t i, const double* in, double* out) {
        highs.push(in[0]);
        lows.push(in[1]);
        // Locals, not out[]: the values stay in registers through %D and the ring.
        const double k = i >= k_period - 1
                             ? stochastic::percent_k<double>(in[2], highs.extreme<Highest>(), lows.extreme<Lowest>())
                             : warm_up_nan;
        const double d = percent_d(i, [&](std::int64_t j) { return j < 0 ? ks[ks.size() + j] : k; });
        ks.push_back(k);
        out[0] = k;
        out[1] = d;
    }
    void peek(std::int64_t i, const double* in, double* out) const {
        const double k = i >= k_period - 1 ? stochastic::percent_k<double>(in[2], highs.extreme_with<Highest>(in[0]),
                                                                    lows.extreme_with<Lowest>(in[1]))
                                           : warm_up_nan;
        out[1] = percent_d(i, [&](std::int64_t j) { return j < 0 ? ks[ks.size() + j] : k; });
        out[0] = k;
    }
    // Bars first .. first + n - 1 at once: the windows that lie inside these bars through the
    // single-series %K pass, the first k_period - 1 (which reach back) through the queues.
    template <class In, class Out>
    void advance_many(std::int64_t first, std::int64_t n, In high, In low, In close, Out k_out, Out d_out,
                      double* tails) {
        const std::int64_t inside = n >= k_period ? n : 0;
        if (inside) {
            const std::int64_t capacity = tails_capacity(n, k_period);
            stochastic::k_pass(high, low, close, k_out, n, k_period, warm_up_nan, tails, tails + capacity);
        }
        const std::int64_t reaching = n < k_period - 1 ? n : k_period - 1;
        for (std::int64_t t = 0; t < reaching; ++t) {
            highs.push(high[t]);
            lows.push(low[t]);
            k_out[t] = first + t >= k_period - 1
                           ? stochastic::percent_k<double>(close[t], highs.extreme<Highest>(), lows.extreme<Lowest>())
                           : warm_up_nan;
        }
        if (inside) {
            highs.restore(first + n, Offset<In>{high, n - k_period}, k_period);
            lows.restore(first + n, Offset<In>{low, n - k_period}, k_period);
        }
        // %D: windows reaching back take the kept %K values, the rest the single-series loop.
        const std::int64_t own = std::max<std::int64_t>(d_period - 1, k_period + d_period - 2 - first);
        const std::int64_t split = std::clamp<std::int64_t>(own, 0, n);
        for (std::int64_t t = 0; t < split; ++t) {
            d_out[t] = percent_d(first + t, [&](std::int64_t j) {
                return t + j < 0 ? ks[ks.size() + t + j] : static_cast<double>(k_out[t + j]);
            });
        }
        stochastic::d_range(k_out, d_out, split, n, d_period);
        for (std::int64_t t = n - ks.limit() > 0 ? n - ks.limit() : 0; t < n; ++t) ks.push_back(k_out[t]);
    }
    // Doubles of working memory advance_many needs for n bars.
    std::int64_t scratch(std::int64_t n) const noexcept { return 2 * tails_capacity(n, k_period); }
    void save(Writer& w) const {
        w.put(highs.samples());
        w.put(lows.samples());
        w.put(ks);
    }
    void load(Reader& r, std::int64_t count) {
        const std::int64_t window = held(count, k_period);
        const std::vector<double> h = r.values(window);
        const std::vector<double> l = r.values(window);
        const std::vector<double> k = r.values(held(count, ks.limit()));
        if (!r.ok()) return;
        highs.restore(count, h.data(), window);
        lows.restore(count, l.data(), window);
        ks.clear();
        for (double v : k) ks.push_back(v);
    }

private:
    // %D at bar i: the window k_at(1 - d_period) .. k_at(0) (k_at(0) the %K of bar i) summed
    // from 0.0 in ascending order, or an empty window when d_period <= 0 (0.0 / 0 = NaN,
    // 0.0 / negative = -0.0).
    template <class At>
    double percent_d(std::int64_t i, At k_at) const noexcept {
        if (i < k_period + d_period - 2) return warm_up_nan;
        double k_sum = 0.0;
        for (std::int64_t j = 1 - d_period; j <= 0; ++j) k_sum = k_sum + k_at(j);
        return k_sum / static_cast<double>(d_period);
    }
};

// The T3 average placed within the extremes of its last `period` values
// (normalized_t3/kernel.hpp: t3_pass, normalize_pass).
struct NormalizedT3 {
    static constexpr int inputs = 1, outputs = 1;
    std::int64_t period;
    normalized_t3::Step<double> step;
    WindowDeque<Highest, Lowest> window;

    NormalizedT3(int period_, int t3_period, double volume_factor)
        : period(period_),
          step(single_lane<normalized_t3::Step<double>>(normalized_t3::Params(t3_period, volume_factor))),
          window(period_) {}
    void reserve(std::int64_t bars) { window.reserve(bars); }
    void advance(std::int64_t i, const double* in, double* out) {
        const double t3 = i == 0 ? step.first(in[0]) : step.next(in[0]);
        window.push(t3);
        out[0] = i >= period - 1 ? normalized_t3::place(t3, window.extreme<Highest>(), window.extreme<Lowest>(), warm_up_nan) : warm_up_nan;
    }
    void peek(std::int64_t i, const double* in, double* out) const {
        normalized_t3::Step<double> copy = step;
        const double t3 = i == 0 ? copy.first(in[0]) : copy.next(in[0]);
        out[0] = i >= period - 1 ? normalized_t3::place(t3, window.extreme_with<Highest>(t3),
                                                        window.extreme_with<Lowest>(t3), warm_up_nan)
                                 : warm_up_nan;
    }
    // Bars first .. first + n - 1 at once, piece by piece (the bits of any split are the
    // same), so that the T3 values of a piece stay in cache between its two passes.
    template <class In, class Out>
    void advance_many(std::int64_t first, std::int64_t n, In src, Out out, double* scratch) {
        const std::int64_t size = piece();
        for (std::int64_t done = 0; done < n; done += size) {
            advance_piece(first + done, std::min(size, n - done), At<In>{src, done}, At<Out>{out, done}, scratch);
        }
    }
    std::int64_t scratch(std::int64_t n) const noexcept {
        const std::int64_t m = std::min(n, piece());
        return m + 2 * tails_capacity(m, period);
    }
    void save(Writer& w) const {
        for (double v : {step.e1, step.e2, step.e3, step.e4, step.e5, step.e6}) w.put(v);
        w.put(window.samples());
    }
    void load(Reader& r, std::int64_t count) {
        for (double* v : {&step.e1, &step.e2, &step.e3, &step.e4, &step.e5, &step.e6}) *v = r.real();
        const std::int64_t size = held(count, period);
        const std::vector<double> t3 = r.values(size);
        if (r.ok()) window.restore(count, t3.data(), size);
    }

private:
    // Bars per piece: many windows' worth, the queues' share (a window reaching back into
    // the previous piece, and the restore) small beside it.
    std::int64_t piece() const noexcept { return std::max<std::int64_t>(std::int64_t{1} << 15, 8 * period); }

    // view[offset + k], readable and writable as the view is.
    template <class View>
    struct At {
        View view;
        std::int64_t offset;
        decltype(auto) operator[](std::int64_t k) const noexcept { return view[offset + k]; }
    };

    // One piece: the T3 values into `scratch`, the windows that lie inside these bars through
    // the single-series normalization, the first period - 1 (which reach back) through the
    // queues.
    template <class In, class Out>
    void advance_piece(std::int64_t first, std::int64_t n, In src, Out out, double* scratch) {
        double* t3 = scratch;
        for (std::int64_t t = 0; t < n; ++t) t3[t] = first + t == 0 ? step.first(src[t]) : step.next(src[t]);
        const std::int64_t inside = n >= period ? n : 0;
        if (inside) {
            const std::int64_t capacity = tails_capacity(n, period);
            normalized_t3::normalize_pass(t3, out, n, period, t3 + n, t3 + n + capacity, warm_up_nan);
        }
        const std::int64_t reaching = n < period - 1 ? n : period - 1;
        for (std::int64_t t = 0; t < reaching; ++t) {
            window.push(t3[t]);
            out[t] = first + t >= period - 1 ? normalized_t3::place(t3[t], window.extreme<Highest>(),
                                                                    window.extreme<Lowest>(), warm_up_nan)
                                             : warm_up_nan;
        }
        if (inside) window.restore(first + n, t3 + (n - period), period);
    }
};

}  // namespace vi::stream
