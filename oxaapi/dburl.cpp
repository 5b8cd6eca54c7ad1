#include "oxaapi/dburl.h"

#include <cctype>

namespace oxa {

namespace {

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// Percent-decodes enc; false (with *err naming what) for a bad escape or a
// zero byte, which no part of a URL may carry.
bool decode(std::string_view enc, const char* what, std::string* out, std::string* err) {
    out->clear();
    for (size_t i = 0; i < enc.size(); ++i) {
        char c = enc[i];
        if (c == '%') {
            int h = i + 2 < enc.size() ? hexval(enc[i + 1]) : -1;
            int l = h >= 0 ? hexval(enc[i + 2]) : -1;
            if (l < 0) {
                *err = std::string("bad percent escape in database ") + what;
                return false;
            }
            c = static_cast<char>(h * 16 + l);
            i += 2;
        }
        if (c == 0) {
            *err = std::string("zero byte in database ") + what;
            return false;
        }
        out->push_back(c);
    }
    return true;
}

bool parsesqlite(std::string_view rest, dburl* out, std::string* err) {
    size_t q = rest.find('?');
    if (q != std::string_view::npos) rest = rest.substr(0, q);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        *err = "no database path in url";
        return false;
    }
    out->host = lower(rest.substr(0, slash));
    if (out->host != "localhost") {
        *err = "database host must be localhost";
        return false;
    }
    if (!decode(rest.substr(slash), "path", &out->path, err)) return false;
    if (out->path.size() < 2 || out->path.back() == '/') {
        *err = "database path names no file";
        return false;
    }
    return true;
}

bool parsepg(std::string_view rest, dburl* out, std::string* err) {
    std::string_view query;
    size_t q = rest.find('?');
    if (q != std::string_view::npos) {
        query = rest.substr(q + 1);
        rest = rest.substr(0, q);
    }
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view dbpart = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = userinfo.find(':');
        if (!decode(userinfo.substr(0, colon), "user", &out->user, err)) return false;
        if (colon != std::string_view::npos) {
            out->haspassword = true;
            if (!decode(userinfo.substr(colon + 1), "password", &out->password, err)) return false;
        }
    }
    std::string_view hostpart = authority;
    std::string_view portpart;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            *err = "unclosed [ in database host";
            return false;
        }
        hostpart = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                *err = "text after ] in database host";
                return false;
            }
            portpart = after.substr(1);
        }
    } else {
        size_t colon = authority.rfind(':');
        if (colon != std::string_view::npos) {
            hostpart = authority.substr(0, colon);
            portpart = authority.substr(colon + 1);
        }
    }
    if (!decode(hostpart, "host", &out->host, err)) return false;
    if (out->host.empty()) {
        *err = "no database host in url";
        return false;
    }
    if (!portpart.empty()) {
        uint32_t p = 0;
        for (char c : portpart) {
            if (c < '0' || c > '9' || p > 65535) {
                p = 0;
                break;
            }
            p = p * 10 + static_cast<uint32_t>(c - '0');
        }
        if (p == 0 || p > 65535) {
            *err = "bad database port " + std::string(portpart);
            return false;
        }
        out->port = static_cast<uint16_t>(p);
    }
    if (!decode(dbpart, "name", &out->dbname, err)) return false;
    if (out->dbname.empty() || out->dbname.find('/') != std::string::npos) {
        *err = "database url names no database (postgresql://HOST:PORT/DBNAME)";
        return false;
    }
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view kv = query.substr(0, amp);
        query = amp == std::string_view::npos ? "" : query.substr(amp + 1);
        if (kv.empty()) continue;
        size_t eq = kv.find('=');
        std::string k, v;
        if (!decode(kv.substr(0, eq), "parameter", &k, err)) return false;
        if (eq != std::string_view::npos && !decode(kv.substr(eq + 1), "parameter", &v, err))
            return false;
        if (k.empty()) {
            *err = "empty parameter name in database url";
            return false;
        }
        out->params.emplace_back(std::move(k), std::move(v));
    }
    return true;
}

}  // namespace

bool parsedburl(std::string_view text, dburl* out, std::string* err) {
    *out = dburl();
    size_t p = text.find("://");
    if (p == std::string_view::npos || p == 0) {
        *err = "no scheme in database url";
        return false;
    }
    out->scheme = lower(text.substr(0, p));
    if (out->scheme == "postgres") out->scheme = "postgresql";
    std::string_view rest = text.substr(p + 3);
    if (out->scheme == "sqlite") return parsesqlite(rest, out, err);
    if (out->scheme == "postgresql") return parsepg(rest, out, err);
    *err = "unsupported database scheme " + out->scheme;
    return false;
}

std::string hidepassword(std::string_view text) {
    size_t p = text.find("://");
    if (p == std::string_view::npos) return std::string(text);
    size_t start = p + 3;
    size_t end = text.find_first_of("/?", start);
    if (end == std::string_view::npos) end = text.size();
    size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) return std::string(text);
    size_t colon = text.substr(start, at).find(':');
    if (colon == std::string_view::npos) return std::string(text);
    return std::string(text.substr(0, start + colon + 1)) + "***" +
           std::string(text.substr(start + at));
}

}  // namespace oxa
