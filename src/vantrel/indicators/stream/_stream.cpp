// vantrel.indicators.stream._stream: the indicators one bar at a time.
//
// One class per indicator, each a state of stream/states.hpp behind the same Python
// surface: update / peek / update_many / value / count / copy / reset / pickling / repr.
// After bars 0..i, the value for bar i is row i of the single-series function on those
// bars, bit for bit, however the bars were split between update and update_many.
//
// Threads: every method that reads or writes the state holds the object's lock; no Python
// code runs while it is held (arguments are converted before, results built after). With
// the interpreter lock (a GIL build) the lock is a flag that only update_many's unlocked
// stretch can find set; without it (a free-threaded build) an atomic compare-exchange.
// Either way a waiter sleeps without the interpreter, so nothing deadlocks.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "framework/framework.hpp"
#include "stream/states.hpp"

namespace vi::stream {
namespace {

// ---------------------------------------------------------------------------
// The per-object lock: 0 free, 1 held, 2 held with waiters.
//
// VI_ATOMIC_LOCK=1 takes the free-threaded build's form on a GIL build too, so that the
// sanitizer job compiles and runs it where no free-threaded interpreter is at hand.
#ifndef VI_ATOMIC_LOCK
#ifdef Py_GIL_DISABLED
#define VI_ATOMIC_LOCK 1
#else
#define VI_ATOMIC_LOCK 0
#endif
#endif

class Lock {
public:
    void lock() {
#if VI_ATOMIC_LOCK
        int expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
#else
        // The interpreter lock orders these plain accesses: only a holder that let the
        // interpreter go (update_many) can be seen here.
        if (state_.load(std::memory_order_relaxed) == 0) {
            state_.store(1, std::memory_order_relaxed);
            return;
        }
#endif
        wait();
    }
    void unlock() {
#if VI_ATOMIC_LOCK
        if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_all();
#else
        const int was = state_.load(std::memory_order_relaxed);
        state_.store(0, std::memory_order_release);
        if (was == 2) state_.notify_all();  // a waiter sleeps without the interpreter lock
#endif
    }

private:
    // Sleeps with the interpreter released until the lock is free, then takes it.
    void wait() {
#if VI_ATOMIC_LOCK
        Py_BEGIN_ALLOW_THREADS;
        while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2, std::memory_order_relaxed);
        Py_END_ALLOW_THREADS;
#else
        // Under the interpreter lock every access but the sleep itself: announce the waiter,
        // sleep until the holder (which unlocks under the interpreter lock too) clears it.
        do {
            state_.store(2, std::memory_order_relaxed);
            Py_BEGIN_ALLOW_THREADS;
            state_.wait(2, std::memory_order_acquire);
            Py_END_ALLOW_THREADS;
        } while (state_.load(std::memory_order_relaxed) != 0);
        state_.store(1, std::memory_order_relaxed);
#endif
    }
    std::atomic<int> state_{0};
};

class Held {
public:
    explicit Held(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~Held() { lock_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Lock& lock_;
};

// ---------------------------------------------------------------------------
// The row object that update and peek return, recycled once its caller lets go of it.
//
// A loop that calls update() bar after bar drops each result before the next call, so the
// reference kept here is then the only one: the tuple (or the float of a one-output class)
// is refilled in place instead of being freed and allocated again, the reuse that CPython's
// own zip() and enumerate() make of their result tuples. A float that the caller took out
// of the tuple has a second reference and is replaced, not refilled, so no object the caller
// holds ever changes value. No Python code can run between the test of the reference count
// and the return (refilling a float or taking a small int allocates nothing that the cyclic
// collector counts). Free-threaded builds always allocate: there a count of 1 seen by one
// thread does not prove that no other thread holds the object.

class Recycled {
public:
    Recycled() noexcept = default;
    Recycled(const Recycled&) = delete;
    Recycled& operator=(const Recycled&) = delete;
    ~Recycled() { Py_XDECREF(last_); }

    // The tuple of `n` values (the int_output-th an int), or the float of out[0] when n == 1.
    PyObject* row(const double* out, int n, int int_output) {
#ifndef Py_GIL_DISABLED
        if (last_ != nullptr && Py_REFCNT(last_) == 1) {
            if (n == 1) {
                refill(last_, out[0]);
                return Py_NewRef(last_);
            }
            for (int o = 0; o < n; ++o) {
                PyObject* item = PyTuple_GET_ITEM(last_, o);
                if (o == int_output) {
                    PyObject* v = check(PyLong_FromLong(static_cast<long>(out[o]))).release();
                    PyTuple_SET_ITEM(last_, o, v);
                    Py_DECREF(item);
                } else if (Py_REFCNT(item) == 1) {
                    refill(item, out[o]);
                } else {
                    PyTuple_SET_ITEM(last_, o, check(PyFloat_FromDouble(out[o])).release());
                    Py_DECREF(item);  // the caller's now
                }
            }
            return Py_NewRef(last_);
        }
#endif
        Ref fresh = fresh_row(out, n, int_output);
#ifndef Py_GIL_DISABLED
        Py_XSETREF(last_, Py_NewRef(fresh.get()));
#endif
        return fresh.release();
    }

    // A new object, never recycled (value, whose results callers may keep for long).
    static Ref fresh_row(const double* out, int n, int int_output) {
        auto item = [&](int o) {
            return o == int_output ? PyLong_FromLong(static_cast<long>(out[o])) : PyFloat_FromDouble(out[o]);
        };
        if (n == 1) return check(item(0));
        Ref tuple = check(PyTuple_New(n));
        for (int o = 0; o < n; ++o) PyTuple_SET_ITEM(tuple.get(), o, check(item(o)).release());
        return tuple;
    }

private:
    static void refill(PyObject* exact_float, double v) noexcept {
        reinterpret_cast<PyFloatObject*>(exact_float)->ob_fval = v;
    }
    PyObject* last_ = nullptr;
};

// ---------------------------------------------------------------------------
// The classes as data.

enum class Result { series, frame, frame_with_index };

struct EmaKind {
    using State = Ema;
    static constexpr const char* name = "EMA";
    static constexpr Param params[] = {integer("period")};
    static constexpr Param inputs[] = {input("src")};
    static constexpr const char* columns[] = {"EMA"};
    static constexpr Result result = Result::series;
    static State make(const double* p) { return State(static_cast<int>(p[0])); }
    static void check(const double*) {}
};

struct StochasticKind {
    using State = Stochastic;
    static constexpr const char* name = "STOCHASTIC";
    static constexpr Param params[] = {integer("k_period", 14), integer("d_period", 3)};
    static constexpr Param inputs[] = {input("high"), input("low"), input("close")};
    static constexpr const char* columns[] = {"%K", "%D"};
    static constexpr Result result = Result::frame_with_index;
    static State make(const double* p) { return State(static_cast<int>(p[0]), static_cast<int>(p[1])); }
    static void check(const double* p) {
        if (p[0] < 1) raise(PyExc_ValueError, "k_period must be at least 1");
    }
};

struct AdxKind {
    using State = Adx;
    static constexpr const char* name = "ADX";
    static constexpr Param params[] = {integer("di_length", 14), integer("adx_smoothing", 14)};
    static constexpr Param inputs[] = {input("high"), input("low"), input("close")};
    static constexpr const char* columns[] = {"Plus_DI", "Minus_DI", "ADX"};
    static constexpr Result result = Result::frame;
    static State make(const double* p) { return State(static_cast<int>(p[0]), static_cast<int>(p[1])); }
    static void check(const double*) {}
};

struct SupertrendKind {
    using State = Supertrend;
    static constexpr const char* name = "SUPERTREND";
    static constexpr Param params[] = {integer("period", 10), real("multiplier", 3.0)};
    static constexpr Param inputs[] = {input("high"), input("low"), input("close")};
    static constexpr const char* columns[] = {"Supertrend", "Direction"};
    static constexpr Result result = Result::frame;
    static constexpr int int_output = 1;  // Direction
    static State make(const double* p) { return State(static_cast<int>(p[0]), p[1]); }
    static void check(const double*) {}
};

struct NormalizedT3Kind {
    using State = NormalizedT3;
    static constexpr const char* name = "NORMALIZED_T3";
    static constexpr Param params[] = {integer("period", 200), integer("t3_period", 2), real("volume_factor", 0.7)};
    static constexpr Param inputs[] = {input("src")};
    static constexpr const char* columns[] = {"Normalized T3 Oscillator"};
    static constexpr Result result = Result::series;
    static State make(const double* p) {
        return State(static_cast<int>(p[0]), static_cast<int>(p[1]), p[2]);
    }
    static void check(const double* p) {
        if (!(p[2] > 0.0 && p[2] <= 1.0)) raise(PyExc_ValueError, "Volume factor must be between 0 and 1");
        if (p[0] < 1) raise(PyExc_ValueError, "period must be at least 1");
    }
};

struct AtrKind {
    using State = Atr;
    static constexpr const char* name = "ATR";
    static constexpr Param params[] = {integer("period", 14)};
    static constexpr Param inputs[] = {input("high"), input("low"), input("close")};
    static constexpr const char* columns[] = {"ATR"};
    static constexpr Result result = Result::series;
    static State make(const double* p) { return State(static_cast<int>(p[0])); }
    static void check(const double*) {}
};

template <class K>
constexpr int int_output_of() {
    if constexpr (requires { K::int_output; }) {
        return K::int_output;
    } else {
        return -1;
    }
}

// ---------------------------------------------------------------------------
// The object.

template <class K>
struct Object {
    using State = typename K::State;
    static constexpr int NP = static_cast<int>(std::size(K::params));
    static constexpr int NI = State::inputs;
    static constexpr int NO = State::outputs;
    static constexpr int int_output = int_output_of<K>();

    PyObject_HEAD
    Lock lock;
    Recycled recycled;  // the last row returned (see Recycled)
    std::int64_t count;
    double config[NP];  // the converted parameters (an int32 is exact in a double)
    double last[NO];    // the outputs of the last bar
    State state;
};

// What each class needs at run time: its type, interned names and the argument tables
// of its methods (the names in their TypeErrors).
template <class K>
struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline PyObject* param_names[max_params] = {};
    static inline PyObject* input_names[3] = {};
    static inline PyObject* columns[3] = {};
    static inline std::string method_names[3];  // "EMA.update", "EMA.peek", "EMA.update_many"
    static inline FunctionDef new_def{K::name, nullptr, K::params, nullptr, nullptr, 0};
    static inline FunctionDef method_defs[3] = {};
};

template <class K>
Object<K>* as_object(PyObject* self) noexcept {
    return reinterpret_cast<Object<K>*>(self);
}

// Nothing C++ escapes into CPython.
template <class Fn>
PyObject* boundary(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a stream object");
        return nullptr;
    }
}

template <class K>
Ref new_object(PyTypeObject* type, const double* config) {
    using O = Object<K>;
    typename K::State state = K::make(config);
    Ref self = check(type->tp_alloc(type, 0));
    O* o = as_object<K>(self.get());
    new (&o->lock) Lock();
    new (&o->recycled) Recycled();
    new (&o->state) typename K::State(std::move(state));
    o->count = 0;
    std::memcpy(o->config, config, sizeof o->config);
    for (double& v : o->last) v = warm_up_nan;
    return self;
}

template <class K>
void object_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using State = typename K::State;
    Object<K>* o = as_object<K>(self);
    o->state.~State();
    o->recycled.~Recycled();
    o->lock.~Lock();
    type->tp_free(self);
    Py_DECREF(type);
}

