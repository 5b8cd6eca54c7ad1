// testutil.h - helpers shared by the tests of this folder (not part of the
// library): a temporary directory that removes itself, and a wait for a
// condition with a generous safety limit (a hung library fails the test
// instead of blocking the run; no test measures how long anything took).
//
// Thread-safety: test-only; tempdir belongs to one thread.
#pragma once
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

namespace oxatest {

class tempdir {
  public:
    tempdir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "oxaapi-XXXXXX").string();
        char* p = ::mkdtemp(tmpl.data());
        if (p) path_ = p;
    }
    ~tempdir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Waits until pred() holds (checked under mu whenever cv is signalled).
inline bool waitfor(std::mutex& mu, std::condition_variable& cv,
                    const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(20), pred);
}

// Runs one SQL statement on its own connection and returns the first column
// of the first row as text ("" when there is none, "ERR: ..." on failure).
inline std::string query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        out = "ERR: open";
    } else {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            out = std::string("ERR: ") + sqlite3_errmsg(db);
        } else {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW) {
                const unsigned char* t = sqlite3_column_text(st, 0);
                out = t ? reinterpret_cast<const char*>(t) : "NULL";
            } else if (rc != SQLITE_DONE) {
                out = std::string("ERR: ") + sqlite3_errmsg(db);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

}  // namespace oxatest
