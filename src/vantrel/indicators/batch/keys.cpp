// Key numbering for the long form of the batch functions (see keys.hpp).
//
// A row's key is first compared with the previous row's and with the key numbered after that
// one (see Guess): in a table sorted by time or by key, that finds most keys without hashing.
// Else each kind of key has an open-addressing table whose slots hold the key itself (or, for
// long byte strings and objects, its hash and where its first copy is), so that a row costs
// one hash, one slot read and one compare. Tables stay at most half full and a key's slot is
// found from the top bits of its hash. Integers and floats are hashed by an invertible mix,
// so equal hashes are equal keys. Numbers, dates and byte strings are numbered on several
// threads, a part of the rows each (see number_rows).
#include "batch/keys.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

#include "batch/blocks.hpp"
#include "batch/buffer.hpp"

namespace vi::batch {
namespace {

constexpr std::uint64_t golden = 0x9e3779b97f4a7c15ULL;

// Invertible (twice an xorshift, then an odd multiplier): different keys, different hashes.
// The top bits depend on every bit of x, spread alike for integers, float bits and dates.
constexpr std::uint64_t mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 32)) * 0xd6e8feb86659fd93ULL;
    return (x ^ (x >> 32)) * 0xd6e8feb86659fd93ULL;
}

#if defined(__GNUC__) || defined(__clang__)
#define VI_KEYS_INLINE __attribute__((always_inline)) inline
#define VI_KEYS_COLD __attribute__((noinline, cold))
#else
#define VI_KEYS_INLINE inline
#define VI_KEYS_COLD
#endif

// The table: slots of type Slot, each with `code` (negative: empty) and `hash()`.
template <class Slot>
class Table {
public:
    Table() : slots_(std::size_t{1} << 10), at_(slots_.data()), mask_(slots_.size() - 1) {}

    // The code of the key with this hash: `same(slot)` says whether a slot holds it, and
    // `fill(slot)` writes it into an empty one, which then gets the code `next++`. The probe
    // is inlined into the loops over rows; a new key takes the call out of line.
    template <class Same, class Fill>
    VI_KEYS_INLINE std::int64_t code(std::uint64_t hash, std::int64_t& next, Same same, Fill fill) {
        for (std::size_t i = static_cast<std::size_t>(hash >> shift_);; i = (i + 1) & mask_) {
            const Slot& s = at_[i];
            if (s.code < 0) return add(i, next, fill);
            if (same(s)) return s.code;
        }
    }

private:
    template <class Fill>
    VI_KEYS_COLD std::int64_t add(std::size_t i, std::int64_t& next, Fill& fill) {
        Slot& s = at_[i];
        fill(s);
        const std::int64_t c = s.code = next++;
        if (2 * ++size_ > slots_.size()) grow();
        return c;
    }
    void grow() {
        std::vector<Slot> bigger(slots_.size() * 2);
        --shift_;
        const std::size_t mask = bigger.size() - 1;
        for (const Slot& s : slots_) {
            if (s.code < 0) continue;
            std::size_t i = static_cast<std::size_t>(s.hash() >> shift_);
            while (bigger[i].code >= 0) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots_.swap(bigger);
        at_ = slots_.data();
        mask_ = mask;
    }

    std::vector<Slot> slots_;
    Slot* at_;
    std::size_t mask_;
    int shift_ = 64 - 10;
    std::size_t size_ = 0;
};

// A 64-bit key (integers, float bits), held as its hash.
struct WordSlot {
    std::uint64_t h = 0;
    std::int64_t code = -1;
    std::uint64_t hash() const noexcept { return h; }
};

class WordKeys {
public:
    explicit WordKeys(std::int64_t& next) noexcept : next_(next) {}
    VI_KEYS_INLINE std::int64_t code(std::uint64_t key) {
        const std::uint64_t h = mix(key);
        return table_.code(h, next_, [h](const WordSlot& s) { return s.h == h; }, [h](WordSlot& s) { s.h = h; });
    }

private:
    Table<WordSlot> table_;
    std::int64_t& next_;
};

// The code of the key of the row before, or of the key numbered after it: in a table sorted
// by time then key, a row's key is mostly the one numbered after the previous row's (keys are
// numbered in the order of their first appearance), and sorted by key then time, the previous
// row's own. One compare with the key kept for each code finds it, without hashing and with
// the kept keys read front to back.
template <class Key, class Same = std::equal_to<Key>>
class Guess {
public:
    // Where a loop over rows is: the last row's code and key. The loop holds it in a local,
    // so that it stays in registers from row to row.
    struct Cursor {
        std::int64_t last = -1;
        Key key{};
    };

