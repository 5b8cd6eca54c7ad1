#include "base/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CharsetTest, Utf8LeadAndContinuationRules) {
    const struct {
        std::string text;
        bool ok;
    } rows[] = {
        {"", true},
        {"plain ascii", true},
        {"\xE4\xB8\xAD\xE6\x96\x87", true},                          // 中文
        {"\xC2\x80\xDF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},  // edges of the lead ranges
        {"\xED\xA0\x80", true},                                      // an encoded surrogate passes
        {"\xE0\x80\x80", true},  // an overlong three-byte form passes
        {"\xC0\x80", false},     // C0 and C1 never lead
        {"\xC1\xBF", false},
        {"\xF5\x80\x80\x80", false},
        {"\x80", false},                         // a continuation where a lead is due
        {"a\xE4\xB8", false},                    // incomplete at the end
        {"\xE4\x41\xAD", false},                 // ASCII inside a sequence
        {std::string("a\0\xC0\x80", 4), false},  // a given length reads past a zero byte
    };
    for (const auto& r : rows) EXPECT_EQ(zo::isutf8(r.text.data(), r.text.size()), r.ok) << r.text;
    EXPECT_TRUE(zo::isutf8(nullptr));
    EXPECT_TRUE(zo::isutf8("a\0\xC0\x80"));  // length zero: up to the zero byte
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

TEST(CharsetTest, GbkToUtf8) {
    const struct {
        std::string gbk;
        int n;
        const char* utf8;
    } rows[] = {
        {"\xD6\xD0\xCE\xC4", 6, "\xE4\xB8\xAD\xE6\x96\x87"},
        {"ab\xB2\xE2\xCA\xD4", 8, "ab\xE6\xB5\x8B\xE8\xAF\x95"},  // ab测试
        {"", 0, ""},
        {"a\xFF"
         "b\xD6",
         4, "a?b?"},  // no GBK byte; a lead byte cut at the end
    };
    char out[zo::gbkoutmax];
    for (const auto& r : rows) {
        EXPECT_EQ(zo::gbktoutf8(r.gbk.data(), r.gbk.size(), out), r.n) << r.utf8;
        EXPECT_STREQ(out, r.utf8);
    }
    // 5461 characters of three UTF-8 bytes: 16383 bytes, exactly the limit.
    std::string in;
    for (int i = 0; i < 5461; ++i) in += "\xD6\xD0";
    EXPECT_EQ(zo::gbktoutf8(in.data(), in.size(), out), 16383);
    in += "\xD6\xD0";
    EXPECT_EQ(zo::gbktoutf8(in.data(), in.size(), out), -1);
    EXPECT_STREQ(out, "");
}

}  // namespace
