#include "oxaapi/pgconn.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "oxaapi/backend.h"

namespace oxa {

namespace {

constexpr int slicems = 100;  // longest wait between looks at the stop flag
constexpr size_t copychunk = 256 << 10;

int64_t nowmono() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Refusals that concern the statement's content; the connection stays.
bool contentstate(const char* state) {
    return state && (std::strncmp(state, "22", 2) == 0 || std::strncmp(state, "23", 2) == 0);
}

}  // namespace

std::string oneline(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    size_t p;
    while ((p = s.find('\n')) != std::string::npos) s.replace(p, 1, "; ");
    return s;
}

std::string pgconn::literal(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

int64_t pgconn::deadline() const {
    return nowmono() + timeoutms_;
}

int pgconn::lost(std::string why) {
    err_ = std::move(why);
    state_.clear();
    close();
    return DB_LOST;
}

void pgconn::close() {
    if (c_) PQfinish(c_);
    c_ = nullptr;
}

int pgconn::waitsock(bool forwrite, int64_t deadline) {
    for (;;) {
        if (stop_ && stop_->load(std::memory_order_acquire)) return -1;
        int64_t left = deadline - nowmono();
        if (left <= 0) return 0;
        pollfd p{};
        p.fd = PQsocket(c_);
        if (p.fd < 0) return -1;
        p.events = static_cast<short>(POLLIN | (forwrite ? POLLOUT : 0));
        int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, slicems)));
        if (n > 0) return 1;
        if (n < 0 && errno != EINTR) return -1;
    }
}

int pgconn::connect(const pgparams& kv, int timeoutms) {
    close();
    std::vector<const char*> keys, vals;
    for (const auto& [k, v] : kv) {
        keys.push_back(k.c_str());
        vals.push_back(v.c_str());
    }
    keys.push_back(nullptr);
    vals.push_back(nullptr);
    c_ = PQconnectStartParams(keys.data(), vals.data(), 0);
    if (!c_) return lost("out of memory");
    if (PQstatus(c_) == CONNECTION_BAD) return lost(oneline(PQerrorMessage(c_)));
    int64_t end = nowmono() + timeoutms;
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    for (;;) {
        if (st == PGRES_POLLING_OK) break;
        if (st == PGRES_POLLING_FAILED) return lost(oneline(PQerrorMessage(c_)));
        int w = waitsock(st == PGRES_POLLING_WRITING, end);
        if (w == 0)
            return lost("no answer from the server within " + std::to_string(timeoutms) +
                        " ms while connecting");
        if (w < 0) return lost("connecting was interrupted");
        st = PQconnectPoll(c_);
    }
    if (PQsetnonblocking(c_, 1) != 0) return lost(oneline(PQerrorMessage(c_)));
    // Notices (a shutdown's warning, say) are not errors; what matters of
    // them shows as an error or a lost connection.
    PQsetNoticeProcessor(
        c_, [](void*, const char*) {}, nullptr);
    return DB_OK;
}

int pgconn::flush(int64_t end) {
    for (;;) {
        int r = PQflush(c_);
        if (r == 0) return DB_OK;
        if (r < 0) return lost(oneline(PQerrorMessage(c_)));
        int w = waitsock(true, end);
        if (w == 0)
            return lost("the server took no data for " + std::to_string(timeoutms_) + " ms");
        if (w < 0) return lost("interrupted while sending");
        // The server may answer (an error) while we send: read it so its
        // buffer never blocks ours.
        if (PQconsumeInput(c_) == 0) return lost(oneline(PQerrorMessage(c_)));
    }
}

int pgconn::collect(int64_t end, pgresult* last, bool tocopy, bool* incopy) {
    int rc = DB_OK;
    for (;;) {
        while (PQisBusy(c_)) {
            int w = waitsock(false, end);
            if (w == 0)
                return lost("no answer from the server within " + std::to_string(timeoutms_) +
                            " ms");
            if (w < 0) return lost("interrupted while waiting for the server");
            if (PQconsumeInput(c_) == 0) return lost(oneline(PQerrorMessage(c_)));
        }
        pgresult r(PQgetResult(c_));
        if (!r) break;
        ExecStatusType st = PQresultStatus(r.get());
        if (st == PGRES_COPY_IN && tocopy) {
            *incopy = true;
            return rc;
        }
        if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH) {
            // Not expected here; the connection is in a state we cannot use.
            return lost("unexpected COPY state from the server");
        }
        if (st == PGRES_FATAL_ERROR || st == PGRES_NONFATAL_ERROR || st == PGRES_BAD_RESPONSE) {
            if (rc == DB_OK) {
                const char* s = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
                state_ = s ? s : "";
                err_ = oneline(PQresultErrorMessage(r.get()));
                if (err_.empty()) err_ = oneline(PQerrorMessage(c_));
                rc = contentstate(s) ? DB_FAIL : DB_LOST;
            }
            continue;
        }
        if (last) *last = std::move(r);
    }
    if (PQstatus(c_) == CONNECTION_BAD) {
        std::string why = rc != DB_OK ? err_ : oneline(PQerrorMessage(c_));
        return lost(why.empty() ? "connection lost" : why);
    }
    if (rc == DB_LOST) {
        std::string why = err_;
        std::string state = state_;
        close();
        err_ = why;
        state_ = state;
    }
    return rc;
}

