// options.h - the command line of iosim, the IO-server simulator.
//
// parseargs() turns argv into a simopts and reports a bad argument with a
// one-line reason; it prints nothing itself, so that main decides where the
// text goes and which exit code follows (2 for bad arguments).
//
// Thread-safety: plain data and free functions without shared state.
#pragma once
#include <cstdint>
#include <vector>

#include "base/alloc.h"
#include "base/string_.h"

namespace iosim {

using typelist = std::vector<uint32_t, zo::stdalloc<uint32_t>>;

struct simopts {
    zo::string listen = "ipc://127.0.0.1:18802";
    uint32_t tags = 100;         // distinct tag names iosim.t0001 ...
    double rate = 100;           // tag values per second; 0 means as fast as possible
    typelist types{1, 3, 5, 6};  // value types given to the tags in turn
    double soerate = 1;          // SOE records per second; 0 sends none
    uint32_t ctrltags = 0;       // control tags iosim.c0001 ... registered after login
    double duration = 0;         // seconds until iosim ends by itself; 0: never
    double exitafter = -1;       // seconds after a login to send the exit order; <0: never
    uint64_t count = 0;          // total values to send, then stop sending; 0: no limit
    bool refuselogin = false;    // answer every login with a refusal
    bool quiet = false;          // no line per received report or control value
    bool help = false;
    bool version = false;
};

// Parses argv[1..argc-1] in the tools' one option style (tools/cli/cliopts.h).
// Returns 0 on success (o->help set for --help/-h, o->version for
// --version/-V), -1 with the mistake in *err otherwise.
int parseargs(int argc, const char* const* argv, simopts* o, zo::string* err);

// Parses a type mix such as "1,3,5,6" (codes 1 to 7, no duplicates needed).
// False on an empty list, a code out of range or stray characters.
bool parsetypes(const char* text, typelist* out);

// The usage text for --help.
const char* usage();

}  // namespace iosim
