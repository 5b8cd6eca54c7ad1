// logview - prints the UDP log datagrams of Quorvane (and anything else that
// sends the same format) as readable lines.  See logview.h for the format.
//
// Exit codes: 0 after SIGINT/SIGTERM or when stdout goes away, 1 when the
// address cannot be bound, 2 for bad arguments.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/env.h"
#include "base/url.h"
#include "tools/cli/cliopts.h"
#include "tools/logview/logview.h"

namespace {

int stoppipe[2] = {-1, -1};

// Only the self-pipe is touched here: the main loop wakes up from poll and
// leaves in an orderly way.
void onsignal(int) {
    int e = errno;
    char c = 1;
    ssize_t r = ::write(stoppipe[1], &c, 1);
    (void)r;
    errno = e;
}

bool writeall(const std::string& s) {
    return std::fwrite(s.data(), 1, s.size(), stdout) == s.size();
}

}  // namespace

int main(int argc, char** argv) {
    logview::options o;
    std::string err;
    if (!logview::parseargs(argc, argv, &o, &err)) {
        return zo::cli::usageerror("logview", err, stderr);
    }
    if (o.help) {
        std::fputs(logview::usage, stdout);
        return 0;
    }
    if (o.version) {
        zo::cli::printversion("logview", stdout);
        return 0;
    }
    zo::url u;
    if (!u.parse(o.url.data(), o.url.size())) {
        std::fprintf(stderr,
                     "logview: cannot read the address %s (host unknown or port missing)\n%s",
                     o.url.c_str(), logview::usage);
        return 2;
    }
    if (!u.scheme.empty() && u.scheme.view() != "udp") {
        std::fprintf(stderr, "logview: the address must be udp://HOST:PORT, not %s\n%s",
                     o.url.c_str(), logview::usage);
        return 2;
    }
    uint16_t port = u.port ? u.port : 999;

    sockaddr_storage addr{};
    socklen_t addrlen = 0;
    if (!u.ipv4.empty()) {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        ::inet_pton(AF_INET, u.ipv4.c_str(), &a->sin_addr);
        addrlen = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        ::inet_pton(AF_INET6, u.ipv6.c_str(), &a->sin6_addr);
        addrlen = sizeof *a;
    }
    int sock = ::socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr*>(&addr), addrlen) != 0) {
        std::fprintf(stderr, "logview: cannot bind %s port %u: %s\n",
                     u.ipv4.empty() ? u.ipv6.c_str() : u.ipv4.c_str(), port, std::strerror(errno));
        if (sock >= 0) ::close(sock);
        return 1;
    }
    // Bursts of lines must not be lost while a slow terminal scrolls.
    int rcvbuf = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    if (::pipe2(stoppipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "logview: pipe: %s\n", std::strerror(errno));
        ::close(sock);
        return 1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);  // a closed reader ends us through a failed write

    bool tty = ::isatty(STDOUT_FILENO) == 1;
    std::fprintf(stderr, "logview: listening on %s port %u\n",
                 u.ipv4.empty() ? u.ipv6.c_str() : u.ipv4.c_str(), port);

    std::vector<char> buf(65536);
    std::string line;
    for (;;) {
        pollfd p[2] = {{sock, POLLIN, 0}, {stoppipe[0], POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "logview: poll: %s\n", std::strerror(errno));
            break;
        }
        if (p[1].revents) break;
        // An error alone (POLLERR without POLLIN) is cleared by the recv below;
        // skipping it would make poll report it again at once, for ever.
        if (!p[0].revents) continue;
        ssize_t n = ::recv(sock, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) continue;  // EINTR, EAGAIN or an ICMP error queued on the socket
        if (!logview::format(std::string_view(buf.data(), static_cast<size_t>(n)), zo::nowms(),
                             o.maxlevel, tty, line)) {
            continue;
        }
        if (!writeall(line)) break;
        if (!tty && std::fflush(stdout) != 0) break;
    }
    std::fflush(stdout);
    ::close(sock);
    ::close(stoppipe[0]);
    ::close(stoppipe[1]);
    return 0;
}
