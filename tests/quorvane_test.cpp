// End-to-end tests of the Quorvane program: each runs the real binary as a
// child process in a private copy of the program directory (bin/Quorvane and
// bin/config/), talks to it over loopback only, and stops it before the test
// ends.  Log lines are received by a UDP log server of the test's own.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

const char versiontext[] = "Quorvane file version 1.0.3.4, build 2025-7-2";
const std::string successline = std::string("start ") + versiontext + " success. loglevel = dbg";
const std::string promptline = std::string(versiontext) + ". type 'q' or 'Q' to exit zeldblink.\n";
const char usagetext[] =
    "usage:\n"
    "  Quorvane ipcurl logurl instname cfgfile loglevel [cachepath]\n"
    "demo:\n"
    "  Quorvane ipc://127.0.0.1:802 udp://192.168.1.10:999  simu1 simu1.ini dbg\n";

using namespace e2e;

class quorvane : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(pd.make("quorvane_e2e_", &err)) << err;
        dir = pd.dir();
        ASSERT_TRUE(pd.writeconfig("test.ini", "sqlite://localhost" + (dir / "rt.db").string(),
                                   (dir / "cache").string()));
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(refused.port, 0);
        inst = uniquename("qt");
    }

    // The usual command line: refused IPC port, the test's log server, dbg.
    std::vector<std::string> args(const std::string& name) const {
        return {ipcurl(refused.port), logsrv.url(), name, "test.ini", "dbg"};
    }
    // The usual command line with argument i replaced.
    std::vector<std::string> argswith(size_t i, const std::string& v) const {
        std::vector<std::string> a = args(inst);
        a[i] = v;
        return a;
    }

    // Starts the program; stdin is /dev/null, or a new pseudo-terminal.
    void spawn(child& c, const std::vector<std::string>& a, bool pty = false, bool errtoo = false) {
        runopts o;
        o.out = pty ? runopts::terminal : runopts::capture;
        o.errtoo = errtoo;
        ASSERT_TRUE(c.start(pd.program(), a, o));
    }

    // Runs the program to its end, which must be exit code 0; with errtoo
    // its standard error is in the output too.
    void runout(child& c, const std::vector<std::string>& a, bool errtoo = false) {
        spawn(c, a, false, errtoo);
        ASSERT_TRUE(c.wait());
        EXPECT_TRUE(c.exitedzero());
    }

    // Waits until the program has switched its terminal to single keys.
    static void waitkeys(child& c) {
        ASSERT_TRUE(until([&] {
            struct termios t;
            return ::tcgetattr(c.out, &t) == 0 && !(t.c_lflag & (ECHO | ICANON));
        })) << "terminal never switched to keys";
    }

    // The terminal is back to echoed lines.
    static void expectrestored(child& c) {
        struct termios t;
        ASSERT_EQ(::tcgetattr(c.out, &t), 0);
        EXPECT_TRUE(t.c_lflag & ECHO);
        EXPECT_TRUE(t.c_lflag & ICANON);
    }

    // Starts the program and waits until it has logged its start.
    void startrunning(child& c, const std::vector<std::string>& a, bool pty = false) {
        logsrv.receive(0);
        size_t from = logsrv.lines().size();
        spawn(c, a, pty);
        ASSERT_TRUE(logsrv.waitfor(successline, 20000, from)) << logsrv.dump();
    }

    // The stop sequence was logged in order, after the given first line, in
    // the log lines from the given one on.
    void expectstopped(const std::string& first, size_t from = 0) {
        logsrv.receive(0);
        int a = first.empty() ? static_cast<int>(from) - 1 : logsrv.findfrom(first, from);
        int b = logsrv.findfrom("stopping ...", from);
        int c = logsrv.findfrom("stopped gracefully.\n", from);
        if (!first.empty()) {
            EXPECT_GE(a, 0) << logsrv.dump();
        }
        EXPECT_GT(b, a) << logsrv.dump();
        EXPECT_GT(c, b) << logsrv.dump();
    }

    progdir pd;
    fs::path dir;
    std::string inst;
    udpsink logsrv;
    heldport refused{SOCK_STREAM};
};

TEST_F(quorvane, TooFewArgumentsPrintUsage) {
    for (size_t n : {0u, 1u, 4u}) {
        std::vector<std::string> a = args(inst);
        a.resize(n);
        child c;
        ASSERT_NO_FATAL_FAILURE(runout(c, a));
        EXPECT_EQ(c.output, usagetext) << n << " arguments";
    }
    logsrv.receive(0);
    EXPECT_TRUE(logsrv.lines().empty());
}

