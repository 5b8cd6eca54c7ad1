#include "tools/iosim/simserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "base/env.h"

using namespace zo;

namespace iosim {

namespace {

// Queued bytes above which no more values are generated until the peer has
// read: keeps memory bounded when Quorvane reads slower than --rate.
constexpr uint32_t outhigh = 4u << 20;
// With --rate 0 the queue is topped up to this much per pass.
constexpr uint32_t outfast = 1u << 20;
// A small batch stays a raw body, a large one goes over 512 bytes (LZ4).
constexpr uint32_t smallbatch = 8;
constexpr uint32_t largebatch = 40;
constexpr uint32_t fastbatch = 200;
// A partial batch waits at most this long.
constexpr int64_t batchage = 500;
constexpr uint32_t soebatch = 8;
// How long a peer may stay connected after the exit order.
constexpr int64_t exitgrace = 30000;

// Splits "ipc://HOST:PORT" (HOST may be [v6]) into host and port.
bool splitlisten(const char* url, zo::string* host, uint16_t* port) {
    if (std::strncmp(url, "ipc://", 6) != 0) return false;
    const char* h = url + 6;
    const char* colon;
    if (*h == '[') {
        const char* close = std::strchr(h, ']');
        if (!close || close[1] != ':') return false;
        host->assign(h + 1, static_cast<uint32_t>(close - h - 1));
        colon = close + 1;
    } else {
        colon = std::strrchr(h, ':');
        if (!colon) return false;
        host->assign(h, static_cast<uint32_t>(colon - h));
    }
    if (host->empty()) return false;
    const char* p = colon + 1;
    if (*p == 0) return false;
    unsigned long v = 0;
    for (; *p; ++p) {
        if (*p == '/') break;
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > 65535) return false;
    }
    *port = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

simserver::simserver(const simopts& o, FILE* out)
    : o_(o), out_(out), gen_(o.tags, o.types), lasttime_(gen_.tags(), INT64_MIN) {
    tty_ = out_ && isatty(fileno(out_));
}

simserver::~simserver() {
    if (cfd_ >= 0) ::close(cfd_);
    if (lfd_ >= 0) ::close(lfd_);
}

void simserver::say(const char* fmt, ...) {
    if (!out_) return;
    zo::string line;
    if (tty_) {
        // Local wall time helps reading along in a terminal; pipes get the
        // bare lines, which are easier to parse.
        int64_t ms = zo::nowms();
        time_t s = static_cast<time_t>(ms / 1000);
        struct tm tmv;
        localtime_r(&s, &tmv);
        line.appendf("%02d:%02d:%02d.%03d ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                     static_cast<int>(ms % 1000));
    }
    line.append("iosim: ");
    va_list ap;
    va_start(ap, fmt);
    line.vappendf(fmt, ap);
    va_end(ap);
    line.append('\n');
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
}

uint32_t simserver::nextseq() {
    if (++seqno_ >= 0x7FFFFFFFu) seqno_ = 1;
    return seqno_;
}

int simserver::open(zo::string* err) {
    err->clear();
    zo::string host;
    uint16_t port = 0;
    zo::string url(o_.listen);
    if (!splitlisten(url.c_str(), &host, &port)) {
        err->appendf("bad listen address \"%s\" (expected ipc://HOST:PORT)", url.c_str());
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    char portbuf[8];
    std::snprintf(portbuf, sizeof portbuf, "%u", port);
    addrinfo* res = nullptr;
    int gai = getaddrinfo(host.c_str(), portbuf, &hints, &res);
    if (gai != 0 || !res) {
        err->appendf("cannot resolve \"%s\": %s", host.c_str(), gai_strerror(gai));
        return -1;
    }
    int fd = -1;
    int lasterr = 0;
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lasterr = errno;
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 4) == 0) break;
        lasterr = errno;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        err->appendf("cannot listen on %s: %s", url.c_str(), std::strerror(lasterr));
        return -1;
    }
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0) {
        if (ss.ss_family == AF_INET)
            port_ = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
        else if (ss.ss_family == AF_INET6)
            port_ = ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    }
    lfd_ = fd;
    startms_ = zo::nowms();
    bool v6 = std::strchr(host.c_str(), ':') != nullptr;
    say("listening on ipc://%s%s%s:%u (tags=%u rate=%g soe-rate=%g ctrl-tags=%u)", v6 ? "[" : "",
        host.c_str(), v6 ? "]" : "", port_, o_.tags, o_.rate, o_.soerate, o_.ctrltags);
    return 0;
}

