// End-to-end test of the session with the IO server: the built Quorvane
// program (ZO_BIN) runs as a child process in a private program directory
// against an IO server played by this test on loopback, with a SQLite
// database of its own, and is ended by the IO server's exit order.
//
// Every wait is bounded (against hanging only); nothing here asserts how
// long anything took.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "tests/udpsink.h"

namespace fs = std::filesystem;

namespace {

using clk = std::chrono::steady_clock;

std::string str(const zo::string& s) {
    return std::string(s.data(), s.size());
}

// The IO server's side of the link: one accepted connection.
class ioserver {
  public:
    heldport listener{SOCK_STREAM, true};
    int fd = -1;
    pkgsplit split;

    ~ioserver() {
        if (fd >= 0) ::close(fd);
    }

    bool accept(int maxms) {
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

    // The next package with the given function number; others are skipped.
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

    uint32_t seq = 100;
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

// Reads the database file with its own connection.
class dbreader {
  public:
    explicit dbreader(const std::string& path) : path_(path) {}
    ~dbreader() {
        if (db_) sqlite3_close(db_);
    }
    // Rows of a one-column-or-two query as "a|b" texts; empty when the
    // database is not there yet.
    std::vector<std::string> rows(const char* sql) {
        std::vector<std::string> out;
        if (!db_) {
            if (!fs::exists(path_)) return out;
            if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
                sqlite3_close(db_);
                db_ = nullptr;
                return out;
            }
            sqlite3_busy_timeout(db_, 2000);
        }
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return out;
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                if (i) row += "|";
                const unsigned char* t = sqlite3_column_text(st, i);
                row += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }
    // Polls until the query gives at least n rows.
    std::vector<std::string> waitrows(const char* sql, size_t n, int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        for (;;) {
            std::vector<std::string> r = rows(sql);
            if (r.size() >= n || clk::now() > end) return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

bool execsql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 5000);
        ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return ok;
}

class sessione2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = ::getenv("ZO_BIN");
        ASSERT_NE(bin, nullptr) << "ZO_BIN must name the directory of the built programs";
        char tmpl[] = "/tmp/session_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "bin" / "config");
        program = dir / "bin" / "Quorvane";
        std::error_code ec;
        // The program finds config/ beside its own file, so it runs from a
        // directory of its own (a hard link, or a copy across file systems).
        fs::create_hard_link(fs::path(bin) / "Quorvane", program, ec);
        if (ec) fs::copy_file(fs::path(bin) / "Quorvane", program, ec);
        ASSERT_FALSE(ec) << ec.message();
        // The database directory does not exist yet: the library keeps
        // trying until the test creates it, so the connection comes while the
        // session is logged in.
        dbpath = (dir / "db" / "rt.db").string();
        dburl = "sqlite://localhost" + dbpath;
        std::ofstream f(dir / "bin" / "config" / "e2e.ini");
        f << "{ /* the test's own database */\n"
          << "  \"dblinks\": [ { \"node\": \"n1\", \"url\": \"" << dburl
          << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
          << "  \"cache_path\": \"\"\n}\n";
        f.close();
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(io.listener.port, 0);
        static std::atomic<int> serial{0};
        inst = "se" + std::to_string(::getpid()) + "n" + std::to_string(serial++);
    }
    void TearDown() override {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void spawn() {
        std::vector<std::string> all{
            program.string(), "ipc://127.0.0.1:" + std::to_string(io.listener.port),
            logsrv.url(),     inst,
            "e2e.ini",        "dbg"};
        std::vector<char*> argv;
        for (auto& s : all) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            int nul = ::open("/dev/null", O_RDWR);
            ::dup2(nul, 0);
            ::dup2(nul, 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
    }

    bool waitexit(int maxms = 20000) {
        auto end = clk::now() + std::chrono::milliseconds(maxms);
        while (clk::now() < end) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Logs in and answers the login; checks the request.
    void login(uint32_t loginval) {
        ASSERT_TRUE(io.accept(20000)) << logsrv.dump();
        pb3head head;
        zo::string pkg;
        ASSERT_TRUE(io.next(&head, &pkg)) << logsrv.dump();
        ASSERT_EQ(head.funid, 2001u);
        EXPECT_EQ(head.ver, 300u);
        EXPECT_EQ(head.seqno, 1u);
        loginbody req;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, req));
        EXPECT_EQ(str(req.f121), inst);
        EXPECT_EQ(req.f125, 2u);
        EXPECT_EQ(req.f133, 50u);
        loginbody reply;
        reply.f95 = loginval;
        ASSERT_TRUE(io.sendbytes(package(2002, reply, head.seqno)));
        EXPECT_TRUE(logsrv.waitfor("login io-server success.")) << logsrv.dump();
    }

    fs::path dir;
    fs::path program;
    std::string dbpath, dburl, inst;
    udpsink logsrv;
    ioserver io;
    pid_t pid = -1;
    int status = 0;
    bool exited = false;
};

TEST_F(sessione2e, ValuesSoeControlTagsRunInformationAndExitOrder) {
    spawn();
    login(5);

    // Run information while the database is away: field 172 is 3.
    pb3head head;
    zo::string pkg;
    ASSERT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
    runinfoarray info(67);
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
    ASSERT_EQ(info.items.size(), 1u);
    EXPECT_EQ(str(info.items[0].f160), inst);
    EXPECT_EQ(info.items[0].f161, 5u);
    EXPECT_EQ(info.items[0].f162, static_cast<uint32_t>(pid));
    EXPECT_EQ(info.items[0].f163, 0u);  // the first report
    EXPECT_GT(info.items[0].f165, 0u);
    EXPECT_GT(info.items[0].f167, 0u);
    EXPECT_GE(info.items[0].f168, info.items[0].f167);
    EXPECT_EQ(info.items[0].f170, 2u);
    EXPECT_EQ(info.items[0].f171, 50u);
    EXPECT_EQ(info.items[0].f172, 3u);
    uint64_t lasttime = info.items[0].f168;

    // The database comes: run information with 172 = 0, then in the same
    // pass the request for the write tags.
    fs::create_directories(dir / "db");
    uint32_t lastseq = 0;
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
        ASSERT_TRUE(io.next(&head, &pkg)) << logsrv.dump();
        if (head.funid == 3206) {
            ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
            EXPECT_GE(info.items[0].f168, lasttime);
            lasttime = info.items[0].f168;
            if (info.items[0].f172 == 0) {
                connected = true;
                EXPECT_EQ(str(info.items[0].f169), dburl);
                lastseq = head.seqno;
            }
        }
    }
    ASSERT_TRUE(connected) << logsrv.dump();
    ASSERT_TRUE(io.next(&head, &pkg));
    EXPECT_EQ(head.funid, 3211u);
    EXPECT_EQ(head.seqno, lastseq + 1);

