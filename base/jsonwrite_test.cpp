#include "base/jsonwrite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "base/jsonscan.h"
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
    zo::jsonaddtime(out_, n_, -5, zo::JSONTIME_MS);
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

TEST_F(JsonWriteTest, CounterNotZeroAddsLeadingComma) {
    n_ = 7;
    zo::jsonaddint(out_, n_, "E", 5);
    EXPECT_EQ(out_.view(), R"(,"E":5)");
    EXPECT_EQ(n_, 8);
}

TEST_F(JsonWriteTest, ValueEscapingButNotKeys) {
    zo::jsonaddtext(out_, n_, "k\"", std::string_view("a\"b/c\\d\b\f\n\r\t\x01\x7f\xc3\xa9", 16));
    static const char want[] = "\"k\"\":\"a\\\"b\\/c\\\\d\\b\\f\\n\\r\\t\x01\x7f\xc3\xa9\"";
    EXPECT_EQ(out_.view(), std::string_view(want, sizeof want - 1));
    out_.clear();
    zo::jsonaddesctext(out_, "no escapes here");
    EXPECT_EQ(out_.view(), "no escapes here");
    out_.clear();
    for (char c : std::string("/\t x")) zo::jsonaddescaped(out_, c);
    EXPECT_EQ(out_.view(), "\\/\\t x");
    EXPECT_FALSE(zo::jsonneedsescape("abc\x01\x80"));
    EXPECT_TRUE(zo::jsonneedsescape("ab/"));
}

// What the writer escapes, the reader decodes back to the same bytes.
TEST_F(JsonWriteTest, EscapedTextReadsBack) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        std::string v(1 + rng() % 40, '\0');
        for (auto& c : v)
            c = static_cast<char>(rng() % 3 ? "\"\\/\b\f\n\r\tab"[rng() % 10] : rng());
        out_ = "{";
        n_ = 0;
        zo::jsonaddtext(out_, n_, "k", v);
        out_.append('}');
        zo::jsonscan js;
        ASSERT_TRUE(js.scan(out_.view())) << out_.c_str();
        zo::string back;
        ASSERT_TRUE(js.gettext("k", back));
        ASSERT_EQ(back.view(), v);
    }
}

TEST_F(JsonWriteTest, KeyThenBareValue) {
    zo::jsonaddkey(out_, n_, "V");
    zo::jsonaddint64(out_, -5000000000);
    zo::jsonaddkey(out_, n_, "V");
    zo::jsonaddshortest(out_, static_cast<double>(0.1f));
    EXPECT_EQ(out_.view(), R"("V":-5000000000,"V":0.10000000149011612)");
    EXPECT_EQ(n_, 2);
}

TEST_F(JsonWriteTest, BareNumbers) {
    zo::jsonaddint64(out_, INT64_MIN);
    out_.append(',');
    zo::jsonaddint64(out_, 0);
    out_.append(',');
    zo::jsonadddouble(out_, 0.9999996);
    out_.append(',');
    zo::jsonadddouble(out_, 1e-7);
    EXPECT_EQ(out_.view(), "-9223372036854775808,0,1.0,1e-7");
}

// Local-time texts under fixed time zones.
class JsonTimeTest : public ::testing::Test {
  protected:
    static void zone(const char* tz) { zo::tzfix::zone(tz); }
    static std::string text(int64_t ms, int form) {
        char b[zo::jsontimemax];
        return std::string(b, zo::fmtjsontime(b, ms, form));
    }

    zo::tzfix tz_;
};

TEST_F(JsonTimeTest, IsoFormWithStandardOffset) {
    const int64_t jan31 = 1706659200000;  // 2024-01-31 00:00:00 UTC
    const int64_t jul1 = 1719835200000;   // 2024-07-01 12:00:00 UTC
    zone("CST-8");
    EXPECT_EQ(text(jan31 + 250, 1), "\"2024-01-31T08:00:00.250+08:00\"");
    EXPECT_EQ(text(jan31, 1), "\"2024-01-31T08:00:00+08:00\"");  // no milliseconds
    zone("UTC0");
    EXPECT_EQ(text(jan31 + 7, 1), "\"2024-01-31T00:00:00.007Z\"");
    // Daylight saving moves the clock but not the offset shown.
    zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(text(jul1, 1), "\"2024-07-01T08:00:00-05:00\"");
    // Minutes of the offset are not shown; under an hour counts as UTC.
    zone("<+0530>-5:30");
    EXPECT_EQ(text(jan31, 1), "\"2024-01-31T05:30:00+05:00\"");
    zone("<-0030>0:30");
    EXPECT_EQ(text(jan31, 1), "\"2024-01-30T23:30:00Z\"");
}

TEST_F(JsonTimeTest, LocalAndIntegerForms) {
    zone("CST-8");
    const int64_t ms = 1706659200000 + 3723004;  // 01:02:03.004 UTC
    EXPECT_EQ(text(ms, 0), "\"2024/01/31 09:02:03.004\"");
    EXPECT_EQ(text(ms, 7), "\"2024/01/31 09:02:03.004\"");  // any other form
    EXPECT_EQ(text(ms, 2), "1706662923004");
    zo::string out;
    int n = 0;
    zo::jsonaddtime(out, n, ms, zo::JSONTIME_LOCAL);
    zo::jsonaddtime(out, n, ms, zo::JSONTIME_ISO);
    EXPECT_EQ(out.view(), R"("T":"2024/01/31 09:02:03.004","T":"2024-01-31T09:02:03.004+08:00")");
    EXPECT_EQ(n, 2);
}

}  // namespace
