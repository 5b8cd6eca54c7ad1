#include "host/procstat.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace zo {

namespace procstat {

namespace {

// Reads the start of a /proc file (all we look at is near its start) into
// buf; the length read, or -1.
ssize_t readhead(const char* path, char* buf, size_t cap) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < cap) {
        ssize_t n = ::read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return static_cast<ssize_t>(got);
}

void skipblanks(std::string_view t, size_t* i) {
    while (*i < t.size() && (t[*i] == ' ' || t[*i] == '\t')) ++*i;
}

// One unsigned decimal at *i; false when there is none or it overflows.
bool number(std::string_view t, size_t* i, uint64_t* v) {
    skipblanks(t, i);
    size_t start = *i;
    uint64_t x = 0;
    while (*i < t.size() && t[*i] >= '0' && t[*i] <= '9') {
        uint64_t d = static_cast<uint64_t>(t[*i] - '0');
        if (x > (UINT64_MAX - d) / 10) return false;
        x = x * 10 + d;
        ++*i;
    }
    if (*i == start) return false;
    *v = x;
    return true;
}

// Skips one blank-separated word.
bool skipword(std::string_view t, size_t* i) {
    skipblanks(t, i);
    size_t start = *i;
    while (*i < t.size() && t[*i] != ' ' && t[*i] != '\t' && t[*i] != '\n') ++*i;
    return *i > start;
}

class procreader final : public procsource {
  public:
    bool cputimes(uint64_t* system, uint64_t* process) override {
        char buf[4096];
        ssize_t n = readhead("/proc/stat", buf, sizeof buf);
        if (n <= 0 || !parsesystemstat(std::string_view(buf, static_cast<size_t>(n)), system))
            return false;
        n = readhead("/proc/self/stat", buf, sizeof buf);
        return n > 0 && parseprocessstat(std::string_view(buf, static_cast<size_t>(n)), process);
    }
    bool workingset(uint64_t* bytes) override {
        char buf[512];
        ssize_t n = readhead("/proc/self/statm", buf, sizeof buf);
        uint64_t pages;
        if (n <= 0 || !parsestatm(std::string_view(buf, static_cast<size_t>(n)), &pages))
            return false;
        long pagesize = ::sysconf(_SC_PAGESIZE);
        if (pagesize <= 0) return false;
        *bytes = pages * static_cast<uint64_t>(pagesize);
        return true;
    }
};

procreader reader;
std::atomic<procsource*> installed{nullptr};

}  // namespace

procsource* procsource::current() noexcept {
    procsource* s = installed.load(std::memory_order_acquire);
    return s ? s : &reader;
}

procsource* procsource::install(procsource* s) noexcept {
    procsource* old = installed.exchange(s, std::memory_order_acq_rel);
    return old ? old : &reader;
}

bool parsesystemstat(std::string_view text, uint64_t* total) {
    if (text.substr(0, 4) != "cpu " && text.substr(0, 4) != "cpu\t") return false;
    size_t i = 3;
    uint64_t sum = 0;
    int fields = 0;
    for (; fields < 8; ++fields) {
        uint64_t v;
        size_t at = i;
        if (!number(text, &i, &v)) {
            i = at;
            break;
        }
        if (sum > UINT64_MAX - v) return false;
        sum += v;
    }
    // user, nice, system and idle are there on every kernel we run on.
    if (fields < 4) return false;
    *total = sum;
    return true;
}

bool parseprocessstat(std::string_view text, uint64_t* total) {
    size_t close = text.rfind(')');
    if (close == std::string_view::npos) return false;
    size_t i = close + 1;
    // After the name: state (3), then fields 4..13 to skip, then utime (14)
    // and stime (15).
    for (int field = 3; field <= 13; ++field) {
        if (!skipword(text, &i)) return false;
    }
    uint64_t utime, stime;
    if (!number(text, &i, &utime) || !number(text, &i, &stime)) return false;
    if (utime > UINT64_MAX - stime) return false;
    *total = utime + stime;
    return true;
}

bool parsestatm(std::string_view text, uint64_t* pages) {
    size_t i = 0;
    uint64_t size;
    return number(text, &i, &size) && number(text, &i, pages);
}

uint32_t cpushare(uint64_t state[2], bool ok, uint64_t system, uint64_t process) {
    if (!ok) return 0;
    uint64_t share = 0;
    if (state[0] != 0 && system != state[0]) {
        share = (process - state[1]) * 10000 / (system - state[0]);
    }
    state[0] = system;
    state[1] = process;
    return static_cast<uint32_t>(share);
}

uint32_t samplecpu(uint64_t state[2]) {
    uint64_t system = 0, process = 0;
    bool ok = procsource::current()->cputimes(&system, &process);
    return cpushare(state, ok, system, process);
}

uint64_t workingset() {
    uint64_t bytes = 0;
    return procsource::current()->workingset(&bytes) ? bytes : 0;
}

}  // namespace procstat

}  // namespace zo
