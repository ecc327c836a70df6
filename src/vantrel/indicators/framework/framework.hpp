// The framework shared by every indicator module.
//
// An indicator module is a kernel (a template over views.hpp, no Python.h) and a
// short binding written against this header:
//
//     constexpr vi::Param params[] = {vi::input("src"), vi::integer("period")};
//     vi::Ref ema_call(vi::Call& call) { ... }
//     constexpr vi::FunctionDef ema_function{"EMA", nullptr, params, ema_call, __FILE__, __LINE__};
//     vi::ModuleDef ema_module{"ema", "Exponential Moving Average (EMA) calculation.", ema_function};
//     VI_MODULE_INIT(ema, ema_module)
//
// Everything a call does on the Python side lives here: binding arguments with
// CPython-style TypeErrors, converting scalar parameters, coercing price inputs
// to float64 views, allocating outputs through the module global `np`, wrapping
// results through `pd`, the module lifecycle and the traceback entry.
//
// Errors: inside a call, a failed C-API step throws `vi::PythonError` with the
// Python exception already set; the entry point of every function catches it
// (and std::bad_alloc, which becomes MemoryError), so nothing C++ escapes into
// CPython and every reference is released by its owner on the way out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>

#include "numeric/views.hpp"

namespace vi {

// Thrown when a Python exception has been set; caught at the function boundary.
struct PythonError {};

// An owning reference to a Python object: the one way indicator code holds one.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A new reference from a C-API call, or PythonError when it returned NULL.
inline Ref check(PyObject* o) {
    if (o == nullptr) throw PythonError{};
    return Ref::steal(o);
}
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}
// Sets `type` with `message` and leaves the call (an indicator's own parameter checks).
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// ---------------------------------------------------------------------------
// Interned names, created once when the first module object is executed.

struct Names {
    PyObject* np;
    PyObject* pd;
    PyObject* Series;
    PyObject* DataFrame;
    PyObject* values;
    PyObject* index;
    PyObject* name;
    PyObject* dtype;
    PyObject* copy;
    PyObject* asarray;
    PyObject* astype;
    PyObject* float64;
    PyObject* int64;
    PyObject* empty;
    PyObject* zeros;
    PyObject* nan;
    PyObject* kw_dtype;            // ("dtype",)
    PyObject* kw_name_copy;        // ("name", "copy")
    PyObject* kw_index_name_copy;  // ("index", "name", "copy")
    PyObject* kw_copy;             // ("copy",)
    PyObject* kw_index_copy;       // ("index", "copy")
    PyObject* Index;
    PyObject* columns;
    PyObject* kw_columns_copy;        // ("columns", "copy")
    PyObject* kw_columns_index_copy;  // ("columns", "index", "copy")
    PyObject* kind;
    PyObject* T;
    PyObject* StringDtype;
    PyObject* kw_deep;                // ("deep",)
    PyObject* kw_na_value;            // ("na_value",)
};
extern Names names;

// An interned string made at module execution; indicator bindings keep their
// column names and keyword names in these.
PyObject* intern(const char* text);

// ---------------------------------------------------------------------------
// Signatures as data.

enum class Kind { Input, Int, Float };

struct Param {
    const char* name;
    Kind kind;
    bool has_default;
    long long int_default;
    double float_default;
};

constexpr Param input(const char* name) { return {name, Kind::Input, false, 0, 0.0}; }
constexpr Param integer(const char* name) { return {name, Kind::Int, false, 0, 0.0}; }
constexpr Param integer(const char* name, int default_value) {
    return {name, Kind::Int, true, default_value, 0.0};
}
constexpr Param real(const char* name, double default_value) {
    return {name, Kind::Float, true, 0, default_value};
}

inline constexpr int max_params = 8;

class Call;
using Impl = Ref (*)(Call&);

struct FunctionDef {
    const char* name;       // "EMA": the function's name and the name in its messages
    const char* doc;        // the function's __doc__, or nullptr for None
    std::span<const Param> params;
    Impl impl;
    const char* file;       // where the traceback entry points
    int line;
};