// K(params...): converted and checked as the single-series function converts and checks them.
template <class K>
PyObject* object_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        using C = Class<K>;
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        PyObject* flat[max_params * 2];
        if (nargs + nkw > max_params * 2) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments", K::name, Object<K>::NP);
            throw PythonError{};
        }
        for (Py_ssize_t k = 0; k < nargs; ++k) flat[k] = PyTuple_GET_ITEM(args, k);
        Ref kwnames;
        if (nkw > 0) {
            kwnames = check(PyTuple_New(nkw));
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
                flat[nargs + k++] = value;
            }
        }
        PyObject* bound[max_params];
        bind_arguments(C::new_def, C::param_names, flat, nargs, kwnames.get(), bound);
        Call call(nullptr, C::new_def, bound);
        double config[Object<K>::NP];
        for (int i = 0; i < Object<K>::NP; ++i) {
            config[i] = K::params[i].kind == Kind::Int ? call.int32(i) : call.real(i);
        }
        K::check(config);
        return new_object<K>(type, config).release();
    });
}

// A price of update/peek: an exact float read in place here, anything else converted as a
// function's float parameter is.
inline double price(PyObject* o) { return PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : to_double(o); }

// The bar of update/peek: the values as doubles, bound like a function call's arguments.
template <class K>
void bar_values(int method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, double* in) {
    using C = Class<K>;
    constexpr int NI = Object<K>::NI;
    if (kwnames == nullptr && nargs == NI) {
        for (int k = 0; k < NI; ++k) in[k] = price(args[k]);
        return;
    }
    PyObject* bound[max_params];
    bind_arguments(C::method_defs[method], C::input_names, args, nargs, kwnames, bound);
    for (int k = 0; k < NI; ++k) in[k] = price(bound[k]);
}

