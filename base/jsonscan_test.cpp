#include "base/jsonscan.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
    bool scanexact(std::string_view text) {
        buf_.reset(new char[text.size() ? text.size() : 1]);
        memcpy(buf_.get(), text.data(), text.size());
        return js_.scan(buf_.get(), text.size());
    }
    std::string val(size_t i) const { return std::string(js_[i].valview()); }

    std::unique_ptr<char[]> buf_;
    zo::jsonscan js_;
};

TEST_F(JsonScanTest, ObjectMembersOfEveryType) {
    const std::string text =
        R"({"num": -12.5e3, "str":"say \"hi\"", "arr":[1,[2],"]"], "obj":{"n":null}, "yes":true})";
    ASSERT_TRUE(scanexact(text)) << js_.error();
    ASSERT_EQ(js_.size(), 5u);
    const int32_t types[] = {zo::JSON_LITERAL, zo::JSON_STRING, zo::JSON_ARRAY, zo::JSON_OBJECT,
                             zo::JSON_BOOL};
    const char* keys[] = {"num", "str", "arr", "obj", "yes"};
    const char* vals[] = {"-12.5e3", R"(say \"hi\")", R"([1,[2],"]"])", R"({"n":null})", "true"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(js_[i].type, types[i]) << i;
        EXPECT_EQ(js_[i].keyview(), keys[i]);
        EXPECT_EQ(val(i), vals[i]);
    }
    // Spans point into the source: nothing was copied.
    EXPECT_EQ(js_[3].val, buf_.get() + text.find("{\"n\""));

    zo::string s;
    ASSERT_TRUE(js_.gettext("STR", s));
    EXPECT_EQ(s.view(), "say \"hi\"");

    // A nested object is read by scanning its span.
    zo::jsonscan inner;
    ASSERT_TRUE(inner.scan(js_[3].valview()));
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].type, zo::JSON_NULL);
}

TEST_F(JsonScanTest, KeyLengthLimit) {
    const std::string k63(63, 'k'), k64(64, 'k');
    EXPECT_TRUE(scanexact("{\"" + k63 + "\":1}"));
    EXPECT_EQ(js_[0].keylen, 63u);
    EXPECT_FALSE(scanexact("{\"" + k64 + "\":1}"));
    EXPECT_NE(std::string(js_.error()).find("key"), std::string::npos);
    EXPECT_FALSE(scanexact(R"({"":1})"));
}

TEST_F(JsonScanTest, LenientObjectRules) {
    // Commas are optional and may repeat; text after the top level is ignored.
    ASSERT_TRUE(scanexact(" \r\n\t{,,\"a\":1 \"b\":\"x\",,}garbage"));
    ASSERT_EQ(js_.size(), 2u);
    EXPECT_EQ(val(0), "1");
    EXPECT_EQ(val(1), "x");
    // Anything between the key and the colon is passed over.
    ASSERT_TRUE(scanexact(R"({"a" junk : 7})"));
    EXPECT_EQ(val(0), "7");
    // An object literal ends at LF but not at CR; false and null get types.
    ASSERT_TRUE(scanexact("{\"a\":1\r\n\"b\":false,\"c\":null}"));
    EXPECT_EQ(val(0), "1\r");
    EXPECT_EQ(js_[1].type, zo::JSON_BOOL);
    EXPECT_EQ(js_[2].type, zo::JSON_NULL);
    // An empty string is a member in an object.
    ASSERT_TRUE(scanexact(R"({"e":""})"));
    EXPECT_EQ(js_.size(), 1u);
    // A new scan starts with an empty list.
    ASSERT_TRUE(scanexact("{}"));
    EXPECT_EQ(js_.size(), 0u);
}

