// Tests of the session with the IO server and of the periodic reports.
// Received bytes are fed to onrecv directly; what the host sends goes through
// a real IPC client whose socket writes the test takes.  Clock and CPU
// figures are fakes; log lines arrive at a UDP sink on loopback.
#include "host/session.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/env.h"
#include "gtest/gtest.h"
#include "host/procstat.h"
#include "tests/udpsink.h"

namespace {

// A session whose link-facing calls can be watched.  Tag values go on to the
// real link instance's rings.
class testsession : public session {
  public:
    using session::session;

    std::vector<std::unique_ptr<regbody>> regs;
    std::vector<std::string> dbmsgs;
    std::vector<tagval> pendingctrl;  // handed out by the next drain
    int drains = 0;

  protected:
    size_t queuereg(regbody* b) override {
        regs.emplace_back(b);
        return regs.size();
    }
    void putdbmsg(const char* text, int length) override {
        dbmsgs.emplace_back(text, static_cast<size_t>(length));
    }
    size_t drainctrl(tagvalbody* body) override {
        ++drains;
        size_t n = pendingctrl.size();
        for (auto& v : pendingctrl) body->items.append(std::move(v));
        pendingctrl.clear();
        return n;
    }
};

// An IPC client handing its events to a session, as the host does.  What
// it writes to the socket is kept in sent instead (after the first skip
// bytes), and with socketfull set the socket takes nothing (a peer that
// stopped reading).
class testclient : public zo::ipcwrk {
  public:
    testsession* s = nullptr;
    bool socketfull = false;
    std::string sent;
    size_t skip = 0;

  protected:
    void onconnect() override { s->onconnect(); }
    int32_t onrecv(const char* data, int32_t length) override { return s->onrecv(data, length); }
    void ondisconnect() override { s->ondisconnect(); }
    void ontimer() override { s->ontimer(); }
    ssize_t sendsome(const void* data, size_t length) override {
        if (socketfull) {
            errno = EWOULDBLOCK;
            return -1;
        }
        size_t drop = std::min(skip, length);
        skip -= drop;
        sent.append(static_cast<const char*>(data) + drop, length - drop);
        return static_cast<ssize_t>(length);
    }
};

class fakeproc : public procstat::procsource {
  public:
    uint64_t system = 0, process = 0, rss = 0;
    bool cputimes(uint64_t* s, uint64_t* p) override {
        *s = system;
        *p = process;
        return true;
    }
    bool workingset(uint64_t* b) override {
        *b = rss;
        return true;
    }
};

tagval value(const char* name, int64_t v) {
    tagval t;
    t.name = name;
    t.vtype = 4;
    t.vint = v;
    return t;
}

zo::string makepackage(uint32_t funid, zo::cls_protoc3<zo::string>& body, uint32_t seqno = 7,
                       uint32_t subno = 0) {
    pb3head head;
    head.ver = 300;
    head.funid = funid;
    head.seqno = seqno;
    head.subno = subno;
    zo::string out;
    EXPECT_TRUE(pkgpb3::makepkg(head, body, out));
    return out;
}

// A package of values whose head says LZ4 without a size, which makepkg
// never makes.
std::string lz4withoutsize() {
    pb3head h;
    h.ver = 300;
    h.encode = 1;
    h.funid = 3202;
    zo::string enc;
    EXPECT_TRUE(h.serialize(enc));
    std::string p = std::string("\xF3\x79\x97", 3) + static_cast<char>(enc.size()) + "size";
    p += std::string(enc.view());
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<char>(p.size() >> (8 * i));
    return p;
}

// Fake clock, a log sink on loopback, and a session logging to it at level
// 40 over a client as after a completed connect.
class sessiontest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sink.ok());
        std::string url = sink.url() + "/sess";
        ASSERT_EQ(log.open(url.c_str()), 0);
        log.setlevel(zo::LOG_DBG);
        h.setinstname("simu1");
        c.s = &h;
        c.state = zo::ipcwrk::connected;
    }

    template <class bytes>
    int32_t feed(const bytes& p) {
        return h.onrecv(p.data(), static_cast<int32_t>(p.size()));
    }
    // Whether the session logged line: everything it logged so far has
    // arrived once a marker logged after it has (datagrams from one socket
    // over loopback keep their order).
    bool logged(const std::string& line) {
        std::string m = "marker " + std::to_string(++markers);
        log.wlog(zo::LOG_ERR, "%s", m.c_str());
        EXPECT_TRUE(sink.waitfor(m)) << sink.dump();
        return sink.has(line);
    }

    zo::fakeclockenv clock{1700000000000LL};
    zo::scopedenv env{&clock};
    udpsink sink;
    zo::udplog log;
    velmarinst link{&log};
    testclient c;
    testsession h{c, log, link};  // after the clock: its start time is a fake one
    int markers = 0;
};

