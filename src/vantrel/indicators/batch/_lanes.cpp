// vantrel.indicators.batch._lanes: the compiled half of the batch functions.
//
// One function, run(indicator, inputs, outputs, params, order, starts, threads), fills
// output arrays that the Python half has allocated and checked:
//
//   wide form (order is None): inputs are NI arrays of shape (rows, series), outputs NO
//     arrays of shape (rows, combos, series); column (combo p, series s) is series s
//     under the parameters params[p]
//   long form: inputs are NI arrays of shape (rows,), outputs NO arrays of shape
//     (rows, combos); order lists the rows key by key (each key's rows in time order) and
//     key k owns order[starts[k] .. starts[k + 1])
//
// Every column is computed exactly as the single-series function computes that series:
// in the wide form the lane loop advances the indicator's step over series side by side
// (EMA, ATR, ADX, SuperTrend), or each series runs through the single-series kernel
// (STOCHASTIC, NORMALIZED_T3); in the long form each key's rows are gathered and run
// through the single-series kernel. Columns are split over `threads` native threads with
// the interpreter lock released; no column depends on another, so the bits never depend
// on the split. Any array of any strides is read and written in place through its buffer.
#include <cstddef>
#include <cstdint>

// Declared with C linkage before Python.h: the CPython 3.13.0 header that declares these two
// lacks its extern "C" block, and a later declaration keeps the linkage of the first.
extern "C" {
int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);
}

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "batch/blocks.hpp"
#include "batch/buffer.hpp"
#include "batch/columns.hpp"
#include "batch/keys.hpp"
#include "batch/workers.hpp"
#include "framework/framework.hpp"

