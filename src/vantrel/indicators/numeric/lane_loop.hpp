// The time-major loop of a rectangular batch: many columns (series x parameter sets) of
// one step, side by side in the lanes of a value type.
//
// A column is one series under one parameter set: where each of its inputs and outputs
// holds row 0, and its parameters. All columns have `rows` rows, and row t of input i
// (output o) lies `in_step[i]` (`out_step[o]`) bytes after row t - 1 of the same column.
// A tile of G groups of `lanes` columns runs row after row: each group is one value of the
// step's type, and the G groups are independent recursions, so their latencies overlap.
// Tiles next to each other form a band, which runs a block of rows at a time, or one row
// after another across all its tiles (see Visit).
// Every lane does exactly the scalar step's operations on its own column, whatever its
// neighbours hold, so the bits never depend on how columns are grouped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "numeric/lanes.hpp"

// Streaming stores are SSE2's (the portable build, VI_DOUBLE2_SSE2=0, copies plainly), and
// the AVX lane types' own where their translation units are built.
#if VI_DOUBLE2_SSE2 || defined(__AVX__)
#define VI_STREAM_STORES 1
#else
#define VI_STREAM_STORES 0
#endif

namespace vi {

inline constexpr int max_lane_inputs = 4;
inline constexpr int max_lane_outputs = 3;

struct LaneColumns {
    std::int64_t rows;
    int inputs, outputs;
    std::ptrdiff_t in_step[max_lane_inputs];
    std::ptrdiff_t out_step[max_lane_outputs];
    bool int_output[max_lane_outputs];          // written as int64 (the value is integral)
    bool stream_outputs;                        // may bypass the caches (stream_min_bytes)
    const unsigned char* const* in;  // in[c * inputs + i]: column c's input i at row 0
    unsigned char* const* out;       // out[c * outputs + o]
    const void* const* params;       // params[c]: the step's Params of column c
};

// Asks for the cache line at p ahead of its use, to read it or to write it, into the L2
// cache; only a hint (nothing where the compiler has no such builtin).
inline void prefetch(const void* p, bool write) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    if (write) {
        __builtin_prefetch(p, 1, 2);
    } else {
        __builtin_prefetch(p, 0, 2);
    }
#else
    (void)p;
    (void)write;
#endif
}

#if VI_STREAM_STORES
// The 8 bytes at `from` to `to` with a streaming store of an integer (x86-64's; two of 4 bytes
// elsewhere).
template <class V>
void stream_8(unsigned char* to, const unsigned char* from) noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    long long v;
    std::memcpy(&v, from, sizeof v);
    _mm_stream_si64(reinterpret_cast<long long*>(to), v);
#else
    int v[2];
    std::memcpy(v, from, sizeof v);
    _mm_stream_si32(reinterpret_cast<int*>(to), v[0]);
    _mm_stream_si32(reinterpret_cast<int*>(to + 4), v[1]);
#endif
}
#endif

// Copies n bytes (whole doubles or int64s, `to` aligned to 8) to `to` with stores that bypass
// the caches: an ordinary store first reads its line from memory, so an output far larger
// than the caches costs three transfers a line (read, write back, and the input's read) where
// a streaming store costs two. Every byte goes out by streaming stores (16 bytes at a time, 8
// at an odd end): the processor joins those of a line into one write, while a line that an
// ordinary store also touches is read in after all (measured on 500 series x 20,000 rows, one
// thread: rows 8 bytes off a 16-byte boundary took 6.7 ms so, 8.0 ms with ordinary stores on
// the lines at either end of a row, 10.9 ms copied plainly). Past the first boundary of the
// lane type's width (32 or 64 bytes), a lane type of 4 or 8 doubles stores a whole value at a
// time, a quarter of the instructions of 16 bytes at a time. A template over the lane type so
// that each value type's translation unit has its own copy.
template <class V>
void stream_copy(unsigned char* to, const unsigned char* from, std::ptrdiff_t n) noexcept {
#if VI_STREAM_STORES
    if (reinterpret_cast<std::uintptr_t>(to) % 8 == 0 && n % 8 == 0) {
        if (n > 0 && reinterpret_cast<std::uintptr_t>(to) % 16 != 0) {
            stream_8<V>(to, from);
            to += 8;
            from += 8;
            n -= 8;
        }
        auto stream_16 = [&] {
            _mm_stream_pd(reinterpret_cast<double*>(to), _mm_loadu_pd(reinterpret_cast<const double*>(from)));
            to += 16;
            from += 16;
            n -= 16;
        };
        if constexpr (LaneTraits<V>::lanes >= 4) {
            constexpr std::ptrdiff_t wide = sizeof(V);
            while (n >= 16 && reinterpret_cast<std::uintptr_t>(to) % wide != 0) stream_16();
            for (; n >= wide; n -= wide, to += wide, from += wide) {
                LaneTraits<V>::stream(reinterpret_cast<double*>(to),
                                      LaneTraits<V>::load(reinterpret_cast<const double*>(from)));
            }
        }
        while (n >= 16) stream_16();
        if (n == 8) stream_8<V>(to, from);
        return;
    }
#endif
    std::memcpy(to, from, static_cast<std::size_t>(n));
}

// Orders the streaming stores before whatever this thread does next (streaming stores are
// weakly ordered): the thread that joins this one reads the outputs.
template <class V>
void stream_fence() noexcept {
#if VI_STREAM_STORES
    _mm_sfence();
#endif
}

// Lanes [first, first + count) of v to `to` (aligned to a double) by streaming stores, in
// the pieces of stream_copy().
template <class V>
void stream_lanes(unsigned char* to, V v, int first, int count) noexcept {
    double values[LaneTraits<V>::lanes];
    LaneTraits<V>::store(values, v);
    stream_copy<V>(to, reinterpret_cast<const unsigned char*>(values + first), count * std::ptrdiff_t{sizeof(double)});
}

// Streams a row of an output whose values, side by side, are given front to back, by
// streaming stores of whole values on their own alignment (whole cache lines with eight
// doubles a value): where the row is off that alignment, each store joins the end of one
// value with the start of the next (LaneTraits::join), so that only a run's first and last
// pieces go out in smaller stores (see stream_copy()). A line that two streaming stores
// fill with other streaming stores between them costs about as much as a line read from
// memory; measured on Intel Xeon (AVX-512), three outputs of 500 doubles a row written a
// value of each in turn: 13.0 ms in halves of a value, 9.3 ms joined, 9.2 ms with rows 504
// doubles long (every value on a line of its own).
template <class V>
class LineStream {
public:
    static constexpr int W = LaneTraits<V>::lanes;

    // Value y to `at` (aligned to a double): the run goes on where `at` is just past the
    // value before, else the run before ends and a new one starts.
    void put(unsigned char* at, V y) noexcept {
        if (at != next_) {
            finish();
            off_ = static_cast<int>(reinterpret_cast<std::uintptr_t>(at) % sizeof(V) / sizeof(double));
            if (off_ != 0) stream_lanes(at, y, 0, W - off_);  // the run's first line: the lanes up to it
        } else if (off_ != 0) {
            LaneTraits<V>::stream(reinterpret_cast<double*>(at) - off_, LaneTraits<V>::join(carry_, y, off_));
        }
        if (off_ == 0) LaneTraits<V>::stream(reinterpret_cast<double*>(at), y);
        carry_ = y;
        next_ = at + sizeof(V);
    }
    // Ends the run: the last value's lanes past its last whole line.
    void finish() noexcept {
        if (next_ != nullptr && off_ != 0) stream_lanes(next_ - off_ * std::ptrdiff_t{sizeof(double)}, carry_, W - off_, off_);
        next_ = nullptr;
    }

private:
    unsigned char* next_ = nullptr;  // just past the run's last value
    V carry_{};
    int off_ = 0;  // doubles from the last line boundary before the run
};

