// The write floor of a call that streams its outputs past the caches, loaded through ctypes
// by bench/batch.py, on one thread:
//   stream_rows   each row of `src` (n doubles) copied `count` times into `dst`, rows of
//                 count * n doubles (the outputs of a wide call);
//   stream_fill   src[t] into every one of the `width` doubles of row t of `dst` (a grid's).
// Every whole 16 bytes go out with a streaming store (SSE2), which writes a line without first
// reading it in; plain stores elsewhere.
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// n doubles to `to`, each from `from[i * step]`.
void put(double* to, const double* from, std::int64_t step, std::int64_t n) {
    std::int64_t i = 0;
#if defined(__SSE2__)
    if (reinterpret_cast<std::uintptr_t>(to) % 16 != 0 && n > 0) {
        to[0] = from[0];
        i = 1;
    }
    for (; i + 2 <= n; i += 2) _mm_stream_pd(to + i, _mm_set_pd(from[(i + 1) * step], from[i * step]));
#endif
    for (; i < n; ++i) to[i] = from[i * step];
}

}  // namespace

extern "C" void stream_fill(const double* src, double* dst, std::int64_t rows, std::int64_t width) {
    for (std::int64_t t = 0; t < rows; ++t) put(dst + t * width, src + t, 0, width);
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

extern "C" void stream_rows(const double* src, double* dst, std::int64_t rows, std::int64_t n,
                            std::int64_t count) {
    for (std::int64_t t = 0; t < rows; ++t) {
        const double* from = src + t * n;
        for (std::int64_t k = 0; k < count; ++k) put(dst + (t * count + k) * n, from, 1, n);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}