TEST_F(JsonScanTest, ArrayElements) {
    ASSERT_TRUE(scanexact(R"([1, 2 ,"",  "x", true, null, [3], {"k":1}])"));
    ASSERT_EQ(js_.size(), 7u);
    const char* vals[] = {"1", "2 ", "x", "true", "null", "[3]", R"({"k":1})"};
    const int32_t types[] = {3, 3, 0, 3, 3, 2, 1};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(val(i), vals[i]) << i;
        EXPECT_EQ(js_[i].type, types[i]) << i;
        EXPECT_EQ(js_[i].keylen, 0u);
    }
    ASSERT_TRUE(scanexact("[]"));
    EXPECT_TRUE(js_.empty());
}

TEST_F(JsonScanTest, HostileTextFailsCleanly) {
    const char* bad[] = {
        "",
        "   ",
        "x{}",
        "\"a\"",
        R"({"a":"unterminated)",
        R"({"a":"x\"})",    // the quote is escaped: the string never ends
        R"({"a":"x\\\"})",  // three backslashes: the same
        R"({"a":1)",        // a literal runs into the end
        R"({"a")",          // no colon
        R"({"a":)",
        R"({"a  )",
        R"({"a":{"b":1})",  // unmatched nested brace
        R"({"a":["]"})",    // the bracket inside the string does not count
        R"({1:2})",
        R"([1,2)",
        R"({"a":1,)",
    };
    for (const char* b : bad) EXPECT_FALSE(scanexact(b)) << b;
    EXPECT_FALSE(js_.scan(nullptr, 5));
}

TEST_F(JsonScanTest, BracketMatching) {
    ASSERT_TRUE(scanexact(R"({"a":{"s":"}{","t":"\"}"},"b":[["]"],[]],"c":{x\}}})"));
    ASSERT_EQ(js_.size(), 3u);
    EXPECT_EQ(val(0), R"({"s":"}{","t":"\"}"})");
    EXPECT_EQ(val(1), R"([["]"],[]])");
    EXPECT_EQ(val(2), R"({x\}})");  // an escaped bracket does not count
}

TEST_F(JsonScanTest, DeepNesting) {
    const size_t depth = 200000;
    std::string deep = "{\"d\":" + std::string(depth, '[') + std::string(depth, ']') + ",\"e\":2}";
    ASSERT_TRUE(scanexact(deep));
    ASSERT_EQ(js_.size(), 2u);
    EXPECT_EQ(js_[0].vallen, 2 * depth);
    EXPECT_EQ(val(1), "2");
    // One bracket short.
    EXPECT_FALSE(
        scanexact("{\"d\":" + std::string(depth, '[') + std::string(depth - 1, ']') + "}"));
    // Deep at the top level too: one element holding the rest.
    ASSERT_TRUE(scanexact(std::string(depth, '[') + std::string(depth, ']')));
    EXPECT_EQ(js_.size(), 1u);
}

TEST_F(JsonScanTest, EveryCutOfAGoldenTextFails) {
    const std::string golden =
        R"({"T":1700000000000,"N":"tag\"1","Q":0,"V":[1.5,"a",{"x":[]}],"O":{"k":null},"B":true})";
    ASSERT_TRUE(scanexact(golden));
    EXPECT_EQ(js_.size(), 6u);
    for (size_t cut = 0; cut < golden.size(); ++cut) {
        EXPECT_FALSE(scanexact(golden.substr(0, cut))) << cut;
    }
}

