// gapsink_test.h - a loopback UDP socket for the gapudp tests: the link
// sends to url(), take() returns every datagram that has arrived.  Included
// by *_test.cpp only.
//
// Thread-safety: one thread.
#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/testsupport.h"

// A loopback UDP socket that keeps what arrives.
struct dgramsink {
    zotest::heldport held{SOCK_DGRAM};
    int fd = held.fd;
    int port = held.port;
    dgramsink() {
        int big = 16 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    }
    std::string url() const { return "gapudp://127.0.0.1:" + std::to_string(port); }
    // Everything that has arrived, waiting up to waitms for the first
    // datagram (loopback delivers within sendto).
    std::vector<std::string> take(int waitms = 200) {
        std::vector<std::string> out;
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, out.empty() ? waitms : 0) > 0) {
            std::string b(70000, '\0');
            ssize_t n = ::recv(fd, b.data(), b.size(), 0);
            if (n < 0) break;
            b.resize(static_cast<size_t>(n));
            out.push_back(b);
        }
        return out;
    }
};
