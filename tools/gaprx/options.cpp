#include "tools/gaprx/options.h"

#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/ilog.h"
#include "tools/cli/cliopts.h"

namespace gaprx {

namespace {

// A level word of the logger, or a decimal number above 0.
bool levelknown(const char* w) {
    static const char* const words[] = {"err", "wrn", "inf", "msg", "mor", "dbg", "all"};
    for (const char* k : words) {
        if (strcasecmp(w, k) == 0) return true;
    }
    return *w && std::strspn(w, "0123456789") == std::strlen(w) && std::atoi(w) > 0;
}

}  // namespace

const char usage[] =
    "usage: gaprx gapudp://HOST:PORT DB_URL USER PASSWORD [--stats SECONDS]\n"
    "Receives the datagrams that Quorvane sends across a one-way network gap\n"
    "(a link URL with the scheme gapudp) and writes the tag values and SOE records\n"
    "they carry into the database DB_URL, as Quorvane would next to it.\n"
    "\n"
    "  gapudp://HOST:PORT    the address to receive on: the one Quorvane's link URL\n"
    "                        names (HOST 0.0.0.0 or :: for every interface)\n"
    "  DB_URL                the database, e.g. sqlite://localhost/var/lib/rt.db\n"
    "  USER PASSWORD         the user and password of Quorvane's link: datagrams made\n"
    "                        with others are refused; also used to open the database\n"
    "  --stats SECONDS       a line of counters every SECONDS (default 60; 0: only\n"
    "                        on SIGUSR1 and at exit)\n"
    "  --log-level LEVEL     err, wrn, inf (default), dbg, or a number\n"
    "  --help, -h            this text\n"
    "  --version, -V         the version\n"
    "\n"
    "Messages go to standard error, the counter lines to standard output.\n"
    "SIGTERM, SIGINT or SIGHUP end gaprx after it has written what it holds.\n"
    "Exit codes: 0 ok, 1 runtime failure (cannot bind, no database), 2 bad arguments.\n";

int parseargs(int argc, char** argv, options* o, std::string* err) {
    static const option longopts[] = {{"stats", required_argument, nullptr, 's'},
                                      {"log-level", required_argument, nullptr, 'l'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    err->clear();
    auto on = [o](int id, const char* v) -> std::string {
        switch (id) {
            case 'h':
                o->help = true;
                break;
            case 'V':
                o->version = true;
                break;
            case 's': {
                char* end = nullptr;
                errno = 0;
                long n = std::strtol(v, &end, 10);
                if (errno || end == v || *end || n < 0 || n > 86400) return "seconds, 0 to 86400";
                o->stats = static_cast<int>(n);
                break;
            }
            case 'l':
                o->loglevel = zo::levelfromword(v);
                if (!levelknown(v)) return "a level word (err wrn inf msg mor dbg all) or a number";
                break;
        }
        return "";
    };
    std::vector<std::string> rest;
    if (!zo::cli::parse(argc, argv, longopts, "hV", on, &rest, err)) return -1;
    if (o->help || o->version) return 0;
    if (rest.size() != 4) {
        *err = rest.size() < 4 ? "missing arguments: the receive address, the database URL, the "
                                 "user and the password are all needed"
                               : "unexpected argument '" + rest[4] + "'";
        return -1;
    }
    o->url = rest[0];
    o->dburl = rest[1];
    o->user = rest[2];
    o->pswd = rest[3];
    if (o->user.empty() || o->pswd.empty()) {
        *err = "the user and the password must not be empty (Quorvane's link needs both)";
        return -1;
    }
    return 0;
}

}  // namespace gaprx
