#include "base/alloctor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
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
        {0, 16, false},
        {1, 16, false},
        {16, 16, false},
        {17, 32, false},
        {1024, 1024, false},
        {1025, 1424, false},
        {1425, 2048, false},
        {4194304, 4194304, false},
        {4194305, pageup(4194305 + 16) - 16, true},
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

TEST(AlloctorTest, FirstSegmentIsSmallUntilItIsFullThenSegmentsAreFullSize) {
    testsys sys;
    zo_alloctor t(&sys);
    const int c16 = t.classof(16);
    ASSERT_EQ(t.info(c16).segments, 1u);
    ASSERT_EQ(t.info(c16).freeblocks, 2048u);
    std::vector<void*> blocks;
    for (int i = 0; i < 2048; ++i) blocks.push_back(t.allocate(16));
    EXPECT_EQ(t.info(c16).segments, 1u);
    EXPECT_EQ(t.info(c16).freeblocks, 0u);
    blocks.push_back(t.allocate(16));
    EXPECT_EQ(t.info(c16).segments, 2u);
    EXPECT_EQ(t.info(c16).freeblocks, 65535u);
    for (void* p : blocks) t.free(p);

    // The first segment of other classes: max(16, 32768 / size) blocks once a
    // full one would pass 32 KiB and hold more than 16.
    const struct {
        uint32_t size, perseg, first;
    } rows[] = {{16, 65536, 2048}, {1024, 1024, 32}, {65536, 32, 16}, {409600, 10, 10}};
    for (const auto& r : rows) EXPECT_EQ(zo::allocclass::firstblocks(r.size, r.perseg), r.first);
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
        struct live {
            size_t n;
            uint8_t fill;
        };
        std::map<uintptr_t, live> blocks;
        std::vector<uintptr_t> order;  // the same blocks, to pick one at random
        std::mt19937_64 rng(7);
        auto randsize = [&]() -> size_t {
            uint64_t r = rng() % 1000;
            if (r < 700) return rng() % 100;
            if (r < 950) return rng() % 20000;
            if (r < 998) return rng() % 2000000;
            return 4194300 + rng() % 20;  // around the largest class
        };
        auto intact = [&](uintptr_t a) {
            const live& l = blocks[a];
            const auto* p = reinterpret_cast<const uint8_t*>(a);
            for (size_t i = 0; i < l.n; i += 1 + i / 8)
                if (p[i] != static_cast<uint8_t>(l.fill + i)) return false;
            return true;
        };
        auto drop = [&](size_t k) {
            uintptr_t a = order[k];
            EXPECT_TRUE(intact(a)) << "contents changed";
            t.free(reinterpret_cast<void*>(a));
            blocks.erase(a);
            order[k] = order.back();
            order.pop_back();
        };
        for (int step = 0; step < 20000; ++step) {
            if (!order.empty() && rng() % 100 < 45) {
                drop(rng() % order.size());
                continue;
            }
            size_t n = randsize(), u = 0;
            auto* p = static_cast<uint8_t*>(t.allocate(n, &u));
            ASSERT_NE(p, nullptr);
            ASSERT_GE(u, std::max<size_t>(n, 1));
            ASSERT_EQ(zo_alloctor::usable(p), u);
            auto a = reinterpret_cast<uintptr_t>(p);
            auto next = blocks.lower_bound(a);
            if (next != blocks.end()) {
                ASSERT_LE(a + u, next->first) << "overlaps the next block";
            }
            if (next != blocks.begin()) {
                auto prev = std::prev(next);
                ASSERT_LE(prev->first + prev->second.n, a) << "overlaps the previous block";
            }
            live l{u, static_cast<uint8_t>(rng())};
            for (size_t i = 0; i < u; i += 1 + i / 8) p[i] = static_cast<uint8_t>(l.fill + i);
            blocks[a] = l;
            order.push_back(a);
        }
        while (!order.empty()) drop(order.size() - 1);
        EXPECT_EQ(t.directcount(), 0u);

        t.trim();
        for (uint32_t c = 0; c < t.classcount(); ++c) EXPECT_EQ(t.info(c).segments, 0u) << c;
        EXPECT_EQ(sys.live.load(), 1) << "only the record store's first region";
        void* again = t.allocate(16);  // a trimmed table still serves
        ASSERT_NE(again, nullptr);
        t.free(again);
    }
    EXPECT_EQ(sys.live.load(), 0);
}

