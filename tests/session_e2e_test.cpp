// End-to-end test of the session with the IO server: the built Quorvane
// program (ZO_BIN) runs as a child process in a private program directory
// against an IO server played by this test on loopback, with a SQLite
// database of its own, and is ended by the IO server's exit order.
//
// Every wait is bounded (against hanging only); nothing here asserts how
// long anything took.
#include <signal.h>

#include <chrono>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

class sessione2e : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(pd.make("session_e2e_", &err)) << err;
        // The database directory does not exist yet: the library keeps
        // trying until the test creates it, so the connection comes while the
        // session is logged in.
        dbpath = (pd.dir() / "db" / "rt.db").string();
        dburl = "sqlite://localhost" + dbpath;
        ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl, ""));
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(io.port(), 0);
        inst = uniquename("se");
    }

    void spawn() {
        runopts o;
        o.out = runopts::discard;
        ASSERT_TRUE(
            prog.start(pd.program(), {ipcurl(io.port()), logsrv.url(), inst, "e2e.ini", "dbg"}, o));
    }

    // Logs in and answers the login; checks the request.
    void login(uint32_t loginval) {
        ASSERT_TRUE(io.acceptlogin()) << logsrv.dump();
        EXPECT_EQ(io.loginhead.ver, 300u);
        EXPECT_EQ(io.loginhead.seqno, 1u);
        EXPECT_EQ(str(io.loginreq.f121), inst);
        EXPECT_EQ(io.loginreq.f125, 2u);
        EXPECT_EQ(io.loginreq.f133, 50u);
        ASSERT_TRUE(io.answerlogin(0, "", loginval));
        EXPECT_TRUE(logsrv.waitfor("login io-server success.")) << logsrv.dump();
    }

    progdir pd;
    std::string dbpath, dburl, inst;
    udpsink logsrv;
    ioserver io;
    child prog;
};