namespace vi::batch {

#if !VI_BATCH_AVX
std::int64_t lane_loop_avx(Indicator, const LaneColumns&, std::int64_t begin, std::int64_t) noexcept {
    return begin;
}
std::int64_t lane_loop_avx512(Indicator, const LaneColumns&, std::int64_t begin, std::int64_t) noexcept {
    return begin;
}
std::int64_t window_lanes_avx(Indicator, const LaneColumns&, std::int64_t begin, std::int64_t, void*) noexcept {
    return begin;
}
std::int64_t window_lanes_avx512(Indicator, const LaneColumns&, std::int64_t begin, std::int64_t, void*) noexcept {
    return begin;
}
bool avx_usable() noexcept { return false; }
bool avx512_usable() noexcept { return false; }
#else
bool avx_usable() noexcept { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
bool avx512_usable() noexcept { return __builtin_cpu_supports("avx512f"); }
#endif

namespace {

Indicator indicator_of(PyObject* name) {
    static constexpr std::pair<const char*, Indicator> table[] = {
        {"EMA", Indicator::ema},          {"STOCHASTIC", Indicator::stochastic},
        {"ADX", Indicator::adx},          {"SUPERTREND", Indicator::supertrend},
        {"NORMALIZED_T3", Indicator::normalized_t3}, {"ATR", Indicator::atr},
    };
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) throw PythonError{};
    for (const auto& [n, ind] : table) {
        if (std::strcmp(n, text) == 0) return ind;
    }
    PyErr_Format(PyExc_ValueError, "unknown indicator %R", name);
    throw PythonError{};
}

// Runs fn(t) for t = 0 .. threads - 1, t = 0 on this thread, the others on kept native
// threads (workers.hpp), or on threads started for the call where those are busy with
// another call; none when threads is 1. The interpreter lock is released throughout.
template <class Fn>
void parallel(int threads, Fn fn) {
    if (threads > 1) defer_marking();
    PyThreadState* state = PyEval_SaveThread();
    auto task = [](void* context, int t) noexcept { (*static_cast<Fn*>(context))(t); };
    if (run_on_workers(threads, task, &fn)) {
        PyEval_RestoreThread(state);
        return;
    }
    std::vector<std::thread> pool;
    try {
        pool.reserve(static_cast<std::size_t>(threads - 1));
        for (int t = 1; t < threads; ++t) pool.emplace_back(fn, t);
    } catch (...) {
        // The threads that did start still run to the end; the rest is done here.
        for (int t = static_cast<int>(pool.size()) + 1; t < threads; ++t) fn(t);
    }
    fn(0);
    for (auto& th : pool) th.join();
    PyEval_RestoreThread(state);
}

struct Job {
    Indicator ind;
    Shape sh;
    std::int64_t rows = 0, series = 0, combos = 0;
    View in[3];
    View out[3];
    bool int_output[3] = {false, false, false};
    bool warm_outputs = true;  // every output lies in a kept block (see warm_block())
    std::vector<ColumnParams> params;
    View order, starts;
    bool long_form = false;
    // Long form by codes: row r belongs to key codes[r] in [0, keys).
    bool by_codes = false;
    View codes;
    std::int64_t keys = 0;
};

// The wide form's columns (combo p, series s) as the lane loops take them: every column's
// inputs and outputs at row 0, and its parameters, `params_of(p)` (what the step's Params
// are for the lane loop, the whole ColumnParams for the window lanes); `threads`, how many
// threads the call runs on (see stream_min_bytes).
class WideColumns {
public:
    template <class ParamsOf>
    WideColumns(const Job& job, int threads, ParamsOf params_of)
        : in_(static_cast<std::size_t>(job.combos * job.series * job.sh.inputs)),
          out_(static_cast<std::size_t>(job.combos * job.series * job.sh.outputs)),
          params_(static_cast<std::size_t>(job.combos * job.series)) {
        const int ni = job.sh.inputs, no = job.sh.outputs;
        for (std::int64_t p = 0; p < job.combos; ++p) {
            for (std::int64_t s = 0; s < job.series; ++s) {
                const std::int64_t c = p * job.series + s;
                for (int i = 0; i < ni; ++i) in_[c * ni + i] = job.in[i].data() + s * job.in[i].stride(1);
                for (int o = 0; o < no; ++o) {
                    out_[c * no + o] = job.out[o].data() + p * job.out[o].stride(1) + s * job.out[o].stride(2);
                }
                params_[c] = params_of(p);
            }
        }
        b_.rows = job.rows;
        b_.inputs = ni;
        b_.outputs = no;
        for (int i = 0; i < ni; ++i) b_.in_step[i] = job.in[i].stride(0);
        for (int o = 0; o < no; ++o) {
            b_.out_step[o] = job.out[o].stride(0);
            b_.int_output[o] = job.int_output[o];
        }
        const std::int64_t bytes = job.rows * job.combos * job.series * no * std::int64_t{8};
        b_.stream_outputs = job.warm_outputs && bytes >= (threads > 1 ? shared_stream_min_bytes : stream_min_bytes);
        b_.in = in_.data();
        b_.out = out_.data();
        b_.params = params_.data();
    }
    WideColumns(const WideColumns&) = delete;
    WideColumns& operator=(const WideColumns&) = delete;
    const LaneColumns& lanes() const noexcept { return b_; }

private:
    std::vector<const unsigned char*> in_;
    std::vector<unsigned char*> out_;
    std::vector<const void*> params_;
    LaneColumns b_{};
};

// Wide form, lane loop: one column per (combo, series).
void run_lanes(Job& job, int threads) {
    const std::int64_t columns = job.combos * job.series;
    if (columns == 0 || job.rows == 0) return;
    // Contiguous shares of whole tiles (32 columns), one per thread.
    constexpr std::int64_t tile = 32;
    const std::int64_t tiles = (columns + tile - 1) / tile;
    const int used = static_cast<int>(std::clamp<std::int64_t>(tiles, 1, threads));
    const WideColumns wide(job, used, [&job](std::int64_t p) { return job.params[p].step_params(job.ind); });
    const LaneColumns& b = wide.lanes();
    const bool avx = avx_usable();
    const bool avx512 = avx512_usable();
    const Indicator ind = job.ind;
    parallel(used, [&b, avx, avx512, ind, tiles, used, columns](int t) noexcept {
        const std::int64_t begin = std::min(columns, tiles * t / used * tile);
        const std::int64_t end = std::min(columns, tiles * (t + 1) / used * tile);
        std::int64_t c = begin;
        if (avx512) c = lane_loop_avx512(ind, b, c, end);
        if (avx) c = lane_loop_avx(ind, b, c, end);
        c = lane_loop_of<Lanes2>(ind, b, c, end);
        lane_loop_of<double>(ind, b, c, end);
    });
}

// Long form, rows in table order: each key's step state lives in a table indexed by its
// code, and every row advances its own key's state. Rows of different keys are independent,
// so the loop runs at the throughput of the step. A thread takes a contiguous range of codes
// and reads every code: the keys are numbered in the order of their first appearance, so in
// a table sorted by time each thread's rows come in runs, and threads seldom share a cache
// line of an output. Returns false when some row's code is outside [0, keys).
template <class Step, class Code>
bool run_rows(Job& job, int threads) {
    using Params = typename Step::Params;
    constexpr int NI = Step::inputs, NO = Step::outputs;
    const std::int64_t keys = job.keys, rows = job.rows;
    if (rows == 0) return true;
    const int used = static_cast<int>(std::clamp<std::int64_t>(keys, 1, threads));
    std::vector<Step> states(static_cast<std::size_t>(keys));
    std::vector<unsigned char> seen(static_cast<std::size_t>(keys));
    std::atomic<std::int64_t> done{0};
    for (std::int64_t p = 0; p < job.combos; ++p) {
        const Params* lane = static_cast<const Params*>(job.params[p].step_params(job.ind));
        const Step fresh(&lane);
        std::fill(states.begin(), states.end(), fresh);
        std::fill(seen.begin(), seen.end(), 0);
        done = 0;
        parallel(used, [&, p, used](int t) noexcept {
            // Everything the loop reads in locals: the outputs are written through byte
            // pointers, which might alias anything reached through a reference.
            const unsigned char* in[NI];
            std::ptrdiff_t in_step[NI];
            unsigned char* out[NO];
            std::ptrdiff_t out_step[NO];
            bool int_output[NO];
            for (int i = 0; i < NI; ++i) {
                in[i] = job.in[i].data();
                in_step[i] = job.in[i].stride(0);
            }
            for (int o = 0; o < NO; ++o) {
                out[o] = job.out[o].data() + p * job.out[o].stride(1);
                out_step[o] = job.out[o].stride(0);
                int_output[o] = job.int_output[o];
            }
            const unsigned char* codes = job.codes.data();
            const std::ptrdiff_t code_step = job.codes.stride(0);
            const auto first = static_cast<std::uint64_t>(keys * t / used);
            const auto count = static_cast<std::uint64_t>(keys * (t + 1) / used) - first;
            Step* state = states.data() + first;
            unsigned char* started = seen.data() + first;
            std::int64_t mine = 0;
            for (std::int64_t r = 0; r < rows; ++r) {
                Code c;
                std::memcpy(&c, codes + r * code_step, sizeof c);
                const std::uint64_t k = static_cast<std::uint64_t>(static_cast<std::int64_t>(c)) - first;
                if (k >= count) continue;  // another thread's key, or no key's
                ++mine;
                double x[NI], y[NO];
                for (int i = 0; i < NI; ++i) x[i] = read_double(in[i] + r * in_step[i]);
                if (started[k]) {
                    state[k].next(x, y);
                } else {
                    started[k] = 1;
                    state[k].first(x, y);
                }
                for (int o = 0; o < NO; ++o) {
                    if (int_output[o]) {
                        const auto n = static_cast<std::int64_t>(y[o]);
                        std::memcpy(out[o] + r * out_step[o], &n, sizeof n);
                    } else {
                        write_double(out[o] + r * out_step[o], y[o]);
                    }
                }
            }
            done.fetch_add(mine, std::memory_order_relaxed);
        });
        if (done.load() != rows) return false;
    }
    return true;
}

template <class Code>
bool run_rows(Job& job, int threads) {
    switch (job.ind) {
        case Indicator::ema: return run_rows<ema::Step<double>, Code>(job, threads);
        case Indicator::atr: return run_rows<atr::Step<double>, Code>(job, threads);
        case Indicator::adx: return run_rows<adx::Step<double>, Code>(job, threads);
        case Indicator::supertrend: return run_rows<SupertrendLanes<double>, Code>(job, threads);
        default: return true;
    }
}

// Long form, one key at a time (the window indicators): each key's rows are gathered into
// contiguous memory, run through the single-series kernel and scattered back. Items are
// (combo, key), handed out to the threads one by one.
void run_series_items(Job& job, int threads) {
    const std::int64_t keys = job.starts.shape(0) - 1;
    const std::int64_t items = job.combos * keys;
    if (items <= 0 || job.rows == 0) return;
    const int ni = job.sh.inputs, no = job.sh.outputs;
    auto key_start = [&](std::int64_t k) {
        std::int64_t v;
        std::memcpy(&v, job.starts.data() + k * job.starts.stride(0), sizeof v);
        return v;
    };

    // The longest key and the most working memory any item needs.
    std::int64_t longest = 0;
    for (std::int64_t k = 0; k < keys; ++k) longest = std::max(longest, key_start(k + 1) - key_start(k));
    std::int64_t extra = 0;
    for (const ColumnParams& p : job.params) extra = std::max(extra, series_scratch(job.ind, longest, p));
    const int used = static_cast<int>(std::clamp<std::int64_t>(items, 1, threads));
    const std::int64_t per_thread = longest * (ni + no) + extra;
    auto memory = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(per_thread * used));

    std::atomic<std::int64_t> next{0};
    parallel(used, [&, per_thread, keys, items, ni, no](int t) noexcept {
        double* base = memory.get() + per_thread * t;
        const double* in[3];
        double* out[3];
        for (int i = 0; i < ni; ++i) in[i] = base + longest * i;
        for (int o = 0; o < no; ++o) out[o] = base + longest * (ni + o);
        double* scratch = base + longest * (ni + no);
        for (;;) {
            const std::int64_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= items) break;
            const std::int64_t p = item / keys, k = item % keys;
            const std::int64_t first = key_start(k);
            const std::int64_t length = key_start(k + 1) - first;
            // Row j of the key is row(j) of the table.
            auto row = [&](std::int64_t j) {
                std::int64_t r;
                std::memcpy(&r, job.order.data() + (first + j) * job.order.stride(0), sizeof r);
                return r;
            };
            for (int i = 0; i < ni; ++i) {
                const unsigned char* src = job.in[i].data();
                const std::ptrdiff_t step = job.in[i].stride(0);
                double* dst = const_cast<double*>(in[i]);
                for (std::int64_t j = 0; j < length; ++j) std::memcpy(dst + j, src + row(j) * step, sizeof(double));
            }
            run_series(job.ind, in, out, length, job.params[p], scratch);
            for (int o = 0; o < no; ++o) {
                unsigned char* dst = job.out[o].data() + p * job.out[o].stride(1);
                const std::ptrdiff_t step = job.out[o].stride(0);
                for (std::int64_t j = 0; j < length; ++j) std::memcpy(dst + row(j) * step, out[o] + j, sizeof(double));
            }
        }
    });
}

