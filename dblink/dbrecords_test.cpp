#include "dblink/dbrecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dblink/textconv.h"

namespace {

tagval value(uint32_t vtype, std::string name = "t1") {
    tagval t;
    t.name = name;
    t.vtype = vtype;
    t.time = 1706659200250;
    t.quality = 192;
    return t;
}

TEST(CutTextTest, KeepsWholeUtf8Characters) {
    char f[80];
    EXPECT_EQ(cuttext(f, sizeof f, std::string(100, 'a')), 79u);
    EXPECT_EQ(f[79], 0);
    // 78 ASCII bytes and one two-byte character at bytes 78 and 79.
    std::string s = std::string(78, 'a') + "\xC3\xA9";
    EXPECT_EQ(cuttext(f, sizeof f, s), 78u);
    EXPECT_EQ(std::string(f), std::string(78, 'a'));
    // A text of exactly width - 1 bytes is whole.
    EXPECT_EQ(cuttext(f, sizeof f, std::string(79, 'b')), 79u);
    // A three-byte character straddling the cut.
    std::string t = std::string(77, 'a') + "\xE6\xB5\x8B";
    EXPECT_EQ(cuttext(f, sizeof f, t), 77u);
    EXPECT_EQ(cuttext(f, sizeof f, ""), 0u);
    EXPECT_EQ(f[0], 0);
    char one[1];
    EXPECT_EQ(cuttext(one, 1, "xyz"), 0u);
    EXPECT_EQ(one[0], 0);
}

TEST(DbRecordsTest, KindByType) {
    for (uint32_t v = 0; v <= 8; ++v) {
        EXPECT_EQ(reckind(v), v == 0 || v == 8 ? DBREC_NONE : v < 6 ? DBREC_VALUE : DBREC_OBJECT);
    }
    EXPECT_EQ(reckind(0x106), DBREC_NONE);
}

TEST(DbRecordsTest, ValueRecordFields) {
    oxa_valrec r;
    tagval t = value(2, std::string(78, 'x') + "\xC3\xA9");  // the name is cut whole
    t.vint = -1;
    t.quality = 0x1FF;  // low 8 bits: -1
    tovalrec(t, r);
    EXPECT_EQ(strlen(r.name), 78u);
    EXPECT_EQ(r.time, 17066592002);
    EXPECT_EQ(r.v.i32, -1);
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(r.quality, -1);
    EXPECT_EQ(r.flag, 0);
    EXPECT_EQ(r.zero, 0);

    t = value(1);
    t.vint = 0x1'0000'0005;  // only the low 32 bits go
    t.time = -250;           // times divide toward zero
    tovalrec(t, r);
    EXPECT_EQ(r.v.i32, 5);
    EXPECT_EQ(r.time, -2);
    t.time = 199;
    tovalrec(t, r);
    EXPECT_EQ(r.time, 1);

    t = value(3);
    t.vdouble = 0.1;
    tovalrec(t, r);
    EXPECT_EQ(r.v.f32, 0.1f);
    t = value(4);
    t.vint = -1234567890123;
    tovalrec(t, r);
    EXPECT_EQ(r.v.i64, -1234567890123);
    t = value(5);
    t.vdouble = 0.1;
    tovalrec(t, r);
    EXPECT_EQ(r.v.f64, 0.1);
}

TEST(DbRecordsTest, ObjectRecordCutsDataTo999) {
    oxa_objrec r;
    tagval t = value(7);
    t.vbytes.append(1500u, 'z');
    toobjrec(t, r);
    EXPECT_EQ(r.length, 999);
    EXPECT_EQ(r.data[998], 'z');
    EXPECT_EQ(r.data[999], 0);
    EXPECT_EQ(r.extra, 0u);
    EXPECT_EQ(r.type, 7);
    EXPECT_EQ(r.time, 17066592002);

    t = value(6);
    t.vbytes.append("a\0b", 3);
    toobjrec(t, r);
    EXPECT_EQ(r.length, 3);
    EXPECT_EQ(std::memcmp(r.data, "a\0b\0", 4), 0);
}

TEST(DbRecordsTest, SoeRecordFromSoe) {
    soerec s;
    s.f230 = 0x1122334455667788ull;
    s.f231 = 0xFFFFFFFF;
    s.f232 = 7;
    s.f233 = 0x12345;  // low 16 bits
    s.f234 = 0xABCDE;
    s.f235 = 9;
    s.f236 = std::string(100, 'a');
    s.f237 = "device";
    s.f238 = std::string(300, 'c');
    s.f239 = 0x1FF;
    s.f240 = 0x102;
    oxa_soerec r;
    std::memset(&r, 0x5A, sizeof r);  // zero-filling is the conversion's job
    tosoerec(s, r);
    EXPECT_EQ(r.f230, 0x1122334455667788ull);
    EXPECT_EQ(r.f231, 0xFFFFFFFFu);
    EXPECT_EQ(r.f233, 0x2345);
    EXPECT_EQ(r.f234, 0xBCDE);
    EXPECT_EQ(strlen(r.f236), 79u);
    EXPECT_STREQ(r.f237, "device");
    EXPECT_EQ(r.f237[159], 0);
    EXPECT_EQ(strlen(r.f238), 239u);
    EXPECT_EQ(r.f239, 0xFF);
    EXPECT_EQ(r.f240, 0x02);
    for (uint8_t z : r.zero) EXPECT_EQ(z, 0);
}

TEST(DbRecordsTest, ValueFromLibraryRecord) {
    oxa_valrec r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.name, "\xB2\xE2\xCA\xD4");  // GBK for "test"
    r.time = 17066592002;
    r.type = 2;
    r.quality = -64;
    r.v.i32 = -7;
    tagval t;
    ASSERT_TRUE(fromvalrec(r, t));
    EXPECT_EQ(t.name.view(), "\xE6\xB5\x8B\xE8\xAF\x95");
    EXPECT_EQ(t.time, 1706659200200);
    EXPECT_EQ(t.vint, -7);
    EXPECT_EQ(static_cast<int32_t>(t.quality), -64);
    EXPECT_EQ(t.vtype, 2u);