    // The code of `key` if it is one of those two, else -1.
    VI_KEYS_INLINE std::int64_t find(Key key, Cursor& at) const noexcept {
        if (at.last >= 0 && Same{}(key, at.key)) return at.last;
        const auto after = static_cast<std::size_t>(at.last + 1);
        if (after < keys_.size() && Same{}(keys_[after], key)) {
            at.key = keys_[after];  // (objects: the one held, not the row's)
            return at.last = static_cast<std::int64_t>(after);
        }
        return -1;
    }
    // The row's key has the code c (a new code is the next one).
    VI_KEYS_INLINE void saw(std::int64_t c, Key key, Cursor& at) {
        if (c == static_cast<std::int64_t>(keys_.size())) add(key);
        at.last = c;
        at.key = key;
    }

private:
    // Out of line, so that the key of the loop over rows stays in registers.
    VI_KEYS_COLD void add(Key key) { keys_.push_back(key); }

    std::vector<Key> keys_;  // by code
};

// Integers, float bits and dates.
class NumberKeys {
public:
    using Cursor = Guess<std::uint64_t>::Cursor;
    explicit NumberKeys(std::int64_t& next) noexcept : table_(next) {}
    VI_KEYS_INLINE std::int64_t code(std::uint64_t key, Cursor& at) {
        std::int64_t c = guess_.find(key, at);
        if (c < 0) {
            c = table_.code(key);
            guess_.saw(c, key, at);
        }
        return c;
    }

private:
    WordKeys table_;
    Guess<std::uint64_t> guess_;
};

// Byte strings: up to 15 bytes in two words with the length in the top byte; longer ones by
// a hash of all their bytes and where their first copy is (alive for the call).
struct ShortSlot {
    std::uint64_t w0 = 0, w1 = 0;
    std::int64_t code = -1;
    static std::uint64_t hash_of(std::uint64_t w0, std::uint64_t w1) noexcept { return mix(w0 + w1 * golden); }
    std::uint64_t hash() const noexcept { return hash_of(w0, w1); }
};

struct LongSlot {
    std::uint64_t h = 0;
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    std::int64_t code = -1;
    std::uint64_t hash() const noexcept { return h; }
};

inline std::uint64_t load_word(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

class BytesKeys {
public:
    explicit BytesKeys(std::int64_t& next) : words_(next), next_(next) {}

    // Up to 15 bytes and their length in two words: up to 7 bytes with the length in the top
    // byte of the first (the second 0); else the length in the top byte of the second.
    struct Packed {
        std::uint64_t w[2];
        std::uint64_t operator[](int k) const noexcept { return w[k]; }
        bool operator==(const Packed& o) const noexcept { return ((w[0] ^ o.w[0]) | (w[1] ^ o.w[1])) == 0; }
    };

    using Cursor = Guess<Packed>::Cursor;

    // The code of the missing key (an Arrow null).
    std::int64_t missing(Cursor& at) {
        if (missing_ < 0) missing_ = next_++;
        guess_.saw(missing_, unpacked, at);
        return missing_;
    }

    // The code of the n bytes at p; the bytes up to `end` may be read (past p + n).
    VI_KEYS_INLINE std::int64_t code(const unsigned char* p, std::size_t n, const unsigned char* end, Cursor& at) {
        if (n > 15) {
            const std::int64_t c = long_code(p, n);
            guess_.saw(c, unpacked, at);
            return c;
        }
        const Packed key = pack(p, n, end);
        std::int64_t c = guess_.find(key, at);
        if (c >= 0) return c;
        if (n <= 7) {
            c = words_.code(key[0]);
        } else {
            const std::uint64_t w0 = key[0], w1 = key[1];
            c = short_.code(
                ShortSlot::hash_of(w0, w1), next_, [w0, w1](const ShortSlot& s) { return s.w0 == w0 && s.w1 == w1; },
                [w0, w1](ShortSlot& s) {
                    s.w0 = w0;
                    s.w1 = w1;
                });
        }
        guess_.saw(c, key, at);
        return c;
    }

private:
    std::int64_t long_code(const unsigned char* p, std::size_t n) {
        // 16 bytes or more: whole words, then the last eight (overlapping the words before).
        std::uint64_t h = static_cast<std::uint64_t>(n) * golden;
        for (std::size_t k = 0; k + 8 <= n; k += 8) h = (h ^ load_word(p + k)) * 0xbf58476d1ce4e5b9ULL;
        h = mix(h ^ load_word(p + n - 8));
        return long_.code(
            h, next_, [=](const LongSlot& s) { return s.h == h && s.size == n && std::memcmp(s.bytes, p, n) == 0; },
            [=](LongSlot& s) {
                s.h = h;
                s.bytes = p;
                s.size = n;
            });
    }

    static constexpr Packed unpacked{{0, ~std::uint64_t{0}}};  // no packed key: a long one, a null

    static VI_KEYS_INLINE Packed pack(const unsigned char* p, std::size_t n, const unsigned char* end) noexcept {
        constexpr bool little = std::endian::native == std::endian::little;
        if (n <= 7) {
            std::uint64_t w;
            if (little && end - p >= 8) {
                w = load_word(p) & ((std::uint64_t{1} << (8 * n)) - 1);  // the bytes past the key cleared
            } else {
                w = load_padded(p, n)[0];
            }
            return {{w | static_cast<std::uint64_t>(n) << 56, 0}};
        }
        std::uint64_t w0, w1;
        if (little && end - p >= 16) {
            w0 = load_word(p);
            w1 = load_word(p + 8) & ((std::uint64_t{1} << (8 * (n - 8))) - 1);
        } else {
            const auto w = load_padded(p, n);
            w0 = w[0];
            w1 = w[1];
        }
        return {{w0, w1 | static_cast<std::uint64_t>(n) << 56}};  // on either byte order, past byte 14
    }

    // The n <= 15 bytes at p followed by zeros, as two words.
    static std::array<std::uint64_t, 2> load_padded(const unsigned char* p, std::size_t n) noexcept {
        unsigned char b[16] = {};
        if (n > 0) std::memcpy(b, p, n);
        return {load_word(b), load_word(b + 8)};
    }

    WordKeys words_;
    Table<ShortSlot> short_;
    Table<LongSlot> long_;
    Guess<Packed> guess_;
    std::int64_t& next_;
    std::int64_t missing_ = -1;
};

// Python objects: equal objects one key (the dict's rule: hash, identity, then ==), NaN
// floats one key. A key's first object is held by a reference for the call, and the row's
// object too while code that Python may run (__hash__, __eq__) compares it.
struct ObjectSlot {
    std::uint64_t h = 0;
    PyObject* first = nullptr;
    std::int64_t code = -1;
    std::uint64_t hash() const noexcept { return h; }
};

class ObjectKeys {
public:
    // The guess's compare: the same object, or text with the same characters.
    struct SameKey {
        bool operator()(PyObject* a, PyObject* b) const noexcept {
            return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && same_text(a, b));
        }
    };

    using Cursor = Guess<PyObject*, SameKey>::Cursor;
    explicit ObjectKeys(std::int64_t& next) noexcept : next_(next) {}

    std::int64_t code(PyObject* o, Cursor& at) {
        if (o == nullptr) raise(PyExc_ValueError, "factorize(): a key is missing");
        // The same object as a key's first is that key (the held references keep the first
        // objects alive, so no other object has their address).
        std::int64_t c = guess_.find(o, at);
        if (c < 0) {
            c = lookup(o);
            guess_.saw(c, held_[static_cast<std::size_t>(c)].get(), at);
        }
        return c;
    }

private:
    std::int64_t lookup(PyObject* o) {
        auto fill = [this, o](std::uint64_t h) {
            return [this, o, h](ObjectSlot& s) {
                held_.push_back(Ref::borrow(o));
                s.h = h;
                s.first = o;
            };
        };
        if (PyUnicode_CheckExact(o)) {
            // The common key, text: its hash is kept in the object, its characters compared
            // here (no Python code runs).
            const std::uint64_t h = mix(static_cast<std::uint64_t>(hash(o)));
            return table_.code(
                h, next_,
                [o, h](const ObjectSlot& s) {
                    if (s.h != h) return false;
                    if (s.first == o) return true;
                    return PyUnicode_CheckExact(s.first) ? same_text(s.first, o) : equal(s.first, o);
                },
                fill(h));
        }
        const bool nan = is_nan(o);
        const bool plain = PyLong_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None;
        const Ref hold = plain ? Ref() : Ref::borrow(o);
        const std::uint64_t h = nan ? nan_hash : mix(static_cast<std::uint64_t>(hash(o)));
        return table_.code(
            h, next_,
            [o, h, nan](const ObjectSlot& s) {
                if (s.h != h) return false;
                if (s.first == o) return true;
                if (nan) return is_nan(s.first);
                return equal(s.first, o);
            },
            fill(h));
    }

    static constexpr std::uint64_t nan_hash = 0x7ff8000000000000ULL;
    static bool is_nan(PyObject* o) noexcept { return PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)); }
    static Py_hash_t hash(PyObject* o) {
        const Py_hash_t h = PyObject_Hash(o);
        if (h == -1 && PyErr_Occurred()) throw PythonError{};
        return h;
    }
    static bool equal(PyObject* a, PyObject* b) {
        const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
        if (eq < 0) throw PythonError{};
        return eq == 1;
    }
    static bool same_text(PyObject* a, PyObject* b) noexcept {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
        const auto* x = static_cast<const unsigned char*>(PyUnicode_DATA(a));
        const auto* y = static_cast<const unsigned char*>(PyUnicode_DATA(b));
        const auto size = static_cast<std::size_t>(n) * PyUnicode_KIND(a);
        if (size > 16) return std::memcmp(x, y, size) == 0;
        for (std::size_t i = 0; i < size; ++i) {  // a short key: no call
            if (x[i] != y[i]) return false;
        }
        return true;
    }

    Table<ObjectSlot> table_;
    std::vector<Ref> held_;  // by code: the key's first object
    Guess<PyObject*, SameKey> guess_;
    std::int64_t& next_;
};