TEST_F(sessiontest, PackageCutAtEveryOffsetIsDispatchedOnceWithItsLastByte) {
    tagvalbody b;
    for (int i = 0; i < 3; ++i) b.items.append(value(("t" + std::to_string(i)).c_str(), i));
    zo::string p = makepackage(3204, b);
    for (uint32_t cut = 1; cut < p.size(); ++cut) {
        h.newstream();
        ASSERT_EQ(h.onrecv(p.data(), static_cast<int32_t>(cut)), 0) << cut;
        ASSERT_EQ(h.counted().valsreceived, 3 * (cut - 1)) << cut;
        ASSERT_EQ(h.onrecv(p.data() + cut, static_cast<int32_t>(p.size() - cut)), 0) << cut;
        ASSERT_EQ(h.counted().valsreceived, 3 * cut) << cut;
    }
}

// Packages the session does not act on, each with its line: a head it
// cannot accept or decode, and bodies whose last byte is made invalid UTF-8
// inside a text field (only a login that does not decode drops the
// connection).  A tag-value body that does not decode is checked end to end
// (faults_e2e_test), with the same connection carrying on.
TEST_F(sessiontest, RefusedPackagesAreCountedAndLoggedOnlySomeDropTheConnection) {
    auto spoiled = [](const zo::string& p) {
        std::string s(p.view());
        s.back() = static_cast<char>(0xFF);
        return s;
    };
    unkownbody msg, empty;
    msg.vstr = "{\"cmd\":1}";
    loginbody login;
    login.retmsg = "xx";
    const struct {
        std::string bytes;
        int32_t result;
        const char* line;
    } rows[] = {
        {lz4withoutsize(), -1,
         "pb3msg_head error(ver = 300, encode = 1,srcsize = 0) from IOServer."},
        {std::string(makepackage(4242, empty).view()), 0,
         "unkown pb3 request funid = 4242 from zelserver."},
        // hdrlen 2 holding a key with wire type 7.
        {std::string("\xF3\x79\x97\x02\x0A\x00\x00\x00\x0F\x01", 10), -1,
         "parse pb3msg_head failed."},
        {spoiled(makepackage(3308, msg, 3, 1)), 0,
         "msg(funid=3308,seqno=3,subno=1) from zelserver parse body_unkown failed. string is not "
         "utf8 encode "},
        {spoiled(makepackage(2002, login)), -1,
         "parse pb3msg_body_login failed from zelserver. string is not utf8 encode "},
    };
    uint64_t refused = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        h.newstream();
        EXPECT_EQ(feed(r.bytes), r.result);
        EXPECT_EQ(h.counted().pkgsrefused, ++refused);
        EXPECT_TRUE(logged(r.line)) << sink.dump();
    }
    EXPECT_EQ(h.counted().pkgsreceived, refused);
    EXPECT_EQ(feed(makepackage(3308, msg, 3, 1)), 0);
    EXPECT_EQ(h.dbmsgs, std::vector<std::string>{"{\"cmd\":1}"});
}

// That registered tags reach the database is checked end to end
// (session_e2e_test); withdrawals are not.
TEST_F(sessiontest, RegistrationsKeepVi32WithdrawalsCarry3512) {
    unkownbody b;
    b.vi32 = 7;
    b.strs.append(zo::string("a.b"));
    b.strs.append(zo::string("c.d"));
    EXPECT_EQ(feed(makepackage(3212, b)), 0);
    EXPECT_EQ(feed(makepackage(3512, b)), 0);
    ASSERT_EQ(h.regs.size(), 2u);
    EXPECT_EQ(h.regs[0]->vi32, 7u);
    EXPECT_EQ(h.regs[1]->vi32, 3512u);
    EXPECT_TRUE(logged("putreagwtag tags 2, num_buf_pkgs = 1")) << sink.dump();
    EXPECT_TRUE(sink.has("putreagwtagdel tags 2, num_buf_pkgs = 2")) << sink.dump();
}

