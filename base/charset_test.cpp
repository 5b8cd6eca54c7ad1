#include "base/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CharsetTest, Utf8LeadAndContinuationRules) {
    EXPECT_TRUE(zo::isutf8(nullptr));
    EXPECT_TRUE(zo::isutf8(""));
    EXPECT_TRUE(zo::isutf8("plain ascii"));
    EXPECT_TRUE(zo::isutf8("\xE4\xB8\xAD\xE6\x96\x87"));  // 中文
    EXPECT_TRUE(zo::isutf8("\xF0\x9F\x98\x80"));          // four bytes
    EXPECT_FALSE(zo::isutf8("\xC0\x80"));                 // C0 never leads
    EXPECT_FALSE(zo::isutf8("\xC1\xBF"));
    EXPECT_TRUE(zo::isutf8("\xED\xA0\x80"));  // encoded surrogate passes
    EXPECT_TRUE(zo::isutf8("\xE0\x80\x80"));  // overlong three-byte form passes
    EXPECT_FALSE(zo::isutf8("\xF5\x80\x80\x80"));
    EXPECT_FALSE(zo::isutf8("\x80"));          // continuation where a lead is due
    EXPECT_FALSE(zo::isutf8("a\xE4\xB8"));     // incomplete at the end
    EXPECT_FALSE(zo::isutf8("\xE4\x41\xAD"));  // ASCII inside a sequence
    EXPECT_TRUE(zo::isutf8("\xC2\x80\xDF\xBF\xF4\x8F\xBF\xBF"));  // edges of the lead ranges
    // Long ASCII runs (passed a word at a time) hide no bad byte, and a
    // sequence may straddle a word boundary.
    for (size_t pos = 0; pos < 40; ++pos) {
        std::string s(40, 'a');
        s[pos] = '\xFF';
        EXPECT_FALSE(zo::isutf8(s.data(), 40)) << pos;
        if (pos + 3 <= 40) {
            std::string t(40, 'a');
            t.replace(pos, 3, "\xE2\x82\xAC");
            EXPECT_TRUE(zo::isutf8(t.data(), 40)) << pos;
            t[pos + 2] = 'a';  // broken continuation
            EXPECT_FALSE(zo::isutf8(t.data(), 40)) << pos;
        }
    }
}

TEST(CharsetTest, Utf8LengthZeroStopsAtZeroByteGivenLengthDoesNot) {
    const char t[] = {'a', 0, '\xC0', '\x80'};
    EXPECT_TRUE(zo::isutf8(t));
    EXPECT_TRUE(zo::isutf8(t, 2));
    EXPECT_FALSE(zo::isutf8(t, 4));
    // A valid sequence cut at every offset is incomplete until it is whole.
    const char f[] = "\xF0\x9F\x98\x80";
    for (size_t n = 1; n < 4; ++n) EXPECT_FALSE(zo::isutf8(f, n)) << n;
}

TEST(CharsetTest, GbkToUtf8) {
    char out[zo::gbkoutmax];
    EXPECT_EQ(zo::gbktoutf8("\xD6\xD0\xCE\xC4", 4, out), 6);
    EXPECT_STREQ(out, "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(zo::gbktoutf8("ab\xB2\xE2\xCA\xD4", 6, out), 8);  // ab测试
    EXPECT_STREQ(out, "ab\xE6\xB5\x8B\xE8\xAF\x95");
    EXPECT_EQ(zo::gbktoutf8("", 0, out), 0);
    EXPECT_STREQ(out, "");
}

TEST(CharsetTest, GbkBadBytesBecomeQuestionMarks) {
    char out[zo::gbkoutmax];
    // 0xFF is no GBK byte; a lead byte cut at the end is incomplete.
    int n = zo::gbktoutf8(
        "a\xFF"
        "b\xD6",
        4, out);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(out, "a?b?");
}

TEST(CharsetTest, GbkResultMustFitTheBuffer) {
    char out[zo::gbkoutmax];
    // 5461 characters of three UTF-8 bytes: 16383 bytes, exactly the limit.
    std::string in;
    for (int i = 0; i < 5461; ++i) in += "\xD6\xD0";
    EXPECT_EQ(zo::gbktoutf8(in.data(), in.size(), out), 16383);
    in += "\xD6\xD0";
    EXPECT_EQ(zo::gbktoutf8(in.data(), in.size(), out), -1);
    EXPECT_STREQ(out, "");
}

}  // namespace
