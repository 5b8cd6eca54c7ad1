// End-to-end fault tests of the link to the IO server: the built Quorvane
// program (ZO_BIN) runs as a child process in a private program directory,
// against an IO server played by this test on loopback that misbehaves on
// purpose: it sends garbage, a body that does not decode, refuses the login,
// or stops reading while the program has a lot to send.  Each case checks
// the program's log lines (received by the test's own UDP log server), that
// it keeps running, and that it logs in again afterwards.
//
// The refused-login case runs the program with a wall clock ten times as
// fast (the preloaded test clock library), so its 15-second login limit
// passes in about 1.5 s.  Every wait is bounded (against hanging only);
// nothing here asserts how long anything took.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "tests/udpsink.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using clk = std::chrono::steady_clock;

std::string str(const zo::string& s) {
    return std::string(s.data(), s.size());
}

// The IO server's side of the link: one accepted connection at a time.
class ioserver {
  public:
    heldport listener{SOCK_STREAM, true};
    int fd = -1;
    pkgsplit split;
    uint32_t seq = 100;

    ~ioserver() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        split.reset();
    }
    bool accept(int maxms) {
        close();
        pollfd p{listener.fd, POLLIN, 0};
        if (::poll(&p, 1, maxms) != 1) return false;
        fd = ::accept(listener.fd, nullptr, nullptr);
        return fd >= 0;
    }
    // The next whole package from the program, within maxms.
    bool next(pb3head* head, zo::string* pkg, int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
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
    bool nextof(uint32_t funid, pb3head* head, zo::string* pkg, int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        while (clk::now() < end) {
            if (!next(head, pkg, maxms)) return false;
            if (head->funid == funid) return true;
        }
        return false;
    }
    bool sendbytes(const std::string& b) {
        size_t off = 0;
        while (off < b.size()) {
            ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
};

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

// Runs sql on the database file: for a query the first column of the first
// row as text, for a statement "done"; "" when there is no row, the
// statement failed or the file is not there.
std::string sqlone(const std::string& path, const std::string& sql) {
    std::string out;
    if (!fs::exists(path)) return out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW && sqlite3_column_text(st, 0)) {
                out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            } else if (rc == SQLITE_DONE && sqlite3_column_count(st) == 0) {
                out = "done";
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

long rsskib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

class faultse2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = ::getenv("ZO_BIN");
        ASSERT_NE(bin, nullptr) << "ZO_BIN must name the directory of the built programs";
        char tmpl[] = "/tmp/faults_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "bin" / "config");
        program = dir / "bin" / "Quorvane";
        std::error_code ec;
        // The program finds config/ beside its own file.
        fs::create_hard_link(fs::path(bin) / "Quorvane", program, ec);
        if (ec) fs::copy_file(fs::path(bin) / "Quorvane", program, ec);
        ASSERT_FALSE(ec) << ec.message();
        dbpath = (dir / "rt.db").string();
        std::ofstream f(dir / "bin" / "config" / "faults.ini");
        f << "{ /* the test's own database */\n"
          << "  \"dblinks\": [ { \"node\": \"n1\", \"url\": \"sqlite://localhost" << dbpath
          << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
          << "  \"cache_path\": \"\"\n}\n";
        f.close();
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(io.listener.port, 0);
        static std::atomic<int> serial{0};
        inst = "fe" + std::to_string(::getpid()) + "n" + std::to_string(serial++);
    }
    void TearDown() override {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Starts the program; speed > 1 runs its wall clock that much faster.
    void spawn(int speed = 1) {
        std::vector<std::string> args{
            program.string(), "ipc://127.0.0.1:" + std::to_string(io.listener.port),
            logsrv.url(),     inst,
            "faults.ini",     "dbg"};
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (speed > 1 && (v.rfind("LD_PRELOAD=", 0) == 0 || v.rfind("ZO_TESTCLOCK=", 0) == 0 ||
                              v.rfind("ASAN_OPTIONS=", 0) == 0))
                continue;
            envs.push_back(v);
        }
        if (speed > 1) {
            int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
            envs.push_back(std::string("LD_PRELOAD=") + ZO_TESTCLOCK_LIB);
            envs.push_back("ZO_TESTCLOCK=" + std::to_string(now) + " " + std::to_string(speed));
            // A sanitizer build wants its runtime first; the clock library
            // only wraps one call.
            envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        }
        std::vector<char*> argv, envp;
        for (auto& s : args) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        for (auto& s : envs) envp.push_back(const_cast<char*>(s.c_str()));
        envp.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            int nul = ::open("/dev/null", O_RDWR);
            ::dup2(nul, 0);
            ::dup2(nul, 1);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
    }

    bool alive() {
        if (exited) return false;
        if (::waitpid(pid, &status, WNOHANG) == pid) exited = true;
        return !exited;
    }

    // Stops the program with SIGTERM and expects the orderly exit.
    void stop() {
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        auto end = clk::now() + std::chrono::seconds(20);
        while (alive() && clk::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(exited) << logsrv.dump();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // Accepts the next connection and takes its login request; returns its
    // sequence number (0 on failure).
    uint32_t acceptlogin() {
        if (!io.accept(20000)) return 0;
        pb3head head;
        zo::string pkg;
        if (!io.next(&head, &pkg) || head.funid != 2001) return 0;
        loginreq = head.seqno;
        return head.seqno;
    }
    void answerlogin(uint32_t retcode, const char* retmsg) {
        loginbody reply;
        reply.retcode = retcode;
        reply.retmsg = retmsg;
        reply.f95 = 1;
        ASSERT_TRUE(io.sendbytes(package(2002, reply, loginreq)));
    }
    void login() {
        ASSERT_GT(acceptlogin(), 0u) << logsrv.dump();
        answerlogin(0, "");
        size_t from = logsrv.lines().size();
        ASSERT_TRUE(logsrv.waitfor("login io-server success.", 20000, from)) << logsrv.dump();
    }

    // Values and registrations that come before the database is connected
    // are dropped (there is no local cache here).
    void waitdb() {
        ASSERT_TRUE(logsrv.waitfor("oxa sqlite://localhost" + dbpath + " connected success."))
            << logsrv.dump();
    }

    // Index of the first log text at or after from that starts with head,
    // or -1.
    int findfrom(const std::string& head, size_t from) const {
        const auto& l = logsrv.lines();
        for (size_t i = from; i < l.size(); ++i) {
            if (l[i].rfind(head, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    }

    fs::path dir;
    fs::path program;
    std::string dbpath, inst;
    udpsink logsrv;
    ioserver io;
    uint32_t loginreq = 0;
    pid_t pid = -1;
    int status = 0;
    bool exited = false;
};

TEST_F(faultse2e, GarbageDropsTheConnectionAndTheProgramLogsInAgain) {
    spawn();
    login();
    uint32_t first = loginreq;

    // Bytes that are no package: the first two are not the magic.
    std::string junk(200, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37 + 11);
    ASSERT_TRUE(io.sendbytes(junk));
    EXPECT_TRUE(logsrv.waitfor("split pkg failed @onrecv.")) << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor("ipcwrk " + inst + " disconnect as onrecv return -1"))
        << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect")) << logsrv.dump();
    EXPECT_LT(logsrv.indexof("split pkg failed @onrecv."),
              logsrv.indexof("ipcwrk " + inst + " disconnect as onrecv return -1"));

    // A new connection with a new login request, which succeeds.
    size_t before = logsrv.lines().size();
    login();
    EXPECT_GT(loginreq, first);
    EXPECT_GE(findfrom("Quorvane ipc connected.", before), 0) << logsrv.dump();
    EXPECT_TRUE(alive());
    stop();
}

TEST_F(faultse2e, BodyThatDoesNotDecodeIsDroppedAndTheConnectionKept) {
    spawn();
    login();
    waitdb();

    // A raw tag-value package whose body bytes are replaced by 0xFF: the
    // head is fine, the body is no protobuf message.
    tagvalarray good;
    good.items.append(intvalue("fe.bad", 1, 1700000000000LL));
    uint32_t badseq = ++io.seq;
    std::string bad = package(3202, good, badseq);
    size_t bodyat = 8 + static_cast<uint8_t>(bad[3]);
    ASSERT_LT(bodyat, bad.size());
    std::fill(bad.begin() + static_cast<long>(bodyat), bad.end(), '\xFF');
    tagvalarray probe;
    ASSERT_FALSE(probe.parse(bad.data() + bodyat, static_cast<uint32_t>(bad.size() - bodyat)));
    std::string line = "msg(funid=3202,seqno=" + std::to_string(badseq) +
                       ",subno=0) from io-server parse body_objarray<pbo_tagval<>> failed. " +
                       probe.errmsg() + " ";
    ASSERT_TRUE(io.sendbytes(bad));
    EXPECT_TRUE(logsrv.waitfor(line)) << logsrv.dump();

    // The same connection still carries values into the database, and the
    // program keeps reporting on it.
    tagvalarray next;
    next.items.append(intvalue("fe.good", 42, 1700000000000LL));
    ASSERT_TRUE(io.sendbytes(package(3202, next, ++io.seq)));
    std::string v;
    for (int i = 0; i < 400 && v.empty(); ++i) {
        v = sqlone(dbpath, "SELECT value FROM snapshot WHERE name = 'fe.good'");
        if (v.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(v, "42") << logsrv.dump();
    EXPECT_EQ(sqlone(dbpath, "SELECT count(*) FROM snapshot WHERE name = 'fe.bad'"), "0");
    pb3head head;
    zo::string pkg;
    EXPECT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
    logsrv.receive(100);
    EXPECT_FALSE(logsrv.has("Quorvane ipc disconnect")) << logsrv.dump();
    EXPECT_FALSE(logsrv.hassub("disconnect as")) << logsrv.dump();
    stop();
}

TEST_F(faultse2e, RefusedLoginEndsAtTheTimeLimitWithoutDisconnectLine) {
    spawn(10);
    ASSERT_GT(acceptlogin(), 0u) << logsrv.dump();
    answerlogin(7, "not today");
    ASSERT_TRUE(logsrv.waitfor("login io-server failed. retcode = 7, retmsg = not today"))
        << logsrv.dump();
    size_t refused = static_cast<size_t>(
        logsrv.indexof("login io-server failed. retcode = 7, retmsg = not today"));

    // The program keeps the connection until its login limit, then drops
    // it without the disconnect line and connects again.
    ASSERT_TRUE(logsrv.waitfor("ipcwrk " + inst + " connect timeover", 30000, refused))
        << logsrv.dump();
    uint32_t again = acceptlogin();
    ASSERT_GT(again, 0u) << logsrv.dump();
    logsrv.receive(100);
    EXPECT_LT(findfrom("Quorvane ipc disconnect", refused), 0) << logsrv.dump();

    // A successful login rearms the line: the next loss is reported.
    answerlogin(0, "");
    ASSERT_TRUE(logsrv.waitfor("login io-server success.", 20000, refused)) << logsrv.dump();
    io.close();
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect", 20000, refused)) << logsrv.dump();
    stop();
}

TEST_F(faultse2e, PeerThatStopsReadingLeavesMemoryBounded) {
    spawn();
    login();
    waitdb();
    // One control tag, registered through the session.
    unkownbody reg;
    reg.strs.append(zo::string("fe.ctl"));
    ASSERT_TRUE(io.sendbytes(package(3212, reg, ++io.seq)));
    std::string n;
    for (int i = 0; i < 400 && n != "1"; ++i) {
        n = sqlone(dbpath, "SELECT count(*) FROM ctrltags WHERE name = 'fe.ctl'");
        if (n != "1") std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(n, "1") << logsrv.dump();
    long base = rsskib(pid);
    ASSERT_GT(base, 0);

    // From now on the IO server reads nothing.  Operators write the control
    // tag again and again with 999 random bytes each (random, so that the
    // packages do not shrink under LZ4), 10,000 writes (about 10 MB) at a
    // time, while the library hands them to the program.  Once the send
    // buffer is full, sending fails; then 4 more batches go the same way.
    const std::string batch =
        "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 10000) "
        "INSERT INTO ctrlwrites(name, time, type, value) "
        "SELECT 'fe.ctl', 1700000000000 + i, 7, randomblob(999) FROM k";
    constexpr int maxbatches = 30;
    constexpr int after = 4;
    long peak = base;
    int batches = 0;
    int failedat = -1;
    auto end = clk::now() + std::chrono::seconds(180);
    while (clk::now() < end && alive()) {
        int waiting = std::atoi(
            sqlone(dbpath, "SELECT count(*) FROM ctrlwrites WHERE delivered = 0").c_str());
        bool more = batches < maxbatches && (failedat < 0 || batches < failedat + after);
        if (!more && waiting == 0) break;
        // Keep about one batch waiting, no more.
        if (more && waiting < 10000) {
            ASSERT_EQ(sqlone(dbpath, batch), "done");
            ++batches;
        }
        for (int i = 0; i < 10; ++i) {
            peak = std::max(peak, rsskib(pid));
            logsrv.receive(20);
        }
        if (failedat < 0 && logsrv.has("send dbctrlout to io-server failed.")) failedat = batches;
    }
    ASSERT_TRUE(alive()) << logsrv.dump();
    ASSERT_GE(failedat, 0) << "the send buffer never filled; " << batches << " batches";
    for (int i = 0; i < 50; ++i) peak = std::max(peak, rsskib(pid));

    // The buffer said so when it stopped taking bytes: it is then at its
    // limit, and never above it by more than the block that crossed it.
    const std::string full = "ipcwrk " + inst + " sendbuf full, took ";
    unsigned long most = 0;
    int fulls = 0;
    for (const std::string& l : logsrv.lines()) {
        unsigned long took = 0, offered = 0, held = 0;
        if (l.rfind(full, 0) != 0) continue;
        ASSERT_EQ(std::sscanf(l.c_str() + full.size(), "%lu of %lu bytes, buffer size %lu", &took,
                              &offered, &held),
                  3)
            << l;
        ++fulls;
        EXPECT_LT(took, offered) << l;
        EXPECT_LE(held, (64ul << 20) + 32748) << l;
        most = std::max(most, held);
    }
    EXPECT_GT(fulls, 0);
    EXPECT_GE(most, 64ul << 20);

    // Measured in a Debug build: about 5 MiB at start and about 135 MiB at
    // the peak, the buffer's 64 MiB plus the control values that came while
    // a send was failing (for up to a second each), held as store records,
    // tag values and package bytes at once in the next pass.  Sanitizer builds keep freed memory in
    // quarantine, so the figure only means something in plain builds.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peak, 192 * 1024) << "peak VmRSS " << peak << " KiB, at start " << base;
#endif
    RecordProperty("base_vmrss_kib", static_cast<int>(base));
    RecordProperty("peak_vmrss_kib", static_cast<int>(peak));
    RecordProperty("sendbuf_bytes", static_cast<int>(most));

    // The IO server gives up on the connection: the program connects and
    // logs in again.
    io.close();
    login();
    EXPECT_TRUE(alive());
    stop();
}

}  // namespace
