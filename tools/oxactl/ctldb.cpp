#include "tools/oxactl/ctldb.h"

#include <arpa/inet.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "oxaapi/backend.h"
#include "oxaapi/pgconn.h"
#include "oxaapi/pgdb.h"

namespace oxactl {

cell intcell(int64_t v) {
    cell c;
    c.kind = oxa::VAL_INT;
    c.i = v;
    return c;
}

cell realcell(double v) {
    cell c;
    c.kind = oxa::VAL_REAL;
    c.d = v;
    return c;
}

cell textcell(std::string s, bool blob) {
    cell c;
    c.kind = blob ? oxa::VAL_BLOB : oxa::VAL_TEXT;
    c.s = std::move(s);
    return c;
}

namespace {

const char* const tablecount[] = {
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
    "('snapshot', 'history', 'soe', 'ctrltags', 'ctrlwrites')",
    "SELECT count(*) FROM pg_class WHERE oid IN (to_regclass('snapshot'), to_regclass('history'),"
    " to_regclass('soe'), to_regclass('ctrltags'), to_regclass('ctrlwrites'))",
};

class sqlitectl : public ctldb {
  public:
    ~sqlitectl() override {
        if (db_) sqlite3_close(db_);
    }
    bool pg() const override { return false; }
    bool open(const std::string& path, bool write, std::string* why) {
        struct stat sb;
        if (::stat(path.c_str(), &sb) != 0) {
            *why = "database " + path + " does not exist";
            return false;
        }
        int flags = write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            *why = "cannot open database " + path + ": " + sqlite3_errmsg(db_);
            return false;
        }
        sqlite3_busy_timeout(db_, 5000);
        std::vector<row> rows;
        if (!query(tablecount[0], {}, &rows, why)) {
            *why = "cannot read database " + path + ": " + *why;
            return false;
        }
        if (rows.empty() || rows[0][0].i != 5) {
            *why = path + " is not a database of the client library (tables missing)";
            return false;
        }
        return true;
    }
    bool query(const std::string& sql, const std::vector<cell>& params, std::vector<row>* rows,
               std::string* why) override {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            *why = std::string("query failed: ") + sqlite3_errmsg(db_);
            return false;
        }
        for (size_t k = 0; k < params.size(); ++k) {
            const cell& p = params[k];
            int i = static_cast<int>(k + 1);
            switch (p.kind) {
                case oxa::VAL_INT:
                    sqlite3_bind_int64(st, i, p.i);
                    break;
                case oxa::VAL_REAL:
                    sqlite3_bind_double(st, i, p.d);
                    break;
                case oxa::VAL_TEXT:
                    sqlite3_bind_text(st, i, p.s.data(), static_cast<int>(p.s.size()),
                                      SQLITE_TRANSIENT);
                    break;
                case oxa::VAL_BLOB:
                    sqlite3_bind_blob(st, i, p.s.data(), static_cast<int>(p.s.size()),
                                      SQLITE_TRANSIENT);
                    break;
                default:
                    sqlite3_bind_null(st, i);
            }
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            row r;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                cell v;
                switch (sqlite3_column_type(st, c)) {
                    case SQLITE_INTEGER:
                        v = intcell(sqlite3_column_int64(st, c));
                        break;
                    case SQLITE_FLOAT:
                        v = realcell(sqlite3_column_double(st, c));
                        break;
                    case SQLITE_TEXT:
                        v = textcell(
                            std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                        static_cast<size_t>(sqlite3_column_bytes(st, c))));
                        break;
                    case SQLITE_BLOB: {
                        const char* p = static_cast<const char*>(sqlite3_column_blob(st, c));
                        v = textcell(std::string(p ? p : "",
                                                 static_cast<size_t>(sqlite3_column_bytes(st, c))),
                                     true);
                        break;
                    }
                    default:
                        break;
                }
                r.push_back(std::move(v));
            }
            rows->push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) *why = std::string("query failed: ") + sqlite3_errmsg(db_);
        sqlite3_finalize(st);
        return rc == SQLITE_DONE;
    }

  private:
    sqlite3* db_ = nullptr;
};

// Type numbers of the result columns (pg_type oids).
enum : Oid {
    boolid = 16,
    byteaid = 17,
    int8id = 20,
    int2id = 21,
    int4id = 23,
    textid = 25,
    float8id = 701,
    varcharid = 1043
};

