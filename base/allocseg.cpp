#include "base/allocseg.h"

#include <new>

namespace zo {

allocseg* allocseg::create(allocclass* owner, recstore* store, uint32_t blocksize,
                           uint32_t blocks) noexcept {
    static_assert(sizeof(allocseg) <= recstore::recsize, "a segment is one record");
    void* rec = store->take(sizeof(allocseg));
    if (!rec) return nullptr;
    size_t want = (static_cast<size_t>(blocksize) + slothead) * blocks;
    size_t got = 0;
    void* region = store->sys()->commit(want, &got);
    if (!region || got > UINT32_MAX) {
        if (region) store->sys()->release(region, got);
        store->put(rec);
        return nullptr;
    }
    allocword::poison(region, got);
    allocword::watch(region, got);
    return new (rec)
        allocseg(owner, static_cast<char*>(region), static_cast<uint32_t>(got), blocks);
}

void allocseg::destroy(recstore* store) noexcept {
    allocword::unwatch(region_, regionsize_);
    store->sys()->release(region_, regionsize_);
    store->put(this);
}

}  // namespace zo
