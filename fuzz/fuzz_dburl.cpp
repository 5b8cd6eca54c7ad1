// Fuzz target: the client library's database URL.  An accepted URL names an
// absolute file path without zero bytes on localhost; and a path written
// with every byte percent-escaped reads back as itself.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzzmain.h"
#include "oxaapi/dburl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    oxa::dburl u;
    std::string err;
    if (oxa::parsedburl(text, &u, &err)) {
        if (u.scheme != "sqlite" || u.host != "localhost") std::abort();
        if (u.path.size() < 2 || u.path[0] != '/' || u.path.back() == '/') std::abort();
        if (u.path.find('\0') != std::string::npos) std::abort();
    } else if (err.empty()) {
        std::abort();
    }

    // The input as a path: "/" + the bytes, each escaped.
    std::string path = "/" + std::string(text);
    if (path.find('\0') != std::string::npos || path.back() == '/' || path.size() < 2) return 0;
    std::string url = "sqlite://localhost/";
    char esc[4];
    for (size_t i = 1; i < path.size(); ++i) {
        std::snprintf(esc, sizeof esc, "%%%02X", static_cast<uint8_t>(path[i]));
        url += esc;
    }
    if (!oxa::parsedburl(url, &u, &err) || u.path != path) std::abort();
    return 0;
}