class pgctl : public ctldb {
  public:
    bool pg() const override { return true; }
    bool open(const oxa::dburl& u, std::string* why) {
        std::string err;
        auto b = oxa::pgdb::make(u, oxa::dblogin{}, &err);
        if (!b) {
            *why = err;
            return false;
        }
        c_.settimeout(b->settings().statementms + 1000);
        const oxa::pgtarget& t = b->targets()[0];
        if (c_.connect(t.kv, b->settings().connectms) != oxa::DB_OK) {
            *why = "cannot connect to " + t.label + ": " + c_.error();
            return false;
        }
        std::vector<row> rows;
        if (!query(tablecount[1], {}, &rows, why)) return false;
        if (rows.empty() || rows[0][0].i != 5) {
            *why = "database " + u.dbname + " on " + t.label +
                   " is not a database of the client library (tables missing)";
            return false;
        }
        return true;
    }
    bool query(const std::string& sql, const std::vector<cell>& params, std::vector<row>* rows,
               std::string* why) override {
        std::vector<std::string> text(params.size());
        std::vector<const char*> ptrs(params.size(), nullptr);
        for (size_t k = 0; k < params.size(); ++k) {
            const cell& p = params[k];
            char buf[40];
            switch (p.kind) {
                case oxa::VAL_INT:
                    text[k] = std::to_string(p.i);
                    break;
                case oxa::VAL_REAL:
                    std::snprintf(buf, sizeof buf, "%.17g", p.d);
                    text[k] = buf;
                    break;
                case oxa::VAL_BLOB: {
                    static const char hex[] = "0123456789abcdef";
                    text[k] = "\\x";
                    for (unsigned char ch : p.s) {
                        text[k] += hex[ch >> 4];
                        text[k] += hex[ch & 15];
                    }
                    break;
                }
                default:
                    text[k] = p.s;
            }
            if (p.kind != oxa::VAL_NULL) ptrs[k] = text[k].c_str();
        }
        oxa::pgresult r;
        if (c_.query(sql.c_str(), ptrs, true, &r) != oxa::DB_OK) {
            *why = "query failed: " + c_.error();
            return false;
        }
        int ncol = PQnfields(r.get());
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            row out;
            for (int c = 0; c < ncol; ++c) {
                // vint, vreal, vtext, vbytes: one value.
                if (c + 3 < ncol && std::strcmp(PQfname(r.get(), c), "vint") == 0) {
                    cell v;
                    for (int k = 0; k < 4 && v.kind == oxa::VAL_NULL; ++k)
                        v = value(r.get(), i, c + k);
                    out.push_back(std::move(v));
                    c += 3;
                    continue;
                }
                out.push_back(value(r.get(), i, c));
            }
            rows->push_back(std::move(out));
        }
        return true;
    }

  private:
    static cell value(PGresult* r, int i, int c) {
        if (PQgetisnull(r, i, c)) return cell();
        const char* p = PQgetvalue(r, i, c);
        int n = PQgetlength(r, i, c);
        uint32_t hi = 0, lo = 0;
        uint16_t s = 0;
        switch (PQftype(r, c)) {
            case int8id:
            case float8id: {
                std::memcpy(&hi, p, 4);
                std::memcpy(&lo, p + 4, 4);
                uint64_t u = (static_cast<uint64_t>(ntohl(hi)) << 32) | ntohl(lo);
                if (PQftype(r, c) == int8id) return intcell(static_cast<int64_t>(u));
                double d;
                std::memcpy(&d, &u, 8);
                return realcell(d);
            }
            case int4id:
                std::memcpy(&lo, p, 4);
                return intcell(static_cast<int32_t>(ntohl(lo)));
            case int2id:
                std::memcpy(&s, p, 2);
                return intcell(static_cast<int16_t>(ntohs(s)));
            case boolid:
                return intcell(p[0] != 0);
            case byteaid:
                return textcell(std::string(p, static_cast<size_t>(n)), true);
            default:  // text, varchar, name: binary form is the text
                return textcell(std::string(p, static_cast<size_t>(n)));
        }
    }

    oxa::pgconn c_;
};

}  // namespace

std::unique_ptr<ctldb> openctldb(const oxa::dburl& u, bool write, std::string* why) {
    if (u.scheme == "postgresql") {
        auto d = std::make_unique<pgctl>();
        if (!d->open(u, why)) return nullptr;
        return d;
    }
    auto d = std::make_unique<sqlitectl>();
    if (!d->open(u.path, write, why)) return nullptr;
    return d;
}

}  // namespace oxactl
