#include "base/alloctor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "base/alloc.h"
#include "base/string_.h"

namespace {

using zo::zo_alloctor;

// The system's regions, counted; refuses every request while refuse is set.
class testsys final : public zo::regionsys {
  public:
    void* commit(size_t n, size_t* got) noexcept override {
        if (refuse.load()) return nullptr;
        void* p = zo::regionsys::system()->commit(n, got);
        if (p) live.fetch_add(1);
        return p;
    }
    void release(void* p, size_t n) noexcept override {
        live.fetch_sub(1);
        zo::regionsys::system()->release(p, n);
    }
    std::atomic<bool> refuse{false};
    std::atomic<int> live{0};
};

size_t pageup(size_t n) {
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

TEST(AlloctorTest, RequestsGoToTheSmallestClassThatHoldsThemAndBeyondItToADirectBlock) {
    testsys sys;
    zo_alloctor t(&sys);
    ASSERT_EQ(t.classcount(), 30u);
    const struct {
        size_t n;
        size_t usable;
        bool direct;
    } rows[] = {
        {0, 16, false},      {16, 16, false},           {17, 32, false},
        {1025, 1424, false}, {4194304, 4194304, false}, {4194305, pageup(4194305 + 16) - 16, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.n);
        size_t u = 0;
        void* p = t.allocate(r.n, &u);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(u, r.usable);
        EXPECT_EQ(zo_alloctor::usable(p), r.usable);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (r.direct ? 16 : 8), 0u);
        EXPECT_EQ(t.directcount(), r.direct ? 1u : 0u);
        std::memset(p, 0x5A, u);  // all of the usable size is ours
        t.free(p);
        EXPECT_EQ(t.directcount(), 0u);
    }
    t.free(nullptr);
    EXPECT_EQ(zo_alloctor::usable(nullptr), 0u);
}

// The first segment of a class holds max(16, 32768 / size) blocks once a
// full one would pass 32 KiB and hold more than 16; the next ones are full.
TEST(AlloctorTest, FirstSegmentIsSmallUntilItIsFullThenSegmentsAreFullSize) {
    testsys sys;
    zo_alloctor t(&sys);
    const int c16 = t.classof(16);
    std::vector<void*> blocks;
    for (uint32_t i = 0; i <= 2048; ++i) {
        EXPECT_EQ(t.info(c16).segments, 1u) << i;
        EXPECT_EQ(t.info(c16).freeblocks, 2048u - i) << i;
        blocks.push_back(t.allocate(16));
    }
    EXPECT_EQ(t.info(c16).segments, 2u);
    EXPECT_EQ(t.info(c16).freeblocks, 65535u);
    for (void* p : blocks) t.free(p);
    for (auto [size, perseg, first] :
         {std::tuple<uint32_t, uint32_t, uint32_t>{65536, 32, 16}, {409600, 10, 10}})
        EXPECT_EQ(zo::allocclass::firstblocks(size, perseg), first) << size;
}

// The 1 MiB class has two blocks per segment; blocks 2k and 2k+1 come from
// the k-th segment made (segment 0 is the head).
TEST(AlloctorTest, IdleSegmentsGoBackOnlyBeyondThreeAndNotAsTheOneSpare) {
    const struct {
        const char* what;
        int made;
        std::vector<int> freed;  // in this order
        uint32_t segments;
        uint32_t freeblocks;
    } rows[] = {
        {"three segments keep everything", 6, {2, 3, 4, 5}, 3, 4},
        {"one idle segment as the only free blocks is the spare", 8, {6, 7}, 4, 2},
        {"a second idle segment releases both", 8, {6, 7, 4, 5}, 2, 0},
        {"free blocks elsewhere: the idle one goes", 8, {0, 6, 7}, 3, 1},
        {"the head is never released", 8, {2, 0, 1}, 4, 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        testsys sys;
        zo_alloctor t(&sys);
        const int c = t.classof(1048576);
        std::vector<void*> b;
        for (int i = 0; i < r.made; ++i) b.push_back(t.allocate(1048576));
        ASSERT_EQ(t.info(c).segments, static_cast<uint32_t>(r.made / 2));
        int before = sys.live.load();
        for (int i : r.freed) t.free(b[i]);
        EXPECT_EQ(t.info(c).segments, r.segments);
        EXPECT_EQ(t.info(c).freeblocks, r.freeblocks);
        EXPECT_EQ(before - sys.live.load(), r.made / 2 - static_cast<int>(r.segments));
        for (size_t i = 0; i < b.size(); ++i) {
            if (std::find(r.freed.begin(), r.freed.end(), static_cast<int>(i)) == r.freed.end())
                t.free(b[i]);
        }
    }
}

// Random sizes and frees against a model of the live blocks: no two blocks
// overlap, every block holds its usable size and keeps what was written into
// it; at the end trim and the destructor give every region back.
TEST(AlloctorTest, RandomBlocksNeverOverlapAndKeepTheirContents) {
    testsys sys;
    {
        zo_alloctor t(&sys);
        std::map<uintptr_t, std::pair<size_t, uint8_t>> blocks;  // address -> usable, fill
        std::mt19937_64 rng(7);
        auto drop = [&](std::map<uintptr_t, std::pair<size_t, uint8_t>>::iterator b) {
            const auto* p = reinterpret_cast<const uint8_t*>(b->first);
            for (size_t i = 0; i < b->second.first; i += 1 + i / 8)
                ASSERT_EQ(p[i], static_cast<uint8_t>(b->second.second + i)) << "contents changed";
            t.free(reinterpret_cast<void*>(b->first));
            blocks.erase(b);
        };
        // Mostly small, some up to 2 MB, a few around the largest class.
        const size_t limits[] = {100, 20000, 2000000};
        for (int step = 0; step < 20000; ++step) {
            if (!blocks.empty() && rng() % 100 < 45) {
                drop(std::next(blocks.begin(), static_cast<long>(rng() % blocks.size())));
                continue;
            }
            const uint64_t r = rng() % 1000;
            size_t n = r < 998 ? rng() % limits[(r >= 700) + (r >= 950)] : 4194300 + rng() % 20;
            size_t u = 0;
            auto* p = static_cast<uint8_t*>(t.allocate(n, &u));
            ASSERT_NE(p, nullptr);
            ASSERT_GE(u, std::max<size_t>(n, 1));
            ASSERT_EQ(zo_alloctor::usable(p), u);
            auto a = reinterpret_cast<uintptr_t>(p);
            auto next = blocks.lower_bound(a);
            ASSERT_TRUE(next == blocks.end() || a + u <= next->first) << "overlaps the next";
            ASSERT_TRUE(next == blocks.begin() ||
                        std::prev(next)->first + std::prev(next)->second.first <= a)
                << "overlaps the one before";
            const auto fill = static_cast<uint8_t>(rng());
            for (size_t i = 0; i < u; i += 1 + i / 8) p[i] = static_cast<uint8_t>(fill + i);
            blocks[a] = {u, fill};
        }
        while (!blocks.empty()) drop(blocks.begin());
        EXPECT_EQ(t.directcount(), 0u);
        // Trim gives every segment back; a trimmed table still serves.
        t.trim();
        for (uint32_t c = 0; c < t.classcount(); ++c) EXPECT_EQ(t.info(c).segments, 0u) << c;
        EXPECT_EQ(sys.live.load(), 1) << "only the record store's first region";
        t.free(t.allocate(16));
    }
    EXPECT_EQ(sys.live.load(), 0);
}

// When the system refuses, allocate gives null and changes nothing; the
// string type over such a table skips the append and stays as it was.
zo_alloctor* refusing = nullptr;
struct refusingpolicy {
    static void* alloc(size_t n) noexcept { return refusing->allocate(n); }
    static void free(void* p) noexcept { refusing->free(p); }
    static size_t usable(const void* p) noexcept { return zo_alloctor::usable(p); }
};

TEST(AlloctorTest, WhenTheSystemRefusesAllocateGivesNullAndCallersSkip) {
    testsys sys;
    zo_alloctor t(&sys);
    sys.refuse = true;
    // A class without a segment yet, a direct block, a size that cannot be had.
    for (size_t n : {size_t{100}, size_t{5000000}, SIZE_MAX}) EXPECT_EQ(t.allocate(n), nullptr);
    EXPECT_EQ(t.directcount(), 0u);
    refusing = &t;
    zo::string_<refusingpolicy> s;
    ASSERT_TRUE(s.append("short"));  // its 24-byte block is in a class primed at start
    EXPECT_FALSE(s.append(std::string(100, 'y')));
    EXPECT_EQ(s.view(), "short");
    s.release();
}

TEST(AlloctorTest, RecordStoreServesFortyEightBytesAndReturnsSurplusRegions) {
    testsys sys;
    zo::recstore rs(&sys);
    EXPECT_EQ(rs.take(49), nullptr);
    std::vector<void*> recs;
    const size_t perregion = (zo::recstore::regionsize - 40) / zo::recstore::recsize;
    for (size_t i = 0; i <= perregion; ++i) recs.push_back(rs.take(48));
    EXPECT_EQ(rs.regions(), 2u);
    for (void* r : recs) rs.put(r);
    EXPECT_EQ(rs.regions(), 1u);
    EXPECT_EQ(sys.live.load(), 1);
}

// A write after free that cuts a segment's free list leaves the class's
// count saying "free" where no block is: the process stops instead of
// handing out memory it cannot account for.
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
void scribble(void* p) {
    *static_cast<volatile uintptr_t*>(p) = 0;
}

TEST(AlloctorDeathTest, CountAndSegmentsDisagreeingStopsTheProcess) {
    testsys sys;
    zo_alloctor t(&sys);
    void* a = t.allocate(1048576);
    void* b = t.allocate(1048576);
    t.free(a);
    t.free(b);  // free list: b, a
    scribble(b);
    EXPECT_DEATH(
        {
            t.allocate(1048576);
            t.allocate(1048576);
        },
        "Assertion `pret != nullptr' failed");
}

TEST(AlloctorDeathTest, AddressSanitizerSeesUseAfterFreeAndOverflowOfPooledBlocks) {
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs the ASan build (make asan)";
#else
    auto* freed = static_cast<volatile char*>(zo::zo_alloc(24));
    zo::zo_free(const_cast<char*>(freed));
    // The second name is what ASan says in the heap build (-DZO_POOL=OFF).
    EXPECT_DEATH(freed[3] = 1, "use-after-poison|heap-use-after-free");
    auto* live = static_cast<volatile char*>(zo::zo_alloc(24));
    size_t u = zo::zo_usable(const_cast<char*>(live));
    EXPECT_DEATH(live[u] = 1, "use-after-poison|heap-buffer-overflow");
    zo::zo_free(const_cast<char*>(live));
#endif
}

}  // namespace
