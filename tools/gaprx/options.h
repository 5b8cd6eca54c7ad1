// options.h - the command line of gaprx:
//
//   gaprx gapudp://HOST:PORT DB_URL USER PASSWORD [--stats SECONDS]
//
// parseargs() reads it with getopt_long (options may stand anywhere, "--"
// ends them, "--stats=N" and "--stats N" both work) and reports a bad
// argument with a one-line reason; it prints nothing itself.
//
// Thread-safety: getopt_long keeps global state; call from one thread.
#pragma once
#include <string>

namespace gaprx {

struct options {
    std::string url;    // gapudp://HOST:PORT, the address Quorvane's link URL names
    std::string dburl;  // where the values go, as in a link configuration
    std::string user;   // the link's user and password: checked in every datagram,
    std::string pswd;   // and used to open the database
    int stats = 60;     // seconds between counter lines; 0: only on SIGUSR1 and at exit
    int loglevel = 30;  // lines above it are left out (--log-level)
    bool help = false;
    bool version = false;
};

// 0 on success (o->help or o->version may be set, and then nothing else is
// required); -1 with the reason in *err.
int parseargs(int argc, char** argv, options* o, std::string* err);

extern const char usage[];

}  // namespace gaprx
