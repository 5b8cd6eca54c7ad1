#include "host/console.h"

#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "gtest/gtest.h"

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

TEST_F(consoletest, TerminalGivesSingleKeysWithoutEchoUntilRestored) {
    ASSERT_TRUE(lflag() & ECHO);
    {
        console gone;
        ASSERT_TRUE(gone.open(slave));
        EXPECT_FALSE(lflag() & ECHO);
    }  // the destructor restores the terminal
    EXPECT_TRUE(lflag() & ECHO);
    console con;
    ASSERT_TRUE(con.open(slave));
    EXPECT_TRUE(con.interactive());
    EXPECT_FALSE(lflag() & (ECHO | ICANON));
    EXPECT_TRUE(lflag() & ISIG) << "Ctrl-C must still raise SIGINT";

    EXPECT_EQ(con.waitkey(0), -1);
    ASSERT_EQ(::write(master, "qQ", 2), 2);
    EXPECT_EQ(con.waitkey(10000), 'q');  // no line end needed
    EXPECT_EQ(con.waitkey(10000), 'Q');
    EXPECT_EQ(con.waitkey(0), -1);

    con.restore();
    EXPECT_TRUE(lflag() & ECHO);
    EXPECT_TRUE(lflag() & ICANON);
    con.restore();  // twice is harmless
    EXPECT_TRUE(lflag() & ECHO);
}

TEST_F(consoletest, InputThatIsNoTerminalIsNeverRead) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], "q", 1), 1);
    ::close(p[1]);  // end of input after the byte
    console con;
    EXPECT_FALSE(con.open(p[0]));
    EXPECT_FALSE(con.interactive());
    EXPECT_EQ(con.waitkey(0), -1);
    EXPECT_EQ(con.waitkey(1), -1);
    char c = 0;
    EXPECT_EQ(::read(p[0], &c, 1), 1) << "the console consumed input";
    EXPECT_EQ(c, 'q');
    ::close(p[0]);
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

TEST_F(consoletest, SignalIsRecordedAndWakesTheWait) {
    console::installsignals();
    console con;
    ASSERT_TRUE(con.open(slave));
    EXPECT_EQ(console::pendingsignal(), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(console::pendingsignal(), SIGTERM);
    // Returns at once through the self-pipe (a broken pipe would hang here).
    EXPECT_EQ(con.waitkey(-1), -1);

    // Further deliveries of that signal are ignored; the first one is kept.
    struct sigaction sa;
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_EQ(console::pendingsignal(), SIGTERM);
}

// Held stop signals reach the handler inside the wait, never outside it, and
// the wait returns at once for them (the program holds them in every thread
// so that only its main thread, waiting here, takes them).
TEST_F(consoletest, HeldStopSignalArrivesInsideTheWait) {
    console::installsignals();
    sigset_t old;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &old), 0);
    console::holdstops();
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_EQ(console::pendingsignal(), 0);
    console con;
    EXPECT_EQ(con.waitkey(10000), -1);
    EXPECT_EQ(console::pendingsignal(), SIGINT);
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &old, nullptr), 0);
}

}  // namespace