// Rows of `count` neighbouring columns (row j of column k at src + j * step + k * across)
// into count contiguous series, and back.
void gather_rows(const unsigned char* src, std::ptrdiff_t step, std::ptrdiff_t across, std::int64_t rows,
                 int count, double* const* dst) noexcept {
    double* to[8];
    for (int k = 0; k < count; ++k) to[k] = dst[k];
    for (std::int64_t j = 0; j < rows; ++j, src += step) {
        for (int k = 0; k < count; ++k) to[k][j] = read_double(src + k * across);
    }
}
void scatter_rows(double* const* src, std::int64_t rows, int count, unsigned char* dst, std::ptrdiff_t step,
                  std::ptrdiff_t across) noexcept {
    const double* from[8];
    for (int k = 0; k < count; ++k) from[k] = src[k];
    for (std::int64_t j = 0; j < rows; ++j, dst += step) {
        for (int k = 0; k < count; ++k) write_double(dst + k * across, from[k][j]);
    }
}

// Wide form, the window indicators. Where each input's series lie side by side (a C-order
// block) and so do each output's, every thread takes a contiguous share of the columns and
// runs them through the kernels together in the lanes of the widest value type the
// processor has (8, 4, then 2 series; see window_lanes_of), reading the inputs and writing
// the outputs in place. What the lanes leave (an odd series), and every other layout, runs
// in groups of up to 8 neighbouring series handed out to the threads one by one: a group's
// inputs are gathered row by row into contiguous memory, so a row's neighbouring values are
// read once for the whole group instead of once per series, each series runs through the
// single-series kernel, and the outputs are scattered back row by row the same way.
void run_series_wide(Job& job, int threads) {
    const std::int64_t rows = job.rows, series = job.series, columns = job.combos * job.series;
    if (columns <= 0 || rows == 0) return;
    const int ni = job.sh.inputs, no = job.sh.outputs;
    bool side_by_side = true;
    for (int i = 0; i < ni; ++i) side_by_side = side_by_side && job.in[i].stride(1) == sizeof(double);
    for (int o = 0; o < no; ++o) side_by_side = side_by_side && job.out[o].stride(2) == sizeof(double);
    std::int64_t extra = 0, lane_bytes = 0;
    for (const ColumnParams& p : job.params) {
        extra = std::max(extra, series_scratch(job.ind, rows, p));
        if (side_by_side) lane_bytes = std::max(lane_bytes, window_scratch(job.ind, rows, p));
    }
    constexpr std::int64_t group_series = 8;
    // Up to 8 series a gathered group, fewer where their copies would pass 32 MiB a thread.
    constexpr std::int64_t budget = std::int64_t{32} << 20 >> 3;  // doubles
    const std::int64_t per_series = rows * (ni + no);
    const std::int64_t width = std::clamp<std::int64_t>(budget / std::max<std::int64_t>(per_series, 1), 1, group_series);
    // The lanes' shares: whole groups of 8 columns, one share a thread.
    const std::int64_t eights = (columns + group_series - 1) / group_series;
    const std::int64_t groups = (series + group_series - 1) / group_series;
    const std::int64_t items = side_by_side ? eights : job.combos * groups;
    const int used = static_cast<int>(std::clamp<std::int64_t>(items, 1, threads));
    // A thread's memory: the lanes' working memory, then the gathered series and the
    // kernel's own, from a 64-byte boundary.
    const std::int64_t lane_doubles = (lane_bytes + 63) / 64 * 8;
    const std::int64_t per_thread = lane_doubles + (width * per_series + extra + 7) / 8 * 8;
    struct Free {
        void operator()(void* p) const noexcept { ::operator delete(p, std::align_val_t{64}); }
    };
    const std::unique_ptr<void, Free> memory(
        ::operator new(static_cast<std::size_t>(per_thread * used) * sizeof(double), std::align_val_t{64}));
    // The columns as the window lanes take them (where the series lie side by side).
    std::optional<WideColumns> wide;
    if (side_by_side) wide.emplace(job, used, [&job](std::int64_t p) { return static_cast<const void*>(&job.params[p]); });
    const bool avx = avx_usable();
    const bool avx512 = avx512_usable();

    std::atomic<std::int64_t> next{0};
    parallel(used, [&, per_thread, lane_doubles, width, groups, items, eights, ni, no, rows, avx, avx512](int t) noexcept {
        double* const lane_memory = static_cast<double*>(memory.get()) + per_thread * t;
        double* const base = lane_memory + lane_doubles;
        // Series k of a gathered run: input i at base + (k * ni + i) * rows, then every output.
        double* scratch = base + width * per_series;
        // Series [first, last) of combo p, gathered `width` at a time.
        auto gathered = [&](std::int64_t p, std::int64_t first, std::int64_t last) {
            for (; first < last; first += width) {
                const int count = static_cast<int>(std::min(width, last - first));
                double* in_at[3][group_series];
                double* out_at[3][group_series];
                for (int k = 0; k < count; ++k) {
                    for (int i = 0; i < ni; ++i) in_at[i][k] = base + (k * ni + i) * rows;
                    for (int o = 0; o < no; ++o) out_at[o][k] = base + (width * ni + k * no + o) * rows;
                }
                for (int i = 0; i < ni; ++i) {
                    gather_rows(job.in[i].data() + first * job.in[i].stride(1), job.in[i].stride(0),
                                job.in[i].stride(1), rows, count, in_at[i]);
                }
                for (int k = 0; k < count; ++k) {
                    const double* in_k[3] = {in_at[0][k], in_at[1][k], in_at[2][k]};
                    double* out_k[3] = {out_at[0][k], out_at[1][k], out_at[2][k]};
                    run_series(job.ind, in_k, out_k, rows, job.params[p], scratch);
                }
                for (int o = 0; o < no; ++o) {
                    scatter_rows(out_at[o], rows, count,
                                 job.out[o].data() + p * job.out[o].stride(1) + first * job.out[o].stride(2),
                                 job.out[o].stride(0), job.out[o].stride(2));
                }
            }
        };
        if (side_by_side) {
            // This thread's columns, combo by combo (the lanes of a group share parameters).
            const std::int64_t begin = std::min(columns, eights * t / used * group_series);
            const std::int64_t end = std::min(columns, eights * (t + 1) / used * group_series);
            for (std::int64_t c = begin; c < end;) {
                const std::int64_t p = c / series;
                const std::int64_t stop = std::min(end, (p + 1) * series);
                const LaneColumns& b = wide->lanes();
                std::int64_t done = c;
                if (avx512) done = window_lanes_avx512(job.ind, b, done, stop, lane_memory);
                if (avx) done = window_lanes_avx(job.ind, b, done, stop, lane_memory);
                done = window_lanes_of<Lanes2>(job.ind, b, done, stop, lane_memory);
                gathered(p, done - p * series, stop - p * series);
                c = stop;
            }
            return;
        }
        for (;;) {
            const std::int64_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= items) break;
            const std::int64_t p = item / groups, first = item % groups * group_series;
            gathered(p, first, std::min(series, first + group_series));
        }
    });
}

