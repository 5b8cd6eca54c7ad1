#include "tools/oxactl/ctl.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "oxaapi/oxaapi.h"
#include "oxaapi/pgserver_test.h"
#include "oxaapi/sqlitedb.h"
#include "oxaapi/testutil.h"

namespace {

using oxatest::query;

struct result {
    int code = -1;
    std::string out, err;
};

class oxactltest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        path = dir.file("rt.db");
        url = "sqlite://localhost" + path;
        oxa::sqlitedb db(path);
        ASSERT_EQ(db.open(), oxa::DB_OK) << db.error();
    }
    void sql(const std::string& s) { ASSERT_EQ(query(path, s), ""); }
    result ctl(std::vector<std::string> args) {
        args.insert(args.begin(), "oxactl");
        std::vector<const char*> argv;
        for (auto& a : args) argv.push_back(a.c_str());
        char *obuf = nullptr, *ebuf = nullptr;
        size_t olen = 0, elen = 0;
        FILE* out = open_memstream(&obuf, &olen);
        FILE* err = open_memstream(&ebuf, &elen);
        result r;
        r.code = oxactl::run(static_cast<int>(argv.size()), argv.data(), out, err);
        std::fclose(out);
        std::fclose(err);
        r.out.assign(obuf, olen);
        r.err.assign(ebuf, elen);
        free(obuf);
        free(ebuf);
        return r;
    }

    zotest::tmpdir dir;
    std::string path, url;
};

