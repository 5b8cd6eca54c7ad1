#include "base/url.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "base/decint.h"

namespace zo {

namespace {

// The port text read like atoi and cut to 16 bits: "70000" is 4464.
uint16_t porttext(const zo::string& s) {
    return static_cast<uint16_t>(static_cast<uint32_t>(decint(s.data(), s.size())));
}

}  // namespace

bool url::readuntil(size_t& pos, char delim, const char* text, size_t length, zo::string& out) {
    size_t start = pos;
    while (pos < length && text[pos] != delim) ++pos;
    out.append(text + start, static_cast<uint32_t>(pos - start));
    if (pos < length) {
        ++pos;
        return true;
    }
    return false;
}

int url::resolve(const char* host, zo::string& ipv4, zo::string& ipv6) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    struct addrinfo* res = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &res) != 0) return -1;
    bool stored = false;
    for (struct addrinfo* a = res; a; a = a->ai_next) {
        char buf[40];
        if (a->ai_family == AF_INET && ipv4.empty()) {
            auto* sa = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            if (::inet_ntop(AF_INET, &sa->sin_addr, buf, sizeof buf)) {
                ipv4.append(buf);
                stored = true;
            }
        } else if (a->ai_family == AF_INET6 && ipv6.empty()) {
            auto* sa = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            if (::inet_ntop(AF_INET6, &sa->sin6_addr, buf, sizeof buf)) {
                ipv6.append(buf);
                stored = true;
            }
        }
    }
    ::freeaddrinfo(res);
    return stored ? 0 : -1;
}

bool url::parse(const char* text) {
    return parse(text, text ? std::strlen(text) : 0);
}

bool url::parse(const char* text, size_t length) {
    if (!split(text, length)) return false;
    if (resolve(host.c_str(), ipv4, ipv6) != 0) {
        unresolved = true;
        return false;
    }
    return true;
}

bool url::split(const char* text, size_t length) {
    port = 0;
    scheme.clear();
    ipv4.clear();
    ipv6.clear();
    path.clear();
    query.clear();
    hostport.clear();
    host.clear();
    unresolved = false;
    if (!text) return false;

    size_t pos = 0;
    readuntil(pos, ':', text, length, scheme);
    if (!scheme.empty() && pos < length && length - pos >= 3 && text[pos] == '/' &&
        text[pos + 1] == '/') {
        pos += 2;
    } else {
        scheme.clear();
        pos = 0;
    }

    if (pos >= length || text[pos] != '[') {
        size_t start = pos;
        if (!readuntil(pos, '/', text, length, hostport)) {
            pos = start;
            hostport.clear();
            if (readuntil(pos, '?', text, length, hostport)) --pos;
        }
        if (hostport.empty()) return false;
        std::string_view hp = hostport.view();
        size_t colon = hp.find(':');
        host = hp.substr(0, colon);
        zo::string ptext;
        if (colon != std::string_view::npos) ptext = hp.substr(colon + 1);
        if (host.empty()) return false;
        if (!ptext.empty()) port = porttext(ptext);
    } else {
        ++pos;
        readuntil(pos, ']', text, length, host);
        if (host.empty()) return false;
        hostport.append('[');
        hostport.append(host.view());
        hostport.append(']');
        if (pos < length && text[pos] == ':') {
            ++pos;
            size_t start = pos;
            zo::string ptext;
            if (!readuntil(pos, '/', text, length, ptext)) {
                pos = start;
                ptext.clear();
                if (readuntil(pos, '?', text, length, ptext)) --pos;
            }
            if (ptext.empty()) return false;
            port = porttext(ptext);
            hostport.append(':');
            hostport.append(ptext.view());
        } else if (pos < length && text[pos] == '/') {
            ++pos;
        }
    }

    readuntil(pos, '?', text, length, path);
    readuntil(pos, '\n', text, length, query);
    return true;
}

}  // namespace zo