// With the packages the host sends.  The login request's fields and the
// run information's fixed fields are checked end to end (session_e2e_test);
// here: what only a fake clock, fake CPU figures and a socket that takes
// nothing can show.

class peersessiontest : public sessiontest {
  protected:
    void SetUp() override {
        sessiontest::SetUp();
        c.state = zo::ipcwrk::unconnected;
        ASSERT_GT(listener.port, 0);
        std::string url = "ipc://127.0.0.1:" + std::to_string(listener.port);
        ASSERT_TRUE(c.endpoint.parse(url.c_str()));
        c.name = "simu1";
        // Left over from an earlier connection: a new one must not see it.
        h.onrecv("\xF3\x79\x97\x00", 4);
        procstat::procsource::install(&proc);
        // The login request comes first on a connection.
        ASSERT_TRUE(next(&loginhead, &loginpkg));
        ASSERT_EQ(loginhead.funid, 2001u);
    }
    void TearDown() override { procstat::procsource::install(nullptr); }

    // The next package the host sends, running poll passes meanwhile; false
    // after a bound of passes (against hanging only).
    bool next(pb3head* head, zo::string* pkg) {
        for (int i = 0; i < 200; ++i) {
            fromhost.feed(c.sent.data(), static_cast<uint32_t>(c.sent.size()));
            c.sent.clear();
            if (pkgpb3::splitpkg(fromhost, nullptr, 0, *pkg) == 1) {
                return pkgpb3::parsehead(*pkg, *head);
            }
            c.poll(&log);
        }
        return false;
    }
    // The next package, which must be run information for one instance.
    void nextinfo(runinfoarray& info, pb3head& head, zo::string& pkg) {
        ASSERT_TRUE(next(&head, &pkg));
        ASSERT_EQ(head.funid, 3206u);
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
        ASSERT_EQ(info.items.size(), 1u);
    }
    void answerlogin() {
        loginbody reply;
        ASSERT_EQ(feed(makepackage(2002, reply, loginhead.seqno)), 0);
        ASSERT_EQ(c.state, zo::ipcwrk::loggedin);
    }

    heldport listener{SOCK_STREAM, true};
    pkgsplit fromhost;
    fakeproc proc;
    pb3head loginhead;
    zo::string loginpkg;
};

TEST_F(peersessiontest, RunInformationFollowsTheSecondsAndTheDatabaseState) {
    proc.system = 1000;
    proc.process = 100;
    proc.rss = 4096 * 3;
    // Before the login nothing is reported, and a change of the database
    // state is taken without a report.
    velmarinst::on_status(velmarinst::statusconnected, nullptr, &link);
    clock.advancems(1000);
    c.poll(&log);
    EXPECT_FALSE(link.takestatechanged());
    velmarinst::on_status(velmarinst::statusdisconnected, nullptr, &link);
    c.poll(&log);
    answerlogin();

    // Nothing until the clock reaches a new second.
    clock.advancems(1000);
    pb3head head;
    zo::string pkg;
    runinfoarray info(67);
    ASSERT_NO_FATAL_FAILURE(nextinfo(info, head, pkg));
    const runinfo& r = info.items[0];
    EXPECT_EQ(r.f165, 4096u * 3);
    EXPECT_EQ(r.f166, 1700000000000u);
    EXPECT_EQ(r.f167, static_cast<uint64_t>(h.logintime()));
    EXPECT_EQ(r.f168, static_cast<uint64_t>(clock.nowms()));

    // One busy processor of four since the last report.
    proc.system = 1400;
    proc.process = 200;
    clock.advancems(1000);
    ASSERT_NO_FATAL_FAILURE(nextinfo(info, head, pkg));
    EXPECT_EQ(info.items[0].f163, 2500u);

    // The database connects: at once run information with 172 = 0 and the
    // request for the write tags.
    velmarinst::on_status(velmarinst::statusconnected, nullptr, &link);
    ASSERT_NO_FATAL_FAILURE(nextinfo(info, head, pkg));
    EXPECT_EQ(info.items[0].f172, 0u);
    ASSERT_TRUE(next(&head, &pkg));
    EXPECT_EQ(head.funid, 3211u);

    // It drops: at once run information with 172 = 3.
    velmarinst::on_status(velmarinst::statusdisconnected, nullptr, &link);
    ASSERT_NO_FATAL_FAILURE(nextinfo(info, head, pkg));
    EXPECT_EQ(info.items[0].f172, 3u);
}

