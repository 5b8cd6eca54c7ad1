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

TEST_F(oxactltest, jsonlinesreadback) {
    sql("INSERT INTO snapshot VALUES('a/b', 5, 1, 7, x'0001'), ('q', 6, 0, 6, 'say \"hi\"')");
    result r = ctl({"--json", url, "snapshot"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "{\"name\":\"a\\/b\",\"time\":5,\"quality\":1,\"type\":7,\"value\":\"AAE=\"}\n"
        "{\"name\":\"q\",\"time\":6,\"quality\":0,\"type\":6,\"value\":\"say \\\"hi\\\"\"}\n");
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

TEST_F(oxactltest, badargumentsandmissingdatabases) {
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
             {url, "history", "t", "--from"},
             {url, "history", "t", "--from", "x"},
             {url, "soe", "--limit", "0"},
             {url, "ctrltags", "--bogus"},
             {url, "write", "t"},
             {"http://localhost/x.db", "snapshot"},
             {"sqlite://otherhost/x.db", "snapshot"},
         }) {
        r = ctl(args);
        EXPECT_EQ(r.code, 2) << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(r.err.rfind("oxactl: ", 0), 0u) << r.err;
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

TEST_F(oxactltest, programexitcodes) {
    const char* bin = getenv("ZO_BIN");
    if (!bin) GTEST_SKIP() << "ZO_BIN not set (run through ctest)";
    std::string prog = std::string(bin) + "/oxactl";
    auto status = [&](const std::string& args) {
        int rc = std::system((prog + " " + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    EXPECT_EQ(status("--help"), 0);
    EXPECT_EQ(status(""), 2);
    EXPECT_EQ(status("sqlite://localhost" + dir.file("none.db") + " soe"), 1);
    EXPECT_EQ(status(url + " snapshot"), 0);
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
