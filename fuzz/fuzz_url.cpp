// Fuzz target: the endpoint URL parser, without name resolution (which is
// the resolver's work, and would send the fuzzer's host names to DNS).  Any
// text splits or fails cleanly; and a URL put together from parts free of
// their delimiters splits back into the same parts.
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/url.h"
#include "fuzz/fuzzmain.h"

namespace {

// The next part of the input up to a 0xFF byte, without the bytes in ban.
std::string part(std::string_view& in, std::string_view ban) {
    size_t end = in.find('\xFF');
    std::string_view p = in.substr(0, end);
    in.remove_prefix(end == std::string_view::npos ? in.size() : end + 1);
    std::string out;
    for (char c : p)
        if (ban.find(c) == std::string_view::npos) out += c;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    zo::url u;
    const zo::string& host = u.host;
    if (u.split(text, size)) {
        if (host.empty() || u.hostport.empty() || !u.ipv4.empty() || !u.ipv6.empty()) std::abort();
        if (u.path.size() + u.query.size() + u.scheme.size() + host.size() > size) std::abort();
    }

    std::string_view in(text, size);
    std::string scheme = part(in, ":/?[]\n\xFF");
    std::string h = part(in, ":/?[]\n\xFF");
    std::string path = part(in, "?\n\xFF");
    std::string query = part(in, "\n\xFF");
    if (scheme.empty() || h.empty()) return 0;
    unsigned port = size % 65536;
    std::string whole = scheme + "://" + h + ":" + std::to_string(port) + "/" + path;
    if (!query.empty()) whole += "?" + query;
    if (!u.split(whole.data(), whole.size())) std::abort();
    if (u.scheme.view() != scheme || host.view() != h || u.port != port || u.path.view() != path ||
        u.query.view() != query || u.hostport.view() != h + ":" + std::to_string(port))
        std::abort();
    return 0;
}
