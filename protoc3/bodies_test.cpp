// Bodies and records: byte-exact encodings worked out by hand (values and
// field numbers against Google's code are in oracle_test.cpp), every golden
// cut at every offset, and the array rules.
#include "protoc3/bodies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "protoc3/testutil_test.h"

namespace {

using namespace pbtest;

template <class M>
std::string encode(M& m) {
    zo::string out;
    EXPECT_TRUE(m.serialize(out)) << m.errmsg();
    EXPECT_EQ(m.size(), out.size());
    return hexof(out);
}
std::string flat(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), '|'), hex.end());
    return hex;
}

// Golden bytes as hex with '|' between fields (the values and field numbers
// are held to Google's code in oracle_test.cpp; these pin our field order).
// They decode into M, which encodes them again byte for byte; and cut at
// every offset they decode exactly at the field boundaries and fail cleanly
// ("decode failed", or for an array whose element failed, errcode 0)
// everywhere else.
template <class M>
void golden(const std::string& hex, bool isarray = false) {
    bytes g;
    std::vector<size_t> cuts = {0};
    for (size_t i = 0; i < hex.size(); ++i) {
        if (hex[i] == '|') cuts.push_back(g.size());
        if (std::isxdigit(static_cast<unsigned char>(hex[i])))
            g.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i++, 2), nullptr, 16)));
    }
    cuts.push_back(g.size());
    M d;
    ASSERT_TRUE(d.parse(g.data(), static_cast<uint32_t>(g.size()))) << hex;
    EXPECT_EQ(encode(d), hexof(g));
    for (size_t n = 0; n <= g.size(); ++n) {
        const bytes cut(g.begin(), g.begin() + n);  // ASan sees any read past it
        const bool ok = d.parse(n ? cut.data() : nullptr, static_cast<uint32_t>(n));
        EXPECT_EQ(ok, std::find(cuts.begin(), cuts.end(), n) != cuts.end()) << "cut at " << n;
        EXPECT_TRUE(ok || isarray || d.errcode == 2u) << "cut at " << n;
    }
}

TEST(bodies, goldens) {
    // Tag values: a double 0.0, a 32-bit -1 sign-extended, bytes "00 FF".
    const std::string tv1 =
        "08 FB D0 95 FF BC 31 | 12 12 50 6C 61 6E 74 2E 42 6F 69 6C 65 72 31 2E 54 65 6D 70 | "
        "18 C0 01 | 38 05 | 29 00 00 00 00 00 00 00 00";
    const std::string tv2 =
        "08 C8 D3 95 FF BC 31 | 12 0B 56 61 6C 76 65 2E C3 A9 74 61 74 | 38 02 | "
        "20 FF FF FF FF FF FF FF FF FF 01";
    const std::string tv3 = "08 05 | 38 06 | 32 02 00 FF";
    golden<tagval>(tv1);
    golden<tagval>(tv2);
    golden<tagval>(tv3);
    golden<tagvalarray>("98 08 07 | A0 08 80 80 80 80 80 20 | 0A 29 " + flat(tv1) + " | 0A 21 " +
                            flat(tv2) + " | 0A 08 " + flat(tv3),
                        true);
    golden<soerec>(
        "E2 0E 0A 42 72 65 61 6B 65 72 2E 51 31 | EA 0E 04 74 72 69 70 | B0 0E E7 D7 95 FF BC 31 | "
        "B8 0E 01 | C0 0E FF FF FF FF 0F | C8 0E B4 24 | D0 0E 03 | F8 0E AB 01 | 80 0F 01");
    golden<runinfo>(
        "82 0A 05 73 69 6D 75 31 | 88 0A 4D | 90 0A 92 21 | 98 0A C4 13 | D0 0A 02 | D8 0A 32 | "
        "A8 0A 95 9A EF 3A | B0 0A 80 D0 95 FF BC 31 | B8 0A E8 D7 95 FF BC 31 | "
        "C0 0A D0 DF 95 FF BC 31 | CA 0A 15 6F 78 61 3A 2F 2F 31 32 37 2E 30 2E 30 2E 31 3A 38 36 "
        "30 30 2F | E0 0A 03");
    // A login request and a reply (retmsg "login succeeded" in Chinese).
    golden<loginbody>("CA 07 05 73 69 6D 75 31 | E8 07 02 | A8 08 32");
    golden<loginbody>("E2 05 0C E7 99 BB E5 BD 95 E6 88 90 E5 8A 9F | F8 05 B9 60");
    golden<unkownbody>(
        "A0 0C 5B | B2 0C 05 68 65 6C 6C 6F | 9A 0C 04 73 69 64 31 | E2 05 02 6F 6B | "
        "4A 05 54 61 67 2E 41 | 4A 05 54 61 67 2E 42");
    // A parse starts from a cleared record.
    tagval t;
    ASSERT_TRUE(t.parse(unhex("32 02 00 FF").data(), 4));
    ASSERT_TRUE(t.parse(unhex("38 05").data(), 2));
    EXPECT_EQ(t.vbytes.size(), 0u);
    // Run information field 170 is 1 after clear; a 0 cannot be carried.
    runinfo r;
    EXPECT_EQ(encode(r), "D0 0A 01 ");
    r.f170 = 0;
    EXPECT_EQ(encode(r), "");
}

