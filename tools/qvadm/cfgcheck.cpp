#include "tools/qvadm/cfgcheck.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "base/jsonscan.h"
#include "base/url.h"
#include "dblink/link_config.h"
#include "oxaapi/dburl.h"
#include "oxaapi/oxaapi.h"

using namespace zo;

namespace qvadm {

namespace {

const std::vector<const char*> topkeys = {"dblinks", "cache_path", "cache_maxsize", "cache_maxhour",
                                          "metrics_path"};
const std::vector<const char*> linkkeys = {"node", "url", "srvcafile", "user", "pswd"};
// The strict reading descends into nested values one level per call: a
// configuration never nests deeply, and a hostile file must not exhaust the
// stack.
constexpr int maxdepth = 64;

bool sameword(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isknown(std::string_view key, const std::vector<const char*>& known) {
    for (const char* k : known) {
        if (sameword(key, k)) return true;
    }
    return false;
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return r;
}

// Edit distance with transpositions (optimal string alignment).
size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// Where a member's key and value start in the text (at the opening quote).
const char* keypos(const zo::jsonentry& e) {
    return e.key - 1;
}
const char* valpos(const zo::jsonentry& e) {
    return e.type == zo::JSON_STRING ? e.val - 1 : e.val;
}

std::string quoted(std::string_view s) {
    std::string r = "\"";
    r.append(s);
    r += '"';
    return r;
}

// The directory a path names, with symbolic links of its existing part
// resolved, for telling whether two paths are one directory.
std::string realdir(const std::string& dir) {
    std::string head = dir;
    std::string tail;
    while (!head.empty()) {
        char buf[PATH_MAX];
        if (::realpath(head.c_str(), buf)) {
            std::string r = buf;
            if (r.back() != '/') r += '/';
            return r + tail;
        }
        while (!head.empty() && head.back() == '/') head.pop_back();
        size_t slash = head.rfind('/');
        if (slash == std::string::npos) break;
        tail = head.substr(slash + 1) + "/" + tail;
        head.resize(slash + 1);
    }
    return dir;
}

// Whether files can be made in the existing directory dir: tried for real,
// since permission bits do not tell about read-only mounts, and root passes
// every bit test.
bool canwrite(const std::string& dir, std::string* why) {
    std::string probe = dir;
    if (probe.back() != '/') probe += '/';
    probe += ".qvadm-XXXXXX";
    int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool isdirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The deepest existing directory on the way to path (path itself when it
// exists); *blocker names a component that exists and is not a directory.
std::string existingpart(const std::string& path, std::string* blocker) {
    std::string p = path;
    blocker->clear();
    for (;;) {
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        struct stat st;
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) *blocker = p;
            return p;
        }
        size_t slash = p.rfind('/');
        if (slash == std::string::npos) return ".";
        p.resize(slash == 0 ? 1 : slash);
    }
}

}  // namespace

std::string cfgcheck::nearest(const std::string& key, const std::vector<const char*>& known) {
    const std::string k = lower(key);
    std::string best;
    size_t bestd = SIZE_MAX;
    for (const char* c : known) {
        const std::string cand = c;
        size_t d = distance(k, cand);
        // A key that is a whole word of a known key ("maxsize" for
        // "cache_maxsize") is near whatever the distance.
        if (k.size() >= 3 && cand.find(k) != std::string::npos) d = std::min<size_t>(d, 1);
        if (d < bestd) {
            bestd = d;
            best = cand;
        }
    }
    // One edit in four characters, at least one and at most three.
    size_t limit = std::clamp<size_t>(k.size() / 4, 1, 3);
    return bestd <= limit ? best : std::string();
}

void cfgcheck::report(const std::string& where, bool error, const std::string& text) {
    std::fprintf(out_, "%s: %s: %s\n", where.c_str(), error ? "error" : "note", text.c_str());
    if (error) ++errors_;
}

// One file's check: positions, the strict syntax, the members.
class filecheck {
  public:
    filecheck(cfgcheck* c, cfgcheck::fileinfo* fi, std::string_view text, const zo::string& json,
              const commentmap& map)
        : c_(c), fi_(fi), text_(text), json_(json), map_(map) {
        lines_.push_back(0);
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') lines_.push_back(i + 1);
        }
    }

