// The write floor of a call that streams its outputs past the caches, loaded through ctypes
// by bench/batch.py, on one thread:
//   stream_rows   each row of `src` (n doubles) copied `count` times into `dst`, rows of
//                 count * n doubles (the outputs of a wide call);
//   stream_fill   src[t] into every one of the `width` doubles of row t of `dst` (a grid's).
// Every whole aligned line goes out with streaming stores (SSE2), which write a line without
// first reading it in; plain stores elsewhere (as the batch functions write).
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// n doubles to `to`: from[0] .. from[n - 1], or from[0] n times where `one`. Plain stores up
// to the first line boundary, every whole line with four streaming stores, plain stores after.
template <bool one>
void put(double* to, const double* from, std::int64_t n) {
    std::int64_t i = 0;
#if defined(__SSE2__)
    for (; i < n && reinterpret_cast<std::uintptr_t>(to + i) % 64 != 0; ++i) to[i] = from[one ? 0 : i];
    for (; i + 8 <= n; i += 8) {
        for (int k = 0; k < 8; k += 2) {
            _mm_stream_pd(to + i + k, one ? _mm_set1_pd(from[0]) : _mm_loadu_pd(from + i + k));
        }
    }
#endif
    for (; i < n; ++i) to[i] = from[one ? 0 : i];
}

}  // namespace

extern "C" void stream_fill(const double* src, double* dst, std::int64_t rows, std::int64_t width) {
    for (std::int64_t t = 0; t < rows; ++t) put<true>(dst + t * width, src + t, width);
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

extern "C" void stream_rows(const double* src, double* dst, std::int64_t rows, std::int64_t n,
                            std::int64_t count) {
    for (std::int64_t t = 0; t < rows; ++t) {
        const double* from = src + t * n;
        for (std::int64_t k = 0; k < count; ++k) put<false>(dst + (t * count + k) * n, from, n);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}
