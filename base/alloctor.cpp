#include "base/alloctor.h"

#include <new>

#include "base/allocword.h"

namespace zo {

namespace {

struct sizeclass {
    uint32_t size;
    uint32_t perseg;  // blocks per segment after the first
    bool early;       // first segment when the table is built
};

// Segments of about 1 MiB up to 1424 bytes, 2 MiB up to 64 KiB, 4 MiB up to
// 640 KiB, and two blocks above.
constexpr sizeclass sizes[] = {
    {16, 65536, true},   {32, 32768, true},   {64, 16384, true},   {96, 10922, false},
    {128, 8192, false},  {256, 4096, false},  {384, 2730, false},  {512, 2048, false},
    {640, 1638, false},  {800, 1310, false},  {1024, 1024, false}, {1424, 736, false},
    {2048, 1024, false}, {3072, 682, false},  {5120, 409, false},  {8192, 256, false},
    {12288, 170, false}, {16384, 128, false}, {20480, 102, false}, {24576, 85, false},
    {32768, 64, false},  {49152, 42, false},  {65536, 32, false},  {131072, 32, false},
    {262144, 16, false}, {409600, 10, false}, {655360, 6, false},  {1048576, 2, false},
    {2097152, 2, false}, {4194304, 2, false},
};
static_assert(sizeof sizes / sizeof sizes[0] <= zo_alloctor::maxclasses);
static_assert(zo_alloctor::maxclasses <= INT8_MAX, "class indexes fit the small table");
static_assert(sizes[sizeof sizes / sizeof sizes[0] - 1].size == zo_alloctor::largest);

}  // namespace

zo_alloctor::zo_alloctor(regionsys* sys) noexcept : store_(sys) {
    static_assert(sizeof(allocclass) <= recstore::recsize, "a class is one record");
    for (const sizeclass& c : sizes) {
        if (nclass_ >= maxclasses) break;
        void* rec = store_.take(sizeof(allocclass));
        if (!rec) continue;
        uint32_t size = (c.size + 7) & ~7u;
        auto* cls = new (rec) allocclass(&store_, size, c.perseg);
        if (c.early && !cls->prime()) {
            store_.put(rec);
            continue;
        }
        sizes_[nclass_] = size;
        classes_[nclass_++] = cls;
    }
    for (size_t i = 0; i <= smallmax / 8; ++i) small_[i] = static_cast<int8_t>(searchclass(i * 8));
}

zo_alloctor::~zo_alloctor() {
    for (uint32_t i = 0; i < nclass_; ++i) {
        classes_[i]->destroy();
        store_.put(classes_[i]);
    }
}

int zo_alloctor::searchclass(size_t n) const noexcept {
    uint32_t lo = 0, hi = nclass_;  // the answer is in [lo, hi]; hi: none
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (sizes_[mid] < n)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < nclass_ ? static_cast<int>(lo) : -1;
}

void* zo_alloctor::direct(size_t n, size_t* usable) noexcept {
    if (n > SIZE_MAX - directhead) return nullptr;
    size_t got = 0;
    auto* r = static_cast<char*>(store_.sys()->commit(n + directhead, &got));
    if (!r) return nullptr;
    allocword::store(r, got);
    allocword::store(r + 8, 0);
    allocword::poison(r, directhead);
    allocword::watch(r, got);
    ndirect_.fetch_add(1, std::memory_order_relaxed);
    if (usable) *usable = got - directhead;
    return r + directhead;
}

void zo_alloctor::freedirect(void* p) noexcept {
    char* r = static_cast<char*>(p) - directhead;
    size_t size = allocword::load(r);
    ndirect_.fetch_sub(1, std::memory_order_relaxed);
    allocword::unwatch(r, size);
    store_.sys()->release(r, size);
}

size_t zo_alloctor::usable(const void* p) noexcept {
    if (!p) return 0;
    if (allocseg* seg = allocseg::of(p)) return seg->owner()->blocksize();
    return allocword::load(static_cast<const char*>(p) - directhead) - directhead;
}

void zo_alloctor::trim() noexcept {
    for (uint32_t i = 0; i < nclass_; ++i) classes_[i]->trim();
}

void zo_alloctor::forkprepare() noexcept {
    for (uint32_t i = 0; i < nclass_; ++i) classes_[i]->lock();
    store_.lock();
}

void zo_alloctor::forkdone() noexcept {
    store_.unlock();
    for (uint32_t i = nclass_; i-- > 0;) classes_[i]->unlock();
}

zo_alloctor::classinfo zo_alloctor::info(uint32_t cls) noexcept {
    if (cls >= nclass_) return {};
    allocclass::counts n = classes_[cls]->snapshot();
    return {classes_[cls]->blocksize(), classes_[cls]->perseg(), n.segments, n.freeblocks};
}

}  // namespace zo
