#include "tools/qvadm/qvadm.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/dirs.h"
#include "base/env.h"
#include "tools/cli/cliopts.h"
#include "tools/qvadm/cachetool.h"
#include "tools/qvadm/cfgcheck.h"

#ifndef QV_CONFDIR
#define QV_CONFDIR "/etc/quorvane"
#endif

namespace qvadm {

const char* const usage =
    "usage: qvadm COMMAND [OPTIONS] ARGS\n"
    "The administration tool of Quorvane.\n"
    "\n"
    "commands:\n"
    "  check [--connect] [--timeout S] CONFIG...\n"
    "                       read link configurations strictly: syntax with line and\n"
    "                       column, unknown or misspelt keys, wrong types, values\n"
    "                       out of range and what Quorvane uses instead, the cache\n"
    "                       directory, the URLs, cache directories shared by two\n"
    "                       configurations.  --connect also opens each database\n"
    "                       (waiting at most S seconds, default 10).  A CONFIG\n"
    "                       without a '/' that is not a file here is looked up in\n"
    "                       config/ beside the programs, as Quorvane does\n"
    "  cache ls DIR         the cache files: periods, blocks, records, bytes, damage\n"
    "  cache dump [--kind value|soe] [--name GLOB] FILE\n"
    "                       the records of a cache file as JSON lines\n"
    "  cache verify DIR|FILE\n"
    "                       every damaged block and where it is\n"
    "  cache salvage FILE OUT\n"
    "                       the whole blocks of FILE into the new file OUT (or\n"
    "                       OUT/<name of FILE> when OUT is a directory)\n"
    "\n"
    "options:\n"
    "  --help, -h           this text\n"
    "  --version            the version\n"
    "\n"
    "exit codes: 0 fine, 1 problems found, 2 a mistake on the command line\n";

std::string configpath(const std::string& arg, const std::string& moddir,
                       const std::string& confdir) {
    if (arg.find('/') != std::string::npos || zo::env::current()->filesize(arg) >= 0) return arg;
    for (const std::string& dir : {moddir.empty() ? std::string() : moddir + "config/",
                                   confdir.empty() ? std::string() : confdir + "/"}) {
        if (!dir.empty() && zo::env::current()->filesize(dir + arg) >= 0) return dir + arg;
    }
    return arg;
}

namespace {

enum : int { optconnect = 1000, opttimeout, optkind, optname, optversion };

}  // namespace

int run(int argc, char** argv, FILE* out, FILE* err) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optversion},
        {"connect", no_argument, nullptr, optconnect},
        {"timeout", required_argument, nullptr, opttimeout},
        {"kind", required_argument, nullptr, optkind},
        {"name", required_argument, nullptr, optname},
        {nullptr, 0, nullptr, 0},
    };
    bool help = false, version = false, connect = false;
    int timeout = 10;
    dumpfilter filter;
    std::vector<std::string> used;  // options given, for the check that they fit the command
    auto on = [&](int id, const char* v) -> std::string {
        switch (id) {
            case 'h':
                help = true;
                return "";
            case optversion:
                version = true;
                return "";
            case optconnect:
                connect = true;
                used.push_back("--connect");
                return "";
            case opttimeout: {
                char* end = nullptr;
                long s = std::strtol(v, &end, 10);
                if (*v == 0 || *end != 0 || s < 1 || s > 3600) return "seconds, 1 to 3600";
                timeout = static_cast<int>(s);
                used.push_back("--timeout");
                return "";
            }
            case optkind:
                if (std::strcmp(v, "value") == 0) {
                    filter.kind = 0;
                } else if (std::strcmp(v, "soe") == 0) {
                    filter.kind = 1;
                } else {
                    return "one of value, soe";
                }
                used.push_back("--kind");
                return "";
            case optname:
                filter.name = v;
                used.push_back("--name");
                return "";
        }
        return "";
    };
    std::vector<std::string> a;
    if (!zo::cli::parse("qvadm", argc, argv, longopts, "h", on, &a, err)) {
        return zo::cli::exitusage;
    }
    if (help) {
        std::fputs(usage, out);
        return 0;
    }
    if (version) {
        zo::cli::printversion("qvadm", out);
        return 0;
    }
    auto bad = [&](const std::string& what) { return zo::cli::usageerror("qvadm", what, err); };
    auto onlyfor = [&](const std::vector<std::string>& allowed, const char* cmd) -> bool {
        for (const std::string& o : used) {
            bool ok = false;
            for (const std::string& x : allowed) ok = ok || o == x;
            if (!ok) {
                bad("option '" + o + "' does not go with '" + cmd + "'");
                return false;
            }
        }
        return true;
    };
    if (a.empty()) return bad("a command is missing: check or cache");
    if (a[0] == "check") {
        if (!onlyfor({"--connect", "--timeout"}, "check")) return zo::cli::exitusage;
        if (a.size() < 2) return bad("check needs at least one CONFIG");
        zo::string moddir;
        zo::moddir(moddir);
        cfgcheck c(out);
        for (size_t i = 1; i < a.size(); ++i) {
            c.checkfile(configpath(a[i], std::string(moddir.view()), QV_CONFDIR));
        }
        c.checkshared();
        if (connect) c.connect(timeout * 1000);
        return c.errors() ? 1 : 0;
    }
    if (a[0] == "cache") {
        const std::string sub = a.size() > 1 ? a[1] : "";
        const size_t nargs = a.size() - 2;
        if (sub == "ls" || sub == "verify") {
            if (!onlyfor({}, "cache")) return zo::cli::exitusage;
            if (nargs != 1)
                return bad("cache " + sub + " needs one " + (sub == "ls" ? "DIR" : "DIR or FILE"));
            return sub == "ls" ? cachels(a[2], out, err) : cacheverify(a[2], out, err);
        }
        if (sub == "dump") {
            if (!onlyfor({"--kind", "--name"}, "cache dump")) return zo::cli::exitusage;
            if (nargs != 1) return bad("cache dump needs one FILE");
            return cachedump(a[2], filter, out, err);
        }
        if (sub == "salvage") {
            if (!onlyfor({}, "cache")) return zo::cli::exitusage;
            if (nargs != 2) return bad("cache salvage needs FILE and OUT");
            return cachesalvage(a[2], a[3], out, err);
        }
        return bad(sub.empty() ? "cache needs ls, dump, verify or salvage"
                               : "unknown cache command '" + sub + "'");
    }
    return bad("unknown command '" + a[0] + "'");
}

}  // namespace qvadm
