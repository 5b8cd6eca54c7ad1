#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace e2e {

namespace {

using clk = std::chrono::steady_clock;

clk::time_point after(int maxms) {
    return clk::now() + std::chrono::milliseconds(maxms);
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

bool progdir::make(const std::string& prefix, std::string* err) {
    const std::string bin = zotest::bindir();
    if (bin.empty()) {
        *err = "ZO_BIN must name the directory of the built programs";
        return false;
    }
    tmp_ = std::make_unique<zotest::tmpdir>(prefix.c_str());
    if (tmp_->path.empty()) {
        *err = "no temporary directory " + prefix + "XXXXXX";
        return false;
    }
    dir_ = tmp_->path.substr(0, tmp_->path.size() - 1);
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
                          const std::string& cachepath, const std::string& more) {
    std::ofstream f(dir_ / "bin" / "config" / name);
    f << "{ /* the test's own database */\n"
      << "  \"dblinks\": [ { \"node\": \"n1\", \"url\": \"" << dburl
      << "\", \"user\": \"u\", \"pswd\": \"p\" } ],\n"
      << "  \"cache_path\": \"" << cachepath << "\"" << (more.empty() ? "" : ", ") << more
      << "\n}\n";
    f.close();
    return !f.fail();
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

namespace {

// Runs fn on the database file opened for writing; false when the file is
// not there or does not open.
bool withdb(const std::string& path, const std::function<bool(sqlite3*)>& fn) {
    sqlite3* db = nullptr;
    bool ok = fs::exists(path) &&
              sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 10000);
        ok = fn(db);
    }
    sqlite3_close(db);
    return ok;
}

}  // namespace

bool sqleach(const std::string& path, const std::string& sql,
             const std::function<void(sqlite3_stmt*)>& row) {
    return withdb(path, [&](sqlite3* db) {
        sqlite3_stmt* st = nullptr;
        bool ok = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK;
        while (ok && sqlite3_step(st) == SQLITE_ROW) row(st);
        sqlite3_finalize(st);
        return ok;
    });
}

std::vector<std::string> sqlrows(const std::string& path, const std::string& sql) {
    std::vector<std::string> out;
    sqleach(path, sql, [&](sqlite3_stmt* st) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const unsigned char* t = sqlite3_column_text(st, i);
            row += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        out.push_back(row);
    });
    return out;
}

std::string sqlone(const std::string& path, const std::string& sql) {
    std::vector<std::string> r = sqlrows(path, sql);
    return r.empty() ? std::string() : r[0].substr(0, r[0].find('|'));
}

bool sqlreal(const std::string& path, const std::string& sql, double* out) {
    bool got = false;
    sqleach(path, sql, [&](sqlite3_stmt* st) {
        if (got || sqlite3_column_type(st, 0) == SQLITE_NULL) return;
        *out = sqlite3_column_double(st, 0);
        got = true;
    });
    return got;
}

bool sqlexec(const std::string& path, const std::string& sql) {
    return withdb(path, [&](sqlite3* db) {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    });
}

std::vector<std::string> waitrows(const std::string& path, const std::string& sql, size_t n,
                                  int maxms) {
    std::vector<std::string> r;
    until([&] { return (r = sqlrows(path, sql)).size() >= n; }, maxms);
    return r;
}

int64_t wallsec() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void qvtest::prepare(const std::string& dbrel, const std::string& cache) {
    std::string err;
    ASSERT_TRUE(pd.make("qv_e2e_", &err)) << err;
    dbpath = (pd.dir() / dbrel).string();
    dburl = "sqlite://localhost" + dbpath;
    ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl, cache.empty() ? "" : (pd.dir() / cache).string()));
    ASSERT_TRUE(logsrv.ok());
    ASSERT_GT(io.port(), 0);
    inst = uniquename("qv");
}

void qvtest::spawn(int speed, int64_t startms) {
    runopts o;
    o.out = runopts::discard;
    o.clockspeed = speed;
    o.clockstartms = startms;
    ASSERT_TRUE(
        prog.start(pd.program(), {ipcurl(io.port()), logsrv.url(), inst, "e2e.ini", "dbg"}, o));
}

void qvtest::login() {
    ASSERT_TRUE(io.acceptlogin()) << logsrv.dump();
    // Lines taken so far came before the answer.
    size_t from = logsrv.lines().size();
    ASSERT_TRUE(io.answerlogin());
    ASSERT_TRUE(logsrv.waitfor("login io-server success.", 20000, from)) << logsrv.dump();
}

void qvtest::waitdb() {
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connected success.")) << logsrv.dump();
}

bool qvtest::draining(const std::function<bool()>& cond, int maxms) {
    return until(cond, maxms, [this] {
        io.drain();
        logsrv.receive(20);
    });
}

void qvtest::stopdraining() {
    ASSERT_EQ(::kill(prog.pid, SIGTERM), 0);
    ASSERT_TRUE(draining([&] { return !prog.alive(); })) << logsrv.dump();
    EXPECT_TRUE(prog.exitedzero());
}

}  // namespace e2e