// When a wide call streams its outputs (LaneColumns::stream_outputs): where they are at
// least `stream_min_bytes`, more than stays in the caches from one call to the next here, and
// lie in memory an earlier call has written (a kept block, batch/blocks.hpp). Fresh pages are
// cleared by the system with ordinary stores, and a streaming store to a line that clearing
// left in the caches writes it twice: ADX on 2,000 series x 20,000 rows (a 960 MB result,
// too large to keep) took 219 ms streamed against 156 ms written plainly. A narrow band (a
// thread's share of a row at most `narrow_band_bytes`, a tall table's) writes a block of
// rows into a buffer and streams that out (see stage_bytes); a wider band's tiles stream
// their outputs themselves. Measured in kept memory on two threads, a loop of single calls
// run between the calls as in bench/batch.py: on 5,000 series x 500 rows from the tiles EMA
// took 1.5 ms against 2.0 written plainly, ATR 3.0 against 3.4, ADX 5.0 against 5.6 and
// SuperTrend 4.2 against 4.7; on 500 x 20,000 through the buffer EMA took 5.8 ms against 8.7
// from the tiles (whose short rows, a few stores each per block, were many streams at once)
// and ADX 20 against 25; EMA on 500 x 5,000 rows (20 MB) took 1.5 ms against 2.1 plainly.
inline constexpr std::int64_t stream_min_bytes = std::int64_t{16} << 20;
// On several threads any kept block is streamed: there plain stores, each line read in
// first, kept the threads waiting on each other where streaming stores did not (Intel Xeon,
// AVX-512, two threads, plain against streamed, ms: EMA on 1,000 series x 500 rows (4 MB)
// 0.50 -> 0.25, on 256 x 2,000 0.41 -> 0.24, on 64 x 20,000 0.99 -> 0.46; ATR 0.53 -> 0.40,
// 0.59 -> 0.46, 1.66 -> 1.01; ADX 0.84 -> 0.69, 1.09 -> 0.64, level; SuperTrend on 512 x 500
// 0.40 -> 0.31; no table slower). On one thread the same tables were mixed (EMA on 1,000 x
// 500 0.41 -> 0.48, on 256 x 2,000 0.44 -> 0.38), and keep stream_min_bytes.
inline constexpr std::int64_t shared_stream_min_bytes = std::int64_t{1} << 20;
// A narrow band: a thread's share of a row at most this many bytes (see stage_bytes and
// prefetch_rows()).
inline constexpr std::int64_t narrow_band_bytes = std::int64_t{16} << 10;

// The samples of W neighbouring series, one row after another: element i is the W doubles
// (one value of V) at base + i * step bytes. With V a lane type the W doubles lie next to
// each other from an address aligned to a double; with V a double any address serves.
template <class V, class Byte = const unsigned char>
struct LaneRows {
    using value_type = V;
    Byte* base;
    std::ptrdiff_t step;

    struct Ref {
        Byte* at;
        operator V() const noexcept {
            if constexpr (LaneTraits<V>::lanes == 1) {
                return read_double(at);
            } else {
                return LaneTraits<V>::load(reinterpret_cast<const double*>(at));
            }
        }
        Ref& operator=(V v) noexcept {
            if constexpr (LaneTraits<V>::lanes == 1) {
                write_double(at, v);
            } else {
                LaneTraits<V>::store(reinterpret_cast<double*>(at), v);
            }
            return *this;
        }
        Ref& operator=(const Ref& other) noexcept { return *this = static_cast<V>(other); }
    };
    Ref operator[](std::int64_t i) const noexcept { return Ref{base + i * step}; }
};

// The order in which a band's tiles take its rows: `blocks`, each tile a block of rows at a
// time (see block_rows); `rows`, where the band's columns lie side by side, every tile at
// one row before any takes the next (see detail::sweep()); `near_rows`, rows where the
// band's steps fit in `near_steps_bytes`, else blocks.
enum class Visit { blocks, rows, near_rows };

namespace detail {

// How the lanes of a tile reach memory: `gather` lane by lane; `consecutive`, every input
// and output of a group as whole vectors (lane k at k * 8 bytes from lane 0, addresses aligned
// to a double); `shared`, every lane reads the same input (one series under a grid of
// parameters) and the outputs are consecutive. Both hold for a whole band, whichever columns
// its tiles start at (see tile_start()); `staged`, the outputs consecutive and the inputs
// not (a strided view's, or an F-order block's under a C-order result): a tile copies
// a block of rows of its inputs side by side into a buffer and reads them from there as
// whole vectors (see run_staged()); `columns`, every output's column rows lying together (an
// F-order result, each output's rows 8 bytes apart): a tile copies its inputs in as staged
// does, advances into a second buffer, and copies each column's block of rows out in one
// piece (see run_staged()).
enum class Layout { gather, consecutive, shared, staged, columns };

// The layout of the `count` columns from c. (A template, like everything here, so that each
// value type's translation unit has its own copy.)
template <class V>
Layout layout(const LaneColumns& b, std::int64_t c, int count) noexcept {
    auto aligned = [](const unsigned char* p) {
        return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
    };
    bool columns = true;  // every output's rows one double apart, at addresses aligned to it
    for (int o = 0; o < b.outputs; ++o) columns = columns && b.out_step[o] == std::ptrdiff_t{sizeof(double)};
    for (int o = 0; o < b.outputs; ++o) {
        const unsigned char* base = b.out[c * b.outputs + o];
        bool side_by_side = aligned(base);
        for (int k = 1; k < count && side_by_side; ++k) {
            side_by_side = b.out[(c + k) * b.outputs + o] == base + k * sizeof(double);
        }
        if (!side_by_side) {
            for (int k = 0; k < count && columns; ++k) columns = aligned(b.out[(c + k) * b.outputs + o]);
            return columns && b.rows > 1 ? Layout::columns : Layout::gather;
        }
    }
    bool consecutive = true, shared = true;
    for (int i = 0; i < b.inputs; ++i) {
        const unsigned char* base = b.in[c * b.inputs + i];
        consecutive = consecutive && aligned(base);
        for (int k = 1; k < count; ++k) {
            const unsigned char* at = b.in[(c + k) * b.inputs + i];
            consecutive = consecutive && at == base + k * sizeof(double);
            shared = shared && at == base;
        }
    }
    return consecutive ? Layout::consecutive : shared ? Layout::shared : Layout::staged;
}

template <class V>
void store_int(unsigned char* const* at, std::ptrdiff_t offset, V v) noexcept {
    constexpr int W = LaneTraits<V>::lanes;
    double values[W];
    LaneTraits<V>::store(values, v);
    for (int k = 0; k < W; ++k) {
        const auto n = static_cast<std::int64_t>(values[k]);
        std::memcpy(at[k] + offset, &n, sizeof n);
    }
}

// The lanes of v as int64 values (integral, within 32 bits: a direction), their bits in a
// value of V: streamed as the doubles are.
template <class V>
V int64_bits(V v) noexcept {
    alignas(64) std::int64_t bits[LaneTraits<V>::lanes];
    LaneTraits<V>::store_int64(bits, v);
    return LaneTraits<V>::load(reinterpret_cast<const double*>(bits));
}

// Does nothing between rows (see Tile::rows()).
struct Nothing {
    void operator()(std::int64_t) const noexcept {}
};

// G groups of lanes from column c on, advanced block of rows by block of rows, the steps
// in place (see rows()); `L`: how the lanes reach memory (see layout()).
template <class Step, class V, int G, Layout L>
struct Tile {
    using value_type = V;
    static constexpr int W = LaneTraits<V>::lanes;
    static constexpr int groups = G;
    static constexpr Layout layout = L;
    static constexpr int NI = Step::inputs;
    static constexpr int NO = Step::outputs;

    Step steps[G];
    // The addresses of each lane's inputs and outputs at row 0, as far as the layout needs
    // them: every lane's gathered; the first lane's of each group where they share inputs;
    // the tile's first lane's where its lanes lie side by side. Fewer of them keep a band's
    // steps closer together.
    static constexpr bool staged_in = L == Layout::staged || L == Layout::columns;
    static constexpr int in_groups = L == Layout::consecutive || staged_in ? 1 : G;
    static constexpr int out_groups = L == Layout::gather ? G : 1;
    static constexpr int each = L == Layout::gather ? W : 1;
    const unsigned char* in[in_groups][NI][each];
    unsigned char* out[out_groups][NO][each];