void simserver::acceptone() {
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    int fd = ::accept4(lfd_, reinterpret_cast<sockaddr*>(&ss), &sl, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            say("accept failed: %s", std::strerror(errno));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char addr[INET6_ADDRSTRLEN] = "?";
    unsigned peerport = 0;
    if (ss.ss_family == AF_INET) {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &s4->sin_addr, addr, sizeof addr);
        peerport = ntohs(s4->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &s6->sin6_addr, addr, sizeof addr);
        peerport = ntohs(s6->sin6_port);
    }
    cfd_ = fd;
    split_.reset();
    outbuf_.release();
    outpos_ = 0;
    loggedin_ = false;
    loginms_ = 0;
    ++st_.connections;
    say("connection %llu from %s port %u", static_cast<unsigned long long>(st_.connections), addr,
        peerport);
}

void simserver::closeconn(const char* why) {
    if (cfd_ < 0) return;
    ::close(cfd_);
    cfd_ = -1;
    split_.reset();
    outbuf_.release();
    outpos_ = 0;
    bool was = loggedin_;
    loggedin_ = false;
    if (was)
        say("connection closed: %s (values sent since login %llu)", why,
            static_cast<unsigned long long>(st_.values - valbase_));
    else
        say("connection closed: %s", why);
    // After the exit order the peer is expected to go: that ends the run.
    if (exitsent_) over_ = true;
}

bool simserver::flushout() {
    while (cfd_ >= 0 && outpos_ < outbuf_.size()) {
        ssize_t n = ::send(cfd_, outbuf_.data() + outpos_, outbuf_.size() - outpos_, MSG_NOSIGNAL);
        if (n > 0) {
            outpos_ += static_cast<uint32_t>(n);
            st_.bytesout += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        closeconn(n < 0 ? std::strerror(errno) : "send returned 0");
        return false;
    }
    if (outpos_ && outpos_ == outbuf_.size()) {
        outbuf_.clear();
        outpos_ = 0;
    } else if (outpos_ > (1u << 20)) {
        // Drop what has left so the buffer does not creep forward forever.
        outbuf_.assign(outbuf_.data() + outpos_, outbuf_.size() - outpos_);
        outpos_ = 0;
    }
    return true;
}

bool simserver::queuepkg(const zo::string& pkg, bool lz4) {
    if (!outbuf_.append(pkg.data(), pkg.size())) {
        say("no memory to queue a package of %u bytes", pkg.size());
        return false;
    }
    if (lz4)
        ++st_.lz4pkgs;
    else
        ++st_.rawpkgs;
    return true;
}

bool simserver::readsome() {
    char buf[65536];
    // A bounded number of reads per pass keeps sending going under a flood.
    for (int i = 0; i < 16 && cfd_ >= 0; ++i) {
        ssize_t n = ::recv(cfd_, buf, sizeof buf, 0);
        if (n == 0) {
            closeconn("closed by peer");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno == EINTR) continue;
            closeconn(std::strerror(errno));
            return false;
        }
        st_.bytesin += static_cast<uint64_t>(n);
        int r = pkgpb3::splitpkg(split_, buf, static_cast<uint32_t>(n), pkg_);
        while (r == 1) {
            zo::string one;
            one.swap(pkg_);
            onpackage(one);
            if (cfd_ < 0) return false;
            r = pkgpb3::splitpkg(split_, nullptr, 0, pkg_);
        }
        if (r < 0) {
            ++st_.bad;
            zo::string why;
            why.appendf("stream out of step (%s)", split_.lasterr);
            closeconn(why.c_str());
            return false;
        }
    }
    return true;
}

void simserver::onpackage(const zo::string& pkg) {
    pb3head head;
    zo::string err;
    if (!readhead(pkg, &head, &err)) {
        ++st_.bad;
        say("%s; package skipped", err.c_str());
        return;
    }
    switch (head.funid) {
        case fn_login:
            onlogin(head, pkg);
            break;
        case fn_runinfo: {
            runinfoarray b(runinfo::itemfield);
            if (!pkgpb3::parsebody(pkg, head, b)) {
                ++st_.bad;
                say("run information (seqno %u) does not decode: %s", head.seqno, b.errmsg());
                break;
            }
            ++st_.runinfo;
            if (o_.quiet) break;
            for (const runinfo& r : b.items) {
                zo::string line;
                formatruninfo(r, &line);
                say("%s", line.c_str());
            }
            break;
        }
        case fn_dbctrlout: {
            tagvalarray b(tagval::itemfield);
            if (!pkgpb3::parsebody(pkg, head, b)) {
                ++st_.bad;
                say("control values (seqno %u) do not decode: %s", head.seqno, b.errmsg());
                break;
            }
            ++st_.ctrlpkgs;
            st_.ctrlvalues += b.items.size();
            if (o_.quiet) break;
            for (const tagval& t : b.items) {
                zo::string line;
                formatctrl(t, &line);
                say("%s", line.c_str());
            }
            break;
        }
        case fn_regwtagget:
            ++st_.reggets;
            say("write tags requested (3211)%s", o_.ctrltags ? "; registering them again" : "");
            if (loggedin_ && o_.ctrltags) sendregs();
            break;
        default:
            ++st_.unknown;
            say("package funid %u (seqno %u) ignored", head.funid, head.seqno);
            break;
    }
}

