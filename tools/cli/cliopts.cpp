#include "tools/cli/cliopts.h"

#include <cstring>

namespace zo::cli {

bool parse(const char* prog, int argc, char* const* argv, const option* longopts,
           const char* shortopts, const onoption& on, std::vector<std::string>* rest, FILE* err) {
    std::string mistake;
    if (parse(argc, argv, longopts, shortopts, on, rest, &mistake)) return true;
    usageerror(prog, mistake, err);
    return false;
}

bool parse(int argc, char* const* argv, const option* longopts, const char* shortopts,
           const onoption& on, std::vector<std::string>* rest, std::string* mistake) {
    // ':' first: a missing value is reported as ':' and nothing is printed
    // by getopt itself, so that every tool words its mistakes alike.
    std::string shorts = ":";
    shorts += shortopts;
    optind = 0;  // a full restart of getopt's scan, also for a second call
    opterr = 0;
    for (;;) {
        int longindex = -1;
        int c = getopt_long(argc, argv, shorts.c_str(), longopts, &longindex);
        if (c == -1) break;
        // The option as written, for the messages.
        std::string name = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        if (name.rfind("--", 0) == 0) {
            name = name.substr(0, name.find('='));
        } else if (c == '?' || c == ':') {
            name = std::string("-") + static_cast<char>(optopt);
        }
        if (c == '?') {
            *mistake = "unknown option '" + name + "'";
            return false;
        }
        if (c == ':') {
            *mistake = "option '" + name + "' needs a value";
            return false;
        }
        if (longindex >= 0) {
            name = std::string("--") + longopts[longindex].name;
        } else {
            for (const option* o = longopts; o->name; ++o) {
                if (o->val == c) name = std::string("--") + o->name;
            }
        }
        std::string why = on(c, optarg);
        if (!why.empty()) {
            *mistake =
                "bad value '" + std::string(optarg ? optarg : "") + "' for " + name + ": " + why;
            return false;
        }
    }
    rest->clear();
    for (int i = optind; i < argc; ++i) rest->push_back(argv[i]);
    return true;
}

int usageerror(const char* prog, const std::string& what, FILE* err) {
    std::fprintf(err, "%s: %s\n(try '%s --help')\n", prog, what.c_str(), prog);
    return exitusage;
}

const char* version() {
    return ZO_VERSION;
}

void printversion(const char* prog, FILE* out) {
    std::fprintf(out, "%s (Quorvane) %s\n", prog, ZO_VERSION);
}

}  // namespace zo::cli
