#include "ipc/thread.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class counter : public zo::thread {
  public:
    ~counter() override { stop(); }
    std::atomic<int> runs{0};
    std::atomic<int> inrun{0};
    std::atomic<int> sawrunning{0};

  protected:
    void run() override {
        inrun = 1;
        if (isrunning()) sawrunning = 1;
        runs++;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        inrun = 0;
    }
};

// The whole life of a worker: a stop before any start does nothing; run()
// runs at least once however soon the stop comes; a second start is refused
// while it runs; stop joins (no run() after it); and it starts again.
TEST(threadtest, StartRunStopJoinAndStartAgain) {
    counter t;
    t.stop();
    EXPECT_EQ(0u, t.threadid());
    ASSERT_TRUE(t.start());
    t.stop();
    EXPECT_EQ(1, t.sawrunning.load());
    EXPECT_GE(t.runs.load(), 1);

    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.start());
    while (t.runs.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(t.isrunning());
    // The worker records its own thread id, not the caller's.
    EXPECT_NE(static_cast<uint32_t>(::syscall(SYS_gettid)), t.threadid());
    t.stop();
    EXPECT_EQ(0, t.inrun.load());
    EXPECT_FALSE(t.isrunning());
    EXPECT_FALSE(t.stopping());
    int after = t.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(after, t.runs.load());

    auto* c = new counter;
    ASSERT_TRUE(c->start());
    delete c;  // must join, not leave a thread calling into freed memory
}

}  // namespace