template <class K>
PyObject* object_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        double in[Object<K>::NI];
        double out[Object<K>::NO];
        bar_values<K>(0, args, nargs, kwnames, in);
        {
            Held held(o->lock);
            o->state.advance(o->count, in, out);
            ++o->count;
            std::memcpy(o->last, out, sizeof out);
        }
        return o->recycled.row(out, Object<K>::NO, Object<K>::int_output);
    });
}

template <class K>
PyObject* object_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        double in[Object<K>::NI];
        double out[Object<K>::NO];
        bar_values<K>(1, args, nargs, kwnames, in);
        {
            Held held(o->lock);
            o->state.peek(o->count, in, out);
        }
        return o->recycled.row(out, Object<K>::NO, Object<K>::int_output);
    });
}

// The bars [0, n) of the inputs through the state, from bar `first` on.
#if defined(__GNUC__) || defined(__clang__)
#define VI_STREAM_INLINE __attribute__((always_inline)) inline
#else
#define VI_STREAM_INLINE inline
#endif

template <class K>
VI_STREAM_INLINE void run_bars(typename K::State& kept, std::int64_t first, std::int64_t n, const Raw<const double>* in,
              unsigned char* const* out, const std::ptrdiff_t* out_step, double* last) {
    constexpr int NI = Object<K>::NI, NO = Object<K>::NO;
    using State = typename K::State;
    // A small state is advanced in a local copy, which no output store can alias, so that it
    // stays in registers.
    constexpr bool local = std::is_trivially_copyable_v<State>;
    std::conditional_t<local, State, State&> state = kept;
    // The addresses too: stores through bytes could alias them.
    const unsigned char* in_at[NI];
    std::ptrdiff_t in_step[NI];
    unsigned char* out_at[NO];
    std::ptrdiff_t out_by[NO];
    for (int k = 0; k < NI; ++k) {
        in_at[k] = reinterpret_cast<const unsigned char*>(in[k].data);
        in_step[k] = in[k].step;
    }
    for (int o = 0; o < NO; ++o) {
        out_at[o] = out[o];
        out_by[o] = out_step[o];
    }
    double x[NI];
    double y[NO];
    for (std::int64_t t = 0; t < n; ++t) {
        for (int k = 0; k < NI; ++k) x[k] = read_double(in_at[k] + t * in_step[k]);
        state.advance(first + t, x, y);
        for (int o = 0; o < NO; ++o) {
            if (o == Object<K>::int_output) {
                const auto v = static_cast<std::int64_t>(y[o]);
                std::memcpy(out_at[o] + t * out_by[o], &v, sizeof v);
            } else {
                write_double(out_at[o] + t * out_by[o], y[o]);
            }
        }
    }
    if (n > 0) std::memcpy(last, y, sizeof y);
    if constexpr (local) kept = state;
}