// The interpreter lock released for the life of the object.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// The codes of the rows: a contiguous int32 or int64 array (written as such, which tells the
// compiler that the stores leave the tables alone). int32 codes need fewer than 2**31 rows.
class Codes {
public:
    Codes(PyObject* o, std::int64_t rows) {
        view_.acquire_codes(o, true, "codes");
        if (view_.shape(0) != rows) raise(PyExc_ValueError, "factorize(): codes and keys differ in length");
        if (rows > 1 && view_.stride(0) != view_.itemsize()) raise(PyExc_ValueError, "factorize(): codes must be contiguous");
        if (view_.itemsize() == 4 && rows > std::numeric_limits<std::int32_t>::max()) {
            raise(PyExc_ValueError, "factorize(): int32 codes for 2**31 rows or more");
        }
        if (reinterpret_cast<std::uintptr_t>(view_.data()) % view_.itemsize() != 0) {
            raise(PyExc_ValueError, "factorize(): codes must be aligned");
        }
    }
    bool wide() const noexcept { return view_.itemsize() == 8; }
    template <class C>
    C* data() const noexcept {
        return reinterpret_cast<C*>(view_.data());
    }

private:
    View view_;
};

// The sources of keys without Python objects: each numbers rows [begin, end) with its kind of
// table, handing (row, code) to `emit`.
// Integers of any width (as int64, unsigned ones as their bits) and floats (every NaN one
// key, -0.0 the key 0.0).
template <class T>
struct NumberSource {
    using Keys = NumberKeys;
    const unsigned char* base;
    std::ptrdiff_t step;
    template <class Emit>
    void each(Keys& keys, std::int64_t begin, std::int64_t end, Emit emit) const {
        typename Keys::Cursor at;
        for (std::int64_t r = begin; r < end; ++r) {
            T v;
            std::memcpy(&v, base + r * step, sizeof v);
            emit(r, keys.code(key(v), at));
        }
    }
    static std::uint64_t key(T v) noexcept {
        if constexpr (std::is_floating_point_v<T>) {
            double d = static_cast<double>(v);
            if (d != d) d = std::numeric_limits<double>::quiet_NaN();
            if (d == 0.0) d = 0.0;
            return std::bit_cast<std::uint64_t>(d);
        } else {
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
        }
    }
};

