// jsonwrite.h - the JSON member writers.
//
// Each writer appends to a caller-owned output string.  The member writers
// also take a caller-owned member counter: they put a comma before their
// member when the counter is not 0 and increment it when they write one.  A
// skipped member writes nothing and leaves the counter alone.  Keys are
// written as given, without escaping.  A writer never fails: if the string
// cannot grow, the output is left as it was (and the counter unchanged).
//
// Escaping: 8, 9, 10, 12, 13, '"', '/' and '\' become \b \t \n \f \r \" \/ \\;
// every other byte (other control characters, bytes >= 0x80) is copied.
//
// Thread-safety: no shared state; any thread, each with its own output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/string_.h"

namespace zo {

// Time forms of jsonaddtime.  Local time follows the zone in force; the
// offset of form 1 is the standard-time offset that tzset() leaves in
// `timezone`, in whole hours, and "Z" when it is under one hour.  REQUIRES:
// tzset() was called once at start (the host does it).
enum jsontimeform : int {
    JSONTIME_LOCAL = 0,  // "2024/01/31 08:00:00.250", local time (any form but 1 and 2)
    JSONTIME_ISO = 1,    // "2024-01-31T08:00:00.250+08:00", local time and standard offset
    JSONTIME_MS = 2,     // 1706659200250, milliseconds since 1970 UTC
};

// "key":"escaped value"; skipped when value is empty.
void jsonaddtext(zo::string& out, int& counter, std::string_view key, std::string_view value);
// "key":-12; skipped when value is 0.
void jsonaddint(zo::string& out, int& counter, std::string_view key, int32_t value);
// "T":<time of ms in the form>; skipped when ms <= 0.
void jsonaddtime(zo::string& out, int& counter, int64_t ms, int form);
// "V":"<base64 of bytes>"; skipped when bytes is empty.
void jsonaddbytes(zo::string& out, int& counter, std::string_view bytes);

// Only the key: a comma when counter is not 0, then "key":, and the counter
// incremented; the caller appends a bare value next (a 64-bit "V", a double).
void jsonaddkey(zo::string& out, int& counter, std::string_view key);

// Bare values: no key, no comma, no counter.
void jsonaddint64(zo::string& out, int64_t v);
void jsonadddouble(zo::string& out, double v);  // the text of fmtdouble (base/numtext.h)
// The text of fmtshortest: the shortest digits whatever the magnitude.
void jsonaddshortest(zo::string& out, double v);
void jsonaddescaped(zo::string& out, char c);  // one character, escaped if needed
// The text escaped character by character when it needs it, else copied.
void jsonaddesctext(zo::string& out, std::string_view s);
bool jsonneedsescape(std::string_view s);

// The time text alone (with its quotes for forms other than 2).  REQUIRES:
// buf holds jsontimemax bytes.  Returns the length; no terminating zero.
constexpr size_t jsontimemax = 64;
size_t fmtjsontime(char* buf, int64_t ms, int form);

}  // namespace zo