bool warm_block(PyObject* module, PyObject* array);

PyObject* run(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 7) {
            PyErr_SetString(PyExc_TypeError, "run() takes 7 arguments");
            return nullptr;
        }
        Job job;
        job.ind = indicator_of(args[0]);
        job.sh = shape(job.ind);
        PyObject* inputs = args[1];
        PyObject* outputs = args[2];
        job.long_form = args[4] != Py_None;
        const long threads_arg = PyLong_AsLong(args[6]);
        if (threads_arg == -1 && PyErr_Occurred()) throw PythonError{};
        const int threads = static_cast<int>(std::clamp<long>(threads_arg, 1, 1024));
        if (!PyTuple_Check(inputs) || PyTuple_GET_SIZE(inputs) != job.sh.inputs || !PyTuple_Check(outputs) ||
            PyTuple_GET_SIZE(outputs) != job.sh.outputs) {
            PyErr_SetString(PyExc_TypeError, "run(): wrong number of inputs or outputs");
            throw PythonError{};
        }
        const int dims = job.long_form ? 1 : 2;
        for (int i = 0; i < job.sh.inputs; ++i) {
            job.in[i].acquire(PyTuple_GET_ITEM(inputs, i), 'd', dims, false, "input");
            if (i == 0) {
                job.rows = job.in[0].shape(0);
                job.series = job.long_form ? 1 : job.in[0].shape(1);
            } else if (job.in[i].shape(0) != job.rows || (!job.long_form && job.in[i].shape(1) != job.series)) {
                PyErr_SetString(PyExc_ValueError, "run(): inputs differ in shape");
                throw PythonError{};
            }
        }
        View params;
        params.acquire(args[3], 'd', 2, false, "params");
        job.combos = params.shape(0);
        if (params.shape(1) != job.sh.params) {
            PyErr_SetString(PyExc_ValueError, "run(): wrong number of parameters");
            throw PythonError{};
        }
        job.params.resize(static_cast<std::size_t>(job.combos));
        for (std::int64_t p = 0; p < job.combos; ++p) {
            double values[3];
            for (int k = 0; k < job.sh.params; ++k) {
                std::memcpy(&values[k], params.data() + p * params.stride(0) + k * params.stride(1), sizeof(double));
            }
            job.params[p].set(job.ind, values);
            if (job.ind == Indicator::stochastic && job.params[p].ints[0] < 1) {
                raise(PyExc_ValueError, "k_period must be at least 1");
            }
            if (job.ind == Indicator::normalized_t3 && job.params[p].ints[0] < 1) {
                raise(PyExc_ValueError, "period must be at least 1");
            }
        }
        for (int o = 0; o < job.sh.outputs; ++o) {
            const bool integer = job.ind == Indicator::supertrend && o == 1;
            job.int_output[o] = integer;
            job.out[o].acquire(PyTuple_GET_ITEM(outputs, o), integer ? 'q' : 'd', dims + 1, true, "output");
            const bool fits = job.out[o].shape(0) == job.rows && job.out[o].shape(1) == job.combos &&
                              (job.long_form || job.out[o].shape(2) == job.series);
            if (!fits) raise(PyExc_ValueError, "run(): an output does not fit the inputs");
            job.warm_outputs = job.warm_outputs && warm_block(module, PyTuple_GET_ITEM(outputs, o));
        }
        if (job.long_form && PyLong_Check(args[5])) {
            // By codes (the steps' indicators): codes[r] in [0, keys) for every row.
            job.by_codes = true;
            job.keys = PyLong_AsLongLong(args[5]);
            if (job.keys == -1 && PyErr_Occurred()) throw PythonError{};
            job.codes.acquire_codes(args[4], false, "codes");
            if (job.codes.shape(0) != job.rows || job.keys < 0) raise(PyExc_ValueError, "run(): bad codes");
            if (!job.sh.lanes) raise(PyExc_ValueError, "run(): codes serve only the step indicators");
        } else if (job.long_form) {
            job.order.acquire(args[4], 'q', 1, false, "order");
            job.starts.acquire(args[5], 'q', 1, false, "starts");
            if (job.order.shape(0) != job.rows || job.starts.shape(0) < 1) {
                raise(PyExc_ValueError, "run(): order and starts do not fit the inputs");
            }
            if (job.sh.lanes) raise(PyExc_ValueError, "run(): order and starts serve only the window indicators");
            // Every row once, keys in bounds: nothing is read or written outside an array.
            std::vector<bool> seen(static_cast<std::size_t>(job.rows), false);
            std::int64_t previous = 0;
            for (Py_ssize_t k = 0; k < job.starts.shape(0); ++k) {
                std::int64_t v;
                std::memcpy(&v, job.starts.data() + k * job.starts.stride(0), sizeof v);
                if (v < previous || v > job.rows || (k == 0 && v != 0)) raise(PyExc_ValueError, "run(): bad starts");
                previous = v;
            }
            if (previous != job.rows) raise(PyExc_ValueError, "run(): bad starts");
            for (std::int64_t j = 0; j < job.rows; ++j) {
                std::int64_t r;
                std::memcpy(&r, job.order.data() + j * job.order.stride(0), sizeof r);
                if (r < 0 || r >= job.rows || seen[static_cast<std::size_t>(r)]) {
                    raise(PyExc_ValueError, "run(): order is not a permutation of the rows");
                }
                seen[static_cast<std::size_t>(r)] = true;
            }
        }
        if (job.by_codes) {
            const bool fits = job.codes.itemsize() == 4 ? run_rows<std::int32_t>(job, threads)
                                                        : run_rows<std::int64_t>(job, threads);
            if (!fits) raise(PyExc_ValueError, "run(): a code is out of range");
        } else if (!job.long_form && job.sh.lanes) {
            run_lanes(job, threads);
        } else if (!job.long_form) {
            run_series_wide(job, threads);  // the window indicators: float64 outputs only
        } else {
            run_series_items(job, threads);
        }
        Py_RETURN_NONE;
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in batch");
        return nullptr;
    }
}

