// cliopts.h - the one option style of the command-line tools (iosim,
// logview, oxactl, gaprx, qvadm).
//
// Options are GNU long options read by getopt_long: "--name value" and
// "--name=value", short letters where a tool has them, options anywhere
// among the other arguments, and "--" ending them.  Every tool has --help
// (usage on standard output, exit 0) and --version.  A mistake on the
// command line is one line on standard error in the same words for every
// tool, a pointer to --help, and exit code 2:
//
//   qvadm: unknown option '--kidn'
//   qvadm: option '--kind' needs a value
//   qvadm: bad value 'x' for --kind: one of value, soe
//   (try 'qvadm --help')
//
// Thread-safety: parse() uses getopt_long's global state; call it from one
// thread at a time.
#pragma once
#include <getopt.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zo::cli {

constexpr int exitusage = 2;

// Called for each option with its id (the val of its ::option) and value
// (null when it takes none); returns "" when the value is good, else why not.
using onoption = std::function<std::string(int id, const char* value)>;

// Parses argv[1..argc-1] by longopts (ending in a zero entry) and shortopts
// (getopt's form, may be ""), calling on for each option in order.  True
// with the other arguments in *rest; false after printing the mistake to err.
bool parse(const char* prog, int argc, char* const* argv, const option* longopts,
           const char* shortopts, const onoption& on, std::vector<std::string>* rest, FILE* err);

// The same, for a tool that reports the mistake itself: false with WHAT
// (e.g. "unknown option '--kidn'") in *mistake, nothing printed.
bool parse(int argc, char* const* argv, const option* longopts, const char* shortopts,
           const onoption& on, std::vector<std::string>* rest, std::string* mistake);

// Prints "PROG: WHAT" and the pointer to --help; returns exitusage.
int usageerror(const char* prog, const std::string& what, FILE* err);

// "PROG (Quorvane) 1.0.3.4"
void printversion(const char* prog, FILE* out);
const char* version();

}  // namespace zo::cli
