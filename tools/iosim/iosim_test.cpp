#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "base/env.h"
#include "gtest/gtest.h"
#include "tools/iosim/options.h"
#include "tools/iosim/simproto.h"
#include "tools/iosim/simserver.h"
#include "tools/iosim/valuegen.h"

namespace iosim {
namespace {

// ---- command line -------------------------------------------------------------

class ioargs : public ::testing::Test {
  protected:
    int parse(std::initializer_list<const char*> args) {
        const char* argv[32] = {"iosim"};
        int argc = 1;
        for (const char* a : args) argv[argc++] = a;
        o = simopts();
        return parseargs(argc, argv, &o, &err);
    }
    simopts o;
    zo::string err;
};

TEST_F(ioargs, everyoptioninbothforms) {
    ASSERT_EQ(0, parse({"--listen", "ipc://127.0.0.1:0", "--tags=7", "--rate", "0", "--types",
                        "2,7", "--soe-rate=0.5", "--ctrl-tags", "3", "--duration", "9",
                        "--exit-after=1.5", "--count", "12345678901", "--refuse-login", "-q"}));
    EXPECT_EQ("ipc://127.0.0.1:0", o.listen.view());
    EXPECT_EQ(std::make_tuple(7u, 0.0, 0.5, 3u, 9.0, 1.5, 12345678901ull),
              std::tie(o.tags, o.rate, o.soerate, o.ctrltags, o.duration, o.exitafter, o.count));
    EXPECT_EQ((typelist{2, 7}), o.types);
    EXPECT_EQ(std::make_tuple(true, true, false), std::tie(o.refuselogin, o.quiet, o.help));
}

TEST_F(ioargs, defaultsneverorderanexit) {
    ASSERT_EQ(0, parse({}));
    EXPECT_LT(o.exitafter, 0);
    EXPECT_EQ(std::make_tuple(0ull, 0.0), std::tie(o.count, o.duration));
    EXPECT_GT(o.rate, 0);
    ASSERT_EQ(0, parse({"--help"}));
    EXPECT_TRUE(o.help);
}

TEST_F(ioargs, badargumentsarerefusedwithareason) {
    struct {
        std::initializer_list<const char*> args;
        const char* says;
    } cases[] = {
        {{"--rate", "fast"}, "--rate"},
        {{"--rate", "-1"}, "--rate"},
        {{"--tags", "0"}, "--tags"},
        {{"--tags", "-3"}, "--tags"},
        {{"--tags", "12x"}, "--tags"},
        {{"--count", "-1"}, "--count"},
        {{"--types", "1,8"}, "--types"},
        {{"--types", "1,,3"}, "--types"},
        {{"--types", ""}, "--types"},
        {{"--listen", "tcp://1.2.3.4:5"}, "--listen"},
        {{"--exit-after", "nan"}, "--exit-after"},
        {{"--duration"}, "needs a value"},
        {{"--bogus", "1"}, "unknown option"},
        {{"stray"}, "unexpected argument"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(-1, parse(c.args)) << *c.args.begin();
        EXPECT_NE(std::string::npos, std::string(err.view()).find(c.says)) << err.c_str();
    }
}

// ---- generated values -----------------------------------------------------------

// Sends a through the package framing as the link carries it and decodes it
// again into b; the header read back goes to *head.
template <class array>
void relay(uint32_t funid, array& a, array* b, pb3head* head, bool* lz4 = nullptr) {
    zo::string pkg, err;
    ASSERT_TRUE(buildpkg(funid, 9, a, &pkg, lz4, &err)) << err.c_str();
    ASSERT_TRUE(readhead(pkg, head, &err)) << err.c_str();
    ASSERT_TRUE(pkgpb3::parsebody(pkg, *head, *b));
}

TEST(iovalues, namesandtypesfollowthetagnumber) {
    valuegen g(12, typelist{1, 3, 5, 6});
    zo::string s;
    valuegen::tagname(0, &s);
    EXPECT_EQ("iosim.t0001", s.view());
    valuegen::tagname(12344, &s);
    EXPECT_EQ("iosim.t12345", s.view());
    valuegen::ctrlname(2, &s);
    EXPECT_EQ("iosim.c0003", s.view());
    simval v;
    g.value(13, 5000, &v);  // tag 1, step 1
    EXPECT_EQ("iosim.t0002", v.name.view());
    EXPECT_EQ(3u, v.vtype);
    EXPECT_EQ(5000, v.time);
    g.value(27, 5000, &v);  // tag 3
    EXPECT_EQ(6u, v.vtype);
    EXPECT_NE(std::string::npos, std::string(v.vbytes.view()).find("iosim.t0004"));
}

TEST(iovalues, everytypesurvivesthelink) {
    valuegen g(7, typelist{1, 2, 3, 4, 5, 6, 7});
    bool negative32 = false, negative64 = false, zerobyte = false;
    for (uint64_t n = 0; n < 7 * 40; ++n) {
        simval v;
        g.value(n, 1700000000123LL, &v);
        tagvalarray a(tagval::itemfield), b(tagval::itemfield);
        filltagval(v, a.items.emplace());
        pb3head head;
        bool lz4 = true;
        relay(fn_values, a, &b, &head, &lz4);
        EXPECT_FALSE(lz4);
        ASSERT_EQ(1u, b.items.size());
        const tagval& t = b.items[0];
        EXPECT_EQ(v.name.view(), t.name.view());
        EXPECT_EQ(v.time, t.time);
        EXPECT_EQ(v.quality, t.quality);
        EXPECT_EQ(v.vtype, t.vtype);
        switch (v.vtype) {
            case 1:
            case 2:
                // Sign-extended 32-bit values: what the database keeps.
                EXPECT_GE(v.vint, -1000);
                EXPECT_LE(v.vint, 1000);
                EXPECT_EQ(v.vint, t.vint);
                negative32 |= v.vint < 0;
                break;
            case 4:
                EXPECT_EQ(v.vint, t.vint);
                negative64 |= v.vint < 0;
                break;
            case 3:
                // Narrowing to the database's float loses nothing.
                EXPECT_EQ(v.vdouble, static_cast<double>(static_cast<float>(t.vdouble)));
                break;
            case 5:
                EXPECT_EQ(v.vdouble, t.vdouble);
                break;
            default:
                EXPECT_EQ(v.vbytes.view(), t.vbytes.view());
                ASSERT_FALSE(v.vbytes.empty());
                // A bytes value with a zero byte must keep it.
                zerobyte |= v.vtype == 7 && v.vbytes.size() >= 2 && v.vbytes[0] == 0;
                break;
        }
    }
    EXPECT_TRUE(negative32);
    EXPECT_TRUE(negative64);
    EXPECT_TRUE(zerobyte);
}

TEST(iovalues, soerecordsurvivesthelink) {
    valuegen g(3, typelist{5});
    simsoe s;
    g.soe(17, 1700000000456LL, &s);
    EXPECT_EQ("iosim.soe0002", s.f236.view());
    EXPECT_EQ(456u, s.f235);
    soearray a(soerec::itemfield), b(soerec::itemfield);
    fillsoe(s, a.items.emplace());
    pb3head head;
    relay(fn_soe, a, &b, &head);
    EXPECT_EQ(fn_soe, head.funid);
    EXPECT_EQ(9u, head.seqno);
    ASSERT_EQ(1u, b.items.size());
    EXPECT_EQ(s.f230, b.items[0].f230);
    EXPECT_EQ(s.f231, b.items[0].f231);
    EXPECT_EQ(s.f237.view(), b.items[0].f237.view());
    EXPECT_EQ(s.f240, b.items[0].f240);
}

// ---- printed lines ---------------------------------------------------------------

TEST(ioformat, runinfolinereadsashare) {
    runinfo r;
    r.f160.assign(std::string_view("demo"));
    r.f161 = 3;
    r.f162 = 4711;
    r.f163 = 2507;
    r.f165 = 3u << 20;
    r.f166 = 1000;
    r.f167 = 5000;
    r.f168 = 21000;
    r.f169.assign(std::string_view("sqlite://localhost/tmp/rt.db"));
    r.f172 = 3;
    zo::string s;
    formatruninfo(r, &s);
    EXPECT_EQ(
        "runinfo demo pid=4711 cpu=25.07% mem=3.0MiB db=sqlite://localhost/tmp/rt.db "
        "dbstate=disconnected up=20s login=16s loginval=3",
        s.view());
    r.f172 = 0;
    r.f169.clear();
    s.clear();
    formatruninfo(r, &s);
    EXPECT_NE(std::string::npos, std::string(s.view()).find("db=- dbstate=connected"));
}

TEST(ioformat, controlvalueshowsthevalueofitstype) {
    tagval t;
    t.name.assign(std::string_view("iosim.c0001"));
    t.quality = 192;
    t.time = 170000000000000LL;
    auto line = [&] {
        zo::string s;
        formatctrl(t, &s);
        return std::string(s.view());
    };
    t.vtype = 5;
    t.vdouble = 42.5;
    EXPECT_EQ("ctrl iosim.c0001 = 42.5 (type 5, quality 192, time 170000000000000)", line());
    t.vtype = 1;
    t.vint = 0xFFFFFFFFLL;  // what a 32-bit -1 looks like unextended
    EXPECT_NE(std::string::npos, line().find("= -1 (type 1"));
    t.vtype = 3;
    t.vdouble = 0.1f;
    EXPECT_NE(std::string::npos, line().find("= 0.1 (type 3"));
    t.vtype = 6;
    t.vbytes.assign(std::string_view("on\n\"x\""));
    EXPECT_NE(std::string::npos, line().find("= \"on\\x0A\\\"x\\\"\" (type 6"));
    t.vtype = 7;
    t.vbytes.assign(std::string_view("\x00\xff", 2));
    EXPECT_NE(std::string::npos, line().find("= 0x00FF (type 7"));
    t.vtype = 0;
    EXPECT_NE(std::string::npos, line().find("(no value)"));
}

// ---- a Quorvane stand-in on loopback ----------------------------------------------

// A blocking client that speaks the link the way Quorvane does.
class linkclient {
  public:
    ~linkclient() { close(); }
    bool connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return false;
        // Only a guard against a hung test, not a timing expectation.
        timeval tv{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool sendraw(const void* p, size_t n) {
        return ::send(fd_, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }
    bool sendbody(uint32_t funid, zo::cls_protoc3<zo::string>& body) {
        zo::string pkg, err;
        if (!buildpkg(funid, ++seq_, body, &pkg, nullptr, &err)) return false;
        return sendraw(pkg.data(), pkg.size());
    }
    bool login() {
        loginbody b;
        b.f121.assign(std::string_view("simu1"));
        b.f125 = 2;
        b.f133 = 50;
        return sendbody(fn_login, b);
    }
    // Connects, logs in and reads the login reply.
    bool loginon(uint16_t port, loginbody* reply) {
        zo::string pkg;
        pb3head head;
        return connect(port) && login() && next(&pkg, &head) && head.funid == fn_loginreply &&
               pkgpb3::parsebody(pkg, head, *reply);
    }
    // The next whole package; false on EOF, error or the guard time-out.
    bool next(zo::string* pkg, pb3head* head) {
        for (;;) {
            int r = pkgpb3::splitpkg(split_, nullptr, 0, *pkg);
            if (r == 1) {
                zo::string err;
                head->clear();
                return readhead(*pkg, head, &err);
            }
            if (r < 0) return false;
            char buf[16384];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return false;
            split_.feed(buf, static_cast<uint32_t>(n));
        }
    }
    // True when the peer closed the connection (read returns 0).
    bool closedbypeer() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
    uint32_t seq_ = 0;
    pkgsplit split_;
};

class ioloop : public ::testing::Test {
  protected:
    void SetUp() override { o_.listen.assign(std::string_view("ipc://127.0.0.1:0")); }
    void start() {
        out_ = std::tmpfile();
        ASSERT_NE(nullptr, out_);
        srv_ = new simserver(o_, out_);
        zo::string err;
        ASSERT_EQ(0, srv_->open(&err)) << err.c_str();
        ASSERT_NE(0, srv_->port());
        th_ = std::thread([this] { rc_ = srv_->run(); });
    }
    void TearDown() override {
        if (srv_) {
            srv_->stop();
            if (th_.joinable()) th_.join();
            delete srv_;
        }
        if (out_) std::fclose(out_);
    }
    // Everything the server printed so far.  Call after the thread ended.
    std::string printed() {
        std::string s;
        std::rewind(out_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) s.append(buf, n);
        return s;
    }
    // Reads packages until values_ and soe_ reach the wanted counts; every
    // value must be the one the generator makes for its place in the run.
    // Other packages fail the test unless others is set.
    void take(linkclient& c, uint64_t wantvalues, uint64_t wantsoe, bool others = false) {
        valuegen gen(o_.tags, o_.types);
        zo::string pkg;
        pb3head head;
        while (values_ < wantvalues || soe_ < wantsoe) {
            ASSERT_TRUE(c.next(&pkg, &head)) << "values " << values_ << " soe " << soe_;
            if (head.funid == fn_values) {
                (head.encode ? lz4_ : raw_) += 1;
                tagvalarray a(tagval::itemfield);
                ASSERT_TRUE(pkgpb3::parsebody(pkg, head, a));
                for (const tagval& t : a.items) {
                    simval want;
                    gen.value(values_++, 0, &want);
                    ASSERT_EQ(want.name.view(), t.name.view());
                    ASSERT_EQ(want.vtype, t.vtype);
                    ASSERT_EQ(want.vint, t.vint);
                    ASSERT_EQ(want.vdouble, t.vdouble);
                    ASSERT_EQ(want.vbytes.view(), t.vbytes.view());
                    // Many values of a tag leave in one (frozen) millisecond:
                    // their times still strictly increase.
                    int64_t& last = lasttime_[std::string(t.name.view())];
                    ASSERT_GT(t.time, last) << std::string(t.name.view());
                    last = t.time;
                }
            } else if (head.funid == fn_soe) {
                soearray a(soerec::itemfield);
                ASSERT_TRUE(pkgpb3::parsebody(pkg, head, a));
                soe_ += a.items.size();
            } else if (!others) {
                FAIL() << "unexpected funid " << head.funid;
            }
        }
    }

    zo::fakeclockenv clock_{1700000000000LL};
    zo::scopedenv env_{&clock_};
    simopts o_;
    simserver* srv_ = nullptr;
    FILE* out_ = nullptr;
    std::thread th_;
    int rc_ = -1;
    uint64_t values_ = 0, soe_ = 0, raw_ = 0, lz4_ = 0;
    std::map<std::string, int64_t> lasttime_;  // per tag name
};

TEST_F(ioloop, fullsessionendswiththeexitorder) {
    o_.tags = 10;
    o_.types = typelist{1, 3, 5, 6, 7};
    o_.rate = 100;
    o_.count = 100;
    o_.soerate = 2;
    o_.ctrltags = 3;
    o_.exitafter = 5;
    start();

    linkclient c;
    loginbody reply;
    ASSERT_TRUE(c.loginon(srv_->port(), &reply));
    EXPECT_EQ(0u, reply.retcode);
    EXPECT_NE(0u, reply.f95);
    zo::string pkg;
    pb3head head;
    ASSERT_TRUE(c.next(&pkg, &head));
    ASSERT_EQ(fn_regtags, head.funid);
    unkownbody regs;
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, regs));
    ASSERT_EQ(3u, regs.strs.size());
    EXPECT_EQ("iosim.c0001", regs.strs[0].view());
    EXPECT_EQ("iosim.c0003", regs.strs[2].view());

    // One simulated second brings most of the hundred values and two SOE
    // records; the rest leaves once the partial batch has waited.
    clock_.advancems(1000);
    take(c, 96, 2);
    clock_.advancems(600);
    take(c, 100, 3);
    EXPECT_EQ(100u, values_);
    EXPECT_GT(raw_, 0u);
    EXPECT_GT(lz4_, 0u);

    // What Quorvane reports back: run information, two control values, and
    // the request for the write tags, which is answered with the list.
    runinfoarray ri(runinfo::itemfield);
    runinfo* r = ri.items.emplace();
    r->f160.assign(std::string_view("simu1"));
    r->f163 = 125;
    r->f172 = 0;
    ASSERT_TRUE(c.sendbody(fn_runinfo, ri));
    tagvalarray ctrl(tagval::itemfield);
    tagval* t = ctrl.items.emplace();
    t->name.assign(std::string_view("iosim.c0001"));
    t->vtype = 5;
    t->vdouble = 42.5;
    t = ctrl.items.emplace();
    t->name.assign(std::string_view("iosim.c0002"));
    t->vtype = 1;
    t->vint = 7;
    ASSERT_TRUE(c.sendbody(fn_dbctrlout, ctrl));
    unkownbody get;
    ASSERT_TRUE(c.sendbody(fn_regwtagget, get));
    ASSERT_TRUE(c.next(&pkg, &head));
    ASSERT_EQ(fn_regtags, head.funid);

    // At five simulated seconds after the login: the exit order.
    clock_.advancems(3400);
    do {
        ASSERT_TRUE(c.next(&pkg, &head));
    } while (head.funid == fn_soe);
    ASSERT_EQ(fn_ctrlorder, head.funid);
    unkownbody order;
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, order));
    EXPECT_EQ(91u, order.vi32);

