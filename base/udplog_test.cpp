#include "base/udplog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testsupport.h"
namespace {

// A UDP socket on a free loopback port that collects the logger's datagrams.
class UdplogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(rx_.port, 0);
        port_ = static_cast<uint16_t>(rx_.port);
        base_ = "udp://127.0.0.1:" + std::to_string(port_);
    }
    // The next datagram; "<none>" when nothing comes (a guard against
    // hanging, not a measured time).
    std::string recv() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return "<none>";
        std::string b(65536, '\0');
        ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        if (n < 0) return "<error>";
        b.resize(static_cast<size_t>(n));
        return b;
    }
    std::string url(const std::string& rest) { return base_ + rest; }

    // Bursts of log lines must not be lost to a small receive buffer.
    zotest::heldport rx_{SOCK_DGRAM, false, 4 << 20};
    int fd_ = rx_.fd;  // the socket recv() reads
    uint16_t port_ = 0;
    std::string base_;
};

int callvwlog(zo::ilog& lg, int level, const char* tag, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = lg.vwlog(level, tag, fmt, ap);
    va_end(ap);
    return r;
}

TEST_F(UdplogTest, DatagramsAreByteExact) {
    zo::udplog lg;
    ASSERT_EQ(lg.open(url("/simu1").c_str()), 0);
    EXPECT_STREQ(lg.cabin(), "simu1");
    EXPECT_EQ(lg.wlog(10, "x=%d", 5), 47);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nx=5");
    EXPECT_EQ(lg.append(20, "%s", "more\n"), 51);
    EXPECT_EQ(recv(), "{\"order\":\"append\",\"level\":20,\"cabin\":\"simu1\"}\nmore\n");
    EXPECT_GT(callvwlog(lg, 30, "ipcwrk", "n=%u", 7u), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\n[ipcwrk]n=7");
    EXPECT_GT(callvwlog(lg, 30, "", "plain"), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\nplain");
    EXPECT_GT(callvwlog(lg, 30, nullptr, "%s", ""), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\n");
}

TEST_F(UdplogTest, LinesAboveTheLevelAreFilteredOut) {
    zo::udplog lg;
    ASSERT_EQ(lg.open(url("/simu1").c_str()), 0);
    EXPECT_EQ(lg.getlevel(), 30);
    EXPECT_EQ(lg.wlog(31, "mor"), 0);
    EXPECT_EQ(lg.wlog(40, "dbg"), 0);
    EXPECT_EQ(lg.append(999, "all"), 0);
    EXPECT_GT(lg.wlog(30, "inf"), 0);
    // Nothing of the filtered lines arrived before the line at 30.
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\ninf");
    EXPECT_EQ(lg.setlevel(999), 999);
    EXPECT_GT(lg.wlog(999, "all"), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":999,\"cabin\":\"simu1\"}\nall");
}

TEST_F(UdplogTest, ClosedLoggerAndRefusedOpens) {
    zo::udplog lg;
    EXPECT_EQ(lg.wlog(10, "x"), -1);
    EXPECT_EQ(lg.append(10, "x"), -1);
    EXPECT_EQ(callvwlog(lg, 10, "t", "x"), -1);
    EXPECT_EQ(lg.wlog(99, "x"), -1);  // closed beats filtered
    EXPECT_EQ(lg.setlevel(40), 40);   // works in every state
    EXPECT_EQ(lg.getlevel(), 40);
    for (const char* bad : {static_cast<const char*>(nullptr), "", "udp://[::1]:/x", "udp:///x"})
        EXPECT_EQ(lg.open(bad), -1) << (bad ? bad : "null");
    EXPECT_EQ(lg.open(url("/").c_str()), -1);  // empty path
    EXPECT_FALSE(lg.isopen());

    // A refused reopen keeps the open socket.
    ASSERT_EQ(lg.open(url("/simu1").c_str()), 0);
    EXPECT_EQ(lg.open(url("").c_str()), -1);  // no path
    EXPECT_GT(lg.wlog(10, "still"), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nstill");
    lg.shutdown();
    EXPECT_EQ(lg.wlog(10, "x"), -1);
    lg.shutdown();  // twice is harmless
}

TEST_F(UdplogTest, MissingPortMeans999AndBlanksAreDropped) {
    zo::udplog lg;
    ASSERT_EQ(lg.open("udp://127.0.0.1/simu1"), 0);
    EXPECT_EQ(lg.destport(), 999);
    EXPECT_STREQ(lg.cabin(), "simu1");
    ASSERT_EQ(lg.open((" \tudp://127.0.0.1:" + std::to_string(port_) + "/ si\tmu2 ").c_str()), 0);
    EXPECT_EQ(lg.destport(), port_);
    EXPECT_STREQ(lg.cabin(), "simu2");
    EXPECT_GT(lg.wlog(10, "y"), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu2\"}\ny");
}

TEST_F(UdplogTest, Ipv6Destination) {
    int rx6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    if (rx6 < 0 || ::bind(rx6, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (rx6 >= 0) ::close(rx6);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(rx6, reinterpret_cast<sockaddr*>(&a), &len), 0);
    fd_ = rx6;
    zo::udplog lg;
    ASSERT_EQ(lg.open(("udp://[::1]:" + std::to_string(ntohs(a.sin6_port)) + "/v6").c_str()), 0);
    EXPECT_EQ(lg.destport(), ntohs(a.sin6_port));
    EXPECT_GT(lg.wlog(20, "over %s", "ipv6"), 0);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":20,\"cabin\":\"v6\"}\nover ipv6");
    ::close(rx6);
}

TEST_F(UdplogTest, LevelQuery) {
    zo::udplog lg;
    const struct {
        const char* query;
        int level;  // after setlevel(30)
    } cases[] = {
        {"?level=dbg", 40},
        {"?LEVEL = 31", 31},
        {"?&&level==err&x=1", 10},  // empty tokens skipped
        {"?level=wrn\r", 20},
        {"?other=dbg", 30},
        {"?level=0123456789abcdef", 30},  // 16 characters: too long
        {"?level", 30},                   // no value
    };
    for (const auto& c : cases) {
        lg.setlevel(30);
        ASSERT_EQ(lg.open(url(std::string("/simu1") + c.query).c_str()), 0) << c.query;
        EXPECT_EQ(lg.getlevel(), c.level) << c.query;
    }
    EXPECT_EQ(lg.setlevel(10), 10);  // the host's later setlevel wins
}

TEST_F(UdplogTest, LongPathLeavesCabinEmpty) {
    zo::udplog lg;
    std::string p126(126, 'c');
    ASSERT_EQ(lg.open(url("/" + p126).c_str()), 0);
    EXPECT_EQ(std::string(lg.cabin()), p126);
    ASSERT_EQ(lg.open(url("/" + std::string(127, 'c')).c_str()), 0);
    EXPECT_STREQ(lg.cabin(), "");
    EXPECT_EQ(lg.wlog(10, "z"), 40);
    EXPECT_EQ(recv(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"\"}\nz");
}

TEST_F(UdplogTest, LineOf30720BytesIsDroppedWhole) {
    zo::udplog lg;
    ASSERT_EQ(lg.open(url("/simu1").c_str()), 0);
    const int head = 44;  // the wlog header with level 10 and cabin simu1
    std::string fits(zo::udplog::maxdatagram - 1 - head, 't');
    std::string over = fits + "t";
    EXPECT_EQ(lg.wlog(10, "%s", over.c_str()), -1);
    EXPECT_EQ(lg.wlog(10, "%s", fits.c_str()), zo::udplog::maxdatagram - 1);
    std::string got = recv();
    ASSERT_EQ(got.size(), size_t(zo::udplog::maxdatagram - 1));  // not the dropped one
    EXPECT_EQ(got.substr(head), fits);
    // A tag long enough to fill the header alone.
    std::string tag(zo::udplog::maxdatagram, 'g');
    EXPECT_EQ(callvwlog(lg, 10, tag.c_str(), "x"), -1);
}

TEST_F(UdplogTest, ThreadsLogWholeDatagrams) {
    zo::udplog lg;
    ASSERT_EQ(lg.open(url("/simu1").c_str()), 0);
    const int nthreads = 4, nlines = 50;
    std::vector<std::string> got;
    std::thread rx([&] {
        for (int i = 0; i < nthreads * nlines; ++i) {
            std::string d = recv();
            if (d == "<none>") break;
            got.push_back(std::move(d));
        }
    });
    std::vector<std::thread> tx;
    std::vector<int> failures(nthreads, 0);
    for (int t = 0; t < nthreads; ++t) {
        tx.emplace_back([&, t] {
            std::string fill(200 + t * 100, static_cast<char>('a' + t));
            for (int i = 0; i < nlines; ++i) {
                if (lg.wlog(10, "t%d i%03d %s end", t, i, fill.c_str()) <= 0) ++failures[t];
            }
        });
    }
    for (auto& t : tx) t.join();
    rx.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    // Loopback may drop datagrams when the receiver falls behind; whatever
    // arrives must be whole and arrive once.
    ASSERT_FALSE(got.empty());
    std::set<std::string> seen;
    const std::string head = "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\n";
    for (const std::string& d : got) {
        ASSERT_EQ(d.compare(0, head.size(), head), 0) << d;
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(d.c_str() + head.size(), "t%d i%d", &t, &i), 2) << d;
        ASSERT_TRUE(t >= 0 && t < nthreads);
        std::string body = d.substr(head.size());
        char line[16];
        std::snprintf(line, sizeof line, "t%d i%03d ", t, i);
        EXPECT_EQ(body, line + std::string(200 + t * 100, static_cast<char>('a' + t)) + " end");
        EXPECT_TRUE(seen.insert(body).second) << "duplicate " << line;
    }
}

}  // namespace
