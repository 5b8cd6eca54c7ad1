#include "ipc/ipcwrk.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "base/env.h"
#include "tests/support/testsupport.h"

namespace {

// A client that records its callbacks.  With capsend set, the socket seam
// takes at most sendcap more bytes and then reports EWOULDBLOCK (or
// failerrno, when set), keeping what it took in wire.
class client : public zo::ipcwrk {
  public:
    int connects = 0, disconnects = 0, timers = 0, recvdones = 0;
    std::vector<int32_t> chunks;
    std::string received;
    int32_t recvresult = 0;
    std::function<void()> whenconnected;

    bool capsend = false;
    size_t sendcap = 0;
    int failerrno = 0;
    std::string wire;

  protected:
    void onconnect() override {
        connects++;
        if (whenconnected) whenconnected();
    }
    void ondisconnect() override { disconnects++; }
    int32_t onrecv(const char* data, int32_t length) override {
        chunks.push_back(length);
        received.append(data, static_cast<size_t>(length));
        return recvresult;
    }
    void ontimer() override { timers++; }
    void onrecvdone() override { recvdones++; }
    ssize_t sendsome(const void* data, size_t length) override {
        if (failerrno) {
            errno = failerrno;
            return -1;
        }
        if (!capsend) return zo::ipcwrk::sendsome(data, length);
        size_t k = length < sendcap ? length : sendcap;
        if (k == 0) {
            errno = EWOULDBLOCK;
            return -1;
        }
        sendcap -= k;
        wire.append(static_cast<const char*>(data), k);
        return static_cast<ssize_t>(k);
    }
};

// A loopback listener on a free port; the caller closes it.
int listenon(uint16_t* port, int rcvbuf = 0, int backlog = 16) {
    zotest::heldport h(SOCK_STREAM, true, rcvbuf, backlog);
    if (h.port == 0) return -1;
    *port = static_cast<uint16_t>(h.port);
    int fd = h.fd;
    h.fd = -1;
    return fd;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + seed + i / 251) & 0xFF);
    return s;
}

class ipcwrktest : public ::testing::Test {
  protected:
    ipcwrktest() : clock_(1700000000000LL), scope_(&clock_) {}

    void SetUp() override {
        lfd_ = listenon(&port_);
        ASSERT_GE(lfd_, 0);
        c_.name.assign("t1", 2);
        c_.endpoint.ipv4.assign("127.0.0.1", 9);
        c_.endpoint.port = port_;
    }
    void TearDown() override {
        if (pfd_ >= 0) ::close(pfd_);
        if (lfd_ >= 0) ::close(lfd_);
    }

    // Passes until cond holds; false when it never did within the bound.
    bool passuntil(const std::function<bool()>& cond, int maxpasses = 200) {
        for (int i = 0; i < maxpasses; i++) {
            if (cond()) return true;
            c_.poll(&log_);
        }
        return cond();
    }

    // Connects the client and accepts the peer side (non-blocking).
    void connectpeer() {
        ASSERT_TRUE(passuntil([&] { return c_.state == 1; }));
        pfd_ = ::accept(lfd_, nullptr, nullptr);
        ASSERT_GE(pfd_, 0);
        ::fcntl(pfd_, F_SETFL, ::fcntl(pfd_, F_GETFL, 0) | O_NONBLOCK);
    }

    // Reads what the peer has without waiting; false on end or error.
    bool peerread(std::string* out) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(pfd_, buf, sizeof(buf), 0);
            if (n > 0) {
                out->append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            return false;
        }
    }

    void peerwrite(const std::string& s) {
        ASSERT_EQ(static_cast<ssize_t>(s.size()), ::send(pfd_, s.data(), s.size(), MSG_NOSIGNAL));
    }

    zo::fakeclockenv clock_;
    zo::scopedenv scope_;
    zotest::reclog log_;
    client c_;
    uint16_t port_ = 0;
    int lfd_ = -1;
    int pfd_ = -1;
};