    // Quorvane leaves; that ends the run.
    c.close();
    th_.join();
    EXPECT_EQ(0, rc_);
    std::string text = printed();
    EXPECT_NE(std::string::npos, text.find("iosim: ctrl iosim.c0001 = 42.5 (type 5"));
    EXPECT_NE(std::string::npos, text.find("iosim: ctrl iosim.c0002 = 7 (type 1"));
    EXPECT_NE(std::string::npos, text.find("iosim: runinfo simu1 pid=0 cpu=1.25%"));
    zo::string sum;
    srv_->summary(&sum);
    std::string counts(sum.view());
    EXPECT_EQ(0u, counts.find("iosim: sent values=100 soe="));
    for (const char* c : {" regs=2 ", " exits=1 ", " logins=1 ", " runinfo=1 ", " ctrlpkgs=1 ",
                          " ctrlvalues=2 ", " reggets=1 ", " bad=0 "}) {
        EXPECT_NE(std::string::npos, counts.find(c)) << c << " in " << counts;
    }
}

TEST_F(ioloop, refusedloginsendsnothingmore) {
    o_.refuselogin = true;
    o_.exitafter = 0;
    start();
    linkclient c;
    loginbody reply;
    ASSERT_TRUE(c.loginon(srv_->port(), &reply));
    EXPECT_NE(0u, reply.retcode);
    EXPECT_FALSE(reply.retmsg.empty());
    clock_.advancems(10000);
    // A second package would be a value or the exit order (due at once);
    // a refused peer gets neither, so the next thing it sees is the close.
    srv_->stop();
    EXPECT_TRUE(c.closedbypeer());
    th_.join();
    EXPECT_EQ(1u, srv_->stats().refused);
    EXPECT_EQ(0u, srv_->stats().values);
    EXPECT_EQ(0u, srv_->stats().exitorders);
}

TEST_F(ioloop, garbagedropstheconnectionandthenextpeerisserved) {
    o_.rate = 0;
    o_.count = 5;
    start();
    {
        linkclient bad;
        ASSERT_TRUE(bad.connect(srv_->port()));
        ASSERT_TRUE(bad.sendraw("GET / HTTP/1.0\r\n\r\n", 18));
        EXPECT_TRUE(bad.closedbypeer());
    }
    linkclient c;
    loginbody reply;
    ASSERT_TRUE(c.loginon(srv_->port(), &reply));
    EXPECT_EQ(0u, reply.retcode);
    EXPECT_EQ(2u, reply.f95);  // the second connection
    // --rate 0 needs no clock: the five values come at once.
    take(c, 5, 0, true);
    EXPECT_EQ(5u, values_);
    srv_->stop();
    th_.join();
    EXPECT_EQ(1u, srv_->stats().bad);
    EXPECT_EQ(2u, srv_->stats().connections);
}

}  // namespace
}  // namespace iosim
