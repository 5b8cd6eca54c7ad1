#include "tools/gaprx/textlog.h"

#include <sys/time.h>

#include <cstring>
#include <ctime>

int textlog::vwlog(int level, const char* tag, const char* fmt, va_list ap) {
    if (level > getlevel()) return 0;
    char line[4096];
    timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    tm lt;
    localtime_r(&secs, &lt);
    int n = std::snprintf(line, sizeof line,
                          "%04d-%02d-%02d %02d:%02d:%02d.%03d %s gaprx: ", lt.tm_year + 1900,
                          lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                          static_cast<int>(tv.tv_usec / 1000), zo::levelword(level));
    if (tag && *tag) n += std::snprintf(line + n, sizeof line - n, "[%s]", tag);
    int m = std::vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    if (m < 0) return -1;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len > sizeof line - 2) len = sizeof line - 2;  // cut, never lost
    line[len++] = '\n';
    std::fwrite(line, 1, len, out_);
    std::fflush(out_);
    return static_cast<int>(len);
}

int textlog::wlog(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vwlog(level, nullptr, fmt, ap);
    va_end(ap);
    return r;
}

int textlog::append(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vwlog(level, nullptr, fmt, ap);
    va_end(ap);
    return r;
}
