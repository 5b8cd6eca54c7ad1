// cachetool.h - `qvadm cache`: what the local cache holds, read with the
// daemon's own reader (cache/cachefile.h), so that a file looks here the way
// the replay will see it.
//
//   ls DIR            one line per cache file: its ten-minute period in local
//                     time, blocks, tag values, SOE records, bytes, damage;
//                     then the totals and the age of the oldest period
//   dump FILE         the records as JSON lines, optionally only one kind or
//                     the names matching a glob
//   verify DIR|FILE   every damaged block with its offset and what is wrong
//                     (bytes passed over, a torn end, a body that does not
//                     decode into records)
//   salvage FILE OUT  the whole blocks of FILE, as they are stored, into the
//                     new file OUT (a directory: OUT/<FILE's name>), which
//                     the replay reads without a fault
//
// Each returns the exit code: 0 fine, 1 problems found (damage, a file that
// cannot be read or written).  Results go to out, problems to err.
//
// Thread-safety: none; the functions use no shared state.
#pragma once
#include <cstdio>
#include <string>

namespace qvadm {

struct dumpfilter {
    int kind = -1;     // 0 tag values, 1 SOE records, -1 both
    std::string name;  // glob on the tag name (an SOE record's f236); "" all
};

int cachels(const std::string& dir, FILE* out, FILE* err);
int cachedump(const std::string& file, const dumpfilter& f, FILE* out, FILE* err);
int cacheverify(const std::string& path, FILE* out, FILE* err);
int cachesalvage(const std::string& file, const std::string& outpath, FILE* out, FILE* err);

}  // namespace qvadm
