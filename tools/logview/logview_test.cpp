#include "tools/logview/logview.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/udplog.h"
#include "tests/support/testsupport.h"

namespace {

const std::string golden = "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nx=5";
const int64_t t0 = 1700000000123LL;  // 2023-11-14 22:13:20.123 UTC

class LogviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    std::string fmt(std::string_view d, int maxlevel = INT_MAX, bool color = false) {
        std::string out;
        if (!logview::format(d, t0, maxlevel, color, out)) return "<filtered>";
        return out;
    }
};

TEST_F(LogviewTest, ParsesTheLoggersHeader) {
    logview::header h;
    std::string_view text;
    ASSERT_TRUE(logview::parse(golden, &h, &text));
    EXPECT_EQ(h.order, "wlog");
    EXPECT_EQ(h.level, 10);
    EXPECT_EQ(h.cabin, "simu1");
    EXPECT_EQ(text, "x=5");
    ASSERT_TRUE(logview::parse(
        " { \"cabin\" : \"a\\\"b\" , \"level\" : -3 , \"x\":true, \"y\":1 }\r\nrest", &h, &text));
    EXPECT_EQ(h.cabin, "a\"b");
    EXPECT_EQ(h.level, -3);
    EXPECT_EQ(h.order, "");
    EXPECT_EQ(text, "rest");
}

TEST_F(LogviewTest, EveryCutOfTheGoldenDatagramFailsCleanlyOrKeepsTheHeader) {
    size_t headlen = golden.find('\n');
    for (size_t n = 0; n <= golden.size(); ++n) {
        logview::header h;
        std::string_view text;
        bool ok = logview::parse(std::string_view(golden.data(), n), &h, &text);
        EXPECT_EQ(ok, n > headlen) << n;
        if (ok) {
            EXPECT_EQ(h.level, 10);
            EXPECT_EQ(text, golden.substr(headlen + 1, n - headlen - 1));
        }
    }
}

TEST_F(LogviewTest, RefusesHeadersThatAreNotFlatObjectsWithALevel) {
    const char* bad[] = {
        "",
        "x=5",
        "{}\nx",
        "{\"order\":\"wlog\"}\nx",                // no level
        "{\"level\":\"10\"}\nx",                  // level as text
        "{\"level\":99999999999}\nx",             // beyond int
        "{\"level\":10,\"cabin\":{\"a\":1}}\nx",  // nested
        "{\"level\":10} trailing\nx",
        "{\"level\":10,}\nx",
        "{\"level\":10\nx",
        "{\"level\":1.5}\nx",
        "{\"level\":10,\"cabin\":\"abc}\nx",      // unterminated string
        "{\"level\":10,\"cabin\":\"\\u00\"}\nx",  // cut escape
        "[10]\nx",
    };
    for (const char* b : bad) {
        logview::header h;
        std::string_view text;
        EXPECT_FALSE(logview::parse(b, &h, &text)) << b;
    }
}

TEST_F(LogviewTest, FormatsTimeLevelCabinText) {
    EXPECT_EQ(logview::timetext(t0), "2023-11-14 22:13:20.123");
    EXPECT_EQ(logview::timetext(-1), "1969-12-31 23:59:59.999");
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
        {"{\"order\":\"append\",\"level\":30,\"cabin\":\"c\"}\nstopped gracefully.\n", INT_MAX,
         false, at + "inf c stopped gracefully.\n"},
        {"{\"order\":\"wlog\",\"level\":35,\"cabin\":\"c\"}\n", INT_MAX, false, at + "35 c \n"},
        // Lines after the first are indented under the text.
        {"{\"order\":\"wlog\",\"level\":40,\"cabin\":\"ab\"}\nfirst\r\nsecond\n\nfourth\n", INT_MAX,
         false,
         at + "dbg ab first\n" + pad("dbg ab ") + "second\n" + pad("dbg ab ") + "\n" +
             pad("dbg ab ") + "fourth\n"},
        // The level filter; without a header there is no level: always shown.
        {golden, 10, false, at + "err simu1 x=5\n"},
        {golden, 9, false, "<filtered>"},
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
    for (auto& c : cases) EXPECT_EQ(fmt(c.dgram, c.maxlevel, c.color), c.want) << c.dgram;
}

