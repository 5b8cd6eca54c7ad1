// Bodies and records: byte-exact encodings worked out by hand, the per-class
// rules, size() against serialize(), and every golden body cut at every
// offset.
#include "protoc3/bodies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// ---- golden bodies ------------------------------------------------------------
// Each with the offsets at which a cut leaves a whole number of fields (the
// only cuts that may decode).

const bytes tv1 = {0x08, 0xFB, 0xD0, 0x95, 0xFF, 0xBC, 0x31, 0x12, 0x12, 0x50, 0x6C,
                   0x61, 0x6E, 0x74, 0x2E, 0x42, 0x6F, 0x69, 0x6C, 0x65, 0x72, 0x31,
                   0x2E, 0x54, 0x65, 0x6D, 0x70, 0x18, 0xC0, 0x01, 0x38, 0x05, 0x29,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<size_t> tv1cuts = {0, 7, 27, 30, 32, 41};

const bytes tv2 = {0x08, 0xC8, 0xD3, 0x95, 0xFF, 0xBC, 0x31, 0x12, 0x0B, 0x56, 0x61,
                   0x6C, 0x76, 0x65, 0x2E, 0xC3, 0xA9, 0x74, 0x61, 0x74, 0x38, 0x02,
                   0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
const std::vector<size_t> tv2cuts = {0, 7, 20, 22, 33};

const bytes tv3 = {0x08, 0x05, 0x38, 0x06, 0x32, 0x02, 0x00, 0xFF};
const std::vector<size_t> tv3cuts = {0, 2, 4, 8};

// retcode 0, f131 7, f132 2^40, then tv1, tv2, tv3 as elements.
const bytes arr = {0x98, 0x08, 0x07, 0xA0, 0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20, 0x0A, 0x29,
                   0x08, 0xFB, 0xD0, 0x95, 0xFF, 0xBC, 0x31, 0x12, 0x12, 0x50, 0x6C, 0x61, 0x6E,
                   0x74, 0x2E, 0x42, 0x6F, 0x69, 0x6C, 0x65, 0x72, 0x31, 0x2E, 0x54, 0x65, 0x6D,
                   0x70, 0x18, 0xC0, 0x01, 0x38, 0x05, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x0A, 0x21, 0x08, 0xC8, 0xD3, 0x95, 0xFF, 0xBC, 0x31, 0x12, 0x0B,
                   0x56, 0x61, 0x6C, 0x76, 0x65, 0x2E, 0xC3, 0xA9, 0x74, 0x61, 0x74, 0x38, 0x02,
                   0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x0A, 0x08,
                   0x08, 0x05, 0x38, 0x06, 0x32, 0x02, 0x00, 0xFF};
const std::vector<size_t> arrcuts = {0, 3, 11, 54, 89, 99};

const bytes soe = {0xE2, 0x0E, 0x0A, 0x42, 0x72, 0x65, 0x61, 0x6B, 0x65, 0x72, 0x2E, 0x51, 0x31,
                   0xEA, 0x0E, 0x04, 0x74, 0x72, 0x69, 0x70, 0xB0, 0x0E, 0xE7, 0xD7, 0x95, 0xFF,
                   0xBC, 0x31, 0xB8, 0x0E, 0x01, 0xC0, 0x0E, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xC8,
                   0x0E, 0xB4, 0x24, 0xD0, 0x0E, 0x03, 0xF8, 0x0E, 0xAB, 0x01, 0x80, 0x0F, 0x01};
const std::vector<size_t> soecuts = {0, 13, 20, 28, 31, 38, 42, 45, 49, 52};

const bytes ri = {0x82, 0x0A, 0x05, 0x73, 0x69, 0x6D, 0x75, 0x31, 0x88, 0x0A, 0x4D, 0x90,
                  0x0A, 0x92, 0x21, 0x98, 0x0A, 0xC4, 0x13, 0xD0, 0x0A, 0x02, 0xD8, 0x0A,
                  0x32, 0xA8, 0x0A, 0x95, 0x9A, 0xEF, 0x3A, 0xB0, 0x0A, 0x80, 0xD0, 0x95,
                  0xFF, 0xBC, 0x31, 0xB8, 0x0A, 0xE8, 0xD7, 0x95, 0xFF, 0xBC, 0x31, 0xC0,
                  0x0A, 0xD0, 0xDF, 0x95, 0xFF, 0xBC, 0x31, 0xCA, 0x0A, 0x15, 0x6F, 0x78,
                  0x61, 0x3A, 0x2F, 0x2F, 0x31, 0x32, 0x37, 0x2E, 0x30, 0x2E, 0x30, 0x2E,
                  0x31, 0x3A, 0x38, 0x36, 0x30, 0x30, 0x2F, 0xE0, 0x0A, 0x03};
const std::vector<size_t> ricuts = {0, 8, 11, 15, 19, 22, 25, 31, 39, 47, 55, 79, 82};

const bytes un = {0xA0, 0x0C, 0x5B, 0xB2, 0x0C, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0x9A, 0x0C,
                  0x04, 0x73, 0x69, 0x64, 0x31, 0xE2, 0x05, 0x02, 0x6F, 0x6B, 0x4A, 0x05, 0x54,
                  0x61, 0x67, 0x2E, 0x41, 0x4A, 0x05, 0x54, 0x61, 0x67, 0x2E, 0x42};
const std::vector<size_t> uncuts = {0, 3, 11, 18, 23, 30, 37};

// A login reply: retmsg (UTF-8 Chinese "login succeeded"), field 95 = 12345.
const bytes loginreply = {0xE2, 0x05, 0x0C, 0xE7, 0x99, 0xBB, 0xE5, 0xBD, 0x95, 0xE6,
                          0x88, 0x90, 0xE5, 0x8A, 0x9F, 0xF8, 0x05, 0xB9, 0x60};
const std::vector<size_t> loginreplycuts = {0, 15, 19};

void filltv1(tagval& t) {
    t.time = 1700000000123;
    t.name = zs("Plant.Boiler1.Temp");
    t.quality = 192;
    t.vtype = 5;
    t.vdouble = 0.0;
}
void filltv2(tagval& t) {
    t.time = 1700000000456;
    t.name = zs("Valve.\xC3\xA9tat");
    t.vtype = 2;
    t.vint = -1;  // a 32-bit -1, sign-extended
}
void filltv3(tagval& t) {
    t.time = 5;
    t.vtype = 6;
    t.vbytes = zs("\x00\xFF", 2);
}

// ---- fixture ------------------------------------------------------------------

class bodiestest : public ::testing::Test {
  protected:
    // Cuts golden bytes at every offset: a decode succeeds exactly at the
    // field boundaries and fails cleanly ("decode failed" or, for an array
    // whose element failed, with its own errcode at 0) everywhere else.
    template <class M>
    void cutateveryoffset(M& m, const bytes& g, const std::vector<size_t>& cuts,
                          bool isarray = false) {
        for (size_t n = 0; n <= g.size(); ++n) {
            // A copy of exactly n bytes, so that ASan sees any read past it.
            std::vector<uint8_t> cut(g.begin(), g.begin() + n);
            bool ok = m.parse(n ? cut.data() : nullptr, static_cast<uint32_t>(n));
            bool boundary = std::find(cuts.begin(), cuts.end(), n) != cuts.end();
            EXPECT_EQ(ok, boundary) << "cut at " << n;
            if (!ok && !isarray) {
                EXPECT_EQ(m.errcode, 2u) << "cut at " << n;
            }
        }
    }
    // m encodes to exactly g; g decodes into a fresh M that encodes to g
    // again (every field read back where it was written); then every cut.
    template <class M>
    void golden(M& m, const bytes& g, const std::vector<size_t>& cuts, bool isarray = false) {
        EXPECT_EQ(encode(m), hexof(g));
        M d;
        ASSERT_TRUE(d.parse(g.data(), static_cast<uint32_t>(g.size())));
        EXPECT_EQ(encode(d), hexof(g));
        cutateveryoffset(d, g, cuts, isarray);
    }
};

// ---- tag values -----------------------------------------------------------------

TEST_F(bodiestest, tagvalgoldens) {
    tagval t;
    filltv1(t);
    golden(t, tv1, tv1cuts);
    t.clear();
    filltv2(t);
    golden(t, tv2, tv2cuts);
    t.clear();
    filltv3(t);
    golden(t, tv3, tv3cuts);
    // A parse starts from a cleared record.
    ASSERT_TRUE(t.parse(tv1.data(), static_cast<uint32_t>(tv1.size())));
    EXPECT_EQ(t.vbytes.size(), 0u);
    EXPECT_EQ(t.vdouble, 0.0);
}

TEST_F(bodiestest, tagvalwritesonlythevaluefieldofitstype) {
    tagval t;
    t.vint = 7;
    t.vdouble = 2.5;
    t.vbytes = zs("xy");
    t.vtype = 4;
    EXPECT_EQ(encode(t), "38 04 20 07 ");
    t.vint = 0;
    EXPECT_EQ(encode(t), "38 04 ");  // vint 0 is absent
    t.vtype = 1;
    t.vint = 0x7FFFFFFF;
    EXPECT_EQ(encode(t), "38 01 20 FF FF FF FF 07 ");
    t.vtype = 3;
    EXPECT_EQ(encode(t), "38 03 29 00 00 00 00 00 00 04 40 ");
    t.vtype = 7;
    EXPECT_EQ(encode(t), "38 07 32 02 78 79 ");
    t.vbytes.clear();
    EXPECT_EQ(encode(t), "38 07 ");
    t.vtype = 8;  // outside 1..7: no value field, not an error
    EXPECT_EQ(encode(t), "38 08 ");
    t.vtype = 0;
    EXPECT_EQ(t.size(), 0u);
    // A leading zero byte in the name leaves the name out; in vbytes it is data.
    t.vtype = 6;
    t.name = zs("\x00\xFF", 2);
    t.vbytes = zs("\x00\xFF", 2);
    EXPECT_EQ(encode(t), "38 06 32 02 00 FF ");
}

TEST_F(bodiestest, tagvalchecksthenamebutnotvbytes) {
    bytes bad = {0x32, 0x01, 0xFF, 0x12, 0x01, 0xFF};
    tagval t;
    EXPECT_FALSE(t.parse(bad.data(), static_cast<uint32_t>(bad.size())));
    EXPECT_EQ(t.errcode, 3u);
    EXPECT_EQ(t.vbytes.view(), "\xFF");
    t.clear();
    t.name = zs("\xFF");
    zo::string out;
    EXPECT_FALSE(t.serialize(out));
    EXPECT_EQ(t.errcode, 3u);
}

TEST_F(bodiestest, recordsmoveandcopybyvalue) {
    tagval a;
    filltv1(a);
    tagval b(a);
    EXPECT_EQ(b.name.view(), "Plant.Boiler1.Temp");
    tagval c(std::move(a));
    EXPECT_EQ(c.name.view(), "Plant.Boiler1.Temp");
    EXPECT_TRUE(a.name.isnull());  // a moved-from record keeps no buffers
}

// ---- arrays ----------------------------------------------------------------------

TEST_F(bodiestest, tagvalarraygolden) {
    tagvalarray a;
    a.f131 = 7;
    a.f132 = 1ull << 40;
    tagval t;
    filltv1(t);
    ASSERT_TRUE(a.items.append(std::move(t)));
    filltv2(*a.items.emplace());
    a.items.emplace();  // size 0: left out
    filltv3(*a.items.emplace());
    golden(a, arr, arrcuts, true);
}

TEST_F(bodiestest, longelementsgetwiderlengths) {
    // Element sizes around the one-byte length limit and far beyond it, in
    // an output that already holds bytes.
    for (uint32_t namelen : {100u, 120u, 121u, 122u, 123u, 200u, 16383u, 20000u}) {
        tagvalarray a;
        a.f131 = 1;
        tagval* t = a.items.emplace();
        t->vtype = 1;
        t->vint = 3;
        t->name.append(namelen, 'n');
        a.items.emplace()->vtype = 2;  // a small one after it
        zo::string out("prefix");
        ASSERT_TRUE(a.serialize(out));
        ASSERT_EQ(out.size(), 6 + a.size()) << namelen;
        zo::string lenbytes;
        zo::put_varint32(lenbytes, a.items[0].size());
        // 6 prefix bytes, field 131 (3 bytes), then key 0x0A and the length.
        EXPECT_EQ(out.bytes()[9], 0x0A);
        EXPECT_EQ(std::memcmp(out.bytes() + 10, lenbytes.data(), lenbytes.size()), 0) << namelen;
        tagvalarray d;
        ASSERT_TRUE(d.parse(out.bytes() + 6, out.size() - 6)) << namelen;
        ASSERT_EQ(d.items.size(), 2u);
        EXPECT_EQ(d.items[0].name.size(), namelen);
        EXPECT_EQ(d.items[1].vtype, 2u);
    }
}

TEST_F(bodiestest, arrayelementfailures) {
    // One good element, then one whose name is not UTF-8.
    bytes b = {0x0A, 0x02, 0x38, 0x01, 0x0A, 0x03, 0x12, 0x01, 0xFF};
    tagvalarray a;
    EXPECT_FALSE(a.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(a.errcode, 0u);  // the reason stays in the discarded element
    EXPECT_EQ(a.items.size(), 1u);
    // A malformed element too.
    bytes c = {0x0A, 0x01, 0x0B};
    EXPECT_FALSE(a.parse(c.data(), static_cast<uint32_t>(c.size())));
    EXPECT_EQ(a.errcode, 0u);
    EXPECT_EQ(a.items.size(), 0u);
    // Encoding names the element's reason.
    a.items.emplace()->name = zs("\xC3\x28");
    zo::string out;
    EXPECT_FALSE(a.serialize(out));
    EXPECT_EQ(a.errcode, 3u);
}

TEST_F(bodiestest, arrayelementcountiscapped) {
    soearray a;
    EXPECT_EQ(a.maxitems, 1u << 20);
    a.maxitems = 1000;
    // Empty elements are two bytes each on the wire.
    std::vector<uint8_t> b(2000, 0);
    for (size_t i = 0; i < b.size(); i += 2) b[i] = 0x0A;
    ASSERT_TRUE(a.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(a.items.size(), 1000u);
    b.push_back(0x0A);
    b.push_back(0x00);
    EXPECT_FALSE(a.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(a.errcode, 2u);
}

TEST_F(bodiestest, clearkeepsarraycapacity) {
    tagvalarray a;
    ASSERT_TRUE(a.items.reserve(100));
    a.retcode = 3;
    a.retmsg = zs("x");
    for (int i = 0; i < 10; ++i) a.items.emplace()->vtype = 1;
    a.clear();
    EXPECT_EQ(a.items.size(), 0u);
    EXPECT_GE(a.items.capacity(), 100u);
    EXPECT_EQ(a.retcode, 0u);
    EXPECT_EQ(a.retmsg.size(), 0u);
}

TEST_F(bodiestest, soegolden) {
    soerec s;
    s.f236 = zs("Breaker.Q1");
    s.f237 = zs("trip");
    s.f230 = 1700000000999;
    s.f231 = 1;
    s.f232 = 0xFFFFFFFFu;
    s.f233 = 0x1234;
    s.f234 = 3;
    s.f239 = 0xAB;
    s.f240 = 1;
    golden(s, soe, soecuts);
    soearray a;
    ASSERT_TRUE(a.items.append(std::move(s)));
    EXPECT_EQ(encode(a).substr(0, 6), "0A 34 ");  // key 0x0A, size 52
}

TEST_F(bodiestest, runinfogoldenandclear) {
    runinfo r;
    EXPECT_EQ(encode(r), "D0 0A 01 ");  // after clear only field 170 = 1
    r.f160 = zs("simu1");
    r.f161 = 77;
    r.f162 = 4242;
    r.f163 = 2500;
    r.f170 = 2;
    r.f171 = 50;
    r.f165 = 123456789;
    r.f166 = 1700000000000;
    r.f167 = 1700000001000;
    r.f168 = 1700000002000;
    r.f169 = zs("oxa://127.0.0.1:8600/");
    r.f172 = 3;
    golden(r, ri, ricuts);

    runinfoarray a;
    ASSERT_TRUE(a.process_info().append(runinfo(r)));
    EXPECT_EQ(encode(a), "9A 04 52 " + hexof(ri));  // item field 67
    zo::string o2;
    ASSERT_TRUE(a.serialize(o2));
    // Elements under field 1 are not run information.
    tagvalarray c;
    ASSERT_TRUE(c.parse(o2.data(), o2.size()));
    EXPECT_EQ(c.items.size(), 0u);

    r.f170 = 0;  // cannot be carried: absent on the wire, 1 after decode
    runinfo d;
    zo::string out;
    ASSERT_TRUE(r.serialize(out));
    ASSERT_TRUE(d.parse(out.data(), out.size()));
    EXPECT_EQ(d.f170, 1u);
}

// ---- login and the general-purpose body ------------------------------------------

TEST_F(bodiestest, loginrequestandreply) {
    loginbody l;
    l.f121 = zs("simu1");
    l.f125 = 2;
    l.f133 = 50;
    EXPECT_EQ(encode(l), "CA 07 05 73 69 6D 75 31 E8 07 02 A8 08 32 ");
    loginbody r;
    ASSERT_TRUE(r.parse(loginreply.data(), static_cast<uint32_t>(loginreply.size())));
    EXPECT_EQ(r.f95, 12345u);
    EXPECT_EQ(r.retmsg.view(), "\xE7\x99\xBB\xE5\xBD\x95\xE6\x88\x90\xE5\x8A\x9F");
    golden(r, loginreply, loginreplycuts);
    // Every field, to pin the full order: 121 122 92 150 91 93 125 133 94 95 97 96.
    loginbody f;
    f.f121 = zs("a");
    f.f122 = zs("b");
    f.retmsg = zs("c");
    f.f150 = zs("d");
    f.retcode = 1;
    f.f93 = 2;
    f.f125 = 3;
    f.f133 = 4;
    f.f94 = 5;
    f.f95 = 6;
    f.f97 = 7;
    f.f96 = 8;
    EXPECT_EQ(encode(f),
              "CA 07 01 61 D2 07 01 62 E2 05 01 63 B2 09 01 64 D8 05 01 E8 05 02 E8 07 03 "
              "A8 08 04 F0 05 05 F8 05 06 88 06 07 80 06 08 ");
}

TEST_F(bodiestest, unkowngoldenandstrs) {
    unkownbody u;
    u.vi32 = unkownbody::PROCESS_CTRL_EXIT;
    u.vstr = zs("hello");
    u.sid = zs("sid1");
    u.retmsg = zs("ok");
    ASSERT_TRUE(u.strs.append(zs("Tag.A")));
    ASSERT_TRUE(u.strs.append(zs("")));  // left out
    ASSERT_TRUE(u.strs.append(zs("Tag.B")));
    EXPECT_EQ(u.vi32, 91u);
    golden(u, un, uncuts);

    // Full order: 196 91 197 198 195 199 92, strs.
    unkownbody f;
    f.vi32 = 1;
    f.retcode = 2;
    f.vi64 = 3;
    f.vstr = zs("d");
    f.sid = zs("e");
    f.vstr2 = zs("f");
    f.retmsg = zs("g");
    EXPECT_EQ(encode(f),
              "A0 0C 01 D8 05 02 A8 0C 03 B2 0C 01 64 9A 0C 01 65 BA 0C 01 66 E2 05 01 67 ");

    // One bad element fails the encode and the decode.
    f.strs.append(zs("\xFF"));
    zo::string out;
    EXPECT_FALSE(f.serialize(out));
    EXPECT_EQ(f.errcode, 3u);
    unkownbody d;
    bytes bad = {0x4A, 0x01, 'a', 0x4A, 0x01, 0xFF};
    EXPECT_FALSE(d.parse(bad.data(), static_cast<uint32_t>(bad.size())));
    EXPECT_EQ(d.errcode, 3u);
    ASSERT_EQ(d.strs.size(), 1u);  // the bad element is not kept
    EXPECT_EQ(d.strs[0].view(), "a");
}

}  // namespace