    // "path:line:col" of an input offset.
    std::string atin(size_t off) const {
        off = std::min(off, text_.size());
        size_t line = static_cast<size_t>(std::upper_bound(lines_.begin(), lines_.end(), off) -
                                          lines_.begin());
        size_t col = 1;
        for (size_t i = lines_[line - 1]; i < off; ++i) {
            if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++col;
        }
        return fi_->path + ":" + std::to_string(line) + ":" + std::to_string(col);
    }
    // The same of a place in the text after comment removal.
    std::string at(const char* p) const { return atin(inof(p)); }
    // Findings wait here and are printed in the order of their places in
    // the file, those of the whole file last.
    void add(size_t inoff, bool error, const std::string& t) {
        found_.push_back({inoff, error, t});
    }
    void error(const char* p, const std::string& t) { add(inof(p), true, t); }
    void note(const char* p, const std::string& t) { add(inof(p), false, t); }
    void fileerror(const std::string& t) { add(SIZE_MAX, true, t); }
    void filenote(const std::string& t) { add(SIZE_MAX, false, t); }
    bool haserrors() const {
        for (const finding& f : found_) {
            if (f.error) return true;
        }
        return false;
    }
    size_t inof(const char* p) const { return map_.inpos(static_cast<size_t>(p - json_.data())); }
    void flush() {
        std::stable_sort(found_.begin(), found_.end(),
                         [](const finding& a, const finding& b) { return a.at < b.at; });
        for (const finding& f : found_) {
            c_->report(f.at == SIZE_MAX ? fi_->path : atin(f.at), f.error, f.text);
        }
        found_.clear();
    }

    void comments();
    void unclosed(bool loaded);
    bool syntax(std::string_view span, int depth);
    void members(const zo::jsonscan& obj, const std::vector<const char*>& known,
                 const std::vector<const char*>& other, const char* otherplace);
    void links(const zo::jsonscan& top, const link_config& cfg);
    void cachepath(const zo::jsonscan& top, const link_config& cfg, bool gap);
    void metricspath(const zo::jsonscan& top, const link_config& cfg);
    void number(const zo::jsonscan& top, const char* key, int32_t dflt, int32_t lo, int32_t hi,
                int32_t used, const char* unit);

    bool gapmode = false;
    int usable = 0;

  private:
    struct finding {
        size_t at;
        bool error;
        std::string text;
    };

