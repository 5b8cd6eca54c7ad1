#include "tools/oxactl/ctl.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/env.h"
#include "base/jsonwrite.h"
#include "oxaapi/dburl.h"
#include "oxaapi/oxaapi.h"

namespace oxactl {

const char* const usage =
    "usage: oxactl [--json] URL COMMAND [ARGS]\n"
    "\n"
    "URL is the database of the client library: sqlite://localhost/ABSOLUTE/PATH.db\n"
    "\n"
    "commands:\n"
    "  snapshot [GLOB]                    latest value of every tag (names matching GLOB)\n"
    "  history NAME [--from MS] [--to MS] [--limit N]\n"
    "                                     values of one tag, oldest first; MS are\n"
    "                                     milliseconds since 1970 UTC, both ends included\n"
    "  soe [--limit N]                    sequence-of-events records, oldest first\n"
    "  ctrltags                           registered control tags and their waiting writes\n"
    "  write NAME VALUE [--type N] [--quality Q]\n"
    "                                     queue a control write; the type is taken from\n"
    "                                     --type, else from the tag's snapshot, else guessed\n"
    "                                     from VALUE (type 7 takes hex digits)\n"
    "\n"
    "options:\n"
    "  --json    one JSON object per line instead of a table\n"
    "  --help    this text\n"
    "\n"
    "exit codes: 0 success, 1 runtime failure, 2 bad arguments\n";

namespace {

struct args {
    bool json = false;
    std::vector<std::string> pos;
    bool hasfrom = false, hasto = false, haslimit = false, hastype = false, hasquality = false;
    int64_t from = 0, to = 0, limit = 0, type = 0, quality = 0;
};

// One printed row: cells for the table, and the JSON object.
struct table {
    std::vector<std::string> head;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> json;
};

bool toint(const std::string& s, int64_t* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != 0) return false;
    *v = x;
    return true;
}

bool todouble(const std::string& s, double* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != 0 || !std::isfinite(x)) return false;
    *v = x;
    return true;
}

// Parses options anywhere on the line; false with a message for a bad one.
bool parseargs(int argc, const char* const* argv, args* a, std::string* why, bool* help) {
    struct numopt {
        const char* name;
        bool* has;
        int64_t* val;
    } opts[] = {
        {"--from", &a->hasfrom, &a->from},          {"--to", &a->hasto, &a->to},
        {"--limit", &a->haslimit, &a->limit},       {"--type", &a->hastype, &a->type},
        {"--quality", &a->hasquality, &a->quality},
    };
    for (int i = 1; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "--help" || s == "-h") {
            *help = true;
            return true;
        }
        if (s == "--json") {
            a->json = true;
            continue;
        }
        if (s.size() > 2 && s[0] == '-' && s[1] == '-') {
            bool known = false;
            for (auto& o : opts) {
                if (s != o.name) continue;
                known = true;
                if (i + 1 >= argc || !toint(argv[i + 1], o.val)) {
                    *why = s + " needs an integer";
                    return false;
                }
                *o.has = true;
                ++i;
            }
            if (!known) {
                *why = "unknown option " + s;
                return false;
            }
            continue;
        }
        a->pos.push_back(s);
    }
    return true;
}

std::string timetext(int64_t ms) {
    std::time_t t = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
    int frac = static_cast<int>(ms - static_cast<int64_t>(t) * 1000);
    std::tm tm;
    if (!localtime_r(&t, &tm)) return std::to_string(ms);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
    return buf;
}

// The shortest text that reads back as the same double.
std::string doubletext(double d) {
    char buf[40];
    for (int prec = 1; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    return buf;
}

std::string celltext(sqlite3_stmt* st, int col) {
    switch (sqlite3_column_type(st, col)) {
        case SQLITE_INTEGER:
            return std::to_string(sqlite3_column_int64(st, col));
        case SQLITE_FLOAT:
            return doubletext(sqlite3_column_double(st, col));
        case SQLITE_TEXT:
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, col)),
                               sqlite3_column_bytes(st, col));
        case SQLITE_BLOB: {
            static const char hex[] = "0123456789abcdef";
            const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, col));
            int n = sqlite3_column_bytes(st, col);
            std::string s = "0x";
            for (int i = 0; i < n; ++i) {
                s += hex[p[i] >> 4];
                s += hex[p[i] & 15];
            }
            return s;
        }
        default:
            return "NULL";
    }
}

