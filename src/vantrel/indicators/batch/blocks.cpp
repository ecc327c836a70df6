// The kept blocks of large results (blocks.hpp).
#include "batch/blocks.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <cstdint>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
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

void mark_reclaimable(Block block) noexcept {
#if defined(MADV_FREE)
    static const bool lazy = huge_pages();
    if (lazy) madvise(block.data, block.size, MADV_FREE);
#else
    (void)block;
#endif
}
#else
Block map(std::size_t size) noexcept { return {std::malloc(size), size, false}; }
void unmap(Block block) noexcept { std::free(block.data); }
void mark_reclaimable(Block) noexcept {}
#endif

// At most max_kept_bytes / page blocks are ever kept, so a fixed array holds them.
constexpr std::size_t max_kept = max_kept_bytes / page;

struct Kept {
    std::mutex lock;
    Block blocks[max_kept] = {};  // oldest first
    std::size_t count = 0;
    std::size_t bytes = 0;

    Block remove(std::size_t i) noexcept {
        const Block block = blocks[i];
        for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
        --count;
        bytes -= block.size;
        return block;
    }
};

// Never destroyed (placed in static storage): a result may be freed while the process exits,
// after static destructors have run.
Kept& kept() noexcept {
    alignas(Kept) static unsigned char storage[sizeof(Kept)];
    static Kept* const k = new (storage) Kept;
    return *k;
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
        // those (its pages the likeliest to be still in place).
        Kept& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        std::size_t best = k.count;
        for (std::size_t i = k.count; i-- > 0;) {
            const std::size_t s = k.blocks[i].size;
            if (s >= size && s <= size + size / 4 && (best == k.count || s < k.blocks[best].size)) best = i;
        }
        if (best < k.count) {
            Block block = k.remove(best);
            block.warm = true;
            return block;
        }
    }
    return map(size);
}

void give_block(Block block) noexcept {
    if (!block.data) return;
    const std::size_t cap = kept_bytes();
    if (block.size > cap) return unmap(block);
    mark_reclaimable(block);
    Block dropped[max_kept];
    std::size_t drop = 0;
    {
        // The oldest blocks make room for this one; they are returned outside the lock.
        Kept& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        while (k.count > 0 && (k.count == max_kept || k.bytes + block.size > cap)) {
            dropped[drop++] = k.remove(0);
        }
        k.blocks[k.count++] = block;
        k.bytes += block.size;
    }
    for (std::size_t i = 0; i < drop; ++i) unmap(dropped[i]);
}

}  // namespace vi::batch
