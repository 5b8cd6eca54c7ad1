// cache_e2e_clock - a library preloaded into the program under test
// (LD_PRELOAD) that makes its wall clock start at a chosen moment and run
// faster, so that an end-to-end test sees a ten-minute period end and the
// cache replay start within seconds instead of minutes.
//
// ZO_TESTCLOCK="<startms> <speed>": CLOCK_REALTIME reads startms at the first
// call and then advances speed times as fast as CLOCK_MONOTONIC.  Without
// the variable the clock is left alone.  Monotonic clocks, sleeps and
// timed waits are never touched.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

using clockfn = int (*)(clockid_t, struct timespec*);

int64_t nsof(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct fakeclock {
    clockfn real = reinterpret_cast<clockfn>(dlsym(RTLD_NEXT, "clock_gettime"));
    bool on = false;
    int64_t startms = 0, speed = 1, mono0ns = 0;

    fakeclock() {
        const char* v = std::getenv("ZO_TESTCLOCK");
        if (!real || !v) return;
        char* end = nullptr;
        startms = std::strtoll(v, &end, 10);
        speed = std::max<int64_t>(1, std::strtoll(end, nullptr, 10));
        struct timespec ts;
        real(CLOCK_MONOTONIC, &ts);
        mono0ns = nsof(ts);
        on = true;
    }
};

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
    static fakeclock c;
    if (!c.real) return -1;
    if (!c.on || id != CLOCK_REALTIME) return c.real(id, ts);
    struct timespec m;
    int r = c.real(CLOCK_MONOTONIC, &m);
    if (r != 0) return r;
    int64_t fakens = c.startms * 1000000 + (nsof(m) - c.mono0ns) * c.speed;
    ts->tv_sec = static_cast<time_t>(fakens / 1000000000);
    ts->tv_nsec = static_cast<long>(fakens % 1000000000);
    return 0;
}