TEST_F(ipcwrktest, ConnectCallsOnconnectOnceAndSendFromCallbackReachesPeer) {
    c_.whenconnected = [&] { EXPECT_EQ(5, c_.send("hello", 5, &log_)); };
    c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket());  // the first attempt is immediate
    EXPECT_EQ(1, c_.timers);
    connectpeer();
    EXPECT_EQ(1, c_.connects);
    EXPECT_EQ(clock_.nowsec(), c_.connecttime());
    std::string got;
    for (int i = 0; i < 100 && got.size() < 5; i++) {
        ASSERT_TRUE(peerread(&got));
        c_.poll(&log_);
    }
    EXPECT_EQ("hello", got);
    EXPECT_EQ(1, c_.connects);
    EXPECT_EQ(0, c_.disconnects);
    EXPECT_EQ(POLLIN, c_.pollevents());  // nothing pending: no write interest
}

TEST_F(ipcwrktest, ReceiveHandsBytesToOnrecvAndMinusOneDrops) {
    connectpeer();
    peerwrite("abc");
    ASSERT_TRUE(passuntil([&] { return c_.received.size() == 3; }));
    EXPECT_EQ("abc", c_.received);
    EXPECT_EQ(1, c_.recvdones);

    c_.recvresult = -1;
    peerwrite("x");
    ASSERT_TRUE(passuntil([&] { return c_.disconnects == 1; }));
    EXPECT_EQ(1, log_.count("ipcwrk t1 disconnect as onrecv return -1"));
    EXPECT_EQ(1, c_.recvdones);
    EXPECT_EQ(0, c_.state);
    EXPECT_FALSE(c_.hassocket());
}

TEST_F(ipcwrktest, ReceivesAtMost30720BytesPerPassInOrder) {
    connectpeer();
    std::string data = pattern(100000, 7);
    size_t off = 0;
    for (int i = 0; i < 2000 && c_.received.size() < data.size(); i++) {
        if (off < data.size()) {
            ssize_t n = ::send(pfd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n > 0) off += static_cast<size_t>(n);
        }
        c_.poll(&log_);
    }
    ASSERT_EQ(data.size(), c_.received.size());
    EXPECT_TRUE(data == c_.received);
    EXPECT_GE(c_.chunks.size(), 4u);
    for (int32_t n : c_.chunks) EXPECT_LE(n, 30720);
}

TEST_F(ipcwrktest, PeerCloseGivesOneDisconnectAndTwoSecondWait) {
    connectpeer();
    ::close(pfd_);
    pfd_ = -1;
    ASSERT_TRUE(passuntil([&] { return c_.disconnects == 1; }));
    EXPECT_EQ(1, log_.count("ipcwrk t1 disconnect as peer close gracefully"));
    EXPECT_EQ(clock_.nowsec(), c_.disconnecttime());
    // The clock stands still: no new attempt, no second disconnect, and a
    // pass without socket still ticks the timer.
    int timers = c_.timers;
    for (int i = 0; i < 5; i++) c_.poll(&log_);
    EXPECT_FALSE(c_.hassocket());
    EXPECT_EQ(1, c_.disconnects);
    EXPECT_EQ(timers + 5, c_.timers);

    clock_.advancems(1000);
    c_.poll(&log_);
    EXPECT_FALSE(c_.hassocket());
    clock_.advancems(1000);
    c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket());
}

TEST_F(ipcwrktest, RefusedConnectIsLoggedAndRetriedTwoSecondsLater) {
    ::close(lfd_);  // nobody listens on the port any more
    lfd_ = -1;
    ASSERT_TRUE(passuntil([&] { return c_.disconnects == 1 || log_.count("connectasyn error"); }));
    EXPECT_EQ(1, log_.count("ipcwrk t1 disconnect as revents 0x") +
                     log_.count("ipcwrk t1 connectasyn error"));
    EXPECT_FALSE(c_.hassocket());
    size_t lines = log_.lines().size();
    for (int i = 0; i < 10; i++) c_.poll(&log_);
    EXPECT_EQ(lines, log_.lines().size());  // no attempt within the 2 s
    EXPECT_FALSE(c_.hassocket());

    clock_.advancems(2000);
    c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket() || log_.lines().size() > lines);
}