void simserver::onlogin(const pb3head& head, const zo::string& pkg) {
    loginbody b;
    if (!pkgpb3::parsebody(pkg, head, b)) {
        ++st_.bad;
        say("login (seqno %u) does not decode: %s", head.seqno, b.errmsg());
        return;
    }
    zo::string name(b.f121);
    zo::string reply, err;
    bool refuse = o_.refuselogin;
    // Field 95 of the reply comes back in every run-information report; the
    // connection number makes a reconnect visible there.
    uint32_t loginval = static_cast<uint32_t>(st_.connections);
    if (!makeloginreply(nextseq(), refuse, loginval, &reply, &err)) {
        say("%s", err.c_str());
        failed_ = 1;
        return;
    }
    queuepkg(reply, false);
    if (refuse) {
        ++st_.refused;
        say("login from \"%s\" refused", name.c_str());
        return;
    }
    ++st_.logins;
    loggedin_ = true;
    loginms_ = zo::nowms();
    lastflushms_ = loginms_;
    valbase_ = st_.values;
    soebase_ = st_.soe;
    say("login from \"%s\" accepted (fields 125=%u 133=%u), loginval %u", name.c_str(), b.f125,
        b.f133, loginval);
    if (o_.ctrltags) sendregs();
}

void simserver::sendregs() {
    zo::string pkg, err;
    bool lz4 = false;
    if (!makeregs(nextseq(), o_.ctrltags, &pkg, &lz4, &err)) {
        say("%s", err.c_str());
        return;
    }
    if (queuepkg(pkg, lz4)) {
        ++st_.regpkgs;
        say("registered %u control tags iosim.c0001..", o_.ctrltags);
    }
}

void simserver::sendexit() {
    zo::string pkg, err;
    if (!makeexitorder(nextseq(), &pkg, &err)) {
        say("%s", err.c_str());
        failed_ = 1;
        over_ = true;
        return;
    }
    if (queuepkg(pkg, false)) {
        ++st_.exitorders;
        exitsent_ = true;
        exitms_ = zo::nowms();
        say("exit order sent (values sent since login %llu)",
            static_cast<unsigned long long>(st_.values - valbase_));
    }
}

template <class array, class filler>
uint32_t simserver::sendbatch(uint32_t funid, array& a, uint32_t cap, filler fill) {
    a.items.clear();
    if (!a.items.reserve(cap)) return 0;
    for (uint32_t i = 0; i < cap; ++i) {
        auto* item = a.items.emplace();
        if (!item) break;
        fill(i, item);
    }
    bool lz4 = false;
    zo::string err;
    if (!buildpkg(funid, nextseq(), a, &pkg_, &lz4, &err)) {
        say("%s", err.c_str());
        return 0;
    }
    if (!queuepkg(pkg_, lz4)) return 0;
    return static_cast<uint32_t>(a.items.size());
}

void simserver::senddue(int64_t now) {
    if (o_.exitafter >= 0 && !exitsent_ &&
        now - loginms_ >= static_cast<int64_t>(std::llround(o_.exitafter * 1000))) {
        sendexit();
        return;
    }
    if (exitsent_) return;
    // How many items a rate (per second) has made due since the login.
    double sincelogin = static_cast<double>(now - loginms_ > 0 ? now - loginms_ : 0);
    auto due = [&](double rate, uint64_t base) {
        return base + static_cast<uint64_t>(std::floor(rate * sincelogin / 1000.0));
    };

    // Tag values.
    uint64_t target = o_.rate > 0 ? due(o_.rate, valbase_) : UINT64_MAX;
    if (o_.count && target > o_.count) target = o_.count;
    tagvalarray arr(tagval::itemfield);
    simval sv;
    for (;;) {
        uint32_t queued = outbuf_.size() - outpos_;
        if (st_.values >= target) break;
        if (queued >= (o_.rate > 0 ? outhigh : outfast)) break;
        uint64_t pending = target - st_.values;
        uint32_t cap = (batchno_ % 2 == 0) ? smallbatch : (o_.rate > 0 ? largebatch : fastbatch);
        if (pending < cap) {
            // A partial batch leaves only when it has waited long enough.
            if (o_.rate > 0 && now - lastflushms_ < batchage) break;
            cap = static_cast<uint32_t>(pending);
        }
        uint32_t n = sendbatch(fn_values, arr, cap, [&](uint32_t i, tagval* t) {
            const uint64_t n = st_.values + i;
            gen_.value(n, now, &sv);
            // More than one value of a tag in a millisecond: the later ones
            // take the next free milliseconds.
            int64_t& last = lasttime_[n % gen_.tags()];
            if (sv.time <= last) sv.time = last + 1;
            last = sv.time;
            filltagval(sv, t);
        });
        if (n == 0) break;
        st_.values += n;
        ++st_.valpkgs;
        ++batchno_;
        lastflushms_ = now;
    }

    // SOE records.
    if (o_.soerate > 0) {
        uint64_t soetarget = due(o_.soerate, soebase_);
        soearray sa(soerec::itemfield);
        simsoe ss;
        while (st_.soe < soetarget && outbuf_.size() - outpos_ < outhigh) {
            uint64_t pending = soetarget - st_.soe;
            uint32_t cap = pending < soebatch ? static_cast<uint32_t>(pending) : soebatch;
            uint32_t n = sendbatch(fn_soe, sa, cap, [&](uint32_t i, soerec* r) {
                gen_.soe(st_.soe + i, now, &ss);
                fillsoe(ss, r);
            });
            if (n == 0) break;
            st_.soe += n;
            ++st_.soepkgs;
        }
    }
}

