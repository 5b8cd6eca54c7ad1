#include "host/console.h"

#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "gtest/gtest.h"

using namespace zo;

namespace {

class consoletest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        console::clearsignal();
    }
    void TearDown() override {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
        console::clearsignal();
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
    }
    tcflag_t lflag() {
        struct termios t;
        EXPECT_EQ(::tcgetattr(slave, &t), 0);
        return t.c_lflag;
    }
    int master = -1;
    int slave = -1;
};

// Keys without echo and line ends are checked end to end (quorvane_test).
TEST_F(consoletest, TerminalKeepsCtrlCAndIsRestoredByTheDestructor) {
    {
        console con;
        ASSERT_TRUE(con.open(slave));
        EXPECT_TRUE(con.interactive());
        EXPECT_FALSE(lflag() & (ECHO | ICANON));
        EXPECT_TRUE(lflag() & ISIG) << "Ctrl-C must still raise SIGINT";
        ASSERT_EQ(::write(master, "qQ", 2), 2);
        EXPECT_EQ(con.waitkey(10000), 'q');
        EXPECT_EQ(con.waitkey(10000), 'Q');
    }
    EXPECT_TRUE(lflag() & ECHO);
    EXPECT_TRUE(lflag() & ICANON);
}

TEST_F(consoletest, HungUpTerminalIsDropped) {
    console con;
    ASSERT_TRUE(con.open(slave));
    ::close(master);
    master = -1;
    // The hang-up reads as end of input: no key, and the console stops
    // watching the terminal instead of waking up on it again and again.
    EXPECT_EQ(con.waitkey(10000), -1);
    EXPECT_FALSE(con.interactive());
}

// The first stop signal is recorded and the rest ignored.  Held, a stop
// signal reaches the handler inside the wait only, and the wait returns at
// once for it (the program holds them in every thread so that only its main
// thread, waiting here, takes them).  That a signal stops the program is
// checked end to end (quorvane_test).
TEST_F(consoletest, HeldStopSignalArrivesInsideTheWaitAndOnlyTheFirstCounts) {
    console::installsignals();
    sigset_t old;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &old), 0);
    console::holdstops();
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_EQ(console::pendingsignal(), 0);
    console con;
    ASSERT_TRUE(con.open(slave));
    EXPECT_EQ(con.waitkey(10000), -1);
    EXPECT_EQ(console::pendingsignal(), SIGINT);
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &old, nullptr), 0);
    struct sigaction sa;
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(console::pendingsignal(), SIGINT);
}

}  // namespace
