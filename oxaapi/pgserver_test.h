// pgserver_test.h - a throwaway PostgreSQL server for tests and benchmarks,
// made by initdb in a fresh temporary directory, on a free port of 127.0.0.1
// and a Unix socket there.  A reaper process stops it and removes the
// directory when the pipe only this process holds closes: also after a crash
// or a time-out kill.  Debian's newest server binaries; as root the server
// runs as "postgres" or "nobody".  TCP logins need pgserver::password, the
// socket trusts.  start() returns why it failed: nothing is skipped.
//
// Thread-safety: test-only; one thread per object.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace oxatest {

namespace pgfs = std::filesystem;

class pgserver {
  public:
    static constexpr const char* password = "pg-test-secret";

    pgserver() = default;
    ~pgserver() { discard(); }
    pgserver(const pgserver&) = delete;
    pgserver& operator=(const pgserver&) = delete;

    // A new cluster, started.  False with the reason in *why.
    bool start(std::string* why) { return setup(why) && initdb(why) && launch(why); }

    // A streaming standby of primary (pg_basebackup -R), started.  With
    // sync, the primary waits for it at every commit.
    bool startstandby(pgserver& primary, bool sync, std::string* why) {
        if (!setup(why) ||
            !runas({bin("pg_basebackup"), "-D", data(), "-h", primary.sockdir(), "-p",
                    std::to_string(primary.port_), "-U", "postgres", "-R", "-X", "stream",
                    "--no-sync"},
                   why) ||
            !launch(why))
            return false;
        if (sync && !(primary.exec("ALTER SYSTEM SET synchronous_standby_names = '*'") &&
                      primary.exec("SELECT pg_reload_conf()"))) {
            *why = "cannot make the standby synchronous";
            return false;
        }
        return true;
    }

    // pg_ctl stop with a mode ("fast", "immediate").
    bool stop(const char* mode = "fast") {
        return !dir_.empty() &&
               runas({bin("pg_ctl"), "stop", "-D", data(), "-m", mode, "-w", "-t", "60"});
    }
    // Starts the stopped server again on its port.
    bool restart(std::string* why) { return launch(why); }
    bool promote() { return runas({bin("pg_ctl"), "promote", "-D", data(), "-w", "-t", "60"}); }

    int port() const { return port_; }
    std::string sockdir() const { return dir_.substr(0, dir_.size() - 1); }
    // A URL that the link configuration accepts: the login goes apart.
    std::string url(const std::string& db, const std::string& query = "") const {
        return "postgresql://127.0.0.1:" + std::to_string(port_) + "/" + db +
               (query.empty() ? "" : "?" + query);
    }
    std::string log() const { return slurp(dir_ + "server.log"); }

    // A new database for one test case.
    bool createdb(const std::string& db) { return exec("CREATE DATABASE \"" + db + "\""); }

