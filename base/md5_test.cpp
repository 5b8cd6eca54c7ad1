#include "base/md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string hexof(const void* p, size_t n) {
    char h[33];
    zo::md5hex(p, n, h, false);
    return h;
}

TEST(Md5Test, Rfc1321Suite) {
    const struct {
        const char* in;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hexof(c.in, strlen(c.in)), c.hex) << '"' << c.in << '"';
    }
    // The password hash is written in upper case.
    char h[33];
    zo::md5hex("abc", 3, h);
    EXPECT_STREQ(h, "900150983CD24FB0D6963F7D28E17F72");
}

// Lengths around the 56-byte padding limit and the 64-byte block; digests
// from an independent implementation (Python's hashlib).  Fed in uneven
// pieces, the same bytes give the same digest.
TEST(Md5Test, PaddingBoundariesOneShotAndInPieces) {
    const struct {
        size_t n;
        const char* hex;
    } cases[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b"},  {56, "46c9907fc908ee68b1e7b8e71286a518"},
        {63, "a62f6d59e837867693f042f5b8f5a236"},  {64, "7160b8fb5e9e4023d549c3971fbaeead"},
        {119, "e84905d4214f4d1ca56c2cdcc152b143"}, {1000, "10046f077f2082ac19676b8079f1cb1a"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> v(c.n);
        for (size_t i = 0; i < c.n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_EQ(hexof(v.data(), v.size()), c.hex) << c.n << " bytes";
        zo::md5ctx ctx;
        for (size_t off = 0, step = 1; off < v.size(); off += step, step = step * 7 % 61 + 1) {
            ctx.update(v.data() + off, std::min(step, v.size() - off));
        }
        uint8_t d[16], whole[16];
        ctx.final(d);
        zo::md5(v.data(), v.size(), whole);
        EXPECT_EQ(0, memcmp(d, whole, 16)) << c.n << " bytes in pieces";
    }
    std::string a(1000000, 'a');
    EXPECT_EQ(hexof(a.data(), a.size()), "7707d6ae4e027c70eea2a935c2296f21");
}

}  // namespace
