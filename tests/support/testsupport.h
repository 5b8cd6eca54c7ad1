// testsupport.h - what tests of every folder share: a temporary directory, a
// logger that keeps its lines, loopback ports, and child processes.
//
// Every wait takes a bound (maxms) against hanging only.  Destructors undo
// what was made (the directory goes, sockets close, a running child is
// killed and reaped).  Thread-safety: one thread per object, except reclog,
// which any thread may write and read.
#pragma once
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ilog.h"
#include "gtest/gtest.h"

// The product's types are named without their namespace in tests.
using namespace zo;

namespace zotest {

// A fresh directory under the system's temp dir.  path ends in '/'; it is
// empty when the directory could not be made, and whoever uses it then fails
// on the first file it opens there.
struct tmpdir {
    std::string path;

    explicit tmpdir(const char* prefix = "zotest");
    ~tmpdir();
    tmpdir(const tmpdir&) = delete;
    tmpdir& operator=(const tmpdir&) = delete;

    std::string file(const std::string& name) const { return path + name; }
    // Writes name with body and returns its path.
    std::string write(const std::string& name, const std::string& body) const;
};

// Keeps every line logged at or above (numerically at most) its level.
class reclog : public zo::ilog {
  public:
    struct line {
        int level;
        std::string text;
    };

    int open(const char*) override { return 0; }
    int wlog(int level, const char* fmt, ...) override;
    int append(int level, const char* fmt, ...) override;
    int getlevel() override { return level_; }
    int setlevel(int l) override { return level_ = l; }
    void idle() override {}
    void release() override {}

    std::vector<line> lines();
    // Lines that contain part.
    int count(const std::string& part);
    // Lines with exactly this text (and level, when given).
    int countexact(const std::string& text, int level = -1);
    // Index of the first line containing part, -1 when none.
    int find(const std::string& part);
    void reset();

  private:
    int keep(int level, const char* fmt, va_list ap);

    std::mutex mu_;
    std::vector<line> lines_;
    int level_ = 999;
};

// A loopback port held for a test: TCP bound without listening (a connect
// to it is refused), TCP listening, or UDP; rcvbuf > 0 sets SO_RCVBUF before
// the bind.  port is 0 when the socket could not be had.
struct heldport {
    int fd = -1;
    int port = 0;
    explicit heldport(int type, bool listening = false, int rcvbuf = 0, int backlog = 4);
    ~heldport();
    heldport(const heldport&) = delete;
    heldport& operator=(const heldport&) = delete;
};

// A name no other test run uses at the same time: prefix, process id, serial.
std::string uniquename(const std::string& prefix);

// Calls cond until it is true, for at most maxms; between calls idle runs
// (or a short sleep when there is none).
bool until(const std::function<bool()>& cond, int maxms = 20000,
           const std::function<void()>& idle = {});

// The directory of the built programs ($ZO_BIN).
std::string bindir();

// How a child runs: its standard output discarded, read through a pipe (with
// its standard error too when errtoo), or a new pseudo-terminal (then also
// its standard input and error).  On a terminal with background, the program
// runs as a shell's `program &` (see runasjob in testsupport.cpp): pid is
// then the shell's, which passes SIGTERM, SIGINT and SIGHUP on and exits as
// the program did.  With clockspeed > 1 the test clock library is preloaded:
// its wall clock reads clockstartms (now when 0) at start and runs clockspeed
// times as fast.
struct runopts {
    enum stdoutmode { discard, capture, terminal } out = capture;
    bool errtoo = false;
    bool background = false;
    int64_t clockstartms = 0;
    int clockspeed = 1;
};

// One run of a program.
class child {
  public:
    child() = default;
    ~child();
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    // Starts program with args; stdin is /dev/null unless on a terminal.
    // REQUIRES: no earlier run of this object is still alive.
    bool start(const std::filesystem::path& program, const std::vector<std::string>& args,
               const runopts& o = {});
    // Takes what the child wrote so far into output.
    void readout();
    // Reads until output contains want, the output ends or maxms pass.
    bool readuntil(const std::string& want, int maxms = 10000);
    // False once it has exited (and reaped).
    bool alive();
    // Closes our end of its terminal or pipe: a terminal hangs up.
    void closeout();
    // Waits for the exit, at most maxms; on that bound the child is killed
    // and false returned.
    bool wait(int maxms = 20000);
    // The exit code after wait(), 128 + the signal when one ended it.
    int code() const;
    void kill();
    // Exited by itself with code 0 (the output in the message otherwise).
    ::testing::AssertionResult exitedzero() const;
    // Sends sig, waits for the exit and expects code 0.
    ::testing::AssertionResult stop(int sig = SIGTERM, int maxms = 20000);

    pid_t pid = -1;
    int out = -1;  // read end of its standard output (the pty master on a terminal)
    std::string output;
    int status = 0;
    bool exited = false;
};

}  // namespace zotest
