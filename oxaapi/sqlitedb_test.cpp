// The SQLite backend on its own: the schema and its upgrade, files that
// cannot serve, and the signs of other writers.  What both backends do alike
// is in oxaapi_test.cpp.
#include "oxaapi/sqlitedb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "oxaapi/testutil.h"

namespace oxa {
namespace {

using oxatest::query;

class sqlitedbtest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(db.open(), DB_OK) << db.error(); }
    static tagrow row(const char* name, int64_t time, double v) {
        return tagrow{.name = name, .time = time, .type = 5, .kind = VAL_REAL, .d = v};
    }
    zotest::tmpdir dir;
    std::string path = dir.file("rt.db");
    sqlitedb db{path};
};

TEST_F(sqlitedbtest, newfilesareinwalmodeandoldschemagetsitskeys) {
    EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(query(path, "SELECT value FROM meta WHERE key = 'schema'"), "2");
    EXPECT_EQ(db.takenotice(), "");
    std::string old = dir.file("old.db");
    // A database as schema 1 left it, with rows that repeat a key.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(old.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE meta(key TEXT PRIMARY KEY, value);"
                           "INSERT INTO meta VALUES('schema', 1);"
                           "CREATE TABLE history(name TEXT, time INTEGER, quality INTEGER,"
                           " type INTEGER, value);"
                           "CREATE INDEX history_name_time ON history(name, time);"
                           "CREATE TABLE soe(id INTEGER PRIMARY KEY, f230 INTEGER, f231 INTEGER,"
                           " f232 INTEGER, f233 INTEGER, f234 INTEGER, f235 INTEGER, f236 TEXT,"
                           " f237 TEXT, f238 TEXT, f239 INTEGER, f240 INTEGER);"
                           "INSERT INTO history VALUES('a', 1, 0, 1, 10), ('a', 1, 0, 1, 11),"
                           " ('a', 2, 0, 1, 12), ('b', 1, 0, 1, 13), ('a', 1, 0, 1, 14);"
                           "INSERT INTO soe(f230, f236) VALUES(5, 'x'), (5, 'x'), (6, 'x');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    sqlitedb upgraded(old);
    ASSERT_EQ(upgraded.open(), DB_OK) << upgraded.error();
    EXPECT_EQ(upgraded.takenotice(),
              "keys added to history and soe; rows that repeated a key removed: 2 history, 1 soe");
    EXPECT_EQ(query(old, "SELECT group_concat(value) FROM (SELECT value FROM history ORDER BY 1)"),
              "10,12,13");
    EXPECT_EQ(query(old, "SELECT count(*) FROM soe"), "2");
    EXPECT_EQ(query(old, "SELECT value FROM meta WHERE key = 'schema'"), "2");
    EXPECT_EQ(query(old, "SELECT count(*) FROM sqlite_master WHERE name = 'history_name_time'"),
              "0");
    EXPECT_EQ(upgraded.puthistory(row("a", 1, 9)), DB_DUP);
    upgraded.close();
    ASSERT_EQ(upgraded.open(), DB_OK);
    EXPECT_EQ(upgraded.takenotice(), "");
}

// A file that cannot serve is lost, with a reason that names what the
// operator has to fix; a foreign file is left alone.
TEST_F(sqlitedbtest, filesthatcannotservearelost) {
    const std::string junk = dir.write("junk.db", std::string(4096, 'j'));
    const std::string ro = dir.file("ro");
    ASSERT_EQ(::mkdir(ro.c_str(), 0555), 0);
    const struct {
        std::string path, why;  // why: "" when any reason will do
    } cases[] = {
        {junk, ""},
        {junk + "/rt.db", "not a directory (" + junk + ")"},
        // Root writes into any directory.
        {ro + "/rt.db", ::geteuid() == 0 ? "-" : "directory is not writable (" + ro + ")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.why == "-") continue;
        sqlitedb bad(c.path);
        EXPECT_EQ(bad.open(), DB_LOST);
        EXPECT_FALSE(bad.error().empty());
        if (!c.why.empty()) {
            EXPECT_EQ(bad.error(), c.why);
        }
        EXPECT_EQ(bad.check(), DB_LOST);
    }
    std::ifstream in(junk);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(4096, 'j'));

    // A full disk.
    ASSERT_EQ(db.exec("PRAGMA max_page_count=16"), DB_OK);
    int rc = db.begin();
    tagrow r = row("", 1, 1);
    r.kind = VAL_TEXT;
    r.bytes.assign(3000, 'v');
    for (int i = 0; rc == DB_OK && i < 1000; ++i) {
        r.name = "tag" + std::to_string(i);
        rc = db.puthistory(r);
    }
    EXPECT_EQ(rc, DB_LOST);
    EXPECT_NE(db.error().find("full"), std::string::npos) << db.error();
    db.rollback();
    // SQLite would go on writing into an unlinked file that nobody sees again.
    EXPECT_EQ(db.check(), DB_OK);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    std::ofstream(path) << "";
    EXPECT_EQ(db.check(), DB_LOST);
    EXPECT_EQ(db.error(), "database file was removed or replaced (" + path + ")");
}

}  // namespace
}  // namespace oxa
