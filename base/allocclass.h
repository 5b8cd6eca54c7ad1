// allocclass.h - one size class of the pooled allocator: the blocks of one
// size, taken from a list of segments under one lock.
//
// Segments: the first one created is the head and stays until the class is
// trimmed or destroyed; every later one goes right behind the head.  The
// first segment holds max(16, 32768 / block size) blocks when blocks per
// segment exceed 16 and a full segment would exceed 32,768 bytes (2048
// blocks for the 16-byte class); later ones hold blocks per segment.
//
// take(): with no free block the class grows by a segment and serves from
// it; otherwise it walks the segments from the head and serves from the
// first that yields a block, moving that segment right behind the head when
// it is further back and still has room.  A free count that says "free" when
// no segment yields a block is a corrupt class: the process stops with the
// assertion "pret != nullptr" rather than hand out memory it cannot trust.
//
// put(): the block goes on its segment's free list.  When that leaves the
// segment entirely free, the class has more than 3 segments, the segment is
// not the head and the class's free blocks are not exactly one segment's
// worth, every entirely free segment behind the head goes back to the
// system.  (Exactly one segment's worth free is kept as a spare, so that a
// class that oscillates around a segment boundary does not map and unmap a
// region at every turn.)
//
// The class lives in one 48-byte record of the record store.
//
// Thread-safety: any thread.  Every member but blocksize() and perseg()
// takes the class's lock; the record store's lock is taken inside it.
#pragma once
#include <cstdint>

#include "base/alloclock.h"
#include "base/allocseg.h"
#include "base/recstore.h"

namespace zo {

class allocclass {
  public:
    allocclass(recstore* store, uint32_t blocksize, uint32_t perseg) noexcept
        : store_(store), blocksize_(blocksize), perseg_(perseg) {}
    allocclass(const allocclass&) = delete;
    allocclass& operator=(const allocclass&) = delete;

    // Blocks in the first segment of a class.
    static uint32_t firstblocks(uint32_t blocksize, uint32_t perseg) noexcept;

    // Creates the first segment now; false when it cannot be had.
    bool prime() noexcept;
    // A block of blocksize() bytes, or null when the system refuses a new
    // segment.
    void* take() noexcept;
    // Gives back a block; seg is allocseg::of(block).  REQUIRES: the block
    // came from this class and is not free.
    void put(allocseg* seg, void* block) noexcept;
    // Gives every entirely free segment back, the head included (exit).
    void trim() noexcept;
    // Gives every segment back.  REQUIRES: no block of the class in use and
    // no other thread using the class.
    void destroy() noexcept;

    uint32_t blocksize() const noexcept { return blocksize_; }
    uint32_t perseg() const noexcept { return perseg_; }
    struct counts {
        uint32_t segments;
        uint32_t freeblocks;  // over all segments, never-used slots included
    };
    counts snapshot() noexcept;

    // Held across fork() so that the child finds the class consistent.
    void lock() noexcept { lock_.lock(); }
    void unlock() noexcept { lock_.unlock(); }

  private:
    allocseg* grow() noexcept;
    void releaseidle() noexcept;

    allocseg* first_ = nullptr;
    recstore* store_;
    uint32_t nseg_ = 0;
    uint32_t free_ = 0;
    uint32_t blocksize_;
    uint32_t perseg_;
    alloclock lock_;
};

}  // namespace zo
