#include "tools/gaprx/receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/url.h"

namespace {

// What we ask of the kernel for datagrams waiting to be read: bursts at
// 100,000 values/s and a database that pauses for a checkpoint must fit.
constexpr int rcvbuf = 8 << 20;
// Datagrams read in one go before the poll loop looks at its pipe again.
constexpr int burst = 256;
// How often the loop looks for requests to send again while any wait for
// an answer (milliseconds).
constexpr int busywake = 50;

}  // namespace

receiver::receiver(const gaprx::options& o, zo::ilog* log, const std::atomic<bool>* stop)
    : opts_(o),
      log_(log),
      stop_(stop),
      buf_(new uint8_t[maxdatagram]),
      reader_(new gapreader(o.user, o.pswd)),
      msg_(new gapmsg),
      db_(log, [this] { return keepwaiting(); }) {}

receiver::~receiver() {
    if (sock_ >= 0) ::close(sock_);
}

bool receiver::keepwaiting() {
    if (!stop_ || !stop_->load(std::memory_order_acquire)) return true;
    auto now = std::chrono::steady_clock::now();
    uint64_t answered = db_.answered();
    if (!givingup_) {
        ZO_LOG(
            log_, zo::LOG_WRN,
            "stopping while the database cannot take more; waiting while it answers (at "
            "most %d s without an answer)",
            static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(exitwait).count()));
    }
    if (!givingup_ || answered != lastanswered_) {
        // A slow database that still answers is waited for.
        givingup_ = true;
        lastanswered_ = answered;
        giveup_ = now + exitwait;
    }
    return now < giveup_;
}

int receiver::bind(std::string* err) {
    zo::url u;
    if (!u.parse(opts_.url.c_str()) || u.scheme.size() != 6 ||
        strncasecmp(u.scheme.data(), "gapudp", 6) != 0 || u.port == 0) {
        *err = "the receive address must be gapudp://HOST:PORT with a host that resolves, not \"" +
               opts_.url + "\"";
        return 2;
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    std::string host;
    if (!u.ipv4.empty()) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(u.port);
        inet_pton(AF_INET, u.ipv4.c_str(), &a->sin_addr);
        len = sizeof *a;
        host = u.ipv4.c_str();
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(u.port);
        inet_pton(AF_INET6, u.ipv6.c_str(), &a->sin6_addr);
        len = sizeof *a;
        host = u.ipv6.c_str();
    }
    int s = ::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        *err =
            "cannot bind " + host + " port " + std::to_string(u.port) + ": " + std::strerror(errno);
        if (s >= 0) ::close(s);
        return 1;
    }
    // The forced size passes the system's ceiling when we may; else the
    // ceiling applies.
    int want = rcvbuf;
    if (::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0) {
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    }
    int got = 0;
    socklen_t gl = sizeof got;
    ::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &gl);
    int on = 1;
    bool ovfl = ::setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    sock_ = s;
    port_ = u.port;
    ZO_LOG(log_, zo::LOG_INF, "listening on %s port %u, kernel receive buffer %d bytes%s",
           host.c_str(), static_cast<unsigned>(u.port), got,
           ovfl ? "" : " (kernel drops are not reported on this system)");
    return 0;
}

int receiver::open(std::string* err, bool bindsocket) {
    if (bindsocket) {
        int r = bind(err);
        if (r != 0) return r;
    }
    if (!db_.open(opts_.dburl, opts_.user, opts_.pswd, err)) return 1;
    ZO_LOG(log_, zo::LOG_INF, "writing to %s", opts_.dburl.c_str());
    return 0;
}

gapverdict receiver::take(const uint8_t* d, size_t n, const char* from) {
    ++datagrams_;
    gapmsg& m = *msg_;
    gapverdict v = n > maxdatagram ? GAP_BODYLEN : reader_->read(d, n, &m);
    if (v == GAP_ACCEPT) {
        switch (auth_.take(m.authcount, m.dgramseq, m.bodycrc)) {
            case authwindow::RESTART:
                ZO_LOG(log_, zo::LOG_WRN,
                       "the sender%s%s started again: dgramseq %u, authcount %u (the last life "
                       "reached dgramseq %u)",
                       from ? " " : "", from ? from : "", m.dgramseq, m.authcount, seq_.highest());
                ++restarts_;
                seq_.restart(m.dgramseq);
                break;
            case authwindow::REPLAY:
                seq_.take(m.dgramseq);
                v = GAP_REPLAY;
                break;
            default:
                seq_.take(m.dgramseq);
                break;
        }
    }
    if (v != GAP_ACCEPT) {
        if (refused_[v]++ == 0) {
            ZO_LOG(log_, zo::LOG_WRN,
                   "refused a datagram of %zu bytes%s%s: %s (further ones are "
                   "only counted)",
                   n, from ? " from " : "", from ? from : "", verdictname(v));
        }
        return v;
    }
    ++accepted_;
    write(m);
    return v;
}

