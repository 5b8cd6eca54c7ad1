#include "tools/gaprx/options.h"

#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/ilog.h"

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
    optind = 0;  // a fresh scan on every call (tests call it more than once)
    opterr = 0;  // the reason goes to *err, not to stderr
    int c;
    while ((c = getopt_long(argc, argv, ":hV", longopts, nullptr)) != -1) {
        switch (c) {
            case 'h':
                o->help = true;
                break;
            case 'V':
                o->version = true;
                break;
            case 's': {
                char* end = nullptr;
                errno = 0;
                long v = std::strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || v < 0 || v > 86400) {
                    *err = std::string("bad value \"") + optarg +
                           "\" for --stats (seconds, 0 to 86400)";
                    return -1;
                }
                o->stats = static_cast<int>(v);
                break;
            }
            case 'l':
                o->loglevel = zo::levelfromword(optarg);
                if (!levelknown(optarg)) {
                    *err = std::string("bad value \"") + optarg + "\" for --log-level";
                    return -1;
                }
                break;
            case ':':
                *err = std::string("option ") + argv[optind - 1] + " needs a value";
                return -1;
            default:
                if (optopt) {
                    *err = std::string("unknown option \"-") + static_cast<char>(optopt) + "\"";
                } else {
                    *err = std::string("unknown option \"") + argv[optind - 1] + "\"";
                }
                return -1;
        }
    }
    if (o->help || o->version) return 0;
    int rest = argc - optind;
    if (rest != 4) {
        *err = rest < 4 ? "missing arguments: the receive address, the database URL, the user "
                          "and the password are all needed"
                        : std::string("unexpected argument \"") + argv[optind + 4] + "\"";
        return -1;
    }
    o->url = argv[optind];
    o->dburl = argv[optind + 1];
    o->user = argv[optind + 2];
    o->pswd = argv[optind + 3];
    if (o->user.empty() || o->pswd.empty()) {
        *err = "the user and the password must not be empty (Quorvane's link needs both)";
        return -1;
    }
    return 0;
}

}  // namespace gaprx