// Control values go out together, only while logged in.  A package that
// does not fit the send buffer is held whole, nothing more is drained
// meanwhile, and it goes first once there is room; one still in the buffer
// when the connection drops is counted as lost, with those dropped before
// the login.  That every write reaches the IO server once, however long it
// stops reading, is checked end to end (faults_e2e_test).
TEST_F(peersessiontest, ControlValuesAreHeldWhileTheBufferIsFullAndTheLostCounted) {
    h.pendingctrl.push_back(value("early", 1));
    h.ontimer();
    EXPECT_TRUE(h.pendingctrl.empty());
    EXPECT_TRUE(logged("dbctrlout dropped 1 records, io-server not logged in."));
    answerlogin();

    c.socketfull = true;
    const std::string filler(zo::ipcwrk::sendlimit - 10, 'f');
    ASSERT_EQ(c.send(filler.data(), filler.size(), &log), static_cast<int32_t>(filler.size()));
    h.pendingctrl.push_back(value("held", 1));
    h.pendingctrl.push_back(value("held2", -20));
    h.ontimer();
    EXPECT_TRUE(h.pendingctrl.empty());
    int drains = h.drains;
    h.pendingctrl.push_back(value("later", 2));
    h.ontimer();
    EXPECT_EQ(h.drains, drains);  // held values first: the store is left to fill
    EXPECT_EQ(h.pendingctrl.size(), 1u);

    // The peer reads again: the filler, then the held values, then the later one.
    c.socketfull = false;
    c.skip = filler.size();
    std::vector<std::string> names;
    pb3head head;
    zo::string pkg;
    while (names.size() < 3) {
        ASSERT_TRUE(next(&head, &pkg));
        if (head.funid != 3214u) continue;
        tagvalbody out;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, out));
        for (const tagval& t : out.items) names.emplace_back(t.name.view());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"held", "held2", "later"}));

    // A package taken but still in the buffer when the connection drops.
    c.socketfull = true;
    h.pendingctrl.push_back(value("cut", 3));
    h.ontimer();
    c.close(&log);
    EXPECT_TRUE(
        logged("dbctrlout lost 1 records in 1 packages not sent before the disconnect, 2 "
               "lost since start."));
}

// The machine's total is the first eight figures of the "cpu" line; the
// process's is utime + stime (fields 14 and 15, after a command name that
// may hold blanks and ')'); the working set is statm's second figure.
TEST(procstattest, ParsesTheProcTexts) {
    const std::string stat =
        "4242 (a) b) c) S 1 4242 4242 0 -1 4194560 100 0 0 0 17 5 0 0 20 0 1 0";
    const struct {
        bool (*parse)(std::string_view, uint64_t*);
        std::string text;
        uint64_t v;  // 0: refused
    } rows[] = {
        {procstat::parsesystemstat, "cpu  10 2 30 400 5 6 7 8 100 200\ncpu0 1 1 1 1 1 1 1 1 0 0\n",
         468},
        {procstat::parsesystemstat, "cpu 1 2 3 4\n", 10},  // four figures are enough
        {procstat::parsesystemstat, "cpu 1 2 3\n", 0},
        {procstat::parsesystemstat, "cpu0 1 2 3 4\n", 0},
        {procstat::parsesystemstat, "cpu 99999999999999999999 1 1 1\n", 0},
        {procstat::parseprocessstat, stat, 22},
        {procstat::parsestatm, "5000 1200 300 1 0 900 0\n", 1200},
        {procstat::parsestatm, "5000\n", 0},
    };
    for (const auto& r : rows) {
        uint64_t v = 0;
        EXPECT_EQ(r.parse(r.text, &v), r.v != 0) << r.text;
        EXPECT_EQ(v, r.v) << r.text;
    }
    uint64_t v = 0;
    for (size_t cut = 0; cut <= stat.find(" 5 0 0 20") + 1; ++cut) {
        EXPECT_FALSE(procstat::parseprocessstat(std::string_view(stat).substr(0, cut), &v)) << cut;
    }
}

}  // namespace
