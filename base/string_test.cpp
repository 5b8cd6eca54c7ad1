#include "base/string_.h"

#include <gtest/gtest.h>

namespace {

TEST(StringTest, FirstAppendTakesSixteenByteBlockWithCapacityThree) {
    zo::string s;
    EXPECT_TRUE(s.isnull());
    ASSERT_TRUE(s.append('x'));
    EXPECT_EQ(s.capacity(), 3u);
    EXPECT_EQ(s.size(), 1u);
    EXPECT_EQ(s.view(), "x");
}

TEST(StringTest, SizingToZeroReleases) {
    zo::string s("hello");
    ASSERT_TRUE(s.resize(0));
    EXPECT_TRUE(s.isnull());
    EXPECT_STREQ(s.c_str(), "");
    EXPECT_EQ(s.size(), 0u);
}

TEST(StringTest, GrowthDoublesBelow16000ThenByHalf) {
    zo::string s;
    s.append(100u, 'a');
    EXPECT_EQ(s.capacity(), 201u);
    zo::string t;
    t.append(20000u, 'b');
    EXPECT_EQ(t.capacity(), 30001u);
    EXPECT_EQ(t.size(), 20000u);
}

TEST(StringTest, AppendFromItselfSurvivesGrowth) {
    zo::string s("abcdefgh");
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(s.append(s.data(), s.size()));
    EXPECT_EQ(s.size(), 8u * 1024u);
    EXPECT_EQ(s.view().substr(8184), "abcdefgh");
}

TEST(StringTest, AppendfFormatsLongText) {
    zo::string s("x=");
    std::string big(1000, 'q');
    ASSERT_TRUE(s.appendf("%d %s", 5, big.c_str()));
    EXPECT_EQ(s.size(), 2u + 2u + 1000u);
    EXPECT_EQ(s.view().substr(0, 4), "x=5 ");
}

TEST(StringTest, CopyAndMoveKeepBytes) {
    zo::string a(std::string_view("a\0b", 3));
    zo::string b = a;
    zo::string c = std::move(a);
    EXPECT_TRUE(a.isnull());
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b, c);
}

}  // namespace
