// End-to-end test of the local cache: the built Quorvane program (ZO_BIN)
// runs as a child process against an IO server played by this test on
// loopback.  Its database directory does not exist at start, so the values
// sent meanwhile go to the cache; once the directory is made the database
// connects, and the cached values reach the history table through the
// replay, each exactly once.
//
// The program's wall clock starts shortly before the end of a ten-minute
// period and runs ten times as fast (cache_e2e_clock, preloaded), so the
// period ends and the replay starts within seconds.  Every wait is bounded
// (against hanging only); nothing asserts how long anything took.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cache/cachefile.h"
#include "gtest/gtest.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "tests/udpsink.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using clk = std::chrono::steady_clock;

constexpr int speed = 10;     // the program's clock runs this much faster
constexpr int64_t lead = 50;  // its seconds from start to the period's end
constexpr int outagevalues = 240;

// The IO server's side of the link: one accepted connection.
class ioserver {
  public:
    heldport listener{SOCK_STREAM, true};
    int fd = -1;
    pkgsplit split;
    uint32_t seq = 100;

    ~ioserver() {
        if (fd >= 0) ::close(fd);
    }
    bool accept(int maxms) {
        pollfd p{listener.fd, POLLIN, 0};
        if (::poll(&p, 1, maxms) != 1) return false;
        fd = ::accept(listener.fd, nullptr, nullptr);
        return fd >= 0;
    }
    // The next whole package, within maxms.
    bool next(pb3head* head, zo::string* pkg, int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        for (;;) {
            if (pkgpb3::splitpkg(split, nullptr, 0, *pkg) == 1)
                return pkgpb3::parsehead(*pkg, *head);
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
    // Reads and discards what the program sent (run information).
    void drain() {
        pollfd p{fd, POLLIN, 0};
        while (fd >= 0 && ::poll(&p, 1, 0) == 1) {
            char buf[65536];
            if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
        }
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
    return std::string(out.data(), out.size());
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

// Rows of a query on the database file as "a|b" texts; empty while the
// file is not there.
std::vector<std::string> rows(const std::string& path, const char* sql) {
    std::vector<std::string> out;
    if (!fs::exists(path)) return out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return out;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
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
    sqlite3_close(db);
    return out;
}

// Tag values and SOE records in the cache files of dir.
void countcached(const fs::path& dir, int* vals, int* soes) {
    *vals = *soes = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ioch_", 0) != 0) continue;
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir.string() + "/");
        if (rd.openread(std::strtoll(name.c_str() + 5, nullptr, 10), nullptr) != 0) continue;
        zo::string b;
        for (int k; (k = rd.readblock(b, nullptr)) >= 0;) {
            if (k == 0) {
                tagvalarray a;
                if (a.parse(b.data(), b.size())) *vals += static_cast<int>(a.items.size());
            } else if (k == 1) {
                soearray a;
                if (a.parse(b.data(), b.size())) *soes += static_cast<int>(a.items.size());
            }
        }
    }
}

class cachee2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = ::getenv("ZO_BIN");
        ASSERT_NE(bin, nullptr) << "ZO_BIN must name the directory of the built programs";
        char tmpl[] = "/tmp/cache_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "bin" / "config");
        program = dir / "bin" / "Quorvane";
        std::error_code ec;
        fs::create_hard_link(fs::path(bin) / "Quorvane", program, ec);
        if (ec) fs::copy_file(fs::path(bin) / "Quorvane", program, ec);
        ASSERT_FALSE(ec) << ec.message();
        cachedir = dir / "cache";
        dbpath = (dir / "db" / "rt.db").string();
        dburl = "sqlite://localhost" + dbpath;
        std::ofstream f(dir / "bin" / "config" / "e2e.ini");
        f << "{ \"dblinks\": [ { \"node\": \"n1\", \"url\": \"" << dburl
          << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
          << "  \"cache_path\": \"" << cachedir.string() << "\" }\n";
        f.close();
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(io.listener.port, 0);
        inst = "ce" + std::to_string(::getpid());
    }
    void TearDown() override {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void spawn(int64_t startms) {
        std::vector<std::string> args{
            program.string(), "ipc://127.0.0.1:" + std::to_string(io.listener.port),
            logsrv.url(),     inst,
            "e2e.ini",        "dbg"};
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("LD_PRELOAD=", 0) == 0 || v.rfind("ZO_TESTCLOCK=", 0) == 0 ||
                v.rfind("ASAN_OPTIONS=", 0) == 0)
                continue;
            envs.push_back(v);
        }
        envs.push_back(std::string("LD_PRELOAD=") + ZO_TESTCLOCK_LIB);
        envs.push_back("ZO_TESTCLOCK=" + std::to_string(startms) + " " + std::to_string(speed));
        // A sanitizer build wants its runtime first; the clock library only
        // wraps one call.
        envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
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

