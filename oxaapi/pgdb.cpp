#include "oxaapi/pgdb.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/env.h"
#include "oxaapi/dburl.h"

namespace oxa {

const char* const pgschema =
    "CREATE TABLE IF NOT EXISTS meta(key text PRIMARY KEY, value text);"
    "INSERT INTO meta(key, value) VALUES('schema', '1') ON CONFLICT DO NOTHING;"
    "CREATE TABLE IF NOT EXISTS snapshot(name text PRIMARY KEY, time bigint NOT NULL,"
    " quality integer NOT NULL, type integer NOT NULL, vint bigint, vreal double precision,"
    " vtext text, vbytes bytea) WITH (fillfactor = 50);"
    "CREATE TABLE IF NOT EXISTS history(name text NOT NULL, time bigint NOT NULL,"
    " quality integer NOT NULL, type integer NOT NULL, vint bigint, vreal double precision,"
    " vtext text, vbytes bytea, PRIMARY KEY (name, time)) PARTITION BY RANGE (time);"
    "CREATE TABLE IF NOT EXISTS soe(id bigserial PRIMARY KEY, f230 bigint, f231 bigint,"
    " f232 bigint, f233 integer, f234 integer, f235 bigint, f236 text, f237 text, f238 text,"
    " f239 integer, f240 integer);"
    // One row per distinct record.
    "CREATE UNIQUE INDEX IF NOT EXISTS soe_key ON soe(f230, f231, f232, f233, f234, f235, f236,"
    " f237, f238, f239, f240);"
    "CREATE TABLE IF NOT EXISTS ctrltags(name text PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS ctrlwrites(id bigserial PRIMARY KEY, name text NOT NULL,"
    " time bigint NOT NULL DEFAULT (extract(epoch FROM clock_timestamp()) * 1000)::bigint,"
    " quality integer NOT NULL DEFAULT 0, type integer NOT NULL, vint bigint,"
    " vreal double precision, vtext text, vbytes bytea,"
    " written bigint DEFAULT (extract(epoch FROM clock_timestamp()) * 1000)::bigint,"
    " delivered integer NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS ctrlwrites_pending ON ctrlwrites(delivered, id);"
    "CREATE OR REPLACE FUNCTION ctrlwrites_notify() RETURNS trigger LANGUAGE plpgsql AS"
    " $$BEGIN PERFORM pg_notify('ctrlwrites', ''); RETURN NULL; END$$;"
    "DO $$BEGIN IF NOT EXISTS (SELECT 1 FROM pg_trigger WHERE tgname = 'ctrlwrites_notify'"
    " AND tgrelid = 'ctrlwrites'::regclass) THEN CREATE TRIGGER ctrlwrites_notify AFTER INSERT"
    " ON ctrlwrites FOR EACH STATEMENT EXECUTE FUNCTION ctrlwrites_notify(); END IF; END$$;";

namespace {

// Any number: our schema creation and partition changes take it, so two
// clients starting at once do not trip over each other's DDL.
constexpr const char* ddllock = "SELECT pg_advisory_xact_lock(7305411863);";

const char* const schemacheck =
    "SELECT to_regclass('meta') IS NOT NULL AND to_regclass('snapshot') IS NOT NULL"
    " AND to_regclass('history') IS NOT NULL AND to_regclass('soe') IS NOT NULL"
    " AND to_regclass('soe_key') IS NOT NULL"
    " AND to_regclass('ctrltags') IS NOT NULL AND to_regclass('ctrlwrites') IS NOT NULL"
    " AND EXISTS(SELECT 1 FROM pg_trigger WHERE tgname = 'ctrlwrites_notify'"
    " AND tgrelid = to_regclass('ctrlwrites'))";

const char* const copyhistory =
    "COPY history(name, time, quality, type, vint, vreal, vtext, vbytes) FROM STDIN"
    " (FORMAT binary)";

#define OXA_UNNEST                                                                      \
    " SELECT * FROM unnest($1::text[], $2::int8[], $3::int4[], $4::int4[], $5::int8[]," \
    " $6::float8[], $7::text[], $8::bytea[])"

const char* const inserthistory =
    "INSERT INTO history(name, time, quality, type, vint, vreal, vtext, vbytes)" OXA_UNNEST
    " ON CONFLICT DO NOTHING";

#define OXA_UPSERT                                                                                \
    "INSERT INTO snapshot AS s(name, time, quality, type, vint, vreal, vtext, vbytes)" OXA_UNNEST \
    " ON CONFLICT (name) DO UPDATE SET time = excluded.time, quality = excluded.quality,"         \
    " type = excluded.type, vint = excluded.vint, vreal = excluded.vreal,"                        \
    " vtext = excluded.vtext, vbytes = excluded.vbytes"

const char* const upsertsnaps = OXA_UPSERT;
const char* const upsertsnapsnewer = OXA_UPSERT " WHERE excluded.time > s.time";

#undef OXA_UPSERT
#undef OXA_UNNEST

const char* const insertsoe =
    "INSERT INTO soe(f230, f231, f232, f233, f234, f235, f236, f237, f238, f239, f240)"
    " SELECT * FROM unnest($1::int8[], $2::int8[], $3::int8[], $4::int4[], $5::int4[],"
    " $6::int8[], $7::text[], $8::text[], $9::text[], $10::int4[], $11::int4[])"
    " ON CONFLICT DO NOTHING";

const char* const pendingsql =
    "SELECT w.id, w.name, w.time, w.quality, w.type, w.vint, w.vreal, w.vtext, w.vbytes"
    " FROM ctrlwrites w JOIN ctrltags c ON c.name = w.name WHERE w.delivered = 0"
    " ORDER BY w.id LIMIT $1::bigint";

const char* const partsql =
    "SELECT c.relname, pg_get_expr(c.relpartbound, c.oid) FROM pg_inherits i"
    " JOIN pg_class c ON c.oid = i.inhrelid WHERE i.inhparent = to_regclass('history')";

constexpr char copyhead[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";  // signature, flags, extension

// ---- binary COPY rows ------------------------------------------------------

void put16(std::string& b, uint16_t v) {
    v = htons(v);
    b.append(reinterpret_cast<const char*>(&v), 2);
}

void put32(std::string& b, uint32_t v) {
    v = htonl(v);
    b.append(reinterpret_cast<const char*>(&v), 4);
}

void put64(std::string& b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}

void fnull(std::string& b) {
    put32(b, 0xffffffffu);
}

void fint4(std::string& b, int32_t v) {
    put32(b, 4);
    put32(b, static_cast<uint32_t>(v));
}

void fint8(std::string& b, int64_t v) {
    put32(b, 8);
    put64(b, static_cast<uint64_t>(v));
}

void ffloat8(std::string& b, double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    put32(b, 8);
    put64(b, u);
}

void fbytes(std::string& b, std::string_view s) {
    put32(b, static_cast<uint32_t>(s.size()));
    b.append(s.data(), s.size());
}

void copystart(std::string& b) {
    b.assign(copyhead, sizeof copyhead - 1);
}

void copyend(std::string& b) {
    put16(b, 0xffff);
}

// Where a value goes: 0 vint, 1 vreal, 2 vtext, 3 vbytes, -1 nowhere.
int valuecolumn(const tagrow& r) {
    switch (r.kind) {
        case VAL_INT:
            return 0;
        case VAL_REAL:
            return 1;
        case VAL_TEXT:
            return pgtextok(r.bytes) ? 2 : 3;
        case VAL_BLOB:
            return 3;
        default:
            return -1;
    }
}

// One row of history in binary COPY form.
void historyrow(std::string& b, const tagrow& r) {
    put16(b, 8);
    fbytes(b, r.name);
    fint8(b, r.time);
    fint4(b, r.quality);
    fint4(b, r.type);
    int col = valuecolumn(r);
    for (int c = 0; c < 4; ++c) {
        if (c != col) {
            fnull(b);
        } else if (c == 0) {
            fint8(b, r.i);
        } else if (c == 1) {
            ffloat8(b, r.d);
        } else {
            fbytes(b, r.bytes);
        }
    }
}

// A one-dimensional array parameter in binary form, built element by element.
class pgarray {
  public:
    explicit pgarray(Oid elem, Oid arraytype) : elem_(elem) { p_.type = arraytype; }
    void null() {
        fnull(body_);
        hasnull_ = true;
        ++n_;
    }
    void bytes(std::string_view s) {
        fbytes(body_, s);
        ++n_;
    }
    void int8(int64_t v) {
        fint8(body_, v);
        ++n_;
    }
    void int4(int32_t v) {
        fint4(body_, v);
        ++n_;
    }
    void float8(double d) {
        ffloat8(body_, d);
        ++n_;
    }
    pgbinary take() {
        p_.data.clear();
        put32(p_.data, 1);
        put32(p_.data, hasnull_ ? 1 : 0);
        put32(p_.data, elem_);
        put32(p_.data, n_);
        put32(p_.data, 1);
        p_.data += body_;
        return std::move(p_);
    }

  private:
    Oid elem_;
    pgbinary p_;
    std::string body_;
    uint32_t n_ = 0;
    bool hasnull_ = false;
};

// pg_type oids of the elements and arrays used here.
enum : Oid {
    byteaoid = 17,
    int8oid = 20,
    int4oid = 23,
    textoid = 25,
    float8oid = 701,
    byteaarray = 1001,
    int4array = 1007,
    textarray = 1009,
    int8array = 1016,
    float8array = 1022
};

// The eight parameters of the unnest() statements for rows.
std::vector<pgbinary> rowarrays(const std::vector<const tagrow*>& rows) {
    pgarray name(textoid, textarray), time(int8oid, int8array), quality(int4oid, int4array),
        type(int4oid, int4array), vint(int8oid, int8array), vreal(float8oid, float8array),
        vtext(textoid, textarray), vbytes(byteaoid, byteaarray);
    for (const tagrow* r : rows) {
        name.bytes(r->name);
        time.int8(r->time);
        quality.int4(r->quality);
        type.int4(r->type);
        int col = valuecolumn(*r);
        if (col == 0) {
            vint.int8(r->i);
        } else {
            vint.null();
        }
        if (col == 1) {
            vreal.float8(r->d);
        } else {
            vreal.null();
        }
        if (col == 2) {
            vtext.bytes(r->bytes);
        } else {
            vtext.null();
        }
        if (col == 3) {
            vbytes.bytes(r->bytes);
        } else {
            vbytes.null();
        }
    }
    return {name.take(), time.take(),  quality.take(), type.take(),
            vint.take(), vreal.take(), vtext.take(),   vbytes.take()};
}

// The row of each tag that its snapshot takes: the last one of the request
// (live values), or the newest and first of its time (replayed values).
std::vector<const tagrow*> snapshotrows(const std::vector<const tagrow*>& rows, bool insert) {
    std::unordered_map<std::string_view, size_t> at;
    std::vector<const tagrow*> out;
    at.reserve(rows.size());
    out.reserve(rows.size());
    for (const tagrow* r : rows) {
        auto [it, fresh] = at.try_emplace(r->name, out.size());
        if (fresh) {
            out.push_back(r);
        } else if (!insert || r->time > out[it->second]->time) {
            out[it->second] = r;
        }
    }
    return out;
}

// True when two rows share a name and time.
bool repeatskey(const std::vector<const tagrow*>& rows) {
    struct keyhash {
        size_t operator()(const std::pair<std::string_view, int64_t>& k) const {
            return std::hash<std::string_view>()(k.first) ^ (static_cast<size_t>(k.second) * 31);
        }
    };
    std::unordered_set<std::pair<std::string_view, int64_t>, keyhash> seen;
    seen.reserve(rows.size());
    for (const tagrow* r : rows)
        if (!seen.emplace(r->name, r->time).second) return true;
    return false;
}

// A record text field as text PostgreSQL takes: bytes that are not UTF-8
// become U+FFFD.  *changed tells whether any did.
std::string recordtext(const char* p, size_t width, bool* changed) {
    size_t n = 0;
    while (n < width && p[n]) ++n;
    std::string_view s(p, n);
    if (pgtextok(s)) return std::string(s);
    *changed = true;
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t len = 1;
        unsigned c = static_cast<unsigned char>(s[i]);
        if (c >= 0xC2 && c <= 0xF4) len = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (i + len <= s.size() && pgtextok(s.substr(i, len))) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// ---- binary results --------------------------------------------------------

uint64_t get64(const char* p) {
    uint32_t hi, lo;
    std::memcpy(&hi, p, 4);
    std::memcpy(&lo, p + 4, 4);
    return (static_cast<uint64_t>(ntohl(hi)) << 32) | ntohl(lo);
}

int64_t colint(PGresult* r, int row, int col) {
    int n = PQgetlength(r, row, col);
    const char* p = PQgetvalue(r, row, col);
    if (n == 8) return static_cast<int64_t>(get64(p));
    if (n == 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<int32_t>(ntohl(v));
    }
    if (n == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<int16_t>(ntohs(v));
    }
    return 0;
}

bool readsetting(const std::string& v, int64_t lo, int64_t hi, int64_t* out) {
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || errno != 0 || *end != 0 || x < lo || x > hi) return false;
    *out = x;
    return true;
}

}  // namespace

bool pgtextok(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned c = p[i];
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::unique_ptr<pgdb> pgdb::make(const dburl& u, const dblogin& login, std::string* err) {
    pgsettings s;
    pgparams kv;
    bool hasenc = false, hasapp = false;
    struct ours {
        const char* key;
        int64_t lo, hi, scale;
        int64_t* out;
    };
    int64_t connects = s.connectms / 1000, stmt = s.statementms, days = 1, ahead = s.ahead,
            keep = 0;
    const ours table[] = {
        {"connect_timeout", 1, 3600, 1, &connects}, {"statement_timeout", 100, 86400000, 1, &stmt},
        {"partition_days", 1, 3660, 1, &days},      {"partitions_ahead", 0, 366, 1, &ahead},
        {"retention_days", 0, 366000, 1, &keep},
    };
    for (const auto& [k, v] : u.params) {
        if (k == "queuebytes") continue;  // the client library's own (oxaapi.h)
        bool mine = false;
        for (const ours& o : table) {
            if (k != o.key) continue;
            mine = true;
            if (!readsetting(v, o.lo, o.hi, o.out)) {
                *err = "database url setting " + k + "=" + v + " is not a whole number from " +
                       std::to_string(o.lo) + " to " + std::to_string(o.hi);
                return nullptr;
            }
        }
        if (mine) continue;
        hasenc = hasenc || k == "client_encoding";
        hasapp = hasapp || k == "application_name";
        kv.emplace_back(k, v);
    }
    s.connectms = static_cast<int>(connects * 1000);
    s.statementms = static_cast<int>(stmt);
    s.periodms = days * daysms;
    s.ahead = static_cast<int>(ahead);
    s.retentionms = keep * daysms;
    if (!hasenc) kv.emplace_back("client_encoding", "UTF8");
    if (!hasapp) kv.emplace_back("application_name", "oxaapi");
    // A server that vanished (power, network) is noticed within a minute
    // even while the connection is idle.
    kv.emplace_back("keepalives_idle", "20");
    kv.emplace_back("keepalives_interval", "10");
    kv.emplace_back("keepalives_count", "3");
    kv.emplace_back("dbname", u.dbname);

    auto target = [&](const std::string& host, uint16_t port, const std::string& user,
                      const std::string& pswd, const char* role) {
        pgtarget t;
        t.kv = kv;
        t.kv.emplace_back("host", host);
        if (port) t.kv.emplace_back("port", std::to_string(port));
        if (!user.empty()) t.kv.emplace_back("user", user);
        if (!pswd.empty()) t.kv.emplace_back("password", pswd);
        t.label = std::string(role) + host + ":" + std::to_string(port ? port : 5432);
        return t;
    };
    std::string user = !u.user.empty() ? u.user : login.user;
    std::string pswd = u.haspassword ? u.password : login.pswd;
    std::vector<pgtarget> ts;
    ts.push_back(target(u.host, u.port, user, pswd, ""));
    if (!login.slavehost.empty()) {
        ts.push_back(target(login.slavehost, login.slaveport,
                            login.slaveuser.empty() ? user : login.slaveuser,
                            login.slavepswd.empty() ? pswd : login.slavepswd, "standby "));
    }
    auto prefer = login.prefer ? login.prefer : std::make_shared<std::atomic<int>>(0);
    return std::make_unique<pgdb>(std::move(ts), s, std::move(prefer));
}

pgdb::pgdb(std::vector<pgtarget> targets, pgsettings s, std::shared_ptr<std::atomic<int>> prefer)
    : targets_(std::move(targets)), set_(s), prefer_(std::move(prefer)) {
    // Every wait is bounded a little beyond the server's own statement
    // time-out, so a healthy slow server answers with its error first.
    conn_.settimeout(set_.statementms + 1000);
}

pgdb::~pgdb() {
    close();
}

int pgdb::fail(int rc, const std::string& what) {
    err_ = what + ": " + conn_.error();
    return rc;
}

int pgdb::exec(const std::string& sql, pgresult* last) {
    return conn_.exec(sql, last);
}

void pgdb::close() {
    conn_.close();
    intx_ = txsent_ = false;
    deferred_.clear();
    soe_.clear();
    delivered_.clear();
    refusedctrl_.clear();
}

int pgdb::open() {
    close();
    conn_.setstop(stop_);
    int n = static_cast<int>(targets_.size());
    int first = prefer_->load() % n;
    std::string why;
    for (int k = 0; k < n; ++k) {
        int i = (first + k) % n;
        if (openone(targets_[i]) == DB_OK) {
            cur_ = i;
            prefer_->store(i);
            return DB_OK;
        }
        conn_.close();
        if (!why.empty()) why += "; ";
        why += targets_[i].label + ": " + err_;
    }
    err_ = why;
    return DB_LOST;
}

int pgdb::openone(const pgtarget& t) {
    if (conn_.connect(t.kv, set_.connectms) != DB_OK) return fail(DB_LOST, "connect");
    pgresult r;
    std::string setup = "SET statement_timeout = " + std::to_string(set_.statementms) +
                        "; SELECT pg_is_in_recovery(), current_setting('server_version_num')";
    if (conn_.exec(setup, &r) != DB_OK) return fail(DB_LOST, "setup");
    if (PQntuples(r.get()) == 1 && PQgetvalue(r.get(), 0, 0)[0] == 't') {
        err_ = "the server is a standby in recovery (read-only)";
        return DB_LOST;
    }
    if (std::atoi(PQgetvalue(r.get(), 0, 1)) < 110000) {
        err_ = "the server is older than PostgreSQL 11";
        return DB_LOST;
    }
    int rc = ensureschema();
    if (rc != DB_OK) return rc;
    if (conn_.exec("LISTEN ctrlwrites") != DB_OK) return fail(DB_LOST, "setup");
    rc = loadparts();
    if (rc != DB_OK) return rc;
    firstchange_ = true;
    notified_ = false;
    nexthouse_ = 0;
    return housekeep();
}

int pgdb::ensureschema() {
    pgresult r;
    if (conn_.exec(schemacheck, &r) != DB_OK) return fail(DB_LOST, "schema check");
    if (PQntuples(r.get()) == 1 && PQgetvalue(r.get(), 0, 0)[0] == 't') return DB_OK;
    std::string sql = std::string("BEGIN; ") + ddllock + pgschema + "COMMIT;";
    if (conn_.exec(sql) != DB_OK) {
        std::string why = conn_.error();
        conn_.exec("ROLLBACK");
        err_ = "creating the tables: " + why;
        return DB_LOST;
    }
    log(30, "created the tables of the database");
    return DB_OK;
}

int pgdb::loadparts() {
    parts_.clear();
    partitioned_ = hasdefault_ = false;
    pgresult r;
    if (conn_.exec("SELECT relkind FROM pg_class WHERE oid = to_regclass('history')", &r) != DB_OK)
        return fail(DB_LOST, "history");
    partitioned_ = PQntuples(r.get()) == 1 && PQgetvalue(r.get(), 0, 0)[0] == 'p';
    if (!partitioned_) return DB_OK;
    if (conn_.exec(partsql, &r) != DB_OK) return fail(DB_LOST, "history partitions");
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        int64_t lo, hi;
        std::string bound = PQgetvalue(r.get(), i, 1);
        if (parsebound(bound, &lo, &hi)) {
            parts_.add(lo, hi, PQgetvalue(r.get(), i, 0));
        } else if (bound == "DEFAULT") {
            hasdefault_ = true;
        }
    }
    return DB_OK;
}

int pgdb::makepart(int64_t t) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        partrange p = parts_.plan(t, set_.periodms);
        std::string sql = std::string("BEGIN; ") + ddllock + "CREATE TABLE IF NOT EXISTS \"" +
                          p.name + "\" PARTITION OF history FOR VALUES FROM (" +
                          std::to_string(p.lo) + ") TO (" + std::to_string(p.hi) + "); COMMIT;";
        if (conn_.exec(sql) == DB_OK) {
            parts_.add(p.lo, p.hi, p.name);
            log(40, "history partition " + p.name + " created");
            return DB_OK;
        }
        std::string why = conn_.error();
        if (!conn_.isopen()) return fail(DB_LOST, "history partition " + p.name);
        conn_.exec("ROLLBACK");
        // Another client made a partition meanwhile (under another name or
        // with other bounds): learn the partitions again and plan anew.
        int rc = loadparts();
        if (rc != DB_OK) return rc;
        if (parts_.covers(t)) return DB_OK;
        err_ = "history partition " + p.name + ": " + why;
    }
    return DB_LOST;
}

