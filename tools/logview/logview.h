// logview.h - turning the logger's datagrams into readable lines.
//
// A datagram is a one-line JSON header, a line feed and the text:
//   {"order":"wlog","level":10,"cabin":"simu1"}\nx=5
// and becomes
//   2026-12-05 17:04:34.120 err simu1 x=5
// with the receive time in local time.  Lines of a multi-line text after the
// first are indented under the text's start; line feeds at the end of the
// text are dropped.  Control characters and bytes of a text that is not UTF-8
// are shown as \xHH, so that a hostile datagram cannot steer the terminal.
// A datagram whose header cannot be read is shown whole on one line, escaped,
// after the word "raw".
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace logview {

// The header fields of one datagram.
struct header {
    std::string order;  // "wlog" or "append" from our logger; "" when absent
    int level = 0;
    std::string cabin;  // "" when absent
};

// Reads the datagram's header (a flat JSON object on its first line, with an
// integer "level"; string escapes decoded) and sets text to what follows the
// line feed.  False when there is no line feed or the header is not such an
// object.
bool parse(std::string_view dgram, header* h, std::string_view* text);

// Appends the printable form of bytes to out: see the file comment.  raw
// also doubles backslashes, so that the escaped form reads back unambiguously.
void escape(std::string_view bytes, bool raw, std::string& out);

// "YYYY-MM-DD HH:MM:SS.mmm" of ms since 1970 in the local time zone.
std::string timetext(int64_t ms);

// Formats one datagram received at ms into out (cleared first; ends in a
// line feed).  False, out empty, when its level is above maxlevel; a
// datagram without a readable header is always shown.  color adds terminal
// colours by level.
bool format(std::string_view dgram, int64_t ms, int maxlevel, bool color, std::string& out);

struct options {
    std::string url = "udp://127.0.0.1:999";
    int maxlevel = INT_MAX;  // everything
    bool help = false;
    bool version = false;
};

// Reads the command line.  False with the reason in err for an unknown
// option, a missing or unknown level word, or more than one URL.
bool parseargs(int argc, char** argv, options* o, std::string* err);

extern const char usage[];

}  // namespace logview
