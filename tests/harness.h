// harness.h - what the end-to-end tests share: a private program directory
// with the built Quorvane program and a config of the test's own, the IO
// server's side of the link played on loopback, reads and writes of the
// program's SQLite file, and qvtest, the usual scene.
//
// Every wait takes a bound (maxms) against hanging only.  Destructors stop
// what was started; declare a progdir before the child that runs from it.
// Thread-safety: one thread per object.
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "tests/support/testsupport.h"
#include "tests/udpsink.h"

struct sqlite3_stmt;

namespace e2e {

namespace fs = std::filesystem;

std::string str(const zo::string& s);

// A package of version 300 with the given body; an EXPECT failure when the
// body does not encode.
std::string package(uint32_t funid, zo::cls_protoc3<zo::string>& body, uint32_t seqno);

// An integer tag value of good quality.
tagval intvalue(const std::string& name, int64_t v, int64_t time);

std::string ipcurl(int port);

using zotest::child;
using zotest::runopts;
using zotest::uniquename;
using zotest::until;

// A temporary program directory: dir/bin/Quorvane (a hard link to, or a copy
// of, the program in $ZO_BIN) and dir/bin/config/, where the program looks
// for its config file.  Removed with everything in it on destruction.
class progdir {
  public:
    // Makes <temp dir>/<prefix>XXXXXX; on failure the reason is in *err.
    bool make(const std::string& prefix, std::string* err);
    // Writes bin/config/<name> with one database link, the cache path and
    // more members (JSON text after a comma) when given.
    bool writeconfig(const std::string& name, const std::string& dburl,
                     const std::string& cachepath, const std::string& more = "");

    const fs::path& dir() const { return dir_; }
    const fs::path& program() const { return program_; }

  private:
    std::unique_ptr<zotest::tmpdir> tmp_;
    fs::path dir_;
    fs::path program_;
};

// The IO server's side of the link: a listening loopback port and one
// accepted connection at a time.
class ioserver {
  public:
    ~ioserver() { close(); }

    int port() const { return listener.port; }
    void close();
    // Closes the current connection and accepts the next.
    bool accept(int maxms = 20000);
    // The next whole package from the program.
    bool next(pb3head* head, zo::string* pkg, int maxms = 20000);
    // The next package with the given function number; others are skipped.
    bool nextof(uint32_t funid, pb3head* head, zo::string* pkg, int maxms = 20000);
    // Reads and discards what the program sent so far.
    void drain();
    bool sendbytes(const std::string& b);
    // Sends body as funid with the next own sequence number.
    bool send(uint32_t funid, zo::cls_protoc3<zo::string>& body);

    // Accepts a connection and takes its login request into loginhead and
    // loginreq; false when the first package is no login request.
    bool acceptlogin(int maxms = 20000);
    // Answers the login request taken last.
    bool answerlogin(uint32_t retcode = 0, const char* retmsg = "", uint32_t f95 = 1);

    heldport listener{SOCK_STREAM, true};
    int fd = -1;
    pkgsplit split;
    uint32_t seq = 100;
    pb3head loginhead;
    loginbody loginreq;
};

// Steps sql on the database file, calling row for each row; false when the
// file is not there or the statement does not prepare.
bool sqleach(const std::string& path, const std::string& sql,
             const std::function<void(sqlite3_stmt*)>& row);
// Rows of sql on the database file as "a|b" texts; empty while the file is
// not there or when the statement fails.
std::vector<std::string> sqlrows(const std::string& path, const std::string& sql);
// The first column of the first row, or "".
std::string sqlone(const std::string& path, const std::string& sql);
// The first column of the first row as the double stored (no text on the
// way); false when there is no row or the value is NULL.
bool sqlreal(const std::string& path, const std::string& sql, double* out);
// Runs statements; false when the file is not there or one fails.
bool sqlexec(const std::string& path, const std::string& sql);
// Polls until the query gives at least n rows; returns the last rows.
std::vector<std::string> waitrows(const std::string& path, const std::string& sql, size_t n,
                                  int maxms = 20000);
// Seconds since the epoch on the wall clock.
int64_t wallsec();

// The usual scene: the program in a directory of its own with config
// "e2e.ini" (one SQLite database), the test's IO server and log server.
class qvtest : public ::testing::Test {
  protected:
    // Makes the directory; the database is <dir>/<dbrel>, the cache path
    // cache ("" for none, else relative to the directory).
    void prepare(const std::string& dbrel, const std::string& cache);
    // Starts the program on the IO server; speed > 1 runs its wall clock
    // that much faster from startms (now when 0).
    void spawn(int speed = 1, int64_t startms = 0);
    // Accepts the login, answers it and waits for the success line.
    void login();
    // Waits for the line saying the database is connected.
    void waitdb();
    // until(cond), reading the program's packages and log lines meanwhile.
    bool draining(const std::function<bool()>& cond, int maxms = 30000);
    // SIGTERM, then the exit with code 0 (draining meanwhile).
    void stopdraining();

    progdir pd;
    std::string dbpath, dburl, inst;
    udpsink logsrv;
    ioserver io;
    child prog;
};

}  // namespace e2e
