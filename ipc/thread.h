// thread.h - base of an object that owns one background thread.
//
// The thread calls the object's run() over and over until stop() is asked
// for.  run() is one cycle of the derived class's work: it must return within
// a bounded time and must do its own waiting when it found nothing to do,
// because the base does not sleep between calls.  run() is called at least
// once, even when stop() came before the thread got going.
//
// Lifecycle: not started -> start() -> running -> stop() sets stopflag, the
// current run() returns, the loop ends -> joined, no thread.  A stopped
// object may be started again.
//
// REQUIRES: a derived class whose run() touches its own members calls stop()
// in its own destructor; the base destructor also calls stop(), but by then
// the derived part is already gone.
//
// Thread-safety: start() and stop() are called by the controlling thread
// (the main thread, or the destructor at exit), never by the worker itself,
// and not concurrently with each other.  stopping(), isrunning() and
// threadid() may be called from any thread.  run() runs on the worker.
#pragma once
#include <atomic>
#include <cstdint>

namespace zo {

class thread {
  public:
    thread() = default;
    virtual ~thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Creates the worker thread.  False (nothing started) when a thread of
    // this object already exists or the platform refuses to create one.
    bool start();
    // When a thread exists: sets stopflag, waits for the current run() to
    // return and the thread to end, then forgets it.  Does nothing when no
    // thread was started.  Waits at most one cycle of run().
    void stop();

    // True between stop()'s request and the end of the worker's loop; run()
    // may look at it to cut a long wait short.
    bool stopping() const { return stopflag.load(std::memory_order_acquire) != 0; }
    // True while the thread function runs.
    bool isrunning() const { return running.load(std::memory_order_acquire) != 0; }
    // Id of the running thread (the kernel's thread id), 0 before it started.
    uint32_t threadid() const { return tid.load(std::memory_order_acquire); }

  protected:
    // One cycle of work, on the worker thread.
    virtual void run() = 0;

    std::atomic<uint32_t> tid{0};      // written by the worker when it starts
    std::atomic<int32_t> stopflag{0};  // 1 from stop(); 0 again when the worker ends
    std::atomic<int32_t> running{0};   // 1 while the thread function runs

  private:
    static void threadmain(thread* self);

    struct impl;
    impl* thread_ = nullptr;  // owned; null when not started or after stop()
};

}  // namespace zo