// Like the session and the writer thread: blocks made on one thread, freed
// on another, the two running at once (ThreadSanitizer watches this).
TEST(AlloctorTest, BlocksHandedBetweenThreadsStayIntact) {
    constexpr int perproducer = 20000;
    std::mutex m;
    std::vector<std::pair<uint8_t*, size_t>> ring;
    std::atomic<int> producers{2};
    std::atomic<int> bad{0};
    auto produce = [&](unsigned seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < perproducer; ++i) {
            size_t n = 1 + rng() % (i % 50 == 0 ? 70000 : 200);
            auto* p = static_cast<uint8_t*>(zo::zo_alloc(n));
            if (!p) {
                bad.fetch_add(1);
                continue;
            }
            std::memset(p, static_cast<int>(n & 0xFF), n);
            std::lock_guard<std::mutex> g(m);
            ring.emplace_back(p, n);
        }
        producers.fetch_sub(1);
    };
    auto consume = [&] {
        for (;;) {
            std::pair<uint8_t*, size_t> b{nullptr, 0};
            {
                std::lock_guard<std::mutex> g(m);
                if (!ring.empty()) {
                    b = ring.back();
                    ring.pop_back();
                }
            }
            if (!b.first) {
                if (producers.load() == 0 && [&] {
                        std::lock_guard<std::mutex> g(m);
                        return ring.empty();
                    }())
                    return;
                std::this_thread::yield();
                continue;
            }
            if (b.first[0] != static_cast<uint8_t>(b.second & 0xFF) ||
                b.first[b.second - 1] != static_cast<uint8_t>(b.second & 0xFF))
                bad.fetch_add(1);
            zo::zo_free(b.first);
        }
    };
    std::thread p1(produce, 1), p2(produce, 2), c1(consume), c2(consume);
    p1.join();
    p2.join();
    c1.join();
    c2.join();
    EXPECT_EQ(bad.load(), 0);
}

// The string type over a table whose system refuses: the append is skipped
// and the string is as before.
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
    EXPECT_EQ(t.allocate(100), nullptr) << "a class without a segment yet";
    EXPECT_EQ(t.allocate(5000000), nullptr) << "a direct block";
    EXPECT_EQ(t.allocate(SIZE_MAX), nullptr) << "a size that cannot be had";
    EXPECT_EQ(t.directcount(), 0u);
    void* early = t.allocate(10);  // the 16-byte class got its segment at start
    EXPECT_NE(early, nullptr);
    t.free(early);

    refusing = &t;
    zo::string_<refusingpolicy> s;
    EXPECT_FALSE(s.append(std::string(100, 'x')));
    EXPECT_TRUE(s.isnull());
    ASSERT_TRUE(s.append("short"));  // its 24-byte block is in a class primed at start
    EXPECT_FALSE(s.append(std::string(100, 'y')));
    EXPECT_EQ(s.view(), "short");
    s.release();

    testsys none;
    none.refuse = true;
    zo_alloctor empty(&none);
    EXPECT_EQ(empty.classcount(), 0u);
    EXPECT_EQ(empty.allocate(1), nullptr);
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

#if !defined(ZO_HEAP)
TEST(AlloctorTest, ProcessAllocationsComeFromThePool) {
    void* p = zo::zo_alloc(1);
    EXPECT_EQ(zo::zo_usable(p), 16u);
    zo::zo_free(p);
    zo::zo_free(nullptr);
}
#endif

}  // namespace