// ATR's step takes one fused multiply-add per bar: on x86 with GCC or Clang the loop of the
// states that hold it is compiled a second time for the FMA instruction and that copy is
// taken when the processor has it (std::fma elsewhere: the same bits, slower).
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VI_STREAM_FMA 1
template <class K>
__attribute__((target("fma"))) void run_bars_fma(typename K::State& kept, std::int64_t first, std::int64_t n,
                                                 const Raw<const double>* in, unsigned char* const* out,
                                                 const std::ptrdiff_t* out_step, double* last) {
    run_bars<K>(kept, first, n, in, out, out_step, last);
}
#else
#define VI_STREAM_FMA 0
#endif

template <class K>
void run_bars_best(typename K::State& kept, std::int64_t first, std::int64_t n, const Raw<const double>* in,
                   unsigned char* const* out, const std::ptrdiff_t* out_step, double* last) {
#if VI_STREAM_FMA
    if constexpr (std::is_same_v<typename K::State, Atr> || std::is_same_v<typename K::State, Supertrend>) {
        if (__builtin_cpu_supports("fma")) return run_bars_fma<K>(kept, first, n, in, out, out_step, last);
    }
#endif
    run_bars<K>(kept, first, n, in, out, out_step, last);
}

// States that take many bars at once (the window indicators, through the single-series
// window passes) instead of one bar after another.
template <class State>
concept TakesMany = requires(State& s) { s.scratch(std::int64_t{0}); };

