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

// RFC 4648's vectors, the last two characters of the alphabet, and random
// bytes of every length up to 300 come back as they went.
TEST(Base64Test, VectorsAndRoundTrips) {
    const char* cases[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"},
                              {"\xff\xff\xff", "////"},
                              {"\xfb\xef\xbe", "++++"}};
    for (auto& c : cases) {
        EXPECT_EQ(enc(c[0]), c[1]);
        zo::string back;
        ASSERT_TRUE(zo::base64decode(c[1], back)) << c[1];
        EXPECT_EQ(back.view(), c[0]);
    }
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
    const char* bad[] = {"Zg=",  "Z===", "Zm9v!A==", "Zg==Zg==", "Zh==",
                         "Zm9=", "=m9v", "Zm 9",     "Zm9vYmF",  "Zm9vY\200Fy"};
    for (const char* b : bad) {
        zo::string out("keep");
        EXPECT_FALSE(zo::base64decode(b, out)) << b;
        EXPECT_EQ(out.view(), "keep") << b;
    }
    // Every cut of a valid text that is not a multiple of four fails cleanly.
    std::string good = enc("any carnal pleasure.");
    for (size_t cut = 1; cut < good.size(); cut += (cut % 4 == 3 ? 2 : 1)) {
        zo::string out;
        EXPECT_FALSE(zo::base64decode(good.substr(0, cut), out)) << cut;
    }
}

}  // namespace
