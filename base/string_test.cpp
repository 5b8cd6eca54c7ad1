#include <gtest/gtest.h>

#include "base/string_.h"

namespace {

// Capacity after appending n bytes to an empty string: the first block has
// room for three, then it doubles below 16000 and grows by half above.
TEST(StringTest, GrowthAndRelease) {
    for (auto [n, cap] : {std::pair<size_t, size_t>{1, 3}, {100, 201}, {20000, 30001}}) {
        zo::string s;
        EXPECT_TRUE(s.isnull());
        ASSERT_TRUE(s.append(n, 'a'));
        EXPECT_EQ(s.capacity(), cap) << n;
        EXPECT_EQ(s.size(), n);
    }
    zo::string s("hello");
    ASSERT_TRUE(s.resize(0));  // sizing to zero releases
    EXPECT_TRUE(s.isnull());
    EXPECT_STREQ(s.c_str(), "");
}

TEST(StringTest, AppendsFromItselfAndFormattedSurviveGrowth) {
    zo::string s("abcdefgh");
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(s.append(s.data(), s.size()));
    EXPECT_EQ(s.size(), 8u * 1024u);
    EXPECT_EQ(s.view().substr(8184), "abcdefgh");
    zo::string f("x=");
    std::string big(1000, 'q');
    ASSERT_TRUE(f.appendf("%d %s", 5, big.c_str()));
    EXPECT_EQ(f.view(), "x=5 " + big);
}

}  // namespace