TEST_F(sessione2e, ValuesSoeControlTagsRunInformationAndExitOrder) {
    spawn();
    login(5);

    // Run information while the database is away: field 172 is 3.
    pb3head head;
    zo::string pkg;
    ASSERT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
    runinfoarray info(67);
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
    ASSERT_EQ(info.items.size(), 1u);
    EXPECT_EQ(str(info.items[0].f160), inst);
    EXPECT_EQ(info.items[0].f161, 5u);
    EXPECT_EQ(info.items[0].f162, static_cast<uint32_t>(prog.pid));
    EXPECT_EQ(info.items[0].f163, 0u);  // the first report
    EXPECT_GT(info.items[0].f165, 0u);
    EXPECT_GT(info.items[0].f167, 0u);
    EXPECT_GE(info.items[0].f168, info.items[0].f167);
    EXPECT_EQ(info.items[0].f170, 2u);
    EXPECT_EQ(info.items[0].f171, 50u);
    EXPECT_EQ(info.items[0].f172, 3u);
    uint64_t lasttime = info.items[0].f168;

    // The database comes: run information with 172 = 0, then in the same
    // pass the request for the write tags, right behind it.  The run
    // information of every second is a stream of its own: one may already
    // say 172 = 0 in a pass before the one that takes the change.
    fs::create_directories(pd.dir() / "db");
    bool connected = false;
    bool lastwasconnectedinfo = false;
    uint32_t lastseq = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(io.next(&head, &pkg)) << logsrv.dump();
        if (head.funid == 3211) {
            ASSERT_TRUE(connected) << "write tags asked for before the database came";
            EXPECT_TRUE(lastwasconnectedinfo) << "no run information right before it";
            EXPECT_EQ(head.seqno, lastseq + 1);
            break;
        }
        ASSERT_EQ(head.funid, 3206u);
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
        EXPECT_GE(info.items[0].f168, lasttime);
        lasttime = info.items[0].f168;
        lastwasconnectedinfo = info.items[0].f172 == 0;
        if (lastwasconnectedinfo) {
            connected = true;
            EXPECT_EQ(str(info.items[0].f169), dburl);
        } else {
            EXPECT_FALSE(connected) << "the database went away again";
        }
        lastseq = head.seqno;
    }
    ASSERT_EQ(head.funid, 3211u) << logsrv.dump();

    // The IO server answers with the control tags.
    unkownbody reg;
    reg.strs.append(zo::string("ctl.a"));
    reg.strs.append(zo::string("ctl.b"));
    ASSERT_TRUE(io.send(3212, reg));
    EXPECT_EQ(waitrows(dbpath, "SELECT name FROM ctrltags ORDER BY name", 2),
              (std::vector<std::string>{"ctl.a", "ctl.b"}));

    // Tag values: a raw package, an LZ4 one, one split across two sends,
    // two in one send.
    int64_t t = 1700000000000LL;
    tagvalarray raw;
    raw.items.append(intvalue("e2e.raw1", 11, t));
    tagval d;
    d.name = "e2e.dbl";
    d.time = t;
    d.vtype = 5;
    d.vdouble = 2.5;
    raw.items.append(std::move(d));
    ASSERT_TRUE(io.send(3202, raw));

    tagvalarray big;
    for (int i = 0; i < 60; ++i) big.items.append(intvalue("e2e.lz" + std::to_string(i), i, t));
    std::string lz = package(3204, big, ++io.seq);
    pb3head lzhead;
    ASSERT_TRUE(pkgpb3::parsehead(lz.data(), static_cast<uint32_t>(lz.size()), lzhead));
    ASSERT_EQ(lzhead.encode, 1u);
    ASSERT_TRUE(io.sendbytes(lz));

    tagvalarray cut;
    cut.items.append(intvalue("e2e.cut", 33, t));
    std::string c = package(3208, cut, ++io.seq);
    ASSERT_TRUE(io.sendbytes(c.substr(0, 13)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(io.sendbytes(c.substr(13)));

    tagvalarray two1, two2;
    two1.items.append(intvalue("e2e.two1", 41, t));
    two2.items.append(intvalue("e2e.two2", 42, t));
    std::string first = package(3202, two1, ++io.seq);
    ASSERT_TRUE(io.sendbytes(first + package(3202, two2, ++io.seq)));

    std::vector<std::string> snaps = waitrows(
        dbpath, "SELECT name, value FROM snapshot WHERE name GLOB 'e2e.*' ORDER BY name", 65);
    std::map<std::string, std::string> byname;
    for (const auto& r : snaps) byname[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    EXPECT_EQ(byname.size(), 65u) << logsrv.dump();
    EXPECT_EQ(byname["e2e.raw1"], "11");
    EXPECT_EQ(byname["e2e.dbl"], "2.5");
    EXPECT_EQ(byname["e2e.lz0"], "0");
    EXPECT_EQ(byname["e2e.lz59"], "59");
    EXPECT_EQ(byname["e2e.cut"], "33");
    EXPECT_EQ(byname["e2e.two1"], "41");
    EXPECT_EQ(byname["e2e.two2"], "42");

    // An SOE record.
    soearray soe;
    soerec* s = soe.items.emplace();
    ASSERT_NE(s, nullptr);
    s->f236 = "breaker.7";
    s->f230 = 123456789;
    s->f231 = 3;
    ASSERT_TRUE(io.send(3210, soe));
    EXPECT_EQ(waitrows(dbpath, "SELECT f236, f230, f231 FROM soe", 1),
              (std::vector<std::string>{"breaker.7|123456789|3"}));

    // Operators write both control tags: the values come back as 3214.
    ASSERT_TRUE(sqlexec(dbpath,
                        "INSERT INTO ctrlwrites(name, time, type, value) VALUES "
                        "('ctl.a', 1700000000000, 1, 42), ('ctl.b', 1700000000000, 5, 1.25)"));
    std::map<std::string, tagval> ctrl;
    while (ctrl.size() < 2) {
        ASSERT_TRUE(io.nextof(3214, &head, &pkg)) << logsrv.dump();
        tagvalarray out;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, out));
        for (auto& v : out.items) ctrl[str(v.name)] = std::move(v);
    }
    EXPECT_EQ(ctrl["ctl.a"].vtype, 1u);
    EXPECT_EQ(ctrl["ctl.a"].vint, 42);
    EXPECT_EQ(ctrl["ctl.b"].vtype, 5u);
    EXPECT_EQ(ctrl["ctl.b"].vdouble, 1.25);

    // The exit order ends the process in order, with exit code 0.
    unkownbody order;
    order.vi32 = 91;
    ASSERT_TRUE(io.send(2004, order));
    ASSERT_TRUE(prog.wait()) << logsrv.dump();
    EXPECT_TRUE(prog.exitedzero());
    EXPECT_TRUE(logsrv.waitfor("stopped gracefully.\n")) << logsrv.dump();
    EXPECT_TRUE(logsrv.has("read ctrl order PROCESS_CTRL_EXIT from io-server."));
    EXPECT_LT(logsrv.indexof("read ctrl order PROCESS_CTRL_EXIT from io-server."),
              logsrv.indexof("stopped gracefully.\n"));
}

