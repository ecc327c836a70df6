// Kernel harness: runs every kernel over fixed pseudo-random inputs and prints one digest of the
// output bits per run, with no Python involved, so that any toolchain and target can build it
// (natively, cross-compiled, under an emulator) and builds can be compared line by line.
//
// Inputs are made from integers only (a quarter-tick random walk from a 64-bit generator), so
// every build sees the same doubles; one data set is NaN-free with many ties, the other has NaN,
// +/-inf, -0.0, 0.0, subnormals and huge values sprinkled in. Each run goes through the views
// the bindings use, once over contiguous arrays and once over strided ones (the two
// instantiations of every kernel; on x86 also ADX's AVX loop, which only contiguous arrays
// take, against its pair loop); the two must agree bit for bit, and nothing may be written
// outside the output elements, or the harness fails. Every NaN digests alike (its sign and
// payload are the hardware's, not part of a result), as in the Python tests.
//
// Another path of the same arithmetic is a row of `kernels` whose `same_as` names the row it
// must reproduce (the batch lanes, `*.lanes`, are such rows; the stream objects would be
// another): its digest is checked against that row's for every case of the shared grid,
// besides the comparison across builds.
//
// Output: one line per case, `name params length data digest`, then `runs N, failures F`; exit
// status 1 when there are failures (each printed on a line of its own starting with FAIL).
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "adx/kernel.hpp"
#include "atr/kernel.hpp"
#include "batch/columns.hpp"
#include "ema/kernel.hpp"
#include "normalized_t3/kernel.hpp"
#include "numeric/lane_loop.hpp"
#include "numeric/views.hpp"
#include "numeric/window_extremes.hpp"
#include "stochastic/kernel.hpp"
#include "supertrend/kernel.hpp"

namespace {

using Params = std::array<double, 3>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// The arrays of one run, as the bindings hand them to the kernels. `in` holds the inputs
// (src, or high, low, close), `out` the double outputs, `out_int` the int64 ones.
struct Io {
    std::int64_t length;
    std::vector<vi::Raw<const double>> in;
    std::vector<vi::Raw<double>> out;
    std::vector<vi::Raw<std::int64_t>> out_int;
};

struct Kernel {
    const char* name;
    const char* params;  // the parameter names printed with each case
    int inputs;          // 1 (src) or 3 (high, low, close)
    int outputs;
    int int_outputs;
    std::vector<Params> grid;
    void (*run)(const Io&, const Params&);
    const char* same_as = nullptr;  // a row whose results this one must reproduce
};

int as_int(double p) { return static_cast<int>(p); }

// Disagreements found inside a run (a lane column unlike the others), reported by main.
int inner_failures = 0;

double read(vi::Raw<const double> raw, std::int64_t t) {
    double v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(raw.data) + t * raw.step, sizeof v);
    return v;
}

template <class T>
void write(vi::Raw<T> raw, std::int64_t t, const void* from) {
    std::memcpy(reinterpret_cast<unsigned char*>(raw.data) + t * raw.step, from, sizeof(T));
}

