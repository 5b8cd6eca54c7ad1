// udplog.h - the process logger: one UDP datagram per log line.
//
// Each datagram is a one-line JSON header, a line feed and the formatted
// text, nothing after it:
//   {"order":"wlog","level":10,"cabin":"simu1"}\nx=5
// The cabin (the log source's name) is the path of the log URL.  A datagram
// holds at most 30,719 bytes; a longer line is dropped whole (-1), never cut.
// A port of 0 in the URL means 999.  The query "level=WORD" sets the level.
//
// Thread-safety: wlog, append, vwlog and getlevel take no lock and may come
// from any thread (each call formats into its own stack buffer and sends one
// datagram).  open, setlevel and shutdown are called by the owning thread
// (the host's main thread) while no other thread logs; isopen, cabin and
// destport read what open set and belong to the same rule.
#pragma once
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "base/ilog.h"

namespace zo {

class udplog : public ilog {
  public:
    static constexpr int maxdatagram = 30720;  // a datagram is shorter than this

    udplog() = default;
    ~udplog() override;
    udplog(const udplog&) = delete;
    udplog& operator=(const udplog&) = delete;

    int open(const char* url) override;
    int wlog(int level, const char* fmt, ...) override __attribute__((format(printf, 3, 4)));
    int append(int level, const char* fmt, ...) override __attribute__((format(printf, 3, 4)));
    int vwlog(int level, const char* tag, const char* fmt, va_list ap) override;
    int getlevel() override { return level_.load(std::memory_order_relaxed); }
    int setlevel(int level) override {
        level_.store(level, std::memory_order_relaxed);
        return level;
    }
    void idle() override {}
    void release() override { delete this; }

    // Shuts the socket down in both directions and closes it (the last step
    // of the stop sequence).  Later log calls return -1.
    void shutdown();
    // Lines at or below level also go to standard error, whatever the
    // logger's level and whether it is open; 0 ends that.  The host sets it
    // while starting, so that a user without a log server sees why the
    // process did not start.  Any thread.
    void echo(int level) { echo_.store(level, std::memory_order_relaxed); }
    bool isopen() const { return sock_ >= 0; }
    const char* cabin() const { return cabin_; }
    // Port of the destination address in host order; 0 while there is none.
    uint16_t destport() const;

  private:
    int send(const char* head, int level, const char* tag, const char* fmt, va_list ap);

    std::atomic<int> level_{30};
    std::atomic<int> echo_{0};
    int sock_ = -1;
    sockaddr_storage dest_{};
    uint32_t destlen_ = 0;
    char cabin_[128] = {};
    uint32_t cabinlen_ = 0;
};

}  // namespace zo
