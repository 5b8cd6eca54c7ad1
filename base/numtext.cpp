#include "base/numtext.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace zo {

namespace {

// "00".."99": two digits per division halves the divisions.
constexpr char kpairs[] =
    "0001020304050607080910111213141516171819"
    "2021222324252627282930313233343536373839"
    "4041424344454647484950515253545556575859"
    "6061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr uint64_t kpow10[20] = {1ull,
                                 10ull,
                                 100ull,
                                 1000ull,
                                 10000ull,
                                 100000ull,
                                 1000000ull,
                                 10000000ull,
                                 100000000ull,
                                 1000000000ull,
                                 10000000000ull,
                                 100000000000ull,
                                 1000000000000ull,
                                 10000000000000ull,
                                 100000000000000ull,
                                 1000000000000000ull,
                                 10000000000000000ull,
                                 100000000000000000ull,
                                 1000000000000000000ull,
                                 10000000000000000000ull};

int countdigits(uint64_t v) {
    // log10 from log2: 1233 / 4096 ~ log10(2), then one correction.  0 is
    // read as 1: one digit.
    const uint64_t w = v | 1;
    const int t = ((64 - __builtin_clzll(w)) * 1233) >> 12;
    return t + (t < 20 && w >= kpow10[t]);
}

// Writes exactly n digits of v (v < 10^n, n <= 10): 32-bit arithmetic,
// two digits per step.
void putdigits(char* buf, uint32_t v, int n) {
    char* p = buf + n;
    while (v >= 100) {
        const uint32_t r = v % 100;
        v /= 100;
        p -= 2;
        std::memcpy(p, kpairs + 2 * r, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kpairs + 2 * v, 2);
    } else if (p > buf) {
        *--p = static_cast<char>('0' + v);
    }
    while (p > buf) *--p = '0';
}

// Exactly eight digits of v < 10^8, in two independent halves.
inline void put8(char* p, uint32_t v) {
    const uint32_t hi = v / 10000, lo = v % 10000;
    std::memcpy(p, kpairs + 2 * (hi / 100), 2);
    std::memcpy(p + 2, kpairs + 2 * (hi % 100), 2);
    std::memcpy(p + 4, kpairs + 2 * (lo / 100), 2);
    std::memcpy(p + 6, kpairs + 2 * (lo % 100), 2);
}

// Lays out digits d (n of them) times 10^k as the number text.
size_t layout(char* out, const char* d, int n, int k) {
    const int p = n + k;
    char* o = out;
    if (n <= p && p <= 21) {
        std::memcpy(o, d, n);
        o += n;
        std::memset(o, '0', p - n);
        o += p - n;
        *o++ = '.';
        *o++ = '0';
    } else if (0 < p && p <= 21) {
        std::memcpy(o, d, p);
        o += p;
        *o++ = '.';
        std::memcpy(o, d + p, n - p);
        o += n - p;
    } else if (-6 < p && p <= 0) {
        *o++ = '0';
        *o++ = '.';
        std::memset(o, '0', -p);
        o += -p;
        std::memcpy(o, d, n);
        o += n;
    } else {
        *o++ = d[0];
        if (n > 1) {
            *o++ = '.';
            std::memcpy(o, d + 1, n - 1);
            o += n - 1;
        }
        *o++ = 'e';
        int x = p - 1;
        if (x < 0) {
            *o++ = '-';
            x = -x;
        }
        if (x >= 100) {
            *o++ = static_cast<char>('0' + x / 100);
            x %= 100;
            std::memcpy(o, kpairs + 2 * x, 2);
            o += 2;
        } else if (x >= 10) {
            std::memcpy(o, kpairs + 2 * x, 2);
            o += 2;
        } else {
            *o++ = static_cast<char>('0' + x);
        }
    }
    return static_cast<size_t>(o - out);
}

}  // namespace

size_t fmtu64(char* buf, uint64_t v) noexcept {
    // Long numbers (times in milliseconds have 13 digits) are cut into
    // groups of eight so that the divisions stay 32-bit.
    constexpr uint64_t e8 = 100000000ull, e16 = e8 * e8;
    if (v < 100) {
        // Types and qualities: one or two digits, no counting.
        if (v < 10) {
            buf[0] = static_cast<char>('0' + v);
            return 1;
        }
        std::memcpy(buf, kpairs + 2 * v, 2);
        return 2;
    }
    if (v < e8) {
        const int n = countdigits(v);
        putdigits(buf, static_cast<uint32_t>(v), n);
        return static_cast<size_t>(n);
    }
    if (v < e16) {
        const uint32_t hi = static_cast<uint32_t>(v / e8);
        const int n = countdigits(hi);
        putdigits(buf, hi, n);
        put8(buf + n, static_cast<uint32_t>(v % e8));
        return static_cast<size_t>(n) + 8;
    }
    const uint32_t top = static_cast<uint32_t>(v / e16);
    const int n = countdigits(top);
    putdigits(buf, top, n);
    put8(buf + n, static_cast<uint32_t>(v / e8 % e8));
    put8(buf + n + 8, static_cast<uint32_t>(v % e8));
    return static_cast<size_t>(n) + 16;
}

