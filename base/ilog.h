// ilog.h - the logging interface every component receives as a pointer.
//
// A null ilog pointer means "log nothing"; use ZO_LOG so that call sites need
// no test of their own.  Levels are numbers, smaller is more important: 10
// "err", 20 "wrn", 30 "inf"/"msg", 31 "mor", 40 "dbg", 999 "all".  A line is
// sent when its level is at most the logger's level.
//
// Thread-safety: wlog/append/vwlog may be called from any thread without a
// lock; open and setlevel are called before other threads start.
#pragma once
#include <cstdarg>

namespace zo {

enum loglevel : int {
    LOG_ERR = 10,
    LOG_WRN = 20,
    LOG_INF = 30,
    LOG_MOR = 31,
    LOG_DBG = 40,
    LOG_ALL = 999,
};

class ilog {
public:
    virtual ~ilog() = default;
    // 0, or -1 on failure.
    virtual int open(const char* url) = 0;
    // Bytes sent, 0 if filtered out by level, -1 on failure.
    virtual int wlog(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) = 0;
    virtual int append(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) = 0;
    // The tag, when present and not empty, goes in brackets before the text.
    virtual int vwlog(int /*level*/, const char* /*tag*/, const char* /*fmt*/, va_list /*ap*/) {
        return 0;
    }
    virtual int getlevel() = 0;
    virtual int setlevel(int level) = 0;
    // An operation without arguments or result that loggers may give a use.
    virtual void idle() = 0;
    // Destroys the logger object.
    virtual void release() = 0;
};

// Level from a word: "err", "wrn", "inf", "msg", "mor", "dbg", "all" (ASCII
// case ignored), else a decimal number; absent, empty or 0 gives 30.
int levelfromword(const char* word);
// The first word with this level, or "ndf".
const char* levelword(int level);

}  // namespace zo

// Logs through a possibly null ilog pointer.
#define ZO_LOG(lg, level, ...)                          \
    do {                                                \
        ::zo::ilog* zo_lg_ = (lg);                      \
        if (zo_lg_) zo_lg_->wlog((level), __VA_ARGS__); \
    } while (0)
