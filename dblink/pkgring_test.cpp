#include "dblink/pkgring.h"

#include <gtest/gtest.h>

#include "dblink/dbtypes.h"
#include "dblink/fakes_test.h"

namespace {

// Packages come out in push order; a full ring drops its oldest package
// with one warning naming its records, also after wrapping many times.
TEST(PkgRingTest, PopsInOrderAndAFullRingDropsTheOldest) {
    zotest::reclog log;
    pkgring<tagvalbody, 8> ring(&log);
    EXPECT_EQ(ring.pop(), nullptr);
    EXPECT_EQ(ring.push(nullptr), 0u);
    for (uint32_t i = 0; i < 30; ++i) {
        EXPECT_EQ(ring.push(tagvalues(i == 0 ? 3 : 1 + i % 2)), i < 7 ? i + 1 : 7u);
        if (i == 7) {
            EXPECT_EQ(log.countexact("put chache full, lost one package records 3.", zo::LOG_WRN),
                      1);
            EXPECT_EQ(log.lines().size(), 1u);
        }
    }
    EXPECT_EQ(ring.lostrecords(), 3u + 11 * (2 + 1));  // packages 0 to 22
    for (uint32_t i = 23; i < 30; ++i) {
        tagvalbody* b = ring.pop();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->items.size(), 1 + i % 2);
        delete b;
    }
    EXPECT_EQ(ring.size(), 0u);
}

}  // namespace