int pgdb::housekeep() {
    int64_t now = zo::env::current()->nowms();
    if (now < nexthouse_ || !partitioned_) return DB_OK;
    nexthouse_ = now + 3600000;
    if (!hasdefault_) {
        for (int64_t t = now - set_.periodms; t <= now + set_.ahead * daysms; t += set_.periodms) {
            if (parts_.covers(t)) continue;
            int rc = makepart(t);
            if (rc != DB_OK) {
                log(20, err_);
                return conn_.isopen() ? DB_OK : rc;
            }
        }
    }
    if (set_.retentionms <= 0) return DB_OK;
    for (const partrange& p : parts_.before(now - set_.retentionms)) {
        std::string sql =
            std::string("BEGIN; ") + ddllock + "DROP TABLE IF EXISTS \"" + p.name + "\"; COMMIT;";
        if (conn_.exec(sql) != DB_OK) {
            log(20, "dropping history partition " + p.name + " failed: " + conn_.error());
            if (!conn_.isopen()) return fail(DB_LOST, "retention");
            conn_.exec("ROLLBACK");
            continue;
        }
        parts_.remove(p.name);
        log(30, "history partition " + p.name + " dropped (older than the retention of " +
                    std::to_string(set_.retentionms / daysms) + " days)");
    }
    return DB_OK;
}

