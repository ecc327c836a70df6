// The floor for EMA: the bare recursion in C++, loaded through ctypes.
//
// Built by bench/run.py with the package's own exactness flags
// (g++ -O2 -ffp-contract=off), so its results are bit for bit those of EMA.
//
//   bare_ema_loop   the recursion alone over arrays the caller provides
//                   (numpy allocates them in the "numpy" variant of the baseline)
//   bare_ema_fresh  the whole job in C++: malloc a copy of the input and memcpy
//                   into it, malloc the output, run the recursion, free the copy;
//                   the caller frees the output with bare_free
//
// Both variants pay what any EMA that copies its input and returns fresh memory
// must pay: the copy, the page faults of freshly mapped memory, and the latency
// of a recursion whose every step waits for the one before.
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

void bare_ema_loop(const double* src, double* out, std::int64_t length, int period) {
    if (length <= 0) return;
    const double alpha = 2.0 / static_cast<double>(static_cast<std::int64_t>(period) + 1);
    const double keep = 1.0 - alpha;
    double value = src[0];
    out[0] = value;
    for (std::int64_t i = 1; i < length; ++i) {
        value = keep * value + alpha * src[i];
        out[i] = value;
    }
}

double* bare_ema_fresh(const double* src, std::int64_t length, int period) {
    const std::size_t bytes = static_cast<std::size_t>(length > 0 ? length : 1) * sizeof(double);
    double* copy = static_cast<double*>(std::malloc(bytes));
    double* out = static_cast<double*>(std::malloc(bytes));
    if (copy == nullptr || out == nullptr) {
        std::free(copy);
        std::free(out);
        return nullptr;
    }
    std::memcpy(copy, src, static_cast<std::size_t>(length) * sizeof(double));
    bare_ema_loop(copy, out, length, period);
    std::free(copy);
    return out;
}

void bare_free(double* p) { std::free(p); }

}  // extern "C"
