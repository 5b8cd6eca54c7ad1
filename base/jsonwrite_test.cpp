#include "base/jsonwrite.h"

#include <gtest/gtest.h>

#include <string>

#include "base/tzfix_test.h"

namespace {

class JsonWriteTest : public ::testing::Test {
  protected:
    zo::string out_;
    int n_ = 0;
};

TEST_F(JsonWriteTest, MembersShareTheCommaCounter) {
    zo::jsonaddint(out_, n_, "Q", 0);    // skipped: no text, no comma
    zo::jsonaddtext(out_, n_, "N", "");  // skipped too
    zo::jsonaddtime(out_, n_, 0, zo::JSONTIME_MS);
    zo::jsonaddbytes(out_, n_, "");
    EXPECT_TRUE(out_.empty());
    EXPECT_EQ(n_, 0);

    zo::jsonaddtime(out_, n_, 1700000000123, zo::JSONTIME_MS);
    zo::jsonaddtext(out_, n_, "N", "tag.1");
    zo::jsonaddint(out_, n_, "Q", 0);
    zo::jsonaddint(out_, n_, "DT", -2147483647 - 1);
    zo::jsonaddbytes(out_, n_, std::string_view("\x01\x02\x03\xff", 4));
    EXPECT_EQ(out_.view(), R"("T":1700000000123,"N":"tag.1","DT":-2147483648,"V":"AQID/w==")");
    EXPECT_EQ(n_, 4);
}

// Keys are written as they are; values escaped; a counter above zero puts
// a comma first.
TEST_F(JsonWriteTest, ValueEscapingButNotKeys) {
    n_ = 7;
    zo::jsonaddtext(out_, n_, "k\"", std::string_view("a\"b/c\\d\b\f\n\r\t\x01\x7f\xc3\xa9", 16));
    static const char want[] = ",\"k\"\":\"a\\\"b\\/c\\\\d\\b\\f\\n\\r\\t\x01\x7f\xc3\xa9\"";
    EXPECT_EQ(out_.view(), std::string_view(want, sizeof want - 1));
    EXPECT_EQ(n_, 8);
    EXPECT_FALSE(zo::jsonneedsescape("abc\x01\x80"));
    EXPECT_TRUE(zo::jsonneedsescape("ab/"));
}

// Numbers of every value type: dblink/oxawrite_test, every digit end to end.

// Time texts of each form under fixed time zones.  The ISO form shows the
// standard offset in whole hours (daylight saving moves the clock, not the
// offset; under an hour counts as UTC) and milliseconds only when there are
// some.
TEST(JsonTimeTest, FormsUnderFixedZones) {
    const int64_t jan31 = 1706659200000;  // 2024-01-31 00:00:00 UTC
    const int64_t jul1 = 1719835200000;   // 2024-07-01 12:00:00 UTC
    const int64_t ms = jan31 + 3723004;   // 01:02:03.004 UTC
    const struct {
        const char* zone;
        int64_t ms;
        int form;
        const char* text;
    } rows[] = {
        {"CST-8", jan31 + 250, 1, "\"2024-01-31T08:00:00.250+08:00\""},
        {"UTC0", jan31 + 7, 1, "\"2024-01-31T00:00:00.007Z\""},
        {"EST5EDT,M3.2.0,M11.1.0", jul1, 1, "\"2024-07-01T08:00:00-05:00\""},
        {"<+0530>-5:30", jan31, 1, "\"2024-01-31T05:30:00+05:00\""},
        {"<-0030>0:30", jan31, 1, "\"2024-01-30T23:30:00Z\""},
        {"CST-8", ms, 7, "\"2024/01/31 09:02:03.004\""},  // any form but 1 and 2
        {"CST-8", ms, 2, "1706662923004"},
    };
    zo::tzfix keep;
    for (const auto& r : rows) {
        zo::tzfix::zone(r.zone);
        char b[zo::jsontimemax];
        EXPECT_EQ(std::string(b, zo::fmtjsontime(b, r.ms, r.form)), r.text) << r.zone;
    }
    zo::string out;
    int n = 0;
    zo::jsonaddtime(out, n, ms, zo::JSONTIME_LOCAL);
    zo::jsonaddtime(out, n, ms, zo::JSONTIME_ISO);
    EXPECT_EQ(out.view(), R"("T":"2024/01/31 09:02:03.004","T":"2024-01-31T09:02:03.004+08:00")");
}

}  // namespace
