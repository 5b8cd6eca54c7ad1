// ctl.h - oxactl, the command-line look into the database of the client
// library:
//
//   oxactl [--json] URL snapshot [GLOB]
//   oxactl [--json] URL history NAME [--from MS] [--to MS] [--limit N]
//   oxactl [--json] URL soe [--limit N]
//   oxactl [--json] URL ctrltags
//   oxactl URL write NAME VALUE [--type N] [--quality Q]
//
// URL is a database URL of the client library (SQLite file or PostgreSQL
// server); every command works on both.  Tables are printed with aligned
// columns; --json prints one JSON object per row instead.  Exit codes: 0 success, 1 runtime failure (missing or
// unusable database), 2 bad arguments.  The database is never created here:
// it is the library's to create.
//
// Thread-safety: run() uses no shared state; each call opens its own
// connection.
#pragma once
#include <cstdio>

namespace oxactl {

extern const char* const usage;

// Runs one command line (argv[0] is the program name) and returns the exit
// code; results go to out, messages to err.
int run(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace oxactl
