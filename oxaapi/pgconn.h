// pgconn.h - one libpq connection whose every wait is bounded.
//
// The socket is non-blocking and every wait (connecting, sending, waiting
// for an answer, feeding a COPY) polls it in slices of at most 100 ms, so a
// server that accepts and never answers costs at most the time-out, and a
// stop flag set by another thread ends a wait within one slice.  A wait
// that runs out, a stop, or a broken socket closes the connection.
//
// Results: DB_OK; DB_FAIL when the server refused the statement for its
// content (SQLSTATE classes 22 data exception and 23 integrity constraint)
// and the connection is still good; DB_LOST for everything else - the
// connection is closed or not to be trusted (the server shut down or went
// away, a time-out, a full disk on the server, a read-only standby, missing
// tables or rights), and the caller reconnects.  The reason is in error().
//
// Thread-safety: one thread at a time; only the stop flag is read across
// threads.
#pragma once
#include <libpq-fe.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oxa {

struct pgclear {
    void operator()(PGresult* r) const { PQclear(r); }
};
using pgresult = std::unique_ptr<PGresult, pgclear>;

using pgparams = std::vector<std::pair<std::string, std::string>>;

// A parameter in binary form: type is the pg_type oid of data.
struct pgbinary {
    Oid type = 0;
    std::string data;
};

class pgconn {
  public:
    pgconn() = default;
    ~pgconn() { close(); }
    pgconn(const pgconn&) = delete;
    pgconn& operator=(const pgconn&) = delete;

    // Connects with libpq keywords and values; DB_OK or DB_LOST.
    int connect(const pgparams& kv, int timeoutms);
    void close();
    bool isopen() const { return c_ != nullptr; }
    int socket() const { return c_ ? PQsocket(c_) : -1; }
    // Bound of every later wait for the server (default 30 s).
    void settimeout(int ms) { timeoutms_ = ms; }
    // A wait ends (and the connection closes) soon after *stop becomes true.
    void setstop(const std::atomic<bool>* stop) { stop_ = stop; }

    // Runs sql (one or more statements) and keeps the last result in *last.
    int exec(std::string_view sql, pgresult* last = nullptr);
    // One statement with text parameters (null pointers are NULL); with
    // binary, the result columns come in binary form.
    int query(const char* sql, const std::vector<const char*>& params, bool binary, pgresult* out);
    // One statement with parameters in binary form; its result in *out
    // when out is not null.
    int query(const char* sql, const std::vector<pgbinary>& params, pgresult* out = nullptr);
    // sql runs statements of which the last is a COPY ... FROM STDIN; data
    // is its whole input.
    int copyin(std::string_view sql, std::string_view data);
    // True when notifications arrived since the last call; reads what the
    // socket holds without waiting.  DB_LOST in *rc when the socket is gone.
    bool notified(int* rc);

    const std::string& error() const { return err_; }
    // SQLSTATE of the last refused statement ("" when none).
    const std::string& sqlstate() const { return state_; }
    PGconn* raw() { return c_; }
    // Text as a SQL string literal ('' doubled); E'' is never needed since
    // the connection uses standard_conforming_strings.
    static std::string literal(std::string_view s);

  private:
    int lost(std::string why);
    // 1 ready, 0 time-out, -1 stopped or poll failed.
    int waitsock(bool forwrite, int64_t deadline);
    int flush(int64_t deadline);
    // Collects results until none is left (or, with tocopy, until COPY IN
    // starts: then *incopy is set).
    int collect(int64_t deadline, pgresult* last, bool tocopy, bool* incopy);

    int sent(bool ok, pgresult* out);
    int64_t deadline() const;

    PGconn* c_ = nullptr;
    const std::atomic<bool>* stop_ = nullptr;
    int timeoutms_ = 30000;
    std::string err_;
    std::string state_;
};

// The message of a libpq error text on one line (lines joined with "; ").
std::string oneline(const char* text);

}  // namespace oxa
