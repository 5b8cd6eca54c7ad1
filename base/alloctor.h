// alloctor.h - zo_alloctor, the pooled allocator behind zo_alloc.
//
// Blocks come from 30 size classes (16 bytes to 4 MiB, see sizes in
// alloctor.cpp), each a list of segments cut from large committed regions
// of the region source (allocclass.h, allocseg.h).  A request is served by
// the smallest class whose block size is at least the request; the usable
// size of the block is that block size.  A request above the largest class,
// 4,194,304 bytes, gets a direct block: a region of its own of request + 16
// bytes, whose 16-byte header holds the region size in its first 8 bytes and
// zero in the next 8 (the place where a pooled block has its segment
// pointer); the block is 16-byte aligned and its usable size is the region
// size - 16.  Pooled blocks are 8-byte aligned.
//
// The 16-, 32- and 64-byte classes get their first segment when the table
// is built; a class whose record or first segment cannot be had then is
// left out (its requests go to the next larger class).  Class and segment
// records come from the record store (recstore.h).
//
// Failures: allocate() gives null, and changes nothing, when the system
// refuses a region (or the request cannot be sized); the callers treat null
// as no memory.  A class whose free count and segments disagree stops the
// process (allocclass.h).
//
// The process's own table is built on first use, before main, and lives
// until the process ends (alloc.h).  Other tables (tests, benchmarks) are
// destroyed like any object.
//
// Thread-safety: allocate(), free(), usable() and trim() from any thread: a
// lock per size class, none for direct blocks (their count is atomic).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/allocclass.h"
#include "base/recstore.h"
#include "base/regionsys.h"

namespace zo {

class zo_alloctor {
  public:
    static constexpr uint32_t maxclasses = 40;
    static constexpr size_t largest = 4194304;  // block size of the largest class
    static constexpr size_t directhead = 16;

    // Builds the table over a region source (regionsys::system() for the
    // real one).
    explicit zo_alloctor(regionsys* sys) noexcept;
    // Gives every region back.  REQUIRES: no block of this table in use.
    ~zo_alloctor();
    zo_alloctor(const zo_alloctor&) = delete;
    zo_alloctor& operator=(const zo_alloctor&) = delete;

    // A block of at least n bytes (n = 0 counts as 1), and in *usable its
    // usable size; null when memory cannot be had.
    void* allocate(size_t n, size_t* usable = nullptr) noexcept {
        int c = classof(n);
        if (c < 0) return direct(n, usable);
        void* p = classes_[c]->take();
        if (p && usable) *usable = sizes_[c];
        return p;
    }
    // Gives back a block of this table; null is ignored.
    void free(void* p) noexcept {
        if (!p) return;
        if (allocseg* seg = allocseg::of(p)) {
            seg->owner()->put(seg, p);
            return;
        }
        freedirect(p);
    }
    // The usable size of a block of any table; 0 for null.
    static size_t usable(const void* p) noexcept;
    // Gives back every segment with no block in use (process exit): what
    // is still in use stays valid, and the table goes on working.
    void trim() noexcept;

    // Every class lock and the record store's, held across fork().
    void forkprepare() noexcept;
    void forkdone() noexcept;

    // ---- what tests and benchmarks look at ----
    uint32_t classcount() const noexcept { return nclass_; }
    // Index of the class that serves n bytes; -1 for a direct block.
    int classof(size_t n) const noexcept {
        return n <= smallmax ? small_[(n + 7) / 8] : searchclass(n);
    }
    struct classinfo {
        uint32_t blocksize;
        uint32_t perseg;
        uint32_t segments;
        uint32_t freeblocks;
    };
    classinfo info(uint32_t cls) noexcept;
    uint32_t directcount() const noexcept { return ndirect_.load(std::memory_order_relaxed); }
    uint32_t recordregions() noexcept { return store_.regions(); }

  private:
    // Requests up to smallmax bytes find their class in a table by 8-byte
    // steps; larger ones by a halving search over the block sizes.
    static constexpr size_t smallmax = 1024;

    int searchclass(size_t n) const noexcept;
    void* direct(size_t n, size_t* usable) noexcept;
    void freedirect(void* p) noexcept;

    recstore store_;
    std::atomic<uint32_t> ndirect_{0};
    uint32_t nclass_ = 0;
    uint32_t sizes_[maxclasses] = {};  // block sizes, ascending, for the search
    allocclass* classes_[maxclasses] = {};
    int8_t small_[smallmax / 8 + 1] = {};
};

}  // namespace zo