TEST_F(LogviewTest, Arguments) {
    auto run = [](std::vector<const char*> a, logview::options* o, std::string* err) {
        a.insert(a.begin(), "logview");
        return logview::parseargs(static_cast<int>(a.size()), const_cast<char**>(a.data()), o, err);
    };
    logview::options o;
    std::string err;
    ASSERT_TRUE(run({}, &o, &err));
    EXPECT_EQ(o.url, "udp://127.0.0.1:999");
    EXPECT_EQ(o.maxlevel, INT_MAX);
    ASSERT_TRUE(run({"udp://127.0.0.1:5000", "--level", "DBG"}, &o, &err));
    EXPECT_EQ(o.url, "udp://127.0.0.1:5000");
    EXPECT_EQ(o.maxlevel, 40);
    ASSERT_TRUE(run({"--level", "31"}, &o, &err));
    EXPECT_EQ(o.maxlevel, 31);
    ASSERT_TRUE(run({"--help"}, &o, &err));
    EXPECT_TRUE(o.help);
    EXPECT_FALSE(run({"--level"}, &o, &err));
    EXPECT_NE(err.find("--level"), std::string::npos);
    EXPECT_FALSE(run({"--level", "debug"}, &o, &err));
    EXPECT_NE(err.find("debug"), std::string::npos);
    EXPECT_FALSE(run({"-x"}, &o, &err));
    EXPECT_FALSE(run({"udp://a:1", "udp://b:2"}, &o, &err));
}

// The program itself, on a free loopback port; its standard output and
// error come through one pipe.
class LogviewProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        exe_ = zotest::bindir() + "/logview";
        ASSERT_EQ(::access(exe_.c_str(), X_OK), 0) << exe_;
    }
    void start(const std::vector<std::string>& args) {
        p_.kill();
        p_.output.clear();
        zotest::runopts o;
        o.errtoo = true;
        ASSERT_TRUE(p_.start(exe_, args, o));
    }
    int wait() { return p_.wait() ? p_.code() : -1; }
    // A URL on a port that was free a moment ago.
    static std::string freeurl() {
        zotest::heldport h(SOCK_DGRAM);
        return "udp://127.0.0.1:" + std::to_string(h.port);
    }

    std::string exe_;
    zotest::child p_;
};

TEST_F(LogviewProgramTest, PrintsLinesFromTheLoggerAndStopsOnSigterm) {
    std::string where = freeurl();
    start({where, "--level", "inf"});
    ASSERT_TRUE(p_.readuntil("listening")) << p_.output;
    zo::udplog lg;
    ASSERT_EQ(lg.open((where + "/simu1?level=all").c_str()), 0);
    EXPECT_GT(lg.wlog(40, "hidden by --level"), 0);
    EXPECT_GT(lg.wlog(10, "x=%d", 5), 0);
    EXPECT_GT(lg.wlog(30, "two\nlines"), 0);
    ASSERT_TRUE(p_.readuntil("lines\n")) << p_.output;
    EXPECT_NE(p_.output.find(" err simu1 x=5\n"), std::string::npos) << p_.output;
    EXPECT_NE(p_.output.find(" inf simu1 two\n"), std::string::npos) << p_.output;
    EXPECT_EQ(p_.output.find("hidden"), std::string::npos) << p_.output;
    EXPECT_EQ(p_.output.find('\x1b'), std::string::npos);  // a pipe gets no colours
    EXPECT_TRUE(p_.stop(SIGTERM));
}

TEST_F(LogviewProgramTest, SigintEndsWithZero) {
    start({freeurl()});
    ASSERT_TRUE(p_.readuntil("listening")) << p_.output;
    EXPECT_TRUE(p_.stop(SIGINT));
}

TEST_F(LogviewProgramTest, BusyPortExitsWithOne) {
    zotest::heldport busy(SOCK_DGRAM);
    ASSERT_NE(busy.port, 0);
    start({"udp://127.0.0.1:" + std::to_string(busy.port)});
    EXPECT_EQ(wait(), 1);
    EXPECT_NE(p_.output.find("cannot bind"), std::string::npos) << p_.output;
}

TEST_F(LogviewProgramTest, BadArgumentsExitWithTwo) {
    start({"--level", "loud"});
    EXPECT_EQ(wait(), 2);
    EXPECT_NE(p_.output.find("loud"), std::string::npos) << p_.output;
    start({"tcp://127.0.0.1:5"});
    EXPECT_EQ(wait(), 2);
    start({"--help"});
    EXPECT_EQ(wait(), 0);
    EXPECT_NE(p_.output.find("usage: logview"), std::string::npos) << p_.output;
}

}  // namespace
