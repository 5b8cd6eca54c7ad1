#include "tools/logview/logview.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/dirs.h"
#include "base/udplog.h"

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
// error come through one pipe into out_.
class LogviewProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("ZO_BIN");
        if (bin && *bin) {
            exe_ = std::string(bin) + "/logview";
        } else {
            zo::string d;
            ASSERT_TRUE(zo::moddir(d));
            exe_ = std::string(d.view()) + "../bin/logview";
        }
        ASSERT_EQ(::access(exe_.c_str(), X_OK), 0) << exe_;
    }
    void TearDown() override { reap(); }
    // Ends the program if it still runs and closes its pipe.
    void reap() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
        pid_ = fd_ = -1;
        out_.clear();
    }
    // A UDP socket bound to a free loopback port (-1 on failure).
    static int bindudp(uint16_t* port) {
        int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            if (s >= 0) ::close(s);
            return -1;
        }
        *port = ntohs(a.sin_port);
        return s;
    }
    // A URL on a port that was free a moment ago.
    static std::string freeurl() {
        uint16_t port = 0;
        int s = bindudp(&port);
        if (s >= 0) ::close(s);
        return "udp://127.0.0.1:" + std::to_string(port);
    }
    void start(std::vector<std::string> args) {
        reap();
        int p[2];
        ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            ::dup2(p[1], 1);
            ::dup2(p[1], 2);
            std::vector<char*> argv{exe_.data()};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe_.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(p[1]);
        fd_ = p[0];
    }
    // Reads until out_ contains want or the pipe ends (the 10 s poll is a
    // guard against hanging, not a measured time).
    bool readuntil(const std::string& want) {
        while (out_.find(want) == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) return false;
            char b[4096];
            ssize_t n = ::read(fd_, b, sizeof b);
            if (n <= 0) return false;
            out_.append(b, static_cast<size_t>(n));
        }
        return true;
    }
    int wait() {
        int st = 0;
        if (::waitpid(pid_, &st, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    std::string exe_, out_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

TEST_F(LogviewProgramTest, PrintsLinesFromTheLoggerAndStopsOnSigterm) {
    std::string where = freeurl();
    start({where, "--level", "inf"});
    ASSERT_TRUE(readuntil("listening")) << out_;
    zo::udplog lg;
    ASSERT_EQ(lg.open((where + "/simu1?level=all").c_str()), 0);
    EXPECT_GT(lg.wlog(40, "hidden by --level"), 0);
    EXPECT_GT(lg.wlog(10, "x=%d", 5), 0);
    EXPECT_GT(lg.wlog(30, "two\nlines"), 0);
    ASSERT_TRUE(readuntil("lines\n")) << out_;
    EXPECT_NE(out_.find(" err simu1 x=5\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find(" inf simu1 two\n"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("hidden"), std::string::npos) << out_;
    EXPECT_EQ(out_.find('\x1b'), std::string::npos);  // a pipe gets no colours
    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait(), 0);
}

TEST_F(LogviewProgramTest, SigintEndsWithZero) {
    start({freeurl()});
    ASSERT_TRUE(readuntil("listening")) << out_;
    ASSERT_EQ(::kill(pid_, SIGINT), 0);
    EXPECT_EQ(wait(), 0);
}

TEST_F(LogviewProgramTest, BusyPortExitsWithOne) {
    uint16_t port = 0;
    int s = bindudp(&port);
    ASSERT_GE(s, 0);
    start({"udp://127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(wait(), 1);
    readuntil("\n");
    EXPECT_NE(out_.find("cannot bind"), std::string::npos) << out_;
    ::close(s);
}

TEST_F(LogviewProgramTest, BadArgumentsExitWithTwo) {
    start({"--level", "loud"});
    EXPECT_EQ(wait(), 2);
    readuntil("usage");
    EXPECT_NE(out_.find("loud"), std::string::npos) << out_;
    start({"tcp://127.0.0.1:5"});
    EXPECT_EQ(wait(), 2);
    start({"--help"});
    EXPECT_EQ(wait(), 0);
    EXPECT_TRUE(readuntil("usage: logview"));
}

}  // namespace