    // Rows of sql on db as "a|b" texts (NULL as "NULL"); an "ERR: ..." row
    // when it fails.
    std::vector<std::string> rows(const std::string& sql, const std::string& db = "postgres") {
        std::vector<std::string> out;
        std::string ci = "host=" + sockdir() + " port=" + std::to_string(port_) +
                         " user=postgres dbname=" + db + " connect_timeout=10";
        PGconn* c = PQconnectdb(ci.c_str());
        PGresult* r = PQexec(c, sql.c_str());
        ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
            out.push_back(std::string("ERR: ") + PQerrorMessage(c));
        } else {
            for (int i = 0; i < PQntuples(r); ++i) {
                std::string line;
                for (int k = 0; k < PQnfields(r); ++k) {
                    if (k) line += '|';
                    line += PQgetisnull(r, i, k) ? "NULL" : PQgetvalue(r, i, k);
                }
                out.push_back(line);
            }
        }
        PQclear(r);
        PQfinish(c);
        return out;
    }
    std::string one(const std::string& sql, const std::string& db = "postgres") {
        auto r = rows(sql, db);
        return r.empty() ? "" : r[0];
    }
    bool exec(const std::string& sql, const std::string& db = "postgres") {
        auto r = rows(sql, db);
        return r.empty() || r[0].rfind("ERR: ", 0) != 0;
    }

  private:
    // Stops the server and removes its directory, through the reaper.
    void discard() {
        if (reaperpipe_ >= 0) ::close(reaperpipe_);
        if (reaper_ > 0) ::waitpid(reaper_, nullptr, 0);
        reaperpipe_ = reaper_ = -1;
        dir_.clear();
    }
    static std::string slurp(const std::string& path) {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    static std::string bin(const std::string& name) {
        static const std::string dir = [] {
            std::string best;
            double newest = 0;  // versions sort as numbers: 9.6 < 15 < 16
            std::error_code ec;
            for (const auto& e : pgfs::directory_iterator("/usr/lib/postgresql", ec)) {
                double v = std::atof(e.path().filename().c_str());
                if (v > newest && ::access((e.path() / "bin/initdb").c_str(), X_OK) == 0) {
                    newest = v;
                    best = e.path().string() + "/bin/";
                }
            }
            return best;
        }();
        return dir + name;
    }

    // The user the server runs as: ourselves, or an unprivileged one for root.
    static bool serveruser(uid_t* uid, gid_t* gid) {
        *uid = ::geteuid();
        *gid = ::getegid();
        if (*uid != 0) return true;
        for (const char* name : {"postgres", "nobody"}) {
            if (passwd* pw = ::getpwnam(name)) {
                *uid = pw->pw_uid;
                *gid = pw->pw_gid;
                return true;
            }
        }
        return false;
    }

    // Gives path to the server user when we are root.
    static bool handover(const std::string& path) {
        uid_t uid;
        gid_t gid;
        return serveruser(&uid, &gid) && (::geteuid() != 0 || ::chown(path.c_str(), uid, gid) == 0);
    }

    // Runs args as the server user with output to the directory's log;
    // false with the reason (and the log's end) in *why.
    bool runas(const std::vector<std::string>& args, std::string* why = nullptr) {
        std::string out = dir_.empty() ? "/dev/null" : dir_ + "commands.log";
        pid_t pid = spawn(args, out);
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::string tail = slurp(out);
            if (tail.size() > 1500) tail = tail.substr(tail.size() - 1500);
            if (why) *why = args[0] + " " + args[1] + " failed: " + tail;
            return false;
        }
        return true;
    }

    static pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
        uid_t uid;
        gid_t gid;
        if (!serveruser(&uid, &gid)) return -1;
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = ::fork();
        if (pid != 0) return pid;
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        int nul = ::open("/dev/null", O_RDONLY);
        if (nul >= 0) ::dup2(nul, 0);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        if (::getuid() == 0 && uid != 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    bool initdb(std::string* why) {
        std::string pw = dir_ + "pwfile";
        std::ofstream(pw) << password << "\n";
        if (!handover(pw) ||
            !runas({bin("initdb"), "-D", data(), "-U", "postgres", "-E", "UTF8", "--locale=C",
                    "--auth-local=trust", "--auth-host=scram-sha-256", "--pwfile", pw, "--no-sync"},
                   why))
            return false;
        std::ofstream(data() + "/postgresql.conf", std::ios::app)
            << "\n# throwaway test server\nlisten_addresses = '127.0.0.1'\n"
               "fsync = off\nshared_buffers = 32MB\nmax_connections = 40\n"
               "max_wal_senders = 4\nwal_keep_size = 256MB\nlogging_collector = off\n";
        std::ofstream(data() + "/pg_hba.conf", std::ios::app)
            << "host replication all 127.0.0.1/32 scram-sha-256\n";
        return true;
    }

    bool setup(std::string* why) {
        discard();
        zotest::tmpdir t("zopg");
        dir_ = t.path;
        t.path.clear();  // ours to remove now, through the reaper
        if (dir_.empty() || !handover(dir_)) {
            *why = "cannot make a temporary directory for a server user that is not root";
            return false;
        }
        if (bin("initdb") == "initdb") {
            *why = "no PostgreSQL server binaries under /usr/lib/postgresql (run make deps)";
            return false;
        }
        return startreaper(why);
    }

    bool startreaper(std::string* why) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) {
            *why = "pipe failed";
            return false;
        }
        std::string dir = dir_;
        std::string ctl = bin("pg_ctl");
        reaper_ = ::fork();
        if (reaper_ == 0) {
            // Keep nothing of the parent open but our end of the pipe, so
            // that only the parent's end decides when we run.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != p[0]) ::close(fd);
            ::signal(SIGINT, SIG_IGN);
            ::signal(SIGTERM, SIG_IGN);
            // A time-out that kills the test's process group must not take
            // the reaper with it.
            ::setsid();
            char c;
            while (::read(p[0], &c, 1) > 0 || errno == EINTR) {
            }
            std::string data = dir + "data";
            if (::access((data + "/postmaster.pid").c_str(), F_OK) == 0) {
                pid_t pid = spawn({ctl, "stop", "-D", data, "-m", "immediate", "-w", "-t", "30"},
                                  "/dev/null");
                if (pid > 0) ::waitpid(pid, nullptr, 0);
            }
            std::error_code ec;
            pgfs::remove_all(dir, ec);
            ::_exit(0);
        }
        ::close(p[0]);
        reaperpipe_ = p[1];  // discard() closes it also after a failed fork
        if (reaper_ < 0) *why = "fork failed";
        return reaper_ > 0;
    }

    bool launch(std::string* why) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (port_ == 0 || attempt > 0) {
                zotest::heldport h(SOCK_STREAM);
                port_ = h.port;
            }
            if (runas({bin("pg_ctl"), "start", "-D", data(), "-l", dir_ + "server.log", "-w", "-t",
                       "60", "-o", "-p " + std::to_string(port_) + " -k " + sockdir()},
                      why))
                return true;
            // Another process may have taken the port meanwhile.
            if (log().find("could not bind") == std::string::npos) break;
        }
        *why += "\nserver log:\n" + log();
        return false;
    }

    std::string data() const { return dir_ + "data"; }

    std::string dir_;  // ends in '/'
    int port_ = 0;
    pid_t reaper_ = -1;
    int reaperpipe_ = -1;
};

// One server for every case of a test process, started at the first use;
// a server that does not start fails each case that asks for it.
inline pgserver& sharedserver() {
    static pgserver s;
    static std::string why;
    static bool up = s.start(&why);
    EXPECT_TRUE(up) << "the PostgreSQL test server did not start: " << why;
    return s;
}

}  // namespace oxatest