// Element sizes around the one-byte length limit and far beyond it (longer
// than the oracle's random ones), in an output that already holds bytes:
// written as long as size() says, and read back.
TEST(bodies, longelementsgetwiderlengths) {
    for (uint32_t namelen : {120u, 121u, 122u, 123u, 16383u, 20000u}) {
        tagvalarray a, d;
        a.items.emplace()->name.append(namelen, 'n');
        a.items.emplace()->vtype = 2;  // a small one after it
        zo::string out("prefix");
        ASSERT_TRUE(a.serialize(out));
        ASSERT_EQ(out.size(), 6 + a.size()) << namelen;
        ASSERT_TRUE(d.parse(out.bytes() + 6, out.size() - 6)) << namelen;
        ASSERT_EQ(d.items.size(), 2u);
        EXPECT_EQ(d.items[0].name.size(), namelen);
        EXPECT_EQ(d.items[1].vtype, 2u);
    }
}

// A bad element fails the whole body; the element is not kept, and the
// reason stays in the discarded element when decoding.
TEST(bodies, elementfailuresandthecountcap) {
    tagvalarray a;
    EXPECT_FALSE(a.parse(unhex("0A 02 38 01 0A 03 12 01 FF").data(), 9));  // name not UTF-8
    EXPECT_EQ(a.errcode, 0u);
    EXPECT_EQ(a.items.size(), 1u);
    EXPECT_FALSE(a.parse(unhex("0A 01 0B").data(), 3));  // malformed
    EXPECT_EQ(a.errcode, 0u);
    EXPECT_EQ(a.items.size(), 0u);
    a.items.emplace()->name = "\xC3\x28";
    zo::string out;
    EXPECT_FALSE(a.serialize(out));
    EXPECT_EQ(a.errcode, 3u);

    unkownbody u;
    EXPECT_FALSE(u.parse(unhex("4A 01 61 4A 01 FF").data(), 6));
    EXPECT_EQ(u.errcode, 3u);
    ASSERT_EQ(u.strs.size(), 1u);
    EXPECT_EQ(u.strs[0].view(), "a");

    soearray s;  // empty elements are two bytes each on the wire
    EXPECT_EQ(s.maxitems, 1u << 20);
    s.maxitems = 1000;
    bytes b;
    for (int i = 0; i < 1000; ++i) b.insert(b.end(), {0x0A, 0x00});
    ASSERT_TRUE(s.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(s.items.size(), 1000u);
    b.insert(b.end(), {0x0A, 0x00});
    EXPECT_FALSE(s.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(s.errcode, 2u);
}

}  // namespace
