#include "dblink/oxawrite.h"

#include <gtest/gtest.h>

#include <limits>
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

// "V" of a double is the shortest text that reads back as the same double;
// of a float, the text of the float widened to a double.
TEST_F(ValueObjectTest, FloatingValuesKeepEveryDigit) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        uint32_t vtype;
        double v;
        const char* text;
    } cases[] = {
        {5, 0.123456789012345, "0.123456789012345"},
        {5, 1013.2512345678, "1013.2512345678"},
        {5, 1.5e-6, "0.0000015"},
        {5, -2.5e-300, "-2.5e-300"},
        {5, -inf, "-inf"},
        {5, std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {3, 0.1, "0.10000000149011612"},
        {3, 1013.2512345678, "1013.251220703125"},
        {3, 1e-40, "9.99994610111476e-41"},  // a subnormal float
        {3, -1e300, "-inf"},                 // beyond the float range
    };
    for (const auto& c : cases) {
        tagval t = tv(c.vtype);
        t.vdouble = c.v;
        EXPECT_EQ(obj(t),
                  R"({"N":"t1","DT":)" + std::to_string(c.vtype) + R"(,"V":)" + c.text + "}")
            << c.v;
    }
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

}  // namespace