void simserver::finish() {
    if (over_ && lfd_ < 0) return;
    over_ = true;
    if (cfd_ >= 0) {
        // Give queued packages (the exit order among them) a short chance to
        // leave before the socket closes.
        for (int i = 0; i < 20 && cfd_ >= 0 && outpos_ < outbuf_.size(); ++i) {
            pollfd p{cfd_, POLLOUT, 0};
            if (::poll(&p, 1, 100) > 0) flushout();
        }
        if (cfd_ >= 0) {
            ::shutdown(cfd_, SHUT_RDWR);
            closeconn("iosim ends");
        }
    }
    if (lfd_ >= 0) {
        ::close(lfd_);
        lfd_ = -1;
    }
}

bool simserver::pass(int waitms) {
    if (over_) {
        finish();
        return false;
    }
    if (lfd_ < 0) return false;
    if (stop_.load(std::memory_order_relaxed)) {
        say("stopping");
        finish();
        return false;
    }
    int64_t now = zo::nowms();
    if (o_.duration > 0 &&
        now - startms_ >= static_cast<int64_t>(std::llround(o_.duration * 1000))) {
        say("duration of %g s reached", o_.duration);
        finish();
        return false;
    }
    if (exitsent_ && cfd_ >= 0 && now - exitms_ >= exitgrace) {
        say("peer still connected %d s after the exit order", static_cast<int>(exitgrace / 1000));
        finish();
        return false;
    }

    pollfd p{};
    if (cfd_ >= 0) {
        p.fd = cfd_;
        p.events = POLLIN;
        if (outpos_ < outbuf_.size()) p.events |= POLLOUT;
        // As fast as possible: do not sleep while there is room to fill.
        if (loggedin_ && !exitsent_ && o_.rate == 0 && (!o_.count || st_.values < o_.count) &&
            outbuf_.size() - outpos_ < outfast)
            waitms = 0;
    } else {
        p.fd = lfd_;
        p.events = POLLIN;
    }
    int r = ::poll(&p, 1, waitms);
    if (r < 0 && errno != EINTR) {
        say("poll failed: %s", std::strerror(errno));
        failed_ = 1;
        finish();
        return false;
    }
    if (r > 0) {
        if (cfd_ < 0) {
            acceptone();
        } else {
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) readsome();
            if (cfd_ >= 0 && (p.revents & POLLOUT)) flushout();
        }
    }
    if (cfd_ >= 0 && loggedin_) senddue(zo::nowms());
    if (cfd_ >= 0) flushout();
    if (over_) {
        finish();
        return false;
    }
    return true;
}

int simserver::run() {
    while (pass(20)) {
    }
    return failed_ ? 1 : 0;
}

void simserver::summary(zo::string* out) const {
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    out->appendf(
        "iosim: sent values=%llu soe=%llu valpkgs=%llu soepkgs=%llu raw=%llu lz4=%llu regs=%llu "
        "exits=%llu bytesout=%llu; received connections=%llu logins=%llu refused=%llu "
        "runinfo=%llu ctrlpkgs=%llu ctrlvalues=%llu reggets=%llu unknown=%llu bad=%llu "
        "bytesin=%llu",
        u(st_.values), u(st_.soe), u(st_.valpkgs), u(st_.soepkgs), u(st_.rawpkgs), u(st_.lz4pkgs),
        u(st_.regpkgs), u(st_.exitorders), u(st_.bytesout), u(st_.connections), u(st_.logins),
        u(st_.refused), u(st_.runinfo), u(st_.ctrlpkgs), u(st_.ctrlvalues), u(st_.reggets),
        u(st_.unknown), u(st_.bad), u(st_.bytesin));
}

}  // namespace iosim
