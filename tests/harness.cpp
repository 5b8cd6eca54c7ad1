#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

using clk = std::chrono::steady_clock;

clk::time_point after(int maxms) {
    return clk::now() + std::chrono::milliseconds(maxms);
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

std::string str(const zo::string& s) {
    return std::string(s.data(), s.size());
}

std::string package(uint32_t funid, zo::cls_protoc3<zo::string>& body, uint32_t seqno) {
    pb3head head;
    head.ver = 300;
    head.funid = funid;
    head.seqno = seqno;
    zo::string out;
    EXPECT_TRUE(pkgpb3::makepkg(head, body, out));
    return str(out);
}

tagval intvalue(const std::string& name, int64_t v, int64_t time) {
    tagval t;
    t.name = name.c_str();
    t.time = time;
    t.quality = 192;
    t.vtype = 4;
    t.vint = v;
    return t;
}

std::string ipcurl(int port) {
    return "ipc://127.0.0.1:" + std::to_string(port);
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

progdir::~progdir() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool progdir::make(const std::string& prefix, std::string* err) {
    const char* bin = ::getenv("ZO_BIN");
    if (!bin) {
        *err = "ZO_BIN must name the directory of the built programs";
        return false;
    }
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        *err = "mkdtemp " + tmpl + " failed";
        return false;
    }
    dir_ = tmpl;
    std::error_code ec;
    fs::create_directories(dir_ / "bin" / "config", ec);
    program_ = dir_ / "bin" / "Quorvane";
    // The program finds config/ beside its own file, so it runs from a
    // directory of its own; a hard link keeps that cheap (/proc/self/exe then
    // names the link), a copy serves across file systems.
    if (!ec) fs::create_hard_link(fs::path(bin) / "Quorvane", program_, ec);
    if (ec) fs::copy_file(fs::path(bin) / "Quorvane", program_, ec);
    if (ec) *err = ec.message();
    return !ec;
}

bool progdir::writeconfig(const std::string& name, const std::string& dburl,
                          const std::string& cachepath) {
    std::ofstream f(dir_ / "bin" / "config" / name);
    f << "{ /* the test's own database */\n"
      << "  \"dblinks\": [ { \"node\": \"n1\", \"url\": \"" << dburl
      << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
      << "  \"cache_path\": \"" << cachepath << "\"\n}\n";
    f.close();
    return !f.fail();
}

child::~child() {
    kill();
    if (out >= 0) ::close(out);
}

bool child::start(const fs::path& program, const std::vector<std::string>& args, const runopts& o) {
    // An object may run the program again after the last run ended.
    exited = false;
    status = 0;
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

void child::kill() {
    if (pid > 0 && !exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        exited = true;
    }
}

::testing::AssertionResult child::exitedzero() const {
    if (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "exited " << exited << " status " << (WIFEXITED(status) ? "code " : "signal ")
           << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status)) << " output [" << output
           << "]";
}

::testing::AssertionResult child::stop(int sig, int maxms) {
    if (pid <= 0 || ::kill(pid, sig) != 0) {
        return ::testing::AssertionFailure() << "signal " << sig << " not sent";
    }
    if (!wait(maxms)) return ::testing::AssertionFailure() << "no exit after signal " << sig;
    return exitedzero();
}

ioserver::~ioserver() {
    close();
}

void ioserver::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    split.reset();
}

bool ioserver::accept(int maxms) {
    close();
    pollfd p{listener.fd, POLLIN, 0};
    if (::poll(&p, 1, maxms) != 1) return false;
    fd = ::accept(listener.fd, nullptr, nullptr);
    return fd >= 0;
}

bool ioserver::next(pb3head* head, zo::string* pkg, int maxms) {
    auto end = after(maxms);
    for (;;) {
        if (pkgpb3::splitpkg(split, nullptr, 0, *pkg) == 1) {
            return pkgpb3::parsehead(*pkg, *head);
        }
        if (clk::now() > end) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            char buf[65536];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            split.feed(buf, static_cast<uint32_t>(n));
        }
    }
}

bool ioserver::nextof(uint32_t funid, pb3head* head, zo::string* pkg, int maxms) {
    auto end = after(maxms);
    while (clk::now() < end) {
        if (!next(head, pkg, maxms)) return false;
        if (head->funid == funid) return true;
    }
    return false;
}

void ioserver::drain() {
    pollfd p{fd, POLLIN, 0};
    while (fd >= 0 && ::poll(&p, 1, 0) == 1) {
        char buf[65536];
        if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
}

bool ioserver::sendbytes(const std::string& b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool ioserver::send(uint32_t funid, zo::cls_protoc3<zo::string>& body) {
    return sendbytes(package(funid, body, ++seq));
}

bool ioserver::acceptlogin(int maxms) {
    if (!accept(maxms)) return false;
    zo::string pkg;
    if (!next(&loginhead, &pkg, maxms) || loginhead.funid != 2001) return false;
    return pkgpb3::parsebody(pkg, loginhead, loginreq);
}

bool ioserver::answerlogin(uint32_t retcode, const char* retmsg, uint32_t f95) {
    loginbody reply;
    reply.retcode = retcode;
    reply.retmsg = retmsg;
    reply.f95 = f95;
    return sendbytes(package(2002, reply, loginhead.seqno));
}

std::vector<std::string> sqlrows(const std::string& path, const std::string& sql) {
    std::vector<std::string> out;
    if (!fs::exists(path)) return out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                std::string row;
                for (int i = 0; i < sqlite3_column_count(st); ++i) {
                    if (i) row += "|";
                    const unsigned char* t = sqlite3_column_text(st, i);
                    row += t ? reinterpret_cast<const char*>(t) : "NULL";
                }
                out.push_back(row);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

std::string sqlone(const std::string& path, const std::string& sql) {
    std::vector<std::string> r = sqlrows(path, sql);
    return r.empty() ? std::string() : r[0].substr(0, r[0].find('|'));
}

bool sqlreal(const std::string& path, const std::string& sql, double* out) {
    bool got = false;
    if (!fs::exists(path)) return false;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) {
            *out = sqlite3_column_double(st, 0);
            got = true;
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return got;
}

bool sqlexec(const std::string& path, const std::string& sql) {
    if (!fs::exists(path)) return false;
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 10000);
        ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return ok;
}

std::vector<std::string> waitrows(const std::string& path, const std::string& sql, size_t n,
                                  int maxms) {
    std::vector<std::string> r;
    until([&] { return (r = sqlrows(path, sql)).size() >= n; }, maxms, [] { sleepms(50); });
    return r;
}

}  // namespace e2e
