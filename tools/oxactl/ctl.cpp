#include "tools/oxactl/ctl.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/base64.h"
#include "base/env.h"
#include "base/jsonwrite.h"
#include "oxaapi/backend.h"
#include "oxaapi/dburl.h"
#include "oxaapi/oxaapi.h"
#include "tools/cli/cliopts.h"
#include "tools/oxactl/ctldb.h"

namespace oxactl {

const char* const usage =
    "usage: oxactl [--json|--csv] DB COMMAND [ARGS]\n"
    "\n"
    "DB is the database of the client library:\n"
    "  sqlite:///ABSOLUTE/PATH.db (or sqlite://localhost/ABSOLUTE/PATH.db, or a file path)\n"
    "  postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME  (else PGUSER, PGPASSWORD, ~/.pgpass)\n"
    "\n"
    "commands:\n"
    "  snapshot [GLOB]                    latest value of every tag (names matching GLOB)\n"
    "  history NAME [--from WHEN] [--to WHEN] [--limit N]\n"
    "                                     values of one tag, oldest first, both ends included;\n"
    "                                     WHEN is a local time (2026-12-06 01:55:10[.mmm],\n"
    "                                     2026-12-06T01:55:10, 2026-12-06) or milliseconds\n"
    "                                     since 1970 UTC\n"
    "  soe [--limit N]                    sequence-of-events records, oldest first\n"
    "  ctrltags                           registered control tags and their waiting writes\n"
    "  watch [GLOB] [--interval MS]       the snapshots, then each one whose time changes,\n"
    "                                     looking every MS milliseconds (default 1000) until\n"
    "                                     Ctrl-C, SIGTERM or the reader of the output goes\n"
    "  write NAME VALUE [--type N] [--quality Q]\n"
    "                                     queue a control write; the type is taken from\n"
    "                                     --type, else from the tag's snapshot, else guessed\n"
    "                                     from VALUE (type 7 takes hex digits)\n"
    "\n"
    "options:\n"
    "  --json         one JSON object per line (times in milliseconds)\n"
    "  --csv          a header line and comma-separated rows (RFC 4180 quoting)\n"
    "  --help, -h     this text\n"
    "  --version, -V  the version\n"
    "\n"
    "exit codes: 0 success, 1 runtime failure (also a tag that is not there),\n"
    "2 a mistake on the command line\n";

namespace {

enum class format { table, json, csv };

struct args {
    format fmt = format::table;
    bool help = false, version = false;
    std::vector<std::string> pos;
    bool hasfrom = false, hasto = false, haslimit = false, hastype = false, hasquality = false;
    bool hasinterval = false;
    int64_t from = 0, to = 0, limit = 0, type = 0, quality = 0, interval = 1000;
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

enum : int {
    optjson = 1000,
    optcsv,
    optfrom,
    optto,
    optlimit,
    opttype,
    optquality,
    optinterval,
};

// A negative number among the arguments ("write t -5") is a value, not an
// option: getopt is shown a stand-in (a control character and its index)
// that no one types, and the stand-in is turned back here.
constexpr char hidden = '\x1f';

bool negativenumber(const char* s) {
    double d;
    return s[0] == '-' && (std::isdigit(static_cast<unsigned char>(s[1])) || s[1] == '.') &&
           todouble(s, &d);
}

std::string unhide(const std::string& s, const std::vector<std::string>& hid) {
    if (s.size() < 2 || s[0] != hidden) return s;
    size_t k = std::strtoul(s.c_str() + 1, nullptr, 10);
    return k < hid.size() ? hid[k] : s;
}

// Parses options anywhere on the line; false with the mistake.
bool parseargs(int argc, const char* const* argv, args* a, std::string* why) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"json", no_argument, nullptr, optjson},
        {"csv", no_argument, nullptr, optcsv},
        {"from", required_argument, nullptr, optfrom},
        {"to", required_argument, nullptr, optto},
        {"limit", required_argument, nullptr, optlimit},
        {"type", required_argument, nullptr, opttype},
        {"quality", required_argument, nullptr, optquality},
        {"interval", required_argument, nullptr, optinterval},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<std::string> hid, shown;
    shown.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && negativenumber(argv[i])) {
            shown.push_back(hidden + std::to_string(hid.size()));
            hid.push_back(argv[i]);
        } else {
            shown.push_back(argv[i]);
        }
    }
    std::vector<char*> v;
    for (std::string& s : shown) v.push_back(s.data());
    v.push_back(nullptr);
    auto on = [&](int id, const char* value) -> std::string {
        std::string val = value ? unhide(value, hid) : "";
        int64_t n = 0;
        switch (id) {
            case 'h':
                a->help = true;
                return "";
            case 'V':
                a->version = true;
                return "";
            case optjson:
            case optcsv: {
                format f = id == optjson ? format::json : format::csv;
                if (a->fmt != format::table && a->fmt != f)
                    return "--json and --csv exclude each other";
                a->fmt = f;
                return "";
            }
            case optfrom:
            case optto:
                if (!parsetime(val, id == optfrom ? &a->from : &a->to))
                    return "a local time (2026-12-06 01:55:10[.mmm], 2026-12-06T01:55:10, "
                           "2026-12-06) or milliseconds since 1970 UTC";
                (id == optfrom ? a->hasfrom : a->hasto) = true;
                return "";
            case optlimit:
                if (!toint(val, &n) || n <= 0) return "a positive number of rows";
                a->limit = n;
                a->haslimit = true;
                return "";
            case opttype:
                if (!toint(val, &n) || n < 1 || n > 7) return "a type, 1 to 7";
                a->type = n;
                a->hastype = true;
                return "";
            case optquality:
                if (!toint(val, &n) || n < -128 || n > 255) return "a quality, -128 to 255";
                a->quality = n;
                a->hasquality = true;
                return "";
            case optinterval:
                if (!toint(val, &n) || n < 10 || n > 3600000) return "milliseconds, 10 to 3600000";
                a->interval = n;
                a->hasinterval = true;
                return "";
        }
        return "";
    };
    std::vector<std::string> rest;
    if (!zo::cli::parse(argc, v.data(), longopts, "hV", on, &rest, why)) {
        // The option as the user wrote it, not its stand-in.
        for (size_t k = 0; k < hid.size(); ++k) {
            std::string stand = hidden + std::to_string(k);
            for (size_t at; (at = why->find(stand + "'")) != std::string::npos;)
                why->replace(at, stand.size(), hid[k]);
        }
        return false;
    }
    for (const std::string& r : rest) a->pos.push_back(unhide(r, hid));
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