// group(codes, order, starts): the rows of each key, keys by code, each key's rows in
// their order (a counting sort). codes[r] (int32 or int64) is row r's key in [0, len(starts) - 1).
PyObject* group(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 3) raise(PyExc_TypeError, "group() takes 3 arguments");
        View codes, order, starts;
        codes.acquire_codes(args[0], false, "codes");
        order.acquire(args[1], 'q', 1, true, "order");
        starts.acquire(args[2], 'q', 1, true, "starts");
        const std::int64_t rows = codes.shape(0);
        const std::int64_t keys = starts.shape(0) - 1;
        if (order.shape(0) != rows || keys < 0) raise(PyExc_ValueError, "group(): the arrays do not fit");
        auto put = [](const View& v, std::int64_t k, std::int64_t x) {
            std::memcpy(v.data() + k * v.stride(0), &x, sizeof x);
        };
        auto code = [&codes, wide = codes.itemsize() == 8](std::int64_t r) -> std::int64_t {
            const unsigned char* at = codes.data() + r * codes.stride(0);
            if (wide) {
                std::int64_t c;
                std::memcpy(&c, at, sizeof c);
                return c;
            }
            std::int32_t c;
            std::memcpy(&c, at, sizeof c);
            return c;
        };
        std::vector<std::int64_t> next(static_cast<std::size_t>(keys) + 1, 0);
        for (std::int64_t r = 0; r < rows; ++r) {
            const std::int64_t c = code(r);
            if (c < 0 || c >= keys) raise(PyExc_ValueError, "group(): a code is out of range");
            ++next[static_cast<std::size_t>(c) + 1];
        }
        for (std::int64_t k = 0; k < keys; ++k) next[k + 1] += next[k];
        for (std::int64_t k = 0; k <= keys; ++k) put(starts, k, next[k]);
        for (std::int64_t r = 0; r < rows; ++r) {
            const auto c = static_cast<std::size_t>(code(r));
            put(order, next[c]++, r);
        }
        Py_RETURN_NONE;
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The memory of a large result (blocks.hpp), for NumPy to view through the buffer protocol:
// np.frombuffer holds the object, so the block goes back when the last array viewing it is
// freed. Traced by tracemalloc like NumPy's own buffers.
struct BlockObject {
    PyObject_HEAD
    Block block;
    Py_ssize_t bytes;  // asked for; the buffer's length
};

