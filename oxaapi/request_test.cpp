#include "oxaapi/request.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "base/jsonwrite.h"
#include "oxaapi/codepage.h"

namespace oxa {
namespace {

// The time zone of the local-time texts (nothing else here reads it).
void settz(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

const char golden[] =
    "{\"request\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":["
    "{\"T\":1706688000250,\"N\":\"a.int\",\"Q\":192,\"DT\":1,\"V\":-7},"
    "{\"T\":1706688000250,\"N\":\"a.zero\",\"DT\":2},"
    "{\"T\":1706688000250,\"N\":\"a.flt\",\"DT\":3,\"V\":0.1},"
    "{\"T\":1706688000250,\"N\":\"a.i64\",\"DT\":4,\"V\":-9007199254740993},"
    "{\"T\":1706688000250,\"N\":\"a.dbl\",\"DT\":5,\"V\":0.0},"
    "{\"T\":1706688000250,\"N\":\"a\\/txt\\\"q\",\"DT\":6,\"V\":\"open\\/shut\"},"
    "{\"T\":1706688000250,\"N\":\"a.bin\",\"DT\":7,\"V\":\"AP8\\/\"}"
    "]}";

class requesttest : public ::testing::Test {
  protected:
    request rq;
    std::string why;
};

// The golden request holds every type (the values stored from it are
// checked against both databases in oxaapi_test.cpp); names, texts and
// registered tags with runs of 1 to 4 backslashes before a quote arrive
// whole (empty tags passed over).  Every cut of each request fails as a
// whole, and so do texts of the wrong shape.
TEST_F(requesttest, requestsarrivewholeandeverycutfails) {
    for (const char* t : {"[1,2]", "hello", "{\"seqno\":1}", "{\"request\":\"\"}",
                          "{\"request\":\"oxa_insert\",\"vals\":{\"N\":\"x\"}}",
                          "{\"request\":\"oxa_regctrltags_put\",\"tags\":\"x\"}"}) {
        EXPECT_FALSE(parserequest(t, &rq, &why)) << t;
        EXPECT_FALSE(why.empty());
    }
    ASSERT_TRUE(parserequest(golden, &rq, &why)) << why;
    EXPECT_EQ(rq.seqno, 16777218);
    ASSERT_EQ(rq.rows.size(), 7u);
    EXPECT_EQ(rq.rows[3].i, -9007199254740993LL);  // not through a double
    EXPECT_EQ(rq.rows[5].name, "a/txt\"q");
    auto esc = [](const std::string& raw) {
        zo::string e;
        zo::jsonaddesctext(e, raw);
        return std::string(e.view());
    };
    std::vector<std::string> texts{golden};
    for (int run = 1; run <= 4; ++run) {
        const std::string bs(run, '\\');
        const std::string name = "tag" + bs, text = "C:\\data" + bs + "\"x" + bs;
        texts.push_back(R"({"request":"oxa_writesnaps","vals":[{"N":")" + esc(name) +
                        R"(","DT":6,"V":")" + esc(text) + R"("},{"N":")" + esc(text) +
                        R"(","DT":1,"V":2}]})");
        ASSERT_TRUE(parserequest(texts.back(), &rq, &why)) << texts.back() << ": " << why;
        ASSERT_EQ(rq.rows.size(), 2u) << texts.back();
        EXPECT_EQ(rq.rows[0].name, name);
        EXPECT_EQ(rq.rows[0].bytes, text);
        EXPECT_EQ(rq.rows[1].name, text);
        texts.push_back(R"({"request":"oxa_regctrltags_put","tags":[")" + esc(name) + R"(",")" +
                        esc(text) + R"(",""]})");
        ASSERT_TRUE(parserequest(texts.back(), &rq, &why)) << texts.back() << ": " << why;
        EXPECT_EQ(rq.tags, (std::vector<std::string>{name, text}));
    }
    for (const std::string& t : texts) {
        for (size_t cut = 0; cut < t.size(); ++cut) {
            EXPECT_FALSE(parserequest(std::string_view(t.data(), cut), &rq, &why))
                << cut << " of " << t;
        }
    }
}

TEST_F(requesttest, localtimetextfollowsthetimezone) {
    const struct {
        const char *tz, *text;
        int64_t ms;  // -1: refused
    } cases[] = {
        {"UTC0", "2024/01/31 08:00:00.250", 1706688000250},
        {"UTC0", "2024/01/31 08:00:00", 1706688000000},
        {"CST-8", "2024/01/31 08:00:00.250", 1706659200250},
        {"UTC0", "", -1},
        {"UTC0", "2024-01-31 08:00:00", -1},
        {"UTC0", "2024/13/01 00:00:00", -1},
        {"UTC0", "2024/01/31 08:00", -1},
        {"UTC0", "2024/01/31 08:00:00.25x", -1},
        {"UTC0", "2024/01/31 24:00:00", -1},
    };
    for (const auto& c : cases) {
        settz(c.tz);
        int64_t ms = -1;
        EXPECT_EQ(parselocaltime(c.text, &ms), c.ms >= 0) << c.text;
        EXPECT_EQ(ms, c.ms) << c.text;
    }
    settz("CST-8");
    ASSERT_TRUE(parserequest(R"({"request":"oxa_writesnaps","vals":[{"T":"2024\/01\/31 )"
                             R"(08:00:00.250","N":"x","DT":1,"V":3}]})",
                             &rq, &why))
        << why;
    ASSERT_EQ(rq.rows.size(), 1u);
    EXPECT_EQ(rq.rows[0].time, 1706659200250);
}

// Which names can be control tags: those that come back from the record's
// 79 bytes of code page 936 exactly as they were.
TEST(codepage, controltagnamesmustcomebackexactly) {
    const std::string han = "\xe6\xb5\x8b";  // U+6D4B, B2 E2 in code page 936
    std::string han39, gb39;
    for (int i = 0; i < 39; ++i) {
        han39 += han;
        gb39 += "\xb2\xe2";
    }
    const std::string refused = "untouched";
    const struct {
        std::string name, field;  // the record's name
    } cases[] = {
        {"ctl.a", "ctl.a"},
        {"\xe6\xb5\x8b\xe8\xaf\x95", "\xb2\xe2\xca\xd4"},
        {"\xe2\x82\xac", "\x80"},  // the euro sign: one byte there
        {std::string(79, 'n'), std::string(79, 'n')},
        {han39 + "a", gb39 + "a"},  // 79 bytes there
        {han39 + han, refused},     // 80 bytes there
        {"", refused},
        {std::string("a\0b", 3), refused},
        {"\xb2\xe2", refused},  // code page 936 bytes are not UTF-8
    };
    for (const auto& c : cases) {
        char field[OXA_NAMEMAX + 1] = "untouched";
        const char* why = nullptr;
        EXPECT_EQ(ctrlname(c.name, field, &why), c.field == refused ? OXA_TAGERR_CTRLNAME : 0)
            << c.name << ": " << (why ? why : "");
        EXPECT_EQ(field, c.field);
        EXPECT_EQ(why == nullptr, c.field != refused) << c.name;
    }
}

}  // namespace
}  // namespace oxa