    // The IO server answers with the control tags.
    unkownbody reg;
    reg.strs.append(zo::string("ctl.a"));
    reg.strs.append(zo::string("ctl.b"));
    ASSERT_TRUE(io.sendbytes(package(3212, reg, ++io.seq)));
    dbreader db(dbpath);
    EXPECT_EQ(db.waitrows("SELECT name FROM ctrltags ORDER BY name", 2),
              (std::vector<std::string>{"ctl.a", "ctl.b"}));

    // Tag values: a raw package, an LZ4 one, one split across two sends,
    // two in one send.
    int64_t t = 1700000000000LL;
    tagvalarray raw;
    raw.items.append(intvalue("e2e.raw1", 11, t));
    tagval d;
    d.name = "e2e.dbl";
    d.time = t;
    d.vtype = 5;
    d.vdouble = 2.5;
    raw.items.append(std::move(d));
    ASSERT_TRUE(io.sendbytes(package(3202, raw, ++io.seq)));

    tagvalarray big;
    for (int i = 0; i < 60; ++i) big.items.append(intvalue("e2e.lz" + std::to_string(i), i, t));
    std::string lz = package(3204, big, ++io.seq);
    pb3head lzhead;
    ASSERT_TRUE(pkgpb3::parsehead(lz.data(), static_cast<uint32_t>(lz.size()), lzhead));
    ASSERT_EQ(lzhead.encode, 1u);
    ASSERT_TRUE(io.sendbytes(lz));