constexpr unsigned int trace_domain = 0x76616e74;  // "vant"

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    return PyBuffer_FillInfo(view, self, b->block.data, b->bytes, 0, flags);
}

void block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    PyTraceMalloc_Untrack(trace_domain, reinterpret_cast<std::uintptr_t>(b->block.data));
    give_block(b->block);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The memory of a result, given back to be kept for a later call when freed.")},
    {0, nullptr},
};

PyType_Spec block_spec = {"vantrel.indicators.batch._lanes.Block", sizeof(BlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          block_slots};

struct ModuleState {
    PyObject* block_type;
};

ModuleState* state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Whether `array` views a kept block (following its bases, as NumPy records them: a view's
// base is the array it views, np.frombuffer's the block), which tells the lane loops that
// its pages are most likely in place.
bool warm_block(PyObject* module, PyObject* array) {
    auto* type = reinterpret_cast<PyTypeObject*>(state(module)->block_type);
    PyObject* at = Py_NewRef(array);
    for (int depth = 0; depth < 8 && at != Py_None; ++depth) {
        if (Py_TYPE(at) == type) {
            const bool warm = reinterpret_cast<BlockObject*>(at)->block.warm;
            Py_DECREF(at);
            return warm;
        }
        PyObject* base = PyObject_GetAttrString(at, "base");
        Py_DECREF(at);
        if (base == nullptr) {
            PyErr_Clear();
            return false;
        }
        at = base;
    }
    Py_DECREF(at);
    return false;
}

// block(nbytes): writable memory of nbytes bytes for one result, whose contents are
// unspecified (the caller writes every byte before reading any).
PyObject* block(PyObject* module, PyObject* arg) {
    const Py_ssize_t bytes = PyLong_AsSsize_t(arg);
    if (bytes == -1 && PyErr_Occurred()) return nullptr;
    if (bytes < 0) {
        PyErr_SetString(PyExc_ValueError, "block(): negative size");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state(module)->block_type);
    auto* self = reinterpret_cast<BlockObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->block = take_block(static_cast<std::size_t>(bytes));
    self->bytes = bytes;
    if (!self->block.data) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    PyTraceMalloc_Track(trace_domain, reinterpret_cast<std::uintptr_t>(self->block.data),
                        static_cast<std::size_t>(bytes));
    return reinterpret_cast<PyObject*>(self);
}

PyObject* has_avx(PyObject*, PyObject*) { return PyBool_FromLong(avx_usable()); }

// The single-series functions' own conversions of a parameter, so that a grid's values are
// converted, and refused, exactly as the functions convert and refuse them.
PyObject* to_int32_value(PyObject*, PyObject* value) {
    try {
        return PyLong_FromLong(to_int32(value));
    } catch (const PythonError&) {
        return nullptr;
    }
}

PyObject* to_double_value(PyObject*, PyObject* value) {
    try {
        return PyFloat_FromDouble(to_double(value));
    } catch (const PythonError&) {
        return nullptr;
    }
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     "run(indicator, inputs, outputs, params, order, starts, threads): fill the outputs."},
    {"group", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group)), METH_FASTCALL,
     "group(codes, order, starts): the rows of each key, in order."},
    {"factorize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factorize)), METH_FASTCALL,
     "factorize(keys, codes, threads): number each row's key; returns the number of keys."},
    {"factorize_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factorize_arrow)), METH_FASTCALL,
     "factorize_arrow(chunks, codes, threads): number each row's key of Arrow string chunks; returns the number of keys."},
    {"block", block, METH_O, "block(nbytes): writable memory for one result, kept for a later call when freed."},
    {"has_avx", has_avx, METH_NOARGS, "Whether the four-lane loops run on this processor."},
    {"to_int32", to_int32_value, METH_O, "to_int32(value): an integer parameter, as the functions convert it."},
    {"to_double", to_double_value, METH_O, "to_double(value): a real parameter, as the functions convert it."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &block_spec, nullptr);
    if (!type) return -1;
    state(module)->block_type = type;
    if (PyModule_AddObjectRef(module, "Block", type) < 0) return -1;
    if (PyModule_AddIntConstant(module, "BLOCK_MIN", static_cast<long>(block_min_bytes)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STREAM_MIN", static_cast<long>(stream_min_bytes)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "SHARED_STREAM_MIN", static_cast<long>(shared_stream_min_bytes)) < 0) {
        return -1;
    }
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state(module)->block_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state(module)->block_type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_lanes", "The compiled loops of vantrel.indicators.batch.", sizeof(ModuleState), methods,
    slots, traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace vi::batch

PyMODINIT_FUNC PyInit__lanes(void) { return PyModuleDef_Init(&vi::batch::module_def); }
