// cfgcheck.h - `qvadm check`: the strict reading of link configurations.
//
// Quorvane reads its link configuration leniently (dblink/link_config.h):
// unknown keys are ignored, commas are optional, "8h" reads as 8, numbers
// out of range are clamped, a broken link entry is skipped, and a cache
// directory that cannot be made only turns the cache off.  Each of these
// costs values in the next outage.  The checker reads the same text by
// JSON's own rules (zo::jsonscan::scanstrict, positions mapped back through
// the comment removal) and loads it with the daemon's own loader, so that it
// can say both what is wrong and what Quorvane will do with it.
//
// Findings are printed as "FILE:LINE:COL: error: TEXT" (or "note:"), lines
// and columns counted from 1, columns in characters; then one summary line
// per file.  Errors are what loses values or keeps the daemon from
// starting; notes are what an operator should know and need not change.
//
// Checks: the syntax (a missing or doubled comma, a literal that is not a
// number, a bad escape, "//" comments, a comment marker inside a string, an
// unclosed comment); unknown or misspelt keys with the nearest known key;
// keys given twice; wrong types; required link members; values outside the
// limits and the value used instead; the cache directory (absent, relative,
// not a directory, not writable, or not creatable); the URLs of the links
// (the library's database URLs, gapudp://HOST:PORT, the uplink check); and,
// across files, two configurations that share one cache directory.
// connect() opens each configuration's database through the client library
// and says what it found.
//
// Thread-safety: none; one thread uses an object.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qvadm {

class cfgcheck {
  public:
    explicit cfgcheck(FILE* out) : out_(out) {}

    // Checks one file; its findings and summary are printed.
    void checkfile(const std::string& path);
    // Checks what the files checked so far share (call after the last one).
    void checkshared();
    // Opens the database of every file checked so far that names one,
    // waiting at most timeoutms for each, and prints what it found.
    void connect(int timeoutms);

    int errors() const { return errors_; }

    // The known key nearest to key (ASCII case ignored), or "" when none is
    // near enough to be a likely misspelling.
    static std::string nearest(const std::string& key, const std::vector<const char*>& known);

  private:
    struct fileinfo {
        std::string path;
        std::string cachedir;   // as Quorvane uses it, "" when none
        std::string cachereal;  // the same with symbolic links resolved, for comparison
        size_t cachepos = 0;    // line/column text of the "cache_path" member
        std::string cacheat;
        std::string dburl, user, pswd;  // the first link, when it is a database link
        std::string slavehost, slaveuser, slavepswd;
        uint16_t slaveport = 0;
    };

    void report(const std::string& where, bool error, const std::string& text);

    FILE* out_;
    int errors_ = 0;
    std::vector<fileinfo> files_;
    friend class filecheck;
};

}  // namespace qvadm
