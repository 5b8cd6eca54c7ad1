// testutil.h - helpers shared by the tests of the client library and of the
// tools over it (not part of the library): a recorder for what the library's
// callbacks deliver, and SQLite queries on a connection of their own.  Waits
// have a generous safety limit so that a hung library fails the test instead
// of blocking the run; no test measures how long anything took.
//
// Thread-safety: test-only.  recorder's callbacks run on the library's thread
// and fill it under mu.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/jsonscan.h"
#include "oxaapi/oxaapi.h"
#include "tests/support/testsupport.h"

namespace oxatest {

// The "status" of a response text; -1 when there is none.
inline int32_t statusof(const std::string& resp) {
    zo::jsonscan js;
    int32_t status = -1;
    if (js.scan(resp)) js.getint("status", status);
    return status;
}

// What the callbacks of one handle (or one client) saw.
struct recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> codes;
    std::vector<std::string> reasons;
    std::vector<std::string> responses;
    std::vector<oxa_valrec> vals;
    std::vector<std::string> objs;  // name + "=" + data
    std::vector<int> curdbs;        // oxa_curdb asked inside the status callback
    std::string logged;             // the library's log lines, one a line
    int handle = -1;

    static recorder* of(void* u) { return static_cast<recorder*>(u); }
    static void onstatus(int code, const char* reason, void* u) {
        recorder* r = of(u);
        std::lock_guard<std::mutex> lk(r->mu);
        r->codes.push_back(code);
        r->reasons.push_back(reason ? reason : "(null)");
        if (r->handle >= 0) r->curdbs.push_back(oxa_curdb(r->handle));
        r->cv.notify_all();
    }
    static void onresponse(const char* text, int n, void* u) {
        recorder* r = of(u);
        std::lock_guard<std::mutex> lk(r->mu);
        EXPECT_EQ(static_cast<int>(std::strlen(text)), n);
        r->responses.emplace_back(text, n);
        r->cv.notify_all();
    }
    static bool onvalue(oxa_valrec* rec, void* u) {
        recorder* r = of(u);
        std::lock_guard<std::mutex> lk(r->mu);
        r->vals.push_back(*rec);
        r->cv.notify_all();
        return true;
    }
    static bool onobject(oxa_objrec* rec, void* u) {
        recorder* r = of(u);
        std::lock_guard<std::mutex> lk(r->mu);
        r->objs.push_back(std::string(rec->name) + "=" +
                          std::string(reinterpret_cast<const char*>(rec->data), rec->length));
        EXPECT_EQ(rec->data[rec->length], 0);
        r->cv.notify_all();
        return true;
    }

    static void onlog(int, const char* text, void* u) {
        recorder* r = of(u);
        std::lock_guard<std::mutex> lk(r->mu);
        r->logged += std::string(text) + "\n";
    }
    std::string log() {
        std::lock_guard<std::mutex> lk(mu);
        return logged;
    }

    // Waits until pred() holds (checked under mu whenever cv is signalled).
    bool wait(const std::function<bool()>& pred) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(20), pred);
    }
    bool waitcode(int code, size_t times = 1) {
        return wait([&] { return size_t(std::count(codes.begin(), codes.end(), code)) >= times; });
    }
    // Sends one request through send() (which must return 0) and returns
    // its response.
    std::string roundtrip(const std::function<int()>& send) {
        size_t before;
        {
            std::lock_guard<std::mutex> lk(mu);
            before = responses.size();
        }
        EXPECT_EQ(send(), 0);
        EXPECT_TRUE(wait([&] { return responses.size() > before; }));
        std::lock_guard<std::mutex> lk(mu);
        return responses.size() > before ? responses[before] : "";
    }
};

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