// Values a plant really sends, on the whole road into the database and
// back: doubles and floats with all their digits, texts and names ending in
// backslashes (in a value, a tag-error response and a registration), control
// tags whose names a record could not carry back (an emoji, more than 79
// bytes in code page 936) next to ones it can, and a cache path ending in
// backslashes in the configuration.
TEST_F(sessione2e, EveryValueArrivesAsSent) {
    fs::create_directories(pd.dir() / "db");
    const std::string cache = (pd.dir() / "c").string();
    ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl, cache + "\\\\"));
    spawn();
    login(1);
    EXPECT_TRUE(logsrv.waitfor("create local cache " + cache + "/ success.")) << logsrv.dump();
    // Registrations count only once the link has the database: run
    // information says so (172 = 0).
    pb3head head;
    zo::string pkg;
    runinfoarray info(67);
    do {
        ASSERT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
    } while (info.items.empty() || info.items[0].f172 != 0);

    const std::string bs = "ctl.a\\", han = "\xe6\xb5\x8b\xe8\xaf\x95";
    const std::string emoji = "emo\xf0\x9f\x98\x80", longname(80, 'n');
    unkownbody reg;
    for (const std::string& n : {bs, han, emoji, longname}) reg.strs.append(zo::string(n));
    ASSERT_TRUE(io.send(3212, reg));
    EXPECT_EQ(waitrows(dbpath, "SELECT name FROM ctrltags ORDER BY name", 2),
              (std::vector<std::string>{bs, han}));
    for (const std::string& n : {emoji, longname}) {
        EXPECT_TRUE(until([&] {
            logsrv.receive(0);
            return logsrv.findfrom("ctrl tag " + n + " refused: ", 0) >= 0;
        })) << logsrv.dump();
    }

    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        uint32_t vtype;
        double v;
        double stored;
    } reals[] = {
        {"r.digits", 5, 0.123456789012345, 0.123456789012345},
        {"r.big", 5, 1013.2512345678, 1013.2512345678},
        {"r.small", 5, 1.5e-6, 1.5e-6},
        {"r.neginf", 5, -inf, -inf},
        {"r.float", 3, 0.1, static_cast<double>(0.1f)},
        {"r.floatdigits", 3, 1013.2512345678, static_cast<double>(1013.2512345678f)},
    };
    tagvalarray vals;
    for (const auto& r : reals) {
        tagval t;
        t.name = r.name;
        t.time = 1700000000000LL;
        t.vtype = r.vtype;
        t.vdouble = r.v;
        vals.items.append(std::move(t));
    }
    tagval nan, text, bad;
    nan.name = "r.nan";
    nan.vtype = 5;
    nan.vdouble = std::numeric_limits<double>::quiet_NaN();
    text.name = "txt\\";
    text.vtype = 6;
    text.vbytes = "C:\\data\\";
    bad.name = "bad\\\\";
    bad.vtype = 9;  // no such type: the database answers with a tag error
    for (tagval* t : {&nan, &text, &bad}) vals.items.append(std::move(*t));
    ASSERT_TRUE(io.send(3202, vals));

    EXPECT_EQ(waitrows(dbpath, "SELECT value FROM history WHERE name = 'txt\\'", 1),
              (std::vector<std::string>{"C:\\data\\"}))
        << logsrv.dump();
    for (const auto& r : reals) {
        double got = 0;
        EXPECT_TRUE(sqlreal(
            dbpath, std::string("SELECT value FROM history WHERE name = '") + r.name + "'", &got))
            << r.name;
        EXPECT_EQ(got, r.stored) << r.name;
    }
    EXPECT_EQ(sqlone(dbpath, "SELECT typeof(value) FROM history WHERE name = 'r.nan'"), "null");
    EXPECT_TRUE(logsrv.waitfor("oxa_writesnaps tag bad\\\\ error 2")) << logsrv.dump();

    // Operators write all four; the two names a record cannot carry back are
    // in ctrltags only as an older library would have put them.
    std::string insert = "INSERT INTO ctrlwrites(name, time, type, value) VALUES ";
    int i = 0;
    for (const std::string& n : {bs, han, emoji, longname}) {
        ++i;
        insert += (i > 1 ? ",('" : "('") + n + "', 1700000000000, 1, " + std::to_string(i) + ")";
    }
    ASSERT_TRUE(sqlexec(
        dbpath, "INSERT INTO ctrltags VALUES ('" + emoji + "'), ('" + longname + "');" + insert));
    EXPECT_EQ(
        waitrows(dbpath, "SELECT name FROM ctrlwrites WHERE delivered = -1 ORDER BY value", 2),
        (std::vector<std::string>{emoji, longname}));
    std::map<std::string, int64_t> back;
    while (back.size() < 2) {
        ASSERT_TRUE(io.nextof(3214, &head, &pkg)) << logsrv.dump();
        tagvalarray out;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, out));
        for (auto& v : out.items) back[str(v.name)] = v.vint;
    }
    EXPECT_EQ(back, (std::map<std::string, int64_t>{{bs, 1}, {han, 2}}));
    EXPECT_TRUE(logsrv.waitfor("read value ctrl tag " + han)) << logsrv.dump();
    ASSERT_TRUE(prog.stop());
}

}  // namespace
