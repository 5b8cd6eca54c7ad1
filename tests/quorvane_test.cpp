// End-to-end tests of the Quorvane program: each runs the real binary as a
// child process in a private copy of the program directory (bin/Quorvane and
// bin/config/), talks to it over loopback only, and stops it before the test
// ends.  Log lines are received by a UDP log server of the test's own.
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "tests/udpsink.h"

namespace fs = std::filesystem;

namespace {

const char versiontext[] = "Quorvane file version 1.0.3.4, build 2025-7-2";
const std::string successline = std::string("start ") + versiontext + " success. loglevel = dbg";
const std::string promptline = std::string(versiontext) + ". type 'q' or 'Q' to exit zeldblink.\n";
const char usagetext[] =
    "usage:\n"
    "  Quorvane ipcurl logurl instname cfgfile loglevel [cachepath]\n"
    "demo:\n"
    "  Quorvane ipc://127.0.0.1:802 udp://192.168.1.10:999  simu1 simu1.ini dbg\n";

// One run of the program.
struct child {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output (the pty master with a terminal)
    bool pty = false;
    std::string output;
    int status = 0;
    bool exited = false;

    void readout() {
        if (out < 0) return;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) break;
            output.append(buf, static_cast<size_t>(n));
        }
    }
    // Waits for the exit, at most maxms (a bound against hanging only); on
    // that bound the child is killed and false returned.
    bool wait(int maxms = 20000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxms);
        while (!exited) {
            readout();
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                exited = true;
                break;
            }
            if (std::chrono::steady_clock::now() > end) {
                kill();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        readout();
        return true;
    }
    void kill() {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            exited = true;
        }
    }
    ::testing::AssertionResult exitedzero() const {
        if (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "exited " << exited << " status " << (WIFEXITED(status) ? "code " : "signal ")
               << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status)) << " output ["
               << output << "]";
    }
    ~child() {
        kill();
        if (out >= 0) ::close(out);
    }
};

