#include <gtest/gtest.h>

#include "base/array_.h"
#include "base/string_.h"

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

TEST(ArrayTest, RecordsSurviveRelocationAndAreDestroyed) {
    struct rec {
        zo::string name;
        int64_t v = 0;
    };
    zo::array_<rec> a;
    for (int i = 0; i < 100; ++i) {
        rec* r = a.emplace_back();
        ASSERT_NE(r, nullptr);
        r->name.appendf("tag%d", i);
        r->v = i;
    }
    EXPECT_EQ(a[0].name.view(), "tag0");
    EXPECT_EQ(a.back().v, 99);
    a.pop_back();
    ASSERT_TRUE(a.resize(3));
    zo::array_<rec> b = std::move(a);
    EXPECT_TRUE(a.empty());
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[2].name.view(), "tag2");
    b.release();
    EXPECT_EQ(b.capacity(), 0u);
}

}  // namespace
