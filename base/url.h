// url.h - a parsed endpoint URL: scheme://host:port/path?query.
//
// parse() splits the text and resolves the host once, at parse time, into
// the first IPv4 and first IPv6 address texts; connections made later use
// those texts and never resolve again.  The parser accepts any scheme; which
// parts are required (a port, a path) is for the user to check.  IPv6
// literals are written in brackets: ipc://[::1]:802.
//
// Thread-safety: a url object belongs to one thread at a time; resolve() and
// readuntil() are free of shared state.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/string_.h"

namespace zo {

class url {
  public:
    uint16_t port = 0;        // 0 when the URL has none
    zo::string scheme;        // text before "://", empty when there is none
    zo::string ipv4;          // first IPv4 address of the host, dotted text
    zo::string ipv6;          // first IPv6 address of the host, text
    zo::string path;          // after the first '/' following host and port, up to '?'
    zo::string query;         // after that '?', up to a line feed or the end
    zo::string hostport;      // host and port as written ("[::1]:802" for literals)
    zo::string host;          // the host alone, without brackets
    bool unresolved = false;  // the text parsed, but its host resolves to nothing

    // False on failure: an empty host, a host that resolves to nothing
    // (unresolved is then set), an IPv6 literal with ':' and no port text.
    // Members then hold what was filled so far.
    bool parse(const char* text, size_t length);
    bool parse(const char* text);

    // parse() without the name resolution: fills every member but ipv4 and
    // ipv6 (left empty).  False on the same faults of the text as parse(),
    // but never unresolved.
    bool split(const char* text, size_t length);

    // getaddrinfo with no hints; stores the first IPv4 and the first IPv6
    // address texts (each only while still empty).  0 when at least one was
    // stored, else -1.
    static int resolve(const char* host, zo::string& ipv4, zo::string& ipv6);

    // Appends text[pos..] to out up to delim.  On the delimiter, pos moves
    // past it and the result is true; at the end pos == length, false.
    static bool readuntil(size_t& pos, char delim, const char* text, size_t length,
                          zo::string& out);
};

}  // namespace zo
