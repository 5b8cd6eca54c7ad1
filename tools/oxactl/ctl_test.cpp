// oxactl in this process on a SQLite file.  Its --version, unknown options
// and watch are run on the program by tests/toolcli_e2e_test.cpp.
#include "tools/oxactl/ctl.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

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

TEST_F(oxactltest, EveryCommandPrintsWhatTheDatabaseHoldsInEachForm) {
    sql("INSERT INTO snapshot VALUES('pump.speed', 1700000000123, 0, 5, 12.5),"
        "('pump.state', 1700000000000, 192, 6, 'running'), ('valve', 0, 0, 7, x'00ff'),"
        "('flow', 1, 0, 3, CAST(0.1 AS REAL)), ('a/b', 5, 1, 7, x'0001'),"
        "('q', 6, 0, 6, 'say \"hi\"'), ('a,b\\c', 0, 0, 6, 'x,\"y\"'),"
        "('温度', 0, 0, 6, 'line1' || char(10) || 'line2')");
    sql("INSERT INTO history VALUES('t', 300, 0, 1, 3), ('t', 100, 0, 1, 1), "
        "('t', 200, 0, 1, 2), ('u', 150, 0, 1, 9)");
    sql("INSERT INTO soe(f230, f231, f232, f233, f234, f235, f236, f237, f238, f239, f240)"
        " VALUES(1, 2, 3, 4, 5, 6, 'dev', 'trip', 'bay 1', 7, 8)");
    sql("INSERT INTO ctrltags VALUES('c1'), ('c2')");
    sql("INSERT INTO ctrlwrites(name, time, type, value) VALUES('c1', 1, 1, 1)");
    const std::string t1 = "{\"name\":\"t\",\"time\":100,\"quality\":0,\"type\":1,\"value\":1}\n";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{url, "snapshot", "[fpv]*"},
         "name        time                     quality  type  value\n"
         "flow        1970-01-01 00:00:00.001  0        3     0.1\n"
         "pump.speed  2023-11-14 22:13:20.123  0        5     12.5\n"
         "pump.state  2023-11-14 22:13:20.000  192      6     running\n"
         "valve       1970-01-01 00:00:00.000  0        7     0x00ff\n"},
        {{"--json", url, "snapshot", "[aq]*"},
         "{\"name\":\"a,b\\\\c\",\"time\":0,\"quality\":0,\"type\":6,\"value\":\"x,\\\"y\\\"\"}\n"
         "{\"name\":\"a\\/b\",\"time\":5,\"quality\":1,\"type\":7,\"value\":\"AAE=\"}\n"
         "{\"name\":\"q\",\"time\":6,\"quality\":0,\"type\":6,\"value\":\"say \\\"hi\\\"\"}\n"},
        {{url, "snapshot", "--csv", "[^fpv]*"},
         "name,time,quality,type,value\n"
         "\"a,b\\c\",1970-01-01 00:00:00.000,0,6,\"x,\"\"y\"\"\"\n"
         "a/b,1970-01-01 00:00:00.005,1,7,0x0001\n"
         "q,1970-01-01 00:00:00.006,0,6,\"say \"\"hi\"\"\"\n"
         "温度,1970-01-01 00:00:00.000,0,6,\"line1\nline2\"\n"},
        {{url, "history", "t", "--from", "100", "--to", "200", "--json"},
         t1 + "{\"name\":\"t\",\"time\":200,\"quality\":0,\"type\":1,\"value\":2}\n"},
        {{url, "soe"},
         "id  f230  f231  f232  f233  f234  f235  f236  f237  f238   f239  f240\n"
         "1   1     2     3     4     5     6     dev   trip  bay 1  7     8\n"},
        {{url, "ctrltags"}, "name  waiting\nc1    1\nc2    0\n"},
    };
    for (const auto& [args, want] : rows) {
        result r = ctl(args);
        EXPECT_EQ(r.code, 0) << args[1] << r.err;
        EXPECT_EQ(r.out, want) << args[1];
    }
}

