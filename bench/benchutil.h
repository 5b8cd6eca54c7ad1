// benchutil.h - what the benchmark programs share: a temporary directory,
// the response counters of a link under measurement, starting a link
// instance on a SQLite database, and the bare SQLite loop the database
// figures are compared with.
//
// Thread-safety: the counters are atomics, bumped on the client library's
// threads and read by the benchmark's thread; everything else runs on the
// benchmark's own thread.
#pragma once
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dblink/velmarinst.h"
#include "oxaapi/oxaapi.h"
#include "tests/support/testsupport.h"

namespace bench {

using namespace zo;

// Each run writes its files and databases in a directory of its own.
using zotest::tmpdir;

// ---- a link under measurement ------------------------------------------------

// Requests sent, responses received, and requests refused or answered with
// a status other than 0.  A benchmark's own oxafuncs table counts sent and
// passes countresponse to oxa_callmsg after setting innerfn.
inline std::atomic<int> responses{0};
inline std::atomic<int> sent{0};
inline std::atomic<int> failures{0};
inline oxa_responsefn innerfn = nullptr;

inline void countresponse(const char* text, int length, void* user) {
    std::string_view t(text, static_cast<size_t>(length));
    if (t.find("\"status\":0") == std::string_view::npos) failures.fetch_add(1);
    if (innerfn) innerfn(text, length, user);
    responses.fetch_add(1, std::memory_order_release);
}

// Waits up to five minutes for every request sent to be answered; a
// timeout counts as a failure.
inline void waitanswered() {
    auto giveup = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (responses.load(std::memory_order_acquire) < sent.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > giveup) {
            failures.fetch_add(1);
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Starts inst on the SQLite database rt.db in dir (ending in '/'), with a
// link configuration written there, and waits up to 10 s for the database.
// nullptr once connected, else why not.
inline const char* startlink(velmarinst& inst, const std::string& dir) {
    std::string cfg = dir + "link.ini";
    FILE* f = fopen(cfg.c_str(), "w");
    if (!f) return "cannot write the link configuration";
    fprintf(f,
            "{\"dblinks\":[{\"node\":\"b\",\"url\":\"sqlite://localhost%srt.db\","
            "\"user\":\"u\",\"pswd\":\"p\"}]}",
            dir.c_str());
    fclose(f);
    if (inst.start(cfg.c_str(), "bench") != 0) return "start failed";
    for (int i = 0; i < 2000 && !inst.isconnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return inst.isconnected() ? nullptr : "no database";
}

// ---- the bare loop -------------------------------------------------------------

// What the client library does per tag value, without it: one connection
// (WAL, synchronous=NORMAL), a snapshot upsert and a history insert per row
// through two prepared statements, one transaction per txrows rows.  Row i
// is names[i % names.size()] at time time0 + i / rowspertick, quality 192,
// type 5, value i * 0.25 + 0.125.  The seconds the n rows took; -1 when the
// database could not be set up (*err says why) or a write failed (*err
// empty).
constexpr int txrows = 10000;

inline double bareloop(const std::string& dbpath, int n, const std::vector<std::string>& names,
                       int64_t time0, int rowspertick, std::string* err) {
    static const char* const snapsql =
        "INSERT INTO snapshot(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(name) DO UPDATE SET time = excluded.time, quality = excluded.quality,"
        " type = excluded.type, value = excluded.value";
    static const char* const histsql =
        "INSERT OR IGNORE INTO history(name, time, quality, type, value)"
        " VALUES(?1, ?2, ?3, ?4, ?5)";
    static const char* const schema =
        "CREATE TABLE IF NOT EXISTS snapshot(name TEXT PRIMARY KEY, time INTEGER,"
        " quality INTEGER, type INTEGER, value);"
        "CREATE TABLE IF NOT EXISTS history(name TEXT, time INTEGER, quality INTEGER,"
        " type INTEGER, value);"
        "CREATE UNIQUE INDEX IF NOT EXISTS history_key ON history(name, time);";
    err->clear();
    sqlite3* db = nullptr;
    sqlite3_stmt* snap = nullptr;
    sqlite3_stmt* hist = nullptr;
    if (sqlite3_open(dbpath.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     nullptr) != SQLITE_OK ||
        sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, snapsql, -1, &snap, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, histsql, -1, &hist, nullptr) != SQLITE_OK || names.empty()) {
        *err = names.empty() ? "no tag names" : sqlite3_errmsg(db);
        sqlite3_finalize(snap);
        sqlite3_close(db);
        return -1;
    }
    auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    for (int i = 0; ok && i < n; ++i) {
        if (i % txrows == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        const std::string& name = names[static_cast<size_t>(i) % names.size()];
        for (sqlite3_stmt* st : {snap, hist}) {
            sqlite3_bind_text(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
            sqlite3_bind_int64(st, 2, time0 + i / rowspertick);
            sqlite3_bind_int(st, 3, 192);
            sqlite3_bind_int(st, 4, 5);
            sqlite3_bind_double(st, 5, i * 0.25 + 0.125);
            ok = ok && sqlite3_step(st) == SQLITE_DONE;
            sqlite3_reset(st);
        }
        if (i % txrows == txrows - 1) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);  // harmless when none is open
    auto t1 = std::chrono::steady_clock::now();
    sqlite3_finalize(snap);
    sqlite3_finalize(hist);
    sqlite3_close(db);
    return ok ? std::chrono::duration<double>(t1 - t0).count() : -1;
}

}  // namespace bench