// A quote ends a string when an even number of backslashes comes right
// before it.  Texts with runs of 1 to 4 backslashes before a quote, at the
// end and inside, written by our writer, come back whole from an object
// member, an array element and a nested array; every cut of the text fails.
TEST_F(JsonScanTest, RunsOfBackslashesBeforeAQuote) {
    for (int run = 1; run <= 4; ++run) {
        const std::string bs(run, '\\');
        for (const std::string& raw :
             {"C:\\data" + bs, bs + "\"x" + bs, "a" + bs + "\"" + bs + "\""}) {
            zo::string esc;
            zo::jsonaddesctext(esc, raw);
            const std::string e(esc.view());
            const std::string text =
                R"({"k":")" + e + R"(","a":[")" + e + R"(",[")" + e + R"("]],"z":1})";
            ASSERT_TRUE(scanexact(text)) << text << ": " << js_.error();
            ASSERT_EQ(js_.size(), 3u) << text;
            EXPECT_EQ(val(2), "1") << text;
            zo::string got;
            ASSERT_TRUE(js_.gettext("k", got));
            EXPECT_EQ(got.view(), raw) << text;
            zo::jsonscan arr, inner;
            ASSERT_TRUE(arr.scan(js_[1].valview())) << text;
            ASSERT_EQ(arr.size(), 2u) << text;
            ASSERT_TRUE(inner.scan(arr[1].valview())) << text;
            ASSERT_EQ(inner.size(), 1u) << text;
            for (const zo::jsonentry* el : {&arr[0], &inner[0]}) {
                got.clear();
                EXPECT_TRUE(zo::jsonunescape(el->valview(), got));
                EXPECT_EQ(got.view(), raw) << text;
            }
            for (size_t cut = 0; cut < text.size(); ++cut) {
                EXPECT_FALSE(scanexact(text.substr(0, cut))) << cut << " of " << text;
            }
        }
    }
}

// The strict reading refuses what the lenient one passes over, and says
// where: the offset of the offending character.
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
        {R"({"a": 1 "b": 2})", 8, "missing"},
        {"{\"a\": 1\n \"b\": 2}", 9, "missing"},
        {R"({"a": 1,, "b": 2})", 8, "two commas"},
        {R"({, "a": 1})", 1, "before the first"},
        {R"({"a": 1,})", 7, "after the last"},
        {R"([1 2])", 3, "missing"},
        {R"([1,,2])", 3, "two commas"},
        {R"({"a": 8h})", 6, "not a number"},
        {R"({"a": yes})", 6, "not a number"},
        {R"({"a": 01})", 6, "not a number"},
        {R"({"a": 1.})", 6, "not a number"},
        {R"({"a": , "b": 1})", 6, "missing"},
        {R"({"a" x: 1})", 5, "colon"},
        {R"({"a": "C:\data"})", 9, "unknown escape"},
        {R"({"a": "\u12"})", 7, "hex"},
        {"{\"a\": \"x\ty\"}", 8, "control character"},
        {"{\"a\tb\": 1}", 3, "control character"},
        {R"({"a": 1} x)", 9, "after the closing"},
        {R"({"a": 1}})", 8, "after the closing"},
    };
    for (const row& r : rows) {
        // Every text here is one the lenient reading accepts.
        EXPECT_TRUE(scanexact(r.text)) << r.text;
        buf_.reset(new char[strlen(r.text) + 1]);
        memcpy(buf_.get(), r.text, strlen(r.text));
        bool got = js_.scanstrict({buf_.get(), strlen(r.text)});
        if (r.errpos == ok) {
            EXPECT_TRUE(got) << r.text << ": " << js_.error() << " at " << js_.errpos();
            continue;
        }
        EXPECT_FALSE(got) << r.text;
        EXPECT_EQ(js_.errpos(), r.errpos) << r.text << ": " << js_.error();
        EXPECT_NE(std::string(js_.error()).find(r.why), std::string::npos)
            << r.text << ": " << js_.error();
    }
    // Entries are those of the lenient reading, literals without trailing
    // white space.
    ASSERT_TRUE(js_.scanstrict(R"([1 , "x"])"));
    ASSERT_EQ(js_.size(), 2u);
    EXPECT_EQ(val(0), "1");
}

TEST_F(JsonScanTest, ListGrowsAndMoves) {
    std::string t = "[";
    for (int i = 0; i < 1000; ++i) t += std::to_string(i) + ",";
    ASSERT_TRUE(scanexact(t + "]"));
    ASSERT_EQ(js_.size(), 1000u);
    EXPECT_EQ(val(999), "999");
    zo::jsonscan moved(std::move(js_));
    ASSERT_EQ(moved.size(), 1000u);
    EXPECT_EQ(moved[1].valview(), "1");
    EXPECT_TRUE(js_.scan(R"([5])"));  // grows its list again from nothing
    EXPECT_EQ(js_.size(), 1u);
}

