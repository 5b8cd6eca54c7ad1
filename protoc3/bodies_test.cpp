// Bodies and records: byte-exact encodings worked out by hand, the per-class
// rules, size() against serialize(), and every golden body cut at every
// offset.
#include "protoc3/bodies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
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
};

// ---- tag values -----------------------------------------------------------------

TEST_F(bodiestest, tagvalgoldens) {
    tagval t;
    filltv1(t);
    EXPECT_EQ(encode(t), hexof(tv1));
    t.clear();
    filltv2(t);
    EXPECT_EQ(encode(t), hexof(tv2));
    t.clear();
    filltv3(t);
    EXPECT_EQ(encode(t), hexof(tv3));

    tagval d;
    ASSERT_TRUE(d.parse(tv1.data(), static_cast<uint32_t>(tv1.size())));
    EXPECT_EQ(d.time, 1700000000123);
    EXPECT_EQ(d.name.view(), "Plant.Boiler1.Temp");
    EXPECT_EQ(d.quality, 192u);
    EXPECT_EQ(d.vtype, 5u);
    EXPECT_EQ(d.vdouble, 0.0);
    ASSERT_TRUE(d.parse(tv2.data(), static_cast<uint32_t>(tv2.size())));
    EXPECT_EQ(d.vint, -1);
    EXPECT_EQ(d.quality, 0u);
    EXPECT_EQ(d.vdouble, 0.0);  // cleared by the parse
    ASSERT_TRUE(d.parse(tv3.data(), static_cast<uint32_t>(tv3.size())));
    EXPECT_EQ(d.vbytes.view(), std::string_view("\x00\xFF", 2));
    EXPECT_EQ(d.name.size(), 0u);
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

TEST_F(bodiestest, tagvalkeepseveryvaluefieldthatarrives) {
    bytes b = {0x38, 0x01, 0x20, 0x05, 0x29, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0x32, 0x01, 'z'};
    tagval t;
    ASSERT_TRUE(t.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(t.vint, 5);
    EXPECT_EQ(t.vdouble, 1.0);
    EXPECT_EQ(t.vbytes.view(), "z");
    // vbytes is not checked, name is.
    bytes bad = {0x32, 0x01, 0xFF, 0x12, 0x01, 0xFF};
    EXPECT_FALSE(t.parse(bad.data(), static_cast<uint32_t>(bad.size())));
    EXPECT_EQ(t.errcode, 3u);
    EXPECT_EQ(t.vbytes.view(), "\xFF");
    t.clear();
    t.name = zs("\xFF");
    zo::string out;
    EXPECT_FALSE(t.serialize(out));
    EXPECT_EQ(t.errcode, 3u);
}

TEST_F(bodiestest, tagvalcutateveryoffset) {
    tagval t;
    cutateveryoffset(t, tv1, tv1cuts);
    cutateveryoffset(t, tv2, tv2cuts);
    cutateveryoffset(t, tv3, tv3cuts);
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
    EXPECT_EQ(a.itemfield, 1u);
    a.f131 = 7;
    a.f132 = 1ull << 40;
    tagval t;
    filltv1(t);
    ASSERT_TRUE(a.items.append(std::move(t)));
    filltv2(*a.items.emplace());
    tagval empty;  // size 0: left out
    ASSERT_TRUE(a.items.append(std::move(empty)));
    filltv3(*a.items.emplace());
    EXPECT_EQ(encode(a), hexof(arr));

    tagvalarray d;
    ASSERT_TRUE(d.parse(arr.data(), static_cast<uint32_t>(arr.size())));
    ASSERT_EQ(d.items.size(), 3u);
    EXPECT_EQ(d.f131, 7u);
    EXPECT_EQ(d.f132, 1ull << 40);
    EXPECT_EQ(d.items[0].name.view(), "Plant.Boiler1.Temp");
    EXPECT_EQ(d.items[1].vint, -1);
    EXPECT_EQ(d.items[2].vbytes.size(), 2u);
    cutateveryoffset(d, arr, arrcuts, true);
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
        uint32_t esize = a.items[0].size();
        zo::string lenbytes;
        zo::put_varint32(lenbytes, esize);
        // 6 prefix bytes, field 131 (3 bytes), then key 0x0A and the length.
        EXPECT_EQ(out.bytes()[9], 0x0A);
        EXPECT_EQ(std::memcmp(out.bytes() + 10, lenbytes.data(), lenbytes.size()), 0) << namelen;
        tagvalarray d;
        ASSERT_TRUE(d.parse(out.bytes() + 6, out.size() - 6)) << namelen;
        ASSERT_EQ(d.items.size(), 2u);
        EXPECT_EQ(d.items[0].name.size(), namelen);
        EXPECT_EQ(d.items[1].vtype, 2u);
    }
    soearray sa;
    sa.items.emplace()->f238.append(300, 's');
    runinfoarray ra;
    ra.items.emplace()->f169.append(5000, 'u');
    zo::string o1, o2;
    ASSERT_TRUE(sa.serialize(o1));
    ASSERT_TRUE(ra.serialize(o2));
    EXPECT_EQ(o1.size(), sa.size());
    EXPECT_EQ(o2.size(), ra.size());
    soearray sb;
    runinfoarray rb;
    ASSERT_TRUE(sb.parse(o1.data(), o1.size()));
    ASSERT_TRUE(rb.parse(o2.data(), o2.size()));
    EXPECT_EQ(sb.items[0].f238.size(), 300u);
    EXPECT_EQ(rb.items[0].f169.size(), 5000u);
}

TEST_F(bodiestest, arrayelementfailurefailsthearraywitherrcodezero) {
    // One good element, then one whose name is not UTF-8.
    bytes b = {0x0A, 0x02, 0x38, 0x01, 0x0A, 0x03, 0x12, 0x01, 0xFF};
    tagvalarray a;
    EXPECT_FALSE(a.parse(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(a.errcode, 0u);
    EXPECT_STREQ(a.errmsg(), "");
    EXPECT_EQ(a.items.size(), 1u);  // the failed element is not kept
    // A malformed element too.
    bytes c = {0x0A, 0x01, 0x0B};
    EXPECT_FALSE(a.parse(c.data(), static_cast<uint32_t>(c.size())));
    EXPECT_EQ(a.errcode, 0u);
    EXPECT_EQ(a.items.size(), 0u);
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

TEST_F(bodiestest, arrayencodefailurenamesthereason) {
    tagvalarray a;
    tagval* t = a.items.emplace();
    t->name = zs("\xC3\x28");
    zo::string out;
    EXPECT_FALSE(a.serialize(out));
    EXPECT_EQ(a.errcode, 3u);
    EXPECT_EQ(a.items[0].errcode, 3u);
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

TEST_F(bodiestest, soegoldenandcuts) {
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
    EXPECT_EQ(encode(s), hexof(soe));
    soerec d;
    ASSERT_TRUE(d.parse(soe.data(), static_cast<uint32_t>(soe.size())));
    EXPECT_EQ(d.f236.view(), "Breaker.Q1");
    EXPECT_EQ(d.f232, 0xFFFFFFFFu);
    EXPECT_EQ(d.f230, 1700000000999u);
    EXPECT_EQ(d.f240, 1u);
    cutateveryoffset(d, soe, soecuts);

    soearray a;
    EXPECT_EQ(a.itemfield, 1u);
    ASSERT_TRUE(a.items.append(std::move(s)));
    EXPECT_EQ(encode(a).substr(0, 6), "0A 34 ");  // key 0x0A, size 52
}

TEST_F(bodiestest, runinfogoldenandclear) {
    runinfo r;
    EXPECT_EQ(r.f170, 1u);
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
    EXPECT_EQ(encode(r), hexof(ri));
    r.f170 = 0;  // cannot be carried
    runinfo d;
    zo::string out;
    ASSERT_TRUE(r.serialize(out));
    ASSERT_TRUE(d.parse(out.data(), out.size()));
    EXPECT_EQ(d.f170, 1u);
    ASSERT_TRUE(d.parse(ri.data(), static_cast<uint32_t>(ri.size())));
    EXPECT_EQ(d.f169.view(), "oxa://127.0.0.1:8600/");
    EXPECT_EQ(d.f168, 1700000002000u);
    d.clear();
    EXPECT_EQ(d.f170, 1u);
    cutateveryoffset(d, ri, ricuts);

    runinfoarray a;
    EXPECT_EQ(a.itemfield, 67u);
    runinfo e;
    e.f160 = zs("simu1");
    e.f161 = 77;
    e.f162 = 4242;
    e.f163 = 2500;
    e.f170 = 2;
    e.f171 = 50;
    e.f165 = 123456789;
    e.f166 = 1700000000000;
    e.f167 = 1700000001000;
    e.f168 = 1700000002000;
    e.f169 = zs("oxa://127.0.0.1:8600/");
    e.f172 = 3;
    ASSERT_TRUE(a.process_info().append(std::move(e)));
    EXPECT_EQ(encode(a), "9A 04 52 " + hexof(ri));
    runinfoarray b;
    zo::string o2;
    ASSERT_TRUE(a.serialize(o2));
    ASSERT_TRUE(b.parse(o2.data(), o2.size()));
    ASSERT_EQ(b.items.size(), 1u);
    EXPECT_EQ(b.items[0].f163, 2500u);
    // Elements under field 1 are not run information.
    tagvalarray c;
    ASSERT_TRUE(c.parse(o2.data(), o2.size()));
    EXPECT_EQ(c.items.size(), 0u);
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
    EXPECT_EQ(r.retcode, 0u);
    EXPECT_EQ(r.f95, 12345u);
    EXPECT_EQ(r.retmsg.view(), "\xE7\x99\xBB\xE5\xBD\x95\xE6\x88\x90\xE5\x8A\x9F");
    EXPECT_EQ(encode(r), hexof(loginreply));
    cutateveryoffset(r, loginreply, loginreplycuts);
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
    EXPECT_EQ(encode(u), hexof(un));
    unkownbody d;
    ASSERT_TRUE(d.parse(un.data(), static_cast<uint32_t>(un.size())));
    ASSERT_EQ(d.strs.size(), 2u);
    EXPECT_EQ(d.strs[0].view(), "Tag.A");
    EXPECT_EQ(d.strs[1].view(), "Tag.B");
    EXPECT_EQ(d.vi32, 91u);
    cutateveryoffset(d, un, uncuts);

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
    bytes bad = {0x4A, 0x01, 'a', 0x4A, 0x01, 0xFF};
    EXPECT_FALSE(d.parse(bad.data(), static_cast<uint32_t>(bad.size())));
    EXPECT_EQ(d.errcode, 3u);
    // An empty entry on the wire decodes as an empty element.
    bytes e = {0x4A, 0x00};
    ASSERT_TRUE(d.parse(e.data(), 2));
    EXPECT_EQ(d.strs.size(), 1u);
    unkownbody none;
    EXPECT_EQ(none.size(), 0u);
}

// size() must equal what serialize() appends for every mix of present and
// absent fields; random mixes over all classes.
TEST_F(bodiestest, sizeequalsserializedlength) {
    std::mt19937_64 rng(12345);
    auto pick = [&](uint64_t big) -> uint64_t {
        switch (rng() % 4) {
            case 0:
                return 0;
            case 1:
                return rng() % 128;
            case 2:
                return rng() % big;
            default:
                return big - 1 - rng() % 3;
        }
    };
    auto text = [&]() {
        static const std::string_view texts[] = {"", "a", std::string_view("\0x", 2),
                                                 "Tag.Name.Long.Enough.To.Span.Bytes",
                                                 "\xE4\xB8\xAD\xE6\x96\x87"};
        std::string_view t = texts[rng() % 5];
        return zs(t.data(), static_cast<uint32_t>(t.size()));
    };
    for (int i = 0; i < 500; ++i) {
        tagvalarray a;
        a.retcode = static_cast<uint32_t>(pick(1ull << 32));
        a.f132 = pick(~0ull);
        a.retmsg = text();
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) {
            tagval* t = a.items.emplace();
            t->time = static_cast<int64_t>(pick(~0ull));
            t->name = text();
            t->quality = static_cast<uint32_t>(pick(1ull << 32));
            t->vtype = static_cast<uint32_t>(rng() % 9);
            t->vint = static_cast<int64_t>(pick(~0ull));
            t->vdouble = (rng() % 2) ? 0.0 : 3.25;
            t->vbytes = text();
            EXPECT_GE(t->maxsize(), t->size());
        }
        encode(a);
        soerec s;
        s.f230 = pick(~0ull);
        s.f233 = static_cast<uint32_t>(pick(1ull << 32));
        s.f236 = text();
        s.f238 = text();
        s.f232 = static_cast<uint32_t>(pick(1ull << 32));
        EXPECT_GE(s.maxsize(), s.size());
        encode(s);
        runinfo r;
        r.f160 = text();
        r.f165 = pick(~0ull);
        r.f170 = static_cast<uint32_t>(pick(1ull << 32));
        r.f174 = static_cast<uint32_t>(pick(1ull << 32));
        EXPECT_GE(r.maxsize(), r.size());
        encode(r);
        unkownbody u;
        u.vi64 = pick(~0ull);
        u.vstr2 = text();
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) u.strs.append(text());
        encode(u);
        loginbody l;
        l.f96 = static_cast<uint32_t>(pick(1ull << 32));
        l.f150 = text();
        encode(l);
    }
}

}  // namespace
