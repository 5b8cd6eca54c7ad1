#include "tests/support/testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

extern char** environ;

namespace zotest {

namespace {

using clk = std::chrono::steady_clock;

clk::time_point after(int maxms) {
    return clk::now() + std::chrono::milliseconds(maxms);
}

// count and find look at "<level> <text>", so that a test may name the level.
bool shows(const reclog::line& l, const std::string& part) {
    return (std::to_string(l.level) + " " + l.text).find(part) != std::string::npos;
}

void sleepms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The environment of a child: ours, with the test clock preloaded when asked.
std::vector<std::string> childenv(const runopts& o) {
    bool clock = o.clockspeed > 1;
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (clock && (v.rfind("LD_PRELOAD=", 0) == 0 || v.rfind("ZO_TESTCLOCK=", 0) == 0 ||
                      v.rfind("ASAN_OPTIONS=", 0) == 0))
            continue;
        envs.push_back(v);
    }
    if (clock) {
        int64_t start = o.clockstartms;
        if (start == 0) {
            start = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        }
        envs.push_back(std::string("LD_PRELOAD=") + ZO_TESTCLOCK_LIB);
        envs.push_back("ZO_TESTCLOCK=" + std::to_string(start) + " " +
                       std::to_string(o.clockspeed));
        // A sanitizer build wants its runtime first; the clock library only
        // wraps one call.
        envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return envs;
}

// The program of a background child, for the signal handler of its shell.
volatile pid_t jobpid = -1;

// Runs the program as a shell runs `program &`, in the forked child that
// leads the terminal's session: the program in a process group of its own,
// outside the terminal's foreground, and this process staying its parent in
// the foreground group, so that the kernel would stop the program for
// touching the terminal (an orphaned group would only get EIO).  The stop
// signals are passed on, and the exit is the program's.  Only
// async-signal-safe calls: the test process has threads.
[[noreturn]] void runasjob(char* const* argv, char* const* envp) {
    const pid_t shell = ::getpid();
    pid_t g = ::fork();
    if (g == 0) {
        ::setpgid(0, 0);
        // Killed with its shell, as the harness kills only the shell.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != shell) ::_exit(126);
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    if (g < 0) ::_exit(126);
    ::setpgid(g, g);  // from both sides: whichever runs first
    jobpid = g;
    struct sigaction sa = {};
    sa.sa_handler = [](int sig) { ::kill(jobpid, sig); };
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    int st = 0;
    while (::waitpid(g, &st, 0) < 0) {
    }
    ::_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
}

std::vector<char*> ptrs(std::vector<std::string>& v) {
    std::vector<char*> p;
    for (auto& s : v) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

tmpdir::tmpdir(const char* prefix) {
    std::string t =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(t.data())) path = t + "/";
}

tmpdir::~tmpdir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string tmpdir::write(const std::string& name, const std::string& body) const {
    std::string p = file(name);
    if (FILE* f = std::fopen(p.c_str(), "wb")) {
        std::fwrite(body.data(), 1, body.size(), f);
        std::fclose(f);
    }
    return p;
}

int reclog::wlog(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = keep(level, fmt, ap);
    va_end(ap);
    return n;
}

int reclog::append(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = keep(level, fmt, ap);
    va_end(ap);
    return n;
}

int reclog::keep(int level, const char* fmt, va_list ap) {
    char buf[4096];
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> g(mu_);
    if (level > level_) return 0;
    lines_.push_back({level, buf});
    return n > 0 ? n : 1;
}

std::vector<reclog::line> reclog::lines() {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
}

int reclog::count(const std::string& part) {
    std::lock_guard<std::mutex> g(mu_);
    int n = 0;
    for (const line& l : lines_) n += shows(l, part);
    return n;
}

int reclog::countexact(const std::string& text, int level) {
    std::lock_guard<std::mutex> g(mu_);
    int n = 0;
    for (const line& l : lines_) n += l.text == text && (level < 0 || l.level == level);
    return n;
}

int reclog::find(const std::string& part) {
    std::lock_guard<std::mutex> g(mu_);
    for (size_t i = 0; i < lines_.size(); ++i)
        if (shows(lines_[i], part)) return static_cast<int>(i);
    return -1;
}

void reclog::reset() {
    std::lock_guard<std::mutex> g(mu_);
    lines_.clear();
}

heldport::heldport(int type, bool listening, int rcvbuf, int backlog) {
    fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port = ntohs(a.sin_port);
}

heldport::~heldport() {
    if (fd >= 0) ::close(fd);
}

std::string uniquename(const std::string& prefix) {
    static std::atomic<int> serial{0};
    return prefix + std::to_string(::getpid()) + "n" + std::to_string(serial++);
}

bool until(const std::function<bool()>& cond, int maxms, const std::function<void()>& idle) {
    auto end = after(maxms);
    while (!cond()) {
        if (clk::now() > end) return false;
        if (idle) {
            idle();
        } else {
            sleepms(20);
        }
    }
    return true;
}

std::string bindir() {
    const char* bin = ::getenv("ZO_BIN");
    return bin ? bin : "";
}

child::~child() {
    kill();
    if (out >= 0) ::close(out);
}

bool child::start(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const runopts& o) {
    // An object may run a program again after the last run ended.
    exited = false;
    status = 0;
    closeout();
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> envs = childenv(o);
    std::vector<char*> argv = ptrs(all);
    std::vector<char*> envp = ptrs(envs);
    if (o.out == runopts::terminal) {
        int master = -1;
        pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (o.background) runasjob(argv.data(), envp.data());
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (pid < 0) return false;
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        out = master;
        return true;
    }
    int p[2] = {-1, -1};
    if (o.out == runopts::capture && ::pipe2(p, O_CLOEXEC) != 0) return false;
    pid = ::fork();
    if (pid == 0) {
        int nul = ::open("/dev/null", O_RDWR);
        ::dup2(nul, 0);
        ::dup2(o.out == runopts::capture ? p[1] : nul, 1);
        if (o.errtoo && o.out == runopts::capture) ::dup2(p[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (o.out == runopts::capture) {
        ::close(p[1]);
        ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
        out = p[0];
    }
    return pid > 0;
}

void child::readout() {
    if (out < 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
    }
}

bool child::readuntil(const std::string& want, int maxms) {
    auto end = after(maxms);
    for (;;) {
        readout();
        if (output.find(want) != std::string::npos) return true;
        if (out < 0 || clk::now() > end) return false;
        pollfd p{out, POLLIN, 0};
        ::poll(&p, 1, 50);
        if (p.revents & (POLLHUP | POLLERR) && !(p.revents & POLLIN)) {
            readout();
            return output.find(want) != std::string::npos;
        }
    }
}

void child::closeout() {
    if (out >= 0) ::close(out);
    out = -1;
}

bool child::alive() {
    if (exited || pid <= 0) return false;
    if (::waitpid(pid, &status, WNOHANG) == pid) exited = true;
    return !exited;
}

bool child::wait(int maxms) {
    auto end = after(maxms);
    while (alive()) {
        readout();
        if (clk::now() > end) {
            kill();
            return false;
        }
        sleepms(10);
    }
    readout();
    return exited;
}

int child::code() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void child::kill() {
    if (pid > 0 && !exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        exited = true;
    }
}

::testing::AssertionResult child::exitedzero() const {
    if (exited && code() == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "exited " << exited << " code " << code() << " output [" << output << "]";
}

::testing::AssertionResult child::stop(int sig, int maxms) {
    if (pid <= 0 || ::kill(pid, sig) != 0) {
        return ::testing::AssertionFailure() << "signal " << sig << " not sent";
    }
    if (!wait(maxms)) return ::testing::AssertionFailure() << "no exit after signal " << sig;
    return exitedzero();
}

}  // namespace zotest