// "key":value with the value in its JSON form (BLOB as base64 text).
void jsoncell(std::string& out, const char* key, sqlite3_stmt* st, int col) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += key;
    out += "\":";
    zo::string t;
    switch (sqlite3_column_type(st, col)) {
        case SQLITE_INTEGER:
            out += std::to_string(sqlite3_column_int64(st, col));
            return;
        case SQLITE_FLOAT: {
            double d = sqlite3_column_double(st, col);
            out += std::isfinite(d) ? doubletext(d) : "null";
            return;
        }
        case SQLITE_TEXT:
            zo::jsonaddesctext(
                t, std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(st, col)),
                                    sqlite3_column_bytes(st, col)));
            break;
        case SQLITE_BLOB:
            zo::base64encode(sqlite3_column_blob(st, col),
                             static_cast<size_t>(sqlite3_column_bytes(st, col)), t);
            break;
        default:
            out += "null";
            return;
    }
    out += '"';
    out.append(t.data(), t.size());
    out += '"';
}

void print(const table& t, bool json, FILE* out) {
    if (json) {
        for (const std::string& line : t.json) std::fprintf(out, "%s\n", line.c_str());
        return;
    }
    std::vector<size_t> w(t.head.size());
    for (size_t c = 0; c < w.size(); ++c) w[c] = t.head[c].size();
    for (const auto& r : t.rows)
        for (size_t c = 0; c < w.size(); ++c) w[c] = std::max(w[c], r[c].size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string s;
        for (size_t c = 0; c < cells.size(); ++c) {
            s += cells[c];
            if (c + 1 < cells.size()) s.append(w[c] - cells[c].size() + 2, ' ');
        }
        std::fprintf(out, "%s\n", s.c_str());
    };
    line(t.head);
    for (const auto& r : t.rows) line(r);
}

class conn {
  public:
    ~conn() {
        if (st_) sqlite3_finalize(st_);
        if (db_) sqlite3_close(db_);
    }
    // False with a message: the file is missing or not our database.
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
        if (!prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                     "('snapshot', 'history', 'soe', 'ctrltags', 'ctrlwrites')",
                     why) ||
            sqlite3_step(st_) != SQLITE_ROW) {
            *why = "cannot read database " + path + ": " + sqlite3_errmsg(db_);
            return false;
        }
        if (sqlite3_column_int(st_, 0) != 5) {
            *why = path + " is not a database of the client library (tables missing)";
            return false;
        }
        return true;
    }
    bool prepare(const char* sql, std::string* why) {
        if (st_) sqlite3_finalize(st_);
        st_ = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &st_, nullptr) != SQLITE_OK) {
            *why = std::string("query failed: ") + sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }
    sqlite3_stmt* st() { return st_; }
    sqlite3* db() { return db_; }
    std::string error() { return sqlite3_errmsg(db_); }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* st_ = nullptr;
};

// Steps through the prepared statement; columns named in keys.
bool collect(conn& c, const std::vector<std::string>& keys, table* t, std::string* why,
             const std::vector<int>& timecols = {}) {
    t->head = keys;
    int rc;
    while ((rc = sqlite3_step(c.st())) == SQLITE_ROW) {
        std::vector<std::string> cells;
        std::string js = "{";
        for (size_t i = 0; i < keys.size(); ++i) {
            int col = static_cast<int>(i);
            bool istime = false;
            for (int tc : timecols) istime = istime || tc == col;
            if (istime && sqlite3_column_type(c.st(), col) == SQLITE_INTEGER) {
                cells.push_back(timetext(sqlite3_column_int64(c.st(), col)));
            } else {
                cells.push_back(celltext(c.st(), col));
            }
            jsoncell(js, keys[i].c_str(), c.st(), col);
        }
        js += '}';
        t->rows.push_back(std::move(cells));
        t->json.push_back(std::move(js));
    }
    if (rc != SQLITE_DONE) {
        *why = "query failed: " + c.error();
        return false;
    }
    return true;
}

int fail(FILE* err, int code, const std::string& why) {
    std::fprintf(err, "oxactl: %s\n", why.c_str());
    if (code == 2) std::fprintf(err, "try 'oxactl --help'\n");
    return code;
}

