// pkgring.h - a fixed ring of package pointers between the IPC session and
// the writer thread.
//
// N slots with a head and a tail index: empty when head == tail, full when
// (tail + 1) % N == head, so it holds at most N - 1 packages.  A push into a
// full ring deletes the oldest package first (logging a warning with its
// record count): the newest data is worth more than the oldest.  The ring
// owns the packages it holds; pop() hands ownership to the caller.
//
// REQUIRES: T is a heap object deletable with `delete`; recordcount(const T&)
// gives the number of records of a package (for the warning line).
//
// The records of dropped packages are counted (lostrecords) for the metrics.
//
// Thread-safety: push, pop, size and lostrecords may be called from any
// thread; each call
// holds the ring's own lock for a few instructions only, and never allocates.
#pragma once
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/ilog.h"

namespace zo {

template <class T, uint32_t N>
class pkgring {
  public:
    static constexpr uint32_t slots = N;

    explicit pkgring(zo::ilog* log) : log_(log) {}
    ~pkgring() { clear(); }
    pkgring(const pkgring&) = delete;
    pkgring& operator=(const pkgring&) = delete;

    // Takes ownership of p (a null p is ignored).  Returns the number of
    // packages queued after the push.
    size_t push(T* p) {
        if (!p) return size();
        T* lost = nullptr;
        size_t queued;
        {
            std::lock_guard<std::mutex> g(mu_);
            if ((tail_ + 1) % N == head_) {
                lost = slot_[head_];
                slot_[head_] = nullptr;
                head_ = (head_ + 1) % N;
            }
            slot_[tail_] = p;
            tail_ = (tail_ + 1) % N;
            queued = (tail_ + N - head_) % N;
            assert(ringok());
        }
        // Logged and freed outside the lock: the logger sends a datagram and
        // the free may take allocator locks.
        if (lost) {
            lost_.fetch_add(recordcount(*lost), std::memory_order_relaxed);
            ZO_LOG(log_, zo::LOG_WRN, "put chache full, lost one package records %zu.",
                   static_cast<size_t>(recordcount(*lost)));
            delete lost;
        }
        return queued;
    }

    // The oldest package, now owned by the caller, or nullptr when empty.
    T* pop() {
        std::lock_guard<std::mutex> g(mu_);
        if (head_ == tail_) return nullptr;
        T* p = slot_[head_];
        slot_[head_] = nullptr;
        head_ = (head_ + 1) % N;
        assert(ringok());
        return p;
    }

    size_t size() const {
        std::lock_guard<std::mutex> g(mu_);
        return (tail_ + N - head_) % N;
    }

    // Records of the packages a full ring dropped, since construction.
    uint64_t lostrecords() const { return lost_.load(std::memory_order_relaxed); }

    // Deletes every queued package.
    void clear() {
        while (T* p = pop()) delete p;
    }

  private:
    // Both indexes inside the ring and the slot at tail_ always free (a full
    // ring keeps one slot empty); the caller holds mu_.
    bool ringok() const { return head_ < N && tail_ < N && slot_[tail_] == nullptr; }

    zo::ilog* log_;
    mutable std::mutex mu_;
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
    T* slot_[N] = {};
    std::atomic<uint64_t> lost_{0};
};

}  // namespace zo