TEST_F(oxactltest, WriteQueuesAControlWriteOfTheTagsType) {
    sql("INSERT INTO snapshot VALUES('sp', 0, 0, 3, 1.0)");
    sql("INSERT INTO ctrltags VALUES('sp')");
    result r = ctl({url, "write", "sp", "0.1", "--quality", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The type comes from the tag's snapshot: a float, kept as one.
    EXPECT_EQ(query(path,
                    "SELECT type || ',' || quality || ',' || (value = CAST(0.1 AS REAL))"
                    " || ',' || delivered FROM ctrlwrites"),
              "3,3,0,0");
    // A tag nobody registered is queued with a warning, as an integer.
    r = ctl({url, "write", "newtag", "7"});
    EXPECT_NE(r.err.find("not a registered control tag"), std::string::npos);
    EXPECT_EQ(query(path,
                    "SELECT type || ':' || typeof(value) FROM ctrlwrites WHERE name = "
                    "'newtag'"),
              "1:integer");
    r = ctl({url, "write", "b", "0x0aff", "--type", "7"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(query(path, "SELECT hex(value) FROM ctrlwrites WHERE name = 'b'"), "0AFF");
    EXPECT_EQ(query(path, "SELECT count(*) FROM ctrlwrites"), "3");
}

// Mistakes are exit 2 with a pointer to --help; a database or a tag that is
// not there is exit 1 and named; the database may be a URL or a path.
TEST_F(oxactltest, ExitCodesSayWhoseMistakeItWas) {
    sql("INSERT INTO snapshot VALUES('t', 0, 0, 1, 1)");
    std::ofstream(dir.file("junk.db")) << std::string(4096, 'j');
    const std::string none = "sqlite://localhost" + dir.file("none.db");
    const struct {
        std::vector<std::string> args;
        int code;
    } rows[] = {
        {{}, 2},
        {{url, "dance"}, 2},
        {{url, "snapshot", "a", "b"}, 2},
        {{"--json", "--csv", url, "snapshot"}, 2},
        {{url, "soe", "--limit", "0"}, 2},
        {{url, "write", "t", "1", "--quality", "-129"}, 2},
        {{url, "write", "b", "0xzz", "--type", "7"}, 2},
        {{url, "write", "i", "3000000000", "--type", "1"}, 2},
        {{"http://localhost/x.db", "snapshot"}, 2},
        {{url, "history", "nosuch"}, 1},
        {{none, "snapshot"}, 1},
        {{"sqlite://localhost" + dir.file("junk.db"), "ctrltags"}, 1},
        // Nothing in the range is no mistake.
        {{url, "history", "t", "--from", "1"}, 0},
        {{"sqlite://" + path, "snapshot"}, 0},
        {{path, "snapshot"}, 0},
    };
    for (const auto& r : rows) {
        result got = ctl(r.args);
        std::string line;
        for (const std::string& a : r.args) line += a + " ";
        EXPECT_EQ(got.code, r.code) << line;
        EXPECT_EQ(got.err.rfind(r.code ? "oxactl: " : "", 0), 0u) << line << got.err;
        EXPECT_EQ(got.err.find("\n(try 'oxactl --help')\n") != std::string::npos, r.code == 2)
            << line;
    }
    EXPECT_EQ(ctl({url, "history", "nosuch"}).err, "oxactl: no tag 'nosuch'\n");
    EXPECT_NE(ctl({none, "snapshot"}).err.find("does not exist"), std::string::npos);
}

TEST(oxactltime, LocalTimesAndMillisecondsAreReadExactly) {
    // Central European time: UTC+1, summer time UTC+2 from the last Sunday
    // of March 02:00 to the last Sunday of October 03:00.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct {
        const char* text;
        int64_t ms;  // -2 where the text is refused
    } const rows[] = {
        {"1700000000123", 1700000000123},
        {"2026-12-06 01:55:10", 1796518510000},
        {"2026-10-25 02:30:00", 1792888200000},  // twice: the first
        {"2026-10-25 03:30:00", 1792895400000},
        {"2026-03-29 02:30:00", -2},  // skipped by the clock
        {"2026-02-29 00:00:00", -2},
        {"", -2},
        {"99999999999999999999", -2},
    };
    for (const auto& r : rows) {
        int64_t ms = -2;
        EXPECT_EQ(oxactl::parsetime(r.text, &ms), r.ms != -2) << r.text;
        EXPECT_EQ(r.ms == -2 ? -2 : ms, r.ms) << r.text;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
}

}  // namespace
