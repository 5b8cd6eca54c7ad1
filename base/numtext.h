// numtext.h - integers and doubles as decimal text, without allocation.
//
// fmtshortest writes the value of a floating-point tag: the shortest digits
// that read back as exactly the same double (std::to_chars), laid out as
//  - "NaN", "inf", "-inf", "0.0" (either sign of zero);
//  - up to 21 integer digits in plain form with ".0" (100 -> "100.0",
//    1e19 -> "10000000000000000000.0");
//  - a point inside the digits, or "0." and up to 5 zeros before them
//    (0.1 -> "0.1", 0.1f widened -> "0.10000000149011612", 1.5e-6 ->
//    "0.0000015");
//  - else exponent form "1.5e-7" / "1e300" (no '+', no leading zeros).
//
// fmtdouble is the six-decimal writer of run information and log texts:
//  - 1e-6 < |x| < 2^63: fixed point, the fraction cut after seven digits,
//    rounded at the seventh, trailing zeros dropped but one digit kept
//    (3.14159265 -> "3.141593", 100 -> "100.0", 0.9999996 -> "1.0");
//  - otherwise the text of fmtshortest, except that infinities of either
//    sign are "inf".
//
// The functions write no terminating zero and return the count of characters
// written.  REQUIRES: buf holds at least numtextmax bytes.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zo {

constexpr size_t numtextmax = 32;

size_t fmtu64(char* buf, uint64_t v) noexcept;
size_t fmti64(char* buf, int64_t v) noexcept;
size_t fmtdouble(char* buf, double v) noexcept;
size_t fmtshortest(char* buf, double v) noexcept;

}  // namespace zo