TEST_F(ipcwrktest, MissingAddressIsRefusedWithoutBusyRetry) {
    c_.endpoint.ipv4.clear();
    c_.poll(&log_);
    EXPECT_FALSE(c_.hassocket());
    EXPECT_EQ(1, log_.count("ipcwrk t1 connectasyn"));
    for (int i = 0; i < 5; i++) c_.poll(&log_);
    EXPECT_EQ(1, log_.count("ipcwrk t1 connectasyn"));
    clock_.advancems(2000);
    c_.poll(&log_);
    EXPECT_EQ(2, log_.count("ipcwrk t1 connectasyn"));
}

TEST_F(ipcwrktest, NoLoginWithinFifteenSecondsDropsTheConnection) {
    connectpeer();
    clock_.advancems(15000);
    for (int i = 0; i < 3; i++) c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket());  // 15 s is not more than 15 s
    EXPECT_EQ(0, log_.count("connect timeover"));

    clock_.advancems(1000);
    c_.poll(&log_);
    EXPECT_EQ(1, log_.count("ipcwrk t1 connect timeover"));
    EXPECT_FALSE(c_.hassocket());
    EXPECT_EQ(1, c_.disconnects);
    EXPECT_EQ(0, c_.state);
    EXPECT_EQ(clock_.nowsec(), c_.connecttime());

    c_.poll(&log_);
    EXPECT_FALSE(c_.hassocket());
    clock_.advancems(2000);
    c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket());
    EXPECT_EQ(clock_.nowsec(), c_.connecttime());
}

TEST_F(ipcwrktest, LoggedInConnectionHasNoTimeLimit) {
    connectpeer();
    c_.state = 2;
    clock_.advancems(600000);
    for (int i = 0; i < 3; i++) c_.poll(&log_);
    EXPECT_TRUE(c_.hassocket());
    EXPECT_EQ(0, c_.disconnects);
}

TEST_F(ipcwrktest, ConnectStillInProgressAlsoTimesOut) {
    // A backlog that is full leaves the next connect unanswered.
    ::close(lfd_);
    lfd_ = listenon(&port_, 0, 0);
    ASSERT_GE(lfd_, 0);
    c_.endpoint.port = port_;
    client fill[2];
    for (client& f : fill) {
        f.endpoint.ipv4.assign("127.0.0.1", 9);
        f.endpoint.port = port_;
        for (int i = 0; i < 5; i++) f.poll(nullptr);
    }
    for (int i = 0; i < 5; i++) c_.poll(&log_);
    if (c_.state != 0 || !c_.hassocket()) GTEST_SKIP() << "the platform completed the connect";
    clock_.advancems(16000);
    c_.poll(&log_);
    EXPECT_EQ(1, log_.count("ipcwrk t1 connect timeover"));
    EXPECT_FALSE(c_.hassocket());
    EXPECT_EQ(0, c_.connects);
}

