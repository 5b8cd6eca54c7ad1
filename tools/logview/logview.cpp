#include "tools/logview/logview.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/charset.h"
#include "base/ilog.h"
#include "tools/cli/cliopts.h"

namespace logview {

const char usage[] =
    "usage: logview [udp://HOST:PORT] [--level WORD]\n"
    "  Prints the log datagrams that arrive at HOST:PORT (default udp://127.0.0.1:999;\n"
    "  no port means 999), one line each: time, level, cabin, text.\n"
    "  --level WORD  show only lines at or below this level: err wrn inf msg mor dbg all,\n"
    "                or a number\n"
    "  --help, -h    this text\n"
    "  --version, -V the version\n"
    "  Ends on SIGINT or SIGTERM.\n";

namespace {

void skipws(std::string_view s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
}

// A JSON string starting at s[i] == '"'; i ends past the closing quote.
bool readstring(std::string_view s, size_t& i, std::string* out) {
    ++i;
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') return true;
        if (c != '\\') {
            if (out) out->push_back(c);
            continue;
        }
        if (i >= s.size()) return false;
        char e = s[i++];
        char d = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        if (e == 'u') {
            if (s.size() - i < 4) return false;
            d = '?';  // the logger never writes these; keep the width of the text
            i += 4;
        }
        if (out) out->push_back(d);
    }
    return false;
}

// An integer within int range; i ends after its digits.
bool readint(std::string_view s, size_t& i, int* out) {
    bool neg = i < s.size() && s[i] == '-';
    if (neg) ++i;
    size_t start = i;
    int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i++] - '0');
        if (v > static_cast<int64_t>(INT_MAX) + 1) return false;
    }
    if (i == start) return false;
    if (neg) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    if (out) *out = static_cast<int>(v);
    return true;
}

bool readliteral(std::string_view s, size_t& i) {
    for (const char* w : {"true", "false", "null"}) {
        size_t n = std::strlen(w);
        if (s.substr(i, n) == w) {
            i += n;
            return true;
        }
    }
    return false;
}

const char* colorof(int level) {
    if (level <= zo::LOG_ERR) return "\x1b[31m";  // red
    if (level <= zo::LOG_WRN) return "\x1b[33m";  // yellow
    if (level <= zo::LOG_INF) return "";
    return "\x1b[2m";  // dim for detail
}

bool knownword(const char* w) {
    for (const char* k : {"err", "wrn", "inf", "msg", "mor", "dbg", "all"}) {
        if (strcasecmp(w, k) == 0) return true;
    }
    return false;
}

bool numberword(const char* w) {
    const char* p = w;
    if (*p == '+' || *p == '-') ++p;
    if (!*p) return false;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return std::strlen(w) < 11;
}

}  // namespace

bool parse(std::string_view dgram, header* h, std::string_view* text) {
    *h = header();
    size_t nl = dgram.find('\n');
    if (nl == std::string_view::npos) return false;
    std::string_view s = dgram.substr(0, nl);
    size_t i = 0;
    skipws(s, i);
    if (i >= s.size() || s[i] != '{') return false;
    ++i;
    bool gotlevel = false;
    skipws(s, i);
    if (i < s.size() && s[i] == '}') return false;  // no level
    for (;;) {
        skipws(s, i);
        if (i >= s.size() || s[i] != '"') return false;
        std::string key;
        if (!readstring(s, i, &key)) return false;
        skipws(s, i);
        if (i >= s.size() || s[i] != ':') return false;
        ++i;
        skipws(s, i);
        if (i >= s.size()) return false;
        if (s[i] == '"') {
            std::string* dst = key == "order" ? &h->order : key == "cabin" ? &h->cabin : nullptr;
            if (dst) dst->clear();
            if (!readstring(s, i, dst)) return false;
        } else if (s[i] == '-' || (s[i] >= '0' && s[i] <= '9')) {
            int v = 0;
            if (!readint(s, i, &v)) return false;
            if (key == "level") {
                h->level = v;
                gotlevel = true;
            }
        } else if (!readliteral(s, i)) {
            return false;  // nested values and fractions are no part of a header
        }
        skipws(s, i);
        if (i >= s.size()) return false;
        if (s[i] == ',') {
            ++i;
            continue;
        }
        if (s[i] != '}') return false;
        ++i;
        break;
    }
    skipws(s, i);
    if (i != s.size() || !gotlevel) return false;
    *text = dgram.substr(nl + 1);
    return true;
}

void escape(std::string_view bytes, bool raw, std::string& out) {
    // isutf8 reads an empty span as a zero-terminated text: ask only with bytes.
    bool utf8 = bytes.empty() || zo::isutf8(bytes.data(), bytes.size());
    for (unsigned char c : bytes) {
        bool keep = (c >= 0x20 && c != 0x7F && (c < 0x80 || utf8)) || c == '\t';
        if (keep && !(c == '\\' && raw)) {
            out.push_back(static_cast<char>(c));
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
}

std::string timetext(int64_t ms) {
    int64_t sec = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    int milli = static_cast<int>(ms - sec * 1000);
    time_t t = static_cast<time_t>(sec);
    struct tm tm;
    if (!localtime_r(&t, &tm)) return "(time unknown)";
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
    return b;
}

bool format(std::string_view dgram, int64_t ms, int maxlevel, bool color, std::string& out) {
    out.clear();
    header h;
    std::string_view text;
    if (!parse(dgram, &h, &text)) {
        if (color) out += "\x1b[35m";
        out += timetext(ms);
        out += " raw ";
        escape(dgram, true, out);
        if (color) out += "\x1b[0m";
        out.push_back('\n');
        return true;
    }
    if (h.level > maxlevel) return false;
    const char* c = color ? colorof(h.level) : "";
    out += c;
    out += timetext(ms);
    out.push_back(' ');
    const char* w = zo::levelword(h.level);
    if (std::strcmp(w, "ndf") == 0) {
        out += std::to_string(h.level);
    } else {
        out += w;
    }
    out.push_back(' ');
    escape(h.cabin, false, out);
    out.push_back(' ');
    size_t indent = out.size() - std::strlen(c);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    bool first = true;
    while (first || !text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!first) {
            out.push_back('\n');
            out.append(indent, ' ');
        }
        escape(line, false, out);
        first = false;
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    if (*c) out += "\x1b[0m";
    out.push_back('\n');
    return true;
}

bool parseargs(int argc, char** argv, options* o, std::string* err) {
    *o = options();
    static const option longopts[] = {{"level", required_argument, nullptr, 'l'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    auto on = [o](int id, const char* v) -> std::string {
        switch (id) {
            case 'h':
                o->help = true;
                break;
            case 'V':
                o->version = true;
                break;
            case 'l':
                if (!knownword(v) && !numberword(v))
                    return "a level word (err wrn inf msg mor dbg all) or a number";
                o->maxlevel = zo::levelfromword(v);
                break;
        }
        return "";
    };
    std::vector<std::string> rest;
    if (!zo::cli::parse(argc, argv, longopts, "hV", on, &rest, err)) return false;
    if (rest.size() > 1) {
        *err = "more than one URL: '" + rest[1] + "'";
        return false;
    }
    if (!rest.empty()) o->url = rest[0];
    return true;
}

}  // namespace logview