TEST_F(JsonScanTest, GetText) {
    ASSERT_TRUE(scanexact(R"({"Name":"a\tb","n":null,"num":12,"o":{"x":1},"e":""})"));
    zo::string out("old");
    EXPECT_FALSE(js_.gettext("missing", out));
    const char* cases[][2] = {
        {"name", "a\tb"}, {"N", ""},  // the whole key is compared: this is "n", a null
        {"e", ""},        {"num", "12"}, {"o", R"({"x":1})"},
    };
    for (const auto& c : cases) {
        out = "old";
        ASSERT_TRUE(js_.gettext(c[0], out)) << c[0];
        EXPECT_EQ(out.view(), c[1]) << c[0];
    }
}

TEST_F(JsonScanTest, GetInt) {
    ASSERT_TRUE(scanexact(
        R"({"yes":Yes,"t":"TRUE","f":false,"mix":12abc,"zero":0,"neg":"  -42","n":null,"e":"",)"
        R"("big":99999999999,"small":-99999999999,"plus":+7,"cut":"0000000000000000000000000000000)"
        R"(5","obj":{"a":1}})"));
    int32_t v = -1;
    const struct {
        const char* key;
        int32_t want;
    } cases[] = {{"yes", 1},           {"t", 1},     {"f", 0},   {"mix", 12},
                 {"zero", 0},          {"neg", -42}, {"n", 0},   {"big", INT32_MAX},
                 {"small", INT32_MIN}, {"plus", 7},  {"cut", 0}, {"obj", 0}};
    for (const auto& c : cases) {
        v = -1;
        EXPECT_TRUE(js_.getint(c.key, v)) << c.key;
        EXPECT_EQ(v, c.want) << c.key;
    }
    v = -1;
    EXPECT_FALSE(js_.getint("e", v));  // empty value text
    EXPECT_EQ(v, 0);
    v = -1;
    EXPECT_FALSE(js_.getint("none", v));
    EXPECT_EQ(v, 0);
}

class JsonUnescapeTest : public ::testing::Test {
  protected:
    std::string dec(std::string_view in, bool* whole = nullptr) {
        zo::string out;
        bool ok = zo::jsonunescape(in, out);
        if (whole) *whole = ok;
        return std::string(out.view());
    }
};

TEST_F(JsonUnescapeTest, SimpleEscapes) {
    EXPECT_EQ(dec(R"(plain)"), "plain");
    EXPECT_EQ(dec(R"(\"\/\\\b\f\n\r\t)"), "\"/\\\b\f\n\r\t");
    EXPECT_EQ(dec(R"(a\xb\qc)"), "abc");  // unknown escapes drop both characters
}

TEST_F(JsonUnescapeTest, UnicodeEscapes) {
    EXPECT_EQ(hex(dec(R"(\u00e9)")), "C3A9");
    EXPECT_EQ(hex(dec(R"(\U00E9)")), "C3A9");
    EXPECT_EQ(hex(dec(R"(\ud83d\ude00)")), "F09F9880");
    EXPECT_EQ(hex(dec(R"(\u0041\u07FF\u0800\uFFFF)")), "41DFBFE0A080EFBFBF");
    EXPECT_EQ(hex(dec(R"(\udbff\udfff)")), "F48FBFBF");  // the last code point
    EXPECT_EQ(hex(dec(R"(\u0000)")), "00");
    EXPECT_EQ(hex(dec(R"(\udc00)")), "EDB080");  // a lone low half is kept as it is
}