int pgconn::exec(std::string_view sql, pgresult* last) {
    if (!c_) {
        err_ = "not connected";
        return DB_LOST;
    }
    std::string text(sql);
    if (!PQsendQuery(c_, text.c_str())) return lost(oneline(PQerrorMessage(c_)));
    int64_t end = deadline();
    int rc = flush(end);
    if (rc != DB_OK) return rc;
    return collect(end, last, false, nullptr);
}

int pgconn::sent(bool ok, pgresult* out) {
    if (!ok) return lost(oneline(PQerrorMessage(c_)));
    int64_t end = deadline();
    int rc = flush(end);
    if (rc != DB_OK) return rc;
    return collect(end, out, false, nullptr);
}

int pgconn::query(const char* sql, const std::vector<const char*>& params, bool binary,
                  pgresult* out) {
    if (!c_) {
        err_ = "not connected";
        return DB_LOST;
    }
    return sent(PQsendQueryParams(c_, sql, static_cast<int>(params.size()), nullptr, params.data(),
                                  nullptr, nullptr, binary ? 1 : 0),
                out);
}

int pgconn::query(const char* sql, const std::vector<pgbinary>& params, pgresult* out) {
    if (!c_) {
        err_ = "not connected";
        return DB_LOST;
    }
    std::vector<Oid> types;
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const pgbinary& p : params) {
        types.push_back(p.type);
        values.push_back(p.data.data());
        lengths.push_back(static_cast<int>(p.data.size()));
        formats.push_back(1);
    }
    return sent(PQsendQueryParams(c_, sql, static_cast<int>(params.size()), types.data(),
                                  values.data(), lengths.data(), formats.data(), 0),
                out);
}

int pgconn::copyin(std::string_view sql, std::string_view data) {
    if (!c_) {
        err_ = "not connected";
        return DB_LOST;
    }
    std::string text(sql);
    if (!PQsendQuery(c_, text.c_str())) return lost(oneline(PQerrorMessage(c_)));
    int64_t end = deadline();
    int rc = flush(end);
    if (rc != DB_OK) return rc;
    bool incopy = false;
    rc = collect(end, nullptr, true, &incopy);
    if (!incopy) {
        if (rc == DB_OK) return lost("the server did not start the COPY");
        return rc;
    }
    // The statements before the COPY went through; an error among them was
    // reported before COPY started, which cannot happen in one transaction.
    size_t off = 0;
    while (off < data.size()) {
        size_t n = std::min(copychunk, data.size() - off);
        int r = PQputCopyData(c_, data.data() + off, static_cast<int>(n));
        if (r < 0) return lost(oneline(PQerrorMessage(c_)));
        if (r == 0) {
            int w = waitsock(true, end);
            if (w == 0)
                return lost("the server took no COPY data for " + std::to_string(timeoutms_) +
                            " ms");
            if (w < 0) return lost("interrupted during COPY");
            if (PQconsumeInput(c_) == 0) return lost(oneline(PQerrorMessage(c_)));
            if (PQflush(c_) < 0) return lost(oneline(PQerrorMessage(c_)));
            continue;
        }
        off += n;
    }
    for (;;) {
        int r = PQputCopyEnd(c_, nullptr);
        if (r < 0) return lost(oneline(PQerrorMessage(c_)));
        if (r == 1) break;
        int w = waitsock(true, end);
        if (w == 0)
            return lost("the server took no COPY data for " + std::to_string(timeoutms_) + " ms");
        if (w < 0) return lost("interrupted during COPY");
    }
    rc = flush(end);
    if (rc != DB_OK) return rc;
    return collect(end, nullptr, false, nullptr);
}

bool pgconn::notified(int* rc) {
    *rc = DB_OK;
    if (!c_) {
        *rc = DB_LOST;
        err_ = "not connected";
        return false;
    }
    if (PQconsumeInput(c_) == 0) {
        *rc = lost(oneline(PQerrorMessage(c_)));
        return false;
    }
    bool any = false;
    while (PGnotify* n = PQnotifies(c_)) {
        any = true;
        PQfreemem(n);
    }
    if (PQstatus(c_) == CONNECTION_BAD) *rc = lost("connection lost");
    return any;
}

}  // namespace oxa