class quorvane : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = ::getenv("ZO_BIN");
        ASSERT_NE(bin, nullptr) << "ZO_BIN must name the directory of the built programs";
        char tmpl[] = "/tmp/quorvane_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "bin" / "config");
        program = dir / "bin" / "Quorvane";
        std::error_code ec;
        // A hard link keeps the copy cheap; /proc/self/exe then names the link.
        fs::create_hard_link(fs::path(bin) / "Quorvane", program, ec);
        if (ec) fs::copy_file(fs::path(bin) / "Quorvane", program, ec);
        ASSERT_FALSE(ec) << ec.message();
        writeconfig("test.ini");
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(refused.port, 0);
        static std::atomic<int> serial{0};
        inst = "qt" + std::to_string(::getpid()) + "n" + std::to_string(serial++);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void writeconfig(const std::string& name) {
        std::ofstream f(dir / "bin" / "config" / name);
        f << "{ /* a database file of the test's own */\n"
          << "  \"dblinks\": [ { \"node\": \"n1\", \"url\": \"sqlite://localhost"
          << (dir / "rt.db").string() << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
          << "  \"cache_path\": \"" << (dir / "cache").string() << "\"\n}\n";
    }

    std::string ipcurl(int port) const { return "ipc://127.0.0.1:" + std::to_string(port); }

    // The usual command line: refused IPC port, the test's log server, dbg.
    std::vector<std::string> args(const std::string& name) const {
        return {ipcurl(refused.port), logsrv.url(), name, "test.ini", "dbg"};
    }

    // Starts the program; stdin is /dev/null, or a new pseudo-terminal.
    void spawn(child& c, const std::vector<std::string>& a, bool pty = false) {
        std::vector<std::string> all{program.string()};
        all.insert(all.end(), a.begin(), a.end());
        std::vector<char*> argv;
        for (auto& s : all) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        c.pty = pty;
        if (pty) {
            int master = -1;
            pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
            if (pid == 0) {
                ::execv(argv[0], argv.data());
                ::_exit(127);
            }
            ASSERT_GT(pid, 0);
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
            c.pid = pid;
            c.out = master;
            return;
        }
        int p[2];
        ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            int nul = ::open("/dev/null", O_RDONLY);
            ::dup2(nul, 0);
            ::dup2(p[1], 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        ::close(p[1]);
        ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
        c.pid = pid;
        c.out = p[0];
    }

    // Waits until the program has switched its terminal to single keys.
    static void waitkeys(child& c) {
        struct termios t;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            ASSERT_EQ(::tcgetattr(c.out, &t), 0);
            if (!(t.c_lflag & (ECHO | ICANON))) return;
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "terminal never switched to keys";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Starts the program and waits until it has logged its start.
    void startrunning(child& c, const std::vector<std::string>& a, bool pty = false) {
        logsrv.receive(0);
        size_t from = logsrv.lines().size();
        spawn(c, a, pty);
        ASSERT_TRUE(logsrv.waitfor(successline, 20000, from)) << logsrv.dump();
    }

    // The stop sequence was logged in order, after the given first line.
    void expectstopped(const std::string& first) {
        logsrv.receive(0);
        int a = first.empty() ? -1 : logsrv.indexof(first);
        int b = logsrv.indexof("stopping ...");
        int c = logsrv.indexof("stopped gracefully.\n");
        if (!first.empty()) {
            EXPECT_GE(a, 0) << logsrv.dump();
        }
        EXPECT_GT(b, a) << logsrv.dump();
        EXPECT_GT(c, b) << logsrv.dump();
    }

    fs::path dir;
    fs::path program;
    std::string inst;
    udpsink logsrv;
    heldport refused{SOCK_STREAM};
};

TEST_F(quorvane, TooFewArgumentsPrintUsage) {
    for (size_t n : {0u, 1u, 4u}) {
        std::vector<std::string> a = args(inst);
        a.resize(n);
        child c;
        spawn(c, a);
        ASSERT_TRUE(c.wait());
        EXPECT_TRUE(c.exitedzero());
        EXPECT_EQ(c.output, usagetext) << n << " arguments";
    }
    logsrv.receive(0);
    EXPECT_TRUE(logsrv.lines().empty());
}

TEST_F(quorvane, SigtermStopsInOrder) {
    child c;
    startrunning(c, args(inst));
    ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    EXPECT_EQ(c.output, promptline);
    expectstopped("recv sigval = 15");
    // The instance name is the log source: it is the path of the log URL.
    ASSERT_FALSE(logsrv.headers().empty());
    EXPECT_NE(logsrv.headers().front().find("\"cabin\":\"" + inst + "\""), std::string::npos)
        << logsrv.headers().front();
    EXPECT_TRUE(logsrv.has(std::string("\n  starting ") + versiontext + " ..."));
}

TEST_F(quorvane, SigintStopsInOrder) {
    child c;
    // A log URL that already ends in '/' gets the instance name all the same.
    std::vector<std::string> a = args(inst);
    a[1] += "/";
    startrunning(c, a);
    ASSERT_EQ(::kill(c.pid, SIGINT), 0);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    expectstopped("recv sigval = 2");
    ASSERT_FALSE(logsrv.headers().empty());
    EXPECT_NE(logsrv.headers().front().find("\"cabin\":\"" + inst + "\""), std::string::npos)
        << logsrv.headers().front();
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
    struct termios t;
    EXPECT_FALSE(logsrv.hassub("recv sigval"));
    EXPECT_NE(c.output.find(std::string(versiontext) + ". type 'q' or 'Q' to exit zeldblink."),
              std::string::npos)
        << c.output;
    EXPECT_EQ(c.output.find('#'), std::string::npos) << "key was echoed: " << c.output;
    ASSERT_EQ(::tcgetattr(c.out, &t), 0);
    EXPECT_TRUE(t.c_lflag & ECHO);
    EXPECT_TRUE(t.c_lflag & ICANON);
}

TEST_F(quorvane, CapitalQAndSigtermOnTerminalRestoreIt) {
    {
        child c;
        startrunning(c, args(inst), true);
        ASSERT_NO_FATAL_FAILURE(waitkeys(c));
        ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
        ASSERT_TRUE(c.wait());
        EXPECT_TRUE(c.exitedzero());
        struct termios t;
        ASSERT_EQ(::tcgetattr(c.out, &t), 0);
        EXPECT_TRUE(t.c_lflag & ECHO);
        EXPECT_TRUE(t.c_lflag & ICANON);
    }
    child c;
    startrunning(c, args(inst + "b"), true);
    ASSERT_NO_FATAL_FAILURE(waitkeys(c));
    ASSERT_EQ(::write(c.out, "Q", 1), 1);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
}

TEST_F(quorvane, EndOfInputIsNoKey) {
    // stdin is /dev/null: the program must keep running until signalled.
    child c;
    startrunning(c, args(inst));
    ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    // Had end-of-file counted as a key, it would have stopped without a signal.
    expectstopped("recv sigval = 15");
}

TEST_F(quorvane, SecondInstanceWithSameNameIsRefused) {
    child first;
    startrunning(first, args(inst));

    child second;
    spawn(second, args(inst));
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(second.exitedzero());
    EXPECT_EQ(second.output, "start velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor(inst + ".mutex ERROR_ALREADY_EXISTS")) << logsrv.dump();

    // Another name starts beside it.
    child other;
    startrunning(other, args(inst + "x"));
    ASSERT_EQ(::kill(other.pid, SIGTERM), 0);
    ASSERT_TRUE(other.wait());
    EXPECT_TRUE(other.exitedzero()) << logsrv.dump();

    ASSERT_EQ(::kill(first.pid, SIGTERM), 0);
    ASSERT_TRUE(first.wait());
    EXPECT_TRUE(first.exitedzero());
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
    ASSERT_EQ(::kill(again.pid, SIGTERM), 0);
    ASSERT_TRUE(again.wait());
    EXPECT_TRUE(again.exitedzero());
}

TEST_F(quorvane, IpcUrlWithoutPortFailsAfterLinkStart) {
    std::vector<std::string> a = args(inst);
    a[0] = "ipc://127.0.0.1";
    child c;
    spawn(c, a);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    EXPECT_EQ(c.output, "start velmarhost failed.\n");
    EXPECT_TRUE(logsrv.waitfor("init ipc failed, url = ipc://127.0.0.1.")) << logsrv.dump();
    EXPECT_FALSE(logsrv.has(successline));
}

TEST_F(quorvane, BadLogUrlIsPrintedNotLogged) {
    std::vector<std::string> a = args(inst);
    a[1] = "udp://:999";  // no host
    child c;
    spawn(c, a);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    EXPECT_EQ(c.output, "parse log url failed.\nstart velmarhost failed.\n");
}

TEST_F(quorvane, MissingConfigurationBesideTheProgramFailsStart) {
    std::vector<std::string> a = args(inst);
    a[3] = "missing.ini";
    child c;
    spawn(c, a);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    EXPECT_EQ(c.output, "start velmarhost failed.\n");
    // The path is the program's own directory, "config/", then the file.
    std::string path = (dir / "bin" / "config" / "missing.ini").string();
    EXPECT_TRUE(logsrv.waitfor("load config " + path + " failed.")) << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor(std::string("\nstart ") + versiontext + " failed."))
        << logsrv.dump();
    EXPECT_FALSE(logsrv.hassub("init ipc failed"));
}

TEST_F(quorvane, OverlongInstanceNameFailsWithoutLogLine) {
    std::string longname(74, 'n');
    child c;
    spawn(c, args(longname));
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    EXPECT_EQ(c.output, "start velmarhost failed.\n");
    ASSERT_TRUE(logsrv.waitfor(std::string("\n  starting ") + versiontext + " ..."));
    logsrv.receive(100);
    EXPECT_EQ(logsrv.lines().size(), 1u) << logsrv.dump();
}

TEST_F(quorvane, EmptyLogUrlStillPrints) {
    std::vector<std::string> a = args(inst);
    a[1] = "";
    child c;
    spawn(c, a);
    // Nothing is logged, so wait for the prompt on standard output instead.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (c.output.find(promptline) == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        c.readout();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(c.output, promptline);
    ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
    logsrv.receive(0);
    EXPECT_TRUE(logsrv.lines().empty());
}

TEST_F(quorvane, ConnectsToTheIoServer) {
    heldport server(SOCK_STREAM, true);
    std::vector<std::string> a = args(inst);
    a[0] = ipcurl(server.port);
    child c;
    startrunning(c, a);
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc connected.")) << logsrv.dump();
    int conn = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    ::close(conn);  // the IO server goes away
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect")) << logsrv.dump();
    ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
    ASSERT_TRUE(c.wait());
    EXPECT_TRUE(c.exitedzero());
}

TEST_F(quorvane, ExitOrderFromTheIoServerStopsInOrder) {
    heldport server(SOCK_STREAM, true);
    std::vector<std::string> a = args(inst);
    a[0] = ipcurl(server.port);
    child c;
    startrunning(c, a);
    int conn = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(conn, 0);

    // An order with another code is not an exit order.
    for (uint32_t code : {90u, 91u}) {
        pb3head head;
        head.ver = 300;
        head.funid = 2004;
        head.seqno = code;
        body_unkown<zo::string> body;
        body.vi32 = code;
        zo::string pkg;
        ASSERT_TRUE(pkgpb3::makepkg(head, body, pkg));
        ASSERT_EQ(::send(conn, pkg.data(), pkg.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(pkg.size()));
    }
    ASSERT_TRUE(c.wait());
    ::close(conn);
    EXPECT_TRUE(c.exitedzero());
    expectstopped("read ctrl order PROCESS_CTRL_EXIT from io-server.");
    EXPECT_FALSE(logsrv.hassub("recv sigval"));
    int order = 0;
    for (const auto& l : logsrv.lines()) order += l.find("PROCESS_CTRL_EXIT") != std::string::npos;
    EXPECT_EQ(order, 1);
}

}  // namespace
