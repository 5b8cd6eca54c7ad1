// base64.h - base64 of RFC 4648 (alphabet A-Z a-z 0-9 + /, '=' padding to a
// group of four, no line breaks).
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstddef>
#include <string_view>

#include "base/string_.h"

namespace zo {

// Characters of the base64 text of n bytes.
constexpr size_t base64len(size_t n) {
    return (n + 2) / 3 * 4;
}

// Writes base64len(n) characters to dst (no terminating zero); returns that
// count.
size_t base64encode(const void* p, size_t n, char* dst) noexcept;
// Appends the base64 text to out; false (out unchanged) when out cannot grow.
bool base64encode(const void* p, size_t n, zo::string& out) noexcept;

// Appends the bytes of a padded base64 text to out.  False, with out as it
// was, when the length is not a multiple of four, a character is outside the
// alphabet, padding appears before the end, or out cannot grow.
bool base64decode(std::string_view text, zo::string& out) noexcept;

}  // namespace zo
