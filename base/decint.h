// decint.h - a decimal number read the way C's atoi reads it.
//
// Several texts of the system are numbers by that rule: a port in a URL, a
// level on the command line.  Leading white space (space, \t \n \v \f \r) is
// skipped, an optional '+' or '-' follows, then digits up to the first other
// character; no digits give 0, and a value beyond the 32-bit range stops at
// INT32_MAX or INT32_MIN.  Unlike atoi it never reads past n bytes and never
// overflows.
//
// Thread-safety: pure function; any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zo {

int32_t decint(const char* p, size_t n) noexcept;

}  // namespace zo