std::string pgdb::txprefix() {
    if (!intx_ || txsent_) return std::string();
    txsent_ = true;
    return "BEGIN; ";
}

int pgdb::begin() {
    if (!conn_.isopen()) {
        err_ = "not connected";
        return DB_LOST;
    }
    intx_ = true;
    txsent_ = false;
    return DB_OK;
}

int pgdb::commit() {
    int rc = DB_OK;
    if (!soe_.empty()) rc = writesoe();
    if (rc == DB_OK) {
        std::string sql = deferred_;
        auto marks = [&](const std::vector<int64_t>& ids, int state) {
            if (ids.empty()) return;
            sql += "UPDATE ctrlwrites SET delivered = " + std::to_string(state) + " WHERE id IN (";
            for (size_t i = 0; i < ids.size(); ++i) {
                if (i) sql += ',';
                sql += std::to_string(ids[i]);
            }
            sql += ");";
        };
        marks(delivered_, 1);
        marks(refusedctrl_, -1);
        if (!sql.empty() || txsent_) {
            sql = txprefix() + sql + "COMMIT;";
            rc = conn_.exec(sql);
            if (rc != DB_OK) rc = fail(rc, "commit");
        }
    }
    bool sent = txsent_;
    deferred_.clear();
    delivered_.clear();
    refusedctrl_.clear();
    intx_ = txsent_ = false;
    if (rc != DB_OK && sent && conn_.isopen()) {
        std::string why = err_;
        conn_.exec("ROLLBACK");
        err_ = why;
    }
    return rc;
}