// The batch's lane loop over copies of the case's series side by side in the wide form (row t
// of column c at t * columns + c): groups of two-lane values first, then the columns left one
// at a time, as batch/_lanes.cpp runs it; enough columns for one whole tile and a rest.
// Column 0 goes to the outputs; every other column must hold the same bits (NaN aside).
template <template <class> class Step, int G>
void run_lanes(const Io& io, const Params& p, vi::batch::Indicator ind) {
    using Wide = Step<vi::Lanes2>;
    constexpr int ni = Wide::inputs, no = Wide::outputs;
    constexpr std::int64_t columns = G * vi::LaneTraits<vi::Lanes2>::lanes + 1;
    const std::int64_t rows = io.length;
    if (rows == 0) return;
    vi::batch::ColumnParams column_params;
    column_params.set(ind, p.data());
    std::vector<double> in(static_cast<std::size_t>(ni * rows * columns));
    std::vector<double> out(static_cast<std::size_t>(no * rows * columns));
    auto at = [rows](int k, std::int64_t t, std::int64_t c) {
        return static_cast<std::size_t>((k * rows + t) * columns + c);
    };
    std::vector<const unsigned char*> in_at;
    std::vector<unsigned char*> out_at;
    std::vector<const void*> params;
    for (std::int64_t c = 0; c < columns; ++c) {
        for (int i = 0; i < ni; ++i) {
            for (std::int64_t t = 0; t < rows; ++t) in[at(i, t, c)] = read(io.in[static_cast<std::size_t>(i)], t);
            in_at.push_back(reinterpret_cast<const unsigned char*>(&in[at(i, 0, c)]));
        }
        for (int o = 0; o < no; ++o) out_at.push_back(reinterpret_cast<unsigned char*>(&out[at(o, 0, c)]));
        params.push_back(column_params.step_params(ind));
    }
    // The integer outputs (SuperTrend's direction) are the last ones.
    const int doubles = static_cast<int>(io.out.size());
    vi::LaneColumns b{};
    b.rows = rows;
    b.inputs = ni;
    b.outputs = no;
    for (int i = 0; i < ni; ++i) b.in_step[i] = columns * static_cast<std::ptrdiff_t>(sizeof(double));
    for (int o = 0; o < no; ++o) {
        b.out_step[o] = columns * static_cast<std::ptrdiff_t>(sizeof(double));
        b.int_output[o] = o >= doubles;
    }
    b.in = in_at.data();
    b.out = out_at.data();
    b.params = params.data();
    const std::int64_t rest = vi::lane_loop<Wide, vi::Lanes2, G>(b, 0, columns);
    vi::lane_loop<Step<double>, double, G>(b, rest, columns);

    for (int o = 0; o < no; ++o) {
        for (std::int64_t t = 0; t < rows; ++t) {
            const double first = out[at(o, t, 0)];
            for (std::int64_t c = 1; c < columns; ++c) {
                const double v = out[at(o, t, c)];
                const bool same = (std::isnan(v) && std::isnan(first)) || std::memcmp(&v, &first, sizeof v) == 0;
                if (!same) {
                    std::printf("FAIL lane column %lld of %lld differs from column 0 at row %lld, output %d\n",
                                static_cast<long long>(c), static_cast<long long>(columns),
                                static_cast<long long>(t), o);
                    ++inner_failures;
                    return;
                }
            }
            if (o < doubles) {
                write(io.out[static_cast<std::size_t>(o)], t, &first);
            } else {
                write(io.out_int[static_cast<std::size_t>(o - doubles)], t, &first);
            }
        }
    }
}

// Grids shared by a kernel and the other paths that must reproduce it.
const std::vector<Params> ema_grid = {{1}, {2}, {3}, {14}, {200}, {0}, {-1}};
const std::vector<Params> adx_grid = {{14, 14}, {1, 1}, {2, 3}, {7, 30}, {0, 5}, {5, 0}};
const std::vector<Params> atr_grid = {{14}, {1}, {2}, {0}, {-3}};
const std::vector<Params> supertrend_grid = {{10, 3.0}, {1, 0.5}, {3, -2.0}, {14, 0.0}};

