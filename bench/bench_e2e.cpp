// bench_e2e - the whole chain on this machine, real processes on loopback:
//
//   iosim --ipc--> Quorvane --oxaapi--> SQLite (history)
//   iosim --ipc--> Quorvane --oxaapi--> PostgreSQL (a throwaway server)
//
// beside the bare SQLite loop of bench_dblink (the same two prepared
// statements, snapshot upsert and history insert, one transaction per
// 10,000 rows), measured in the same run so that the ratio means something
// on whatever machine runs it.
//
// Figures printed at the end:
//   throughput: iosim sends a fixed count of values as fast as Quorvane
//       reads them (--rate 0 --count N); N is small enough for Quorvane's
//       value ring, so nothing may be dropped.  Rate = N / (time of the
//       last history row - time stamp of the first value), where "last
//       row" is when this program first sees the row count reach N.
//   resident memory: peak VmRSS of Quorvane, sampled every 5 ms.
//   pool against heap: throughput, peak VmRSS and CPU time per value of
//       Quorvane and of Quorvane-heap (zo_alloc on the standard heap, as
//       -DZO_POOL=OFF builds it), by turns; the best throughput and CPU
//       time and the highest peak of each.  On a shared machine the CPU
//       time is the steadier figure: the throughput waits on SQLite.
//   latency at 10,000 values/s: a reader polls history for new rows every
//       2 ms; a row's latency is the wall clock at the poll that first sees
//       it minus its time stamp, which iosim sets in ms when it builds the
//       package.  So each figure is up to ~1 ms too high (the stamp is cut
//       to whole ms) plus the poll interval and the query time.
//   idle CPU: Quorvane whose IO server refuses connections, utime + stime
//       over 5 s from /proc/<pid>/stat.
//
// The PostgreSQL run compares with a bare loop that COPYs the same rows into
// history with libpq (binary COPY, one transaction per 10,000 rows) on the
// same server in the same run, and measures its rate and latency the same
// way, except that rows are found by index: the rate run watches the row
// count of the last tag iosim sends (values go in order), the latency run
// reads new rows through an index on time made for it.
//
// BENCH_E2E_DB=sqlite or =postgresql runs only that database's half.
//
// Quorvane and iosim are found in ../bin beside this program's directory
// (<build>/bench/bench_e2e, <build>/bin/).  Every process started here is
// stopped before the program ends, also when a phase fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchutil.h"
#include "oxaapi/pgserver_test.h"
#include "tests/procmem.h"
#include "tests/udpsink.h"

namespace fs = std::filesystem;

namespace {

using clk = std::chrono::steady_clock;

constexpr int tags = 10000;  // distinct tag names, as in bench_dblink
// History keeps one row per tag and time stamp, and iosim at full rate
// stamps many packages with the same millisecond: the PostgreSQL runs use
// so many tags that no two values of a tag share one.
constexpr int pgtags = 100000;
constexpr int fastcount = 300000;  // 1500 packages of 200: far below the ring's 8191
constexpr int slowrate = 10000;    // values per second of the latency phase
constexpr int slowseconds = 6;     // length of the latency phase
constexpr int idleseconds = 5;     // length of the idle CPU sample

int64_t wallms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void sleepms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string selfdir() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : p.parent_path().string();
}