size_t fmti64(char* buf, int64_t v) noexcept {
    if (v >= 0) return fmtu64(buf, static_cast<uint64_t>(v));
    buf[0] = '-';
    // Negate in unsigned arithmetic: INT64_MIN has no positive counterpart.
    return 1 + fmtu64(buf + 1, 0 - static_cast<uint64_t>(v));
}

size_t fmtdouble(char* buf, double v) noexcept {
    // NaN and infinities fail the range test and take the shortest form.
    const double a = std::fabs(v);
    char* o = buf;
    if (a > 1e-6 && a < 9223372036854775808.0) {
        uint64_t ip = static_cast<uint64_t>(a);
        double f = a - static_cast<double>(ip);
        uint32_t fp = static_cast<uint32_t>(f * 1e7);
        if (std::signbit(v)) *o++ = '-';
        if (fp == 0) {
            o += fmtu64(o, ip);
            *o++ = '.';
            *o++ = '0';
            return static_cast<size_t>(o - buf);
        }
        if (fp > 9999999) fp = 9999999;  // f < 1, but keep the seven digits safe
        uint32_t r = fp % 10;
        if (r >= 5) {
            fp = fp - r + 10;
            if (fp == 10000000) {
                fp = 0;
                ++ip;
            }
        } else {
            fp -= r;
        }
        o += fmtu64(o, ip);
        *o++ = '.';
        putdigits(o, fp, 7);
        int keep = 7;
        while (keep > 1 && o[keep - 1] == '0') --keep;
        return static_cast<size_t>(o + keep - buf);
    }
    if (std::isinf(v)) {
        // This writer shows infinities without their sign.
        std::memcpy(buf, "inf", 3);
        return 3;
    }
    return fmtshortest(buf, v);
}

size_t fmtshortest(char* buf, double v) noexcept {
    if (std::isnan(v)) {
        std::memcpy(buf, "NaN", 3);
        return 3;
    }
    if (std::isinf(v)) {
        // The sign stays: a reading of -inf is not +inf.
        if (v < 0) {
            std::memcpy(buf, "-inf", 4);
            return 4;
        }
        std::memcpy(buf, "inf", 3);
        return 3;
    }
    if (v == 0) {
        std::memcpy(buf, "0.0", 3);
        return 3;
    }
    char* o = buf;
    if (v < 0) {
        *o++ = '-';
        v = -v;
    }
    // The shortest digits that read back exactly come from the standard
    // library.  Its plain text is already ours when it is fixed point with a
    // point inside (a measured value: "1013.2512345678"), or an integer below
    // 2^53, which gets ".0" (above, it shows every digit of the integer,
    // "72057594037927936", where ours stops at the shortest ones,
    // "72057594037927940.0").
    char* e = std::to_chars(o, buf + numtextmax - 2, v).ptr;
    const size_t len = static_cast<size_t>(e - o);
    const bool expform = len >= 4 && (e[-4] == 'e' || (len >= 5 && e[-5] == 'e'));
    if (!expform && v < 9007199254740992.0) {
        // Below 2^53 the cast is exact: a fraction means a point in the text.
        if (static_cast<double>(static_cast<int64_t>(v)) != v) return static_cast<size_t>(e - buf);
        e[0] = '.';
        e[1] = '0';
        return static_cast<size_t>(e + 2 - buf);
    }
    // Else its digits are laid out anew, taken from its scientific form
    // "d.ddde-XX".
    char sci[32];
    const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    char d[20];
    int n = 0;
    const char* p = sci;
    for (; *p != 'e'; ++p) {
        if (*p != '.') d[n++] = *p;
    }
    const bool negexp = p[1] == '-';
    int x = 0;
    for (p += 2; p < end; ++p) x = x * 10 + (*p - '0');
    return static_cast<size_t>(o - buf) + layout(o, d, n, (negexp ? -x : x) - (n - 1));
}

}  // namespace zo