const std::vector<Kernel> kernels = {
    {"ema", "period", 1, 1, 0, ema_grid,
     [](const Io& io, const Params& p) {
         vi::dispatch([&](auto src, auto out) { vi::ema::kernel(src, out, io.length, as_int(p[0])); },
                      io.in[0], io.out[0]);
     }},
    {"stochastic", "k_period d_period", 3, 2, 0,
     {{1, 1}, {1, 3}, {3, 1}, {14, 3}, {5, 7}, {200, 3}, {2, 0}, {2, -1}},
     [](const Io& io, const Params& p) {
         const std::int64_t k = as_int(p[0]), d = as_int(p[1]);
         const std::int64_t capacity = vi::tails_capacity(io.length, k);
         std::vector<double> tails(static_cast<std::size_t>(2 * capacity));
         vi::dispatch(
             [&](auto h, auto l, auto c, auto k_out, auto d_out) {
                 vi::stochastic::k_pass(h, l, c, k_out, io.length, k, nan, tails.data(), tails.data() + capacity);
                 vi::stochastic::d_pass(k_out, d_out, io.length, k, d, nan);
             },
             io.in[0], io.in[1], io.in[2], io.out[0], io.out[1]);
     }},
    {"adx", "di_length adx_smoothing", 3, 3, 0, adx_grid,
     [](const Io& io, const Params& p) {
         vi::dispatch(
             [&](auto h, auto l, auto c, auto plus, auto minus, auto adx) {
                 vi::adx::kernel(h, l, c, plus, minus, adx, io.length, as_int(p[0]), as_int(p[1]));
             },
             io.in[0], io.in[1], io.in[2], io.out[0], io.out[1], io.out[2]);
     }},
    {"atr", "period", 3, 1, 0, atr_grid,
     [](const Io& io, const Params& p) {
         vi::dispatch([&](auto h, auto l, auto c, auto out) { vi::atr::kernel(h, l, c, out, io.length, as_int(p[0])); },
                      io.in[0], io.in[1], io.in[2], io.out[0]);
     }},
    // SuperTrend reads the ATR of the same bars, computed here with the ATR kernel.
    {"supertrend", "period multiplier", 3, 1, 1, supertrend_grid,
     [](const Io& io, const Params& p) {
         std::vector<double> atr(static_cast<std::size_t>(io.length));
         vi::dispatch([&](auto h, auto l, auto c) {
             vi::atr::kernel(h, l, c, vi::Contiguous<double>{atr.data()}, io.length, as_int(p[0]));
         }, io.in[0], io.in[1], io.in[2]);
         const vi::Raw<const double> atr_raw{atr.data(), sizeof(double)};
         vi::dispatch(
             [&](auto h, auto l, auto c, auto a, auto line, auto direction) {
                 vi::supertrend::kernel(h, l, c, a, line, direction, io.length, p[1]);
             },
             io.in[0], io.in[1], io.in[2], atr_raw, io.out[0], io.out_int[0]);
     }},
    {"normalized_t3", "period t3_period volume_factor", 1, 1, 0,
     {{200, 2, 0.7}, {1, 1, 1.0}, {2, 2, 0.7}, {5, 3, 0.35}, {14, 0, 0.7}, {3, -1, 0.5}},
     [](const Io& io, const Params& p) {
         const std::int64_t period = as_int(p[0]);
         std::vector<double> t3(static_cast<std::size_t>(io.length));
         const std::int64_t capacity = vi::tails_capacity(io.length, period);
         std::vector<double> tails(static_cast<std::size_t>(2 * capacity));
         vi::dispatch([&](auto src) { vi::normalized_t3::t3_pass(src, t3.data(), io.length, as_int(p[1]), p[2], period); },
                      io.in[0]);
         vi::dispatch(
             [&](auto out) {
                 vi::normalized_t3::normalize_pass(t3.data(), out, io.length, period, tails.data(),
                                                   tails.data() + capacity, nan);
             },
             io.out[0]);
     }},
    // The batch lanes of each indicator that has them, against its single-series kernel.
    {"ema.lanes", "period", 1, 1, 0, ema_grid,
     [](const Io& io, const Params& p) { run_lanes<vi::ema::Step, 4>(io, p, vi::batch::Indicator::ema); }, "ema"},
    {"adx.lanes", "di_length adx_smoothing", 3, 3, 0, adx_grid,
     [](const Io& io, const Params& p) { run_lanes<vi::adx::Step, 2>(io, p, vi::batch::Indicator::adx); }, "adx"},
    {"atr.lanes", "period", 3, 1, 0, atr_grid,
     [](const Io& io, const Params& p) { run_lanes<vi::atr::Step, 4>(io, p, vi::batch::Indicator::atr); }, "atr"},
    {"supertrend.lanes", "period multiplier", 3, 1, 1, supertrend_grid,
     [](const Io& io, const Params& p) {
         run_lanes<vi::batch::SupertrendLanes, 2>(io, p, vi::batch::Indicator::supertrend);
     },
     "supertrend"},
};