// A CSV field: quoted when it holds a comma, a quote or a line break, the
// quotes inside doubled; every other byte as it is.
std::string csvfield(const std::string& f) {
    if (f.find_first_of(",\"\r\n") == std::string::npos) return f;
    std::string q = "\"";
    for (char c : f) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

// Prints tables in one format; the header comes once, before the first
// rows, and a column only grows, so that the rows of a stream (watch) line
// up too.  False once a write fails.
class printer {
  public:
    printer(format f, FILE* out) : fmt_(f), out_(out) {}
    bool put(const table& t) {
        if (fmt_ == format::json) {
            for (const std::string& line : t.json) std::fprintf(out_, "%s\n", line.c_str());
            return !std::ferror(out_);
        }
        if (fmt_ == format::table) {
            w_.resize(t.head.size());
            for (size_t c = 0; c < w_.size(); ++c) w_[c] = std::max(w_[c], t.head[c].size());
            for (const auto& r : t.rows)
                for (size_t c = 0; c < w_.size() && c < r.size(); ++c)
                    w_[c] = std::max(w_[c], r[c].size());
        }
        if (!headed_) line(t.head);
        headed_ = true;
        for (const auto& r : t.rows) line(r);
        return !std::ferror(out_);
    }

  private:
    void line(const std::vector<std::string>& cells) {
        std::string s;
        for (size_t c = 0; c < cells.size(); ++c) {
            if (fmt_ == format::csv) {
                if (c > 0) s += ',';
                s += csvfield(cells[c]);
            } else {
                s += cells[c];
                if (c + 1 < cells.size())
                    s.append(w_[c] - std::min(w_[c], cells[c].size()) + 2, ' ');
            }
        }
        // RFC 4180 ends each record with CRLF; readers take LF as well, and
        // a CRLF would show up in every shell pipeline.
        s += '\n';
        std::fwrite(s.data(), 1, s.size(), out_);
    }

    format fmt_;
    FILE* out_;
    std::vector<size_t> w_;
    bool headed_ = false;
};

// Turns rows (columns named in keys) into t.
void addrows(const std::vector<row>& rows, const std::vector<std::string>& keys,
             const std::vector<int>& timecols, table* t) {
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
}

// Runs sql and turns its rows into t; columns named in keys.
bool collect(ctldb& db, const char* sql, const std::vector<cell>& params,
             const std::vector<std::string>& keys, table* t, std::string* why,
             const std::vector<int>& timecols = {}) {
    std::vector<row> rows;
    if (!db.query(sql, params, &rows, why)) return false;
    addrows(rows, keys, timecols, t);
    return true;
}

int fail(FILE* err, int code, const std::string& why) {
    if (code == zo::cli::exitusage) return zo::cli::usageerror("oxactl", why, err);
    std::fprintf(err, "oxactl: %s\n", why.c_str());
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
    if (a.fmt == format::json) {
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

// The database argument: a URL of the library, sqlite:///PATH (the host
// left out), or a plain file path (relative to the working directory).
bool dbarg(const std::string& text, oxa::dburl* u, std::string* why) {
    std::string t = text;
    if (t.rfind("sqlite:///", 0) == 0) {
        t = "sqlite://localhost" + t.substr(9);
    } else if (t.find("://") == std::string::npos) {
        if (t.empty() || t.back() == '/') {
            *why = "names no database file";
            return false;
        }
        u->scheme = "sqlite";
        u->host = "localhost";
        u->path = t;
        if (t[0] != '/') {
            char cwd[4096];
            if (!::getcwd(cwd, sizeof cwd)) {
                *why = std::string("no working directory: ") + std::strerror(errno);
                return false;
            }
            u->path = std::string(cwd) + (std::strcmp(cwd, "/") == 0 ? "" : "/") + t;
        }
        return true;
    }
    return oxa::parsedburl(t, u, why);
}

bool hasglob(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

const std::vector<std::string> valuekeys{"name", "time", "quality", "type", "value"};

// Follows the snapshot table: a look every interval, the rows whose time
// is not the one of the last look printed.  Ends (0) on stopfd, when the
// output is gone, or (1) when the database fails.
int dowatch(ctldb& db, const cell& glob, const args& a, FILE* out, FILE* err, int stopfd) {
    const char* sql = db.sql(
        "SELECT name, time, quality, type, value FROM snapshot"
        " WHERE ?1 IS NULL OR name GLOB ?1 ORDER BY name",
        "SELECT name, time, quality, type, vint, vreal, vtext, vbytes"
        " FROM snapshot WHERE $1::text IS NULL OR name ~ $1 ORDER BY name COLLATE \"C\"");
    std::unordered_map<std::string, int64_t> seen;
    printer p(a.fmt, out);
    for (bool first = true;; first = false) {
        std::vector<row> rows, changed;
        std::string why;
        if (!db.query(sql, {glob}, &rows, &why)) return fail(err, 1, why);
        for (row& r : rows) {
            if (r.size() < 2 || r[1].kind != oxa::VAL_INT) continue;
            auto [it, fresh] = seen.try_emplace(r[0].s, r[1].i);
            if (!fresh && it->second == r[1].i) continue;
            it->second = r[1].i;
            changed.push_back(std::move(r));
        }
        if (first || !changed.empty()) {
            table t;
            addrows(changed, valuekeys, {1}, &t);
            if (!p.put(t) || std::fflush(out) != 0) return 0;
        }
        // Also a reader that went away wakes the wait: a pipe's write end
        // reports POLLERR then, without a write.
        pollfd w[2] = {{stopfd, POLLIN, 0}, {fileno(out), 0, 0}};
        int n = ::poll(w, 2, static_cast<int>(a.interval));
        if (n < 0 && errno != EINTR)
            return fail(err, 1, std::string("poll: ") + std::strerror(errno));
        if (n > 0 && (w[0].revents || (w[1].revents & (POLLERR | POLLHUP)))) return 0;
    }
}

}  // namespace

bool parsetime(const std::string& s, int64_t* ms) {
    if (s.empty()) return false;
    if (std::all_of(s.begin() + (s[0] == '-' ? 1 : 0), s.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        return toint(s, ms);
    // YYYY-MM-DD[( |T)hh:mm[:ss[.f{1,3}]]]: fixed widths, digits only.
    auto digits = [&](size_t at, size_t n, int* v) {
        if (at + n > s.size()) return false;
        *v = 0;
        for (size_t k = at; k < at + n; ++k) {
            if (s[k] < '0' || s[k] > '9') return false;
            *v = *v * 10 + (s[k] - '0');
        }
        return true;
    };
    std::tm tm{};
    int year, mon, day, hour = 0, min = 0, sec = 0, frac = 0;
    if (!digits(0, 4, &year) || s.size() < 10 || s[4] != '-' || !digits(5, 2, &mon) ||
        s[7] != '-' || !digits(8, 2, &day))
        return false;
    size_t at = 10;
    if (at < s.size()) {
        if ((s[at] != ' ' && s[at] != 'T') || !digits(at + 1, 2, &hour) || at + 3 >= s.size() ||
            s[at + 3] != ':' || !digits(at + 4, 2, &min))
            return false;
        at += 6;
        if (at < s.size()) {
            if (s[at] != ':' || !digits(at + 1, 2, &sec)) return false;
            at += 3;
        }
        if (at < s.size()) {
            size_t n = s.size() - at - 1;
            if (s[at] != '.' || n < 1 || n > 3 || !digits(at + 1, n, &frac)) return false;
            for (; n < 3; ++n) frac *= 10;
            at = s.size();
        }
    }
    // mktime moves a day or time that does not exist (February 30, a time
    // skipped when summer time begins) to one that does: such a date does
    // not read back and is refused.  Summer time is tried first, so that a
    // time the clock passes twice is the earlier one.
    for (int dst : {1, 0}) {
        tm = std::tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = mon - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = min;
        tm.tm_sec = sec;
        tm.tm_isdst = dst;
        std::time_t t = std::mktime(&tm);
        // (-1 is also the failure: then it does not read back either.)
        std::tm back{};
        if (!localtime_r(&t, &back)) continue;
        if (back.tm_year == year - 1900 && back.tm_mon == mon - 1 && back.tm_mday == day &&
            back.tm_hour == hour && back.tm_min == min && back.tm_sec == sec) {
            *ms = static_cast<int64_t>(t) * 1000 + frac;
            return true;
        }
    }
    return false;
}

int run(int argc, const char* const* argv, FILE* out, FILE* err, int (*stopfd)()) {
    args a;
    std::string why;
    if (!parseargs(argc, argv, &a, &why)) return fail(err, 2, why);
    if (a.help) {
        std::fputs(usage, out);
        return 0;
    }
    if (a.version) {
        zo::cli::printversion("oxactl", out);
        return 0;
    }
    if (a.pos.size() < 2) return fail(err, 2, "need a database and a command");
    oxa::dburl u;
    if (!dbarg(a.pos[0], &u, &why)) return fail(err, 2, "database '" + a.pos[0] + "': " + why);
    const std::string& cmd = a.pos[1];
    size_t extra = a.pos.size() - 2;
    bool rangeopts = a.hasfrom || a.hasto;
    bool writeopts = a.hastype || a.hasquality;
    if (a.hasinterval && cmd != "watch") return fail(err, 2, "--interval belongs to watch");

    if (cmd == "write") {
        if (extra != 2) return fail(err, 2, "write needs NAME and VALUE");
        if (rangeopts || a.haslimit) return fail(err, 2, "write takes only --type and --quality");
        if (a.fmt == format::csv) return fail(err, 2, "write has no --csv output");
        return dowrite(a, u, out, err);
    }
    if (writeopts) return fail(err, 2, "--type and --quality belong to write");
    int64_t limit = a.haslimit ? a.limit : -1;

    table t;
    std::unique_ptr<ctldb> db;
    auto open = [&]() {
        db = openctldb(u, false, &why);
        return db != nullptr;
    };
    // The name itself, for a GLOB without pattern characters that matches
    // nothing.
    std::string missing;
    if (cmd == "snapshot" || cmd == "watch") {
        if (extra > 1) return fail(err, 2, cmd + " takes at most one GLOB");
        if (rangeopts || a.haslimit) return fail(err, 2, cmd + " takes no such options");
        if (!open()) return fail(err, 1, why);
        cell glob;
        if (extra == 1) glob = textcell(db->pg() ? globregex(a.pos[2]) : a.pos[2]);
        if (cmd == "watch") return dowatch(*db, glob, a, out, err, stopfd ? stopfd() : -1);
        if (!collect(*db,
                     db->sql("SELECT name, time, quality, type, value FROM snapshot"
                             " WHERE ?1 IS NULL OR name GLOB ?1 ORDER BY name",
                             "SELECT name, time, quality, type, vint, vreal, vtext, vbytes"
                             " FROM snapshot WHERE $1::text IS NULL OR name ~ $1"
                             " ORDER BY name COLLATE \"C\""),
                     {glob}, valuekeys, &t, &why, {1}))
            return fail(err, 1, why);
        if (extra == 1 && t.rows.empty() && !hasglob(a.pos[2])) missing = a.pos[2];
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
        if (t.rows.empty()) {
            // Nothing in the range of a tag that is there is an empty
            // answer; a name that is nowhere is most likely mistyped.
            std::vector<row> rows;
            if (!db->query(db->sql("SELECT EXISTS(SELECT 1 FROM snapshot WHERE name = ?1)"
                                   " OR EXISTS(SELECT 1 FROM history WHERE name = ?1)",
                                   "SELECT EXISTS(SELECT 1 FROM snapshot WHERE name = $1)"
                                   " OR EXISTS(SELECT 1 FROM history WHERE name = $1)"),
                           {textcell(a.pos[2])}, &rows, &why))
                return fail(err, 1, why);
            if (rows.empty() || rows[0].empty() || rows[0][0].i == 0) missing = a.pos[2];
        }
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
        return fail(err, 2, "unknown command '" + cmd + "'");
    }
    if (!missing.empty()) return fail(err, 1, "no tag '" + missing + "'");
    printer(a.fmt, out).put(t);
    return 0;
}

}  // namespace oxactl
