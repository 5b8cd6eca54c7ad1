#include "tools/qvadm/cachetool.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "base/charset.h"
#include "base/env.h"
#include "base/ilog.h"
#include "base/numtext.h"
#include "cache/cachefile.h"
#include "protoc3/bodies.h"

using namespace zo;

namespace qvadm {

namespace {

// Keeps the first error line the reader logs after clear(): the reason of
// the damage it is about to pass over.
class linecatch final : public zo::ilog {
  public:
    int open(const char*) override { return 0; }
    int wlog(int level, const char* fmt, ...) override {
        if (level > zo::LOG_ERR || !first.empty()) return 0;
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        first = buf;
        return 1;
    }
    int append(int, const char*, ...) override { return 0; }
    int getlevel() override { return zo::LOG_ERR; }
    int setlevel(int) override { return zo::LOG_ERR; }
    void idle() override {}
    void release() override {}

    std::string first;
};

struct damage {
    uint64_t at;
    uint64_t len;
    std::string why;
};

struct filestat {
    std::string path;
    int64_t stamp = 0;
    uint64_t size = 0;
    uint64_t blocks = 0;  // whole blocks whose records decode
    uint64_t vals = 0;
    uint64_t soes = 0;
    uint64_t other = 0;  // whole blocks of a kind the replay skips
    std::vector<damage> damages;
};

using visitor = std::function<void(int kind, const tagvalarray& vals, const soearray& soes,
                                   std::string_view stored)>;

// The daemon's log line without "cache file PATH " before the reason.
std::string reason(const std::string& line, const std::string& path) {
    std::string head = "cache file " + path + " ";
    if (line.rfind(head, 0) == 0) return line.substr(head.size());
    return line;
}

// Reads one file through the daemon's reader; false when it cannot be
// opened.
bool walk(const std::string& path, filestat* st, const visitor& visit) {
    st->path = path;
    size_t slash = path.rfind('/');
    st->stamp = cachefile::stampofname(slash == std::string::npos ? path : path.substr(slash + 1));
    int64_t size = zo::env::current()->filesize(path);
    cachefile rd(cachefile::modereader);
    if (size < 0 || rd.openpath(path, nullptr) != 0) return false;
    st->size = static_cast<uint64_t>(size);
    zo::string body;
    tagvalarray vals(1);
    soearray soes;
    linecatch why;
    uint64_t covered = 0;
    for (;;) {
        why.first.clear();
        int kind = rd.readblock(body, &why);
        if (rd.damagelen() > 0) {
            st->damages.push_back(
                {rd.damageat(), rd.damagelen(), reason(why.first, path) + " passed over"});
            covered = std::max(covered, rd.damageat() + rd.damagelen());
        }
        if (kind < 0) break;
        covered = std::max(covered, rd.goodend());
        std::string_view stored = rd.storedblock();
        uint64_t at = rd.goodend() - stored.size();
        vals.clear();
        soes.clear();
        bool ok = true;
        if (kind == cachefile::kindtagval) {
            ok = vals.parse(body.data(), body.size());
        } else if (kind == cachefile::kindsoe) {
            ok = soes.parse(body.data(), body.size());
        } else {
            ++st->other;
            continue;
        }
        if (!ok) {
            st->damages.push_back({at, stored.size(), "its body does not decode into records"});
            continue;
        }
        ++st->blocks;
        st->vals += vals.items.size();
        st->soes += soes.items.size();
        if (visit) visit(kind, vals, soes, stored);
    }
    if (st->size > covered) {
        st->damages.push_back(
            {covered, st->size - covered, "bytes after the last whole block (a write cut short)"});
    }
    return true;
}

// Cache files of a directory, oldest period first; false when it cannot be
// listed.
bool listdir(const std::string& dir, std::vector<std::string>* paths) {
    std::vector<std::string> names;
    if (!zo::env::current()->children(dir, &names)) return false;
    std::vector<std::pair<int64_t, std::string>> files;
    for (const std::string& n : names) {
        if (n.rfind("ioch_", 0) != 0) continue;
        int64_t stamp = cachefile::stampofname(n);
        if (stamp <= 0) continue;
        std::string p = dir + (dir.back() == '/' ? "" : "/") + n;
        if (zo::env::current()->isdir(p)) continue;
        files.emplace_back(stamp, p);
    }
    std::sort(files.begin(), files.end());
    for (auto& f : files) paths->push_back(std::move(f.second));
    return true;
}

std::string localtext(int64_t sec, const char* form) {
    time_t t = static_cast<time_t>(sec);
    struct tm tm;
    char buf[64];
    if (!localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, form, &tm) == 0) return "?";
    return buf;
}

std::string agetext(int64_t sec) {
    if (sec < 0) return "in the future";
    if (sec < 120) return std::to_string(sec) + " s ago";
    if (sec < 7200) return std::to_string(sec / 60) + " min ago";
    if (sec < 172800) return std::to_string(sec / 3600) + " h ago";
    return std::to_string(sec / 86400) + " days ago";
}

void jsontext(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

std::string hex(std::string_view s) {
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

void jsonnumber(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += std::isnan(v) ? "\"NaN\"" : (v > 0 ? "\"inf\"" : "\"-inf\"");
        return;
    }
    char b[zo::numtextmax];
    out.append(b, zo::fmtshortest(b, v));
}

std::string valueline(const tagval& t) {
    std::string l = "{\"kind\":\"value\",\"name\":";
    jsontext(l, t.name.view());
    l += ",\"time\":" + std::to_string(t.time);
    l += ",\"local\":\"" + localtext(t.time / 1000 - (t.time % 1000 < 0), "%Y-%m-%d %H:%M:%S");
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d\"", static_cast<int>(((t.time % 1000) + 1000) % 1000));
    l += ms;
    l += ",\"quality\":" + std::to_string(t.quality) + ",\"type\":" + std::to_string(t.vtype);
    l += ",\"value\":";
    switch (t.vtype) {
        case 1:
        case 2:
        case 4:
            l += std::to_string(t.vint);
            break;
        case 3:
        case 5:
            jsonnumber(l, t.vdouble);
            break;
        case 6:
            if (zo::isutf8(t.vbytes.data(), t.vbytes.size())) {
                jsontext(l, t.vbytes.view());
                break;
            }
            [[fallthrough]];
        case 7:
            l += "\"" + hex(t.vbytes.view()) + "\"";
            break;
        default:
            l += "null";
    }
    return l + "}";
}

std::string soeline(const soerec& s) {
    std::string l = "{\"kind\":\"soe\",\"f230\":" + std::to_string(s.f230);
    const std::pair<const char*, uint32_t> nums[] = {
        {"f231", s.f231}, {"f232", s.f232}, {"f233", s.f233}, {"f234", s.f234}, {"f235", s.f235}};
    for (const auto& [k, v] : nums) l += ",\"" + std::string(k) + "\":" + std::to_string(v);
    const std::pair<const char*, const zo::string*> texts[] = {
        {"f236", &s.f236}, {"f237", &s.f237}, {"f238", &s.f238}};
    for (const auto& [k, v] : texts) {
        l += ",\"" + std::string(k) + "\":";
        jsontext(l, v->view());
    }
    l += ",\"f239\":" + std::to_string(s.f239) + ",\"f240\":" + std::to_string(s.f240) + "}";
    return l;
}

bool matches(const std::string& glob, std::string_view name) {
    return glob.empty() || fnmatch(glob.c_str(), std::string(name).c_str(), 0) == 0;
}

void printdamage(const filestat& st, FILE* out) {
    for (const damage& d : st.damages) {
        std::fprintf(out, "%s: offset %" PRIu64 ", %" PRIu64 " bytes: %s\n", st.path.c_str(), d.at,
                     d.len, d.why.c_str());
    }
}

int cannotopen(const std::string& path, FILE* err) {
    std::fprintf(err, "qvadm: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
}

}  // namespace

int cachels(const std::string& dir, FILE* out, FILE* err) {
    std::vector<std::string> paths;
    if (!listdir(dir, &paths)) return cannotopen(dir, err);
    if (paths.empty()) {
        std::fprintf(out, "%s: no cache files\n", dir.c_str());
        return 0;
    }
    const int64_t now = zo::nowsec();
    const int64_t cur = cachefile::periodstamp(now);
    std::fprintf(out, "%-16s %-28s %7s %9s %6s %10s  %s\n", "FILE", "PERIOD (local time)", "BLOCKS",
                 "VALUES", "SOE", "BYTES", "DAMAGED");
    filestat total;
    int rc = 0;
    for (const std::string& p : paths) {
        filestat st;
        if (!walk(p, &st, nullptr)) {
            rc = cannotopen(p, err);
            continue;
        }
        std::string period = localtext(st.stamp, "%Y-%m-%d %H:%M") + " - " +
                             localtext(st.stamp + cachefile::period, "%H:%M");
        if (st.stamp == cur) period += " now";
        std::string dmg = "-";
        if (!st.damages.empty()) {
            uint64_t bytes = 0;
            for (const damage& d : st.damages) bytes += d.len;
            dmg = std::to_string(st.damages.size()) + " (" + std::to_string(bytes) + " bytes)";
        }
        std::fprintf(out, "%-16s %-28s %7" PRIu64 " %9" PRIu64 " %6" PRIu64 " %10" PRIu64 "  %s\n",
                     p.substr(p.rfind('/') + 1).c_str(), period.c_str(), st.blocks, st.vals,
                     st.soes, st.size, dmg.c_str());
        total.blocks += st.blocks;
        total.vals += st.vals;
        total.soes += st.soes;
        total.size += st.size;
        if (total.stamp == 0) total.stamp = st.stamp;
        total.damages.insert(total.damages.end(), st.damages.begin(), st.damages.end());
    }
    std::fprintf(out,
                 "%zu files, %" PRIu64 " bytes, %" PRIu64 " values, %" PRIu64
                 " SOE records, %zu damaged places; the oldest period began %s (%s)\n",
                 paths.size(), total.size, total.vals, total.soes, total.damages.size(),
                 localtext(total.stamp, "%Y-%m-%d %H:%M").c_str(),
                 agetext(now - total.stamp).c_str());
    return rc;
}

int cachedump(const std::string& file, const dumpfilter& f, FILE* out, FILE* err) {
    filestat st;
    bool broken = false;
    auto visit = [&](int kind, const tagvalarray& vals, const soearray& soes, std::string_view) {
        if (broken) return;
        if (kind == cachefile::kindtagval && f.kind != cachefile::kindsoe) {
            for (const tagval& t : vals.items) {
                if (!matches(f.name, t.name.view())) continue;
                if (std::fprintf(out, "%s\n", valueline(t).c_str()) < 0) broken = true;
            }
        }
        if (kind == cachefile::kindsoe && f.kind != cachefile::kindtagval) {
            for (const soerec& s : soes.items) {
                if (!matches(f.name, s.f236.view())) continue;
                if (std::fprintf(out, "%s\n", soeline(s).c_str()) < 0) broken = true;
            }
        }
    };
    if (!walk(file, &st, visit)) return cannotopen(file, err);
    printdamage(st, err);
    return st.damages.empty() ? 0 : 1;
}

int cacheverify(const std::string& path, FILE* out, FILE* err) {
    std::vector<std::string> paths;
    if (zo::env::current()->isdir(path)) {
        if (!listdir(path, &paths)) return cannotopen(path, err);
    } else {
        paths.push_back(path);
    }
    int rc = 0;
    size_t damaged = 0;
    for (const std::string& p : paths) {
        filestat st;
        if (!walk(p, &st, nullptr)) {
            rc = cannotopen(p, err);
            continue;
        }
        printdamage(st, out);
        if (!st.damages.empty()) ++damaged;
    }
    std::fprintf(out, "%s: %zu cache files, %zu damaged\n", path.c_str(), paths.size(), damaged);
    return damaged ? 1 : rc;
}

int cachesalvage(const std::string& file, const std::string& outpath, FILE* out, FILE* err) {
    std::string target = outpath;
    if (zo::env::current()->isdir(target)) {
        target += (target.back() == '/' ? "" : "/") + file.substr(file.rfind('/') + 1);
    }
    if (zo::env::current()->filesize(target) >= 0) {
        std::fprintf(err, "qvadm: %s exists; salvage writes only a new file\n", target.c_str());
        return 1;
    }
    // Written beside the target under a name the replay never takes for a
    // cache file (it looks for "ioch_"), then renamed: the replay sees the
    // whole file or none.
    std::string dir = target.substr(0, target.rfind('/') + 1);
    std::string tmp = dir + ".qvadm-salvage.tmp";
    std::unique_ptr<zo::appendfile> w = zo::env::current()->openappend(tmp);
    if (!w || !w->truncate(0)) {
        std::fprintf(err, "qvadm: cannot write %s: %s\n", tmp.c_str(), std::strerror(errno));
        return 1;
    }
    bool failed = false;
    filestat st;
    auto visit = [&](int, const tagvalarray&, const soearray&, std::string_view stored) {
        if (!failed && !w->append(stored.data(), stored.size())) failed = true;
    };
    if (!walk(file, &st, visit)) {
        w->close();
        zo::env::current()->removefile(tmp);
        return cannotopen(file, err);
    }
    if (failed || !w->sync() || !w->close() || ::rename(tmp.c_str(), target.c_str()) != 0) {
        std::fprintf(err, "qvadm: cannot write %s: %s\n", target.c_str(), std::strerror(errno));
        zo::env::current()->removefile(tmp);
        return 1;
    }
    uint64_t lost = 0;
    for (const damage& d : st.damages) lost += d.len;
    std::fprintf(out,
                 "%s: %" PRIu64 " blocks (%" PRIu64 " values, %" PRIu64
                 " SOE records) written; %zu damaged places (%" PRIu64 " bytes) left out",
                 target.c_str(), st.blocks, st.vals, st.soes, st.damages.size(), lost);
    if (st.other) std::fprintf(out, ", and %" PRIu64 " blocks of unknown kinds", st.other);
    std::fprintf(out, "\n");
    return 0;
}

}  // namespace qvadm