int pgdb::rollback() {
    int rc = DB_OK;
    if (txsent_ && conn_.isopen()) rc = conn_.exec("ROLLBACK");
    deferred_.clear();
    soe_.clear();
    delivered_.clear();
    refusedctrl_.clear();
    intx_ = txsent_ = false;
    return rc;
}

int pgdb::begintx() {
    if (txsent_) return DB_OK;
    txsent_ = true;
    return conn_.exec("BEGIN");
}

int pgdb::copyrows(const std::vector<const tagrow*>& rows) {
    std::string data;
    copystart(data);
    for (const tagrow* r : rows) historyrow(data, *r);
    copyend(data);
    int rc = conn_.copyin(txprefix() + copyhistory, data);
    return rc == DB_OK ? DB_OK : fail(rc, "history");
}

int pgdb::insertrows(const std::vector<const tagrow*>& rows, size_t* dups) {
    int rc = begintx();
    pgresult r;
    if (rc == DB_OK) rc = conn_.query(inserthistory, rowarrays(rows), &r);
    if (rc != DB_OK) return fail(rc, "history");
    const char* n = PQcmdTuples(r.get());
    size_t inserted = n && *n ? std::strtoull(n, nullptr, 10) : 0;
    *dups += rows.size() - std::min(inserted, rows.size());
    return DB_OK;
}

