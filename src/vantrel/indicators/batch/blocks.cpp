// The kept blocks of large results (blocks.hpp).
#include "batch/blocks.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#define VI_BLOCKS_MMAP 1
#else
#define VI_BLOCKS_MMAP 0
#endif

namespace vi::batch {
namespace {

// Blocks are whole huge pages (2 MB on x86-64 and most aarch64 systems), from a boundary.
constexpr std::size_t page = std::size_t{2} << 20;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + page - 1) / page * page; }

#if VI_BLOCKS_MMAP
#if defined(MADV_FREE)
// Whether the system backs memory with transparent huge pages on request: only then does
// marking a kept block free to reclaim cost nothing to undo (its pages stay mapped until the
// system wants them; on small pages the next writes fault again).
bool huge_pages() noexcept {
#if defined(__linux__)
    std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (!f) return false;
    char text[128] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    return std::strstr(text, "[never]") == nullptr && n > 0;
#else
    return false;
#endif
}
#endif

Block map(std::size_t size) noexcept {
    // Mapped a page longer than needed, then trimmed to a page boundary at both ends.
    void* raw = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return {nullptr, 0, false};
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + page - 1) / page * page;
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + size + page;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* data = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    madvise(data, size, MADV_HUGEPAGE);
#endif
    return {data, size, false};
}

void unmap(Block block) noexcept { munmap(block.data, block.size); }

// Whether marking a block free to reclaim does anything here.
bool marking() noexcept {
#if defined(MADV_FREE)
    static const bool lazy = huge_pages();
    return lazy;
#else
    return false;
#endif
}

void mark_reclaimable(Block block) noexcept {
#if defined(MADV_FREE)
    if (marking()) madvise(block.data, block.size, MADV_FREE);
#else
    (void)block;
#endif
}
#else
Block map(std::size_t size) noexcept { return {std::malloc(size), size, false}; }
void unmap(Block block) noexcept { std::free(block.data); }
bool marking() noexcept { return false; }
void mark_reclaimable(Block) noexcept {}
#endif

using Clock = std::chrono::steady_clock;

// Once a call has run on several threads (defer_marking()), a block given back is marked
// free to reclaim only after it has waited `mark_delay` unused, by a thread of its own:
// marking a range clears it from every processor's address translations, and a processor
// that has just run one of the process's threads must be interrupted and answer first. On
// a virtual machine with two processors, freeing the 20 MB result of a wide EMA (5,000
// series x 500 rows) took 40-65 us so after a call on two threads (the call 0.75-0.85 ms),
// 12-14 us after a call on one thread, and 3 us unmarked. A block taken again before then is
// never marked, and is as fast to write (0.79 against 0.82 ms a call, medians).
constexpr auto mark_delay = std::chrono::milliseconds(100);

// At most max_kept_bytes / page blocks are ever kept, so a fixed array holds them.
constexpr std::size_t max_kept = max_kept_bytes / page;

struct Kept {
    struct Entry {
        Block block;
        bool marked;              // free to reclaim
        Clock::time_point since;  // when it was given back
    };
    std::mutex lock;
    std::condition_variable due;       // the marking thread waits here for blocks to mark
    std::condition_variable restored;  // the blocks out for marking are back
    Entry entries[max_kept] = {};      // oldest first
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::size_t out = 0;  // blocks out of `entries` while the marking thread marks them
    bool marker = false;    // the marking thread runs (and marks the blocks given back)
    bool sleeping = false;  // the marking thread waits for a block to be given back

    Entry remove(std::size_t i) noexcept {
        const Entry entry = entries[i];
        for (std::size_t j = i + 1; j < count; ++j) entries[j - 1] = entries[j];
        --count;
        bytes -= entry.block.size;
        return entry;
    }
    bool room(std::size_t size, std::size_t cap) const noexcept { return count < max_kept && bytes + size <= cap; }
    void add(Block block, bool marked) noexcept {
        entries[count++] = {block, marked, Clock::now()};
        bytes += block.size;
    }
};

Kept& kept() noexcept;

#if VI_BLOCKS_MMAP
// fork() copies the kept blocks into the child but none of the threads, so the child marks
// the blocks it gives back at once, as before kept threads ran. The lock is held across
// fork(), with no block out for marking, so that the child's copy of the list is whole.
void before_fork() noexcept {
    Kept& k = kept();
    std::unique_lock<std::mutex> hold(k.lock);
    k.restored.wait(hold, [&k] { return k.out == 0; });
    hold.release();
}
void after_fork_in_parent() noexcept { kept().lock.unlock(); }
void after_fork_in_child() noexcept {
    Kept& k = kept();
    new (&k.due) std::condition_variable;  // the parent's waiters are not in the child
    new (&k.restored) std::condition_variable;
    k.marker = false;
    k.sleeping = false;
    k.lock.unlock();
}
#endif

// Never destroyed (placed in static storage): a result may be freed while the process exits,
// after static destructors have run.
Kept& kept() noexcept {
    alignas(Kept) static unsigned char storage[sizeof(Kept)];
    static Kept* const k = [] {
        Kept* made = new (storage) Kept;
#if VI_BLOCKS_MMAP
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
#endif
        return made;
    }();
    return *k;
}

