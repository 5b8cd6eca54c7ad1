#include "oxaapi/request.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "base/jsonwrite.h"
#include "oxaapi/codepage.h"

namespace oxa {
namespace {

// Time zone for the local-time texts; restored afterwards.
struct tzscope {
    explicit tzscope(const char* tz) : had(getenv("TZ") != nullptr), old(had ? getenv("TZ") : "") {
        setenv("TZ", tz, 1);
        tzset();
    }
    ~tzscope() {
        had ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    bool had;
    std::string old;
};

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

TEST_F(requesttest, refusesnonrequests) {
    const char* bad[] = {
        "",
        "[1,2]",
        "hello",
        "{\"seqno\":1}",
        "{\"request\":\"\"}",
        "{\"request\":\"oxa_insert\",\"vals\":{\"N\":\"x\"}}",
        "{\"request\":\"oxa_regctrltags_put\",\"tags\":\"x\"}",
    };
    for (const char* t : bad) {
        EXPECT_FALSE(parserequest(t, &rq, &why)) << t;
        EXPECT_FALSE(why.empty());
    }
    // Empty tags of a registration are passed over.
    ASSERT_TRUE(
        parserequest(R"({"request":"oxa_regctrltags_del","tags":["a","b\/c",""]})", &rq, &why));
    EXPECT_EQ(rq.tags, (std::vector<std::string>{"a", "b/c"}));
}

// The golden request holds every type; the values stored from such a request
// are checked against both databases in oxaapi_test.cpp.
TEST_F(requesttest, everycutofthegoldenrequestfails) {
    std::string full(golden);
    for (size_t n = 0; n < full.size(); ++n) {
        EXPECT_FALSE(parserequest(std::string_view(full.data(), n), &rq, &why)) << n;
    }
    ASSERT_TRUE(parserequest(full, &rq, &why)) << why;
    EXPECT_EQ(rq.seqno, 16777218);
    ASSERT_EQ(rq.rows.size(), 7u);
    EXPECT_EQ(rq.rows[3].i, -9007199254740993LL);  // not through a double
    EXPECT_EQ(rq.rows[5].name, "a/txt\"q");
}

// Names, texts and registered tags with runs of 1 to 4 backslashes before a
// quote arrive whole; every cut of such a request fails as a whole.
TEST_F(requesttest, backslashesbeforeaquotearrivewhole) {
    auto esc = [](const std::string& raw) {
        zo::string e;
        zo::jsonaddesctext(e, raw);
        return std::string(e.view());
    };
    for (int run = 1; run <= 4; ++run) {
        const std::string bs(run, '\\');
        const std::string name = "tag" + bs, text = "C:\\data" + bs + "\"x" + bs;
        const std::string vals = R"({"request":"oxa_writesnaps","vals":[{"N":")" + esc(name) +
                                 R"(","DT":6,"V":")" + esc(text) + R"("},{"N":")" + esc(text) +
                                 R"(","DT":1,"V":2}]})";
        const std::string tags = R"({"request":"oxa_regctrltags_put","tags":[")" + esc(name) +
                                 R"(",")" + esc(text) + R"("]})";
        ASSERT_TRUE(parserequest(vals, &rq, &why)) << vals << ": " << why;
        ASSERT_EQ(rq.rows.size(), 2u) << vals;
        EXPECT_EQ(rq.rows[0].name, name);
        EXPECT_EQ(rq.rows[0].bytes, text);
        EXPECT_EQ(rq.rows[1].name, text);
        ASSERT_TRUE(parserequest(tags, &rq, &why)) << tags << ": " << why;
        EXPECT_EQ(rq.tags, (std::vector<std::string>{name, text}));
        for (const std::string& t : {vals, tags}) {
            for (size_t cut = 0; cut < t.size(); ++cut) {
                EXPECT_FALSE(parserequest(std::string_view(t.data(), cut), &rq, &why))
                    << cut << " of " << t;
            }
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
        tzscope tz(c.tz);
        int64_t ms = -1;
        EXPECT_EQ(parselocaltime(c.text, &ms), c.ms >= 0) << c.text;
        EXPECT_EQ(ms, c.ms) << c.text;
    }
    tzscope tz("CST-8");
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
    std::string han39, han40;
    for (int i = 0; i < 39; ++i) han39 += han;
    han40 = han39 + han;
    const struct {
        std::string name;
        bool ok;
        const char* field;  // the record's name, when checked
    } cases[] = {
        {"ctl.a", true, "ctl.a"},
        {"\xe6\xb5\x8b\xe8\xaf\x95", true, "\xb2\xe2\xca\xd4"},
        {"\xe2\x82\xac", true, "\x80"},  // the euro sign: one byte there
        {std::string(79, 'n'), true, nullptr},
        {han39 + "a", true, nullptr},  // 79 bytes there
        {std::string(80, 'n'), false, nullptr},
        {han40, false, nullptr},  // 80 bytes there
        {"emo\xf0\x9f\x98\x80", false, nullptr},
        {"", false, nullptr},
        {std::string("a\0b", 3), false, nullptr},
        {"\xb2\xe2", false, nullptr},  // code page 936 bytes are not UTF-8
    };
    for (const auto& c : cases) {
        char field[OXA_NAMEMAX + 1] = "untouched";
        const char* why = nullptr;
        const int rc = ctrlname(c.name, field, &why);
        if (c.ok) {
            EXPECT_EQ(rc, 0) << c.name << ": " << (why ? why : "");
            if (c.field) {
                EXPECT_STREQ(field, c.field);
            }
        } else {
            EXPECT_EQ(rc, OXA_TAGERR_CTRLNAME) << c.name;
            EXPECT_NE(why, nullptr);
            EXPECT_STREQ(field, "untouched");
        }
    }
}

}  // namespace
}  // namespace oxa
