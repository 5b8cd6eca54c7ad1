#include "base/jsonscan.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/jsonwrite.h"

namespace {

std::string hex(std::string_view s) {
    std::string h;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X", c);
        h += b;
    }
    return h;
}

class JsonScanTest : public ::testing::Test {
  protected:
    // Scans a heap copy of exactly the text's length, so that a read past
    // its end is caught by the address sanitizer.
    bool scanexact(std::string_view text, bool strict = false) {
        buf_.reset(new char[text.size() ? text.size() : 1]);
        memcpy(buf_.get(), text.data(), text.size());
        if (strict) return js_.scanstrict({buf_.get(), text.size()});
        return js_.scan(buf_.get(), text.size());
    }
    std::string val(size_t i) const { return std::string(js_[i].valview()); }

    std::unique_ptr<char[]> buf_;
    zo::jsonscan js_;
};

// One row per rule of the lenient reading: the entries as "key=value text"
// and their types (digits of zo::jsontype), in order.
TEST_F(JsonScanTest, LenientReadingRules) {
    const std::string k63(63, 'k');
    const struct {
        const char* why;
        std::string text;
        std::vector<std::string> entries;
        const char* types;
    } rows[] = {
        {"every type in an object",
         R"({"num": -12.5e3, "str":"say \"hi\"", "arr":[1,[2],"]"], "obj":{"n":null}, "yes":true})",
         {"num=-12.5e3", R"(str=say \"hi\")", R"(arr=[1,[2],"]"])", R"(obj={"n":null})",
          "yes=true"},
         "30214"},
        {"commas optional and repeated; text after the top level ignored",
         " \r\n\t{,,\"a\":1 \"b\":\"x\",,}garbage",
         {"a=1", "b=x"},
         "30"},
        {"an object literal ends at LF, not at CR",
         "{\"a\":1\r\n\"b\":false,\"c\":null}",
         {"a=1\r", "b=false", "c=null"},
         "345"},
        {"array elements: an empty string is skipped, literals keep blanks after them",
         R"([1, 2 ,"",  "x", true, null, [3], {"k":1}])",
         {"=1", "=2 ", "=x", "=true", "=null", "=[3]", R"(={"k":1})"},
         "3303321"},
        {"brackets inside strings and escaped ones do not count",
         R"({"a":{"s":"}{","t":"\"}"},"b":[["]"],[]],"c":{x\}}})",
         {R"(a={"s":"}{","t":"\"}"})", R"(b=[["]"],[]])", R"(c={x\}})"},
         "121"},
        {"a key of 63 bytes", "{\"" + k63 + "\":1}", {k63 + "=1"}, "3"},
        {"empty array", "[]", {}, ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        ASSERT_TRUE(scanexact(r.text)) << js_.error();
        ASSERT_EQ(js_.size(), r.entries.size());
        for (size_t i = 0; i < r.entries.size(); ++i) {
            EXPECT_EQ(std::string(js_[i].keyview()) + "=" + val(i), r.entries[i]);
            EXPECT_EQ(js_[i].type, r.types[i] - '0') << i;
        }
    }
}

TEST_F(JsonScanTest, HostileTextFailsCleanly) {
    const std::string bad[] = {
        "   ",
        "x{}",
        "\"a\"",
        R"({"a":"x\"})",  // the quote is escaped: the string never ends
        R"({"a":["]"})",  // the bracket inside the string does not count
        R"({1:2})",
        R"({"":1})",
        "{\"" + std::string(64, 'k') + "\":1}",  // keys hold at most 63 bytes
    };
    for (const std::string& b : bad) EXPECT_FALSE(scanexact(b)) << b;
    EXPECT_FALSE(js_.scan(nullptr, 5));
}

// Deep nesting costs no stack; one bracket short fails.
TEST_F(JsonScanTest, DeepNesting) {
    const size_t depth = 200000;
    const std::string open = "{\"d\":" + std::string(depth, '[');
    ASSERT_TRUE(scanexact(open + std::string(depth, ']') + ",\"e\":2}"));
    ASSERT_EQ(js_.size(), 2u);
    EXPECT_EQ(js_[0].vallen, 2 * depth);
    EXPECT_FALSE(scanexact(open + std::string(depth - 1, ']') + "}"));
}

