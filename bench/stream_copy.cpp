// The write floor of a call that streams its outputs past the caches, loaded through ctypes
// by bench/batch.py, on one thread:
//   stream_rows   each row of `src` (n doubles) copied `count` times into `dst`, rows of
//                 count * n doubles (the outputs of a wide call);
//   stream_fill   src[t] into every one of the `width` doubles of row t of `dst` (a grid's).
// Every byte goes out by streaming stores (SSE2; 8 bytes at an odd end), which write a line
// without first reading it in, as the batch functions write.
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

#if defined(__SSE2__)
void put_8(double* to, double value) {
    long long v;
    std::memcpy(&v, &value, sizeof v);
    _mm_stream_si64(reinterpret_cast<long long*>(to), v);
}
#endif

// n doubles to `to` (aligned to 8): from[0] .. from[n - 1], or from[0] n times where `one`.
template <bool one>
void put(double* to, const double* from, std::int64_t n) {
    std::int64_t i = 0;
#if defined(__SSE2__)
    if (n > 0 && reinterpret_cast<std::uintptr_t>(to) % 16 != 0) {
        put_8(to, from[0]);
        i = 1;
    }
    for (; i + 2 <= n; i += 2) _mm_stream_pd(to + i, one ? _mm_set1_pd(from[0]) : _mm_loadu_pd(from + i));
    if (i < n) put_8(to + i, from[one ? 0 : i]);
#else
    for (; i < n; ++i) to[i] = from[one ? 0 : i];
#endif
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