TEST_F(oxactltest, snapshotprintsanalignedtable) {
    sql("INSERT INTO snapshot VALUES('pump.speed', 1700000000123, 0, 5, 12.5),"
        "('pump.state', 1700000000000, 192, 6, 'running'), ('valve', 0, 0, 7, x'00ff'),"
        "('flow', 1, 0, 3, CAST(0.1 AS REAL))");
    result r = ctl({url, "snapshot"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "name        time                     quality  type  value\n"
              "flow        1970-01-01 00:00:00.001  0        3     0.1\n"
              "pump.speed  2023-11-14 22:13:20.123  0        5     12.5\n"
              "pump.state  2023-11-14 22:13:20.000  192      6     running\n"
              "valve       1970-01-01 00:00:00.000  0        7     0x00ff\n");
    r = ctl({url, "snapshot", "pump.*"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
}

TEST_F(oxactltest, jsonandcsvreadback) {
    sql("INSERT INTO snapshot VALUES('a/b', 5, 1, 7, x'0001'), ('q', 6, 0, 6, 'say \"hi\"'),"
        " ('a,b\\c', 0, 0, 6, 'x,\"y\"'), ('温度', 0, 0, 6, 'line1' || char(10) || 'line2')");
    result r = ctl({"--json", url, "snapshot", "[aq]*"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "{\"name\":\"a,b\\\\c\",\"time\":0,\"quality\":0,\"type\":6,\"value\":\"x,\\\"y\\\"\"}\n"
        "{\"name\":\"a\\/b\",\"time\":5,\"quality\":1,\"type\":7,\"value\":\"AAE=\"}\n"
        "{\"name\":\"q\",\"time\":6,\"quality\":0,\"type\":6,\"value\":\"say \\\"hi\\\"\"}\n");
    r = ctl({url, "snapshot", "--csv"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "name,time,quality,type,value\n"
              "\"a,b\\c\",1970-01-01 00:00:00.000,0,6,\"x,\"\"y\"\"\"\n"
              "a/b,1970-01-01 00:00:00.005,1,7,0x0001\n"
              "q,1970-01-01 00:00:00.006,0,6,\"say \"\"hi\"\"\"\n"
              "温度,1970-01-01 00:00:00.000,0,6,\"line1\nline2\"\n");
}

TEST_F(oxactltest, historysoeandctrltags) {
    sql("INSERT INTO history VALUES('t', 300, 0, 1, 3), ('t', 100, 0, 1, 1), "
        "('t', 200, 0, 1, 2), ('u', 150, 0, 1, 9)");
    result r = ctl({url, "history", "t", "--from", "100", "--to", "200", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"name\":\"t\",\"time\":100,\"quality\":0,\"type\":1,\"value\":1}\n"
              "{\"name\":\"t\",\"time\":200,\"quality\":0,\"type\":1,\"value\":2}\n");
    r = ctl({url, "history", "t", "--limit", "1", "--json"});
    EXPECT_EQ(r.out, "{\"name\":\"t\",\"time\":100,\"quality\":0,\"type\":1,\"value\":1}\n");

    sql("INSERT INTO soe(f230, f231, f232, f233, f234, f235, f236, f237, f238, f239, f240)"
        " VALUES(1, 2, 3, 4, 5, 6, 'dev', 'trip', 'bay 1', 7, 8)");
    r = ctl({url, "soe"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("1   1     2     3     4     5     6     dev   trip  bay 1  7     8"),
              std::string::npos)
        << r.out;

    sql("INSERT INTO ctrltags VALUES('c1'), ('c2')");
    sql("INSERT INTO ctrlwrites(name, time, type, value) VALUES('c1', 1, 1, 1)");
    r = ctl({url, "ctrltags"});
    EXPECT_EQ(r.out, "name  waiting\nc1    1\nc2    0\n");
}

TEST_F(oxactltest, writequeuesacontrolwrite) {
    sql("INSERT INTO snapshot VALUES('sp', 0, 0, 3, 1.0)");
    sql("INSERT INTO ctrltags VALUES('sp')");
    result r = ctl({url, "write", "sp", "0.1", "--quality", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // The type comes from the tag's snapshot: a float, kept as one.
    EXPECT_EQ(query(path,
                    "SELECT type || ',' || quality || ',' || (value = CAST(0.1 AS REAL))"
                    " || ',' || delivered FROM ctrlwrites"),
              "3,3,0,0");
    r = ctl({url, "write", "newtag", "7"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.err.find("not a registered control tag"), std::string::npos);
    EXPECT_EQ(query(path,
                    "SELECT type || ':' || typeof(value) FROM ctrlwrites WHERE name = "
                    "'newtag'"),
              "1:integer");
    r = ctl({url, "write", "b", "0x0aff", "--type", "7"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(query(path, "SELECT hex(value) FROM ctrlwrites WHERE name = 'b'"), "0AFF");
    r = ctl({url, "write", "s", "hello", "--json"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"type\":6"), std::string::npos) << r.out;

    EXPECT_EQ(ctl({url, "write", "b", "0xzz", "--type", "7"}).code, 2);
    EXPECT_EQ(ctl({url, "write", "i", "3000000000", "--type", "1"}).code, 2);
    EXPECT_EQ(ctl({url, "write", "i", "1", "--type", "8"}).code, 2);
    EXPECT_EQ(ctl({url, "write", "i", "abc", "--type", "5"}).code, 2);
    EXPECT_EQ(query(path, "SELECT count(*) FROM ctrlwrites"), "4");
}

TEST_F(oxactltest, badargumentsmissingdatabasesandtags) {
    sql("INSERT INTO snapshot VALUES('t', 0, 0, 1, 1)");
    result r = ctl({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("usage: oxactl"), std::string::npos);
    for (auto args : std::vector<std::vector<std::string>>{
             {},
             {url},
             {url, "dance"},
             {url, "history"},
             {url, "snapshot", "a", "b"},
             {url, "snapshot", "--type", "1"},
             {url, "snapshot", "--interval", "100"},
             {url, "watch", "--interval", "5"},
             {"--json", "--csv", url, "snapshot"},
             {url, "history", "t", "--from"},
             {url, "history", "t", "--to", "yesterday"},
             {url, "soe", "--limit", "0"},
             {url, "ctrltags", "--bogus"},
             {url, "write", "t"},
             {url, "write", "t", "1", "--quality", "-129"},
             {"http://localhost/x.db", "snapshot"},
             {"sqlite://otherhost/x.db", "snapshot"},
             {"sqlite:///", "snapshot"},
         }) {
        r = ctl(args);
        EXPECT_EQ(r.code, 2) << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(r.err.rfind("oxactl: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\n(try 'oxactl --help')\n"), std::string::npos) << r.err;
    }
    // A tag that is nowhere is named; one without values in the range is not
    // a mistake, nor is a pattern that matches nothing.
    struct {
        std::vector<std::string> args;
        int code;
        std::string err;
    } const tags[] = {
        {{url, "history", "nosuch"}, 1, "oxactl: no tag 'nosuch'\n"},
        {{url, "snapshot", "nosuch"}, 1, "oxactl: no tag 'nosuch'\n"},
        {{url, "history", "t", "--from", "1"}, 0, ""},
        {{url, "snapshot", "no*"}, 0, ""},
    };
    for (const auto& t : tags) {
        r = ctl(t.args);
        EXPECT_EQ(r.code, t.code) << t.args[2];
        EXPECT_EQ(r.err, t.err);
    }
    r = ctl({"sqlite://localhost" + dir.file("none.db"), "snapshot"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(ctl({"sqlite://localhost" + dir.file("none.db"), "write", "a", "1"}).code, 1);
    std::ofstream(dir.file("junk.db")) << std::string(4096, 'j');
    r = ctl({"sqlite://localhost" + dir.file("junk.db"), "ctrltags"});
    EXPECT_EQ(r.code, 1);
    sql("DROP TABLE soe");
    EXPECT_EQ(ctl({url, "snapshot"}).code, 1);
}

TEST(oxactltime, localtimesandmilliseconds) {
    // Central European time: UTC+1, summer time UTC+2 from the last Sunday
    // of March 02:00 to the last Sunday of October 03:00.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct {
        const char* text;
        bool ok;
        int64_t ms;
    } const rows[] = {
        {"0", true, 0},
        {"1700000000123", true, 1700000000123},
        {"-1000", true, -1000},
        {"2026-12-06 01:55:10", true, 1796518510000},
        {"2026-12-06T01:55:10", true, 1796518510000},
        {"2026-12-06T01:55:10.5", true, 1796518510500},
        {"2026-12-06 01:55:10.123", true, 1796518510123},
        {"2026-12-06", true, 1796511600000},
        {"2026-07-01 12:00", true, 1782900000000},
        {"2026-10-25 02:30:00", true, 1792888200000},  // twice: the first
        {"2026-10-25 03:30:00", true, 1792895400000},
        {"1970-01-01 00:59:59.999", true, -1},
        {"2026-03-29 02:30:00", false, 0},  // skipped by the clock
        {"2026-02-29 00:00:00", false, 0},
        {"2026-12-06 24:00:00", false, 0},
        {"2026-12-06 01:55:10.1234", false, 0},
        {"2026-12-06 01:55:10.", false, 0},
        {"2026-12-06 01:55:10Z", false, 0},
        {"2026-12-06 1:55:10", false, 0},
        {"2026-12-06 01:55:", false, 0},
        {"2026-12-6", false, 0},
        {"12x", false, 0},
        {"", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const auto& r : rows) {
        int64_t ms = 0;
        EXPECT_EQ(oxactl::parsetime(r.text, &ms), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(ms, r.ms) << r.text;
        }
    }
    setenv("TZ", "UTC0", 1);
    tzset();
}

TEST_F(oxactltest, programexitcodes) {
    const char* bin = getenv("ZO_BIN");
    if (!bin) GTEST_SKIP() << "ZO_BIN not set (run through ctest)";
    std::string prog = std::string(bin) + "/oxactl";
    // The database as a URL, sqlite:///PATH or a plain path, also relative.
    const std::string rel = "cd " + dir.file("") + " && " + prog + " ";
    const struct {
        std::string line;
        int code;
    } rows[] = {
        {prog + " --help", 0},
        {prog, 2},
        {prog + " sqlite://localhost" + dir.file("none.db") + " soe", 1},
        {prog + " " + url + " snapshot", 0},
        {prog + " sqlite://" + path + " snapshot", 0},
        {prog + " " + path + " snapshot", 0},
        {rel + "rt.db snapshot", 0},
        {rel + "./rt.db snapshot", 0},
        {rel + "none.db snapshot", 1},
    };
    for (const auto& r : rows) {
        int rc = std::system((r.line + " >/dev/null 2>&1").c_str());
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, r.code) << r.line;
    }
}

// What oxactl queues reaches a program through the library.
TEST_F(oxactltest, writereachesthelibrarycallback) {
    oxatest::recorder rec;
    int h = oxa_create();
    ASSERT_GE(h, 0);
    struct closer {
        int h;
        ~closer() { oxa_destory(h); }  // before rec goes, even when an assertion fails
    } guard{h};
    oxa_setintervals(h, 20, 10);
    oxa_setmessagenotify(h, oxatest::recorder::onstatus, &rec);
    oxa_initwritetodevice(h, oxatest::recorder::onvalue, &rec, nullptr, nullptr);
    ASSERT_EQ(oxa_connectex(h, url.c_str(), "", "", 0), 0);
    ASSERT_TRUE(rec.waitcode(OXA_CONNECTED));
    const char reg[] = "{\"request\":\"oxa_regctrltags_put\",\"seqno\":0,\"tags\":[\"pump.cmd\"]}";
    ASSERT_EQ(oxa_putmsg(h, reg, sizeof reg - 1), 0);
    result r = ctl({url, "write", "pump.cmd", "-5", "--type", "2"});
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_TRUE(rec.wait([&] { return !rec.vals.empty(); }));
    EXPECT_STREQ(rec.vals[0].name, "pump.cmd");
    EXPECT_EQ(rec.vals[0].type, 2);
    EXPECT_EQ(rec.vals[0].v.i32, -5);
}

// Both databases, filled through the library with the same requests, read
// back the same through every command.
TEST_F(oxactltest, postgresqlreadsbackthesameassqlite) {
    oxatest::pgserver pg;
    std::string why;
    ASSERT_TRUE(pg.start(&why)) << why;
    const std::string pgurl = pg.fullurl("postgres");
    for (const std::string& u : {url, pgurl}) {
        oxatest::recorder rec;
        int h = oxa_create();
        oxa_setmessagenotify(h, oxatest::recorder::onstatus, &rec);
        ASSERT_EQ(oxa_connectex(h, u.c_str(), "", "", 0), 0);
        ASSERT_TRUE(rec.waitcode(OXA_CONNECTED)) << u;
        std::string req =
            "{\"request\":\"oxa_writesnaps\",\"seqno\":1,\"vals\":["
            "{\"T\":1700000000123,\"N\":\"pump.speed\",\"Q\":192,\"DT\":3,\"V\":0.1},"
            "{\"T\":1700000000124,\"N\":\"pump.speed\",\"DT\":3,\"V\":2.5},"
            "{\"T\":1700000000000,\"N\":\"pump.state\",\"DT\":6,\"V\":\"say \\\"hi\\\"\"},"
            "{\"T\":5,\"N\":\"valve[1]\",\"DT\":7,\"V\":\"AP8=\"},"
            "{\"T\":6,\"N\":\"big\",\"DT\":4,\"V\":-9223372036854775808}]}";
        rec.roundtrip([&] {
            return oxa_callmsg(h, req.data(), int(req.size()), oxatest::recorder::onresponse, &rec);
        });
        oxa_soerec soe;
        std::memset(&soe, 0, sizeof soe);
        soe.f230 = 7;
        std::strcpy(soe.f237, "trip");
        ASSERT_EQ(oxa_soeput(h, &soe, 1), 0);
        const char reg[] =
            "{\"request\":\"oxa_regctrltags_put\",\"seqno\":0,\"tags\":[\"c2\",\"c1\"]}";
        rec.roundtrip([&] {
            return oxa_callmsg(h, reg, sizeof reg - 1, oxatest::recorder::onresponse, &rec);
        });
        oxa_destory(h);
        result r = ctl({u, "write", "c1", "0x0aff", "--type", "7"});
        ASSERT_EQ(r.code, 0) << u << r.err;
    }
    const std::vector<std::vector<std::string>> commands = {
        {"snapshot"},
        {"--json", "snapshot"},
        {"snapshot", "pump.*"},
        {"snapshot", "valve[[]1]"},
        {"--json", "history", "pump.speed", "--from", "1700000000124"},
        {"history", "pump.speed", "--limit", "1"},
        {"soe"},
        {"ctrltags"},
    };
    for (auto c : commands) {
        auto withurl = [&](const std::string& u) {
            std::vector<std::string> a = c;
            a.insert(a.begin() + (a[0] == "--json" ? 1 : 0), u);
            return ctl(a);
        };
        result lite = withurl(url), srv = withurl(pgurl);
        EXPECT_EQ(lite.code, 0) << c[0] << lite.err;
        EXPECT_EQ(srv.code, 0) << c[0] << srv.err;
        EXPECT_EQ(srv.out, lite.out) << c[0];
        EXPECT_FALSE(lite.out.empty()) << c[0];
    }
    // A server that is there without our tables, or without the database.
    for (const char* db : {"template1", "nosuch"}) {
        result r = ctl({pg.fullurl(db), "snapshot"});
        EXPECT_EQ(r.code, 1) << db;
        EXPECT_NE(r.err.find(db), std::string::npos) << r.err;
    }
}

}  // namespace