template <class K>
void many_bars(typename K::State& state, std::int64_t first, std::int64_t n, const Raw<const double>* in,
               const Raw<double>* out, double* scratch, double* last) {
    constexpr int NI = Object<K>::NI, NO = Object<K>::NO;
    if constexpr (NI == 3 && NO == 3) {
        dispatch([&](auto h, auto l, auto c, auto p, auto m, auto a) { state.advance_many(first, n, h, l, c, p, m, a, scratch); },
                 in[0], in[1], in[2], out[0], out[1], out[2]);
    } else if constexpr (NI == 3 && NO == 2) {
        dispatch([&](auto h, auto l, auto c, auto k, auto d) { state.advance_many(first, n, h, l, c, k, d, scratch); },
                 in[0], in[1], in[2], out[0], out[1]);
    } else {
        static_assert(NI == 1 && NO == 1);
        dispatch([&](auto src, auto o) { state.advance_many(first, n, src, o, scratch); }, in[0], out[0]);
    }
    if (n == 0) return;
    for (int k = 0; k < NO; ++k) {
        last[k] = read_double(reinterpret_cast<const unsigned char*>(out[k].data) + (n - 1) * out[k].step);
    }
}

template <class K>
PyObject* object_update_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        using C = Class<K>;
        using O = Object<K>;
        O* o = as_object<K>(self);
        PyObject* bound[max_params];
        bind_arguments(C::method_defs[2], C::input_names, args, nargs, kwnames, bound);
        Call call(PyType_GetModule(Py_TYPE(self)), C::method_defs[2], bound);

        // Input coercion as the single-series function does it, lengths checked alike.
        Ref index;
        std::array<Series, 3> inputs;
        if constexpr (O::NI == 1) {
            inputs[0] = std::move(call.coerce<1>({0}, index)[0]);
        } else {
            inputs = coerce_high_low_close(call, index);
        }
        const Py_ssize_t length = inputs[0].size();
        Output<double> real_out[O::NO];
        Output<std::int64_t> int_out;
        unsigned char* out_at[O::NO];
        std::ptrdiff_t out_step[O::NO];
        for (int k = 0; k < O::NO; ++k) {
            if (k == O::int_output) {
                int_out = call.empty_int64(length);
                out_at[k] = reinterpret_cast<unsigned char*>(int_out.raw().data);
                out_step[k] = int_out.raw().step;
            } else {
                real_out[k] = call.empty(length);
                out_at[k] = reinterpret_cast<unsigned char*>(real_out[k].raw().data);
                out_step[k] = real_out[k].raw().step;
            }
        }
        Raw<const double> in[O::NI];
        for (int k = 0; k < O::NI; ++k) in[k] = inputs[k].raw();
        {
            Held held(o->lock);
            // Storage for every bar first (it may fail): the pass itself allocates nothing.
            o->state.reserve(o->count + length);
            if constexpr (TakesMany<typename K::State>) {
                const std::int64_t size = o->state.scratch(length);
                auto scratch = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(size > 0 ? size : 1));
                Raw<double> outs[O::NO];
                for (int k = 0; k < O::NO; ++k) outs[k] = real_out[k].raw();
                run_pass(length, [&] { many_bars<K>(o->state, o->count, length, in, outs, scratch.get(), o->last); });
            } else {
                run_pass(length, [&] { run_bars_best<K>(o->state, o->count, length, in, out_at, out_step, o->last); });
            }
            o->count += length;
        }

        PyObject* column[O::NO];
        for (int k = 0; k < O::NO; ++k) column[k] = k == O::int_output ? int_out.object() : real_out[k].object();
        if constexpr (K::result == Result::series) {
            return call.series(column[0], index.get(), C::columns[0]).release();
        } else if constexpr (O::NO == 2) {
            return call.frame({{C::columns[0], column[0]}, {C::columns[1], column[1]}}, index.get(),
                              K::result == Result::frame_with_index)
                .release();
        } else {
            return call.frame({{C::columns[0], column[0]}, {C::columns[1], column[1]}, {C::columns[2], column[2]}},
                              index.get())
                .release();
        }
    });
}

