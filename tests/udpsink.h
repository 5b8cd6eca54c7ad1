// udpsink.h - a log server for tests: a UDP socket on 127.0.0.1 with a port
// of the kernel's choosing that keeps the text of every log datagram.
//
// A log datagram is a one-line JSON header, a line feed and the text; lines()
// holds the texts, headers() the header lines, in arrival order.
//
// Thread-safety: one thread.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

using zotest::heldport;

class udpsink {
  public:
    udpsink() {
        // Bursts of log lines must not be lost to a small receive buffer.
        int big = 4 << 20;
        if (sock_.port) ::setsockopt(sock_.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }

    bool ok() const { return sock_.port != 0; }
    int port() const { return sock_.port; }
    std::string url() const { return "udp://127.0.0.1:" + std::to_string(sock_.port); }

    // Takes whatever has arrived, waiting up to waitms for the first datagram.
    void receive(int waitms) {
        pollfd p{sock_.fd, POLLIN, 0};
        while (::poll(&p, 1, waitms) > 0) {
            char buf[65536];
            ssize_t n = ::recv(sock_.fd, buf, sizeof buf, 0);
            if (n < 0) break;
            std::string d(buf, static_cast<size_t>(n));
            size_t nl = d.find('\n');
            headers_.push_back(nl == std::string::npos ? d : d.substr(0, nl));
            lines_.push_back(nl == std::string::npos ? std::string() : d.substr(nl + 1));
            waitms = 0;
        }
    }

    // Receives until a text equal to line has arrived as text number from or
    // later, for at most maxms (a bound against hanging, not a timing
    // requirement).
    bool waitfor(const std::string& line, int maxms = 20000, size_t from = 0) {
        return zotest::until([&] { return indexof(line, from) >= 0; }, maxms, [&] { receive(50); });
    }

    bool has(const std::string& line) const { return indexof(line) >= 0; }
    // Position of the first text at or after from equal to line, or -1.
    int indexof(const std::string& line, size_t from = 0) const {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i] == line) return static_cast<int>(i);
        }
        return -1;
    }
    // Position of the first text at or after from that starts with head,
    // or -1.
    int findfrom(const std::string& head, size_t from) const {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i].rfind(head, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    }
    // The level of the first text equal to line (from its header), or -1.
    int levelof(const std::string& line) const {
        int i = indexof(line);
        if (i < 0) return -1;
        size_t at = headers_[static_cast<size_t>(i)].find("\"level\":");
        return at == std::string::npos
                   ? -1
                   : std::atoi(headers_[static_cast<size_t>(i)].c_str() + at + 8);
    }
    // True when some text contains part.
    bool hassub(const std::string& part) const {
        for (const auto& l : lines_) {
            if (l.find(part) != std::string::npos) return true;
        }
        return false;
    }
    const std::vector<std::string>& lines() const { return lines_; }
    const std::vector<std::string>& headers() const { return headers_; }
    std::string dump() const {
        std::string s;
        for (size_t i = 0; i < lines_.size(); ++i) s += headers_[i] + " [" + lines_[i] + "]\n";
        return s;
    }

  private:
    heldport sock_{SOCK_DGRAM};
    std::vector<std::string> lines_;
    std::vector<std::string> headers_;
};