// A quote ends a string when an even number of backslashes comes right
// before it.  Texts with runs of 1 to 4 backslashes before a quote, written
// by our writer, come back whole; every cut of them and of a golden text
// fails.
TEST_F(JsonScanTest, BackslashRunsComeBackWholeAndEveryCutFails) {
    std::vector<std::string> texts = {
        R"({"T":1700000000000,"N":"tag\"1","Q":0,"V":[1.5,"a",{"x":[]}],"O":{"k":null},"B":true})"};
    for (int run = 1; run <= 4; ++run) {
        const std::string bs(run, '\\');
        for (const std::string& raw : {"C:\\data" + bs, bs + "\"x" + bs + "\""}) {
            zo::string esc;
            zo::jsonaddesctext(esc, raw);
            const std::string e(esc.view());
            texts.push_back(R"({"a":[")" + e + R"("],"k":")" + e + R"(","z":1})");
            SCOPED_TRACE(texts.back());
            ASSERT_TRUE(scanexact(texts.back())) << js_.error();
            ASSERT_EQ(js_.size(), 3u);
            EXPECT_EQ(val(2), "1");
            zo::string got;
            ASSERT_TRUE(js_.gettext("k", got));
            EXPECT_EQ(got.view(), raw);
        }
    }
    for (const std::string& text : texts) {
        ASSERT_TRUE(scanexact(text)) << text;
        for (size_t cut = 0; cut < text.size(); ++cut) {
            EXPECT_FALSE(scanexact(text.substr(0, cut))) << text << " cut at " << cut;
        }
    }
}