struct FixedBytesSource {
    using Keys = BytesKeys;
    const unsigned char* base;
    std::ptrdiff_t step;
    std::size_t width;
    template <class Emit>
    void each(Keys& keys, std::int64_t begin, std::int64_t end, Emit emit) const {
        typename Keys::Cursor at;
        for (std::int64_t r = begin; r < end; ++r) {
            const unsigned char* p = base + r * step;
            // Only the key's own bytes: the rows may lie in any order in memory.
            emit(r, keys.code(p, width, p + width, at));
        }
    }
};

// Runs fn(t) for t = 0 .. n - 1, t = 0 on this thread and the others on threads of their own
// (or on this one, where a thread cannot start); the first exception of any is rethrown here.
template <class Fn>
void on_threads(int n, Fn fn) {
    if (n < 1) return;
    if (n > 1) defer_marking();
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(n));
    auto guarded = [&](int t) {
        try {
            fn(t);
        } catch (...) {
            errors[static_cast<std::size_t>(t)] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    int started = 1;
    try {
        pool.reserve(static_cast<std::size_t>(n - 1));
        for (; started < n; ++started) pool.emplace_back(guarded, started);
    } catch (...) {
    }
    for (int t = started; t < n; ++t) guarded(t);
    guarded(0);
    for (auto& th : pool) th.join();
    for (auto& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

// Numbers the rows of `source` into codes, the interpreter lock released. With threads > 1
// each thread numbers a contiguous part with a table of its own; then the keys of all parts
// are numbered again in part order (part 0's keep their codes, being first and in the same
// order), and the codes of the later parts are mapped to those numbers. The codes are those
// of one pass over all rows whatever the thread count.
template <class Source, class C>
std::int64_t number_rows(const Source& source, std::int64_t rows, int threads, C* codes) {
    using Keys = typename Source::Keys;
    constexpr std::int64_t least_part = std::int64_t{1} << 16;  // rows worth a thread
    const Unlocked unlocked;
    const int parts = static_cast<int>(std::clamp<std::int64_t>(rows / least_part, 1, threads));
    std::int64_t next = 0;
    Keys all(next);
    if (parts == 1) {
        source.each(all, 0, rows, [codes](std::int64_t r, std::int64_t c) { codes[r] = static_cast<C>(c); });
        return next;
    }
    auto bound = [rows, parts](int t) { return rows * t / parts; };
    std::vector<std::vector<std::int64_t>> first_rows(static_cast<std::size_t>(parts));
    on_threads(parts, [&](int t) {
        std::int64_t local = 0;
        Keys keys(local);
        std::vector<std::int64_t>* first = &first_rows[static_cast<std::size_t>(t)];
        // `seen` (the part's keys so far) is the lambda's own, so that it stays in a register
        // across the stores of the codes.
        source.each(keys, bound(t), bound(t + 1),
                    [codes, first, seen = std::int64_t{0}](std::int64_t r, std::int64_t c) mutable {
                        codes[r] = static_cast<C>(c);
                        if (c == seen) {  // a new key
                            first->push_back(r);
                            ++seen;
                        }
                    });
    });
    std::vector<std::vector<std::int64_t>> maps(static_cast<std::size_t>(parts));  // local code -> code
    for (int t = 0; t < parts; ++t) {
        const std::vector<std::int64_t>& first = first_rows[static_cast<std::size_t>(t)];
        std::vector<std::int64_t>& map = maps[static_cast<std::size_t>(t)];
        map.resize(first.size());
        for (std::size_t c = 0; c < first.size(); ++c) {
            source.each(all, first[c], first[c] + 1, [&map, c](std::int64_t, std::int64_t g) { map[c] = g; });
        }
    }
    on_threads(parts - 1, [&](int t) {
        const std::vector<std::int64_t>& map = maps[static_cast<std::size_t>(t + 1)];
        // A part whose keys first appear in the order of the whole (a table sorted by time then
        // key, say) has its codes already.
        bool same = true;
        for (std::size_t c = 0; same && c < map.size(); ++c) same = map[c] == static_cast<std::int64_t>(c);
        if (same) return;
        for (std::int64_t r = bound(t + 1); r < bound(t + 2); ++r) {
            codes[r] = static_cast<C>(map[static_cast<std::size_t>(codes[r])]);
        }
    });
    return next;
}

// number_rows with the codes' width.
template <class Source>
std::int64_t number_rows(const Source& source, std::int64_t rows, int threads, const Codes& codes) {
    return codes.wide() ? number_rows(source, rows, threads, codes.data<std::int64_t>())
                        : number_rows(source, rows, threads, codes.data<std::int32_t>());
}

template <class C>
std::int64_t object_codes(const View& keys, C* codes) {
    std::int64_t next = 0;
    ObjectKeys table(next);
    ObjectKeys::Cursor at;
    const std::int64_t rows = keys.shape(0);
    const unsigned char* base = keys.data();
    const std::ptrdiff_t step = keys.stride(0);
    for (std::int64_t r = 0; r < rows; ++r) {
        PyObject* o;
        std::memcpy(&o, base + r * step, sizeof o);
        codes[r] = static_cast<C>(table.code(o, at));
    }
    return next;
}

// The format of a buffer without its byte-order prefix (native order only).
const char* plain_format(const View& v) {
    const char* f = v.format();
    if (*f == '@' || *f == '=') ++f;
    return f;
}

int thread_count(PyObject* o) {
    const long n = PyLong_AsLong(o);
    if (n == -1 && PyErr_Occurred()) throw PythonError{};
    return static_cast<int>(std::clamp<long>(n, 1, 1024));
}

}  // namespace

PyObject* factorize(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 3) raise(PyExc_TypeError, "factorize() takes 3 arguments");
        View keys;
        keys.acquire_any(args[0]);
        if (keys.ndim() != 1) raise(PyExc_ValueError, "factorize(): keys must be 1-D");
        const std::int64_t rows = keys.shape(0);
        const Codes codes(args[1], rows);
        const int threads = thread_count(args[2]);
        const char* f = plain_format(keys);
        const Py_ssize_t size = keys.itemsize();
        const unsigned char* base = keys.data();
        const std::ptrdiff_t step = keys.stride(0);
        auto numbers = [&]<class T>(T) { return number_rows(NumberSource<T>{base, step}, rows, threads, codes); };
        std::int64_t count = -1;
        if (f[0] != '\0' && f[1] == '\0') {
            switch (f[0]) {
                case 'b': count = numbers(std::int8_t{}); break;
                case 'B': case '?': count = numbers(std::uint8_t{}); break;
                case 'h': count = numbers(std::int16_t{}); break;
                case 'H': count = numbers(std::uint16_t{}); break;
                case 'i': count = numbers(std::int32_t{}); break;
                case 'I': count = numbers(std::uint32_t{}); break;
                case 'l': case 'q': count = size == 8 ? numbers(std::int64_t{}) : numbers(std::int32_t{}); break;
                case 'L': case 'Q': count = size == 8 ? numbers(std::uint64_t{}) : numbers(std::uint32_t{}); break;
                case 'f': count = numbers(float{}); break;
                case 'd': count = numbers(double{}); break;
                case 'O':
                    count = codes.wide() ? object_codes(keys, codes.data<std::int64_t>())
                                         : object_codes(keys, codes.data<std::int32_t>());
                    break;
                default: break;
            }
        } else {
            // numpy's fixed-width strings: "<n>s" (bytes) and "<n>w" (UCS-4).
            const char* end = f;
            while (*end >= '0' && *end <= '9') ++end;
            if ((*end == 's' || *end == 'w') && end[1] == '\0' && size > 0) {
                count = number_rows(FixedBytesSource{base, step, static_cast<std::size_t>(size)}, rows, threads, codes);
            }
        }
        if (count < 0) {
            PyErr_Format(PyExc_ValueError, "factorize(): keys of format '%s' are not numbered here", keys.format());
            return nullptr;
        }
        return PyLong_FromLongLong(count);
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

struct BadArrow {
    const char* message;
};

// One chunk of an Arrow string or binary array, its buffers held for the call.
struct ArrowChunk {
    std::int64_t length = 0, offset = 0;
    bool large = false;
    View validity, offsets, data;
    bool has_validity = false, has_data = false;

    void acquire(PyObject* item) {
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 6) {
            raise(PyExc_TypeError, "factorize_arrow(): a chunk is (length, offset, validity, offsets, data, large)");
        }
        length = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 0));
        if (length == -1 && PyErr_Occurred()) throw PythonError{};
        offset = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 1));
        if (offset == -1 && PyErr_Occurred()) throw PythonError{};
        const int is_large = PyObject_IsTrue(PyTuple_GET_ITEM(item, 5));
        if (is_large < 0) throw PythonError{};
        large = is_large == 1;
        constexpr std::int64_t most = std::int64_t{1} << 56;  // no product below overflows
        if (length < 0 || offset < 0 || length > most || offset > most) {
            raise(PyExc_ValueError, "factorize_arrow(): bad length or offset");
        }
        PyObject* v = PyTuple_GET_ITEM(item, 2);
        PyObject* d = PyTuple_GET_ITEM(item, 4);
        has_validity = v != Py_None;
        has_data = d != Py_None;
        if (has_validity) validity.acquire_any(v);
        offsets.acquire_any(PyTuple_GET_ITEM(item, 3));
        if (has_data) data.acquire_any(d);
        // Every bit and offset that the rows name lies inside its buffer.
        const std::int64_t width = large ? 8 : 4;
        if (length > 0 && bytes(offsets) < (offset + length + 1) * width) {
            raise(PyExc_ValueError, "factorize_arrow(): the offsets buffer is too short");
        }
        if (has_validity && length > 0 && bytes(validity) < (offset + length + 7) / 8) {
            raise(PyExc_ValueError, "factorize_arrow(): the validity buffer is too short");
        }
    }
    static std::int64_t bytes(const View& v) noexcept {
        std::int64_t n = v.itemsize();
        for (int k = 0; k < v.ndim(); ++k) n *= v.shape(k);
        return n;
    }

    // emit(first + i, code) for the rows i of [begin, end) of the chunk.
    template <class Offset, class Emit>
    VI_KEYS_INLINE void each(BytesKeys& keys, std::int64_t begin, std::int64_t end, std::int64_t first, Emit& emit,
                             BytesKeys::Cursor& at) const {
        const unsigned char* bits = has_validity ? validity.data() : nullptr;
        const unsigned char* base = has_data ? data.data() : nullptr;
        const std::int64_t size = has_data ? bytes(data) : 0;
        const unsigned char* stop_at = base + size;
        const unsigned char* bounds = offsets.data();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t j = offset + i;
            if (bits != nullptr && ((bits[j >> 3] >> (j & 7)) & 1) == 0) {
                emit(first + i, keys.missing(at));
                continue;
            }
            Offset start, stop;
            std::memcpy(&start, bounds + j * sizeof(Offset), sizeof start);
            std::memcpy(&stop, bounds + (j + 1) * sizeof(Offset), sizeof stop);
            if (start < 0 || stop < start || static_cast<std::int64_t>(stop) > size) {
                throw BadArrow{"factorize_arrow(): an offset lies outside the data buffer"};
            }
            emit(first + i, keys.code(base + start, static_cast<std::size_t>(stop - start), stop_at, at));
        }
    }
};

