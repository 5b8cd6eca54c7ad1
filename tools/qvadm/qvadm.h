// qvadm.h - qvadm, the administration tool of Quorvane:
//
//   qvadm check [--connect] [--timeout S] CONFIG...
//   qvadm cache ls DIR
//   qvadm cache dump [--kind value|soe] [--name GLOB] FILE
//   qvadm cache verify DIR|FILE
//   qvadm cache salvage FILE OUT
//
// Exit codes: 0 fine, 1 problems found, 2 a mistake on the command line.
//
// Thread-safety: run() parses with getopt_long (global state): one call at
// a time.
#pragma once
#include <cstdio>
#include <string>

namespace qvadm {

extern const char* const usage;

// Runs one command line (argv[0] is the program name); results go to out,
// messages to err.  Returns the exit code.
int run(int argc, char** argv, FILE* out, FILE* err);

// Where a CONFIG argument is read from: a path that exists as given, else a
// bare name looked up as Quorvane does, in "config/" beside the programs
// (the directory of this program, then confdir).
std::string configpath(const std::string& arg, const std::string& moddir,
                       const std::string& confdir);

}  // namespace qvadm
