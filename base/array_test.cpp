#include <gtest/gtest.h>

#include "base/array_.h"

namespace {

TEST(ArrayTest, GrowsByHalfOrToWhatIsNeededAndRefusesTooMuch) {
    zo::array_<int64_t> a;
    // 1.5 x the capacity, rounded down, or the one needed when that is more.
    for (size_t cap : {1u, 2u, 3u, 4u, 6u, 6u, 9u}) {
        ASSERT_TRUE(a.push_back(static_cast<int>(a.size()) + 1));
        EXPECT_EQ(a.capacity(), cap);
    }
    ASSERT_TRUE(a.resize(40));
    EXPECT_EQ(a.capacity(), 40u);  // needed beats 1.5 x 9
    EXPECT_EQ(a[6], 7);
    EXPECT_EQ(a[39], 0);
    EXPECT_FALSE(a.reserve(zo::array_<int64_t>::maxsize() + 1));
    EXPECT_FALSE(a.resize(zo::array_<int64_t>::maxsize() + 1));
    EXPECT_EQ(a.size(), 40u);
    EXPECT_EQ(a.capacity(), 40u);
}

}  // namespace