// A temporary directory removed at the end.
struct tmpdir {
    fs::path path;
    tmpdir() {
        std::string t = (fs::temp_directory_path() / "zoe2eXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path = buf.data();
    }
    ~tmpdir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

// A child process, stopped (SIGTERM, then SIGKILL after 5 s) when it goes
// out of scope.
struct proc {
    pid_t pid = -1;
    int status = 0;

    bool start(const std::vector<std::string>& args, const std::string& out) {
        std::vector<char*> argv;
        for (const auto& s : args) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            int nul = ::open("/dev/null", O_RDONLY);
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (nul >= 0) ::dup2(nul, 0);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid > 0;
    }
    bool alive() {
        if (pid <= 0) return false;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        return true;
    }
    void stop() {
        if (!alive()) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            sleepms(10);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    ~proc() { stop(); }
};

// utime + stime of a process in clock ticks, or -1.
long cputicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = s.rfind(')');
    if (p == std::string::npos) return -1;
    std::istringstream in(s.substr(p + 2));
    std::string field;
    long utime = -1, stime = -1;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && (in >> field); ++i) {
        if (i == 14) utime = std::strtol(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtol(field.c_str(), nullptr, 10);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// ---- the bare loop ---------------------------------------------------------

// Values per second of the bare loop for n rows, or 0 on failure.
double barerate(const fs::path& dir, int n) {
    std::vector<std::string> names;
    for (int i = 0; i < tags; ++i) {
        char buf[32];
        snprintf(buf, sizeof buf, "iosim.t%04d", i + 1);
        names.push_back(buf);
    }
    std::string err;
    double secs = bench::bareloop((dir / "bare.db").string(), n, names, wallms(), 1000, &err);
    if (!err.empty()) fprintf(stderr, "bench_e2e: bare loop: %s\n", err.c_str());
    return secs > 0 ? n / secs : 0;
}

// ---- one Quorvane with its iosim -------------------------------------------

// Reads the history table of Quorvane's database with its own connection.
class historyreader {
  public:
    ~historyreader() {
        if (st_) sqlite3_finalize(st_);
        if (db_) sqlite3_close(db_);
    }
    bool open(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            return false;
        sqlite3_busy_timeout(db_, 2000);
        return sqlite3_prepare_v2(db_, "SELECT rowid, time FROM history WHERE rowid > ?1", -1, &st_,
                                  nullptr) == SQLITE_OK;
    }
    // Calls fn(time) for every row after the last one seen.
    template <class F>
    void newrows(F fn) {
        sqlite3_bind_int64(st_, 1, last_);
        while (sqlite3_step(st_) == SQLITE_ROW) {
            last_ = std::max<int64_t>(last_, sqlite3_column_int64(st_, 0));
            fn(sqlite3_column_int64(st_, 1));
        }
        sqlite3_reset(st_);
    }
    int64_t scalar(const char* sql) {
        sqlite3_stmt* st = nullptr;
        int64_t v = -1;
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* st_ = nullptr;
    int64_t last_ = 0;
};

struct chain {
    std::string bindir;
    std::string binary = "Quorvane";  // the file in bindir to run as Quorvane
    tmpdir dir;
    udpsink logs;
    proc quorvane;
    proc iosim;
    int port = 0;
    std::string dbpath;
    std::string dburl;  // empty: the SQLite file dbpath
    std::string dbuser = "u", dbpswd = "p";

    // Starts Quorvane against a port that refuses connections and waits
    // until its database is connected, so that no value can arrive before
    // the database is there.  name is the instance name.
    bool startquorvane(const std::string& name) {
        if (dir.path.empty() || !logs.ok()) return false;
        fs::create_directories(dir.path / "bin" / "config");
        fs::path program = dir.path / "bin" / "Quorvane";
        std::error_code ec;
        fs::create_hard_link(fs::path(bindir) / binary, program, ec);
        if (ec) fs::copy_file(fs::path(bindir) / binary, program, ec);
        if (ec) {
            fprintf(stderr, "bench_e2e: cannot place Quorvane: %s\n", ec.message().c_str());
            return false;
        }
        dbpath = (dir.path / "rt.db").string();
        std::string url = dburl.empty() ? "sqlite://localhost" + dbpath : dburl;
        std::ofstream f(dir.path / "bin" / "config" / "bench.ini");
        f << "{ /* written by bench_e2e */\n"
          << "  \"dblinks\": [ { \"node\": \"b\", \"url\": \"" << url << "\", \"user\": \""
          << dbuser << "\", \"pswd\": \"" << dbpswd << "\" } ],\n"
          << "  \"cache_path\": \"\"\n}\n";
        f.close();
        // The port is held (bound, not listening) until iosim takes it over.
        heldport held(SOCK_STREAM);
        port = held.port;
        if (port == 0) return false;
        std::string out = (dir.path / "quorvane.out").string();
        if (!quorvane.start({program.string(), "ipc://127.0.0.1:" + std::to_string(port),
                             logs.url(), name, "bench.ini", "inf"},
                            out))
            return false;
        bool connected = false;
        auto end = clk::now() + std::chrono::seconds(20);
        while (!connected && clk::now() < end && quorvane.alive()) {
            logs.receive(50);
            for (const auto& l : logs.lines()) {
                if (l.rfind("oxa ", 0) == 0 && l.find("connected success") != std::string::npos)
                    connected = true;
            }
        }
        if (!connected) fprintf(stderr, "bench_e2e: Quorvane's database did not connect\n");
        return connected;
    }

    int ntags = tags;

    bool startiosim(const std::vector<std::string>& extra) {
        std::vector<std::string> args{bindir + "/iosim",
                                      "--listen",
                                      "ipc://127.0.0.1:" + std::to_string(port),
                                      "--tags",
                                      std::to_string(ntags),
                                      "--types",
                                      "5",
                                      "--soe-rate",
                                      "0",
                                      "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        return iosim.start(args, (dir.path / "iosim.out").string());
    }

    bool waitlogin() {
        auto end = clk::now() + std::chrono::seconds(20);
        while (clk::now() < end && quorvane.alive()) {
            if (logs.waitfor("login io-server success.", 100)) return true;
        }
        fprintf(stderr, "bench_e2e: no login; Quorvane's log:\n%s", logs.dump().c_str());
        return false;
    }

    size_t lostlines() {
        logs.receive(0);
        size_t n = 0;
        for (const auto& l : logs.lines()) {
            if (l.rfind("put chache full", 0) == 0) ++n;
        }
        return n;
    }

    void stop() {
        iosim.stop();
        quorvane.stop();
    }
};

struct results {
    double bare = 0;
    double lib = 0;  // the client library alone
    double e2e = 0;
    int64_t rows = 0;
    size_t lost = 0;
    long peakrss = 0;
    int64_t p50 = -1, p99 = -1, pmax = -1;
    int64_t latrows = 0;
    double idlecpu = -1;
    double cpuus = 0;  // Quorvane's CPU time per value of the throughput phase, in us
};

bool throughput(const std::string& bindir, results* r, const char* binary = "Quorvane") {
    chain c;
    c.bindir = bindir;
    c.binary = binary;
    if (!c.startquorvane("benchfast")) return false;
    long peak = e2e::rsskib(c.quorvane.pid);
    if (!c.startiosim({"--rate", "0", "--count", std::to_string(fastcount)})) return false;

    historyreader h;
    if (!h.open(c.dbpath)) return false;
    // Rows are only ever appended, so the largest rowid is the row count
    // (checked with count(*) at the end), and far cheaper to ask for.
    int64_t seen = 0;
    int64_t lastms = 0;
    auto lastmove = clk::now();
    while (c.quorvane.alive()) {
        peak = std::max(peak, e2e::rsskib(c.quorvane.pid));
        int64_t n = h.scalar("SELECT max(rowid) FROM history");
        lastms = wallms();
        if (n > seen) {
            seen = n;
            lastmove = clk::now();
        }
        if (seen >= fastcount) break;
        // Rows stop coming for good only when something was lost.
        if (clk::now() - lastmove > std::chrono::seconds(10)) break;
        sleepms(5);
    }
    int64_t firstms = h.scalar("SELECT min(time) FROM history");
    r->rows = h.scalar("SELECT count(*) FROM history");
    r->lost = c.lostlines();
    r->peakrss = std::max(peak, e2e::rsskib(c.quorvane.pid));
    long ticks = cputicks(c.quorvane.pid);
    if (ticks > 0) r->cpuus = 1e6 * ticks / static_cast<double>(::sysconf(_SC_CLK_TCK)) / fastcount;
    c.stop();
    if (seen < fastcount) {
        fprintf(stderr, "bench_e2e: only %lld of %d values reached history\n",
                static_cast<long long>(seen), fastcount);
        return false;
    }
    double secs = (lastms - firstms) / 1000.0;
    if (secs > 0) r->e2e = fastcount / secs;
    return true;
}

bool latency(const std::string& bindir, results* r) {
    chain c;
    c.bindir = bindir;
    if (!c.startquorvane("benchslow")) return false;
    int count = slowrate * slowseconds;
    if (!c.startiosim({"--rate", std::to_string(slowrate), "--count", std::to_string(count)}))
        return false;
    if (!c.waitlogin()) return false;
    historyreader h;
    if (!h.open(c.dbpath)) return false;
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(count));
    auto end = clk::now() + std::chrono::seconds(slowseconds + 20);
    while (static_cast<int>(lat.size()) < count && clk::now() < end && c.quorvane.alive()) {
        int64_t now = wallms();
        h.newrows([&](int64_t t) { lat.push_back(now - t); });
        sleepms(2);
    }
    r->lost += c.lostlines();
    c.stop();
    r->latrows = static_cast<int64_t>(lat.size());
    if (lat.empty()) return false;
    std::sort(lat.begin(), lat.end());
    r->p50 = lat[lat.size() / 2];
    r->p99 = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    r->pmax = lat.back();
    return static_cast<int>(lat.size()) == count;
}

bool idle(const std::string& bindir, results* r) {
    chain c;
    c.bindir = bindir;
    // Connected to its database, with an IO server address that refuses.
    if (!c.startquorvane("benchidle")) return false;
    long t0 = cputicks(c.quorvane.pid);
    auto w0 = clk::now();
    sleepms(idleseconds * 1000);
    long t1 = cputicks(c.quorvane.pid);
    double secs = std::chrono::duration<double>(clk::now() - w0).count();
    c.stop();
    if (t0 < 0 || t1 < 0) return false;
    r->idlecpu = 100.0 * (t1 - t0) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / secs;
    return true;
}

// ---- PostgreSQL ---------------------------------------------------------------

// One libpq connection of the bench's own.
class pgreader {
  public:
    ~pgreader() {
        if (c_) PQfinish(c_);
    }
    bool open(oxatest::pgserver& srv, const std::string& db) {
        std::string ci = "host=127.0.0.1 port=" + std::to_string(srv.port()) +
                         " user=postgres password=" + oxatest::pgserver::password + " dbname=" + db;
        c_ = PQconnectdb(ci.c_str());
        return PQstatus(c_) == CONNECTION_OK;
    }
    int64_t scalar(const std::string& sql) {
        PGresult* r = PQexec(c_, sql.c_str());
        int64_t v = -1;
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0))
            v = std::strtoll(PQgetvalue(r, 0, 0), nullptr, 10);
        PQclear(r);
        return v;
    }
    bool exec(const std::string& sql) {
        PGresult* r = PQexec(c_, sql.c_str());
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        if (!ok) fprintf(stderr, "bench_e2e: %s: %s", sql.c_str(), PQerrorMessage(c_));
        PQclear(r);
        return ok;
    }
    // Calls fn(time) for every history row not seen yet.  Rows commit in
    // time order, so only the rows at the newest time seen may be seen
    // twice: those are remembered by name.
    template <class F>
    void newrows(F fn) {
        std::string sql = "SELECT name, time FROM history WHERE time >= " + std::to_string(top_);
        PGresult* r = PQexec(c_, sql.c_str());
        for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
            int64_t t = std::strtoll(PQgetvalue(r, i, 1), nullptr, 10);
            std::string name = PQgetvalue(r, i, 0);
            if (t == top_ && attop_.count(name)) continue;
            if (t > top_) {
                top_ = t;
                attop_.clear();
            }
            if (t == top_) attop_.insert(name);
            fn(t);
        }
        PQclear(r);
    }
    PGconn* raw() { return c_; }

  private:
    PGconn* c_ = nullptr;
    int64_t top_ = 0;
    std::set<std::string> attop_;
};

// Values per second of the bare COPY loop for n rows into history of a
// database made by the client library's schema, or 0 on failure.
double barepgrate(oxatest::pgserver& srv, const std::string& db, int n) {
    pgreader c;
    if (!c.open(srv, db)) return 0;
    int64_t t0 = wallms();
    // The same table as the library's, with the day's partition.
    std::string day = std::to_string(t0 / 86400000 * 86400000);
    std::string next = std::to_string((t0 / 86400000 + 1) * 86400000);
    if (!c.exec("DROP TABLE IF EXISTS history; CREATE TABLE history(name text NOT NULL,"
                " time bigint NOT NULL, quality integer NOT NULL, type integer NOT NULL,"
                " vint bigint, vreal double precision, vtext text, vbytes bytea,"
                " PRIMARY KEY (name, time)) PARTITION BY RANGE (time);"
                " CREATE TABLE history_a PARTITION OF history FOR VALUES FROM (" +
                day + ") TO (" + next +
                "); CREATE TABLE history_b PARTITION OF history FOR VALUES FROM (" + next +
                ") TO (" + next + " + 86400000)"))
        return 0;
    auto put16 = [](std::string& b, uint16_t v) {
        v = htons(v);
        b.append(reinterpret_cast<char*>(&v), 2);
    };
    auto put32 = [](std::string& b, uint32_t v) {
        v = htonl(v);
        b.append(reinterpret_cast<char*>(&v), 4);
    };
    auto put64 = [&](std::string& b, uint64_t v) {
        put32(b, static_cast<uint32_t>(v >> 32));
        put32(b, static_cast<uint32_t>(v));
    };
    std::vector<std::string> names;
    for (int i = 0; i < pgtags; ++i) {
        char buf[32];
        snprintf(buf, sizeof buf, "iosim.t%04d", i + 1);
        names.push_back(buf);
    }
    auto start = clk::now();
    std::string buf;
    bool ok = true;
    for (int i = 0; ok && i < n; i += bench::txrows) {
        buf.assign("PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0", 19);
        for (int k = i; k < std::min(n, i + bench::txrows); ++k) {
            const std::string& name = names[static_cast<size_t>(k) % names.size()];
            put16(buf, 8);
            put32(buf, static_cast<uint32_t>(name.size()));
            buf += name;
            put32(buf, 8);
            put64(buf, static_cast<uint64_t>(t0 + k / 1000));
            put32(buf, 4);
            put32(buf, 192);
            put32(buf, 4);
            put32(buf, 5);
            put32(buf, 0xffffffffu);
            double d = k * 0.25 + 0.125;
            uint64_t u;
            memcpy(&u, &d, 8);
            put32(buf, 8);
            put64(buf, u);
            put32(buf, 0xffffffffu);
            put32(buf, 0xffffffffu);
        }
        put16(buf, 0xffff);
        ok = c.exec("BEGIN");
        PGresult* r = PQexec(c.raw(), "COPY history FROM STDIN (FORMAT binary)");
        ok = ok && PQresultStatus(r) == PGRES_COPY_IN;
        PQclear(r);
        ok = ok && PQputCopyData(c.raw(), buf.data(), static_cast<int>(buf.size())) == 1 &&
             PQputCopyEnd(c.raw(), nullptr) == 1;
        while ((r = PQgetResult(c.raw()))) {
            ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
        }
        ok = ok && c.exec("COMMIT");
    }
    double secs = std::chrono::duration<double>(clk::now() - start).count();
    if (!ok) fprintf(stderr, "bench_e2e: bare COPY loop: %s", PQerrorMessage(c.raw()));
    return ok && secs > 0 ? n / secs : 0;
}

// The client library alone, without Quorvane: the same values as JSON
// requests of 1,000 values each (about what Quorvane's writer sends), all
// queued at once; values per second until the last answer.
double librate(oxatest::pgserver& srv, const std::string& db) {
    if (!srv.createdb(db)) return 0;
    std::vector<std::string> reqs;
    int64_t t0 = wallms();
    for (int k = 0; k < fastcount;) {
        std::string t = "{\"request\":\"oxa_writesnaps\",\"seqno\":1,\"vals\":[";
        for (int i = 0; i < 1000 && k < fastcount; ++i, ++k) {
            char v[160];
            snprintf(v, sizeof v,
                     "%s{\"T\":%lld,\"N\":\"iosim.t%04d\",\"Q\":192,\"DT\":5,\"V\":%g}",
                     i ? "," : "", static_cast<long long>(t0 + k / 1000), k % pgtags + 1,
                     k * 0.25 + 0.125);
            t += v;
        }
        reqs.push_back(t + "]}");
    }
    struct waiter {
        std::mutex mu;
        std::condition_variable cv;
        size_t answers = 0, failed = 0;
        bool up = false;
    } w;
    int h = oxa_create();
    oxa_setmessagenotify(
        h,
        [](int code, const char*, void* u) {
            auto* w = static_cast<waiter*>(u);
            std::lock_guard<std::mutex> lk(w->mu);
            w->up = code == OXA_CONNECTED;
            w->cv.notify_all();
        },
        &w);
    oxa_connectex(h, srv.url(db).c_str(), "postgres", oxatest::pgserver::password, 0);
    auto answered = [](const char* text, int, void* u) {
        auto* w = static_cast<waiter*>(u);
        std::lock_guard<std::mutex> lk(w->mu);
        if (!strstr(text, "\"status\":0")) ++w->failed;
        ++w->answers;
        w->cv.notify_all();
    };
    double rate = 0;
    {
        std::unique_lock<std::mutex> lk(w.mu);
        w.cv.wait_for(lk, std::chrono::seconds(20), [&] { return w.up; });
    }
    auto start = clk::now();
    for (const std::string& r : reqs)
        if (oxa_callmsg(h, r.data(), static_cast<int>(r.size()), answered, &w) != 0) ++w.failed;
    {
        std::unique_lock<std::mutex> lk(w.mu);
        if (w.cv.wait_for(lk, std::chrono::minutes(2), [&] { return w.answers == reqs.size(); }) &&
            w.failed == 0)
            rate = fastcount / std::chrono::duration<double>(clk::now() - start).count();
    }
    oxa_destory(h);
    return rate;
}

// Quorvane on a database of its own on the server.
bool startpgchain(chain& c, oxatest::pgserver& srv, const std::string& db) {
    if (!srv.createdb(db)) return false;
    c.dburl = srv.url(db);
    c.dbuser = "postgres";
    c.dbpswd = oxatest::pgserver::password;
    return c.startquorvane(db);
}

bool pgthroughput(const std::string& bindir, oxatest::pgserver& srv, results* r) {
    chain c;
    c.bindir = bindir;
    c.ntags = pgtags;
    if (!startpgchain(c, srv, "benchfast")) return false;
    long peak = e2e::rsskib(c.quorvane.pid);
    pgreader h;
    if (!h.open(srv, "benchfast")) return false;
    if (!c.startiosim({"--rate", "0", "--count", std::to_string(fastcount)})) return false;
    // The last value iosim sends is the last one of the last tag.
    char last[32];
    snprintf(last, sizeof last, "iosim.t%04d", (fastcount - 1) % pgtags + 1);
    const std::string lastsql =
        std::string("SELECT count(*) FROM history WHERE name = '") + last + "'";
    const int64_t lastcount = fastcount / pgtags;
    int64_t seen = 0, lastms = 0;
    auto lastmove = clk::now();
    while (c.quorvane.alive()) {
        peak = std::max(peak, e2e::rsskib(c.quorvane.pid));
        int64_t n = h.scalar(lastsql);
        lastms = wallms();
        if (n > seen) {
            seen = n;
            lastmove = clk::now();
        }
        if (seen >= lastcount) break;
        if (clk::now() - lastmove > std::chrono::seconds(20)) break;
        sleepms(5);
    }
    int64_t firstms = h.scalar("SELECT min(time) FROM history");
    r->rows = h.scalar("SELECT count(*) FROM history");
    r->lost = c.lostlines();
    r->peakrss = std::max(peak, e2e::rsskib(c.quorvane.pid));
    c.stop();
    if (r->rows < fastcount) {
        fprintf(stderr, "bench_e2e: only %lld of %d values reached history; Quorvane's log:\n%s",
                static_cast<long long>(r->rows), fastcount, c.logs.dump().c_str());
        return false;
    }
    double secs = (lastms - firstms) / 1000.0;
    if (secs > 0) r->e2e = fastcount / secs;
    return true;
}

bool pglatency(const std::string& bindir, oxatest::pgserver& srv, results* r) {
    chain c;
    c.bindir = bindir;
    if (!startpgchain(c, srv, "benchslow")) return false;
    pgreader h;
    // Quorvane made the tables on connecting; the index is the reader's.
    if (!h.open(srv, "benchslow") || !h.exec("CREATE INDEX ON history(time)")) return false;
    int count = slowrate * slowseconds;
    if (!c.startiosim({"--rate", std::to_string(slowrate), "--count", std::to_string(count)}))
        return false;
    if (!c.waitlogin()) return false;
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(count));
    auto end = clk::now() + std::chrono::seconds(slowseconds + 20);
    while (static_cast<int>(lat.size()) < count && clk::now() < end && c.quorvane.alive()) {
        int64_t now = wallms();
        h.newrows([&](int64_t t) { lat.push_back(now - t); });
        sleepms(2);
    }
    r->lost += c.lostlines();
    c.stop();
    r->latrows = static_cast<int64_t>(lat.size());
    if (lat.empty()) return false;
    std::sort(lat.begin(), lat.end());
    r->p50 = lat[lat.size() / 2];
    r->p99 = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    r->pmax = lat.back();
    return static_cast<int>(lat.size()) == count;
}

void report(const char* db, const char* bare, const results& r, double target) {
    double ratio = r.bare > 0 ? r.e2e / r.bare : 0;
    printf("e2e: %s %.0f values/s\n", bare, r.bare);
    printf(
        "e2e: iosim -> Quorvane -> %s %.0f values/s (%d values, %lld history rows, "
        "%zu packages dropped)\n",
        db, r.e2e, fastcount, static_cast<long long>(r.rows), r.lost);
    printf("e2e: %s ratio %.2f (target >= %.2f)%s\n", db, ratio, target,
           ratio >= target ? "" : " BELOW TARGET");
    printf("e2e: %s Quorvane peak VmRSS %.1f MiB (target < 64)%s\n", db, r.peakrss / 1024.0,
           r.peakrss > 0 && r.peakrss < 64 * 1024 ? "" : " ABOVE TARGET");
    printf(
        "e2e: %s latency at %d values/s, send to history row: median %lld ms, p99 %lld ms, "
        "max %lld ms (%lld rows)\n",
        db, slowrate, static_cast<long long>(r.p50), static_cast<long long>(r.p99),
        static_cast<long long>(r.pmax), static_cast<long long>(r.latrows));
}

}  // namespace