// splitmix64: a fixed sequence of 64-bit integers on every target.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

struct Bars {
    std::vector<double> high, low, close;
};

// Quarter ticks around 100 (exact in binary); a high/low pair inverted now and then; with
// `special`, one value in 16 replaced by an IEEE special or extreme.
Bars make_bars(std::int64_t length, bool special, std::uint64_t seed) {
    static constexpr double specials[] = {nan, inf, -inf, -0.0, 0.0, 5e-324, 1e308, -1e308};
    Random random{seed};
    Bars bars;
    int ticks = 400;
    for (std::int64_t i = 0; i < length; ++i) {
        ticks += random.below(9) - 4;  // often unchanged: ties in close and in the windows
        const double close = ticks * 0.25;
        double high = close + random.below(5) * 0.25;
        double low = close - random.below(5) * 0.25;
        if (random.below(20) == 0) std::swap(high, low);
        double values[] = {high, low, close};
        if (special) {
            for (double& v : values) {
                if (random.below(16) == 0) v = specials[random.below(8)];
            }
        }
        bars.high.push_back(values[0]);
        bars.low.push_back(values[1]);
        bars.close.push_back(values[2]);
    }
    return bars;
}

// FNV-1a over the bit patterns, byte by byte from the least significant, so the digest does
// not depend on the target's byte order.
struct Digest {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    void add(std::uint64_t bits) {
        for (int b = 0; b < 8; ++b) {
            hash ^= (bits >> (8 * b)) & 0xFF;
            hash *= 0x100000001B3ull;
        }
    }
};

template <class T>
bool is_nan(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::isnan(value);
    } else {
        return false;
    }
}

template <class T>
std::uint64_t bits_of(T value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Storage for one layout: `stride` elements apart, the cells in between and one past the end
// filled with a pattern (a NaN payload) that no kernel writes, so a stray write is seen.
constexpr std::uint64_t filler = 0x7FF8DEADBEEF0000ull;

template <class T>
struct Column {
    std::vector<T> cells;
    std::int64_t stride;
    Column(std::int64_t length, std::int64_t stride_) : stride(stride_) {
        T fill;
        std::memcpy(&fill, &filler, sizeof fill);
        cells.assign(static_cast<std::size_t>(length * stride + 1), fill);
    }
    template <class V>
    vi::Raw<V> raw() {
        return {cells.data(), static_cast<std::ptrdiff_t>(stride * static_cast<std::int64_t>(sizeof(T)))};
    }
    // Adds the elements to `digest`; false when a cell between or after them was written.
    // Every NaN counts as one: IEEE leaves the sign and payload of a NaN result to the
    // hardware and to operand order (x86 makes a negative default NaN, ARM a positive one),
    // and no result is defined by them.
    bool digest_into(Digest& digest) const {
        bool intact = true;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i % static_cast<std::size_t>(stride) == 0 && i + 1 < cells.size()) {
                digest.add(is_nan(cells[i]) ? bits_of(nan) : bits_of(cells[i]));
            } else {
                intact = intact && bits_of(cells[i]) == filler;
            }
        }
        return intact;
    }
};

struct Result {
    std::uint64_t digest;
    bool intact;  // nothing written outside the output elements
};

