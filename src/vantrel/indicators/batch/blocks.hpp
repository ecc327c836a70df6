// The memory of large results: blocks kept for the next call once their arrays are freed.
//
// A fresh block of tens of megabytes costs more than the arithmetic written into it: the
// C allocator maps it anew from the system for every call (blocks past its mapping
// threshold, at most 32 MB), and the system clears every page on its first write. Measured
// with ADX on 5,000 series x 500 rows (a 60 MB result): the call takes about a third of
// its time when the result is written into memory that a call before had already used.
// Results of a few megabytes fare no better: the allocator's heap, grown for them, is given
// back to the system when they are freed and grown again at the next call. SuperTrend on
// 500 series x 500 rows (two 2 MB outputs) took 3.7-4.6 ms a call so, against 0.4 ms for
// its loops; 0.74-0.77 ms in kept blocks (glibc's defaults, one thread).
// So the memory of a result of `block_min_bytes` or more is a block of its own, mapped in
// huge pages where the system has them, and when its arrays are freed the block waits for
// the next call that needs one of about its size, up to kept_bytes() kept at once: a
// sixteenth of the memory the process may have (the machine's, or its control group's
// limit where lower), between 64 MiB and `max_kept_bytes`.
// A kept block's pages may be taken back by the system at any time (they are marked free
// to reclaim, where that costs nothing to undo: as it is given back, or once other threads
// have run, after it has waited a while unused, see defer_marking()); a block is only ever
// handed out whole to a caller that writes every byte of it before reading any, and never
// marked while handed out.
#pragma once

#include <cstddef>

namespace vi::batch {

// A block is whole huge pages, so one of a result just past this is twice its size.
inline constexpr std::size_t block_min_bytes = std::size_t{1} << 20;
inline constexpr std::size_t max_kept_bytes = std::size_t{512} << 20;

// The most bytes kept at once (worked out once).
std::size_t kept_bytes() noexcept;

struct Block {
    void* data;
    std::size_t size;   // bytes mapped: at least the bytes asked for
    bool warm = false;  // a kept block: an earlier call wrote its pages (unless the system took them back)
};

// A block of at least `bytes` bytes: a kept one of about that size, else a new one;
// {nullptr, 0} when no memory can be had.
Block take_block(std::size_t bytes) noexcept;

// Gives a block back: kept for a later take_block, or returned to the system.
void give_block(Block block) noexcept;

// From now on, blocks given back are marked free to reclaim by a thread of their own once
// they have waited unused a while, rather than at once (call where a call has used other
// threads: marking at once then waits on the processors that ran them).
void defer_marking() noexcept;

}  // namespace vi::batch