    r.type = 3;
    r.v.f32 = 0.1f;
    ASSERT_TRUE(fromvalrec(r, t));
    EXPECT_EQ(t.vdouble, static_cast<double>(0.1f));
    EXPECT_EQ(t.vint, 0);  // a fresh record: only the field of the type

    r.type = 4;
    r.v.i64 = -5;
    ASSERT_TRUE(fromvalrec(r, t));
    EXPECT_EQ(t.vint, -5);

    r.type = 5;
    r.v.f64 = 2.5;
    ASSERT_TRUE(fromvalrec(r, t));
    EXPECT_EQ(t.vdouble, 2.5);

    for (int8_t bad : {0, 6, 7, -1, 99}) {
        r.type = bad;
        EXPECT_FALSE(fromvalrec(r, t)) << int(bad);
    }
    // A hostile time does not overflow (the sanitizer would trap).
    r.type = 1;
    r.time = INT64_MAX;
    EXPECT_TRUE(fromvalrec(r, t));
}

TEST(DbRecordsTest, ObjectFromLibraryRecord) {
    oxa_objrec r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.name, "obj");
    r.type = 7;
    r.time = 3;
    r.length = 2;
    r.data[0] = 0;
    r.data[1] = 0xFF;
    tagval t;
    ASSERT_TRUE(fromobjrec(r, t));
    EXPECT_EQ(t.vbytes.view(), std::string("\0\xFF", 2));
    EXPECT_EQ(t.time, 300);
    EXPECT_EQ(t.vtype, 7u);
    r.length = 0;
    EXPECT_FALSE(fromobjrec(r, t));
    r.length = 1000;
    EXPECT_FALSE(fromobjrec(r, t));
    r.length = 999;
    EXPECT_TRUE(fromobjrec(r, t));
    EXPECT_EQ(t.vbytes.size(), 999u);
}

}  // namespace
