#include "host/instancelock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "host/testlog_test.h"

namespace {

class instancelocktest : public ::testing::Test {
  protected:
    // A name no other test run uses at the same time.
    std::string inst = "lt" + std::to_string(::getpid());
    testlog log;
};

TEST_F(instancelocktest, SecondHolderOfTheSameNameIsRefused) {
    instancelock a;
    ASSERT_EQ(a.lock(inst.c_str(), &log), 0);
    EXPECT_TRUE(a.held());
    EXPECT_STREQ(a.name(), (inst + ".mutex").c_str());

    instancelock b;
    EXPECT_EQ(b.lock(inst.c_str(), &log), -1);
    EXPECT_FALSE(b.held());
    EXPECT_TRUE(log.has(zo::LOG_WRN, inst + ".mutex ERROR_ALREADY_EXISTS"));

    instancelock other;
    EXPECT_EQ(other.lock((inst + "o").c_str(), &log), 0);

    a.unlock();
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
    // Locking again through the holder itself gives up the old lock first.
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
}

TEST_F(instancelocktest, DestructionFreesTheName) {
    {
        instancelock a;
        ASSERT_EQ(a.lock(inst.c_str(), &log), 0);
    }
    instancelock b;
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(instancelocktest, NameOf80BytesFailsSilently) {
    instancelock a;
    std::string ok = inst + std::string(73 - inst.size(), 'k');  // "<ok>.mutex" is 79 bytes
    EXPECT_EQ(a.lock(ok.c_str(), &log), 0);
    a.unlock();
    std::string toolong(74, 'k');
    EXPECT_EQ(a.lock(toolong.c_str(), &log), -1);
    EXPECT_EQ(a.lock(std::string(500, 'k').c_str(), &log), -1);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(instancelocktest, KilledHolderLeavesNoStaleLock) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        instancelock held;
        char c = held.lock(inst.c_str(), nullptr) == 0 ? 'y' : 'n';
        if (::write(ready[1], &c, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ASSERT_GT(pid, 0);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(c, 'y');

    instancelock mine;
    EXPECT_EQ(mine.lock(inst.c_str(), &log), -1);
    ::kill(pid, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(mine.lock(inst.c_str(), &log), 0);
}

}  // namespace