int main() {
    ::signal(SIGPIPE, SIG_IGN);
    std::string bindir = selfdir() + "/../bin";
    for (const char* p : {"Quorvane", "Quorvane-heap", "iosim"}) {
        if (::access((bindir + "/" + p).c_str(), X_OK) != 0) {
            fprintf(stderr, "bench_e2e: %s/%s is missing (build Quorvane and iosim)\n",
                    bindir.c_str(), p);
            return 1;
        }
    }
    const char* only = ::getenv("BENCH_E2E_DB");
    bool dosqlite = !only || std::strcmp(only, "postgresql") != 0;
    bool dopg = !only || std::strcmp(only, "sqlite") != 0;
    results r, pool, heap, p;
    bool ok = true;
    if (dosqlite) {
        tmpdir d;
        for (int i = 0; i < 2; ++i) r.bare = std::max(r.bare, barerate(d.path, fastcount));
        std::error_code ec;
        fs::remove(d.path / "bare.db", ec);
    }
    if (dosqlite) ok = throughput(bindir, &r) && ok;
    // The pool against the heap: by turns, so that both see the same load.
    auto keep = [](results* all, const results& one) {
        all->e2e = std::max(all->e2e, one.e2e);
        all->peakrss = std::max(all->peakrss, one.peakrss);
        if (one.cpuus > 0 && (all->cpuus == 0 || one.cpuus < all->cpuus)) all->cpuus = one.cpuus;
    };
    // Each goes first in turn: a run still has the previous one's database
    // writes in flight when it starts.
    for (int i = 0; dosqlite && i < 4; ++i) {
        results h, q;
        if (i % 2) ok = throughput(bindir, &q) && ok;
        ok = throughput(bindir, &h, "Quorvane-heap") && ok;
        if (i % 2 == 0) ok = throughput(bindir, &q) && ok;
        keep(&heap, h);
        keep(&pool, q);
    }
    if (dosqlite) {
        ok = latency(bindir, &r) && ok;
        ok = idle(bindir, &r) && ok;
    }
    if (dopg) {
        oxatest::pgserver srv;
        std::string why;
        if (!srv.start(&why)) {
            fprintf(stderr, "bench_e2e: the PostgreSQL server did not start: %s\n", why.c_str());
            ok = false;
        } else {
            for (int i = 0; i < 2 && srv.createdb("bare" + std::to_string(i)); ++i)
                p.bare = std::max(p.bare, barepgrate(srv, "bare" + std::to_string(i), fastcount));
            ok = p.bare > 0 && ok;
            p.lib = librate(srv, "benchlib");
            ok = p.lib > 0 && ok;
            ok = pgthroughput(bindir, srv, &p) && ok;
            // The rows of the phases above would keep the server's
            // autovacuum busy (it looks every minute) while latency is
            // measured: they go first.
            for (const char* db : {"bare0", "bare1", "benchlib", "benchfast"})
                srv.exec(std::string("DROP DATABASE IF EXISTS ") + db + " WITH (FORCE)");
            srv.exec("CHECKPOINT");
            ok = pglatency(bindir, srv, &p) && ok;
        }
    }
    if (dosqlite) report("SQLite", "bare SQLite loop", r, 0.6);
    double poolratio = heap.e2e > 0 ? pool.e2e / heap.e2e : 0;
    double rssdiff = (pool.peakrss - heap.peakrss) / 1024.0;
    if (dosqlite)
        printf("e2e: pool %.0f values/s, heap %.0f values/s: ratio %.2f (target >= 1.00)%s\n",
               pool.e2e, heap.e2e, poolratio, poolratio >= 1.0 ? "" : " BELOW TARGET");
    if (dosqlite)
        printf(
            "e2e: Quorvane's CPU time per value: pool %.2f us, heap %.2f us (heap / pool %.2f)\n",
            pool.cpuus, heap.cpuus, pool.cpuus > 0 ? heap.cpuus / pool.cpuus : 0);
    if (dosqlite)
        printf("e2e: peak VmRSS pool %.1f MiB, heap %.1f MiB: %+.1f MiB (target <= +8)%s\n",
               pool.peakrss / 1024.0, heap.peakrss / 1024.0, rssdiff,
               rssdiff <= 8.0 ? "" : " ABOVE TARGET");
    if (dopg) {
        report("PostgreSQL", "bare PostgreSQL COPY loop", p, 0.75);
        printf("e2e: PostgreSQL client library alone (history and snapshots) %.0f values/s\n",
               p.lib);
    }
    if (dosqlite)
        printf("e2e: idle CPU without IO server %.2f %% of one core over %d s\n", r.idlecpu,
               idleseconds);
    if (!ok) printf("e2e: a phase failed (see above)\n");
    return ok ? 0 : 1;
}