TEST_F(ipcwrktest, SendWithoutConnectionFailsSilently) {
    EXPECT_EQ(-1, c_.send("x", 1, &log_));
    c_.poll(&log_);  // socket exists, connect not yet seen: still state 0
    EXPECT_EQ(-1, c_.send("x", 1, &log_));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ipcwrktest, PartialSendBuffersTheRestAndKeepsOrder) {
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 60000;
    std::string a = pattern(100000, 1);
    EXPECT_EQ(100000, c_.send(a.data(), a.size(), &log_));
    EXPECT_EQ(40000u, c_.pending());
    EXPECT_EQ(2u, c_.blockcount());
    EXPECT_EQ(32748u, c_.capacity());

    // Behind pending bytes a new message is buffered whole, never sent ahead.
    std::string b = pattern(10, 2);
    EXPECT_EQ(10, c_.send(b.data(), b.size(), &log_));
    EXPECT_EQ(40010u, c_.pending());
    EXPECT_EQ(60000u, c_.wire.size());

    c_.poll(&log_);
    EXPECT_EQ(POLLIN | POLLOUT, c_.pollevents());
    c_.sendcap = 1000000;
    ASSERT_TRUE(passuntil([&] { return c_.pending() == 0; }));
    EXPECT_TRUE(a + b == c_.wire);
    EXPECT_EQ(0u, c_.blockcount());
    EXPECT_GE(log_.count("ipcwrk t1 sendbuf send "), 1);
    c_.poll(&log_);
    EXPECT_EQ(POLLIN, c_.pollevents());
}

TEST_F(ipcwrktest, FlushThatEmptiesTheBufferStillBuffersTheNewBytes) {
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 0;
    std::string a = pattern(100, 3);
    EXPECT_EQ(100, c_.send(a.data(), a.size(), &log_));
    c_.sendcap = 1000;
    std::string b = pattern(50, 4);
    EXPECT_EQ(50, c_.send(b.data(), b.size(), &log_));
    EXPECT_EQ(a, c_.wire);
    EXPECT_EQ(50u, c_.pending());
}

// A peer that stops reading: packages are kept whole up to the limit, the
// ones that do not fit are refused whole, and the stream the peer gets later
// is exactly the accepted packages, none cut.
TEST_F(ipcwrktest, PackageThatDoesNotFitIsRefusedWholeAndTheStreamStaysWhole) {
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 1000;  // the socket takes part of the first package only
    std::string accepted;
    int refused = 0;
    for (unsigned i = 0; i < 12; i++) {
        std::string pkg = pattern((1 << 20) + i, i);
        int32_t n = c_.send(pkg.data(), pkg.size(), &log_);
        ASSERT_TRUE(n == 0 || n == static_cast<int32_t>(pkg.size())) << n;
        if (n) {
            accepted += pkg;
        } else {
            ++refused;
        }
        EXPECT_LE(c_.pending(), zo::ipcwrk::sendlimit);
    }
    EXPECT_EQ(refused, 12 - static_cast<int>(zo::ipcwrk::sendlimit >> 20));
    EXPECT_EQ(accepted.size(), c_.accepted());
    EXPECT_EQ(c_.wire.size(), c_.written());
    EXPECT_EQ(1, log_.count("ipcwrk t1 sendbuf full, package of "));
    EXPECT_EQ(1, c_.state);  // a full buffer does not drop the connection

    // The peer reads again: it gets the accepted packages and nothing else,
    // and the buffer says how many it refused meanwhile.
    c_.sendcap = 1u << 30;
    ASSERT_TRUE(passuntil([&] { return c_.pending() == 0; }));
    EXPECT_TRUE(accepted == c_.wire);
    EXPECT_EQ(c_.accepted(), c_.written());
    std::string small = pattern(10, 99);
    EXPECT_EQ(10, c_.send(small.data(), small.size(), &log_));
    EXPECT_EQ(1, log_.count("ipcwrk t1 sendbuf takes packages again, " + std::to_string(refused) +
                            " packages"));
    EXPECT_EQ(static_cast<uint64_t>(refused), c_.refused());
}

TEST_F(ipcwrktest, SmallSocketBuffersDeliverEveryByteInOrder) {
    ::close(lfd_);
    lfd_ = listenon(&port_, 4096);
    ASSERT_GE(lfd_, 0);
    c_.endpoint.port = port_;
    c_.sndbufsize = 4096;
    connectpeer();

    std::string data = pattern(1 << 20, 6);
    size_t chunk = 65536;
    for (size_t off = 0; off < data.size(); off += chunk) {
        ASSERT_EQ(static_cast<int32_t>(chunk), c_.send(data.data() + off, chunk, &log_));
        c_.poll(&log_);
    }
    EXPECT_GT(c_.pending(), 0u);  // the peer has not read: the rest waits here

    std::string got;
    for (int i = 0; i < 20000 && got.size() < data.size(); i++) {
        ASSERT_TRUE(peerread(&got));
        c_.poll(&log_);
    }
    ASSERT_EQ(data.size(), got.size());
    EXPECT_TRUE(data == got);
    EXPECT_EQ(0u, c_.pending());
    EXPECT_EQ(0, c_.disconnects);
}