TEST_F(JsonUnescapeTest, StopRules) {
    // High half without its partner; partner not a low half.
    for (const char* in : {R"(x\u12)", R"(x\u00g1cd)", "x\\", R"(x\ud83dy)", R"(x\ud83d\u0041)"}) {
        bool whole = true;
        EXPECT_EQ(dec(in, &whole), "x") << in;
        EXPECT_FALSE(whole) << in;
    }
    bool whole = false;
    EXPECT_EQ(dec(R"(ok\n)", &whole), "ok\n");
    EXPECT_TRUE(whole);
}

TEST_F(JsonUnescapeTest, EveryCutDecodesToAPrefix) {
    const std::string golden = R"(a\"b\u00e9c\ud83d\ude00d\\e\/\tf\qg\uABCDh)";
    const std::string full = dec(golden);
    for (size_t cut = 0; cut <= golden.size(); ++cut) {
        std::unique_ptr<char[]> b(new char[cut + 1]);
        memcpy(b.get(), golden.data(), cut);
        zo::string out;
        zo::jsonunescape(std::string_view(b.get(), cut), out);
        EXPECT_EQ(full.compare(0, out.size(), out.view()), 0) << cut;
    }
}

TEST_F(JsonUnescapeTest, Utf8FormsUpTo31Bits) {
    const struct {
        uint32_t cp;
        const char* hexbytes;
    } cases[] = {{0x7F, "7F"},
                 {0x80, "C280"},
                 {0x7FF, "DFBF"},
                 {0x800, "E0A080"},
                 {0xFFFF, "EFBFBF"},
                 {0x10000, "F0908080"},
                 {0x1FFFFF, "F7BFBFBF"},
                 {0x200000, "F888808080"},
                 {0x3FFFFFF, "FBBFBFBFBF"},
                 {0x4000000, "FC8480808080"},
                 {0x7FFFFFFF, "FDBFBFBFBFBF"}};
    for (const auto& c : cases) {
        zo::string out;
        ASSERT_TRUE(zo::appendutf8(out, c.cp));
        EXPECT_EQ(hex(out.view()), c.hexbytes) << std::hex << c.cp;
    }
    zo::string out;
    EXPECT_FALSE(zo::appendutf8(out, 0x80000000u));
    EXPECT_TRUE(out.empty());
}

TEST(JsonNumberReadTest, DoubleAndInt64Spans) {
    double d = 0;
    EXPECT_TRUE(zo::jsonreaddouble(" 23.4567 ", d));
    EXPECT_EQ(d, 23.4567);
    EXPECT_TRUE(zo::jsonreaddouble("-1.5e-7", d));
    EXPECT_EQ(d, -1.5e-7);
    // Reads only the span, not what follows it in memory.
    const char text[] = "12345";
    EXPECT_TRUE(zo::jsonreaddouble(std::string_view(text, 2), d));
    EXPECT_EQ(d, 12);
    for (const char* bad : {"", "  ", "abc", "1.5x", "1 2"}) {
        EXPECT_FALSE(zo::jsonreaddouble(bad, d)) << bad;
    }
    EXPECT_FALSE(zo::jsonreaddouble(std::string(500, '1'), d));

    int64_t i = 0;
    EXPECT_TRUE(zo::jsonreadint64("-9223372036854775808", i));
    EXPECT_EQ(i, INT64_MIN);
    EXPECT_TRUE(zo::jsonreadint64(" 42 ", i));
    EXPECT_EQ(i, 42);
    for (const char* bad : {"", "-", "9223372036854775808", "1.5", "x1", "0x10"}) {
        EXPECT_FALSE(zo::jsonreadint64(bad, i)) << bad;
    }

    zo::jsonscan js;
    ASSERT_TRUE(js.scan(R"({"V":1013.25,"S":"x"})"));
    EXPECT_TRUE(js.getdouble("v", d));
    EXPECT_EQ(d, 1013.25);
    EXPECT_FALSE(js.getdouble("S", d));
    EXPECT_EQ(d, 0);
}

}  // namespace