    void init(const LaneColumns& b, std::int64_t c) noexcept {
        using Params = typename Step::Params;
        for (int g = 0; g < G; ++g) {
            const Params* lane[W];
            for (int k = 0; k < W; ++k) {
                const std::int64_t col = c + g * W + k;
                lane[k] = static_cast<const Params*>(b.params[col]);
                if (k >= each) continue;
                for (int i = 0; i < NI && g < in_groups; ++i) in[g][i][k] = b.in[col * NI + i];
                for (int o = 0; o < NO && g < out_groups; ++o) out[g][o][k] = b.out[col * NO + o];
            }
            steps[g] = Step(lane);
        }
    }

    // A step over row t (row 0 seeds it): group g's, or `step`.
    static void advance(Step& step, std::int64_t t, const V* x, V* y) noexcept {
        if (t == 0) {
            step.first(x, y);
        } else {
            step.next(x, y);
        }
    }
    void advance(int g, std::int64_t t, const V* x, V* y) noexcept { advance(steps[g], t, x, y); }

    // One output value where a group's lanes lie side by side: as int64s for an int output,
    // by streaming stores with `stream`, else plainly. A value off its own alignment (rows
    // of a table whose width is not a multiple of the lanes, with eight doubles a value:
    // 4,000-byte rows are 64-byte aligned only every other row) goes out through
    // stream_copy(), in 16- and 8-byte streaming stores: stored plainly, each such row's
    // lines are first read from memory. Measured on Intel Xeon (AVX-512), 500 series x
    // 20,000 rows, EMA on two threads: 13.2 ms plainly against 4.1 so (and 2.9 ms with 504
    // series, every row aligned); 5,004 series x 500 rows: ADX 5.5 -> 3.7 ms, SuperTrend
    // 4.2 -> 2.7, EMA 1.21 -> 1.06. A value on half its alignment goes out in two halves,
    // fewer pieces: on 5,004 x 500, two threads, ATR 1.60 -> 1.49 ms, EMA 1.08 -> 0.99. (A
    // swept band of long steps joins its values into whole lines instead, see LineStream.)
    static void put(unsigned char* at, V y, bool int_output, bool stream) noexcept {
        if (int_output && !stream) {
            LaneTraits<V>::store_int64(reinterpret_cast<std::int64_t*>(at), y);
            return;
        }
        if (int_output) y = int64_bits(y);
        if (stream) {
            const auto address = reinterpret_cast<std::uintptr_t>(at);
            if (address % sizeof(V) == 0) {
                LaneTraits<V>::stream(reinterpret_cast<double*>(at), y);
                return;
            }
            if constexpr (W >= 4) {
                if (address % (sizeof(V) / 2) == 0) {
                    LaneTraits<V>::stream_halves(reinterpret_cast<double*>(at), y);
                    return;
                }
            }
            stream_lanes(at, y, 0, W);
        } else {
            LaneTraits<V>::store(reinterpret_cast<double*>(at), y);
        }
    }

    // Row t of a tile in the consecutive layout, within a sweep of its band (see sweep()):
    // in[i] holds group 0's address in that row; emit(o, g, y) takes output o's value of
    // group g, as each group advances, or with `together` (a step of several outputs)
    // once every group has, each output's values group after group. (Aligned rows stored
    // straight from the tiles take them as each group advances: together, ADX on 5,000
    // series x 500 rows with the caches emptied took a tenth longer, on one thread or two.)
    template <bool together, class Emit>
    void row(std::int64_t t, const unsigned char* const* in_row, Emit&& emit) noexcept {
        constexpr std::ptrdiff_t group_bytes = W * static_cast<std::ptrdiff_t>(sizeof(double));
        constexpr bool held = together && NO > 1;
        V y[held ? G : 1][NO];
        for (int g = 0; g < G; ++g) {
            V x[NI];
            for (int i = 0; i < NI; ++i) {
                x[i] = LaneTraits<V>::load(reinterpret_cast<const double*>(in_row[i] + g * group_bytes));
            }
            V* out = y[held ? g : 0];
            advance(g, t, x, out);
            if constexpr (!held) {
                for (int o = 0; o < NO; ++o) emit(o, g, out[o]);
            }
        }
        if constexpr (held) {
            for (int o = 0; o < NO; ++o) {
                for (int g = 0; g < G; ++g) emit(o, g, y[g][o]);
            }
        }
    }

