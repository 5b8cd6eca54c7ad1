// testlog_test.h - an ilog for tests that keeps every line it is given.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/ilog.h"

class testlog : public zo::ilog {
  public:
    std::vector<std::pair<int, std::string>> lines;

    int open(const char*) override { return 0; }
    int wlog(int level, const char* fmt, ...) override {
        va_list ap;
        va_start(ap, fmt);
        int n = keep(level, fmt, ap);
        va_end(ap);
        return n;
    }
    int append(int level, const char* fmt, ...) override {
        va_list ap;
        va_start(ap, fmt);
        int n = keep(level, fmt, ap);
        va_end(ap);
        return n;
    }
    int getlevel() override { return 999; }
    int setlevel(int level) override { return level; }
    void idle() override {}
    void release() override {}

    bool has(int level, const std::string& text) const {
        for (const auto& l : lines) {
            if (l.first == level && l.second == text) return true;
        }
        return false;
    }

  private:
    int keep(int level, const char* fmt, va_list ap) {
        char buf[1024];
        int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
        lines.emplace_back(level, buf);
        return n;
    }
};