// The rows of the chunks one after the other.
struct ArrowSource {
    using Keys = BytesKeys;
    const std::deque<ArrowChunk>& chunks;
    std::vector<std::int64_t> starts;  // row of each chunk's first, then the row count

    explicit ArrowSource(const std::deque<ArrowChunk>& c) : chunks(c), starts{0} {
        for (const ArrowChunk& chunk : chunks) starts.push_back(starts.back() + chunk.length);
    }
    template <class Emit>
    void each(Keys& keys, std::int64_t begin, std::int64_t end, Emit emit) const {
        Keys::Cursor at;
        // The chunk of row `begin`, then chunk after chunk.
        auto k = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
        for (; k < chunks.size() && starts[k] < end; ++k) {
            const std::int64_t first = starts[k];
            const std::int64_t from = std::max(begin, first) - first, to = std::min(end, starts[k + 1]) - first;
            if (chunks[k].large) {
                chunks[k].each<std::int64_t>(keys, from, to, first, emit, at);
            } else {
                chunks[k].each<std::int32_t>(keys, from, to, first, emit, at);
            }
        }
    }
};

}  // namespace

PyObject* factorize_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 3) raise(PyExc_TypeError, "factorize_arrow() takes 3 arguments");
        const Ref list = Ref::steal(PySequence_Fast(args[0], "factorize_arrow(): chunks must be a sequence"));
        if (!list) throw PythonError{};
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.get());
        std::deque<ArrowChunk> chunks;
        for (Py_ssize_t k = 0; k < n; ++k) chunks.emplace_back().acquire(PySequence_Fast_GET_ITEM(list.get(), k));
        const ArrowSource source(chunks);
        const std::int64_t rows = source.starts.back();
        const Codes codes(args[1], rows);
        const int threads = thread_count(args[2]);
        try {
            return PyLong_FromLongLong(number_rows(source, rows, threads, codes));
        } catch (const BadArrow& bad) {
            raise(PyExc_ValueError, bad.message);
        }
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace vi::batch
