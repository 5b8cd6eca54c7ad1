// The tools' one command-line style, on the built programs: --version says
// "PROG (Quorvane) VERSION" with exit code 0, and a mistake is one line in
// the same words on standard error with a pointer to --help and exit code 2.
// And oxactl watch following a SQLite database until it is stopped.
#include <sys/wait.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "oxaapi/sqlitedb.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

TEST(ToolCliTest, EveryToolAnswersVersionAndMistakesAlike) {
    struct row {
        std::string tool;
        std::vector<std::string> args;
        int code;
        std::string says;  // how the output starts
    };
    std::vector<row> rows;
    for (const char* tool : {"iosim", "logview", "gaprx", "qvadm", "oxactl"}) {
        const std::string t = tool;
        rows.push_back({t, {"--version"}, 0, t + " (Quorvane) "});
        if (t != "qvadm") rows.push_back({t, {"-V"}, 0, t + " (Quorvane) "});  // qvadm has no -V
        rows.push_back(
            {t, {"--bogus"}, 2, t + ": unknown option '--bogus'\n(try '" + t + " --help')\n"});
    }
    // gaprx's own: a busy receive port and a database it cannot open are
    // failures (1), not mistakes.
    heldport busy(SOCK_DGRAM), freeport(SOCK_DGRAM);
    const std::string at = "gapudp://127.0.0.1:" + std::to_string(busy.port);
    const std::vector<row> more = {
        {"oxactl",
         {"x.db", "history", "t", "--from"},
         2,
         "oxactl: option '--from' needs a value\n"},
        {"oxactl", {"--to=noon"}, 2, "oxactl: bad value 'noon' for --to: a local time ("},
        {"iosim", {"--rate"}, 2, "iosim: option '--rate' needs a value\n"},
        {"logview", {"--level"}, 2, "logview: option '--level' needs a value\n"},
        {"gaprx", {"--stats"}, 2, "gaprx: option '--stats' needs a value\n"},
        {"iosim", {"--tags=x"}, 2, "iosim: bad value 'x' for --tags: "},
        {"logview", {"--level=x"}, 2, "logview: bad value 'x' for --level: "},
        {"gaprx", {"--help"}, 0, "usage: gaprx gapudp://HOST:PORT DB_URL USER PASSWORD"},
        {"gaprx", {}, 2, "gaprx: missing arguments: "},
        {"gaprx", {at, "x.db", "u"}, 2, "gaprx: missing arguments: "},
        {"gaprx", {at, "x.db", "u", "p", "--stats", "x"}, 2, "gaprx: bad value 'x' for --stats: "},
        {"gaprx", {"udp://127.0.0.1:9", "x.db", "u", "p"}, 2, "gaprx: "},
        {"gaprx", {at, "sqlite://localhost/tmp/x.db", "u", "p"}, 1, "gaprx: "},
        {"gaprx",
         {"gapudp://127.0.0.1:" + std::to_string(freeport.port), "nosuch://x/y", "u", "p"},
         1,
         "gaprx: "},
    };
    rows.insert(rows.end(), more.begin(), more.end());
    for (const row& r : rows) {
        SCOPED_TRACE(r.tool + " " + (r.args.empty() ? "" : r.args.back()));
        child c;
        runopts o;
        o.errtoo = true;
        ASSERT_TRUE(c.start(zotest::bindir() + "/" + r.tool, r.args, o));
        ASSERT_TRUE(c.wait());
        c.readout();
        EXPECT_TRUE(WIFEXITED(c.status));
        EXPECT_EQ(r.code, WEXITSTATUS(c.status));
        EXPECT_EQ(c.output.rfind(r.says, 0), 0u) << c.output;
    }
}

// watch prints the snapshots matching its GLOB, then each one whose time
// changes, and ends with exit code 0 on SIGINT, on SIGTERM, and when the
// reader of its output goes away (noticed also while nothing changes).
TEST(ToolCliTest, OxactlWatchFollowsSnapshotsUntilStopped) {
    zotest::tmpdir dir("oxwatch");
    const std::string db = dir.file("rt.db");
    {
        oxa::sqlitedb made(db);  // the library makes its tables
        ASSERT_EQ(made.open(), oxa::DB_OK) << made.error();
    }
    ASSERT_TRUE(
        sqlexec(db, "INSERT INTO snapshot VALUES('pump.a', 1, 0, 1, 10), ('other', 1, 0, 1, 0)"));
    const std::string a1 =
        "{\"name\":\"pump.a\",\"time\":1,\"quality\":0,\"type\":1,\"value\":10}\n";
    const std::string a2 =
        "{\"name\":\"pump.a\",\"time\":2,\"quality\":0,\"type\":1,\"value\":11}\n";
    const std::string b3 =
        "{\"name\":\"pump.b\",\"time\":3,\"quality\":0,\"type\":6,\"value\":\"on\"}\n";
    const int closepipe = 0;
    for (int stop : {SIGINT, SIGTERM, closepipe}) {
        ASSERT_TRUE(sqlexec(db,
                            "DELETE FROM snapshot WHERE name = 'pump.b';"
                            "UPDATE snapshot SET time = 1, value = 10 WHERE name = 'pump.a'"));
        child c;
        ASSERT_TRUE(c.start(zotest::bindir() + "/oxactl",
                            {"--json", db, "watch", "pump.*", "--interval", "20"}));
        ASSERT_TRUE(until([&] {
            c.readout();
            return c.output == a1;
        })) << c.output;
        // A new value of the same time and a tag outside the pattern are not
        // changes to show.
        ASSERT_TRUE(sqlexec(db,
                            "UPDATE snapshot SET value = 99 WHERE name = 'pump.a';"
                            "UPDATE snapshot SET time = 2 WHERE name = 'other'"));
        ASSERT_TRUE(sqlexec(db, "UPDATE snapshot SET time = 2, value = 11 WHERE name = 'pump.a'"));
        ASSERT_TRUE(sqlexec(db, "INSERT INTO snapshot VALUES('pump.b', 3, 0, 6, 'on')"));
        ASSERT_TRUE(until([&] {
            c.readout();
            return c.output.find(b3) != std::string::npos;
        })) << c.output;
        EXPECT_EQ(c.output, a1 + a2 + b3);
        if (stop == closepipe) {
            c.closeout();
            ASSERT_TRUE(c.wait());
            EXPECT_TRUE(c.exitedzero());
        } else {
            EXPECT_TRUE(c.stop(stop)) << stop;
        }
    }
}

}  // namespace