    tagvalarray cut;
    cut.items.append(intvalue("e2e.cut", 33, t));
    std::string c = package(3208, cut, ++io.seq);
    ASSERT_TRUE(io.sendbytes(c.substr(0, 13)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(io.sendbytes(c.substr(13)));

    tagvalarray two1, two2;
    two1.items.append(intvalue("e2e.two1", 41, t));
    two2.items.append(intvalue("e2e.two2", 42, t));
    std::string first = package(3202, two1, ++io.seq);
    ASSERT_TRUE(io.sendbytes(first + package(3202, two2, ++io.seq)));

    std::vector<std::string> snaps =
        db.waitrows("SELECT name, value FROM snapshot WHERE name GLOB 'e2e.*' ORDER BY name", 65);
    std::map<std::string, std::string> byname;
    for (const auto& r : snaps) byname[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    EXPECT_EQ(byname.size(), 65u) << logsrv.dump();
    EXPECT_EQ(byname["e2e.raw1"], "11");
    EXPECT_EQ(byname["e2e.dbl"], "2.5");
    EXPECT_EQ(byname["e2e.lz0"], "0");
    EXPECT_EQ(byname["e2e.lz59"], "59");
    EXPECT_EQ(byname["e2e.cut"], "33");
    EXPECT_EQ(byname["e2e.two1"], "41");
    EXPECT_EQ(byname["e2e.two2"], "42");

    // An SOE record.
    soearray soe;
    soerec* s = soe.items.emplace();
    ASSERT_NE(s, nullptr);
    s->f236 = "breaker.7";
    s->f230 = 123456789;
    s->f231 = 3;
    ASSERT_TRUE(io.sendbytes(package(3210, soe, ++io.seq)));
    EXPECT_EQ(db.waitrows("SELECT f236, f230, f231 FROM soe", 1),
              (std::vector<std::string>{"breaker.7|123456789|3"}));

    // Operators write both control tags: the values come back as 3214.
    ASSERT_TRUE(execsql(dbpath,
                        "INSERT INTO ctrlwrites(name, time, type, value) VALUES "
                        "('ctl.a', 1700000000000, 1, 42), ('ctl.b', 1700000000000, 5, 1.25)"));
    std::map<std::string, tagval> ctrl;
    while (ctrl.size() < 2) {
        ASSERT_TRUE(io.nextof(3214, &head, &pkg)) << logsrv.dump();
        tagvalarray out;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, out));
        for (auto& v : out.items) ctrl[str(v.name)] = std::move(v);
    }
    EXPECT_EQ(ctrl["ctl.a"].vtype, 1u);
    EXPECT_EQ(ctrl["ctl.a"].vint, 42);
    EXPECT_EQ(ctrl["ctl.b"].vtype, 5u);
    EXPECT_EQ(ctrl["ctl.b"].vdouble, 1.25);

    // The exit order ends the process in order, with exit code 0.
    unkownbody order;
    order.vi32 = 91;
    ASSERT_TRUE(io.sendbytes(package(2004, order, ++io.seq)));
    ASSERT_TRUE(waitexit()) << logsrv.dump();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(logsrv.waitfor("stopped gracefully.\n")) << logsrv.dump();
    EXPECT_TRUE(logsrv.has("read ctrl order PROCESS_CTRL_EXIT from io-server."));
    EXPECT_LT(logsrv.indexof("read ctrl order PROCESS_CTRL_EXIT from io-server."),
              logsrv.indexof("stopped gracefully.\n"));
}

TEST_F(sessione2e, HeadOfAnotherVersionDropsTheConnectionAndTheProgramReconnects) {
    spawn();
    login(1);
    tagvalarray b;
    b.items.append(intvalue("x.y", 1, 1));
    pb3head head;
    head.ver = 301;
    head.funid = 3202;
    head.seqno = 9;
    zo::string p;
    ASSERT_TRUE(pkgpb3::makepkg(head, b, p));
    ASSERT_TRUE(io.sendbytes(str(p)));
    EXPECT_TRUE(logsrv.waitfor("pb3msg_head error(ver = 301, encode = 0,srcsize = " +
                               std::to_string(b.size()) + ") from IOServer."))
        << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor("Quorvane ipc disconnect")) << logsrv.dump();

    // The next connection logs in afresh with a new sequence number.
    ::close(io.fd);
    io.fd = -1;
    io.split.reset();
    ASSERT_TRUE(io.accept(20000)) << logsrv.dump();
    pb3head again;
    zo::string pkg;
    ASSERT_TRUE(io.next(&again, &pkg));
    EXPECT_EQ(again.funid, 2001u);
    EXPECT_GT(again.seqno, 1u);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(waitexit());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