template <class K>
PyObject* object_value(PyObject* self, void*) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        double out[Object<K>::NO];
        std::int64_t count;
        {
            Held held(o->lock);
            count = o->count;
            std::memcpy(out, o->last, sizeof out);
        }
        if (count == 0) Py_RETURN_NONE;
        return Recycled::fresh_row(out, Object<K>::NO, Object<K>::int_output).release();
    });
}

template <class K>
PyObject* object_count(PyObject* self, void*) {
    Object<K>* o = as_object<K>(self);
    std::int64_t count;
    {
        Held held(o->lock);
        count = o->count;
    }
    return PyLong_FromLongLong(count);
}

template <class K>
PyObject* object_copy(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        using O = Object<K>;
        O* o = as_object<K>(self);
        Ref copy = new_object<K>(Py_TYPE(self), o->config);
        O* c = as_object<K>(copy.get());
        {
            Held held(o->lock);
            c->state = o->state;
            c->count = o->count;
            std::memcpy(c->last, o->last, sizeof c->last);
        }
        return copy.release();
    });
}

template <class K>
PyObject* object_reset(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        typename K::State fresh = K::make(o->config);
        {
            Held held(o->lock);
            o->state = std::move(fresh);
            o->count = 0;
            for (double& v : o->last) v = warm_up_nan;
        }
        Py_RETURN_NONE;
    });
}

template <class K>
Ref parameters(const Object<K>* o) {
    Ref tuple = check(PyTuple_New(Object<K>::NP));
    for (int i = 0; i < Object<K>::NP; ++i) {
        PyObject* v = K::params[i].kind == Kind::Int ? PyLong_FromLong(static_cast<long>(o->config[i]))
                                                    : PyFloat_FromDouble(o->config[i]);
        PyTuple_SET_ITEM(tuple.get(), i, check(v).release());
    }
    return tuple;
}

// (type, parameters, state): the state is the bars seen, the last outputs and the
// indicator's own fields, as 8-byte little-endian fields.
template <class K>
PyObject* object_reduce(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        Writer w;
        {
            Held held(o->lock);
            w.put(o->count);
            for (double v : o->last) w.put(v);
            o->state.save(w);
        }
        Ref params = parameters<K>(o);
        Ref state = check(PyBytes_FromStringAndSize(w.bytes().data(), static_cast<Py_ssize_t>(w.bytes().size())));
        return check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), params.get(), state.get())).release();
    });
}