    cfgcheck* c_;
    cfgcheck::fileinfo* fi_;
    std::vector<finding> found_;
    std::string_view text_;
    const zo::string& json_;
    const commentmap& map_;
    std::vector<size_t> lines_;
};

void filecheck::comments() {
    // A comment that opens where an odd number of quotes came before it
    // opens inside a string: the daemon removes it from the string.
    for (size_t opener : map_.openers) {
        size_t outoff = 0;
        for (const commentmap::piece& p : map_.pieces) {
            if (p.in >= opener) break;
            outoff = p.out + std::min(opener - p.in, json_.size() - p.out);
        }
        bool instring = false;
        for (size_t i = 0; i < outoff && i < json_.size(); ++i) {
            if (json_[i] != '"') continue;
            size_t j = i;
            while (j > 0 && json_[j - 1] == '\\') --j;
            if (((i - j) & 1) == 0) instring = !instring;
        }
        if (instring) {
            add(opener, true,
                "\"/*\" inside a string opens a comment: Quorvane removes the text from "
                "here to the next \"*/\" (a path must not contain \"/*\")");
        }
    }
}

void filecheck::unclosed(bool loaded) {
    if (!map_.unclosed || map_.openers.empty()) return;
    // Behind the closing bracket it costs nothing; anywhere else the file
    // does not read.
    add(map_.openers[map_.openers.size() - 1], !loaded,
        loaded ? "this comment is never closed (harmless here: nothing follows it)"
               : "this comment is never closed: Quorvane ignores the rest of the file");
}

bool filecheck::syntax(std::string_view span, int depth) {
    if (depth > maxdepth) {
        error(span.data(), "values nested deeper than " + std::to_string(maxdepth) + " levels");
        return false;
    }
    zo::jsonscan js;
    if (!js.scanstrict(span)) {
        const char* p = span.data() + std::min(js.errpos(), span.size());
        std::string why = js.error();
        if (std::string_view(p, span.data() + span.size() - p).substr(0, 2) == "//") {
            why = "\"//\" does not start a comment here; only /* ... */ does";
        }
        error(p, "syntax: " + why);
        return false;
    }
    for (const zo::jsonentry& e : js) {
        if (e.type == zo::JSON_OBJECT || e.type == zo::JSON_ARRAY) {
            if (!syntax(e.valview(), depth + 1)) return false;
        }
    }
    return true;
}

void filecheck::members(const zo::jsonscan& obj, const std::vector<const char*>& known,
                        const std::vector<const char*>& other, const char* otherplace) {
    for (size_t i = 0; i < obj.size(); ++i) {
        const zo::jsonentry& e = obj[i];
        std::string key(e.keyview());
        for (size_t j = 0; j < i; ++j) {
            if (sameword(obj[j].keyview(), e.keyview())) {
                error(keypos(e), quoted(key) +
                                     " is given again (letter case does not matter); "
                                     "Quorvane reads only the first, at " +
                                     at(keypos(obj[j])));
                break;
            }
        }
        if (isknown(key, known)) continue;
        std::string t = "unknown key " + quoted(key);
        if (isknown(key, other)) {
            t += ": it belongs " + std::string(otherplace);
        } else if (std::string n = cfgcheck::nearest(key, known); !n.empty()) {
            t += " (did you mean " + quoted(n) + "?)";
        }
        error(keypos(e), t + "; Quorvane ignores it");
    }
}

void filecheck::links(const zo::jsonscan& top, const link_config& cfg) {
    const zo::jsonentry* e = top.find("dblinks");
    if (!e) {
        fileerror("no \"dblinks\": Quorvane has no database link and does not start");
        return;
    }
    if (e->type != zo::JSON_ARRAY) {
        error(valpos(*e),
              "\"dblinks\" must be an array of link objects [{...}]; Quorvane finds no "
              "link and does not start");
        return;
    }
    zo::jsonscan arr;
    if (!arr.scan(e->val, e->vallen)) return;
    int n = 0;
    for (const zo::jsonentry& el : arr) {
        ++n;
        const std::string which = "link " + std::to_string(n);
        zo::jsonscan obj;
        if (el.type != zo::JSON_OBJECT || !obj.scan(el.val, el.vallen)) {
            error(valpos(el), which + " is not an object {...}; Quorvane skips it");
            continue;
        }
        members(obj, linkkeys, topkeys, "at the top level, not inside a link");
        bool complete = true;
        std::string url;
        for (const char* k : linkkeys) {
            const zo::jsonentry* m = obj.find(k);
            const bool required = std::strcmp(k, "srvcafile") != 0;
            if (m && m->type != zo::JSON_STRING && m->type != zo::JSON_NULL) {
                error(valpos(*m), which + ": " + quoted(k) + " must be a text in quotes");
            }
            zo::string v;
            obj.gettext(k, v);
            if (std::strcmp(k, "url") == 0) url.assign(v.view());
            if (required && v.empty()) {
                complete = false;
                error(m ? keypos(*m) : valpos(el), which + (m ? " has an empty " : " has no ") +
                                                       quoted(k) + ": Quorvane skips this link");
            }
        }
        if (!complete) continue;
        ++usable;
        const zo::jsonentry* ue = obj.find("url");
        zo::url u;
        u.split(url.data(), url.size());
        if (sameword(u.scheme.view(), "gapudp")) {
            if (usable == 1) gapmode = true;
            zo::url r;
            if (!r.parse(url.data(), url.size())) {
                error(valpos(*ue), which + ": " + quoted(url) +
                                       (r.unresolved ? ": its host does not resolve"
                                                     : " does not parse as gapudp://HOST:PORT"));
            } else if (r.port == 0) {
                error(valpos(*ue),
                      which + ": " + quoted(url) + " has no port (gapudp://HOST:PORT)");
            }
            continue;
        }
        oxa::dburl d;
        std::string why;
        if (!oxa::parsedburl(url, &d, &why)) {
            error(valpos(*ue), which + ": " + quoted(url) + " is not a database URL: " + why);
            continue;
        }
        // The uplink check of the first two links parses them as endpoints.
        if (usable <= 2) {
            zo::url r;
            if (!r.parse(url.data(), url.size())) {
                error(valpos(*ue), which + ": Quorvane's uplink check cannot read " + quoted(url) +
                                       (r.unresolved ? " (its host does not resolve)" : ""));
            }
        }
        if (d.scheme == "sqlite") {
            std::string dir = d.path.substr(0, d.path.rfind('/') + 1);
            std::string blocker;
            std::string have = existingpart(dir, &blocker);
            struct stat st;
            std::string w;
            if (!blocker.empty() || (have + "/" != dir && have != dir)) {
                error(valpos(*ue), which + ": the database's directory " + dir +
                                       " does not exist; the library does not create it and "
                                       "Quorvane waits for it");
            } else if (::stat(d.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
                error(valpos(*ue), which + ": " + d.path + " is not a file");
            } else if (!canwrite(dir, &w)) {
                error(valpos(*ue), which + ": cannot write in " + dir + " (" + w + ")");
            }
        }
        if (usable == 1) {
            fi_->dburl = url;
            zo::string t;
            obj.gettext("user", t);
            fi_->user.assign(t.view());
            obj.gettext("pswd", t);
            fi_->pswd.assign(t.view());
        }
    }
    if (usable == 0) {
        error(valpos(*e), "no usable link in \"dblinks\": Quorvane does not start (\"" + fi_->path +
                              " uplink config error.\")");
    }
    for (size_t i = 2; i < cfg.dblinks.size(); ++i) {
        filenote("link " + std::to_string(i + 1) +
                 " is kept but not used: only the first link and a second of the same "
                 "scheme (the slave database) are");
    }
    if (cfg.dblinks.size() >= 2 && !gapmode) {
        if (cfg.slave_host.empty()) {
            filenote("the second link has another scheme than the first: no slave database");
        } else {
            fi_->slavehost.assign(cfg.slave_host.view());
            fi_->slaveport = cfg.slave_port;
            fi_->slaveuser.assign(cfg.dblinks[1].user.view());
            fi_->slavepswd.assign(cfg.dblinks[1].pswd.view());
        }
    }
}

void filecheck::cachepath(const zo::jsonscan& top, const link_config& cfg, bool gap) {
    const zo::jsonentry* e = top.find("cache_path");
    const std::string dir(cfg.cache_path.view());
    if (gap) {
        if (!dir.empty()) {
            note(keypos(*e), "in gapudp mode nothing is cached, and cache files found in " + dir +
                                 " are deleted");
        }
        return;
    }
    if (!e) {
        fileerror(
            "no \"cache_path\": values that come while the database is away are lost "
            "(write \"cache_path\": \"\" to run without a cache on purpose)");
        return;
    }
    if (e->type != zo::JSON_STRING && e->type != zo::JSON_NULL) {
        error(valpos(*e), "\"cache_path\" must be a text in quotes");
    }
    fi_->cacheat = at(keypos(*e));
    if (dir.empty()) {
        note(keypos(*e), "no local cache: values that come while the database is away are lost");
        return;
    }
    fi_->cachedir = dir;
    fi_->cachereal = realdir(dir);
    if (dir[0] != '/') {
        error(valpos(*e),
              "cache_path " + quoted(dir) +
                  " is relative: Quorvane resolves it against its working directory, "
                  "which differs between a shell and the service; give an absolute path");
        return;
    }
    std::string blocker;
    std::string have = existingpart(dir, &blocker);
    std::string why;
    if (!blocker.empty()) {
        error(valpos(*e), "the cache directory " + dir + " cannot be made: " + blocker +
                              " is not a directory; Quorvane runs without a cache");
    } else if (!canwrite(have, &why)) {
        if (have + "/" == dir || have == dir) {
            error(valpos(*e), "cannot write in the cache directory " + dir + " (" + why +
                                  "): values that come while the database is away are lost");
        } else {
            error(valpos(*e), "the cache directory " + dir + " cannot be made: cannot write in " +
                                  have + " (" + why + "); Quorvane runs without a cache");
        }
    } else if (have + "/" != dir && have != dir) {
        note(valpos(*e), "the cache directory " + dir + " does not exist yet; Quorvane makes it");
    }
}

void filecheck::metricspath(const zo::jsonscan& top, const link_config& cfg) {
    const zo::jsonentry* e = top.find("metrics_path");
    if (!e) return;
    if (e->type != zo::JSON_STRING && e->type != zo::JSON_NULL) {
        error(valpos(*e), "\"metrics_path\" must be a text in quotes");
        return;
    }
    const std::string dir(cfg.metrics_path.view());
    if (dir.empty()) return;
    std::string why;
    if (dir[0] != '/') {
        error(valpos(*e), "metrics_path " + quoted(dir) +
                              " is relative: give an absolute path (the service's working "
                              "directory is not the shell's)");
    } else if (!isdirectory(dir)) {
        error(valpos(*e), "the metrics directory " + dir +
                              " does not exist: Quorvane does not make it, and writes no metrics");
    } else if (!canwrite(dir, &why)) {
        error(valpos(*e), "cannot write in the metrics directory " + dir + " (" + why +
                              "): Quorvane writes no metrics");
    }
}

void filecheck::number(const zo::jsonscan& top, const char* key, int32_t dflt, int32_t lo,
                       int32_t hi, int32_t used, const char* unit) {
    const zo::jsonentry* e = top.find(key);
    if (!e) return;
    const std::string k = quoted(key);
    const std::string u = std::to_string(used) + " " + unit;
    int64_t v = 0;
    if (e->type == zo::JSON_NULL) {
        note(valpos(*e), k + " is null: Quorvane uses the default, " + u);
        return;
    }
    if (e->type != zo::JSON_LITERAL || !zo::jsonreadint64(e->valview(), v)) {
        error(valpos(*e),
              k + " must be a whole number, not " +
                  (e->type == zo::JSON_STRING ? quoted(e->valview()) : std::string(e->valview())) +
                  "; Quorvane uses " + u);
        return;
    }
    if (v == 0) {
        note(valpos(*e), k + " 0 means the default, " + u);
    } else if (v < lo) {
        error(valpos(*e), k + " " + std::to_string(v) + " is below the least, " +
                              std::to_string(lo) + "; Quorvane uses " + u);
    } else if (v > hi) {
        error(valpos(*e), k + " " + std::to_string(v) + " is above the most, " +
                              std::to_string(hi) + "; Quorvane uses " + u);
    }
    (void)dflt;
}

void cfgcheck::checkfile(const std::string& path) {
    const int before = errors_;
    files_.push_back(fileinfo{});
    fileinfo& fi = files_.back();
    fi.path = path;
    zo::string raw;
    std::string_view text;
    errno = 0;
    if (!readconfigfile(path.c_str(), raw, &text)) {
        report(path, true,
               std::string("cannot be read (") + (errno ? std::strerror(errno) : "too large") +
                   "): Quorvane logs \"load config " + path + " failed.\" and does not start");
        std::fprintf(out_, "%s: Quorvane does not start with this file.\n", path.c_str());
        return;
    }
    zo::string json;
    commentmap map;
    stripcomments(text, json, &map);
    filecheck f(this, &fi, text, json, map);
    f.comments();
    f.syntax(json.view(), 0);

    link_config cfg;
    zo::jsonscan top;
    const bool loaded = cfg.load_text(text) && top.scan(json.view());
    f.unclosed(loaded);
    if (!loaded) {
        const char* p = json.data() + std::min(top.errpos(), static_cast<size_t>(json.size()));
        if (json.empty()) {
            f.fileerror("no JSON object in the file");
        } else if (!f.haserrors()) {
            f.error(p, std::string("syntax: ") + top.error());
        }
        f.flush();
        std::fprintf(out_,
                     "%s: Quorvane does not start with this file (it logs \"load config %s "
                     "failed.\").\n",
                     path.c_str(), path.c_str());
        return;
    }
    size_t lead = 0;
    while (lead < json.size() && std::strchr(" \t\r\n", json[lead])) ++lead;
    if (json[lead] == '[') {
        f.error(json.data() + lead,
                "the file holds an array; Quorvane needs an object {\"dblinks\": [...], ...}");
    } else {
        f.members(top, topkeys, linkkeys, "inside a link of \"dblinks\"");
    }
    const bool uplink = cfg.check_uplink();
    f.links(top, cfg);
    f.cachepath(top, cfg, f.gapmode);
    f.metricspath(top, cfg);
    f.number(top, "cache_maxsize", 1000, 100, 128000, cfg.cache_maxsize, "MB");
    f.number(top, "cache_maxhour", 8, 1, 168, cfg.cache_maxhour, "hours");

    f.flush();
    const int n = errors_ - before;
    std::string verdict = std::to_string(n) + (n == 1 ? " error" : " errors");
    if (n == 0) verdict = "ok";
    if (!uplink) {
        std::fprintf(out_, "%s: %s; Quorvane does not start (\"%s uplink config error.\").\n",
                     path.c_str(), verdict.c_str(), path.c_str());
        return;
    }
    std::string use = f.gapmode ? "gapudp mode to " : "client mode, database ";
    use += std::string(cfg.dblinks[0].url.view());
    if (!fi.slavehost.empty()) {
        use += " (slave " + fi.slavehost + ":" + std::to_string(fi.slaveport) + ")";
    }
    if (!f.gapmode) {
        if (cfg.cache_path.empty()) {
            use += ", no local cache";
        } else {
            use += ", cache " + std::string(cfg.cache_path.view()) + " (at most " +
                   std::to_string(cfg.cache_maxsize) + " MB, " + std::to_string(cfg.cache_maxhour) +
                   (cfg.cache_maxhour == 1 ? " hour)" : " hours)");
        }
    }
    std::fprintf(out_, "%s: %s; Quorvane uses %s.\n", path.c_str(), verdict.c_str(), use.c_str());
}

void cfgcheck::checkshared() {
    std::map<std::string, std::vector<const fileinfo*>> bydir;
    for (const fileinfo& f : files_) {
        if (!f.cachereal.empty()) bydir[f.cachereal].push_back(&f);
    }
    for (const auto& [dir, fs] : bydir) {
        if (fs.size() < 2) continue;
        for (const fileinfo* f : fs) {
            std::string others;
            for (const fileinfo* g : fs) {
                if (g != f) others += (others.empty() ? "" : ", ") + g->path;
            }
            report(f->cacheat, true,
                   "the cache directory " + f->cachedir + " is also the cache of " + others +
                       ": instances must not share one (each replays and deletes the other's "
                       "files, and the size limit counts both)");
        }
    }
}

namespace {

struct connectwait {
    std::mutex mu;
    std::condition_variable cv;
    int code = 0;
    std::string reason;
};

void onstatus(int code, const char* reason, void* user) {
    auto* w = static_cast<connectwait*>(user);
    std::lock_guard<std::mutex> g(w->mu);
    if (w->code == OXA_CONNECTED || w->code == OXA_CONNECTFAIL) return;  // the first answer counts
    w->code = code;
    w->reason = reason ? reason : "";
    w->cv.notify_all();
}

}  // namespace

void cfgcheck::connect(int timeoutms) {
    for (const fileinfo& f : files_) {
        if (f.dburl.empty()) continue;
        oxa::dburl d;
        std::string why;
        if (!oxa::parsedburl(f.dburl, &d, &why)) continue;
        struct stat st;
        if (d.scheme == "sqlite" && ::stat(d.path.c_str(), &st) != 0) {
            std::fprintf(out_,
                         "%s: the database %s does not exist yet; the library makes it when "
                         "Quorvane first connects.\n",
                         f.path.c_str(), d.path.c_str());
            continue;
        }
        connectwait w;
        int h = oxa_create();
        if (h < 0) {
            report(f.path, true, "no handle of the client library");
            continue;
        }
        if (!f.slavehost.empty()) {
            oxa_setslavedb(h, f.slavehost.c_str(), f.slaveport, f.slaveuser.c_str(),
                           f.slavepswd.c_str());
        }
        oxa_setmessagenotify(h, onstatus, &w);
        auto start = std::chrono::steady_clock::now();
        int rc = oxa_connectex(h, f.dburl.c_str(), f.user.c_str(), f.pswd.c_str(), 0);
        int code = 0;
        std::string reason;
        if (rc == 0) {
            std::unique_lock<std::mutex> g(w.mu);
            w.cv.wait_for(g, std::chrono::milliseconds(timeoutms),
                          [&] { return w.code == OXA_CONNECTED || w.code == OXA_CONNECTFAIL; });
            code = w.code;
            reason = w.reason;
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        if (code == OXA_CONNECTED) {
            std::fprintf(out_,
                         "%s: connected to %s in %lld ms: database %d in use, interface "
                         "version %d.\n",
                         f.path.c_str(), f.dburl.c_str(), static_cast<long long>(ms), oxa_curdb(h),
                         oxa_curdb_inver(h));
        } else if (rc != 0) {
            report(f.path, true,
                   "the client library refuses " + f.dburl + " (" + std::to_string(rc) + ")");
        } else if (code == OXA_CONNECTFAIL) {
            report(f.path, true, "cannot connect to " + f.dburl + ": " + reason);
        } else {
            report(f.path, true,
                   "no answer from " + f.dburl + " within " + std::to_string(timeoutms) + " ms");
        }
        oxa_destory(h);
    }
}

}  // namespace qvadm
