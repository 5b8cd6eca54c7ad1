#include "dblink/oxawrite.h"

#include <gtest/gtest.h>

#include <string>

#include "base/tzfix_test.h"

namespace {

std::string obj(const tagval& t, bool inttimes = true) {
    zo::string out;
    addvalueobject(out, t, inttimes);
    return std::string(out.view());
}

tagval tv(uint32_t vtype) {
    tagval t;
    t.vtype = vtype;
    t.name = "t1";
    return t;
}

class ValueObjectTest : public ::testing::Test {
  protected:
    // The local-time form depends on the zone; pin it.
    zo::tzfix tz_{"UTC"};
};

TEST_F(ValueObjectTest, MembersInOrder) {
    tagval t = tv(4);
    t.time = 1706659200250;
    t.quality = 192;
    t.vint = -1234567890123;
    EXPECT_EQ(obj(t), R"({"T":1706659200250,"N":"t1","Q":192,"DT":4,"V":-1234567890123})");
}

TEST_F(ValueObjectTest, LocalTimeTextBelowIntegerVersion) {
    tagval t = tv(1);
    t.time = 1706659200250;
    t.vint = 3;
    EXPECT_EQ(obj(t, false), R"({"T":"2024/01/31 00:00:00.250","N":"t1","DT":1,"V":3})");
}

TEST_F(ValueObjectTest, ZeroMembersAreLeftOut) {
    EXPECT_EQ(obj(tagval()), "{}");
    tagval t = tv(1);
    t.time = -5;
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":1})");
    for (uint32_t vtype : {4, 6, 7}) {
        EXPECT_EQ(obj(tv(vtype)), R"({"N":"t1","DT":)" + std::to_string(vtype) + "}");
    }
    // A float or double 0.0 still carries its value.
    for (uint32_t vtype : {3, 5}) {
        EXPECT_EQ(obj(tv(vtype)), R"({"N":"t1","DT":)" + std::to_string(vtype) + R"(,"V":0.0})");
    }
}

TEST_F(ValueObjectTest, IntegerTypesKeepLow32Bits) {
    tagval t = tv(2);
    t.vint = -1;
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":2,"V":-1})");
    t.vint = 0x1'0000'0000;  // low 32 bits are 0: left out
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":2})");
}

TEST_F(ValueObjectTest, FloatIsWrittenAsTheNarrowedDouble) {
    tagval t = tv(3);
    t.vdouble = 0.1;
    // The widened float is 0.10000000149011612; the number text rounds it at
    // the seventh fraction digit like every other process value.
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":3,"V":0.1})");
    t = tv(5);
    t.vdouble = 0.1;
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":5,"V":0.1})");
    t.vdouble = -2.5e-300;
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":5,"V":-2.5e-300})");
}

TEST_F(ValueObjectTest, TextAndBytesValues) {
    tagval t = tv(6);
    t.vbytes = "a\"b/c";
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":6,"V":"a\"b\/c"})");
    t = tv(7);
    t.vbytes.append("\x00\xFF", 2);
    EXPECT_EQ(obj(t), R"({"N":"t1","DT":7,"V":"AP8="})");
}

TEST_F(ValueObjectTest, UnknownTypeHasNoValueAndNamesAreEscaped) {
    tagval t = tv(9);
    t.name = "a\\b\nc";
    t.vint = 5;
    t.quality = 0xFFFFFFFF;
    EXPECT_EQ(obj(t), R"({"N":"a\\b\nc","Q":-1,"DT":9})");
}

TEST(NumberTextTest, DoublesUseTheJsonNumberText) {
    struct {
        double v;
        const char* text;
    } cases[] = {{23.4567, "23.4567"}, {1.0 / 3, "0.333333"},
                 {100, "100.0"},       {1e19, "10000000000000000000.0"},
                 {0.0, "0.0"},         {-1013.25, "-1013.25"},
                 {1e-7, "1e-7"}};
    for (const auto& c : cases) {
        zo::string out;
        appendshortest(out, c.v);
        EXPECT_EQ(out.view(), c.text) << c.v;
    }
}

}  // namespace
