// Floors of the memory traffic of a batch call, loaded through ctypes by bench/batch.py:
//   stream_fill   src[t] into every one of the `width` doubles of row t of `dst` (a grid's),
//                 on one thread, by streaming stores;
//   traffic       every input read once and every output written once, on several threads
//                 (each taking a share of the rows or of the columns), by plain or streaming
//                 stores, asking for the inputs some rows ahead or not: the least any wide call
//                 of an indicator with those inputs and outputs moves;
//   spin          arithmetic alone, in registers, split over several threads: what a second
//                 thread can add to work that neither reads nor writes memory on this host.
// Streaming stores (SSE2; 8 bytes at an odd end) write a line without first reading it in,
// as the batch functions write their large results.
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>
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

// n doubles to `to` (aligned to 8): the sum of from[0][i] .. from[nsrc - 1][i] for each i, or
// from[0][0] n times where `one`, by plain stores or, where `stream`, streaming stores
// (template arguments, so that the compiler takes the tests out of the loops).
template <bool stream, bool one>
void put(double* to, const double* const* from, int nsrc, std::int64_t n) {
    auto at = [&](std::int64_t j) {
        if (one) return from[0][0];
        double v = from[0][j];
        for (int s = 1; s < nsrc; ++s) v += from[s][j];
        return v;
    };
    std::int64_t i = 0;
#if defined(__SSE2__)
    if (stream) {
        if (n > 0 && reinterpret_cast<std::uintptr_t>(to) % 16 != 0) {
            put_8(to, at(0));
            i = 1;
        }
    }
    for (; i + 2 <= n; i += 2) {
        __m128d v = one ? _mm_set1_pd(from[0][0]) : _mm_loadu_pd(from[0] + i);
        for (int s = 1; !one && s < nsrc; ++s) v = _mm_add_pd(v, _mm_loadu_pd(from[s] + i));
        if (stream) {
            _mm_stream_pd(to + i, v);
        } else {
            _mm_storeu_pd(to + i, v);
        }
    }
    if (stream) {
        if (i < n) put_8(to + i, at(i));
        return;
    }
#endif
    for (; i < n; ++i) to[i] = at(i);
}

void prefetch([[maybe_unused]] const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 0, 2);
#endif
}

void fence([[maybe_unused]] bool stream) {
#if defined(__SSE2__)
    if (stream) _mm_sfence();
#endif
}

// fn(k) for k = 0 .. threads - 1: k = 0 on this thread, the others on threads started for
// the call, as the batch functions start theirs.
template <class Fn>
void on_threads(int threads, Fn fn) {
    std::vector<std::thread> others;
    for (int k = 1; k < threads; ++k) others.emplace_back(fn, k);
    fn(0);
    for (auto& other : others) other.join();
}

}  // namespace

extern "C" void stream_fill(const double* src, double* dst, std::int64_t rows, std::int64_t width) {
    for (std::int64_t t = 0; t < rows; ++t) {
        const double* from = src + t;
        put<true, true>(dst + t * width, &from, 1, width);
    }
    fence(true);
}

// Row t of each output (`count` rows of n doubles in `dst`, an output's row after another)
// gets the sum of row t of the `nsrc` inputs (rows of n doubles), by plain stores or, where
// `stream`, streaming stores. Thread k of `threads` takes the k-th share of the rows where
// `by_rows`, else of the columns (as a recursion over time must be split). Where `ahead` > 0,
// each row first asks for its share of the inputs' row `ahead` rows on, a cache line at a
// time, into the second-level cache (the hardware's prefetchers lose a share of the columns
// at every row, whose lines are not contiguous).
extern "C" void traffic(const double* const* srcs, int nsrc, double* dst, std::int64_t rows,
                        std::int64_t n, std::int64_t count, int threads, int stream, int by_rows,
                        int ahead) {
    if (nsrc > 8) nsrc = 8;
    auto share = [=](std::int64_t lo, std::int64_t hi, std::int64_t r0, std::int64_t r1) {
        const double* from[8];
        for (std::int64_t t = r0; t < r1; ++t) {
            for (int s = 0; s < nsrc && ahead > 0 && t + ahead < r1; ++s) {
                const auto first = reinterpret_cast<std::uintptr_t>(srcs[s] + (t + ahead) * n + lo);
                const char* line = reinterpret_cast<const char*>(first & ~std::uintptr_t{63});
                const char* end = reinterpret_cast<const char*>(srcs[s] + (t + ahead) * n + hi);
                for (; line < end; line += 64) prefetch(line);
            }
            for (int s = 0; s < nsrc; ++s) from[s] = srcs[s] + t * n + lo;
            for (std::int64_t k = 0; k < count; ++k) {
                double* to = dst + (t * count + k) * n + lo;
                if (stream) {
                    put<true, false>(to, from, nsrc, hi - lo);
                } else {
                    put<false, false>(to, from, nsrc, hi - lo);
                }
            }
        }
        fence(stream != 0);
    };
    on_threads(threads, [&](int k) {
        if (by_rows)
            share(0, n, rows * k / threads, rows * (k + 1) / threads);
        else
            share(n * k / threads, n * (k + 1) / threads, 0, rows);
    });
}

// `steps` multiplications of four independent chains, a share of them on each of `threads`
// threads (see on_threads()). Returns a value of the chains so that the compiler keeps them.
extern "C" double spin(std::int64_t steps, int threads) {
    if (threads < 1) threads = 1;
    std::vector<double> result(static_cast<std::size_t>(threads));
    auto share = [&result](std::int64_t n, int k) {
        double a = 1.0 + k, b = 1.5, c = 2.0, d = 2.5;
        const double m = 0.9999999;
        for (std::int64_t i = 0; i < n; ++i) {
            a *= m;
            b *= m;
            c *= m;
            d *= m;
        }
        result[static_cast<std::size_t>(k)] = a + b + c + d;
    };
    on_threads(threads, [&](int k) { share(steps / threads, k); });
    double sum = 0.0;
    for (double r : result) sum += r;
    return sum;
}