int pgdb::upsertrows(const std::vector<const tagrow*>& rows, bool insert) {
    int rc =
        conn_.query(insert ? upsertsnapsnewer : upsertsnaps, rowarrays(snapshotrows(rows, insert)));
    return rc == DB_OK ? DB_OK : fail(rc, "snapshot");
}

int pgdb::putrows(const std::vector<tagrow>& rows, bool insert, std::vector<rowrefusal>* refused,
                  size_t* dups) {
    std::vector<const tagrow*> good;
    std::vector<size_t> index;
    good.reserve(rows.size());
    index.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const tagrow& r = rows[i];
        if (!pgtextok(r.name)) {
            refused->push_back(rowrefusal{i, "the name is not UTF-8 text"});
        } else if (r.time == INT64_MAX) {
            refused->push_back(rowrefusal{i, "the time is out of range"});
        } else {
            good.push_back(&r);
            index.push_back(i);
        }
    }
    if (good.empty()) return DB_OK;
    if (partitioned_ && !hasdefault_) {
        for (const tagrow* r : good) {
            if (parts_.covers(r->time)) continue;
            // Partitions are made outside the request's transaction, which
            // has sent nothing yet: a rolled-back request keeps them.
            if (txsent_) {
                err_ = "history partition needed inside a transaction";
                return DB_FAIL;
            }
            int rc = makepart(r->time);
            if (rc != DB_OK) return rc;
        }
    }
    // COPY is the fast road.  It stops at a row already there (a request
    // written again after a lost answer, a replayed block) and at a name and
    // time the rows repeat; then the rows go by an insert that leaves such
    // rows alone and tells how many it left.
    int rc = DB_FAIL;
    bool copy = !txsent_ && !repeatskey(good);
    if (copy) {
        rc = copyrows(good);
        if (rc == DB_FAIL && conn_.sqlstate() == "23505") {
            if (conn_.exec("ROLLBACK") != DB_OK) return fail(DB_LOST, "history");
            txsent_ = false;
            copy = false;
        }
    }
    if (!copy) rc = insertrows(good, dups);
    if (rc == DB_OK) rc = upsertrows(good, insert);
    if (rc != DB_FAIL) return rc;
    // The server refused the rows for their content: find the rows it
    // refuses, one savepoint each, in a new transaction.
    *dups = 0;
    std::string why = err_;
    if (conn_.exec("ROLLBACK") != DB_OK) return fail(DB_LOST, "history");
    txsent_ = false;
    log(40, "history: set refused (" + why + "); writing the rows one by one");
    if (begintx() != DB_OK) return fail(DB_LOST, "history");
    for (size_t g = 0; g < good.size(); ++g) {
        if (conn_.exec("SAVEPOINT oxa_row") != DB_OK) return fail(DB_LOST, "history");
        size_t dup = 0;
        rc = insertrows({good[g]}, &dup);
        if (rc == DB_OK) rc = upsertrows({good[g]}, insert);
        if (rc == DB_LOST) return rc;
        if (rc == DB_OK) {
            *dups += dup;
            if (conn_.exec("RELEASE SAVEPOINT oxa_row") != DB_OK) return fail(DB_LOST, "history");
        } else {
            refused->push_back(rowrefusal{index[g], err_});
            if (conn_.exec("ROLLBACK TO SAVEPOINT oxa_row") != DB_OK)
                return fail(DB_LOST, "history");
        }
    }
    return DB_OK;
}

