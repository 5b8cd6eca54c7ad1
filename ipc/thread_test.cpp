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
    int napms = 1;

  protected:
    void run() override {
        inrun = 1;
        if (isrunning()) sawrunning = 1;
        runs++;
        std::this_thread::sleep_for(std::chrono::milliseconds(napms));
        inrun = 0;
    }
};

class threadtest : public ::testing::Test {
  protected:
    counter t;
};

TEST_F(threadtest, StopBeforeStartDoesNothing) {
    t.stop();
    t.stop();
    EXPECT_FALSE(t.isrunning());
    EXPECT_FALSE(t.stopping());
    EXPECT_EQ(0u, t.threadid());
    EXPECT_EQ(0, t.runs.load());
}

TEST_F(threadtest, RunCalledAtLeastOnceWhenStoppedAtOnce) {
    ASSERT_TRUE(t.start());
    t.stop();
    EXPECT_GE(t.runs.load(), 1);
    EXPECT_EQ(1, t.sawrunning.load());
}

TEST_F(threadtest, StopJoinsAndRunIsNotCalledAgain) {
    t.napms = 5;
    ASSERT_TRUE(t.start());
    while (t.runs.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(t.isrunning());
    // The worker records its own thread id, not the caller's.
    EXPECT_NE(0u, t.threadid());
    EXPECT_NE(static_cast<uint32_t>(::syscall(SYS_gettid)), t.threadid());
    t.stop();
    EXPECT_EQ(0, t.inrun.load());
    EXPECT_FALSE(t.isrunning());
    EXPECT_FALSE(t.stopping());
    int after = t.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(after, t.runs.load());
}

TEST_F(threadtest, SecondStartWhileRunningIsRefusedAndRestartAfterStopWorks) {
    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.start());
    t.stop();
    int before = t.runs.load();
    ASSERT_TRUE(t.start());
    t.stop();
    EXPECT_GT(t.runs.load(), before);
    EXPECT_FALSE(t.isrunning());
}

TEST_F(threadtest, DestructorStopsARunningThread) {
    auto* c = new counter;
    ASSERT_TRUE(c->start());
    delete c;  // must join, not leave a thread calling into freed memory
}

}  // namespace
