// charset.h - the UTF-8 test and the code page 936 (GBK) to UTF-8 conversion.
//
// Text is UTF-8 throughout the process; the database client library hands out
// names in code page 936, and configuration files written on Chinese Windows
// may be in it too.  Their callers test with isutf8() and convert the rest.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstddef>

namespace zo {

// True if the bytes are well-formed UTF-8 by the lead/continuation rules:
// 0xC0, 0xC1 and 0xF5..0xFF are never valid, 0xC2..0xDF lead one
// continuation byte, 0xE0..0xEF two, 0xF0..0xF4 three.  Overlong three- and
// four-byte forms and encoded surrogates pass: the test tells UTF-8 from code
// page 936, it does not police crafted UTF-8.  n == 0 means "up to the first
// zero byte"; a null or empty text is true.
bool isutf8(const char* p, size_t n = 0) noexcept;

// Size of the output buffer of gbktoutf8 for paths and texts: the UTF-8
// result is at most gbkoutmax - 1 bytes plus a terminating zero.
constexpr size_t gbkoutmax = 16384;

// Converts n bytes of code page 936 text to UTF-8 in out (zero-terminated).
// Returns the UTF-8 length, 0 for an empty input, -1 when the result does not
// fit in cap - 1 bytes or no converter is available.  A byte sequence that is
// not GBK becomes '?', so that one bad byte does not lose a whole path; with
// exact it fails the whole conversion (-1) instead: a name must come back as
// it was or not at all.  REQUIRES: out holds cap >= 1 bytes.
int gbktoutf8(const char* text, size_t n, char* out, size_t cap = gbkoutmax,
              bool exact = false) noexcept;

}  // namespace zo
