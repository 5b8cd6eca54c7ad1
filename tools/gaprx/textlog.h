// textlog.h - gaprx's logger: one line per message on a stdio stream,
//   2026-12-05 17:04:34.120 inf gaprx: listening on 127.0.0.1 port 18100
// with the local time of the line and the level word.  Lines above the
// logger's level (default 30, "inf") are left out.
//
// Thread-safety: wlog and append may come from any thread (a line is
// formatted on the stack and written with one call); setlevel before other
// threads log.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/ilog.h"

class textlog : public zo::ilog {
  public:
    explicit textlog(FILE* out) : out_(out) {}

    int open(const char*) override { return 0; }
    int wlog(int level, const char* fmt, ...) override __attribute__((format(printf, 3, 4)));
    int append(int level, const char* fmt, ...) override __attribute__((format(printf, 3, 4)));
    int vwlog(int level, const char* tag, const char* fmt, va_list ap) override;
    int getlevel() override { return level_.load(std::memory_order_relaxed); }
    int setlevel(int level) override {
        level_.store(level, std::memory_order_relaxed);
        return level;
    }
    void idle() override {}
    void release() override {}

  private:
    FILE* out_;
    std::atomic<int> level_{zo::LOG_INF};
};
