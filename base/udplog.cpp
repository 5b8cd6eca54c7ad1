#include "base/udplog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/string_.h"
#include "base/url.h"

namespace zo {

namespace {

constexpr char wloghead[] = "{\"order\":\"wlog\",\"level\":%d,\"cabin\":\"%s\"}\n";
constexpr char appendhead[] = "{\"order\":\"append\",\"level\":%d,\"cabin\":\"%s\"}\n";
constexpr char taggedhead[] = "{\"order\":\"wlog\",\"level\":%d,\"cabin\":\"%s\"}\n[%s]";

constexpr int sndbuf = 524288;
constexpr size_t maxtoken = 16;  // a query token this long makes the query ignored

// The first two tokens of a query split at '=' and '&', trimmed of blanks and
// line breaks, empty ones skipped.  False when the query has fewer than two
// tokens or one of them is too long.
bool firstpair(std::string_view q, char* key, char* val) {
    char* out[2] = {key, val};
    int got = 0;
    size_t i = 0;
    while (got < 2 && i < q.size()) {
        size_t start = i;
        while (i < q.size() && q[i] != '=' && q[i] != '&') ++i;
        size_t len = 0;
        char tok[maxtoken];
        for (size_t j = start; j < i; ++j) {
            char c = q[j];
            if (c == '\r' || c == '\n') continue;
            if (len == 0 && (c == ' ' || c == '\t')) continue;
            if (len >= maxtoken - 1) return false;
            tok[len++] = c;
        }
        while (len > 0 && (tok[len - 1] == ' ' || tok[len - 1] == '\t')) --len;
        if (i < q.size()) ++i;  // past the delimiter
        if (len == 0) continue;
        std::memcpy(out[got], tok, len);
        out[got][len] = 0;
        ++got;
    }
    return got == 2;
}

// Sets dest (and len) to the address text h with the port; an IPv6 address
// when h holds a ':'.  Leaves both alone when h is not an address.
bool makedest(const char* h, uint16_t port, sockaddr_storage& dest, socklen_t& len) {
    sockaddr_storage ss;
    std::memset(&ss, 0, sizeof ss);
    socklen_t n;
    if (std::strchr(h, ':')) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
        if (::inet_pton(AF_INET6, h, &a6->sin6_addr) != 1) return false;
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        n = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
        if (::inet_pton(AF_INET, h, &a4->sin_addr) != 1) return false;
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        n = sizeof *a4;
    }
    dest = ss;
    len = n;
    return true;
}

// One line on standard error: the text without the line breaks some log
// texts start or end with, then one line feed.
void toerror(const char* text, size_t n) {
    while (n > 0 && (*text == '\n' || *text == '\r')) {
        ++text;
        --n;
    }
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
    char line[512];
    if (n > sizeof line - 1) n = sizeof line - 1;
    std::memcpy(line, text, n);
    line[n] = '\n';
    ssize_t w = ::write(2, line, n + 1);
    (void)w;
}

}  // namespace

udplog::~udplog() {
    shutdown();
}

uint16_t udplog::destport() const {
    if (destlen_ == sizeof(sockaddr_in6)) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&dest_)->sin6_port);
    }
    if (destlen_ == sizeof(sockaddr_in)) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&dest_)->sin_port);
    }
    return 0;
}

void udplog::shutdown() {
    if (sock_ >= 0) {
        ::shutdown(sock_, SHUT_RDWR);
        ::close(sock_);
        sock_ = -1;
    }
}

int udplog::open(const char* urltext) {
    if (!urltext || !*urltext) return -1;
    zo::string text;
    for (const char* p = urltext; *p; ++p) {
        if (*p != ' ' && *p != '\t' && !text.append(*p)) return -1;
    }
    zo::url u;
    if (!u.parse(text.data(), text.size()) || u.path.empty()) return -1;
    uint16_t port = u.port ? u.port : 999;

    cabinlen_ = 0;
    cabin_[0] = 0;
    if (u.path.size() < sizeof cabin_ - 1) {
        std::memcpy(cabin_, u.path.data(), u.path.size());
        cabinlen_ = u.path.size();
        cabin_[cabinlen_] = 0;
    }

    if (!u.query.empty()) {
        char key[maxtoken], val[maxtoken];
        if (firstpair(u.query.view(), key, val) && strcasecmp(key, "level") == 0) {
            setlevel(levelfromword(val));
        }
    }

    shutdown();

    zo::string& host = u.ipv4.empty() ? u.ipv6 : u.ipv4;
    const char* h = host.empty() ? "0.0.0.0" : host.c_str();
    makedest(h, port, dest_, destlen_);

    int family = destlen_ ? dest_.ss_family : AF_UNSPEC;
    int s = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    sock_ = s;
    return 0;
}

int udplog::send(const char* head, int level, const char* tag, const char* fmt, va_list ap) {
    const bool toerr = level <= echo_.load(std::memory_order_relaxed);
    if (!toerr && sock_ < 0) return -1;
    if (!toerr && level > getlevel()) return 0;
    char buf[maxdatagram];
    int hn = tag ? std::snprintf(buf, sizeof buf, head, level, cabin_, tag)
                 : std::snprintf(buf, sizeof buf, head, level, cabin_);
    if (hn < 0 || hn >= maxdatagram) return -1;
    int tn = std::vsnprintf(buf + hn, sizeof buf - static_cast<size_t>(hn), fmt, ap);
    if (tn < 0 || tn >= maxdatagram - hn) return -1;
    if (toerr) toerror(buf + hn, static_cast<size_t>(tn));
    if (sock_ < 0) return -1;
    if (level > getlevel()) return 0;
    ssize_t r = ::sendto(sock_, buf, static_cast<size_t>(hn + tn), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&dest_), destlen_);
    return r < 0 ? -1 : static_cast<int>(r);
}

int udplog::wlog(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = send(wloghead, level, nullptr, fmt, ap);
    va_end(ap);
    return r;
}

int udplog::append(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = send(appendhead, level, nullptr, fmt, ap);
    va_end(ap);
    return r;
}

int udplog::vwlog(int level, const char* tag, const char* fmt, va_list ap) {
    if (tag && *tag) return send(taggedhead, level, tag, fmt, ap);
    return send(wloghead, level, nullptr, fmt, ap);
}

}  // namespace zo