TEST_F(quorvane, SigtermStopsInOrder) {
    child c;
    startrunning(c, args(inst));
    ASSERT_TRUE(c.stop());
    EXPECT_EQ(c.output, promptline);
    expectstopped("recv sigval = 15");
    // The instance name is the log source: it is the path of the log URL.
    ASSERT_FALSE(logsrv.headers().empty());
    EXPECT_NE(logsrv.headers().front().find("\"cabin\":\"" + inst + "\""), std::string::npos)
        << logsrv.headers().front();
    EXPECT_TRUE(logsrv.has(std::string("\n  starting ") + versiontext + " ..."));
}

// Every other stop request runs the stop sequence too and exits with 0:
// Ctrl-C's SIGINT, SIGHUP, and the terminal closing under the program (stdin
// is /dev/null but for the terminal: its end of input is no key).
TEST_F(quorvane, StopRequestsStopInOrder) {
    const struct {
        const char* what;
        int sig;  // 0: close the terminal
        const char* line;
    } cases[] = {
        {"SIGINT", SIGINT, "recv sigval = 2"},
        {"SIGHUP", SIGHUP, "recv sigval = 1"},
        {"terminal closed", 0, "recv sigval = 1"},
    };
    int n = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string name = inst + "s" + std::to_string(n++);
        logsrv.receive(0);
        const size_t from = logsrv.lines().size();
        child c;
        // A log URL that already ends in '/' gets the instance name all the same.
        std::vector<std::string> a = args(name);
        a[1] += "/";
        ASSERT_NO_FATAL_FAILURE(startrunning(c, a, k.sig == 0));
        if (k.sig != 0) {
            ASSERT_TRUE(c.stop(k.sig));
        } else {
            ASSERT_NO_FATAL_FAILURE(waitkeys(c));
            c.closeout();
            ASSERT_TRUE(c.wait());
            EXPECT_TRUE(c.exitedzero());
        }
        expectstopped(k.line, from);
        ASSERT_GT(logsrv.headers().size(), from);
        EXPECT_NE(logsrv.headers()[from].find("\"cabin\":\"" + name + "\""), std::string::npos)
            << logsrv.headers()[from];
    }
}

// Started as a background job of a terminal, the program leaves the terminal
// alone (the kernel would stop it for touching it) and goes about its work.
TEST_F(quorvane, BackgroundJobRunsWithoutConsoleKeys) {
    ioserver io;
    logsrv.receive(0);
    const size_t from = logsrv.lines().size();
    child c;
    runopts o;
    o.out = runopts::terminal;
    o.background = true;
    ASSERT_TRUE(c.start(pd.program(), argswith(0, ipcurl(io.port())), o));
    ASSERT_TRUE(logsrv.waitfor(successline, 20000, from)) << logsrv.dump();
    EXPECT_TRUE(io.acceptlogin()) << logsrv.dump();
    expectrestored(c);  // echo and lines as before
    ASSERT_TRUE(c.stop());
    expectstopped("recv sigval = 15", from);
}

TEST_F(quorvane, QKeyOnTerminalStopsAndRestoresTerminal) {
    child c;
    startrunning(c, args(inst), true);
    // Keys are read one by one without echo once the console is set up.
    ASSERT_NO_FATAL_FAILURE(waitkeys(c));
    ASSERT_EQ(::write(c.out, "#", 1), 1);  // another key changes nothing
    ASSERT_EQ(::write(c.out, "q", 1), 1);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    expectstopped("");
    EXPECT_FALSE(logsrv.hassub("recv sigval"));
    EXPECT_NE(c.output.find(std::string(versiontext) + ". type 'q' or 'Q' to exit zeldblink."),
              std::string::npos)
        << c.output;
    EXPECT_EQ(c.output.find('#'), std::string::npos) << "key was echoed: " << c.output;
    expectrestored(c);
}

TEST_F(quorvane, CapitalQAndSigtermOnTerminalRestoreIt) {
    {
        child c;
        startrunning(c, args(inst), true);
        ASSERT_NO_FATAL_FAILURE(waitkeys(c));
        ASSERT_TRUE(c.stop());
        expectrestored(c);
    }
    child c;
    startrunning(c, args(inst + "b"), true);
    ASSERT_NO_FATAL_FAILURE(waitkeys(c));
    ASSERT_EQ(::write(c.out, "Q", 1), 1);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
}