int pgdb::putsoe(const oxa_soerec& r) {
    if (!conn_.isopen()) {
        err_ = "not connected";
        return DB_LOST;
    }
    soe_.push_back(r);
    return DB_OK;
}

int pgdb::writesoe() {
    pgarray f230(int8oid, int8array), f231(int8oid, int8array), f232(int8oid, int8array),
        f233(int4oid, int4array), f234(int4oid, int4array), f235(int8oid, int8array),
        f236(textoid, textarray), f237(textoid, textarray), f238(textoid, textarray),
        f239(int4oid, int4array), f240(int4oid, int4array);
    bool changed = false;
    for (const oxa_soerec& r : soe_) {
        f230.int8(static_cast<int64_t>(r.f230));
        f231.int8(r.f231);
        f232.int8(r.f232);
        f233.int4(r.f233);
        f234.int4(r.f234);
        f235.int8(r.f235);
        f236.bytes(recordtext(r.f236, sizeof r.f236, &changed));
        f237.bytes(recordtext(r.f237, sizeof r.f237, &changed));
        f238.bytes(recordtext(r.f238, sizeof r.f238, &changed));
        f239.int4(r.f239);
        f240.int4(r.f240);
    }
    soe_.clear();
    if (changed) log(20, "soe: a text that is not UTF-8 is stored with U+FFFD for its bad bytes");
    int rc = begintx();
    if (rc == DB_OK) {
        rc = conn_.query(insertsoe, {f230.take(), f231.take(), f232.take(), f233.take(),
                                     f234.take(), f235.take(), f236.take(), f237.take(),
                                     f238.take(), f239.take(), f240.take()});
    }
    return rc == DB_OK ? DB_OK : fail(rc, "soe");
}

