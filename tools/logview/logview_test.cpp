// logview: the logger's datagrams read, cut at every offset and refused
// when hostile, formatted into lines; the program on a free loopback port.
// Its --version and option mistakes are run on the program by
// tests/toolcli_e2e_test.cpp.
#include "tools/logview/logview.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/udplog.h"
#include "tests/support/testsupport.h"

namespace {

const std::string golden = "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nx=5";

TEST(LogviewTest, ReadsFlatHeadersWithALevelAndRefusesTheRest) {
    logview::header h;
    std::string_view text;
    ASSERT_TRUE(logview::parse(
        " { \"cabin\" : \"a\\\"b\" , \"level\" : -3 , \"x\":true, \"y\":1 }\r\nrest", &h, &text));
    EXPECT_EQ(h.cabin, "a\"b");
    EXPECT_EQ(h.level, -3);
    EXPECT_EQ(text, "rest");
    // Every cut of the golden datagram fails cleanly or keeps the header.
    size_t headlen = golden.find('\n');
    for (size_t n = 0; n <= golden.size(); ++n) {
        bool ok = logview::parse(std::string_view(golden.data(), n), &h, &text);
        EXPECT_EQ(ok, n > headlen) << n;
        if (!ok) continue;
        EXPECT_EQ(h.order, "wlog");
        EXPECT_EQ(h.level, 10);
        EXPECT_EQ(h.cabin, "simu1");
        EXPECT_EQ(text, golden.substr(headlen + 1, n - headlen - 1));
    }
    const char* bad[] = {
        "x=5",
        "{\"order\":\"wlog\"}\nx",                // no level
        "{\"level\":\"10\"}\nx",                  // level as text
        "{\"level\":99999999999}\nx",             // beyond int
        "{\"level\":10,\"cabin\":{\"a\":1}}\nx",  // nested
        "{\"level\":10\nx",
        "{\"level\":1.5}\nx",
        "{\"level\":10,\"cabin\":\"abc}\nx",      // unterminated string
        "{\"level\":10,\"cabin\":\"\\u00\"}\nx",  // cut escape
        "[10]\nx",
    };
    for (const char* b : bad) EXPECT_FALSE(logview::parse(b, &h, &text)) << b;
}

TEST(LogviewTest, FormatsTimeLevelCabinText) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    const int64_t t0 = 1700000000123LL;
    const std::string at = "2023-11-14 22:13:20.123 ";
    auto pad = [&](const char* levelcabin) {
        return std::string(at.size() + strlen(levelcabin), ' ');
    };
    const std::string c10 = "{\"level\":10,\"cabin\":\"c\"}\n";
    struct {
        std::string dgram;
        int maxlevel;
        bool color;
        std::string want;
    } cases[] = {
        {golden, INT_MAX, false, at + "err simu1 x=5\n"},
        // Lines after the first are indented under the text.
        {"{\"order\":\"wlog\",\"level\":40,\"cabin\":\"ab\"}\nfirst\r\nsecond\n\nfourth\n", INT_MAX,
         false,
         at + "dbg ab first\n" + pad("dbg ab ") + "second\n" + pad("dbg ab ") + "\n" +
             pad("dbg ab ") + "fourth\n"},
        // The level filter; without a header there is no level: always shown.
        {golden, 10, false, at + "err simu1 x=5\n"},
        {golden, 9, false, ""},
        {"junk", 0, false, at + "raw junk\n"},
        // Hostile bytes, control characters, a text that is not UTF-8.
        {std::string("a\\b\n\x1b[2J\0", 9), INT_MAX, false, at + "raw a\\\\b\\n\\x1B[2J\\x00\n"},
        {c10 + "bell\x07 tab\there", INT_MAX, false, at + "err c bell\\x07 tab\there\n"},
        {c10 + "\xD6\xD0 D:\\data", INT_MAX, false, at + "err c \\xD6\\xD0 D:\\data\n"},
        {c10 + "\xE4\xB8\xAD", INT_MAX, false, at + "err c \xE4\xB8\xAD\n"},
        // Colours only when asked; the indentation does not count them.
        {golden, INT_MAX, true, "\x1b[31m" + at + "err simu1 x=5\x1b[0m\n"},
        {"{\"level\":20,\"cabin\":\"c\"}\na\nb", INT_MAX, true,
         "\x1b[33m" + at + "wrn c a\n" + pad("wrn c ") + "b\x1b[0m\n"},
    };
    for (auto& c : cases) {
        std::string out = "left over";
        EXPECT_EQ(logview::format(c.dgram, t0, c.maxlevel, c.color, out), !c.want.empty());
        EXPECT_EQ(out, c.want) << c.dgram;
    }
}

// The program itself, on a free loopback port; its standard output and
// error come through one pipe.
TEST(LogviewProgramTest, PrintsTheLoggersLinesUntilStoppedAndSaysWhatIsWrong) {
    const std::string exe = zotest::bindir() + "/logview";
    zotest::runopts o;
    o.errtoo = true;
    std::string where;
    {
        zotest::heldport h(SOCK_DGRAM);
        where = "udp://127.0.0.1:" + std::to_string(h.port);
    }
    zotest::child p;
    ASSERT_TRUE(p.start(exe, {where, "--level", "inf"}, o));
    ASSERT_TRUE(p.readuntil("listening")) << p.output;
    zo::udplog lg;
    ASSERT_EQ(lg.open((where + "/simu1?level=all").c_str()), 0);
    EXPECT_GT(lg.wlog(40, "hidden by --level"), 0);
    EXPECT_GT(lg.wlog(10, "x=%d", 5), 0);
    EXPECT_GT(lg.wlog(30, "two\nlines"), 0);
    ASSERT_TRUE(p.readuntil("lines\n")) << p.output;
    EXPECT_NE(p.output.find(" err simu1 x=5\n"), std::string::npos) << p.output;
    EXPECT_NE(p.output.find(" inf simu1 two\n"), std::string::npos) << p.output;
    EXPECT_EQ(p.output.find("hidden"), std::string::npos) << p.output;
    EXPECT_EQ(p.output.find('\x1b'), std::string::npos);  // a pipe gets no colours
    EXPECT_TRUE(p.stop(SIGTERM));

    // A port already taken: exit code 1 and the reason.
    zotest::heldport busy(SOCK_DGRAM);
    zotest::child b;
    ASSERT_TRUE(b.start(exe, {"udp://127.0.0.1:" + std::to_string(busy.port)}, o));
    ASSERT_TRUE(b.wait());
    b.readout();
    EXPECT_EQ(b.code(), 1);
    EXPECT_NE(b.output.find("cannot bind"), std::string::npos) << b.output;
}

}  // namespace