TEST_F(quorvane, SecondInstanceWithSameNameIsRefused) {
    child first;
    startrunning(first, args(inst));

    child second;
    ASSERT_NO_FATAL_FAILURE(runout(second, args(inst)));
    EXPECT_EQ(second.output, "start velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor(inst + ".mutex ERROR_ALREADY_EXISTS")) << logsrv.dump();

    // Another name starts beside it.
    child other;
    startrunning(other, args(inst + "x"));
    ASSERT_TRUE(other.stop()) << logsrv.dump();

    ASSERT_TRUE(first.stop());
}

TEST_F(quorvane, KilledInstanceLeavesNoLock) {
    {
        child c;
        startrunning(c, args(inst));
        c.kill();
    }
    child again;
    startrunning(again, args(inst));
    EXPECT_FALSE(logsrv.hassub("ERROR_ALREADY_EXISTS"));
    ASSERT_TRUE(again.stop());
}

TEST_F(quorvane, IpcUrlWithoutPortFailsAfterLinkStart) {
    child c;
    ASSERT_NO_FATAL_FAILURE(runout(c, argswith(0, "ipc://127.0.0.1")));
    EXPECT_EQ(c.output, "start velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor("init ipc failed, url = ipc://127.0.0.1.")) << logsrv.dump();
    EXPECT_FALSE(logsrv.has(successline));
}

TEST_F(quorvane, BadLogUrlIsPrintedNotLogged) {
    const struct {
        const char* url;
        const char* output;
    } cases[] = {
        {"udp://:999", "parse log url failed.\n"},  // no host
        {"udp://nosuch.invalid:999", "log url host nosuch.invalid does not resolve.\n"},
    };
    for (const auto& k : cases) {
        child c;
        ASSERT_NO_FATAL_FAILURE(runout(c, argswith(1, k.url)));
        EXPECT_EQ(c.output, std::string(k.output) + "start velmarhost failed.\n");
    }
}

TEST_F(quorvane, MissingConfigurationBesideTheProgramFailsStart) {
    child c;
    ASSERT_NO_FATAL_FAILURE(runout(c, argswith(3, "missing.ini"), true));
    // The path is the program's own directory, "config/", then the file.
    std::string path = (dir / "bin" / "config" / "missing.ini").string();
    // Why it failed is on standard error as well (merged into the output
    // here), for a user without a log server.
    EXPECT_EQ(c.output, "load config " + path + " failed.\nstart " + versiontext +
                            " failed.\nstart velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor("load config " + path + " failed.")) << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor(std::string("\nstart ") + versiontext + " failed."))
        << logsrv.dump();
    EXPECT_FALSE(logsrv.hassub("init ipc failed"));
}

TEST_F(quorvane, OverlongInstanceNameFailsWithoutLogLine) {
    std::string longname(74, 'n');
    child c;
    ASSERT_NO_FATAL_FAILURE(runout(c, args(longname)));
    EXPECT_EQ(c.output, "start velmarhost failed.\n");
    ASSERT_TRUE(logsrv.waitfor(std::string("\n  starting ") + versiontext + " ..."));
    logsrv.receive(100);
    EXPECT_EQ(logsrv.lines().size(), 1u) << logsrv.dump();
}

TEST_F(quorvane, EmptyLogUrlStillPrints) {
    child c;
    spawn(c, argswith(1, ""));
    // Nothing is logged, so wait for the prompt on standard output instead.
    until([&] {
        c.readout();
        return c.output.find(promptline) != std::string::npos;
    });
    ASSERT_EQ(c.output, promptline);
    ASSERT_TRUE(c.stop());
    logsrv.receive(0);
    EXPECT_TRUE(logsrv.lines().empty());
}

TEST_F(quorvane, ConnectsToTheIoServer) {
    ioserver io;
    child c;
    startrunning(c, argswith(0, ipcurl(io.port())));
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc connected.")) << logsrv.dump();
    ASSERT_TRUE(io.accept());
    io.close();  // the IO server goes away
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect")) << logsrv.dump();
    ASSERT_TRUE(c.stop());
}

TEST_F(quorvane, ExitOrderFromTheIoServerStopsInOrder) {
    ioserver io;
    child c;
    startrunning(c, argswith(0, ipcurl(io.port())));
    ASSERT_TRUE(io.accept());

    // An order with another code is not an exit order.
    for (uint32_t code : {90u, 91u}) {
        body_unkown<zo::string> body;
        body.vi32 = code;
        ASSERT_TRUE(io.sendbytes(package(2004, body, code)));
    }
    ASSERT_TRUE(c.wait());
    io.close();
    EXPECT_TRUE(c.exitedzero());
    expectstopped("read ctrl order PROCESS_CTRL_EXIT from io-server.");
    EXPECT_FALSE(logsrv.hassub("recv sigval"));
    int order = 0;
    for (const auto& l : logsrv.lines()) order += l.find("PROCESS_CTRL_EXIT") != std::string::npos;
    EXPECT_EQ(order, 1);
}

}  // namespace
