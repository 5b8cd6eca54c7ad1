// jsonscan.h - the shallow JSON reader.
//
// scan() passes once over one object or array and records its top-level
// members as entries whose key and value are spans of the caller's text;
// nothing is copied and no tree is built.  A nested object or array is read
// by scanning its value span with another (or the same) jsonscan.
//
// Rules of the scan (they are the system's and deliberately lenient):
//  - leading white space (space, tab, CR, LF) is skipped; the text must then
//    start with '{' or '['; text after the matching closing bracket is
//    ignored;
//  - commas between members are optional; keys are 1..63 characters (a key
//    of 64 or more fails the whole scan), escapes in keys are kept;
//  - a quote (or a bracket, colon or literal end) counts as escaped when an
//    odd number of backslashes comes right before it, so "C:\\data\\" ends
//    at its last quote and "a\\\"b" does not end inside;
//  - object literals end at ',', '}', LF, space or tab; array literals end
//    only at ',' or ']' (trailing white space stays in the literal); true,
//    false and null get their own types in objects only; empty strings are
//    not recorded as array elements;
//  - nested values are matched by bracket counting (no recursion, so any
//    depth costs only one counter); brackets inside strings do not count.
// On failure the entries scanned so far remain but must not be used; error()
// tells why, for the caller's log line.
//
// scanstrict() reads the same text by JSON's own rules, for a checker that
// tells an operator what the lenient reading passes over: exactly one comma
// between members and none after the last; a colon right after a key;
// literals only numbers (as JSON writes them), true, false and null, ending
// at white space or punctuation; strings and keys without raw control
// characters and with known escapes only; nothing but white space after the
// closing bracket.  Nested values are still matched by bracket counting:
// scan each in turn.  The entries are those of the lenient reading except
// that a literal never carries trailing white space.
//
// REQUIRES: the scanned text stays unchanged and alive while entries are
// used.  Thread-safety: a jsonscan belongs to one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/array_.h"
#include "base/string_.h"

namespace zo {

enum jsontype : int32_t {
    JSON_STRING = 0,
    JSON_OBJECT = 1,
    JSON_ARRAY = 2,
    JSON_LITERAL = 3,  // numbers and anything else unquoted
    JSON_BOOL = 4,
    JSON_NULL = 5,
};

struct jsonentry {
    const char* key;  // without quotes, escapes kept; empty for array elements
    uint32_t keylen;
    const char* val;  // string: between the quotes; object/array: bracket to bracket
    uint32_t vallen;
    int32_t type;  // jsontype

    std::string_view keyview() const { return {key, keylen}; }
    std::string_view valview() const { return {val, vallen}; }
};

class jsonscan {
  public:
    static constexpr uint32_t maxkey = 63;

    jsonscan() noexcept;  // room for 128 entries
    jsonscan(jsonscan&& o) noexcept = default;
    jsonscan& operator=(jsonscan&& o) noexcept = default;

    // True if text holds an object or array by the rules above; its top-level
    // entries are then listed.  Clears the list first.
    bool scan(const char* text, size_t n) noexcept;
    bool scan(std::string_view text) noexcept { return scan(text.data(), text.size()); }
    // The same by the strict rules above.
    bool scanstrict(std::string_view text) noexcept;

    // Why the last scan failed ("" after success).
    const char* error() const { return err_; }
    // Offset in the text where the last scan failed (strict: where the
    // offending character or token starts).
    size_t errpos() const { return errpos_; }

    size_t size() const { return v_.size(); }
    bool empty() const { return v_.empty(); }
    const jsonentry& operator[](size_t i) const { return v_[i]; }
    const jsonentry* begin() const { return v_.begin(); }
    const jsonentry* end() const { return v_.end(); }

    // First entry with this key (ASCII case ignored), or nullptr.
    const jsonentry* find(std::string_view key) const noexcept;

    // False if key is missing.  Else true, out cleared, then: null -> empty,
    // any other value -> its text with string escapes decoded.
    bool gettext(std::string_view key, zo::string& out) const noexcept;

    // False (out = 0) if key is missing or its value text is empty.  Else
    // true: null -> 0; otherwise the first 31 characters read as a signed
    // decimal (leading white space and sign allowed, stops at the first
    // non-digit, saturates at the int32 limits); a 0 becomes 1 when the text
    // is "true" or "yes" (ASCII case ignored).
    bool getint(std::string_view key, int32_t& out) const noexcept;

    // False (out = 0) if key is missing or its value is not a number by
    // jsonreaddouble.
    bool getdouble(std::string_view key, double& out) const noexcept;

  private:
    bool fail(const char* why, size_t pos) noexcept;
    bool scanwith(const char* text, size_t n, bool strict) noexcept;

    array_<jsonentry> v_;
    const char* err_ = "";
    size_t errpos_ = 0;
};

// Appends the text with JSON string escapes decoded: \" \/ \\ give the
// character, \b \f \n \r \t the control characters, \uXXXX (or \UXXXX, hex
// in either case) the code unit in UTF-8; a high surrogate must be followed
// by a \u escape of a low surrogate and the pair gives one code point.  An
// unknown escape drops both characters.  A \u escape with too few characters
// or a bad digit, a high surrogate without its low half, or a backslash at
// the very end stops decoding: what was decoded so far stays in out and the
// result is false.  True when the whole text was decoded.  A text without a
// backslash is copied as it is.
bool jsonunescape(std::string_view text, zo::string& out) noexcept;

// Appends code point cp (< 2^31) in UTF-8, using the five- and six-byte forms
// of the original 31-bit UTF-8 from 0x200000 up.  False when out cannot grow
// or cp >= 2^31.
bool appendutf8(zo::string& out, uint32_t cp) noexcept;

// Reads a whole span as a double (strtod on a bounded copy; surrounding white
// space allowed).  False when the span is empty, longer than 400 characters,
// or not entirely a number.
bool jsonreaddouble(std::string_view text, double& out) noexcept;

// Reads a whole span as a signed 64-bit decimal (surrounding white space
// allowed).  False when it is not entirely an integer or does not fit.
bool jsonreadint64(std::string_view text, int64_t& out) noexcept;

}  // namespace zo
