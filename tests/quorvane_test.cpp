// End-to-end tests of the Quorvane program's life: each runs the real
// binary as a child process in a private copy of the program directory
// (bin/Quorvane and bin/config/), talks to it over loopback only, and stops
// it before the test ends.  Log lines are received by a UDP log server of the
// test's own.
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
const std::string startingline = std::string("\n  starting ") + versiontext + " ...";
const char usagetext[] =
    "usage:\n"
    "  Quorvane ipcurl logurl instname cfgfile loglevel [cachepath]\n"
    "demo:\n"
    "  Quorvane ipc://127.0.0.1:802 udp://192.168.1.10:999  simu1 simu1.ini dbg\n";

using namespace e2e;

class quorvane : public qvtest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(prepare("rt.db", "cache"));
        ASSERT_GT(refused.port, 0);
    }

    // The usual command line (a refused IPC port) with argument i set to v.
    std::vector<std::string> args(const std::string& name, size_t i = 9,
                                  const std::string& v = "") const {
        std::vector<std::string> a = {ipcurl(refused.port), logsrv.url(), name, "e2e.ini", "dbg"};
        if (i < a.size()) a[i] = v;
        return a;
    }

    // Starts c and waits until it has logged its start.
    void startrunning(child& c, const std::vector<std::string>& a, const runopts& o = {}) {
        logsrv.receive(0);
        size_t from = logsrv.lines().size();
        ASSERT_TRUE(c.start(pd.program(), a, o));
        ASSERT_TRUE(logsrv.waitfor(successline, 20000, from)) << logsrv.dump();
    }

    // The terminal is back to echoed lines.
    static void expectrestored(child& c) {
        struct termios t;
        ASSERT_EQ(::tcgetattr(c.out, &t), 0);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON), tcflag_t(ECHO | ICANON));
    }

    // The stop sequence was logged in order after first, in the lines from
    // the given one on.
    void expectstopped(const std::string& first, size_t from) {
        logsrv.receive(0);
        int a = first.empty() ? static_cast<int>(from) - 1 : logsrv.findfrom(first, from);
        int b = logsrv.findfrom("stopping ...", from);
        EXPECT_TRUE(first.empty() || a >= 0) << logsrv.dump();
        EXPECT_GT(b, a) << logsrv.dump();
        EXPECT_GT(logsrv.findfrom("stopped gracefully.\n", from), b) << logsrv.dump();
    }

    heldport refused{SOCK_STREAM};
};

// A start that cannot succeed says why on the terminal (and in the log where
// there is one; standard error is merged into the output) and ends with 0.
TEST_F(quorvane, StartFailuresSayWhy) {
    const std::string cfgpath = (pd.dir() / "bin" / "config" / "missing.ini").string();
    const std::string fail = "start velmarhost failed.\n", longname(74, 'n');
    auto with = [&](size_t i, const std::string& v) { return args(inst, i, v); };
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string output;
        std::string log;  // a line logged; "" when nothing is
    } rows[] = {
        {"no arguments", {}, usagetext, ""},
        {"four arguments", {"a", "b", "c", "d"}, usagetext, ""},
        {"IPC URL without port", with(0, "ipc://127.0.0.1"),
         "init ipc failed, url = ipc://127.0.0.1.\n" + fail,
         "init ipc failed, url = ipc://127.0.0.1."},
        {"log URL without host", with(1, "udp://:999"), "parse log url failed.\n" + fail, ""},
        {"unresolved log host", with(1, "udp://nosuch.invalid:999"),
         "log url host nosuch.invalid does not resolve.\n" + fail, ""},
        {"missing config", with(3, "missing.ini"),
         "load config " + cfgpath + " failed.\nstart " + versiontext + " failed.\n" + fail,
         "load config " + cfgpath + " failed."},
        // Only the first line is logged: the name is too long for the lock.
        {"overlong instance name", args(longname),
         "instance name " + longname + " is too long: its lock name " + longname +
             ".mutex takes more than 79 bytes.\n" + fail,
         startingline},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        logsrv.receive(100);
        size_t from = logsrv.lines().size();
        child c;
        runopts o;
        o.errtoo = true;
        ASSERT_TRUE(c.start(pd.program(), r.args, o));
        ASSERT_TRUE(c.wait());
        EXPECT_TRUE(c.exitedzero());
        EXPECT_EQ(c.output, r.output);
        if (!r.log.empty()) EXPECT_TRUE(logsrv.waitfor(r.log, 20000, from)) << logsrv.dump();
        logsrv.receive(100);
        if (r.log.empty()) EXPECT_EQ(logsrv.lines().size(), from) << logsrv.dump();
        if (r.log == startingline) EXPECT_EQ(logsrv.lines().size(), from + 1) << logsrv.dump();
        EXPECT_LT(logsrv.findfrom(successline, from), 0);
        // Only a bad IPC URL gets as far as the link.
        if (r.log.rfind("init ipc", 0) != 0) EXPECT_LT(logsrv.findfrom("init ipc failed", from), 0);
    }
}

