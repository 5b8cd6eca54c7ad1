#include "dblink/link_config.h"

#include <strings.h>

#include <memory>

#include "base/charset.h"
#include "base/env.h"
#include "base/jsonscan.h"
#include "base/url.h"

namespace zo {

namespace {

// A configuration file is a few kilobytes; anything near this is not one,
// and reading it whole would only waste memory.
constexpr uint64_t maxfile = 16u << 20;

bool readwhole(const char* path, zo::string& out) {
    std::unique_ptr<zo::readfile> f = zo::env::current()->openread(path);
    if (!f) return false;
    if (!out.reserve(16000)) return false;
    char chunk[8192];
    for (;;) {
        int64_t n = f->read(chunk, sizeof chunk);
        if (n < 0) return false;
        if (n == 0) break;
        if (out.size() + static_cast<uint64_t>(n) > maxfile) return false;
        if (!out.append(chunk, static_cast<uint32_t>(n))) return false;
    }
    return true;
}

bool sameword(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

void readdblinks(const zo::jsonscan& top, zo::array_<dblink_cfg>& links) {
    const zo::jsonentry* e = top.find("dblinks");
    if (!e || e->vallen == 0 || e->type != zo::JSON_ARRAY) return;
    zo::jsonscan arr;
    if (!arr.scan(e->val, e->vallen)) return;
    zo::jsonscan obj;
    for (const zo::jsonentry& el : arr) {
        if (!obj.scan(el.val, el.vallen)) continue;
        dblink_cfg c;
        obj.gettext("node", c.node);
        obj.gettext("url", c.url);
        obj.gettext("srvcafile", c.srvcafile);
        obj.gettext("user", c.user);
        obj.gettext("pswd", c.pswd);
        if (c.node.empty() || c.url.empty() || c.user.empty() || c.pswd.empty()) continue;
        // Terminated once here so that users may pass data() as a C string.
        c.node.c_str();
        c.url.c_str();
        c.srvcafile.c_str();
        c.user.c_str();
        c.pswd.c_str();
        links.append(std::move(c));
    }
}

void normalisepath(zo::string& p) {
    if (p.empty()) return;
    for (uint32_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\') p[i] = '/';
    }
    if (p.back() != '/') p.append('/');
    if (!zo::isutf8(p.data(), p.size()) && static_cast<uint64_t>(p.size()) * 3 < 16384) {
        char buf[zo::gbkoutmax];
        int n = zo::gbktoutf8(p.data(), p.size(), buf);
        if (n > 0) p.assign(buf, static_cast<uint32_t>(n));
    }
}

int32_t clamp(int32_t v, int32_t zero, int32_t lo, int32_t hi) {
    if (v == 0) return zero;
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

}  // namespace

void stripcomments(std::string_view in, zo::string& out, commentmap* map) {
    size_t seg = 0;  // start of the text not yet appended
    bool incomment = false;
    auto take = [&](size_t end) {
        if (end <= seg) return;
        if (map) map->pieces.push_back({out.size(), seg});
        out.append(in.data() + seg, static_cast<uint32_t>(end - seg));
    };
    for (size_t i = 1; i < in.size(); ++i) {
        if (!incomment) {
            if (in[i] == '*' && in[i - 1] == '/') {
                // The opening '/' may be the closer of the previous comment
                // ("*/*"): then nothing lies between them.
                take(i - 1);
                if (map) map->openers.push_back(i - 1);
                incomment = true;
            }
        } else if (in[i] == '/' && in[i - 1] == '*') {
            incomment = false;
            seg = i + 1;
        }
    }
    if (!incomment) take(in.size());
    if (map) map->unclosed = incomment;
}

size_t commentmap::inpos(size_t at) const {
    size_t i = pieces.size();
    while (i > 0 && pieces[i - 1].out > at) --i;
    if (i == 0) return at;
    return pieces[i - 1].in + (at - pieces[i - 1].out);
}

bool readconfigfile(const char* path, zo::string& raw, std::string_view* text) {
    raw.clear();
    if (!path || !readwhole(path, raw)) return false;
    *text = raw.view();
    if (text->size() >= 3 && text->substr(0, 3) == "\xEF\xBB\xBF") text->remove_prefix(3);
    return true;
}

std::string_view hostofhostport(std::string_view hp) {
    if (!hp.empty() && hp[0] == '[') {
        size_t close = hp.find(']');
        return close == std::string_view::npos ? hp.substr(1) : hp.substr(1, close - 1);
    }
    size_t colon = hp.find(':');
    return colon == std::string_view::npos ? hp : hp.substr(0, colon);
}

bool link_config::load_config(const char* path) {
    dblinks.clear();
    zo::string raw;
    std::string_view text;
    if (!readconfigfile(path, raw, &text)) return false;
    return load_text(text);
}

bool link_config::load_text(std::string_view text) {
    dblinks.clear();
    zo::string json;
    stripcomments(text, json);
    zo::jsonscan top;
    if (!top.scan(json.view())) return false;
    readdblinks(top, dblinks);

    cache_path.clear();  // a missing key means no cache, whatever was loaded before
    top.gettext("cache_path", cache_path);
    normalisepath(cache_path);
    cache_path.c_str();
    metrics_path.clear();
    top.gettext("metrics_path", metrics_path);
    normalisepath(metrics_path);
    metrics_path.c_str();
    int32_t v = 0;
    top.getint("cache_maxsize", v);
    cache_maxsize = clamp(v, 1000, 100, 128000);
    v = 0;
    top.getint("cache_maxhour", v);
    cache_maxhour = clamp(v, 8, 1, 168);
    return true;
}

bool link_config::check_uplink() {
    slave_host.clear();
    slave_port = 0;
    if (dblinks.empty()) return false;
    zo::url first;
    if (!first.parse(dblinks[0].url.data(), dblinks[0].url.size())) return false;
    if (dblinks.size() < 2) return true;
    zo::url second;
    if (!second.parse(dblinks[1].url.data(), dblinks[1].url.size())) return false;
    if (!sameword(first.scheme.view(), second.scheme.view())) return true;
    uint16_t port = second.port;
    if (port == 0) {
        if (sameword(second.scheme.view(), "ws")) port = 80;
        if (sameword(second.scheme.view(), "wss")) port = 443;
    }
    slave_host.assign(hostofhostport(second.hostport.view()));
    slave_host.c_str();
    slave_port = port;
    return true;
}

}  // namespace zo
