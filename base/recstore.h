// recstore.h - the pooled allocator's store of its own records (size
// classes and segments): fixed 48-byte records in 512-KiB regions.
//
// Region layout (one region of regionsize bytes from the region source):
//
//   offset 0    next region                        8 bytes
//   offset 8    free list (records linked through their first word)
//   offset 16   region size, record size, free count, capacity, used count
//               (5 x uint32)
//   offset 40   capacity records of recsize bytes, capacity =
//               (regionsize - 40) / recsize = 10921
//
// A record is taken from the first region that has one (free list first,
// then the next never-used record); a region that yields a record and still
// has room, and is neither the head nor right behind it, moves right behind
// the head.  When no region has a record a new region goes right behind the
// head.  A region other than the head that becomes entirely free goes back
// to the system at once; the head stays until the store is destroyed.
//
// Failures: take() gives null for a request above recsize bytes or when the
// system refuses a region.
//
// Thread-safety: any thread; one lock guards the store.  Lock order: the
// store's lock is taken inside a size class's lock, never the other way.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/alloclock.h"
#include "base/regionsys.h"

namespace zo {

class recstore {
  public:
    static constexpr uint32_t recsize = 48;
    static constexpr uint32_t regionsize = 524288;

    // Takes the first region at once; without it the first take() tries
    // again.
    explicit recstore(regionsys* sys) noexcept;
    // Releases every region.  REQUIRES: no thread uses the store.
    ~recstore();
    recstore(const recstore&) = delete;
    recstore& operator=(const recstore&) = delete;

    // A record of at least n bytes (8-byte aligned), or null.
    void* take(size_t n) noexcept;
    // Gives back a record from take().  REQUIRES: rec is one.
    void put(void* rec) noexcept;

    regionsys* sys() const noexcept { return sys_; }
    // Held across fork() so that the child finds the store consistent.
    void lock() noexcept { lock_.lock(); }
    void unlock() noexcept { lock_.unlock(); }
    // Number of regions held (for tests).
    uint32_t regions() noexcept;

  private:
    struct region;
    region* newregion() noexcept;

    regionsys* sys_;
    region* head_ = nullptr;
    alloclock lock_;
};

}  // namespace zo