// Runs one kernel over one data set in one layout.
Result run_once(const Kernel& kernel, const Params& p, const Bars& bars, std::int64_t stride) {
    const std::int64_t length = static_cast<std::int64_t>(bars.close.size());
    const std::vector<double>* sources[] = {&bars.high, &bars.low, &bars.close};
    std::vector<Column<double>> in;
    for (int k = 0; k < kernel.inputs; ++k) {
        // One input is the close; three are high, low and close.
        const std::vector<double>& source = kernel.inputs == 1 ? bars.close : *sources[k];
        Column<double>& column = in.emplace_back(length, stride);
        for (std::int64_t i = 0; i < length; ++i) {
            column.cells[static_cast<std::size_t>(i * stride)] = source[static_cast<std::size_t>(i)];
        }
    }
    std::vector<Column<double>> out(static_cast<std::size_t>(kernel.outputs), Column<double>(length, stride));
    std::vector<Column<std::int64_t>> out_int(static_cast<std::size_t>(kernel.int_outputs),
                                              Column<std::int64_t>(length, stride));
    Io io{length, {}, {}, {}};
    for (auto& c : in) io.in.push_back(c.raw<const double>());
    for (auto& c : out) io.out.push_back(c.raw<double>());
    for (auto& c : out_int) io.out_int.push_back(c.raw<std::int64_t>());
    kernel.run(io, p);

    Digest digest;
    bool intact = true;
    for (const auto& c : out) intact = c.digest_into(digest) && intact;
    for (const auto& c : out_int) intact = c.digest_into(digest) && intact;
    return {digest.hash, intact};
}

std::string format_params(const Kernel& kernel, const Params& p) {
    const std::string names = kernel.params;
    std::string text;
    std::size_t k = 0, start = 0;
    while (start <= names.size()) {
        std::size_t end = names.find(' ', start);
        if (end == std::string::npos) end = names.size();
        char value[32];
        std::snprintf(value, sizeof value, "%.17g", p[k++]);
        text += names.substr(start, end - start) + "=" + value + " ";
        start = end + 1;
    }
    return text;
}

const Kernel* find_row(const char* name) {
    for (const Kernel& kernel : kernels) {
        if (std::strcmp(kernel.name, name) == 0) return &kernel;
    }
    return nullptr;
}

}  // namespace

int main() {
    // Lengths around the kernels' block sizes (ADX: 256, windows: the period), and one long
    // enough for ADX's AVX loop.
    const std::int64_t lengths[] = {0, 1, 2, 3, 17, 300, 1031};
    struct Data {
        const char* name;
        bool special;
    };
    const Data data_sets[] = {{"clean", false}, {"special", true}};

    std::vector<std::vector<std::uint64_t>> digests(kernels.size());  // per row, per case in order
    int runs = 0, failures = 0;
    for (std::size_t r = 0; r < kernels.size(); ++r) {
        const Kernel& kernel = kernels[r];
        const Kernel* oracle = kernel.same_as ? find_row(kernel.same_as) : nullptr;
        if (kernel.same_as && (oracle == nullptr || oracle >= &kernel)) {
            std::printf("FAIL %s: same_as %s names no earlier row\n", kernel.name, kernel.same_as);
            return 1;
        }
        for (const Params& p : kernel.grid) {
            for (const std::int64_t length : lengths) {
                for (const Data& data : data_sets) {
                    const Bars bars = make_bars(length, data.special, 0x5EED0000u + static_cast<std::uint64_t>(length));
                    const Result contiguous = run_once(kernel, p, bars, 1);
                    const Result strided = run_once(kernel, p, bars, 2);
                    const std::string label =
                        std::string(kernel.name) + " " + format_params(kernel, p) + "length=" +
                        std::to_string(length) + " data=" + data.name;
                    std::printf("%s %016" PRIx64 "\n", label.c_str(), contiguous.digest);
                    if (contiguous.digest != strided.digest || !contiguous.intact || !strided.intact) {
                        std::printf("FAIL %s: strided %016" PRIx64 ", contiguous intact %d, strided intact %d\n",
                                    label.c_str(), strided.digest, contiguous.intact, strided.intact);
                        ++failures;
                    }
                    const std::size_t index = digests[r].size();
                    if (oracle && (index >= digests[oracle - kernels.data()].size() ||
                                   digests[oracle - kernels.data()][index] != contiguous.digest)) {
                        std::printf("FAIL %s: differs from %s\n", label.c_str(), oracle->name);
                        ++failures;
                    }
                    digests[r].push_back(contiguous.digest);
                    ++runs;
                }
            }
        }
    }
    failures += inner_failures;
    std::printf("runs %d, failures %d\n", runs, failures);
    return failures == 0 ? 0 : 1;
}
