#include "base/recstore.h"

#include <cassert>
#include <mutex>

#include "base/allocword.h"

namespace zo {

struct recstore::region {
    region* next;
    void* freelist;
    uint32_t size;
    uint32_t recsize;
    uint32_t free;
    uint32_t capacity;
    uint32_t used;

    char* records() noexcept { return reinterpret_cast<char*>(this) + headsize; }
    bool holds(const void* p) noexcept {
        return p >= records() && p < records() + static_cast<size_t>(capacity) * recsize;
    }
    void* take() noexcept {
        void* r = freelist;
        if (r) {
            freelist = reinterpret_cast<void*>(allocword::load(r));
        } else if (used < capacity) {
            r = records() + static_cast<size_t>(used++) * recsize;
        } else {
            return nullptr;
        }
        --free;
        return r;
    }

    static constexpr size_t headsize = 40;
};

recstore::recstore(regionsys* sys) noexcept : sys_(sys) {
    static_assert(sizeof(region) <= region::headsize);
    static_assert(recsize % 8 == 0, "records hold pointers");
    head_ = newregion();
}

recstore::~recstore() {
    while (region* r = head_) {
        head_ = r->next;
        sys_->release(r, r->size);
    }
}

recstore::region* recstore::newregion() noexcept {
    size_t got = 0;
    void* p = sys_->commit(regionsize, &got);
    if (!p) return nullptr;
    auto* r = static_cast<region*>(p);
    r->next = nullptr;
    r->freelist = nullptr;
    r->size = static_cast<uint32_t>(got);
    r->recsize = recsize;
    r->capacity = static_cast<uint32_t>((regionsize - region::headsize) / recsize);
    r->free = r->capacity;
    r->used = 0;
    return r;
}

void* recstore::take(size_t n) noexcept {
    if (n > recsize) return nullptr;
    std::lock_guard<alloclock> g(lock_);
    region* prev = nullptr;
    for (region* r = head_; r; prev = r, r = r->next) {
        void* rec = r->take();
        if (!rec) continue;
        // Move a region with room left right behind the head, where the
        // next walk finds it second.
        if (prev && prev != head_ && r->free > 0) {
            prev->next = r->next;
            r->next = head_->next;
            head_->next = r;
        }
        return rec;
    }
    region* r = newregion();
    if (!r) return nullptr;
    if (!head_) {
        head_ = r;
    } else {
        r->next = head_->next;
        head_->next = r;
    }
    return r->take();
}

void recstore::put(void* rec) noexcept {
    std::lock_guard<alloclock> g(lock_);
    region* prev = nullptr;
    region* r = head_;
    while (r && !r->holds(rec)) {
        prev = r;
        r = r->next;
    }
    assert(r && "a record that the store never gave out");
    if (!r) return;
    allocword::store(rec, reinterpret_cast<uintptr_t>(r->freelist));
    r->freelist = rec;
    ++r->free;
    if (prev && r->free == r->capacity) {
        prev->next = r->next;
        sys_->release(r, r->size);
    }
}

uint32_t recstore::regions() noexcept {
    std::lock_guard<alloclock> g(lock_);
    uint32_t n = 0;
    for (region* r = head_; r; r = r->next) ++n;
    return n;
}

}  // namespace zo