// The marking thread: every block that has waited mark_delay unmarked is taken out of the
// list, marked without the lock, and put back (a call that wants a block meanwhile waits
// for them rather than map a new one, see take_block()).
void mark_idle_blocks() noexcept {
    Kept& k = kept();
    std::unique_lock<std::mutex> hold(k.lock);
    bool rested = false;
    for (;;) {
        // When the first unmarked block came back (max() where none is).
        Clock::time_point first = Clock::time_point::max();
        for (std::size_t i = 0; i < k.count; ++i) {
            if (!k.entries[i].marked) first = std::min(first, k.entries[i].since);
        }
        if (first == Clock::time_point::max()) {
            // Nothing to mark: awake a while yet, then asleep until a block is given back.
            // Waking this thread costs the call that gives the block back about as much as
            // marking it (on a virtual machine, the other processor is woken by its host),
            // so blocks given back while it is awake wake nothing.
            if (!rested) {
                k.due.wait_for(hold, mark_delay);
                rested = true;
            } else {
                k.sleeping = true;
                k.due.wait(hold);
                k.sleeping = false;
                rested = false;
            }
            continue;
        }
        rested = false;
        if (Clock::now() < first + mark_delay) {
            k.due.wait_until(hold, first + mark_delay);
            continue;
        }
        Block marked[max_kept];
        std::size_t n = 0;
        const Clock::time_point now = Clock::now();
        for (std::size_t i = k.count; i-- > 0;) {
            if (!k.entries[i].marked && now - k.entries[i].since >= mark_delay) marked[n++] = k.remove(i).block;
        }
        k.out += n;
        hold.unlock();
        for (std::size_t i = 0; i < n; ++i) mark_reclaimable(marked[i]);
        hold.lock();
        // Back in the list where they still fit (blocks given back meanwhile took the room
        // first); the others go back to the system.
        const std::size_t cap = kept_bytes();
        std::size_t drop = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (k.room(marked[i].size, cap)) {
                k.add(marked[i], true);
            } else {
                marked[drop++] = marked[i];
            }
        }
        k.out -= n;
        k.restored.notify_all();
        if (drop > 0) {
            hold.unlock();
            for (std::size_t i = 0; i < drop; ++i) unmap(marked[i]);
            hold.lock();
        }
    }
}

// The memory this process may have: the machine's, or less where the control group
// (version 2) of the process sets a limit; 0 where unknown.
unsigned long long memory_bytes() noexcept {
    unsigned long long bytes = 0;  // 64 bits, also where a size_t is 32
#if VI_BLOCKS_MMAP && defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && size > 0) bytes = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(size);
#endif
#if defined(__linux__)
    if (std::FILE* f = std::fopen("/sys/fs/cgroup/memory.max", "r")) {
        unsigned long long limit = 0;
        if (std::fscanf(f, "%llu", &limit) == 1 && limit > 0 && (bytes == 0 || limit < bytes)) bytes = limit;
        std::fclose(f);
    }
#endif
    return bytes;
}

}  // namespace

std::size_t kept_bytes() noexcept {
    static const std::size_t bytes = [] {
        constexpr unsigned long long least = 64ULL << 20;
        const unsigned long long share = memory_bytes() / 16;
        return static_cast<std::size_t>(share < least ? least : share > max_kept_bytes ? max_kept_bytes : share);
    }();
    return bytes;
}

Block take_block(std::size_t bytes) noexcept {
    const std::size_t size = rounded(bytes == 0 ? 1 : bytes);
    {
        // The smallest kept block of the size or up to a quarter larger, the last kept of
        // those (its pages the likeliest to be still in place). Blocks out for marking come
        // back within tens of microseconds, far sooner than a new block's pages are cleared.
        Kept& k = kept();
        std::unique_lock<std::mutex> hold(k.lock);
        for (;;) {
            std::size_t best = k.count;
            for (std::size_t i = k.count; i-- > 0;) {
                const std::size_t s = k.entries[i].block.size;
                if (s >= size && s <= size + size / 4 && (best == k.count || s < k.entries[best].block.size)) best = i;
            }
            if (best < k.count) {
                Block block = k.remove(best).block;
                block.warm = true;
                return block;
            }
            if (k.out == 0) break;
            k.restored.wait(hold);
        }
    }
    return map(size);
}

void give_block(Block block) noexcept {
    if (!block.data) return;
    const std::size_t cap = kept_bytes();
    if (block.size > cap) return unmap(block);
    Kept& k = kept();
    bool later;
    {
        const std::lock_guard<std::mutex> hold(k.lock);
        later = k.marker;
    }
    // Marked before it joins the list, where another call may take it at once.
    if (!later) mark_reclaimable(block);
    Block dropped[max_kept];
    std::size_t drop = 0;
    {
        // The oldest blocks make room for this one; they are returned outside the lock.
        const std::lock_guard<std::mutex> hold(k.lock);
        while (k.count > 0 && !k.room(block.size, cap)) dropped[drop++] = k.remove(0).block;
        k.add(block, !later);
        if (later && k.sleeping) k.due.notify_one();
    }
    for (std::size_t i = 0; i < drop; ++i) unmap(dropped[i]);
}

void defer_marking() noexcept {
    if (!marking()) return;
    Kept& k = kept();
    const std::lock_guard<std::mutex> hold(k.lock);
    if (k.marker) return;
    try {
        std::thread(mark_idle_blocks).detach();
    } catch (...) {
        return;  // blocks are then marked as they are given back
    }
    k.marker = true;
}

}  // namespace vi::batch
