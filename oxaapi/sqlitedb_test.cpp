#include "oxaapi/sqlitedb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "oxaapi/testutil.h"

namespace oxa {
namespace {

using oxatest::query;

class sqlitedbtest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("rt.db");
        ASSERT_EQ(db.open(), DB_OK) << db.error();
    }
    static tagrow row(const char* name, int64_t time, double v) {
        tagrow r;
        r.name = name;
        r.time = time;
        r.type = 5;
        r.kind = VAL_REAL;
        r.d = v;
        return r;
    }
    zotest::tmpdir dir;
    std::string path;
    sqlitedb db{dir.file("rt.db")};
};

TEST_F(sqlitedbtest, createstheschemainwalmode) {
    EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(query(path,
                    "SELECT count(*) FROM sqlite_master WHERE name IN ('snapshot', "
                    "'history', 'soe', 'ctrltags', 'ctrlwrites', 'meta', 'history_key', "
                    "'soe_key')"),
              "8");
    EXPECT_EQ(query(path, "SELECT value FROM meta WHERE key = 'schema'"), "2");
    // Reopening an existing database keeps its rows.
    ASSERT_EQ(db.begin(), DB_OK);
    ASSERT_EQ(db.puthistory(row("a", 1, 2)), DB_OK);
    ASSERT_EQ(db.commit(), DB_OK);
    db.close();
    ASSERT_EQ(db.open(), DB_OK) << db.error();
    EXPECT_EQ(query(path, "SELECT count(*) FROM history"), "1");
}

TEST_F(sqlitedbtest, snapshotmovesonlyforwardwhenasked) {
    ASSERT_EQ(db.putsnapshot(row("t", 2000, 1.5), false), DB_OK);
    ASSERT_EQ(db.putsnapshot(row("t", 1000, 2.5), true), DB_OK);
    EXPECT_EQ(query(path, "SELECT value FROM snapshot WHERE name='t'"), "1.5");
    ASSERT_EQ(db.putsnapshot(row("t", 3000, 3.5), true), DB_OK);
    EXPECT_EQ(query(path, "SELECT value FROM snapshot WHERE name='t'"), "3.5");
    ASSERT_EQ(db.putsnapshot(row("t", 1000, 4.5), false), DB_OK);
    EXPECT_EQ(query(path, "SELECT time || ':' || value FROM snapshot WHERE name='t'"), "1000:4.5");
}

TEST_F(sqlitedbtest, soerecordkeepseveryfield) {
    oxa_soerec r;
    std::memset(&r, 0, sizeof r);
    r.f230 = 0xFFFFFFFFFFFFFFFFull;
    r.f231 = 4000000000u;
    r.f232 = 7;
    r.f233 = 65535;
    r.f234 = 2;
    r.f235 = 3;
    std::memset(r.f236, 'x', sizeof r.f236);  // no terminator: the width bounds it
    std::strcpy(r.f237, "breaker open");
    std::strcpy(r.f238, "bay 3");
    r.f239 = 255;
    r.f240 = 1;
    ASSERT_EQ(db.putsoe(r), DB_OK) << db.error();
    EXPECT_EQ(query(path,
                    "SELECT f230||','||f231||','||f232||','||f233||','||f234||','||f235||','||"
                    "length(f236)||','||f237||','||f238||','||f239||','||f240 FROM soe"),
              "-1,4000000000,7,65535,2,3,80,breaker open,bay 3,255,1");
}

TEST_F(sqlitedbtest, historyandsoerowsarewrittenonce) {
    oxa_soerec s;
    std::memset(&s, 0, sizeof s);
    std::strcpy(s.f236, "breaker");
    struct {
        const char* what;
        int rc;
    } steps[] = {{"h1", DB_OK}, {"h1", DB_DUP}, {"h2", DB_OK}, {"s", DB_OK}, {"s", DB_DUP}};
    for (const auto& st : steps) {
        if (st.what[0] == 'h') {
            // The same name and time; the second carries another value.
            EXPECT_EQ(db.puthistory(row(st.what, 1000, st.rc == DB_OK ? 1 : 2)), st.rc) << st.what;
        } else {
            EXPECT_EQ(db.putsoe(s), st.rc);
        }
    }
    EXPECT_EQ(query(path, "SELECT group_concat(name || ':' || value) FROM history"),
              "h1:1.0,h2:1.0");
    EXPECT_EQ(query(path, "SELECT count(*) FROM soe"), "1");
    s.f231 = 1;  // any other field makes another record
    EXPECT_EQ(db.putsoe(s), DB_OK);
}

TEST_F(sqlitedbtest, oldschemagetsitskeysandlosesonlyrepeatedrows) {
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

TEST_F(sqlitedbtest, otherwritersshowaschange) {
    db.changed();
    EXPECT_FALSE(db.changed());
    ASSERT_EQ(db.putctrltag("own", true), DB_OK);  // our own commits do not count
    EXPECT_FALSE(db.changed());
    EXPECT_EQ(query(path, "INSERT INTO ctrltags(name) VALUES('other')"), "");
    EXPECT_TRUE(db.changed());
    EXPECT_FALSE(db.changed());
}

TEST_F(sqlitedbtest, fulldiskislost) {
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
}

TEST_F(sqlitedbtest, unusablefilesdonotopen) {
    std::string junk = dir.file("junk.db");
    std::string text(4096, 'j');
    std::ofstream(junk) << text;
    sqlitedb bad(junk);
    EXPECT_EQ(bad.open(), DB_LOST);
    EXPECT_FALSE(bad.error().empty());
    std::ifstream in(junk);
    std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, text);  // a foreign file is left alone

    // The reason names what the operator has to fix.
    sqlitedb nodir(dir.file("missing/rt.db"));
    EXPECT_EQ(nodir.open(), DB_LOST);
    EXPECT_EQ(nodir.error(), "directory does not exist (" + dir.file("missing") + ")");
    sqlitedb underfile(junk + "/rt.db");
    EXPECT_EQ(underfile.open(), DB_LOST);
    EXPECT_EQ(underfile.error(), "not a directory (" + junk + ")");
    EXPECT_EQ(underfile.check(), DB_LOST);
}

TEST_F(sqlitedbtest, readonlydirectorydoesnotopen) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
    std::string ro = dir.file("ro");
    ASSERT_EQ(::mkdir(ro.c_str(), 0755), 0);
    {
        sqlitedb first(ro + "/rt.db");
        ASSERT_EQ(first.open(), DB_OK) << first.error();
    }
    ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
    sqlitedb existing(ro + "/rt.db");
    EXPECT_EQ(existing.open(), DB_LOST);
    sqlitedb fresh(ro + "/new.db");
    EXPECT_EQ(fresh.open(), DB_LOST);
    EXPECT_EQ(fresh.error(), "directory is not writable (" + ro + ")");
    ::chmod(ro.c_str(), 0755);
}

}  // namespace
}  // namespace oxa
