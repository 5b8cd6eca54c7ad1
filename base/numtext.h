// numtext.h - integers and doubles as decimal text, without allocation.
//
// fmtdouble writes the number text of the JSON requests:
//  - 1e-6 < |x| < 2^63: fixed point, the fraction cut after seven digits,
//    rounded at the seventh, trailing zeros dropped but one digit kept
//    (3.14159265 -> "3.141593", 100 -> "100.0", 0.9999996 -> "1.0");
//  - otherwise the shortest digits that read back as the same double
//    (Grisu2): "NaN", "inf" (either sign), "0.0" (either sign), plain digits
//    with ".0" up to 21 integer digits, "0.000001"-like texts down to
//    6 leading zeros, else "1.5e-7" / "1e300" (no '+', no leading zeros).
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
// The shortest form for every value, also between 1e-6 and 2^63 (0.1 ->
// "0.1", 0.1f widened -> "0.10000000149011612", 100 -> "100.0").
size_t fmtshortest(char* buf, double v) noexcept;

// Shortest digits of v by Grisu2.  REQUIRES: v finite and > 0.  Writes n
// (1..17) ASCII digits to digits (no sign, no point) and sets *k so that
// v ~= digits x 10^k; returns n.
int grisu2(double v, char* digits, int* k) noexcept;

}  // namespace zo