// Value and type of a control write; false with a message for a bad pair.
bool controlvalue(const std::string& v, int64_t type, sqlite3_stmt* st, int col, std::string* blob,
                  std::string* why) {
    int64_t i = 0;
    double d = 0;
    switch (type) {
        case 1:
        case 2:
            if (!toint(v, &i) || i < INT32_MIN || i > INT32_MAX) break;
            sqlite3_bind_int64(st, col, i);
            return true;
        case 4:
            if (!toint(v, &i)) break;
            sqlite3_bind_int64(st, col, i);
            return true;
        case 3:
        case 5:
            if (!todouble(v, &d)) break;
            if (type == 3) d = static_cast<double>(static_cast<float>(d));
            sqlite3_bind_double(st, col, d);
            return true;
        case 6:
            if (v.size() > OXA_OBJDATAMAX) break;
            sqlite3_bind_text(st, col, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
            return true;
        case 7: {
            std::string h = v.rfind("0x", 0) == 0 ? v.substr(2) : v;
            if (h.size() % 2 != 0 || h.size() / 2 > OXA_OBJDATAMAX) break;
            blob->clear();
            bool ok = true;
            for (size_t k = 0; ok && k < h.size(); k += 2) {
                char pair[3] = {h[k], h[k + 1], 0};
                char* end = nullptr;
                long b = std::strtol(pair, &end, 16);
                ok = *end == 0 && std::isxdigit(static_cast<unsigned char>(h[k]));
                blob->push_back(static_cast<char>(b));
            }
            if (!ok) break;
            sqlite3_bind_blob(st, col, blob->data(), static_cast<int>(blob->size()), SQLITE_STATIC);
            return true;
        }
        default:
            *why = "--type must be 1 to 7";
            return false;
    }
    *why = "value '" + v + "' does not fit type " + std::to_string(type);
    return false;
}

int64_t guesstype(const std::string& v) {
    int64_t i;
    double d;
    if (toint(v, &i)) return i >= INT32_MIN && i <= INT32_MAX ? 1 : 4;
    if (todouble(v, &d)) return 5;
    return 6;
}

int dowrite(const args& a, const std::string& path, FILE* out, FILE* err) {
    const std::string& name = a.pos[2];
    const std::string& value = a.pos[3];
    if (name.empty()) return fail(err, 2, "empty tag name");
    if (a.hasquality && (a.quality < -128 || a.quality > 255))
        return fail(err, 2, "--quality must be -128 to 255");
    conn c;
    std::string why;
    if (!c.open(path, true, &why)) return fail(err, 1, why);
    int64_t type = a.type;
    bool registered = false;
    if (!c.prepare("SELECT (SELECT type FROM snapshot WHERE name = ?1),"
                   " EXISTS(SELECT 1 FROM ctrltags WHERE name = ?1)",
                   &why))
        return fail(err, 1, why);
    sqlite3_bind_text(c.st(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(c.st()) != SQLITE_ROW) return fail(err, 1, "query failed: " + c.error());
    if (!a.hastype) {
        type = sqlite3_column_type(c.st(), 0) == SQLITE_INTEGER ? sqlite3_column_int64(c.st(), 0)
                                                                : guesstype(value);
        if (type < 1 || type > 7) type = guesstype(value);
    }
    registered = sqlite3_column_int(c.st(), 1) != 0;
    if (!c.prepare("INSERT INTO ctrlwrites(name, time, quality, type, value, written)"
                   " VALUES(?1, ?2, ?3, ?4, ?5, ?2)",
                   &why))
        return fail(err, 1, why);
    std::string blob;
    if (!controlvalue(value, type, c.st(), 5, &blob, &why)) return fail(err, 2, why);
    sqlite3_bind_text(c.st(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(c.st(), 2, zo::nowms());
    sqlite3_bind_int64(c.st(), 3, a.quality);
    sqlite3_bind_int64(c.st(), 4, type);
    if (sqlite3_step(c.st()) != SQLITE_DONE) return fail(err, 1, "write failed: " + c.error());
    int64_t id = sqlite3_last_insert_rowid(c.db());
    if (a.json) {
        zo::string n;
        zo::jsonaddesctext(n, name);
        std::fprintf(out, "{\"id\":%lld,\"name\":\"%s\",\"type\":%lld,\"registered\":%s}\n",
                     static_cast<long long>(id), n.c_str(), static_cast<long long>(type),
                     registered ? "true" : "false");
    } else {
        std::fprintf(out, "queued control write %lld: %s = %s (type %lld)\n",
                     static_cast<long long>(id), name.c_str(), value.c_str(),
                     static_cast<long long>(type));
    }
    if (!registered)
        std::fprintf(err,
                     "oxactl: note: %s is not a registered control tag; the write waits until "
                     "it is\n",
                     name.c_str());
    return 0;
}

}  // namespace

int run(int argc, const char* const* argv, FILE* out, FILE* err) {
    args a;
    std::string why;
    bool help = false;
    if (!parseargs(argc, argv, &a, &why, &help)) return fail(err, 2, why);
    if (help) {
        std::fputs(usage, out);
        return 0;
    }
    if (a.pos.size() < 2) return fail(err, 2, "need a database URL and a command");
    oxa::dburl u;
    if (!oxa::parsedburl(a.pos[0], &u, &why)) return fail(err, 2, a.pos[0] + ": " + why);
    const std::string& cmd = a.pos[1];
    size_t extra = a.pos.size() - 2;
    bool rangeopts = a.hasfrom || a.hasto;
    bool writeopts = a.hastype || a.hasquality;

    if (cmd == "write") {
        if (extra != 2) return fail(err, 2, "write needs NAME and VALUE");
        if (rangeopts || a.haslimit) return fail(err, 2, "write takes only --type and --quality");
        return dowrite(a, u.path, out, err);
    }
    if (writeopts) return fail(err, 2, "--type and --quality belong to write");
    if (a.haslimit && a.limit <= 0) return fail(err, 2, "--limit must be positive");
    int64_t limit = a.haslimit ? a.limit : -1;

    table t;
    conn c;
    auto open = [&]() { return c.open(u.path, false, &why); };
    if (cmd == "snapshot") {
        if (extra > 1) return fail(err, 2, "snapshot takes at most one GLOB");
        if (rangeopts || a.haslimit) return fail(err, 2, "snapshot takes no options");
        if (!open()) return fail(err, 1, why);
        if (!c.prepare("SELECT name, time, quality, type, value FROM snapshot"
                       " WHERE ?1 IS NULL OR name GLOB ?1 ORDER BY name",
                       &why))
            return fail(err, 1, why);
        if (extra == 1) sqlite3_bind_text(c.st(), 1, a.pos[2].c_str(), -1, SQLITE_TRANSIENT);
        if (!collect(c, {"name", "time", "quality", "type", "value"}, &t, &why, {1}))
            return fail(err, 1, why);
    } else if (cmd == "history") {
        if (extra != 1) return fail(err, 2, "history needs one tag NAME");
        if (!open()) return fail(err, 1, why);
        if (!c.prepare("SELECT name, time, quality, type, value FROM history WHERE name = ?1"
                       " AND time >= ?2 AND time <= ?3 ORDER BY time, rowid LIMIT ?4",
                       &why))
            return fail(err, 1, why);
        sqlite3_bind_text(c.st(), 1, a.pos[2].c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(c.st(), 2, a.hasfrom ? a.from : INT64_MIN);
        sqlite3_bind_int64(c.st(), 3, a.hasto ? a.to : INT64_MAX);
        sqlite3_bind_int64(c.st(), 4, limit);
        if (!collect(c, {"name", "time", "quality", "type", "value"}, &t, &why, {1}))
            return fail(err, 1, why);
    } else if (cmd == "soe") {
        if (extra != 0 || rangeopts) return fail(err, 2, "soe takes only --limit");
        if (!open()) return fail(err, 1, why);
        if (!c.prepare("SELECT id, f230, f231, f232, f233, f234, f235, f236, f237, f238, f239,"
                       " f240 FROM soe ORDER BY id LIMIT ?1",
                       &why))
            return fail(err, 1, why);
        sqlite3_bind_int64(c.st(), 1, limit);
        if (!collect(c,
                     {"id", "f230", "f231", "f232", "f233", "f234", "f235", "f236", "f237", "f238",
                      "f239", "f240"},
                     &t, &why))
            return fail(err, 1, why);
    } else if (cmd == "ctrltags") {
        if (extra != 0 || rangeopts || a.haslimit)
            return fail(err, 2, "ctrltags takes no arguments");
        if (!open()) return fail(err, 1, why);
        if (!c.prepare("SELECT c.name, (SELECT count(*) FROM ctrlwrites w WHERE w.name = c.name"
                       " AND w.delivered = 0) FROM ctrltags c ORDER BY c.name",
                       &why))
            return fail(err, 1, why);
        if (!collect(c, {"name", "waiting"}, &t, &why)) return fail(err, 1, why);
    } else {
        return fail(err, 2, "unknown command " + cmd);
    }
    print(t, a.json, out);
    return 0;
}

}  // namespace oxactl
