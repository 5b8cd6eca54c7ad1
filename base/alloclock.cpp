#include "base/alloclock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zo {

namespace {

inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

void alloclock::wait() noexcept {
    for (int i = 0; i < spincount; ++i) {
        pause();
        uint32_t s = state_.load(std::memory_order_relaxed);
        if (s == unlocked && state_.compare_exchange_weak(s, locked, std::memory_order_acquire,
                                                          std::memory_order_relaxed))
            return;
    }
    // From here on the lock is marked contended, so that its holder wakes a
    // sleeper; a thread that takes it this way keeps the mark, which costs
    // at most one needless wake.
    while (state_.exchange(contended, std::memory_order_acquire) != unlocked)
        ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, contended,
                  nullptr, nullptr, 0);
}

void alloclock::wake() noexcept {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
}

}  // namespace zo