int pgdb::putctrltag(const std::string& name, bool add) {
    if (!conn_.isopen()) {
        err_ = "not connected";
        return DB_LOST;
    }
    if (!pgtextok(name)) {
        err_ = "ctrltags: the name is not UTF-8 text";
        return DB_FAIL;
    }
    deferred_ += add ? "INSERT INTO ctrltags(name) VALUES(" + pgconn::literal(name) +
                           ") ON CONFLICT DO NOTHING;"
                     : "DELETE FROM ctrltags WHERE name = " + pgconn::literal(name) + ";";
    return DB_OK;
}

int pgdb::pendingctrl(std::vector<ctrlrow>* out, size_t max) {
    std::string lim = std::to_string(max);
    pgresult r;
    int rc = conn_.query(pendingsql, {lim.c_str()}, true, &r);
    if (rc != DB_OK) return fail(rc, "ctrlwrites");
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        ctrlrow c;
        c.id = colint(r.get(), i, 0);
        c.tag.name.assign(PQgetvalue(r.get(), i, 1), PQgetlength(r.get(), i, 1));
        c.tag.time = colint(r.get(), i, 2);
        c.tag.quality = static_cast<int32_t>(colint(r.get(), i, 3));
        c.tag.type = static_cast<int32_t>(colint(r.get(), i, 4));
        if (!PQgetisnull(r.get(), i, 5)) {
            c.tag.kind = VAL_INT;
            c.tag.i = colint(r.get(), i, 5);
        } else if (!PQgetisnull(r.get(), i, 6)) {
            c.tag.kind = VAL_REAL;
            uint64_t u = get64(PQgetvalue(r.get(), i, 6));
            std::memcpy(&c.tag.d, &u, 8);
        } else if (!PQgetisnull(r.get(), i, 7) || !PQgetisnull(r.get(), i, 8)) {
            int col = PQgetisnull(r.get(), i, 7) ? 8 : 7;
            c.tag.kind = col == 7 ? VAL_TEXT : VAL_BLOB;
            c.tag.bytes.assign(PQgetvalue(r.get(), i, col), PQgetlength(r.get(), i, col));
        }
        out->push_back(std::move(c));
    }
    return DB_OK;
}

int pgdb::markctrl(int64_t id, int state) {
    if (!conn_.isopen()) {
        err_ = "not connected";
        return DB_LOST;
    }
    (state == 1 ? delivered_ : refusedctrl_).push_back(id);
    return DB_OK;
}

void pgdb::readinput() {
    int rc;
    if (conn_.notified(&rc)) notified_ = true;
}

bool pgdb::changed() {
    readinput();
    bool c = firstchange_ || notified_ || !conn_.isopen();
    firstchange_ = notified_ = false;
    return c;
}

int pgdb::check() {
    if (conn_.isopen()) readinput();
    if (!conn_.isopen()) return fail(DB_LOST, "connection");
    return housekeep();
}

}  // namespace oxa