// Binds a vectorcall's arguments to the parameters of `def` (`param_names`: their interned
// names), raising the CPython-style TypeErrors; bound[i] is null for an omitted parameter.
void bind_arguments(const FunctionDef& def, PyObject* const* param_names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// The scalar conversions of parameters: the interpreter's integer conversion to 32 bits
// ("an integer is required", "value too large to convert to int") and its float conversion.
int to_int32(PyObject* o);
double to_double(PyObject* o);

// ---------------------------------------------------------------------------
// Coerced inputs and allocated outputs.

// An array together with the buffer-protocol view of it that a call holds;
// the view is released before the reference.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(Buffer&& other) noexcept
        : array_(std::move(other.array_)), view_(std::exchange(other.view_, Py_buffer{})) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release();
            array_ = std::move(other.array_);
            view_ = std::exchange(other.view_, Py_buffer{});
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    PyObject* object() const noexcept { return array_.get(); }
    Py_ssize_t size() const noexcept { return view_.obj ? view_.shape[0] : 0; }

protected:
    friend class Call;
    friend class Series;
    void release() noexcept {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    Ref array_;
    Py_buffer view_{};
};

// A coerced input: a one-dimensional float64 array, read only. Either an array of the
// call's own (the float64 copy, or a private copy made by detach()) or, when nobody could
// tell the difference, the caller's own array read in place through its buffer export,
// which keeps it alive and unresizable until the call ends.
class Series : public Buffer {
public:
    Raw<const double> raw() const noexcept {
        if (copy_) return {copy_.get(), static_cast<std::ptrdiff_t>(sizeof(double))};
        return {static_cast<const double*>(view_.buf), view_.strides[0]};
    }
    Py_ssize_t size() const noexcept { return copy_ ? copy_size_ : Buffer::size(); }
    bool in_place() const noexcept { return in_place_; }
    // Replaces a caller's array read in place by a private copy of its current values: done
    // before code of the caller's could run (and write into that array), so that the call
    // sees the values that the literal float64 copy would have held at this point.
    void detach();

private:
    friend Series as_series(Ref array);
    friend bool bind_in_place(PyObject* value, Series& out);
    bool in_place_ = false;
    std::unique_ptr<double[]> copy_;
    Py_ssize_t copy_size_ = 0;
};

// A fresh two-dimensional float64 array of `rows` x `length`, C order: the columns of a
// frame result side by side, which pandas takes as one block without copying.
class Block : public Buffer {
public:
    Raw<double> row(Py_ssize_t k) const noexcept {
        return {reinterpret_cast<double*>(static_cast<char*>(view_.buf) + k * view_.strides[0]),
                view_.strides[1]};
    }
    Py_ssize_t rows() const noexcept { return view_.shape[0]; }
};

// A freshly allocated one-dimensional output array of `T` (double or int64_t).
template <class T>
class Output : public Buffer {
public:
    Raw<T> raw() const noexcept { return {static_cast<T*>(view_.buf), view_.strides[0]}; }
};

// The float64 output columns of a frame result: one Block when `np` and `pd` are genuine,
// else one array per column from the literal allocator.
class FrameColumns {
public:
    Raw<double> raw(std::size_t k) const noexcept;

private:
    friend class Call;
    std::size_t count_ = 0;
    bool as_block_ = false;
    Block block_;
    std::array<Output<double>, 3> separate_;
};

// The values and index of a call's price inputs before the float64 conversion.
struct Taken {
    std::array<Ref, 3> values;
    Ref index;  // null when the first input is not a Series
};

// Binds `array` as a one-dimensional float64 series: it must be an ndarray
// ("Cannot convert ..."), of one dimension ("Buffer has wrong number of ...").
Series as_series(Ref array);

// Binds `value` in place when it is an exact numpy.ndarray (no subclass) of one dimension
// and native-order float64, any stride, read-only included; else leaves `out` empty and
// returns false.
bool bind_in_place(PyObject* value, Series& out);

// Whether `np` is the NumPy module bound at import with its own float64, asarray, empty
// and zeros; `pd` the pandas module with its own DataFrame. Only then does a call skip the
// steps nobody can see (see Call::convert).
bool genuine_numpy(PyObject* np);
bool genuine_pandas(PyObject* pd);
// Whether `o` is an exact pandas.Series of the pandas bound at import.
bool is_pandas_series(PyObject* o);

// ---------------------------------------------------------------------------
// One call of an indicator function.

class Call {
public:
    Call(PyObject* module, const FunctionDef& def, PyObject* const* args) noexcept
        : module_(module), def_(def), args_(args) {}

    // The argument bound to parameter i (never null for a required parameter).
    PyObject* arg(int i) const noexcept { return args_[i]; }

    // Scalar parameters: the default when omitted, else the interpreter's conversion.
    int int32(int i) const;
    double real(int i) const;

    // A module global (`np`, `pd`, `ATR`), looked up at every call like a name in
    // Python code: module dict, then builtins, else NameError.
    Ref global(PyObject* name) const;

    // Input coercion, step by step: the Series test on the first listed input,
    // `.values` of each and then `.index` (or `np.asarray` of each, no index) ...
    Taken take(std::span<const int> inputs) const;
    // ... then `astype(np.float64)` of each taken value, in order. When `np` is genuine and
    // every value is an exact ndarray of native float64 (bind_in_place), each astype would
    // return a copy that nobody else sees: the values are read in place instead. Otherwise
    // every astype is called, in order.
    // Returns `np.float64`, read once for the call.
    Ref convert(std::span<const Ref> values, std::span<Series> out) const;
    // The literal step for one value: `values.astype(float64)`, bound by as_series.
    Series to_float64(PyObject* values, PyObject* float64) const;
    // Both steps for the common case; `index` receives the first input's index.
    template <std::size_t N>
    std::array<Series, N> coerce(const std::array<int, N>& inputs, Ref& index) const;

    // Whether the module globals `np` (and `pd`) are genuine at this point of the call.
    bool numpy_is_genuine() const;
    bool pandas_is_genuine() const;

    // `np.float64` and `np.nan`, read through the module global at this call.
    Ref np_attr(PyObject* attr) const;
    double np_nan() const;

    // Output arrays: `np.<allocator>(length, dtype=np.<dtype>)`.
    Output<double> empty(Py_ssize_t length) const { return allocate<double>(names.empty, length); }
    Output<double> zeros(Py_ssize_t length) const { return allocate<double>(names.zeros, length); }
    Output<std::int64_t> empty_int64(Py_ssize_t length) const {
        return allocate<std::int64_t>(names.empty, length);
    }

    // `rows` float64 output columns as one Block, through the genuine np.empty: only when
    // numpy_is_genuine() and pandas_is_genuine() hold, so that the allocation and the frame
    // that frame(Block&, ...) builds from it cannot be told from the literal steps.
    Block empty_block(Py_ssize_t rows, Py_ssize_t length) const;

    // The `count` (at most 3) float64 columns of a frame result: a Block (empty_block) when
    // `np` and `pd` are genuine, else `count` arrays from np.zeros or np.empty, in order.
    FrameColumns frame_columns(std::size_t count, Py_ssize_t length, bool zeros) const;

    // Result assembly: pd.Series(array, [index=index,] name=name, copy=False).
    Ref series(PyObject* array, PyObject* index, PyObject* name) const;
    // pd.DataFrame({columns...}, [index=index,] copy=False); the index keyword is passed as None
    // when `always_pass_index` is set and there is no index.
    Ref frame(std::initializer_list<std::pair<PyObject*, PyObject*>> columns, PyObject* index,
              bool always_pass_index = false) const;
    // The same frame from a Block, row k the column names[k]:
    // pd.DataFrame(block.T, columns=<fresh Index of names>, [index=index,] copy=False).
    Ref frame(const Block& block, std::span<PyObject* const> names, PyObject* index) const;
    // The frame of `columns` named `names`: from their Block, or through the dictionary as above.
    Ref frame(const FrameColumns& columns, std::span<PyObject* const> names, PyObject* index,
              bool always_pass_index = false) const;

    PyObject* module() const noexcept { return module_; }
    const FunctionDef& def() const noexcept { return def_; }

private:
    template <class T>
    Output<T> allocate(PyObject* allocator, Py_ssize_t length) const;
    PyObject* module_;
    const FunctionDef& def_;
    PyObject* const* args_;
};

template <std::size_t N>
std::array<Series, N> Call::coerce(const std::array<int, N>& inputs, Ref& index) const {
    static_assert(N >= 1 && N <= 3);
    Taken taken = take(inputs);
    std::array<Series, N> out;
    convert(std::span<const Ref>(taken.values.data(), N), out);
    index = std::move(taken.index);
    return out;
}

// Runs a numeric pass without the interpreter lock when the work is large
// enough to repay the release. The pass must touch no Python object: it sees
// the coerced inputs (the call's own copies, or a caller's arrays read in place,
// kept alive and unresizable by their buffer exports) and not-yet-published
// outputs. A thread that writes into an input array during the call races with
// the pass, as it would with NumPy's own functions.
inline constexpr Py_ssize_t nogil_threshold = 2048;

template <class Fn>
void run_pass(Py_ssize_t work, Fn&& fn) {
    if (work >= nogil_threshold) {
        PyThreadState* state = PyEval_SaveThread();
        fn();
        PyEval_RestoreThread(state);
    } else {
        fn();
    }
}

// Raises ValueError unless `series` has at least `length` samples.
void require_length(const Series& series, const char* name, Py_ssize_t length,
                    const char* reference);

// Raises ValueError naming every length ("high, low and close differ in length: 5, 4, 5")
// unless the three price inputs of a call, parameters 0, 1 and 2, have one length: a
// result never silently drops a caller's bars.
void require_same_length(const Call& call, const std::array<Series, 3>& series);

// Input coercion of the price inputs high, low and close (parameters 0, 1 and 2), which
// must have one length (require_same_length).
std::array<Series, 3> coerce_high_low_close(const Call& call, Ref& index);

// ---------------------------------------------------------------------------
// Module definition.

struct ModuleDef {
    const char* short_name;    // "ema": the name in the re-initialisation message
    const char* doc;           // module docstring
    const FunctionDef& function;  // a definition without `impl` adds no function
    int (*exec_hook)(PyObject* module) = nullptr;  // extra initialisation (SuperTrend's ATR)

    PyModuleDef def{};
    PyModuleDef_Slot slots[6]{};
    PyObject* init();  // the body of PyInit_<name>
};

}  // namespace vi

// The module's entry point; `def` is a vi::ModuleDef with static storage.
#define VI_MODULE_INIT(name, def) \
    PyMODINIT_FUNC PyInit_##name(void) { return (def).init(); }
