#include "tools/iosim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
    err->clear();
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            o->help = true;
            continue;
        }
        if (std::strcmp(a, "--refuse-login") == 0) {
            o->refuselogin = true;
            continue;
        }
        if (std::strcmp(a, "--quiet") == 0 || std::strcmp(a, "-q") == 0) {
            o->quiet = true;
            continue;
        }
        if (std::strncmp(a, "--", 2) != 0) {
            err->appendf("unexpected argument \"%s\"", a);
            return -1;
        }
        // The name, and the value either after '=' or in the next argument.
        zo::string name;
        const char* val = nullptr;
        const char* eq = std::strchr(a, '=');
        if (eq) {
            name.append(a, static_cast<uint32_t>(eq - a));
            val = eq + 1;
        } else {
            name.append(a);
            if (i + 1 < argc) val = argv[++i];
        }
        const char* n = name.c_str();
        bool known = true;
        bool ok = val != nullptr;
        if (std::strcmp(n, "--listen") == 0) {
            ok = ok && std::strncmp(val, "ipc://", 6) == 0 && val[6] != 0;
            if (ok) o->listen.assign(std::string_view(val));
        } else if (std::strcmp(n, "--tags") == 0) {
            ok = ok && tou32(val, 1, 10000000, &o->tags);
        } else if (std::strcmp(n, "--rate") == 0) {
            ok = ok && todouble(val, 0, 1e9, &o->rate);
        } else if (std::strcmp(n, "--types") == 0) {
            ok = ok && parsetypes(val, &o->types);
        } else if (std::strcmp(n, "--soe-rate") == 0) {
            ok = ok && todouble(val, 0, 1e9, &o->soerate);
        } else if (std::strcmp(n, "--ctrl-tags") == 0) {
            ok = ok && tou32(val, 0, 100000, &o->ctrltags);
        } else if (std::strcmp(n, "--duration") == 0) {
            ok = ok && todouble(val, 0, 1e9, &o->duration);
        } else if (std::strcmp(n, "--exit-after") == 0) {
            ok = ok && todouble(val, 0, 1e9, &o->exitafter);
        } else if (std::strcmp(n, "--count") == 0) {
            ok = ok && tou64(val, 0, UINT64_MAX, &o->count);
        } else {
            known = false;
        }
        if (!known) {
            err->appendf("unknown option \"%s\"", n);
            return -1;
        }
        if (!val) {
            err->appendf("option %s needs a value", n);
            return -1;
        }
        if (!ok) {
            err->appendf("bad value \"%s\" for %s", val, n);
            return -1;
        }
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
           "\n"
           "The last line is a summary: \"iosim: sent values=N soe=N ...; received ...\".\n"
           "Exit codes: 0 ok, 1 runtime failure (cannot listen), 2 bad arguments.\n";
}

}  // namespace iosim
