#include "dblink/pkgring.h"

#include <gtest/gtest.h>

#include "dblink/dbtypes.h"
#include "dblink/fakes_test.h"

namespace {

tagvalbody* package(uint32_t records, int64_t firsttime) {
    auto* b = new tagvalbody;
    for (uint32_t i = 0; i < records; ++i) {
        tagval t;
        t.time = firsttime + i;
        b->items.append(std::move(t));
    }
    return b;
}

class PkgRingTest : public ::testing::Test {
  protected:
    zotest::reclog log_;
};

TEST_F(PkgRingTest, PopsInPushOrderAndCountsQueued) {
    pkgring<tagvalbody, 8> ring(&log_);
    EXPECT_EQ(ring.pop(), nullptr);
    EXPECT_EQ(ring.push(package(1, 10)), 1u);
    EXPECT_EQ(ring.push(package(1, 20)), 2u);
    EXPECT_EQ(ring.push(nullptr), 2u);
    tagvalbody* a = ring.pop();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->items[0].time, 10);
    delete a;
    EXPECT_EQ(ring.push(package(1, 30)), 2u);
    tagvalbody* b = ring.pop();
    EXPECT_EQ(b->items[0].time, 20);
    delete b;
    EXPECT_EQ(ring.size(), 1u);
}

TEST_F(PkgRingTest, FullRingDropsOldestWithOneWarning) {
    pkgring<tagvalbody, 8192> ring(&log_);
    for (int i = 0; i < 8191; ++i) ring.push(package(i == 0 ? 3 : 1, i * 10));
    EXPECT_EQ(log_.lines().size(), 0u);
    EXPECT_EQ(ring.push(package(1, 999999)), 8191u);
    EXPECT_EQ(log_.countexact("put chache full, lost one package records 3.", zo::LOG_WRN), 1);
    EXPECT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(ring.size(), 8191u);
    tagvalbody* first = ring.pop();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->items[0].time, 10);  // the second package pushed
    delete first;
    // Wrap around many times; the ring stays consistent.
    for (int i = 0; i < 20000; ++i) ring.push(package(1, i));
    EXPECT_EQ(ring.size(), 8191u);
    // Whatever is left is deleted by the ring (checked by the sanitizer).
}

TEST_F(PkgRingTest, WarningCountsTagNamesOfRegistrations) {
    pkgring<regbody, 4> ring(&log_);
    for (int i = 0; i < 4; ++i) {
        auto* r = new regbody;
        for (int k = 0; k <= i; ++k) r->strs.append(zo::string("t"));
        ring.push(r);
    }
    EXPECT_EQ(log_.countexact("put chache full, lost one package records 1."), 1);
    EXPECT_EQ(ring.size(), 3u);

    pkgring<soebody, 2> quiet(nullptr);  // overflows without a logger
    quiet.push(new soebody);
    quiet.push(new soebody);
    EXPECT_EQ(quiet.size(), 1u);
}

}  // namespace