template <class K>
PyObject* object_setstate(PyObject* self, PyObject* state) {
    return boundary([&]() -> PyObject* {
        using O = Object<K>;
        O* o = as_object<K>(self);
        char* data;
        Py_ssize_t size;
        if (!PyBytes_Check(state)) raise(PyExc_TypeError, "the state must be bytes");
        check_status(PyBytes_AsStringAndSize(state, &data, &size));
        Reader r(data, static_cast<std::size_t>(size));
        const std::int64_t count = r.integer();
        double last[O::NO];
        for (double& v : last) v = r.real();
        typename K::State fresh = K::make(o->config);
        fresh.load(r, count);
        if (!r.ok() || count < 0) raise(PyExc_ValueError, "the state does not fit this object");
        {
            Held held(o->lock);
            o->state = std::move(fresh);
            o->count = count;
            std::memcpy(o->last, last, sizeof last);
        }
        Py_RETURN_NONE;
    });
}

template <class K>
PyObject* object_repr(PyObject* self) {
    return boundary([&]() -> PyObject* {
        Object<K>* o = as_object<K>(self);
        Ref text = check(PyUnicode_FromFormat("%s(", K::name));
        for (int i = 0; i < Object<K>::NP; ++i) {
            PyObject* v = K::params[i].kind == Kind::Int ? PyLong_FromLong(static_cast<long>(o->config[i]))
                                                        : PyFloat_FromDouble(o->config[i]);
            Ref value = check(v);
            Ref part = check(PyUnicode_FromFormat("%s%s=%R", i ? ", " : "", K::params[i].name, value.get()));
            text = check(PyUnicode_Concat(text.get(), part.get()));
        }
        Ref count = check(object_count<K>(self, nullptr));
        Ref tail = check(PyUnicode_FromFormat("), count=%S", count.get()));
        text = check(PyUnicode_Concat(text.get(), tail.get()));
        return PyUnicode_FromFormat("<%U>", text.get());
    });
}

// ---------------------------------------------------------------------------
// Docstrings.

constexpr const char* update_doc =
    "Take one bar (its prices as numbers) and return the indicator's value for it: the row\n"
    "the single-series function gives this bar after every bar seen so far.";
constexpr const char* peek_doc =
    "The value that update() would return for this bar, leaving the object unchanged.";
constexpr const char* update_many_doc =
    "Take many bars (arrays, lists or Series) and return what the single-series function\n"
    "returns for them, continuing from the bars seen so far.";
constexpr const char* copy_doc = "An independent object in the same state.";
constexpr const char* reset_doc = "Forget every bar: the state of a new object.";
constexpr const char* value_doc = "The value for the last bar, or None before the first.";
constexpr const char* count_doc = "The number of bars seen.";