    // Rows [t0, t1); row 0 seeds the steps. The strides, flags and addresses are read into
    // locals first: a store through an output may alias anything, `b` and this tile included,
    // and locals whose address is never taken stay in registers across those stores. The
    // steps advance in place: a step's state goes through memory at every row either way
    // (GCC keeps no array of steps indexed at run time in registers), and copying the steps
    // into locals and back at every block cost more than a wide table's 2 to 4 rows of EMA or
    // ATR (on AMD Zen 3, 5,000 series x 500 rows, one thread: EMA 2.8-3.1 ms copied against
    // 1.7-2.3 in place, ATR 6.0-6.3 against 3.4-5.0, ADX 15-22 against 13-17). Copies indexed
    // by constants (the groups unrolled at compile time) did stay in registers, but gained
    // EMA a tenth and cost ADX and SuperTrend, whose steps outgrow the registers, a tenth. The
    // staged layout's blocks are dozens of rows of one tile, and there the steps are held in
    // locals over the block: on 5,000 series x 500 rows in F order, two threads, ATR 3.24 ->
    // 3.09 ms, SuperTrend 4.22 -> 3.89, EMA 1.59 -> 1.52 (Intel Xeon, AVX-512). In the
    // consecutive and shared layouts group g's outputs (and consecutive inputs) lie g * W
    // doubles after group 0's, so one address per input and output serves the tile. With
    // `stage` (not the gather layout) the outputs go there instead: output o's row t0 + r at
    // stage + o * stage_output + r * stage_row. With `stream` (not the gather layout, the
    // outputs aligned to a double) the outputs go out by streaming stores (see put()), an int
    // output (SuperTrend's direction) as its int64 bits. Against storing the int output
    // plainly, on Intel Xeon, two threads: SuperTrend on 5,000 series x 500 rows 2.95 -> 2.18
    // ms, on 500 x 20,000 17.9 -> 11.1 (18.0 -> 11.1 with every other row off a line), in F
    // order 3.5 -> 3.1 and 12.0 -> 11.2; with AVX2 alone 3.1 -> 2.7 and 21.0 -> 14.4. (On AMD
    // Zen 3, streamed, wide SuperTrend had taken 13-14 ms against 5.0-5.2 on one thread, a
    // measurement not repeated since.)
    // With `ahead` > 0 (the consecutive layout), each row asks for the tile's inputs `ahead`
    // rows on.
    // In the staged layout the inputs come from `staged`: input i's row t0 + r at
    // staged + i * staged_input + r * staged_row. Before row t0 + r, between(r).
    template <class Between = Nothing>
    void rows(const LaneColumns& b, std::int64_t t0, std::int64_t t1, std::int64_t ahead, unsigned char* stage = nullptr,
              std::ptrdiff_t stage_output = 0, std::ptrdiff_t stage_row = 0, bool stream = false,
              const unsigned char* staged = nullptr, std::ptrdiff_t staged_input = 0, std::ptrdiff_t staged_row = 0,
              Between&& between = Between{}) noexcept {
        constexpr std::ptrdiff_t group_bytes = W * static_cast<std::ptrdiff_t>(sizeof(double));
        std::ptrdiff_t in_step[NI], out_step[NO];
        bool int_output[NO];
        for (int i = 0; i < NI; ++i) in_step[i] = b.in_step[i];
        for (int o = 0; o < NO; ++o) {
            out_step[o] = b.out_step[o];
            int_output[o] = b.int_output[o];
        }
        constexpr int in0_groups = L == Layout::shared ? G : 1;
        const unsigned char* in0[in0_groups][NI];
        unsigned char* out0[NO];
        for (int o = 0; o < NO; ++o) out0[o] = out[0][o][0];
        for (int g = 0; g < in0_groups; ++g) {
            for (int i = 0; i < NI; ++i) in0[g][i] = in[g][i][0];
        }
        std::ptrdiff_t in_at[NI], out_at[NO];
        for (int i = 0; i < NI; ++i) in_at[i] = t0 * in_step[i];
        for (int o = 0; o < NO; ++o) out_at[o] = t0 * out_step[o];
        if constexpr (staged_in) {
            for (int i = 0; i < NI; ++i) {
                in0[0][i] = staged + i * staged_input;
                in_step[i] = staged_row;
                in_at[i] = 0;
            }
        }
        if (L != Layout::gather && stage != nullptr) {
            for (int o = 0; o < NO; ++o) {
                out0[o] = stage + o * stage_output;
                out_step[o] = stage_row;
                out_at[o] = 0;
            }
        }
        const std::int64_t ahead_until = ahead > 0 ? b.rows - ahead : 0;
        // Locals, which no store through an output can reach (see above).
        Step held[staged_in ? G : 1];
        if constexpr (staged_in) {
            for (int g = 0; g < G; ++g) held[g] = steps[g];
        }
        for (std::int64_t t = t0; t < t1; ++t) {
            between(t - t0);
            if constexpr (L == Layout::consecutive) {
                if (t < ahead_until) {
                    for (int i = 0; i < NI; ++i) {
                        for (std::ptrdiff_t at = 0; at < G * group_bytes; at += 64) {
                            prefetch(in0[0][i] + in_at[i] + ahead * in_step[i] + at, false);
                        }
                    }
                }
            }
            for (int g = 0; g < G; ++g) {
                V x[NI];
                V y[NO];
                for (int i = 0; i < NI; ++i) {
                    if constexpr (L == Layout::consecutive || staged_in) {
                        x[i] = LaneTraits<V>::load(
                            reinterpret_cast<const double*>(in0[0][i] + g * group_bytes + in_at[i]));
                    } else if constexpr (L == Layout::shared) {
                        double one;
                        std::memcpy(&one, in0[g][i] + in_at[i], sizeof one);
                        x[i] = V(one);
                    } else {
                        x[i] = LaneTraits<V>::load_each(in[g][i], in_at[i]);
                    }
                }
                if constexpr (staged_in) {
                    advance(held[g], t, x, y);
                } else {
                    advance(g, t, x, y);
                }
                for (int o = 0; o < NO; ++o) {
                    if constexpr (L != Layout::gather) {
                        put(out0[o] + g * group_bytes + out_at[o], y[o], int_output[o], stream);
                    } else if (int_output[o]) {
                        store_int(out[g][o], out_at[o], y[o]);
                    } else {
                        LaneTraits<V>::store_each(out[g][o], out_at[o], y[o]);
                    }
                }
            }
            for (int i = 0; i < NI; ++i) in_at[i] += in_step[i];
            for (int o = 0; o < NO; ++o) out_at[o] += out_step[o];
        }
        if constexpr (staged_in) {
            for (int g = 0; g < G; ++g) steps[g] = held[g];
        }
    }
};

// Rows per block, and columns per band: a band's tiles take one block of rows after
// another, so that the rows a block touches (pages and cache lines) are shared by the
// band's neighbouring tiles instead of each tile walking every row alone. Each row of each
// input and output that a block touches is one stream of addresses that rises from tile to
// tile. The longer those streams the better the prefetchers keep up, so a band is as wide
// as a thread's share of columns (up to max_band_tiles tiles, a few hundred kilobytes of
// steps that stay in the L2 cache). Past about 12 streams at once the prefetchers lose
// them, and a block of a single row pays a tile's set-up (its strides and addresses) once
// per row: so a block is as deep as 12 streams allow, between 2 and 4 rows (EMA 4, ATR 3,
// ADX and SuperTrend 2). Measured on 5,000 series x 500 rows, one thread: EMA takes a
// quarter less time than at 8 rows with 64 tiles a band, ATR a fifth less; blocks of one
// row were a quarter slower than these (AMD Zen 3).
inline constexpr int block_streams = 12;
inline constexpr int max_band_tiles = 256;
// A band swept by Visit::near_rows: its steps in at most this many bytes, which stay in the
// first-level cache from row to row. (EMA's and ATR's sweeps lost to blocks past it: EMA on
// 5,000 series x 500 rows took 1.2-1.4 times as long swept, ATR 1.2 on one thread.)
inline constexpr std::size_t near_steps_bytes = std::size_t{16} << 10;
inline constexpr int stack_band_tiles = 16;  // where the band's memory cannot be had

template <class Step>
inline constexpr std::int64_t block_rows = [] {
    const int rows = block_streams / (Step::inputs + Step::outputs);
    return std::int64_t{rows < 2 ? 2 : rows > 4 ? 4 : rows};
}();

// A narrow band (a few tiles: a grid over one series, a tall table of few series) takes
// deeper blocks, as many rows as keep the block's bytes within `block_bytes`: each call of a
// tile over a block loads and stores its steps, which over 2 to 4 rows costs more than the
// rows' arithmetic, and the rows of a narrow band lie close together (one stream each).
inline constexpr std::int64_t block_bytes = std::int64_t{64} << 10;
inline constexpr std::int64_t max_block_rows = 256;

template <class Step>
std::int64_t block_depth(std::int64_t band_row_bytes) noexcept {
    const std::int64_t fit = block_bytes / (band_row_bytes * (Step::inputs + Step::outputs));
    return fit < block_rows<Step> ? block_rows<Step> : fit > max_block_rows ? max_block_rows : fit;
}

// Tiles ahead whose rows of a block are asked for (consecutive layout): the tile two on.
inline constexpr int prefetch_tiles = 2;

// A narrow band's tiles instead ask for their own rows further on as they go, row by row:
// `prefetch_ahead_bytes` of each input ahead (as many rows of the band), between
// min_prefetch_rows and max_prefetch_rows rows. Its block's rows are short streams, a few
// lines of each row a tile, and a tile two on is too near: the lines asked for in a burst
// before each tile came in after the rows that wanted them. Measured on 500 series x 20,000
// rows (16 rows ahead), two threads, kept memory, each way in processes of its own in turns:
// EMA 7.5-7.9 -> 6.2-7.0 ms, ATR 14.9-15.2 -> 13.9-14.1, ADX 24.4-25.3 -> 22.5-23.6,
// SuperTrend 18.4-19.7 -> 17.5-17.8; ADX on 500 x 4,000 5.7-5.9 -> 4.9-5.1 ms. (A wide
// band's block is far more work than its prefetch needs, and rows ahead there were slower.)
inline constexpr std::int64_t prefetch_ahead_bytes = std::int64_t{32} << 10;
inline constexpr std::int64_t min_prefetch_rows = 2;
inline constexpr std::int64_t max_prefetch_rows = 64;

inline std::int64_t prefetch_rows(std::int64_t band_row_bytes) noexcept {
    const std::int64_t rows = prefetch_ahead_bytes / band_row_bytes;
    return rows < min_prefetch_rows ? min_prefetch_rows : rows > max_prefetch_rows ? max_prefetch_rows : rows;
}

// The band of `tiles` tiles from column c that ends at column `end` at most: tile k starts
// at c + k * G * W, except that a last tile which would pass `end` starts G * W columns
// before it instead, and so recomputes some of its neighbour's columns. Recomputed columns
// get the same bits again (each lane runs its own column's steps), and a band covers the
// odd columns at the end of a thread's share in the same sweep over the rows as the rest:
// a sweep of its own over a few columns would wait on memory at every row.
template <class T>
std::int64_t tile_start(std::int64_t c, int k, std::int64_t end) noexcept {
    constexpr std::int64_t width = T::groups * T::W;
    const std::int64_t at = c + k * width;
    return at + width <= end ? at : end - width;
}

// The column after a band's last (its tiles start at c, see tile_start()).
template <class T>
std::int64_t band_end(std::int64_t c, int tiles, std::int64_t end) noexcept {
    const std::int64_t past = c + tiles * std::int64_t{T::groups * T::W};
    return past < end ? past : end;
}

// A band whose outputs are streamed (see stream_min_bytes) has the tiles of a chunk write a
// block of rows into a buffer, every output's, and the chunk's block is then streamed to the
// outputs, row by row. A chunk's block stays in the first-level cache.
inline constexpr std::int64_t stage_bytes = std::int64_t{24} << 10;

template <class T, class Step>
int chunk_tiles(std::int64_t depth) noexcept {
    const std::int64_t fit = stage_bytes / (depth * Step::outputs * T::groups * T::W * std::int64_t{sizeof(double)});
    return fit < 1 ? 1 : fit > max_band_tiles ? max_band_tiles : static_cast<int>(fit);
}

// Tiles of a chunk of a row in a sweep's row stage: every output's part within
// `row_stage_bytes`, which stays in the first-level cache.
inline constexpr std::int64_t row_stage_bytes = std::int64_t{12} << 10;
template <class T>
int row_chunk_tiles(int tiles) noexcept {
    const std::int64_t fit = row_stage_bytes / (T::NO * T::groups * T::W * std::int64_t{sizeof(double)});
    return fit < 1 ? 1 : fit > tiles ? tiles : static_cast<int>(fit);
}

// A band in the consecutive layout, swept row by row: at each row every tile advances its
// groups, so a group comes round again only after the whole band's, where in a block its
// step's state is stored at one row and loaded at the next straight after (the load waits
// on the store). A band's share of a row is one stream of addresses per input and output,
// which the processor's prefetchers follow; a narrow band's tiles ask for their inputs
// `ahead` rows on, as they do in blocks (see prefetch_rows()). `direct[k]`: tile k streams
// its float outputs. With `row_stage` (row_chunk_tiles() tiles' part of a row, every
// output's, from an address aligned to 64 bytes) the tiles write each row there instead, a
// chunk of tiles at a time, and each chunk's part of the row is then streamed to the outputs
// in one piece (see run_band()).
template <class T>
void sweep(const LaneColumns& b, T* band, int tiles, std::int64_t c, std::int64_t end, std::int64_t ahead,
           const bool* direct, unsigned char* row_stage, LineStream<typename T::value_type>* lines) noexcept {
    using V = typename T::value_type;
    constexpr int NI = T::NI, NO = T::NO;
    constexpr std::ptrdiff_t tile_bytes = T::groups * T::W * static_cast<std::ptrdiff_t>(sizeof(double));
    constexpr std::ptrdiff_t group_bytes = T::W * static_cast<std::ptrdiff_t>(sizeof(double));
    std::ptrdiff_t offset[max_band_tiles];  // tile k's first column from tile 0's, in bytes
    const std::int64_t first = tile_start<T>(c, 0, end);
    for (int k = 0; k < tiles; ++k) {
        offset[k] = (tile_start<T>(c, k, end) - first) * static_cast<std::ptrdiff_t>(sizeof(double));
    }
    const std::ptrdiff_t row_bytes = (band_end<T>(c, tiles, end) - c) * static_cast<std::ptrdiff_t>(sizeof(double));
    std::ptrdiff_t in_step[NI], out_step[NO];
    bool int_output[NO];
    const unsigned char* in_row[NI];
    unsigned char* out_row[NO];
    for (int i = 0; i < NI; ++i) {
        in_step[i] = b.in_step[i];
        in_row[i] = band[0].in[0][i][0];
    }
    for (int o = 0; o < NO; ++o) {
        out_step[o] = b.out_step[o];
        int_output[o] = b.int_output[o];
        out_row[o] = band[0].out[0][o][0];
    }
    const std::int64_t ahead_until = ahead > 0 ? b.rows - ahead : 0;
    const int chunk = row_chunk_tiles<T>(tiles);
    const std::ptrdiff_t chunk_bytes = std::ptrdiff_t{chunk} * tile_bytes;
    for (std::int64_t t = 0; t < b.rows; ++t) {
        int k0 = 0;  // the first tile of the chunk of the row in row_stage
        for (int k = 0; k < tiles; ++k) {
            const unsigned char* in[NI];
            unsigned char* out[NO];
            for (int i = 0; i < NI; ++i) {
                in[i] = in_row[i] + offset[k];
                if (t < ahead_until) {
                    for (std::ptrdiff_t at = 0; at < tile_bytes; at += 64) prefetch(in[i] + ahead * in_step[i] + at, false);
                }
            }
            if (row_stage != nullptr) {
                const std::ptrdiff_t at = offset[k] - offset[k0];
                for (int o = 0; o < NO; ++o) out[o] = row_stage + o * chunk_bytes + at;
                band[k].template row<false>(t, in, [&](int o, int g, V y) { T::put(out[o] + g * group_bytes, y, int_output[o], false); });
                if (k + 1 == tiles || k + 1 - k0 == chunk) {
                    const std::ptrdiff_t bytes = (k + 1 == tiles ? row_bytes : offset[k + 1]) - offset[k0];
                    for (int o = 0; o < NO; ++o) {
                        stream_copy<V>(out_row[o] + offset[k0], row_stage + o * chunk_bytes, bytes);
                    }
                    k0 = k + 1;
                }
            } else if (lines != nullptr) {
                if constexpr (VI_STREAM_STORES && T::W > 1) {
                    // Each output's values together: SuperTrend on 500 series x 20,000 rows,
                    // two threads, 19.5-20.1 ms as each group advanced, 18.9-19.4 so.
                    band[k].template row<true>(t, in, [&](int o, int g, V y) {
                        unsigned char* at = out_row[o] + offset[k] + g * group_bytes;
                        lines[o].put(at, int_output[o] ? int64_bits(y) : y);
                    });
                }
            } else {
                for (int o = 0; o < NO; ++o) out[o] = out_row[o] + offset[k];
                band[k].template row<false>(t, in, [&](int o, int g, V y) { T::put(out[o] + g * group_bytes, y, int_output[o], direct[k]); });
            }
        }
        if constexpr (VI_STREAM_STORES && T::W > 1) {
            for (int o = 0; o < NO && lines != nullptr; ++o) lines[o].finish();
        }
        for (int i = 0; i < NI; ++i) in_row[i] += in_step[i];
        for (int o = 0; o < NO; ++o) out_row[o] += out_step[o];
    }
}

// The W values at from(0), ..., from(W - 1), transposed: v[k] holds lane k of each. By
// LaneTraits::load_transposed() where the value type has one (see there why).
template <class V, class From>
void load_transposed(From from, V* v) noexcept {
    constexpr int W = LaneTraits<V>::lanes;
    if constexpr (requires(const double* const* at) { LaneTraits<V>::load_transposed(at, v); }) {
        const double* at[W];
        for (int q = 0; q < W; ++q) at[q] = reinterpret_cast<const double*>(from(q));
        LaneTraits<V>::load_transposed(at, v);
    } else {
        for (int q = 0; q < W; ++q) v[q] = LaneTraits<V>::load(reinterpret_cast<const double*>(from(q)));
        LaneTraits<V>::transpose(v);
    }
}

// W x W doubles from the W values at from(q) to the W values at to(q), transposed: lane k
// of the value at from(r) lands in lane r of the value at to(k).
template <class V, class From, class To>
void transpose_square(From from, To to) noexcept {
    constexpr int W = LaneTraits<V>::lanes;
    V v[W];
    load_transposed<V>(from, v);
    for (int q = 0; q < W; ++q) LaneTraits<V>::store(reinterpret_cast<double*>(to(q)), v[q]);
}

// Stands in for a LineStream where no output is streamed a value at a time: a value of
// one double, or no streaming stores at all (nothing is ever put).
struct NoLineStream {
    template <class V>
    void put(unsigned char*, V) noexcept {}
    void finish() noexcept {}
};

// A tile's inputs of a block of rows in the staged layout: each input's rows one after
// another, each row the tile's lanes side by side. As many rows as fit in `staged_bytes`,
// which stays in the first-level cache: a column's part of a block is then several cache
// lines, read front to back (F-order inputs).
inline constexpr std::int64_t staged_bytes = std::int64_t{24} << 10;

// The tiles of a band in the staged layout, one after another, each over every row a block
// at a time: the block's inputs copied into the buffer, then advanced from there as in the
// consecutive layout, its outputs stored as whole values (streamed where `direct[k]`). Where
// each column's rows lie together (a DataFrame's block, an F-order array), a tile reads its
// columns front to back. Against gathering lane by lane, on 5,000 series x 500 rows in F
// order (AMD Zen 5, AVX-512, two threads; one in brackets): EMA 3.0 -> 1.9 ms (5.9 -> 2.9),
// ATR 8.9 -> 4.9 (15.2 -> 8.0), ADX 15.5 -> 6.0 (29.7 -> 11.7), SuperTrend 13.5 -> 5.8
// (26.7 -> 10.3); on 500 x 500, 0.58-0.75 of the time. Where each column's rows lie together
// a block's inputs are copied W x W values at a time (W values of each of W columns, then
// transposed in registers).
// In the columns layout the outputs of a block go to a second buffer, laid out as the
// inputs', and are then transposed W rows at a time and stored straight to each column:
// streamed with `stream` as whole lines (see LineStream), an int output as its int64 bits.
// Stored so rather than through a column buffer and a copy of each column's rows, ADX on
// 5,000 series x 500 rows in F order took 10.3 ms against 11.4 on one thread (5.7 against
// 6.3 on two). The lines of the next block (after a tile's last, the next tile's first)
// are asked for between the rows of this one, a few after each row: its inputs where each
// column's rows lie together, and its outputs where they are stored plainly. Asked for all
// at once before the rows, the requests waited on one another (the processor takes a
// bounded number at once) with no arithmetic to cover them: ADX on 500 x 20,000 took 41
// ms against 35 so (one thread); on 500 x 1,024, whose results are stored plainly, 4.4 ms
// without asking for the outputs' lines against 3.1 (Intel Xeon, AVX-512).
template <class T>
void run_staged(const LaneColumns& b, T* band, int tiles, std::int64_t c, std::int64_t end, const bool* direct,
                bool stream = false) noexcept {
    using V = typename T::value_type;
    constexpr int NI = T::NI, NO = T::NO;
    constexpr bool columns = T::layout == Layout::columns;
    constexpr std::int64_t width = T::groups * T::W;
    constexpr std::ptrdiff_t row_bytes = width * static_cast<std::ptrdiff_t>(sizeof(double));
    constexpr int W = T::W;
    constexpr std::ptrdiff_t value_bytes = sizeof(double);
    // Whole squares of W rows where there is room for one.
    constexpr std::int64_t fit = staged_bytes / ((NI + (columns ? NO : 0)) * row_bytes);
    constexpr std::int64_t depth = fit < W ? (fit < 1 ? 1 : fit) : fit / W * W;
    alignas(64) unsigned char staged[NI * depth * row_bytes];
    alignas(64) unsigned char staged_out[columns ? NO * depth * row_bytes : 1];
    alignas(64) unsigned char column[columns ? W * depth * value_bytes : 1];
    using Lines = std::conditional_t<(VI_STREAM_STORES && W > 1), LineStream<V>, NoLineStream>;
    for (int k = 0; k < tiles; ++k) {
        const std::int64_t first = tile_start<T>(c, k, end);
        Lines lines[columns ? NO * width : 1];  // each output column's run of lines
        for (std::int64_t t0 = 0; t0 < b.rows; t0 += depth) {
            const std::int64_t count = b.rows - t0 < depth ? b.rows - t0 : depth;
            for (int i = 0; i < NI; ++i) {
                unsigned char* to = staged + i * depth * row_bytes;
                const std::ptrdiff_t step = b.in_step[i];
                // Rows in squares of W lanes where each column's rows lie together: W values of
                // W columns each, transposed in registers.
                const bool together = step == value_bytes;
                const std::int64_t squares = together && W > 1 ? count / W * W : 0;
                for (std::int64_t j = 0; j < width; ++j) {
                    const unsigned char* from = b.in[(first + j) * NI + i] + t0 * step;
                    for (std::int64_t r = squares; r < count; ++r) {
                        std::memcpy(to + r * row_bytes + j * value_bytes, from + r * step, sizeof(double));
                    }
                }
                for (std::int64_t j = 0; j < width && squares > 0; j += W) {
                    const unsigned char* from[W];
                    for (int q = 0; q < W; ++q) from[q] = b.in[(first + j + q) * NI + i] + t0 * value_bytes;
                    for (std::int64_t r = 0; r < squares; r += W) {
                        transpose_square<V>([&](int q) { return from[q] + r * value_bytes; },
                                            [&](int q) { return to + (r + q) * row_bytes + j * value_bytes; });
                    }
                }
            }
            // The next block's lines, input after input (then output after output), column
            // after column, each column's front to back; as many after each row as finish
            // them with the block's last.
            const bool last = t0 + count == b.rows;
            const std::int64_t ask_first = !last ? first : k + 1 < tiles ? tile_start<T>(c, k + 1, end) : -1;
            const std::ptrdiff_t ask_at = (last ? 0 : t0 + count) * value_bytes;
            const std::int64_t ask_rows = std::min(last ? b.rows : b.rows - t0 - count, depth);
            const std::int64_t column_lines = (ask_rows * value_bytes + 63) / 64;
            bool asks[NI + NO];
            std::int64_t ask_total = 0;
            for (int i = 0; i < NI + NO; ++i) {
                asks[i] = ask_first >= 0 &&
                          (i < NI ? b.in_step[i] == value_bytes : columns && !stream);
                ask_total += asks[i] ? column_lines * width : 0;
            }
            const std::int64_t per_row = (ask_total + count - 1) / count;
            int ask_i = -1;  // the stream now asked for: input or output ask_i's column ask_j
            std::int64_t ask_j = width, left = 0, unasked = ask_total;
            const unsigned char* line = nullptr;
            auto ask = [&](std::int64_t) {
                for (std::int64_t n = std::min(per_row, unasked); n > 0; --n, --unasked) {
                    if (left == 0) {
                        if (++ask_j >= width) {
                            ask_j = 0;
                            while (!asks[++ask_i]) {
                            }
                        }
                        line = (ask_i < NI ? b.in[(ask_first + ask_j) * NI + ask_i]
                                           : b.out[(ask_first + ask_j) * NO + ask_i - NI]) + ask_at;
                        left = column_lines;
                    }
                    prefetch(line, ask_i >= NI);
                    line += 64;
                    --left;
                }
            };
            if constexpr (columns) {
                band[k].rows(b, t0, t0 + count, 0, staged_out, depth * row_bytes, row_bytes, false, staged,
                             depth * row_bytes, row_bytes, ask);
                const std::int64_t squares = W > 1 ? count / W * W : 0;
                const bool plain = !stream;
                // Streamed values shorter than a line would each leave a line partly written
                // until the next square's: there each column's rows of the block are put
                // together in `column` and streamed in one piece.
                const bool gathered = stream && sizeof(V) < 64;
                for (int o = 0; o < NO; ++o) {
                    const unsigned char* from = staged_out + o * depth * row_bytes;
                    for (std::int64_t j = 0; j < width; j += W) {
                        unsigned char* to[W];
                        for (int q = 0; q < W; ++q) to[q] = b.out[(first + j + q) * NO + o] + t0 * value_bytes;
                        for (std::int64_t r = 0; r < squares; r += W) {
                            V v[W];
                            load_transposed<V>([&](int q) { return from + (r + q) * row_bytes + j * value_bytes; }, v);
                            for (int q = 0; q < W; ++q) {
                                unsigned char* at = to[q] + r * value_bytes;
                                if (gathered) {
                                    unsigned char* const in_column = column + (q * depth + r) * value_bytes;
                                    LaneTraits<V>::store(reinterpret_cast<double*>(in_column), v[q]);
                                } else if (plain) {
                                    LaneTraits<V>::store(reinterpret_cast<double*>(at), v[q]);
                                } else {
                                    lines[o * width + j + q].put(at, v[q]);
                                }
                            }
                        }
                        if (!gathered && squares == count) continue;
                        // The rows past the last whole square (the last block's) join them.
                        const std::int64_t done = gathered ? 0 : squares;
                        for (int q = 0; q < W; ++q) {
                            unsigned char* const at = column + q * depth * value_bytes;
                            for (std::int64_t r = squares; r < count; ++r) {
                                std::memcpy(at + r * value_bytes, from + r * row_bytes + (j + q) * value_bytes, sizeof(double));
                            }
                            const std::int64_t n = count - done;
                            if (plain) {
                                std::memcpy(to[q] + done * value_bytes, at + done * value_bytes,
                                            static_cast<std::size_t>(n) * sizeof(double));
                            } else {
                                lines[o * width + j + q].finish();
                                stream_copy<V>(to[q] + done * value_bytes, at + done * value_bytes, n * value_bytes);
                            }
                        }
                    }
                }
            } else {
                band[k].rows(b, t0, t0 + count, 0, nullptr, 0, 0, direct[k], staged, depth * row_bytes, row_bytes, ask);
            }
        }
        for (auto& line : lines) line.finish();
    }
}

template <class T, class Step, Visit O>
void run_band(const LaneColumns& b, std::int64_t c, int tiles, std::int64_t end, bool narrow, T* band) noexcept {
    using V = typename T::value_type;
    for (int k = 0; k < tiles; ++k) band[k].init(b, tile_start<T>(c, k, end));
    constexpr int tile_bytes = T::groups * T::W * static_cast<int>(sizeof(double));
    const std::ptrdiff_t band_bytes = (band_end<T>(c, tiles, end) - c) * static_cast<std::ptrdiff_t>(sizeof(double));
    const std::int64_t depth = block_depth<Step>(band_bytes);
    const std::int64_t rows_ahead = T::layout == Layout::consecutive && narrow ? prefetch_rows(band_bytes) : 0;
    // A narrow band's streamed outputs pass through a block of rows of a chunk of tiles (tens
    // of KB), unless it is swept; without that memory they are written in place.
    const bool swept = T::layout == Layout::consecutive &&
                       (O == Visit::rows || (O == Visit::near_rows && tiles * sizeof(T::steps) <= near_steps_bytes));
    const bool streamed = T::layout != Layout::gather && b.stream_outputs;
    // Whether every row of the band's outputs starts on a multiple of `bytes`.
    auto rows_on = [&](std::size_t bytes) {
        bool on = true;
        for (int o = 0; o < T::NO; ++o) {
            on = on && b.out_step[o] % bytes == 0 && reinterpret_cast<std::uintptr_t>(band[0].out[0][o][0]) % bytes == 0;
        }
        return on;
    };
    // A band in blocks whose output rows are off 16 bytes (an odd number of doubles apart)
    // has its blocks staged as a narrow band's are: every value of such a row would go out
    // in 8- and 16-byte pieces (see Tile::put()). Measured on Intel Xeon (AVX-512), 5,001
    // series x 500 rows, two threads: EMA 1.36 -> 1.17 ms, ATR 1.89 -> 1.67; with rows 32
    // bytes off (5,004 series) staged was slower (EMA 1.07 -> 1.17, ATR 1.62 -> 1.81).
    std::unique_ptr<unsigned char[]> staged;
    int chunk = tiles;
    if (streamed && (narrow || !rows_on(16)) && !swept && T::layout != Layout::staged &&
        T::layout != Layout::columns) {
        chunk = chunk_tiles<T, Step>(depth);
        staged.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(chunk * tile_bytes * depth * T::NO)]);
        if (!staged) chunk = tiles;
    }
    unsigned char* const stage = staged.get();
    const std::ptrdiff_t stage_row = std::ptrdiff_t{chunk} * tile_bytes;
    // A wider band's streamed outputs go straight from its tiles of lanes (see put()).
    bool direct[max_band_tiles] = {};
    bool any_direct = false;
    if (VI_STREAM_STORES && T::W > 1 && streamed && stage == nullptr) {
        bool steps = true;
        for (int o = 0; o < T::NO; ++o) steps = steps && b.out_step[o] % sizeof(double) == 0;
        for (int k = 0; k < tiles && steps; ++k) {
            bool aligned = true;
            for (int o = 0; o < T::NO; ++o) {
                aligned = aligned && reinterpret_cast<std::uintptr_t>(band[k].out[0][o][0]) % sizeof(double) == 0;
            }
            direct[k] = aligned;
            any_direct = any_direct || aligned;
        }
    }
    if constexpr (T::layout == Layout::staged) {
        run_staged<T>(b, band, tiles, c, end, direct);
        if (any_direct) stream_fence<V>();
        return;
    }
    if constexpr (T::layout == Layout::columns) {
        run_staged<T>(b, band, tiles, c, end, direct, VI_STREAM_STORES && streamed);
        if (streamed) stream_fence<V>();
        return;
    }
    if constexpr (O != Visit::blocks) {
        if (swept) {
            // A swept band whose output rows are off a value's alignment streams each
            // output's row in whole lines, the end of one value joined with the start of the
            // next (see LineStream), between the steps' arithmetic, where a row stage's copy
            // adds a pass that the arithmetic does not hide. Measured on Intel Xeon
            // (AVX-512), against the row stage (rows 8 or 16 bytes off) or the halves of
            // Tile::put() (32), one thread (two in brackets): 500 series x 20,000 rows, ADX
            // 29.9 -> 24.4 ms (16.2 -> 15.1), SuperTrend 26.9 -> 22.8 (19.0 -> 19.2), ATR 15.9
            // -> 15.5 (9.3 -> 8.9); 5,001 x 500, ADX 7.2 -> 5.2 (3.9 -> 2.9), SuperTrend 6.0
            // -> 5.2 (3.3 -> 2.9); 5,004 x 500, ADX 6.4 -> 5.2 (3.1 -> 3.0). A step of one
            // input and one output (EMA) keeps the row stage: on 500 x 20,000 it took 3.1-3.3
            // ms on two threads staged against 3.8-4.1 so.
            if constexpr (VI_STREAM_STORES && T::W > 1 && Step::inputs + Step::outputs > 2) {
                if (streamed && !rows_on(sizeof(V)) && rows_on(sizeof(double))) {
                    LineStream<V> lines[T::NO];
                    sweep<T>(b, band, tiles, c, end, rows_ahead, direct, nullptr, lines);
                    stream_fence<V>();
                    return;
                }
            }
            // Another swept band whose output rows are off a value's alignment (EMA's, or
            // any where lines cannot be joined) writes each row into a buffer first, a
            // chunk of a few KB at a time, which one stream_copy() takes in whole lines (see
            // sweep()). Measured on Intel Xeon (AVX-512), two threads, against the pieces of
            // Tile::put(): 500 series x 20,000 rows, EMA 3.8 -> 3.1 ms, ADX 18.2 -> 16.8; 501
            // series, EMA 5.1 -> 3.1, ADX 22.6 -> 17.3; ADX on 5,001 series x 500 rows 5.3 ->
            // 4.0 ms, on 5,002 5.3 -> 4.8. A wider band stages only rows off 32 bytes (with
            // rows 32 bytes off, 5,004 series, ADX was level: 3.7 -> 3.8 ms) and without an
            // int output (SuperTrend's direction, when it was stored plainly, was slower so:
            // 5,004 x 500 3.8 -> 4.2 ms, 5,001 4.0 -> 4.3).
            bool floats = true;
            for (int o = 0; o < T::NO; ++o) floats = floats && !b.int_output[o];
            std::unique_ptr<unsigned char[]> row_stage;
            if (streamed && !rows_on(sizeof(V)) && (narrow || (floats && !rows_on(32)))) {
                const std::int64_t bytes = row_chunk_tiles<T>(tiles) * std::int64_t{tile_bytes} * T::NO;
                row_stage.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(bytes + 64)]);
            }
            unsigned char* at = row_stage.get();
            if (at != nullptr) at += (64 - reinterpret_cast<std::uintptr_t>(at) % 64) % 64;
            sweep<T>(b, band, tiles, c, end, rows_ahead, direct, at, nullptr);
            if (at != nullptr) any_direct = true;
            if (any_direct) stream_fence<V>();
            return;
        }
    }
    for (std::int64_t t0 = 0; t0 < b.rows; t0 += depth) {
        const std::int64_t t1 = t0 + depth < b.rows ? t0 + depth : b.rows;
        for (int k0 = 0; k0 < tiles; k0 += chunk) {
            const int k1 = k0 + chunk < tiles ? k0 + chunk : tiles;
            const std::int64_t first = tile_start<T>(c, k0, end);
            for (int k = k0; k < k1; ++k) {
                if constexpr (T::layout == Layout::consecutive) {
                    // The block's rows of a tile ahead, a cache line at a time: the rows of a block
                    // are many short streams at once, more than the processor's prefetchers follow.
                    // Past the band's last tile, the next block's rows of its first tiles.
                    const bool next_block = k + prefetch_tiles >= tiles;
                    const std::int64_t a0 = next_block ? t1 : t0;
                    const std::int64_t a1 = next_block ? std::min(t1 + depth, b.rows) : t1;
                    int k_ahead = k + prefetch_tiles;  // modulo tiles, without a division a tile
                    while (k_ahead >= tiles) k_ahead -= tiles;
                    const T& ahead = band[k_ahead];
                    // Inputs a narrow band's tiles ask for themselves, and lines a streaming
                    // store writes, are not asked for here.
                    const bool inputs = rows_ahead == 0;
                    const bool outputs = stage == nullptr && !direct[k_ahead];
                    for (std::int64_t t = a0; t < a1 && (inputs || outputs); ++t) {
                        for (int i = 0; i < T::NI && inputs; ++i) {
                            for (int at = 0; at < tile_bytes; at += 64) {
                                prefetch(ahead.in[0][i][0] + t * b.in_step[i] + at, false);
                            }
                        }
                        for (int o = 0; o < T::NO && outputs; ++o) {
                            for (int at = 0; at < tile_bytes; at += 64) {
                                prefetch(ahead.out[0][o][0] + t * b.out_step[o] + at, true);
                            }
                        }
                    }
                }
                if (stage != nullptr) {
                    const std::ptrdiff_t offset = (tile_start<T>(c, k, end) - first) * static_cast<std::ptrdiff_t>(sizeof(double));
                    band[k].rows(b, t0, t1, rows_ahead, stage + offset, depth * stage_row, stage_row);
                } else {
                    band[k].rows(b, t0, t1, rows_ahead, nullptr, 0, 0, direct[k]);
                }
            }
            if (stage != nullptr) {
                const std::ptrdiff_t bytes = (band_end<T>(c, k1, end) - first) * static_cast<std::ptrdiff_t>(sizeof(double));
                for (int o = 0; o < T::NO; ++o) {
                    for (std::int64_t t = t0; t < t1; ++t) {
                        stream_copy<V>(band[k0].out[0][o][0] + t * b.out_step[o],
                                       stage + (o * depth + t - t0) * stage_row, bytes);
                    }
                }
            }
        }
    }
    if (stage != nullptr || any_direct) stream_fence<V>();
}

