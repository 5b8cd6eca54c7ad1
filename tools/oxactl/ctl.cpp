#include "tools/oxactl/ctl.h"

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
#include "oxaapi/backend.h"
#include "oxaapi/dburl.h"
#include "oxaapi/oxaapi.h"
#include "tools/oxactl/ctldb.h"

namespace oxactl {

const char* const usage =
    "usage: oxactl [--json] URL COMMAND [ARGS]\n"
    "\n"
    "URL is the database of the client library:\n"
    "  sqlite://localhost/ABSOLUTE/PATH.db\n"
    "  postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME  (else PGUSER, PGPASSWORD, ~/.pgpass)\n"
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

std::string celltext(const cell& c) {
    switch (c.kind) {
        case oxa::VAL_INT:
            return std::to_string(c.i);
        case oxa::VAL_REAL:
            return doubletext(c.d);
        case oxa::VAL_TEXT:
            return c.s;
        case oxa::VAL_BLOB: {
            static const char hex[] = "0123456789abcdef";
            std::string s = "0x";
            for (unsigned char ch : c.s) {
                s += hex[ch >> 4];
                s += hex[ch & 15];
            }
            return s;
        }
        default:
            return "NULL";
    }
}

// "key":value with the value in its JSON form (BLOB as base64 text).
void jsoncell(std::string& out, const char* key, const cell& c) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += key;
    out += "\":";
    zo::string t;
    switch (c.kind) {
        case oxa::VAL_INT:
            out += std::to_string(c.i);
            return;
        case oxa::VAL_REAL:
            out += std::isfinite(c.d) ? doubletext(c.d) : "null";
            return;
        case oxa::VAL_TEXT:
            zo::jsonaddesctext(t, c.s);
            break;
        case oxa::VAL_BLOB:
            zo::base64encode(c.s.data(), c.s.size(), t);
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

// Runs sql and turns its rows into t; columns named in keys.
bool collect(ctldb& db, const char* sql, const std::vector<cell>& params,
             const std::vector<std::string>& keys, table* t, std::string* why,
             const std::vector<int>& timecols = {}) {
    std::vector<row> rows;
    if (!db.query(sql, params, &rows, why)) return false;
    t->head = keys;
    for (const row& r : rows) {
        std::vector<std::string> cells;
        std::string js = "{";
        for (size_t i = 0; i < keys.size() && i < r.size(); ++i) {
            bool istime = false;
            for (int tc : timecols) istime = istime || tc == static_cast<int>(i);
            if (istime && r[i].kind == oxa::VAL_INT) {
                cells.push_back(timetext(r[i].i));
            } else {
                cells.push_back(celltext(r[i]));
            }
            jsoncell(js, keys[i].c_str(), r[i]);
        }
        js += '}';
        t->rows.push_back(std::move(cells));
        t->json.push_back(std::move(js));
    }
    return true;
}

int fail(FILE* err, int code, const std::string& why) {
    std::fprintf(err, "oxactl: %s\n", why.c_str());
    if (code == 2) std::fprintf(err, "try 'oxactl --help'\n");
    return code;
}

// Value and type of a control write; false with a message for a bad pair.
bool controlvalue(const std::string& v, int64_t type, cell* out, std::string* why) {
    int64_t i = 0;
    double d = 0;
    switch (type) {
        case 1:
        case 2:
            if (!toint(v, &i) || i < INT32_MIN || i > INT32_MAX) break;
            *out = intcell(i);
            return true;
        case 4:
            if (!toint(v, &i)) break;
            *out = intcell(i);
            return true;
        case 3:
        case 5:
            if (!todouble(v, &d)) break;
            if (type == 3) d = static_cast<double>(static_cast<float>(d));
            *out = realcell(d);
            return true;
        case 6:
            if (v.size() > OXA_OBJDATAMAX) break;
            *out = textcell(v);
            return true;
        case 7: {
            std::string h = v.rfind("0x", 0) == 0 ? v.substr(2) : v;
            if (h.size() % 2 != 0 || h.size() / 2 > OXA_OBJDATAMAX) break;
            std::string blob;
            bool ok = true;
            for (size_t k = 0; ok && k < h.size(); k += 2) {
                char pair[3] = {h[k], h[k + 1], 0};
                char* end = nullptr;
                long b = std::strtol(pair, &end, 16);
                ok = *end == 0 && std::isxdigit(static_cast<unsigned char>(h[k]));
                blob.push_back(static_cast<char>(b));
            }
            if (!ok) break;
            *out = textcell(blob, true);
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

// The column of a PostgreSQL control write that holds a value of type t.
const char* pgvaluecolumn(int64_t t) {
    switch (t) {
        case 3:
        case 5:
            return "vreal";
        case 6:
            return "vtext";
        case 7:
            return "vbytes";
        default:
            return "vint";
    }
}

int dowrite(const args& a, const oxa::dburl& u, FILE* out, FILE* err) {
    const std::string& name = a.pos[2];
    const std::string& value = a.pos[3];
    if (name.empty()) return fail(err, 2, "empty tag name");
    if (a.hasquality && (a.quality < -128 || a.quality > 255))
        return fail(err, 2, "--quality must be -128 to 255");
    std::string why;
    auto db = openctldb(u, true, &why);
    if (!db) return fail(err, 1, why);
    std::vector<row> rows;
    if (!db->query(db->sql("SELECT (SELECT type FROM snapshot WHERE name = ?1),"
                           " EXISTS(SELECT 1 FROM ctrltags WHERE name = ?1)",
                           "SELECT (SELECT type FROM snapshot WHERE name = $1),"
                           " EXISTS(SELECT 1 FROM ctrltags WHERE name = $1)"),
                   {textcell(name)}, &rows, &why) ||
        rows.size() != 1 || rows[0].size() != 2)
        return fail(err, 1, why.empty() ? "query failed" : why);
    int64_t type = a.type;
    if (!a.hastype) {
        type = rows[0][0].kind == oxa::VAL_INT ? rows[0][0].i : guesstype(value);
        if (type < 1 || type > 7) type = guesstype(value);
    }
    bool registered = rows[0][1].i != 0;
    cell v;
    if (!controlvalue(value, type, &v, &why)) return fail(err, 2, why);
    std::string sql = db->pg() ? std::string("INSERT INTO ctrlwrites(name, time, quality, type, ") +
                                     pgvaluecolumn(type) +
                                     ", written) VALUES($1, $2, $3, $4, $5, $2) RETURNING id"
                               : "INSERT INTO ctrlwrites(name, time, quality, type, value, written)"
                                 " VALUES(?1, ?2, ?3, ?4, ?5, ?2) RETURNING id";
    int64_t now = zo::nowms();
    rows.clear();
    if (!db->query(sql, {textcell(name), intcell(now), intcell(a.quality), intcell(type), v}, &rows,
                   &why) ||
        rows.empty())
        return fail(err, 1, "write failed: " + why);
    int64_t id = rows[0][0].i;
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

// A shell pattern (*, ?, [...]) as an anchored POSIX regular expression.
std::string globregex(const std::string& g) {
    std::string r = "^";
    bool inset = false;
    for (size_t i = 0; i < g.size(); ++i) {
        char c = g[i];
        if (inset) {
            if (c == ']') inset = false;
            if (c == '\\') r += '\\';
            r += c;
        } else if (c == '*') {
            r += ".*";
        } else if (c == '?') {
            r += '.';
        } else if (c == '[' && g.find(']', i + 2) != std::string::npos) {
            inset = true;
            r += '[';
            if (i + 1 < g.size() && g[i + 1] == '^') {
                r += '^';
                ++i;
            }
            if (i + 1 < g.size() && g[i + 1] == ']') {
                r += ']';
                ++i;
            }
        } else {
            if (std::strchr(".^$+(){}|\\[]", c)) r += '\\';
            r += c;
        }
    }
    return r + "$";
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
        return dowrite(a, u, out, err);
    }
    if (writeopts) return fail(err, 2, "--type and --quality belong to write");
    if (a.haslimit && a.limit <= 0) return fail(err, 2, "--limit must be positive");
    int64_t limit = a.haslimit ? a.limit : -1;

    table t;
    std::unique_ptr<ctldb> db;
    auto open = [&]() {
        db = openctldb(u, false, &why);
        return db != nullptr;
    };
    const std::vector<std::string> valuekeys{"name", "time", "quality", "type", "value"};
    if (cmd == "snapshot") {
        if (extra > 1) return fail(err, 2, "snapshot takes at most one GLOB");
        if (rangeopts || a.haslimit) return fail(err, 2, "snapshot takes no options");
        if (!open()) return fail(err, 1, why);
        cell glob;
        if (extra == 1) glob = textcell(db->pg() ? globregex(a.pos[2]) : a.pos[2]);
        if (!collect(*db,
                     db->sql("SELECT name, time, quality, type, value FROM snapshot"
                             " WHERE ?1 IS NULL OR name GLOB ?1 ORDER BY name",
                             "SELECT name, time, quality, type, vint, vreal, vtext, vbytes"
                             " FROM snapshot WHERE $1::text IS NULL OR name ~ $1"
                             " ORDER BY name COLLATE \"C\""),
                     {glob}, valuekeys, &t, &why, {1}))
            return fail(err, 1, why);
    } else if (cmd == "history") {
        if (extra != 1) return fail(err, 2, "history needs one tag NAME");
        if (!open()) return fail(err, 1, why);
        cell lim = limit > 0 ? intcell(limit) : cell();
        if (!db->pg() && limit <= 0) lim = intcell(-1);
        if (!collect(*db,
                     db->sql("SELECT name, time, quality, type, value FROM history WHERE name = ?1"
                             " AND time >= ?2 AND time <= ?3 ORDER BY time, rowid LIMIT ?4",
                             "SELECT name, time, quality, type, vint, vreal, vtext, vbytes"
                             " FROM history WHERE name = $1 AND time >= $2 AND time <= $3"
                             " ORDER BY time LIMIT $4::bigint"),
                     {textcell(a.pos[2]), intcell(a.hasfrom ? a.from : INT64_MIN),
                      intcell(a.hasto ? a.to : INT64_MAX), lim},
                     valuekeys, &t, &why, {1}))
            return fail(err, 1, why);
    } else if (cmd == "soe") {
        if (extra != 0 || rangeopts) return fail(err, 2, "soe takes only --limit");
        if (!open()) return fail(err, 1, why);
        cell lim = limit > 0 ? intcell(limit) : cell();
        if (!db->pg() && limit <= 0) lim = intcell(-1);
        if (!collect(*db,
                     db->sql("SELECT id, f230, f231, f232, f233, f234, f235, f236, f237, f238,"
                             " f239, f240 FROM soe ORDER BY id LIMIT ?1",
                             "SELECT id, f230, f231, f232, f233, f234, f235, f236, f237, f238,"
                             " f239, f240 FROM soe ORDER BY id LIMIT $1::bigint"),
                     {lim},
                     {"id", "f230", "f231", "f232", "f233", "f234", "f235", "f236", "f237", "f238",
                      "f239", "f240"},
                     &t, &why))
            return fail(err, 1, why);
    } else if (cmd == "ctrltags") {
        if (extra != 0 || rangeopts || a.haslimit)
            return fail(err, 2, "ctrltags takes no arguments");
        if (!open()) return fail(err, 1, why);
        if (!collect(*db,
                     db->sql("SELECT c.name, (SELECT count(*) FROM ctrlwrites w WHERE w.name ="
                             " c.name AND w.delivered = 0) FROM ctrltags c ORDER BY c.name",
                             "SELECT c.name, (SELECT count(*) FROM ctrlwrites w WHERE w.name ="
                             " c.name AND w.delivered = 0) FROM ctrltags c"
                             " ORDER BY c.name COLLATE \"C\""),
                     {}, {"name", "waiting"}, &t, &why))
            return fail(err, 1, why);
    } else {
        return fail(err, 2, "unknown command " + cmd);
    }
    print(t, a.json, out);
    return 0;
}

}  // namespace oxactl
