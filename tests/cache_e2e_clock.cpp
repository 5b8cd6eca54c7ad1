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

#include <cstdint>
#include <cstdlib>

namespace {

using clockfn = int (*)(clockid_t, struct timespec*);

struct fakeclock {
    clockfn real = nullptr;
    bool on = false;
    int64_t startms = 0;
    int64_t speed = 1;
    int64_t mono0ns = 0;

    fakeclock() {
        real = reinterpret_cast<clockfn>(dlsym(RTLD_NEXT, "clock_gettime"));
        const char* v = std::getenv("ZO_TESTCLOCK");
        if (!real || !v) return;
        char* end = nullptr;
        startms = std::strtoll(v, &end, 10);
        speed = std::strtoll(end, nullptr, 10);
        if (speed < 1) speed = 1;
        struct timespec ts;
        real(CLOCK_MONOTONIC, &ts);
        mono0ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        on = true;
    }
};

fakeclock& theclock() {
    static fakeclock c;
    return c;
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
    fakeclock& c = theclock();
    if (!c.real) return -1;
    if (!c.on || id != CLOCK_REALTIME) return c.real(id, ts);
    struct timespec m;
    int r = c.real(CLOCK_MONOTONIC, &m);
    if (r != 0) return r;
    int64_t ns = static_cast<int64_t>(m.tv_sec) * 1000000000 + m.tv_nsec - c.mono0ns;
    int64_t fakens = c.startms * 1000000 + ns * c.speed;
    ts->tv_sec = static_cast<time_t>(fakens / 1000000000);
    ts->tv_nsec = static_cast<long>(fakens % 1000000000);
    return 0;
}
