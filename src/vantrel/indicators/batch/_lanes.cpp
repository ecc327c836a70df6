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
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "batch/columns.hpp"
#include "framework/framework.hpp"

namespace vi::batch {

#if !VI_BATCH_AVX
std::int64_t lane_loop_avx(Indicator, const LaneColumns&, std::int64_t begin, std::int64_t) noexcept {
    return begin;
}
bool avx_usable() noexcept { return false; }
#else
bool avx_usable() noexcept { return __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma"); }
#endif

namespace {

// A buffer view held for the call.
class View {
public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    // `item`: 'd' (float64) or 'q' (int64); `ndim`: the dimensions expected.
    void acquire(PyObject* o, char item, int ndim, bool writable, const char* what) {
        check_status(PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)));
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool integer = item == 'q' && (f[0] == 'q' || (f[0] == 'l' && sizeof(long) == 8));
        if (view_.ndim != ndim || view_.itemsize != 8 || !(f[0] == item || integer) || f[1] != '\0') {
            PyErr_Format(PyExc_ValueError, "%s: expected a %d-dimensional %s buffer", what, ndim,
                         item == 'd' ? "float64" : "int64");
            throw PythonError{};
        }
    }
    Py_ssize_t shape(int k) const noexcept { return view_.shape[k]; }
    std::ptrdiff_t stride(int k) const noexcept { return view_.strides[k]; }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    const char* format() const noexcept { return view_.format ? view_.format : "B"; }

private:
    Py_buffer view_{};
};

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

// Runs fn(t) for t = 0 .. threads - 1, t = 0 on this thread, the others on native threads
// (none started when threads is 1), the interpreter lock released throughout.
template <class Fn>
void parallel(int threads, Fn fn) {
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(threads - 1));
    PyThreadState* state = PyEval_SaveThread();
    try {
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
    std::vector<ColumnParams> params;
    View order, starts;
    bool long_form = false;
};

// Wide form, lane loop: one column per (combo, series).
void run_lanes(Job& job, int threads) {
    const std::int64_t columns = job.combos * job.series;
    if (columns == 0 || job.rows == 0) return;
    const int ni = job.sh.inputs, no = job.sh.outputs;
    std::vector<const unsigned char*> in(static_cast<std::size_t>(columns * ni));
    std::vector<unsigned char*> out(static_cast<std::size_t>(columns * no));
    std::vector<const void*> params(static_cast<std::size_t>(columns));
    for (std::int64_t p = 0; p < job.combos; ++p) {
        for (std::int64_t s = 0; s < job.series; ++s) {
            const std::int64_t c = p * job.series + s;
            for (int i = 0; i < ni; ++i) in[c * ni + i] = job.in[i].data() + s * job.in[i].stride(1);
            for (int o = 0; o < no; ++o) {
                out[c * no + o] = job.out[o].data() + p * job.out[o].stride(1) + s * job.out[o].stride(2);
            }
            params[c] = job.params[p].step_params(job.ind);
        }
    }
    LaneColumns b{};
    b.rows = job.rows;
    b.inputs = ni;
    b.outputs = no;
    for (int i = 0; i < ni; ++i) b.in_step[i] = job.in[i].stride(0);
    for (int o = 0; o < no; ++o) {
        b.out_step[o] = job.out[o].stride(0);
        b.int_output[o] = job.int_output[o];
    }
    b.in = in.data();
    b.out = out.data();
    b.params = params.data();

    // Contiguous shares of whole tiles (16 columns), one per thread.
    constexpr std::int64_t tile = 16;
    const std::int64_t tiles = (columns + tile - 1) / tile;
    const int used = static_cast<int>(std::clamp<std::int64_t>(tiles, 1, threads));
    const bool avx = avx_usable();
    const Indicator ind = job.ind;
    parallel(used, [&b, avx, ind, tiles, used, columns](int t) noexcept {
        const std::int64_t begin = std::min(columns, tiles * t / used * tile);
        const std::int64_t end = std::min(columns, tiles * (t + 1) / used * tile);
        std::int64_t c = avx ? lane_loop_avx(ind, b, begin, end) : begin;
        switch (ind) {
            case Indicator::ema:
                c = lane_loop<ema::Step<Lanes2>, Lanes2, 4>(b, c, end);
                lane_loop<ema::Step<double>, double, 4>(b, c, end);
                break;
            case Indicator::atr:
                c = lane_loop<atr::Step<Lanes2>, Lanes2, 4>(b, c, end);
                lane_loop<atr::Step<double>, double, 4>(b, c, end);
                break;
            case Indicator::adx:
                c = lane_loop<adx::Step<Lanes2>, Lanes2, 2>(b, c, end);
                lane_loop<adx::Step<double>, double, 2>(b, c, end);
                break;
            case Indicator::supertrend:
                c = lane_loop<SupertrendLanes<Lanes2>, Lanes2, 2>(b, c, end);
                lane_loop<SupertrendLanes<double>, double, 2>(b, c, end);
                break;
            default: break;
        }
    });
}

// One series at a time: gathered into contiguous memory, run through the single-series
// kernel, scattered back. Items are (combo, series) in the wide form and (combo, key) in
// the long form, handed out to the threads one by one.
void run_series_items(Job& job, int threads) {
    const std::int64_t units = job.long_form ? job.starts.shape(0) - 1 : job.series;
    const std::int64_t items = job.combos * units;
    if (items <= 0 || job.rows == 0) return;
    const int ni = job.sh.inputs, no = job.sh.outputs;
    const auto* starts = reinterpret_cast<const std::int64_t*>(job.starts.data());
    const auto* order = reinterpret_cast<const std::int64_t*>(job.order.data());
    const std::ptrdiff_t starts_step = job.long_form ? job.starts.stride(0) : 0;
    const std::ptrdiff_t order_step = job.long_form ? job.order.stride(0) : 0;
    auto key_start = [&](std::int64_t k) {
        std::int64_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char*>(starts) + k * starts_step, sizeof v);
        return v;
    };

