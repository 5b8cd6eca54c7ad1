// allocseg.h - one segment of a size class: a committed region cut into
// slots of equal size.
//
// Region layout: capacity slots of (block size + 8) bytes back to back from
// the region's base.  A slot is an 8-byte header holding the address of its
// segment, then the block handed out; blocks are therefore 8-byte aligned.
// The header is written when the slot is first handed out; a direct block
// has a zero in the same place, which is how free() tells the two apart.
// Never-used slots are handed out in address order, so pages of a fresh
// region become resident only as the class grows into them.
//
// The record itself (48 bytes, from the record store) holds the counts, the
// region, the free list (freed blocks linked through their first word), the
// owning class and the next segment of the class.  The block size is the
// class's: a 64-bit record has no room for a copy.
//
// Thread-safety: none of its own.  REQUIRES: every member but of() and
// owner() is called with the owning class's lock held.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/allocword.h"
#include "base/recstore.h"

namespace zo {

class allocclass;

class allocseg {
  public:
    static constexpr size_t slothead = 8;

    // A segment of `blocks` slots for blocksize-byte blocks: the region from
    // store's region source, the record from store.  Null when either cannot
    // be had (nothing is kept then).
    static allocseg* create(allocclass* owner, recstore* store, uint32_t blocksize,
                            uint32_t blocks) noexcept;
    // Gives back the region and the record.  The segment is gone afterwards.
    void destroy(recstore* store) noexcept;

    // A block from the free list, else the next never-used slot; null when
    // the segment is full.
    void* take(uint32_t blocksize) noexcept {
        void* b = freelist_;
        if (b) {
            freelist_ = reinterpret_cast<void*>(allocword::load(b));
        } else if (used_ < capacity_) {
            char* slot = region_ + static_cast<size_t>(used_++) * (blocksize + slothead);
            allocword::store(slot, reinterpret_cast<uintptr_t>(this));
            b = slot + slothead;
        } else {
            return nullptr;
        }
        --free_;
        allocword::unpoison(b, blocksize);
        return b;
    }
    // Puts a block of this segment on its free list.
    void put(void* block, uint32_t blocksize) noexcept {
        allocword::poison(block, blocksize);
        allocword::store(block, reinterpret_cast<uintptr_t>(freelist_));
        freelist_ = block;
        ++free_;
    }

    // The segment of a block handed out by a segment; null for a direct
    // block.  Any thread (the header does not change while the block lives).
    static allocseg* of(const void* block) noexcept {
        return reinterpret_cast<allocseg*>(
            allocword::load(static_cast<const char*>(block) - slothead));
    }

    allocclass* owner() const noexcept { return owner_; }
    uint32_t free() const noexcept { return free_; }
    uint32_t capacity() const noexcept { return capacity_; }
    bool idle() const noexcept { return free_ == capacity_; }
    allocseg* next() const noexcept { return next_; }
    void setnext(allocseg* s) noexcept { next_ = s; }

  private:
    allocseg(allocclass* owner, char* region, uint32_t regionsize, uint32_t blocks) noexcept
        : free_(blocks),
          capacity_(blocks),
          regionsize_(regionsize),
          region_(region),
          owner_(owner) {}

    uint32_t free_;        // free slots: free list plus never-used
    uint32_t capacity_;    // slots in the region
    uint32_t used_ = 0;    // slots handed out at least once
    uint32_t regionsize_;  // as the region source reported it
    char* region_;
    void* freelist_ = nullptr;
    allocclass* owner_;
    allocseg* next_ = nullptr;
};

}  // namespace zo
