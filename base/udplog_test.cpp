#include "base/udplog.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "tests/udpsink.h"

namespace {

// A log server on loopback; each check reads the next whole datagram.
class UdplogTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sink_.ok()); }
    // The next datagram; "<none>" when nothing comes (a guard against
    // hanging, not a measured time).
    std::string next() {
        for (int i = 0; i < 200 && sink_.lines().size() <= seen_; ++i) sink_.receive(50);
        if (sink_.lines().size() <= seen_) return "<none>";
        ++seen_;
        return sink_.headers()[seen_ - 1] + "\n" + sink_.lines()[seen_ - 1];
    }
    int open(const std::string& rest) { return lg_.open((sink_.url() + rest).c_str()); }
    int vwlog(int level, const char* tag, const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        int r = lg_.vwlog(level, tag, fmt, ap);
        va_end(ap);
        return r;
    }

    udpsink sink_;
    size_t seen_ = 0;
    zo::udplog lg_;
};

TEST_F(UdplogTest, DatagramsAreByteExactAndLinesAboveTheLevelAreFilteredOut) {
    ASSERT_EQ(open("/simu1"), 0);
    EXPECT_STREQ(lg_.cabin(), "simu1");
    EXPECT_EQ(lg_.getlevel(), 30);
    EXPECT_EQ(lg_.wlog(31, "mor"), 0);  // filtered: nothing is sent
    EXPECT_EQ(lg_.append(999, "all"), 0);
    EXPECT_EQ(lg_.wlog(10, "x=%d", 5), 47);
    EXPECT_EQ(next(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nx=5");
    EXPECT_EQ(lg_.append(20, "%s", "more\n"), 51);
    EXPECT_EQ(next(), "{\"order\":\"append\",\"level\":20,\"cabin\":\"simu1\"}\nmore\n");
    EXPECT_GT(vwlog(30, "ipcwrk", "n=%u", 7u), 0);
    EXPECT_EQ(next(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\n[ipcwrk]n=7");
    EXPECT_GT(vwlog(30, nullptr, "%s", ""), 0);
    EXPECT_EQ(next(), "{\"order\":\"wlog\",\"level\":30,\"cabin\":\"simu1\"}\n");
}

TEST_F(UdplogTest, ClosedLoggerAndRefusedOpens) {
    EXPECT_EQ(lg_.wlog(10, "x"), -1);
    EXPECT_EQ(lg_.wlog(99, "x"), -1);  // closed beats filtered
    for (const char* bad : {static_cast<const char*>(nullptr), "", "udp://[::1]:/x", "udp:///x"})
        EXPECT_EQ(lg_.open(bad), -1) << (bad ? bad : "null");
    EXPECT_EQ(open("/"), -1);  // empty path
    EXPECT_FALSE(lg_.isopen());

    // A refused reopen keeps the open socket.
    ASSERT_EQ(open("/simu1"), 0);
    EXPECT_EQ(open(""), -1);  // no path
    EXPECT_GT(lg_.wlog(10, "still"), 0);
    EXPECT_EQ(next(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"simu1\"}\nstill");
    lg_.shutdown();
    EXPECT_EQ(lg_.wlog(10, "x"), -1);
    lg_.shutdown();  // twice is harmless
}

// The cabin is the path without blanks; 127 bytes or more leave it empty.
// A missing port means 999; "level=WORD" in the query sets the level.
TEST_F(UdplogTest, UrlGivesCabinPortAndLevel) {
    const std::string here = "udp://127.0.0.1:" + std::to_string(sink_.port());
    const std::string c126(126, 'c'), c127(127, 'c');
    const struct {
        std::string url;
        const char* cabin;
        int port;   // 0: the sink's
        int level;  // after setlevel(30)
    } rows[] = {
        {"udp://127.0.0.1/simu1", "simu1", 999, 30},
        {" \t" + here + "/ si\tmu2 ", "simu2", 0, 30},
        {here + "/" + c126, c126.c_str(), 0, 30},
        {here + "/" + c127, "", 0, 30},
        {here + "/s?level=dbg", "s", 0, 40},
        {here + "/s?LEVEL = 31", "s", 0, 31},
        {here + "/s?&&level==err&x=1", "s", 0, 10},        // empty tokens skipped
        {here + "/s?level=0123456789abcdef", "s", 0, 30},  // 16 characters: too long
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url);
        lg_.setlevel(30);
        ASSERT_EQ(lg_.open(r.url.c_str()), 0);
        EXPECT_STREQ(lg_.cabin(), r.cabin);
        EXPECT_EQ(lg_.destport(), r.port ? r.port : sink_.port());
        EXPECT_EQ(lg_.getlevel(), r.level);
    }
    ASSERT_EQ(lg_.open(rows[3].url.c_str()), 0);
    EXPECT_EQ(lg_.wlog(10, "z"), 40);
    EXPECT_EQ(next(), "{\"order\":\"wlog\",\"level\":10,\"cabin\":\"\"}\nz");
}

// Lines at or below the echo level go to standard error, open or not and
// whatever the level: one line each, without the line breaks around the
// text, at most 511 bytes.
TEST_F(UdplogTest, EchoedLinesGoToStandardErrorOneLineEach) {
    lg_.echo(20);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lg_.wlog(10, "\r\nfirst\n"), -1);  // closed
    lg_.wlog(30, "not echoed");
    lg_.wlog(20, "%s", std::string(600, 'x').c_str());
    lg_.echo(0);
    lg_.wlog(10, "off");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "first\n" + std::string(511, 'x') + "\n");
}

TEST_F(UdplogTest, LineOf30720BytesIsDroppedWhole) {
    ASSERT_EQ(open("/simu1"), 0);
    const int head = 44;  // the wlog header with level 10 and cabin simu1
    std::string fits(zo::udplog::maxdatagram - 1 - head, 't');
    std::string over = fits + "t";
    EXPECT_EQ(lg_.wlog(10, "%s", over.c_str()), -1);
    EXPECT_EQ(lg_.wlog(10, "%s", fits.c_str()), zo::udplog::maxdatagram - 1);
    std::string got = next();
    ASSERT_EQ(got.size(), size_t(zo::udplog::maxdatagram - 1));  // not the dropped one
    EXPECT_EQ(got.substr(head), fits);
    // A tag long enough to fill the header alone.
    std::string tag(zo::udplog::maxdatagram, 'g');
    EXPECT_EQ(vwlog(10, tag.c_str(), "x"), -1);
}

}  // namespace