// Every stop request runs the stop sequence and exits with 0: signals, the
// terminal closing under the program (its end of input is no key), and the
// keys q and Q; a terminal is left as it was found.
TEST_F(quorvane, EveryStopRequestStopsInOrder) {
    const int closeterm = 0;
    const struct {
        const char* what;
        bool terminal;
        int sig;  // or closeterm, or a key
        const char* first;
    } rows[] = {
        {"SIGTERM", false, SIGTERM, "recv sigval = 15"},
        {"SIGINT", false, SIGINT, "recv sigval = 2"},
        {"SIGHUP", false, SIGHUP, "recv sigval = 1"},
        {"SIGTERM on a terminal", true, SIGTERM, "recv sigval = 15"},
        {"terminal closed", true, closeterm, "recv sigval = 1"},
        {"q", true, 'q', ""},
        {"Q", true, 'Q', ""},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string name = inst + "s" + std::to_string(n++);
        logsrv.receive(0);
        const size_t from = logsrv.lines().size();
        child c;
        runopts o;
        o.out = r.terminal ? runopts::terminal : runopts::capture;
        // A log URL that already ends in '/' gets the instance name all the same.
        ASSERT_NO_FATAL_FAILURE(
            startrunning(c, args(name, 1, logsrv.url() + (n % 2 ? "" : "/")), o));
        // Wait until the program has switched its terminal to single keys.
        ASSERT_TRUE(!r.terminal || until([&] {
            struct termios t;
            return ::tcgetattr(c.out, &t) == 0 && !(t.c_lflag & (ECHO | ICANON));
        }));
        if (r.sig == closeterm) {
            c.closeout();
        } else if (r.sig == 'q' || r.sig == 'Q') {
            ASSERT_EQ(::write(c.out, "#", 1), 1);  // another key changes nothing
            const char key = static_cast<char>(r.sig);
            ASSERT_EQ(::write(c.out, &key, 1), 1);
        } else {
            ::kill(c.pid, r.sig);
        }
        ASSERT_TRUE(c.wait());
        EXPECT_TRUE(c.exitedzero());
        expectstopped(r.first, from);
        // The instance name is the log source: it is the path of the log URL.
        ASSERT_GT(logsrv.headers().size(), from);
        EXPECT_NE(logsrv.headers()[from].find("\"cabin\":\"" + name + "\""), std::string::npos)
            << logsrv.headers()[from];
        EXPECT_EQ(logsrv.lines()[from], startingline);
        if (!r.terminal) EXPECT_EQ(c.output, promptline);
        if (!*r.first) EXPECT_LT(logsrv.findfrom("recv sigval", from), 0);
        if (r.sig == closeterm) continue;
        if (r.terminal) {
            EXPECT_NE(c.output.find(promptline.substr(0, promptline.size() - 1)),
                      std::string::npos);
            EXPECT_EQ(c.output.find('#'), std::string::npos) << "key was echoed: " << c.output;
            expectrestored(c);
        }
    }
}

TEST_F(quorvane, OneInstancePerNameAndAKilledOneLeavesNoLock) {
    child first, second, other, again;
    startrunning(first, args(inst));
    ASSERT_TRUE(second.start(pd.program(), args(inst)));
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(second.exitedzero());
    EXPECT_EQ(second.output, "start velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor(inst + ".mutex ERROR_ALREADY_EXISTS")) << logsrv.dump();
    // Another name starts beside it.
    startrunning(other, args(inst + "x"));
    ASSERT_TRUE(other.stop()) << logsrv.dump();
    first.kill();
    size_t from = logsrv.lines().size();
    startrunning(again, args(inst));
    EXPECT_LT(logsrv.findfrom(inst + ".mutex ERROR_ALREADY_EXISTS", from), 0);
    ASSERT_TRUE(again.stop());
}

// Started as a background job of a terminal, the program leaves the terminal
// alone (the kernel would stop it for touching it), connects to the IO
// server again when it goes away, and stops on its exit order only.
TEST_F(quorvane, BackgroundJobServesTheIoServerUntilItsExitOrder) {
    child c;
    runopts o;
    o.out = runopts::terminal;
    o.background = true;
    startrunning(c, args(inst, 0, ipcurl(io.port())), o);
    EXPECT_TRUE(io.acceptlogin()) << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc connected.")) << logsrv.dump();
    io.close();
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect")) << logsrv.dump();
    ASSERT_TRUE(io.accept());
    // An order with another code is not an exit order.
    for (uint32_t code : {90u, 91u}) {
        body_unkown<zo::string> body;
        body.vi32 = code;
        ASSERT_TRUE(io.sendbytes(package(2004, body, code)));
    }
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    expectstopped("read ctrl order PROCESS_CTRL_EXIT from io-server.", 0);
    EXPECT_FALSE(logsrv.hassub("recv sigval"));
    int order = 0;
    for (const auto& l : logsrv.lines()) order += l.find("PROCESS_CTRL_EXIT") != std::string::npos;
    EXPECT_EQ(order, 1);
    expectrestored(c);
}

TEST_F(quorvane, EmptyLogUrlStillPrints) {
    child c;
    ASSERT_TRUE(c.start(pd.program(), args(inst, 1, "")));
    // Nothing is logged, so wait for the prompt on standard output instead.
    EXPECT_TRUE(c.readuntil(promptline));
    ASSERT_TRUE(c.stop());
    EXPECT_EQ(c.output, promptline);
    logsrv.receive(0);
    EXPECT_TRUE(logsrv.lines().empty());
}

}  // namespace
