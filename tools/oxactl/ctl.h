// ctl.h - oxactl, the command-line look into the database of the client
// library:
//
//   oxactl [--json|--csv] DB snapshot [GLOB]
//   oxactl [--json|--csv] DB history NAME [--from WHEN] [--to WHEN] [--limit N]
//   oxactl [--json|--csv] DB soe [--limit N]
//   oxactl [--json|--csv] DB ctrltags
//   oxactl [--json|--csv] DB watch [GLOB] [--interval MS]
//   oxactl DB write NAME VALUE [--type N] [--quality Q]
//
// DB is a database URL of the client library (SQLite file or PostgreSQL
// server), sqlite:///PATH, or a plain file path; every command works on
// both engines.  WHEN is a local date-time or milliseconds since 1970 UTC
// (parsetime).  Tables are printed with aligned columns for a terminal;
// --json prints one JSON object per row, --csv a header line and RFC 4180
// rows.  Options follow the tools' one style (tools/cli/cliopts.h).  Exit
// codes: 0 success, 1 runtime failure (missing or unusable database, a tag
// that is not there), 2 bad arguments.  The database is never created
// here: it is the library's to create.
//
// watch prints the matching snapshots, then a row for every snapshot whose
// time changed since the last look, once per interval, until a descriptor
// from stopfd() becomes readable or the output is gone (both exit 0).
//
// Thread-safety: run() uses getopt's global state (one thread at a time);
// each call opens its own connection.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace oxactl {

extern const char* const usage;

// Runs one command line (argv[0] is the program name) and returns the exit
// code; results go to out, messages to err.  watch alone calls stopfd (may
// be null) for the descriptor that ends it when it becomes readable (the
// program sets its signals up then: other commands end on Ctrl-C as usual).
int run(int argc, const char* const* argv, FILE* out, FILE* err, int (*stopfd)() = nullptr);

// "2026-12-06 01:55:10", "2026-12-06T01:55:10" (local time; seconds and
// ".mmm" milliseconds optional; a date alone is its midnight) or an
// integer of milliseconds
// since 1970 UTC; false for anything else, a date that does not exist, or a
// local time skipped by a clock change.  A local time that occurs twice
// (the clock set back) is the earlier one.
bool parsetime(const std::string& s, int64_t* ms);

}  // namespace oxactl
