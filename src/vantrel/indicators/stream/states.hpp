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
//
// Warm-up positions hold a quiet NaN, the bits of `np.nan`.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "adx/step.hpp"
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

inline std::int64_t held(std::int64_t count, std::int64_t window) noexcept {
    return count < window ? count : window;
}

// The states of one-step indicators, whose peek runs a copy of the step.
template <class Self>
struct CopyPeek {
    void reserve(std::int64_t) noexcept {}
    void peek(std::int64_t i, const double* in, double* out) const {
        Self copy = static_cast<const Self&>(*this);
        copy.advance(i, in, out);
    }
};

struct Ema : CopyPeek<Ema> {
    static constexpr int inputs = 1, outputs = 1;
    ema::Step<double> step;

    explicit Ema(int period) noexcept {
        const ema::Params params(period);
        const ema::Params* lane = &params;
        step = ema::Step<double>(&lane);
    }
    void advance(std::int64_t i, const double* in, double* out) noexcept {
        out[0] = i == 0 ? step.first(in[0]) : step.next(in[0]);
    }
    void save(Writer& w) const { w.put(step.value); }
    void load(Reader& r, std::int64_t) { step.value = r.real(); }
};

struct Atr : CopyPeek<Atr> {
    static constexpr int inputs = 3, outputs = 1;
    atr::Step<double> step;

    explicit Atr(int period) noexcept {
        const atr::Params params(period);
        const atr::Params* lane = &params;
        step = atr::Step<double>(&lane);
    }
    void advance(std::int64_t i, const double* in, double* out) noexcept {
        out[0] = i == 0 ? step.first(in[0], in[1], in[2]) : step.next(in[0], in[1], in[2]);
    }
    void save(Writer& w) const {
        w.put(step.value);
        w.put(step.prev_close);
    }
    void load(Reader& r, std::int64_t) {
        step.value = r.real();
        step.prev_close = r.real();
    }
};

struct Adx : CopyPeek<Adx> {
    static constexpr int inputs = 3, outputs = 3;
    adx::Step<double> step;

    Adx(int di_length, int adx_smoothing) noexcept {
        const adx::Params params(di_length, adx_smoothing);
        const adx::Params* lane = &params;
        step = adx::Step<double>(&lane);
    }
    void advance(std::int64_t i, const double* in, double* out) noexcept {
        if (i == 0) {
            step.first(in, out);
        } else {
            step.next(in, out);
        }
    }
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
};

// This package's ATR recursion under the SuperTrend line, composed as the batch lanes do.
struct Supertrend : CopyPeek<Supertrend> {
    static constexpr int inputs = 3, outputs = 2;  // line, direction (-1.0 or 1.0)
    batch::SupertrendLanes<double> step;

    Supertrend(int period, double multiplier) noexcept {
        const batch::SupertrendParams params{atr::Params(period), supertrend::Params{multiplier}};
        const batch::SupertrendParams* lane = &params;
        step = batch::SupertrendLanes<double>(&lane);
    }
    void advance(std::int64_t i, const double* in, double* out) noexcept {
        if (i == 0) {
            step.first(in, out);
        } else {
            step.next(in, out);
        }
    }
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
        out[0] = i >= k_period - 1
                     ? stochastic::percent_k(in[2], highs.extreme<Highest>(), lows.extreme<Lowest>())
                     : warm_up_nan;
        out[1] = percent_d(i, out[0]);
        ks.push_back(out[0]);
    }
    void peek(std::int64_t i, const double* in, double* out) const {
        out[0] = i >= k_period - 1
                     ? stochastic::percent_k(in[2], highs.extreme_with<Highest>(in[0]), lows.extreme_with<Lowest>(in[1]))
                     : warm_up_nan;
        out[1] = percent_d(i, out[0]);
    }
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
    // %D at bar i whose %K is k: the window ks[...] then k, or an empty window when
    // d_period <= 0 (0.0 / 0 = NaN, 0.0 / negative = -0.0).
    double percent_d(std::int64_t i, double k) const noexcept {
        if (i < k_period + d_period - 2) return warm_up_nan;
        double k_sum = 0.0;
        if (d_period >= 1) {
            for (std::int64_t j = 0; j < ks.size(); ++j) k_sum = k_sum + ks[j];
            k_sum = k_sum + k;
        }
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

    NormalizedT3(int period_, int t3_period, double volume_factor) : period(period_), window(period_) {
        const normalized_t3::Params params(t3_period, volume_factor);
        const normalized_t3::Params* lane = &params;
        step = normalized_t3::Step<double>(&lane);
    }
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

};

}  // namespace vi::stream
