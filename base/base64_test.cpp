#include "base/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string enc(std::string_view s) {
    zo::string out;
    EXPECT_TRUE(zo::base64encode(s.data(), s.size(), out));
    return std::string(out.view());
}

TEST(Base64Test, Rfc4648Vectors) {
    const char* cases[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
    for (auto& c : cases) {
        EXPECT_EQ(enc(c[0]), c[1]);
        zo::string back;
        ASSERT_TRUE(zo::base64decode(c[1], back)) << c[1];
        EXPECT_EQ(back.view(), c[0]);
    }
}

TEST(Base64Test, AppendsAndUsesTheWholeAlphabet) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    zo::string out("x");
    ASSERT_TRUE(zo::base64encode(all.data(), all.size(), out));
    EXPECT_EQ(out.size(), 1 + zo::base64len(256));
    EXPECT_EQ(out.view().substr(0, 5), "xAAEC");
    // The last two alphabet characters, 62 and 63.
    EXPECT_EQ(enc("\xff\xff\xff"), "////");
    EXPECT_EQ(enc("\xfb\xef\xbe"), "++++");
    zo::string back;
    ASSERT_TRUE(zo::base64decode(out.view().substr(1), back));
    EXPECT_EQ(back.view(), all);
}

TEST(Base64Test, RandomRoundTrip) {
    std::mt19937 rng(7);
    for (int n = 0; n < 300; ++n) {
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(rng());
        zo::string back;
        ASSERT_TRUE(zo::base64decode(enc(s), back));
        ASSERT_EQ(back.view(), s) << n;
    }
}

TEST(Base64Test, DecoderRejectsDamagedTextAndLeavesOutputAlone) {
    const char* bad[] = {"Zg=",
                         "Z===",
                         "Zm9v!A==",
                         "Zg==Zg==",
                         "Zh==",
                         "Zm9=",
                         "=m9v",
                         "Zm 9",
                         "Zm9vYmF",
                         "Zm9vY\x80"
                         "Fy"};
    for (const char* b : bad) {
        zo::string out("keep");
        EXPECT_FALSE(zo::base64decode(b, out)) << b;
        EXPECT_EQ(out.view(), "keep") << b;
    }
    // Every cut of a valid text that is not a multiple of four fails cleanly.
    std::string good = enc("any carnal pleasure.");
    for (size_t cut = 0; cut < good.size(); ++cut) {
        std::string piece = good.substr(0, cut);
        zo::string out;
        bool ok = zo::base64decode(piece, out);
        if (cut % 4) {
            EXPECT_FALSE(ok) << cut;
        }
    }
}

}  // namespace
