// alloclock.h - the lock of a size class and of the record store: a short
// spin, then sleep in the kernel.
//
// The allocator's critical sections are a few dozen instructions, so a
// waiter first spins for up to spincount rounds (the holder is almost always
// about to leave) and only then sleeps on a futex until the holder wakes it.
// The spin is short on purpose: on a machine with few cores the holder may
// have been preempted, and spinning longer would only take its core away.
//
// Four bytes, so that a size class still fits in one 48-byte record.  Every
// state change is a C++ atomic with acquire (lock) and release (unlock)
// order, which ThreadSanitizer follows like a mutex's.
//
// Not recursive; no owner is recorded.  REQUIRES: unlock() only by the
// thread that holds the lock.
//
// Thread-safety: any thread.
#pragma once
#include <atomic>
#include <cstdint>

namespace zo {

class alloclock {
  public:
    static constexpr int spincount = 100;

    constexpr alloclock() noexcept = default;
    alloclock(const alloclock&) = delete;
    alloclock& operator=(const alloclock&) = delete;

    void lock() noexcept {
        uint32_t free = unlocked;
        if (!state_.compare_exchange_strong(free, locked, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            wait();
    }
    void unlock() noexcept {
        if (state_.exchange(unlocked, std::memory_order_release) == contended) wake();
    }
    // Whether some thread holds the lock (for assertions).
    bool held() const noexcept { return state_.load(std::memory_order_relaxed) != unlocked; }

  private:
    enum : uint32_t { unlocked = 0, locked = 1, contended = 2 };  // contended: may have sleepers
    void wait() noexcept;
    void wake() noexcept;

    std::atomic<uint32_t> state_{unlocked};
};

}  // namespace zo