void receiver::write(const gapmsg& m) {
    for (uint32_t i = 0; i < m.nvals; ++i) db_.addval(m.vals[i]);
    for (uint32_t i = 0; i < m.nobjs; ++i) db_.addobj(m.objs[i]);
    values_ += m.nvals + m.nobjs;
    if (m.nsoes) {
        db_.putsoes(m.soes, m.nsoes);
        soes_ += m.nsoes;
    }
}

void receiver::receiveall() {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    for (int i = 0; i < burst; ++i) {
        sockaddr_storage from{};
        iovec iov{buf_.get(), maxdatagram};
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = sizeof from;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(sock_, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // nothing more (or an error queued on the socket, now cleared)
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&kerneldrops_, CMSG_DATA(c), sizeof kerneldrops_);
            }
        }
        char addr[INET6_ADDRSTRLEN + 8] = "";
        if (from.ss_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&from)->sin_addr, addr, sizeof addr);
        } else if (from.ss_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, addr,
                      sizeof addr);
        }
        // A datagram longer than the buffer arrives cut: it is no datagram
        // of ours, whatever its first bytes say.
        size_t len = (mh.msg_flags & MSG_TRUNC) ? maxdatagram + 1 : static_cast<size_t>(n);
        take(buf_.get(), len, addr);
        if (stop_ && stop_->load(std::memory_order_acquire)) break;
    }
}

void receiver::run(int ctlfd, FILE* statsout) {
    using clock = std::chrono::steady_clock;
    auto interval = std::chrono::seconds(opts_.stats);
    auto nextstats = clock::now() + interval;
    while (!stop_ || !stop_->load(std::memory_order_acquire)) {
        int timeout = -1;
        if (opts_.stats > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextstats - clock::now());
            timeout = left.count() < 0 ? 0 : static_cast<int>(left.count());
        }
        // A request the database answers as not written goes again even
        // when no datagram comes.
        bool busy = db_.busy();
        if (busy && (timeout < 0 || timeout > busywake)) timeout = busywake;
        pollfd p[2] = {{sock_, POLLIN, 0}, {ctlfd, POLLIN, 0}};
        int r = ::poll(p, ctlfd >= 0 ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR) {
            ZO_LOG(log_, zo::LOG_ERR, "poll: %s", std::strerror(errno));
            break;
        }
        if (r > 0 && p[1].revents) {
            char c[16];
            ssize_t k = ::read(ctlfd, c, sizeof c);
            bool stop = false;
            for (ssize_t i = 0; i < k; ++i) {
                if (c[i] == 'u') std::fprintf(statsout, "%s\n", stats().c_str());
                if (c[i] == 's') stop = true;
            }
            std::fflush(statsout);
            if (stop) break;
        }
        if (r > 0 && p[0].revents) {
            receiveall();
            db_.flush();  // the socket is drained: what is gathered goes now
        } else if (busy) {
            db_.flush();
        }
        if (opts_.stats > 0 && clock::now() >= nextstats) {
            std::fprintf(statsout, "%s\n", stats().c_str());
            std::fflush(statsout);
            nextstats = clock::now() + interval;
        }
    }
}

void receiver::finish() {
    db_.flush();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(exitwait).count();
    if (!db_.drain(static_cast<int>(ms))) {
        ZO_LOG(log_, zo::LOG_ERR,
               "the database gave no answer for %d s; the values still waiting are counted "
               "as failed",
               static_cast<int>(ms / 1000));
    }
    db_.close();
}

std::string receiver::stats() const {
    char line[1024];
    std::snprintf(
        line, sizeof line,
        "stats datagrams=%llu accepted=%llu values=%llu soes=%llu written=%llu histdups=%llu "
        "failed=%llu resent=%llu soewritten=%llu soefailed=%llu lost=%llu dup=%llu "
        "reordered=%llu restarts=%llu",
        static_cast<unsigned long long>(datagrams_), static_cast<unsigned long long>(accepted_),
        static_cast<unsigned long long>(values_), static_cast<unsigned long long>(soes_),
        static_cast<unsigned long long>(db_.valswritten()),
        static_cast<unsigned long long>(db_.valsdup()),
        static_cast<unsigned long long>(db_.valsfailed()),
        static_cast<unsigned long long>(db_.valsresent()),
        static_cast<unsigned long long>(db_.soeswritten()),
        static_cast<unsigned long long>(db_.soesfailed()),
        static_cast<unsigned long long>(seq_.lost()), static_cast<unsigned long long>(seq_.dups()),
        static_cast<unsigned long long>(seq_.reordered()),
        static_cast<unsigned long long>(restarts_));
    std::string s = line;
    for (int v = GAP_SHORT; v < GAP_VERDICTS; ++v) {
        s += ' ';
        s += verdictname(v);
        s += '=';
        s += std::to_string(refused_[v]);
    }
    s += " kerneldrops=" + std::to_string(kerneldrops_);
    return s;
}