template <class Step, class V, int G, Visit O, Layout L>
void band(const LaneColumns& b, std::int64_t c, int tiles, std::int64_t end, bool narrow) noexcept {
    using T = Tile<Step, V, G, L>;
    const std::unique_ptr<T[]> heap(new (std::nothrow) T[static_cast<std::size_t>(tiles)]);
    if (heap) return run_band<T, Step, O>(b, c, tiles, end, narrow, heap.get());
    T stack[stack_band_tiles];
    for (int k = 0; k < tiles; k += stack_band_tiles) {
        const int part = tiles - k < stack_band_tiles ? tiles - k : stack_band_tiles;
        run_band<T, Step, O>(b, c + k * G * T::W, part, end, narrow, stack);
    }
}

template <class Step, class V, int G, Visit O>
void bands(const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept;

// The groups of a tile in the columns layout: as many as keep its input columns, each read
// front to back, within `column_streams` (at most G). More streams at once than that, the
// next block's lines asked for ahead come in late: ATR (three inputs) on 500 series x
// 20,000 rows in F order, two threads, took 16.9 ms in tiles of four groups of eight
// doubles (96 streams) against 11.0 in two (48). With the lines asked for between the
// rows (see run_staged()), tiles of one group (24 streams) against two, in the same
// order: on 500 x 20,000, ATR 9.8 -> 8.7 ms, ADX 20.0 -> 16.8, SuperTrend 14.7 -> 12.4; on
// 5,000 x 500, ADX 5.7 -> 5.4, ATR 3.1 -> 3.2 (EMA, one input, level). Measured on Intel
// Xeon (AVX-512).
inline constexpr int column_streams = 24;
template <class Step, class V, int G>
inline constexpr int column_groups = [] {
    const int fit = column_streams / (Step::inputs * LaneTraits<V>::lanes);
    return fit < 1 ? 1 : fit > G ? G : fit;
}();

template <class Step, class V, int G, Visit O>
void band(const LaneColumns& b, std::int64_t c, int tiles, std::int64_t end, bool narrow) noexcept {
    const std::int64_t past = std::min(c + tiles * std::int64_t{G * LaneTraits<V>::lanes}, end);
    switch (layout<V>(b, c, static_cast<int>(past - c))) {
        case Layout::consecutive: return band<Step, V, G, O, Layout::consecutive>(b, c, tiles, end, narrow);
        case Layout::shared: return band<Step, V, G, O, Layout::shared>(b, c, tiles, end, narrow);
        case Layout::gather: return band<Step, V, G, O, Layout::gather>(b, c, tiles, end, narrow);
        case Layout::staged:
            // A narrow band of a large result (a tall table) keeps gathering, where its tiles
            // take each block of rows in turn; staged, each tile over all the rows in turn
            // with its outputs streamed, measured slower there (ATR on 500 series x 20,000
            // rows in F order, two threads: 13.6-14.2 ms gathered, 16.7-17.7 staged; EMA,
            // ADX and SuperTrend level or slower by a tenth).
            if (narrow && b.stream_outputs) return band<Step, V, G, O, Layout::gather>(b, c, tiles, end, narrow);
            return band<Step, V, G, O, Layout::staged>(b, c, tiles, end, narrow);
        case Layout::columns:
            if constexpr (G == column_groups<Step, V, G>) {
                return band<Step, V, G, O, Layout::columns>(b, c, tiles, end, narrow);
            } else {
                return bands<Step, V, column_groups<Step, V, G>, O>(b, c, past);
            }
    }
}

// Columns [begin, end), at least one tile's, in bands of tiles of G groups of V (see
// tile_start(); a last band of less than a tile starts a tile before `end`).
template <class Step, class V, int G, Visit O>
void bands(const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    constexpr std::int64_t width = G * LaneTraits<V>::lanes;
    // Narrow by the thread's share of a row, not by a band's width: with four doubles a
    // value, 256 tiles of two groups are only 16 KB, and a wide table's bands, staged
    // with rows asked for ahead, were slower (AMD Zen 3, 5,000 series x 500 rows, two
    // threads: ADX 10.5-12 ms against 9.4-10.9 ms).
    const bool narrow = (end - begin) * std::int64_t{sizeof(double)} <= narrow_band_bytes;
    for (std::int64_t c = begin; c < end;) {
        if (end - c < width) c = end - width;
        const std::int64_t left = (end - c + width - 1) / width;
        const int tiles = static_cast<int>(left < max_band_tiles ? left : max_band_tiles);
        band<Step, V, G, O>(b, c, tiles, end, narrow);
        c += tiles * width;
    }
}

}  // namespace detail

// Columns [begin, end) in tiles of G groups of V, or of single groups where there are fewer
// columns than a tile, their rows visited in the order O; returns `begin` where there are
// fewer than one group's lanes (a narrower value type takes them).
template <class Step, class V, int G, Visit O = Visit::blocks>
std::int64_t lane_loop(const LaneColumns& b, std::int64_t begin, std::int64_t end) noexcept {
    constexpr std::int64_t W = LaneTraits<V>::lanes;
    if (end - begin >= G * W) {
        detail::bands<Step, V, G, O>(b, begin, end);
    } else if (end - begin >= W) {
        detail::bands<Step, V, 1, O>(b, begin, end);
    } else {
        return begin;
    }
    return end;
}

}  // namespace vi
