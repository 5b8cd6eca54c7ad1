#include "tools/iosim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/cliopts.h"

namespace iosim {

namespace {

bool todouble(const char* s, double lo, double hi, double* v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(s, &end);
    if (errno != 0 || *end != 0 || !std::isfinite(d) || d < lo || d > hi) return false;
    *v = d;
    return true;
}

bool tou64(const char* s, uint64_t lo, uint64_t hi, uint64_t* v) {
    if (!s || *s < '0' || *s > '9') return false;  // strtoull would take "-1"
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != 0 || n < lo || n > hi) return false;
    *v = n;
    return true;
}

bool tou32(const char* s, uint32_t lo, uint32_t hi, uint32_t* v) {
    uint64_t n;
    if (!tou64(s, lo, hi, &n)) return false;
    *v = static_cast<uint32_t>(n);
    return true;
}

}  // namespace

bool parsetypes(const char* text, typelist* out) {
    typelist t;
    const char* p = text;
    if (!p || !*p) return false;
    for (;;) {
        if (*p < '1' || *p > '7') return false;
        t.push_back(static_cast<uint32_t>(*p - '0'));
        ++p;
        if (*p == 0) break;
        if (*p != ',') return false;
        ++p;
    }
    *out = std::move(t);
    return true;
}

int parseargs(int argc, const char* const* argv, simopts* o, zo::string* err) {
    enum : int {
        listen = 256,
        tags,
        rate,
        types,
        soerate,
        ctrltags,
        duration,
        exitafter,
        count,
        refuse
    };
    static const option longopts[] = {{"listen", required_argument, nullptr, listen},
                                      {"tags", required_argument, nullptr, tags},
                                      {"rate", required_argument, nullptr, rate},
                                      {"types", required_argument, nullptr, types},
                                      {"soe-rate", required_argument, nullptr, soerate},
                                      {"ctrl-tags", required_argument, nullptr, ctrltags},
                                      {"duration", required_argument, nullptr, duration},
                                      {"exit-after", required_argument, nullptr, exitafter},
                                      {"count", required_argument, nullptr, count},
                                      {"refuse-login", no_argument, nullptr, refuse},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    err->clear();
    auto on = [o](int id, const char* v) -> std::string {
        bool ok = true;
        switch (id) {
            case listen:
                ok = std::strncmp(v, "ipc://", 6) == 0 && v[6] != 0;
                if (ok) o->listen.assign(std::string_view(v));
                return ok ? "" : "an address ipc://HOST:PORT";
            case tags:
                return tou32(v, 1, 10000000, &o->tags) ? "" : "a count, 1 to 10000000";
            case rate:
                return todouble(v, 0, 1e9, &o->rate) ? "" : "values per second, 0 or more";
            case types:
                return parsetypes(v, &o->types) ? "" : "type codes 1 to 7, e.g. 1,3,5,6";
            case soerate:
                return todouble(v, 0, 1e9, &o->soerate) ? "" : "records per second, 0 or more";
            case ctrltags:
                return tou32(v, 0, 100000, &o->ctrltags) ? "" : "a count, 0 to 100000";
            case duration:
                return todouble(v, 0, 1e9, &o->duration) ? "" : "seconds, 0 or more";
            case exitafter:
                return todouble(v, 0, 1e9, &o->exitafter) ? "" : "seconds, 0 or more";
            case count:
                return tou64(v, 0, UINT64_MAX, &o->count) ? "" : "a count, 0 or more";
            case refuse:
                o->refuselogin = true;
                return "";
            case 'q':
                o->quiet = true;
                return "";
            case 'h':
                o->help = true;
                return "";
            case 'V':
                o->version = true;
                return "";
        }
        return "";
    };
    std::vector<std::string> rest;
    std::string mistake;
    if (!zo::cli::parse(argc, const_cast<char* const*>(argv), longopts, "qhV", on, &rest,
                        &mistake)) {
        err->assign(std::string_view(mistake));
        return -1;
    }
    if (!rest.empty()) {
        err->appendf("unexpected argument '%s'", rest[0].c_str());
        return -1;
    }
    return 0;
}

const char* usage() {
    return "usage: iosim [options]\n"
           "An IO-server simulator: waits for Quorvane to connect, answers its login,\n"
           "sends tag values and SOE records, registers control tags, and prints the\n"
           "run information and control values Quorvane sends back.\n"
           "\n"
           "  --listen ipc://HOST:PORT  where to listen (default ipc://127.0.0.1:18802;\n"
           "                            port 0 picks a free port, printed at start)\n"
           "  --tags N                  number of tags, named iosim.t0001 ... (default 100)\n"
           "  --rate VALUES_PER_S       tag values per second, all tags in turn\n"
           "                            (default 100; 0 = as fast as possible)\n"
           "  --types MIX               value types given to the tags in turn, e.g. 1,3,5,6\n"
           "                            (1,2 int32  3 float  4 int64  5 double  6 text\n"
           "                            7 bytes; default 1,3,5,6)\n"
           "  --soe-rate N              SOE records per second (default 1; 0 = none)\n"
           "  --ctrl-tags N             control tags iosim.c0001 ... to register after\n"
           "                            each login (default 0)\n"
           "  --count N                 stop sending after N values in all (default: no limit)\n"
           "  --exit-after S            S seconds after the login, order Quorvane to exit;\n"
           "                            iosim ends when Quorvane has closed the connection\n"
           "  --duration S              end after S seconds (default: run until Ctrl-C)\n"
           "  --refuse-login            refuse every login\n"
           "  --quiet, -q               no line per run-information report or control value\n"
           "  --help, -h                this text\n"
           "  --version, -V             the version\n"
           "\n"
           "The last line is a summary: \"iosim: sent values=N soe=N ...; received ...\".\n"
           "Exit codes: 0 ok, 1 runtime failure (cannot listen), 2 bad arguments.\n";
}

}  // namespace iosim
