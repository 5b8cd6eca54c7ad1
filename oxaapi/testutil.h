// testutil.h - SQLite queries on a connection of their own, for the tests of
// the client library and of the tools over it.
//
// Thread-safety: test-only; each call opens and closes its own connection.
#pragma once
#include <sqlite3.h>

#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace oxatest {

// Rows of one SQL statement on the SQLite file at path, on a connection of
// its own, as "a|b" texts (NULL as "NULL"); one "ERR: ..." row on failure.
inline std::vector<std::string> rows(const std::string& path, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    }
    while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        std::string line;
        for (int k = 0; k < sqlite3_column_count(st); ++k) {
            const unsigned char* t = sqlite3_column_text(st, k);
            line += (k ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        out.push_back(line);
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_DONE) out.push_back(std::string("ERR: ") + sqlite3_errmsg(db));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

// The first row of rows() ("" when there is none).
inline std::string query(const std::string& path, const std::string& sql) {
    auto r = rows(path, sql);
    return r.empty() ? "" : r[0];
}

}  // namespace oxatest