template <class K>
PyTypeObject* make_type(PyObject* module, const char* doc) {
    using C = Class<K>;
    // Each method's text signature names the bar's prices, for help() and inspect.
    static std::string docs[3];
    const char* bodies[] = {update_doc, peek_doc, update_many_doc};
    const char* method_names[] = {"update", "peek", "update_many"};
    for (int m = 0; m < 3; ++m) {
        docs[m] = std::string(method_names[m]) + "($self, /";
        for (const Param& p : K::inputs) docs[m] += std::string(", ") + p.name;
        docs[m] += ")\n--\n\n";
        docs[m] += bodies[m];
    }
    static PyMethodDef methods[] = {
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_update<K>)),
         METH_FASTCALL | METH_KEYWORDS, docs[0].c_str()},
        {"peek", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_peek<K>)),
         METH_FASTCALL | METH_KEYWORDS, docs[1].c_str()},
        {"update_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_update_many<K>)),
         METH_FASTCALL | METH_KEYWORDS, docs[2].c_str()},
        {"copy", object_copy<K>, METH_NOARGS, copy_doc},
        {"reset", object_reset<K>, METH_NOARGS, reset_doc},
        {"__reduce__", object_reduce<K>, METH_NOARGS, nullptr},
        {"__setstate__", object_setstate<K>, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"value", object_value<K>, nullptr, value_doc, nullptr},
        {"count", object_count<K>, nullptr, count_doc, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(object_new<K>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(object_dealloc<K>)},
        {Py_tp_repr, reinterpret_cast<void*>(object_repr<K>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    static std::string qualified = std::string("vantrel.indicators.stream.") + K::name;
    static PyType_Spec spec = {qualified.c_str(), sizeof(Object<K>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

    for (int i = 0; i < Object<K>::NP; ++i) C::param_names[i] = intern(K::params[i].name);
    for (int k = 0; k < Object<K>::NI; ++k) C::input_names[k] = intern(K::inputs[k].name);
    for (int k = 0; k < Object<K>::NO; ++k) C::columns[k] = intern(K::columns[k]);
    static constexpr const char* suffixes[] = {".update", ".peek", ".update_many"};
    for (int m = 0; m < 3; ++m) {
        C::method_names[m] = std::string(K::name) + suffixes[m];
        C::method_defs[m] = FunctionDef{C::method_names[m].c_str(), nullptr, K::inputs, nullptr, nullptr, 0};
    }
    C::type = reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
    return C::type;
}

template <class K>
void add_class(PyObject* module, const char* doc) {
    PyTypeObject* type = make_type<K>(module, doc);
    check_status(PyModule_AddObjectRef(module, K::name, reinterpret_cast<PyObject*>(type)));
}

constexpr const char* ema_doc =
    "EMA(period)\n--\n\n"
    "Exponential moving average, one bar at a time: update(src).\n\n"
    "After bars 0..i the value of bar i is row i of vantrel.indicators.EMA(bars, period).";
constexpr const char* stochastic_doc =
    "STOCHASTIC(k_period=14, d_period=3)\n--\n\n"
    "Stochastic oscillator, one bar at a time: update(high, low, close) -> (%K, %D).\n\n"
    "After bars 0..i the values of bar i are row i of vantrel.indicators.STOCHASTIC.";
constexpr const char* adx_doc =
    "ADX(di_length=14, adx_smoothing=14)\n--\n\n"
    "Average Directional Index, one bar at a time: update(high, low, close) ->\n"
    "(Plus_DI, Minus_DI, ADX).\n\n"
    "After bars 0..i the values of bar i are row i of vantrel.indicators.ADX.";
constexpr const char* supertrend_doc =
    "SUPERTREND(period=10, multiplier=3.0)\n--\n\n"
    "SuperTrend, one bar at a time: update(high, low, close) -> (line, direction).\n\n"
    "The line rides on this package's ATR recursion, computed here from the same bars; the\n"
    "values equal vantrel.indicators.SUPERTREND's while its module global ATR is\n"
    "vantrel.indicators.volatility.ATR (not rebound).";
constexpr const char* normalized_t3_doc =
    "NORMALIZED_T3(period=200, t3_period=2, volume_factor=0.7)\n--\n\n"
    "Normalized T3 oscillator, one bar at a time: update(src).\n\n"
    "After bars 0..i the value of bar i is row i of vantrel.indicators.NORMALIZED_T3.";
constexpr const char* atr_doc =
    "ATR(period=14)\n--\n\n"
    "Average true range, one bar at a time: update(high, low, close).\n\n"
    "After bars 0..i the value of bar i is row i of vantrel.indicators.ATR.";

int stream_exec(PyObject* module) {
    try {
        add_class<EmaKind>(module, ema_doc);
        add_class<StochasticKind>(module, stochastic_doc);
        add_class<AdxKind>(module, adx_doc);
        add_class<SupertrendKind>(module, supertrend_doc);
        add_class<NormalizedT3Kind>(module, normalized_t3_doc);
        add_class<AtrKind>(module, atr_doc);
    } catch (const PythonError&) {
        return -1;
    }
    return 0;
}

constexpr FunctionDef no_function{nullptr, nullptr, {}, nullptr, nullptr, 0};
ModuleDef stream_module{"_stream", "The indicators one bar at a time (see vantrel.indicators.stream).",
                        no_function, stream_exec};

}  // namespace
}  // namespace vi::stream

VI_MODULE_INIT(_stream, vi::stream::stream_module)
