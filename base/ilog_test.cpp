#include "base/ilog.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/decint.h"

namespace {

TEST(LevelTest, WordsNumbersAndDefaults) {
    EXPECT_EQ(zo::levelfromword(nullptr), 30);
    EXPECT_EQ(zo::levelfromword(""), 30);
    EXPECT_EQ(zo::levelfromword("err"), 10);
    EXPECT_EQ(zo::levelfromword("wrn"), 20);
    EXPECT_EQ(zo::levelfromword("inf"), 30);
    EXPECT_EQ(zo::levelfromword("msg"), 30);
    EXPECT_EQ(zo::levelfromword("mor"), 31);
    EXPECT_EQ(zo::levelfromword("DBG"), 40);
    EXPECT_EQ(zo::levelfromword("All"), 999);
    EXPECT_EQ(zo::levelfromword("40"), 40);
    EXPECT_EQ(zo::levelfromword("  +25xyz"), 25);
    EXPECT_EQ(zo::levelfromword("-5"), -5);
    EXPECT_EQ(zo::levelfromword("0"), 30);
    EXPECT_EQ(zo::levelfromword("debug"), 30);
    EXPECT_EQ(zo::levelfromword("dbgx"), 30);
    EXPECT_EQ(zo::levelfromword("db"), 30);
}

TEST(LevelTest, WordOfLevelIsFirstRow) {
    EXPECT_STREQ(zo::levelword(10), "err");
    EXPECT_STREQ(zo::levelword(30), "inf");
    EXPECT_STREQ(zo::levelword(31), "mor");
    EXPECT_STREQ(zo::levelword(999), "all");
    EXPECT_STREQ(zo::levelword(35), "ndf");
    EXPECT_STREQ(zo::levelword(0), "ndf");
}

TEST(LevelTest, DecimalReadsLikeAtoiWithoutOverflow) {
    auto d = [](const char* s) { return zo::decint(s, std::strlen(s)); };
    EXPECT_EQ(d("802"), 802);
    EXPECT_EQ(d("80x"), 80);
    EXPECT_EQ(d(" \t\n-12"), -12);
    EXPECT_EQ(d("x1"), 0);
    EXPECT_EQ(d("+"), 0);
    EXPECT_EQ(d("2147483647"), 2147483647);
    EXPECT_EQ(d("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(d("-2147483648"), INT32_MIN);
    EXPECT_EQ(d("-99999999999999999999"), INT32_MIN);
    EXPECT_EQ(zo::decint("1234", 2), 12);  // never past n
    EXPECT_EQ(zo::decint(nullptr, 3), 0);
}

}  // namespace