// The strict reading refuses what the lenient one passes over, and says
// where: the offset of the offending character (a missing comma and a bad
// literal also in tools/qvadm/qvadm_test, with line and column).
TEST_F(JsonScanTest, StrictReadingRefusesWhatTheLenientOnePassesOver) {
    struct row {
        const char* text;
        size_t errpos;  // SIZE_MAX: accepted
        const char* why;
    };
    const size_t ok = SIZE_MAX;
    const row rows[] = {
        {R"( {"a": -1.5e+3, "b": [1, "x", null], "c": {"d": true}, "e": "\u00e9\n"} )", ok, ""},
        {R"([0, -0.5, 2E9, false, "", {}])", ok, ""},
        {R"({, "a": 1})", 1, "before the first"},
        {R"({"a": 1,})", 7, "after the last"},
        {R"([1,,2])", 3, "two commas"},
        {R"({"a" x: 1})", 5, "colon"},
        {R"({"a": "C:\data"})", 9, "unknown escape"},
        {R"({"a": "\u12"})", 7, "hex"},
        {"{\"a\": \"x\ty\"}", 8, "control character"},
        {R"({"a": 1} x)", 9, "after the closing"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        // Every text here is one the lenient reading accepts.
        EXPECT_TRUE(scanexact(r.text));
        bool got = scanexact(r.text, true);
        if (r.errpos == ok) {
            EXPECT_TRUE(got) << js_.error() << " at " << js_.errpos();
            continue;
        }
        EXPECT_FALSE(got);
        EXPECT_EQ(js_.errpos(), r.errpos) << js_.error();
        EXPECT_NE(std::string(js_.error()).find(r.why), std::string::npos) << js_.error();
    }
    // Entries are those of the lenient reading, literals without trailing
    // white space.
    ASSERT_TRUE(js_.scanstrict(R"([1 , "x"])"));
    ASSERT_EQ(js_.size(), 2u);
    EXPECT_EQ(val(0), "1");
}

TEST_F(JsonScanTest, ListGrowsPastItsFirstRoom) {
    std::string t = "[";
    for (int i = 0; i < 1000; ++i) t += std::to_string(i) + ",";
    ASSERT_TRUE(scanexact(t + "]"));
    ASSERT_EQ(js_.size(), 1000u);
    EXPECT_EQ(js_[999].valview(), "999");
}

// Keys are found whole and without regard to case.
TEST_F(JsonScanTest, GettersReadMembersByKey) {
    ASSERT_TRUE(scanexact(R"({"Name":"a\tb","n":null,"num":12,"e":"","yes":Yes,"f":false,)"
                          R"("mix":12abc,"neg":"  -42","big":99999999999,)"
                          R"("cut":"00000000000000000000000000000005","V":1013.25})"));
    const struct {
        const char* key;
        const char* text;  // from gettext; null: not found
        int32_t i;         // from getint; 0 also when it fails
        bool intok;
    } rows[] = {{"name", "a\tb", 0, true},
                {"N", "", 0, true},  // "n", a null
                {"num", "12", 12, true},
                {"e", "", 0, false},
                {"yes", "Yes", 1, true},
                {"f", "false", 0, true},
                {"mix", "12abc", 12, true},
                {"neg", "  -42", -42, true},
                {"big", "99999999999", INT32_MAX, true},
                {"cut", "00000000000000000000000000000005", 0, true},
                {"missing", nullptr, 0, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.key);
        zo::string out("old");
        EXPECT_EQ(js_.gettext(r.key, out), r.text != nullptr);
        if (r.text) {
            EXPECT_EQ(out.view(), r.text);
        }
        int32_t v = -1;
        EXPECT_EQ(js_.getint(r.key, v), r.intok);
        EXPECT_EQ(v, r.i);
    }
    double d = -1;
    EXPECT_TRUE(js_.getdouble("v", d));
    EXPECT_EQ(d, 1013.25);
    EXPECT_FALSE(js_.getdouble("Name", d));
    EXPECT_EQ(d, 0);
}

// Decoded bytes as hex; "whole" is false where decoding stopped early (the
// output keeps what came before).
TEST(JsonUnescapeTest, EscapesAndWhereTheyStop) {
    const struct {
        const char* in;
        const char* hexout;
        bool whole;
    } rows[] = {
        {R"(plain)", "706C61696E", true},
        {R"(\"\/\\\b\f\n\r\t)", "222F5C080C0A0D09", true},
        {R"(a\xb\qc)", "616263", true},  // unknown escapes drop both characters
        {R"(\u00e9\U00E9)", "C3A9C3A9", true},
        // The first and the last code point of each length.
        {R"(\u007F\u0080\u07FF\u0800\uFFFF\ud800\udc00)", "7FC280DFBFE0A080EFBFBFF0908080", true},
        {R"(\udbff\udfff)", "F48FBFBF", true},  // the last code point
        {R"(\udc00)", "EDB080", true},          // a lone low half is kept as it is
        // A cut or bad escape, a high half without a low one after it.
        {R"(x\u12)", "78", false},
        {"x\\", "78", false},
        {R"(x\ud83dy)", "78", false},
        {R"(x\ud83d\u0041)", "78", false}};
    for (const auto& r : rows) {
        zo::string out;
        EXPECT_EQ(zo::jsonunescape(r.in, out), r.whole) << r.in;
        EXPECT_EQ(hex(out.view()), r.hexout) << r.in;
    }
}

TEST(JsonUnescapeTest, EveryCutDecodesToAPrefix) {
    const std::string golden = R"(a\"b\u00e9c\ud83d\ude00d\\e\/\tf\qg\uABCDh)";
    zo::string full;
    zo::jsonunescape(golden, full);
    for (size_t cut = 0; cut <= golden.size(); ++cut) {
        std::unique_ptr<char[]> b(new char[cut + 1]);
        memcpy(b.get(), golden.data(), cut);
        zo::string out;
        zo::jsonunescape(std::string_view(b.get(), cut), out);
        EXPECT_EQ(full.view().substr(0, out.size()), out.view()) << cut;
    }
}

TEST(JsonNumberReadTest, DoubleAndInt64Spans) {
    double d = 0;
    EXPECT_TRUE(zo::jsonreaddouble(" -1.5e-7 ", d));
    EXPECT_EQ(d, -1.5e-7);
    // Reads only the span, not what follows it in memory.
    EXPECT_TRUE(zo::jsonreaddouble(std::string_view("12345", 2), d));
    EXPECT_EQ(d, 12);
    for (const std::string& bad : std::vector<std::string>{"  ", "1.5x", std::string(500, '1')})
        EXPECT_FALSE(zo::jsonreaddouble(bad, d)) << bad;
    // INT64_MIN goes through a database in oxaapi/oxaapi_test.
    int64_t i = 0;
    EXPECT_TRUE(zo::jsonreadint64(" 42 ", i));
    EXPECT_EQ(i, 42);
    for (const char* bad : {"", "-", "9223372036854775808", "1.5", "x1"})
        EXPECT_FALSE(zo::jsonreadint64(bad, i)) << bad;
}

}  // namespace
