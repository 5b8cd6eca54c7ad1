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

}  // namespace

bool parsedburl(std::string_view text, dburl* out, std::string* err) {
    *out = dburl();
    size_t p = text.find("://");
    if (p == std::string_view::npos || p == 0) {
        *err = "no scheme in database url";
        return false;
    }
    out->scheme = lower(text.substr(0, p));
    if (out->scheme != "sqlite") {
        *err = "unsupported database scheme " + out->scheme;
        return false;
    }
    std::string_view rest = text.substr(p + 3);
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
    std::string_view enc = rest.substr(slash);
    std::string path;
    for (size_t i = 0; i < enc.size(); ++i) {
        char c = enc[i];
        if (c == '%') {
            int h = i + 2 < enc.size() ? hexval(enc[i + 1]) : -1;
            int l = h >= 0 ? hexval(enc[i + 2]) : -1;
            if (l < 0) {
                *err = "bad percent escape in database path";
                return false;
            }
            c = static_cast<char>(h * 16 + l);
            i += 2;
        }
        if (c == 0) {
            *err = "zero byte in database path";
            return false;
        }
        path.push_back(c);
    }
    if (path.size() < 2 || path.back() == '/') {
        *err = "database path names no file";
        return false;
    }
    out->path = std::move(path);
    return true;
}

}  // namespace oxa
