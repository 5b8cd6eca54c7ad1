// sqlitedb.h - the SQLite backend: one database file in WAL mode
// (synchronous=NORMAL), the tables created when missing.
//
// A database of schema 1 (no keys on history and soe) gets its keys at the
// first open; rows that repeated a key are removed then (see notice()).
//
// Tables (queried by users with sqlite3; see docs/database.md):
//   snapshot(name TEXT PRIMARY KEY, time, quality, type, value)
//   history(name, time, quality, type, value), unique key (name, time)
//   soe(id, f230 ... f240), unique key (f230 ... f240)
//   ctrltags(name TEXT PRIMARY KEY)
//   ctrlwrites(id, name, time, quality, type, value, written, delivered)
//   meta(key TEXT PRIMARY KEY, value)
//
// Thread-safety: as every backend, one thread at a time.
#pragma once
#include <sqlite3.h>
#include <sys/types.h>

#include <string>

#include "oxaapi/backend.h"

namespace oxa {

// The statements that create the tables (IF NOT EXISTS), for the tools too.
extern const char* const sqliteschema;

class sqlitedb : public backend {
  public:
    explicit sqlitedb(std::string path);
    ~sqlitedb() override;

    int open() override;
    void close() override;
    const std::string& error() const override { return err_; }
    int begin() override;
    int commit() override;
    int rollback() override;
    int putsnapshot(const tagrow& row, bool onlynewer) override;
    int puthistory(const tagrow& row) override;
    int putsoe(const oxa_soerec& rec) override;
    int putctrltag(const std::string& name, bool add) override;
    int pendingctrl(std::vector<ctrlrow>* out, size_t max) override;
    int markctrl(int64_t id, int state) override;
    bool changed() override;
    int check() override;
    std::string takenotice() override { return std::move(notice_); }

    // Runs SQL without results (tests use it to limit the file size).
    int exec(const char* sql);
    sqlite3* raw() { return db_; }

  private:
    enum {
        ST_SNAP,
        ST_SNAPNEWER,
        ST_HIST,
        ST_SOE,
        ST_CTRLADD,
        ST_CTRLDEL,
        ST_PENDING,
        ST_MARK,
        ST_VERSION,
        ST_COUNT
    };
    int walmode();
    int addkeys();
    int prepareall();
    int fail(int rc, const char* what);
    int step(int which, const char* what);
    void bindrow(sqlite3_stmt* st, const tagrow& row);

    std::string path_;
    std::string err_;
    std::string notice_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* st_[ST_COUNT] = {};
    bool intx_ = false;
    int64_t version_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// Reads column col of a row into the value of a tagrow (kind, i/d/bytes).
void readvalue(sqlite3_stmt* st, int col, tagrow* row);

}  // namespace oxa
