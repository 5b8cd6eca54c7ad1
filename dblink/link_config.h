// link_config.h - the link configuration: which database(s) to write to and
// where the local cache lives.
//
// The file is JSON with block comments ("/* ... */", recognised anywhere,
// also inside strings; "//" is not a comment), optionally starting with a
// UTF-8 byte-order mark:
//   { "dblinks": [ {"node":"n1", "url":"...", "user":"u", "pswd":"p",
//                   "srvcafile":""}, ... ],
//     "cache_path": "D:/data/cache", "cache_maxsize": 1000, "cache_maxhour": 8,
//     "metrics_path": "/var/lib/node_exporter" }
// Keys are matched without regard to ASCII letter case.  A link entry lacking
// node, url, user or pswd is skipped silently.  The cache numbers are
// clamped: size 0 -> 1000, else 100..128000 MB; hours 0 -> 8, else 1..168.
// "metrics_path" is the directory of the metrics file (metrics.h); absent or
// empty, no metrics are written.
//
// load_config() fails only when the file cannot be read or is not JSON; a
// missing or broken "dblinks" leaves the list empty, and check_uplink() then
// fails.  check_uplink() parses the first link's URL and derives the slave
// database (host and port) from the second link when both use one scheme.
//
// After loading, every text member is zero-terminated: data() may be used as
// a C string as long as the member is not changed.
//
// Thread-safety: loaded once by the link instance's start, read-only after.
#pragma once
#include <cstdint>
#include <string_view>

#include "base/array_.h"
#include "base/string_.h"

namespace zo {

struct dblink_cfg {
    zo::string node;
    zo::string url;
    zo::string srvcafile;  // kept, not used by any operation
    zo::string user;
    zo::string pswd;
};

class link_config {
  public:
    zo::array_<dblink_cfg> dblinks;  // [0] master, [1] slave, the rest kept only
    zo::string slave_host;           // empty without a slave
    zo::string cache_path;           // forward slashes, ends in '/'; empty: no cache
    zo::string metrics_path;         // the same form; empty: no metrics file
    uint16_t slave_port = 0;
    int32_t cache_maxhour = 8;
    int32_t cache_maxsize = 1000;

    // Clears dblinks, reads the file at path and fills the fields.
    bool load_config(const char* path);
    // Loads from text already in memory (after the byte-order mark, if any).
    bool load_text(std::string_view text);
    bool check_uplink();
};

// Where comment removal took the text from, for a checker that points at
// lines and columns of the file: piece i of the output starts at output
// offset pieces[i].out and was copied from input offset pieces[i].in.
struct commentmap {
    struct piece {
        size_t out;
        size_t in;
    };
    zo::array_<piece> pieces;
    zo::array_<size_t> openers;  // input offsets of every "/*" that opened a comment
    bool unclosed = false;       // the last comment runs to the end of the text

    // The input offset of output offset at.
    size_t inpos(size_t at) const;
};

// Removes block comments by the configuration file's rule: outside a comment
// "/*" opens one; inside, "*/" closes it ("/*/" is a whole comment); an
// unclosed comment runs to the end.  Appends the remaining text to out, and
// where it came from to map when one is given.
void stripcomments(std::string_view in, zo::string& out, commentmap* map = nullptr);

// Reads a configuration file whole, as load_config does (at most 16 MB), and
// returns its text without a leading UTF-8 byte-order mark.  False when it
// cannot be read.
bool readconfigfile(const char* path, zo::string& raw, std::string_view* text);

// The host part of a URL's hostport text: up to the first ':' (brackets of an
// IPv6 literal removed).
std::string_view hostofhostport(std::string_view hostport);

}  // namespace zo