TEST_F(ipcwrktest, OnePassHandlesOneEventKind) {
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 0;
    std::string a = pattern(100, 8);
    EXPECT_EQ(100, c_.send(a.data(), a.size(), &log_));
    peerwrite("zz");
    int avail = 0;
    for (int i = 0; i < 1000 && avail < 2; i++) ::ioctl(c_.socketfd(), FIONREAD, &avail);
    ASSERT_EQ(2, avail);
    c_.sendcap = 1000;
    c_.poll(&log_);  // writable and readable: this pass only flushes
    EXPECT_EQ(a, c_.wire);
    EXPECT_EQ("", c_.received);
    c_.poll(&log_);
    EXPECT_EQ("zz", c_.received);
}

TEST_F(ipcwrktest, SendErrorsDropTheConnection) {
    connectpeer();
    c_.failerrno = EPIPE;
    EXPECT_EQ(-1, c_.send("abc", 3, &log_));
    EXPECT_EQ(1, log_.count("ipcwrk t1 send failed, errno " + std::to_string(EPIPE)));
    EXPECT_EQ(1, c_.disconnects);
    EXPECT_EQ(0, c_.state);

    // A flush error inside a pass drops it too.
    c_.failerrno = 0;
    clock_.advancems(2000);
    ::close(pfd_);
    pfd_ = -1;
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 0;
    EXPECT_EQ(3, c_.send("abc", 3, &log_));
    c_.failerrno = ECONNRESET;
    ASSERT_TRUE(passuntil([&] { return c_.disconnects == 2; }));
    EXPECT_EQ(2, log_.count("ipcwrk t1 send failed, errno"));
}

TEST_F(ipcwrktest, BufferSurvivesDropAndIsDiscardedOnNextSocket) {
    connectpeer();
    c_.capsend = true;
    c_.sendcap = 0;
    EXPECT_EQ(3, c_.send("abc", 3, &log_));
    c_.close(&log_);
    EXPECT_EQ(1, c_.disconnects);
    c_.close(&log_);  // no socket: no second ondisconnect
    EXPECT_EQ(1, c_.disconnects);
    EXPECT_EQ(3u, c_.pending());
    clock_.advancems(2000);
    c_.poll(&log_);
    ASSERT_TRUE(c_.hassocket());
    EXPECT_EQ(1, log_.count("ipcwrk t1 3 bytes not sent before the last disconnect discarded"));
    EXPECT_EQ(0u, c_.pending());
    EXPECT_EQ(0u, c_.blockcount());
}

TEST(ipcwrkconnect, ErrnoSortsIntoThreeClasses) {
    EXPECT_EQ(zo::ipcwrk::connectinprogress, zo::ipcwrk::classifyconnect(EINPROGRESS));
    EXPECT_EQ(zo::ipcwrk::connectinprogress, zo::ipcwrk::classifyconnect(0));
    EXPECT_EQ(zo::ipcwrk::connectretry, zo::ipcwrk::classifyconnect(ECONNREFUSED));
    EXPECT_EQ(zo::ipcwrk::connectretry, zo::ipcwrk::classifyconnect(ENETUNREACH));
    EXPECT_EQ(zo::ipcwrk::connectfatal, zo::ipcwrk::classifyconnect(EACCES));
    EXPECT_EQ(zo::ipcwrk::connectfatal, zo::ipcwrk::classifyconnect(EAFNOSUPPORT));
}

}  // namespace