    bool waitexit(int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        for (;;) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                return true;
            }
            if (clk::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void login() {
        ASSERT_TRUE(io.accept(20000)) << logsrv.dump();
        pb3head head;
        zo::string pkg;
        ASSERT_TRUE(io.next(&head, &pkg)) << logsrv.dump();
        ASSERT_EQ(head.funid, 2001u);
        loginbody reply;
        reply.f95 = 1;
        ASSERT_TRUE(io.sendbytes(package(2002, reply, head.seqno)));
        EXPECT_TRUE(logsrv.waitfor("login io-server success.")) << logsrv.dump();
    }

    // Polls cond (while draining the program's packages and log lines) for
    // at most maxms.
    template <class C>
    bool until(C cond, int maxms = 30000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        while (!cond()) {
            if (clk::now() > end) return false;
            io.drain();
            logsrv.receive(20);
        }
        return true;
    }

    fs::path dir, program, cachedir;
    std::string dbpath, dburl, inst;
    udpsink logsrv;
    ioserver io;
    pid_t pid = -1;
    int status = 0;
    bool exited = false;
};

TEST_F(cachee2e, ValuesOfAnOutageReachHistoryExactlyOnce) {
    int64_t nowsec = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    int64_t period = cachefile::periodstamp(nowsec);
    spawn((period + 600 - lead) * 1000);
    login();
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connect failed.")) << logsrv.dump();
    ASSERT_TRUE(logsrv.has("create local cache " + cachedir.string() + "/ success."))
        << logsrv.dump();

    // The outage: tag values in several packages, and an SOE record.
    int64_t t = 1700000000000LL;
    for (int p = 0; p < outagevalues / 40; ++p) {
        tagvalarray b;
        for (int i = p * 40; i < (p + 1) * 40; ++i)
            b.items.append(intvalue("out." + std::to_string(i), i, t + i));
        ASSERT_TRUE(io.sendbytes(package(3202, b, ++io.seq)));
    }
    soearray soe;
    soerec* s = soe.items.emplace();
    ASSERT_NE(s, nullptr);
    s->f236 = "breaker.out";
    s->f230 = 77;
    ASSERT_TRUE(io.sendbytes(package(3210, soe, ++io.seq)));
    int vals = 0, soes = 0;
    EXPECT_TRUE(until([&] {
        countcached(cachedir, &vals, &soes);
        return vals == outagevalues && soes == 1;
    })) << vals
        << " " << soes;
    EXPECT_TRUE(rows(dbpath, "SELECT name FROM history").empty());
    // All of it in the file of the period the program started in (else the
    // replay would wait for the next period's end).
    EXPECT_TRUE(fs::exists(cachedir / ("ioch_" + std::to_string(period))));
    EXPECT_FALSE(fs::exists(cachedir / ("ioch_" + std::to_string(period + 600))));

    // The database comes; a live value goes straight in.
    fs::create_directories(dir / "db");
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connected success.")) << logsrv.dump();
    tagvalarray live;
    live.items.append(intvalue("live.1", 1, t));
    ASSERT_TRUE(io.sendbytes(package(3202, live, ++io.seq)));

    // The replay: once the period is over, the cached file is inserted as
    // history and deleted.
    EXPECT_TRUE(until([&] { return logsrv.has("insert history SOE records 1"); })) << logsrv.dump();
    EXPECT_TRUE(logsrv.has("insert history tagval records " + std::to_string(outagevalues)))
        << logsrv.dump();
    EXPECT_TRUE(until([&] {
        std::error_code ec;
        return fs::is_empty(cachedir, ec);
    }));
    EXPECT_TRUE(until([&] {
        return rows(dbpath, "SELECT name FROM history WHERE name GLOB 'out.*'").size() >=
               static_cast<size_t>(outagevalues);
    }));

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(until([&] { return waitexit(0); })) << logsrv.dump();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Every value of the outage exactly once, with its own value and time.
    std::vector<std::string> hist =
        rows(dbpath,
             "SELECT name, COUNT(*), MIN(value), MIN(time) FROM history WHERE name GLOB "
             "'out.*' GROUP BY name");
    ASSERT_EQ(hist.size(), static_cast<size_t>(outagevalues));
    std::map<std::string, std::string> byname;
    for (const auto& r : hist) byname[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    for (int i = 0; i < outagevalues; ++i) {
        std::string n = "out." + std::to_string(i);
        EXPECT_EQ(byname[n].substr(0, byname[n].find('|', byname[n].find('|') + 1)),
                  "1|" + std::to_string(i))
            << n;
    }
    EXPECT_EQ(rows(dbpath, "SELECT f236, f230 FROM soe"),
              (std::vector<std::string>{"breaker.out|77"}));
    EXPECT_EQ(rows(dbpath, "SELECT COUNT(*) FROM history WHERE name = 'live.1'"),
              (std::vector<std::string>{"1"}));
}

}  // namespace