    // The longest series and the most working memory any item needs.
    std::int64_t longest = job.rows;
    if (job.long_form) {
        longest = 0;
        for (std::int64_t k = 0; k < units; ++k) longest = std::max(longest, key_start(k + 1) - key_start(k));
    }
    std::int64_t extra = 0;
    for (const ColumnParams& p : job.params) extra = std::max(extra, series_scratch(job.ind, longest, p));
    const int used = static_cast<int>(std::clamp<std::int64_t>(items, 1, threads));
    const std::int64_t per_thread = longest * (ni + no) + longest + extra;  // + int64 direction
    auto memory = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(per_thread * used));

    std::atomic<std::int64_t> next{0};
    parallel(used, [&, per_thread, units, items, ni, no, order, order_step](int t) noexcept {
        double* base = memory.get() + per_thread * t;
        const double* in[3];
        double* out[3];
        for (int i = 0; i < ni; ++i) in[i] = base + longest * i;
        for (int o = 0; o < no; ++o) out[o] = base + longest * (ni + o);
        auto* direction = reinterpret_cast<std::int64_t*>(base + longest * (ni + no));
        double* scratch = base + longest * (ni + no + 1);
        for (;;) {
            const std::int64_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= items) break;
            const std::int64_t p = item / units, u = item % units;
            // Byte offsets of the item's rows: row j is at in_at(j) in every input.
            const std::int64_t first = job.long_form ? key_start(u) : 0;
            const std::int64_t length = job.long_form ? key_start(u + 1) - first : job.rows;
            auto row = [&](std::int64_t j) {
                if (!job.long_form) return j;
                std::int64_t r;
                std::memcpy(&r, reinterpret_cast<const unsigned char*>(order) + (first + j) * order_step, sizeof r);
                return r;
            };
            for (int i = 0; i < ni; ++i) {
                const unsigned char* src = job.in[i].data() + (job.long_form ? 0 : u * job.in[i].stride(1));
                const std::ptrdiff_t step = job.in[i].stride(0);
                double* dst = const_cast<double*>(in[i]);
                for (std::int64_t j = 0; j < length; ++j) std::memcpy(dst + j, src + row(j) * step, sizeof(double));
            }
            run_series(job.ind, in, out, direction, length, job.params[p], scratch);
            for (int o = 0; o < no; ++o) {
                unsigned char* dst = job.out[o].data() + p * job.out[o].stride(1) +
                                     (job.long_form ? 0 : u * job.out[o].stride(2));
                const std::ptrdiff_t step = job.out[o].stride(0);
                const void* src = job.int_output[o] ? static_cast<const void*>(direction) : out[o];
                const auto* bytes = static_cast<const unsigned char*>(src);
                for (std::int64_t j = 0; j < length; ++j) std::memcpy(dst + row(j) * step, bytes + 8 * j, 8);
            }
        }
    });
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
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
        }
        if (job.long_form) {
            job.order.acquire(args[4], 'q', 1, false, "order");
            job.starts.acquire(args[5], 'q', 1, false, "starts");
            if (job.order.shape(0) != job.rows || job.starts.shape(0) < 1) {
                raise(PyExc_ValueError, "run(): order and starts do not fit the inputs");
            }
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
        if (!job.long_form && job.sh.lanes) {
            run_lanes(job, threads);
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
// their order (a counting sort). codes[r] is row r's key in [0, len(starts) - 1).
PyObject* group(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 3) raise(PyExc_TypeError, "group() takes 3 arguments");
        View codes, order, starts;
        codes.acquire(args[0], 'q', 1, false, "codes");
        order.acquire(args[1], 'q', 1, true, "order");
        starts.acquire(args[2], 'q', 1, true, "starts");
        const std::int64_t rows = codes.shape(0);
        const std::int64_t keys = starts.shape(0) - 1;
        if (order.shape(0) != rows || keys < 0) raise(PyExc_ValueError, "group(): the arrays do not fit");
        auto at = [](const View& v, std::int64_t k) {
            std::int64_t x;
            std::memcpy(&x, v.data() + k * v.stride(0), sizeof x);
            return x;
        };
        auto put = [](const View& v, std::int64_t k, std::int64_t x) {
            std::memcpy(v.data() + k * v.stride(0), &x, sizeof x);
        };
        std::vector<std::int64_t> next(static_cast<std::size_t>(keys) + 1, 0);
        for (std::int64_t r = 0; r < rows; ++r) {
            const std::int64_t c = at(codes, r);
            if (c < 0 || c >= keys) raise(PyExc_ValueError, "group(): a code is out of range");
            ++next[static_cast<std::size_t>(c) + 1];
        }
        for (std::int64_t k = 0; k < keys; ++k) next[k + 1] += next[k];
        for (std::int64_t k = 0; k <= keys; ++k) put(starts, k, next[k]);
        for (std::int64_t r = 0; r < rows; ++r) {
            const auto c = static_cast<std::size_t>(at(codes, r));
            put(order, next[c]++, r);
        }
        Py_RETURN_NONE;
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* has_avx(PyObject*, PyObject*) { return PyBool_FromLong(avx_usable()); }

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     "run(indicator, inputs, outputs, params, order, starts, threads): fill the outputs."},
    {"group", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group)), METH_FASTCALL,
     "group(codes, order, starts): the rows of each key, in order."},
    {"has_avx", has_avx, METH_NOARGS, "Whether the four-lane loops run on this processor."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_lanes", "The compiled loops of vantrel.indicators.batch.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vi::batch

PyMODINIT_FUNC PyInit__lanes(void) { return PyModuleDef_Init(&vi::batch::module_def); }
