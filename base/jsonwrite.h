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
#include <cstring>
#include <string_view>

#include "base/base64.h"
#include "base/numtext.h"
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
constexpr size_t jsontimemax = 64;  // longest time text

// "key":"escaped value"; skipped when value is empty.
void jsonaddtext(zo::string& out, int& counter, std::string_view key, std::string_view value);
// "key":-12; skipped when value is 0.
void jsonaddint(zo::string& out, int& counter, std::string_view key, int32_t value);
// "T":<time of ms in the form>; skipped when ms <= 0.
void jsonaddtime(zo::string& out, int& counter, int64_t ms, int form);
// "V":"<base64 of bytes>"; skipped when bytes is empty.
void jsonaddbytes(zo::string& out, int& counter, std::string_view bytes);
// "key":<the text of fmtshortest (base/numtext.h)>; never skipped (0 is 0.0).
void jsonaddshortest(zo::string& out, int& counter, std::string_view key, double v);

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
size_t fmtjsontime(char* buf, int64_t ms, int form);

// The same members written into room reserved once, for a writer that puts
// many members in a row (a value object of a request): one growth of the
// string instead of one per member.  The destructor cuts the string to what
// was written.  If the string cannot grow by max bytes, ok() is false and
// every writer does nothing (the output stays as it was).
// REQUIRES: max covers everything written; each writer's room is below.
class jsonroom {
  public:
    jsonroom(zo::string& out, size_t max) noexcept;
    ~jsonroom();
    jsonroom(const jsonroom&) = delete;
    jsonroom& operator=(const jsonroom&) = delete;

    bool ok() const { return b_ != nullptr; }

    static constexpr size_t keyroom(size_t keylen) { return keylen + 4; }
    static constexpr size_t textroom(size_t keylen, size_t n) { return keylen + 6 + 2 * n; }
    static constexpr size_t numroom(size_t keylen) { return keylen + 4 + numtextmax; }
    static constexpr size_t timeroom = 5 + jsontimemax;
    static constexpr size_t bytesroom(size_t n) { return 7 + base64len(n); }

    // One character (room 1).
    void put(char c) noexcept {
        if (b_) *o_++ = c;
    }
    void text(int& counter, std::string_view key, std::string_view value) noexcept {
        if (!b_ || value.empty()) return;
        putkey(counter, key);
        *o_++ = '"';
        if (jsonneedsescape(value)) {
            o_ = escape(o_, value);
        } else {
            std::memcpy(o_, value.data(), value.size());
            o_ += value.size();
        }
        *o_++ = '"';
        ++counter;
    }
    // Skipped when 0; a 32-bit member is passed as such and widened.
    void integer(int& counter, std::string_view key, int64_t value) noexcept {
        if (!b_ || value == 0) return;
        putkey(counter, key);
        o_ += fmti64(o_, value);
        ++counter;
    }
    void time(int& counter, int64_t ms, int form) noexcept {
        if (!b_ || ms <= 0) return;
        putkey(counter, "T");
        o_ += form == JSONTIME_MS ? fmti64(o_, ms) : fmtjsontime(o_, ms, form);
        ++counter;
    }
    void bytes(int& counter, std::string_view bytes) noexcept {
        if (!b_ || bytes.empty()) return;
        putkey(counter, "V");
        *o_++ = '"';
        o_ += base64encode(bytes.data(), bytes.size(), o_);
        *o_++ = '"';
        ++counter;
    }
    void shortest(int& counter, std::string_view key, double v) noexcept {
        if (!b_) return;
        putkey(counter, key);
        o_ += fmtshortest(o_, v);
        ++counter;
    }
    // Only ,"key": and the counter incremented.
    void key(int& counter, std::string_view key) noexcept {
        if (!b_) return;
        putkey(counter, key);
        ++counter;
    }

  private:
    // Writes s escaped at o; returns the end (at most 2 * s.size() bytes).
    static char* escape(char* o, std::string_view s) noexcept;
    // ,"key":  (the comma only after the first member)
    void putkey(int counter, std::string_view key) noexcept {
        if (counter != 0) *o_++ = ',';
        *o_++ = '"';
        std::memcpy(o_, key.data(), key.size());
        o_ += key.size();
        *o_++ = '"';
        *o_++ = ':';
    }

    zo::string& out_;
    uint32_t old_ = 0;
    char* b_ = nullptr;
    char* o_ = nullptr;
};

}  // namespace zo
