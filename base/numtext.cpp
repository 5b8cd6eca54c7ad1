#include "base/numtext.h"

#include <cmath>
#include <cstdlib>
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

// --- Grisu2 (Loitsch, "Printing floating-point numbers quickly and
// accurately with integers", PLDI 2010). ---

struct diyfp {
    uint64_t f;
    int e;
};

diyfp mul(diyfp x, diyfp y) {
    unsigned __int128 p = static_cast<unsigned __int128>(x.f) * y.f;
    uint64_t hi = static_cast<uint64_t>(p >> 64);
    uint64_t lo = static_cast<uint64_t>(p);
    hi += lo >> 63;  // round to nearest (the product's high half cannot be all ones)
    return {hi, x.e + y.e + 64};
}

diyfp normalize(diyfp x) {
    int s = __builtin_clzll(x.f);
    return {x.f << s, x.e - s};
}

struct cachedpow {
    uint64_t f;
    int e;  // binary exponent
    int k;  // the power of ten
};

// 10^k for k = -348, -340, ..., 340: normalised significands rounded to
// nearest, computed with exact integer arithmetic.
constexpr cachedpow kcached[] = {
    {0xfa8fd5a0081c0288ull, -1220, -348}, {0xbaaee17fa23ebf76ull, -1193, -340},
    {0x8b16fb203055ac76ull, -1166, -332}, {0xcf42894a5dce35eaull, -1140, -324},
    {0x9a6bb0aa55653b2dull, -1113, -316}, {0xe61acf033d1a45dfull, -1087, -308},
    {0xab70fe17c79ac6caull, -1060, -300}, {0xff77b1fcbebcdc4full, -1034, -292},
    {0xbe5691ef416bd60cull, -1007, -284}, {0x8dd01fad907ffc3cull, -980, -276},
    {0xd3515c2831559a83ull, -954, -268},  {0x9d71ac8fada6c9b5ull, -927, -260},
    {0xea9c227723ee8bcbull, -901, -252},  {0xaecc49914078536dull, -874, -244},
    {0x823c12795db6ce57ull, -847, -236},  {0xc21094364dfb5637ull, -821, -228},
    {0x9096ea6f3848984full, -794, -220},  {0xd77485cb25823ac7ull, -768, -212},
    {0xa086cfcd97bf97f4ull, -741, -204},  {0xef340a98172aace5ull, -715, -196},
    {0xb23867fb2a35b28eull, -688, -188},  {0x84c8d4dfd2c63f3bull, -661, -180},
    {0xc5dd44271ad3cdbaull, -635, -172},  {0x936b9fcebb25c996ull, -608, -164},
    {0xdbac6c247d62a584ull, -582, -156},  {0xa3ab66580d5fdaf6ull, -555, -148},
    {0xf3e2f893dec3f126ull, -529, -140},  {0xb5b5ada8aaff80b8ull, -502, -132},
    {0x87625f056c7c4a8bull, -475, -124},  {0xc9bcff6034c13053ull, -449, -116},
    {0x964e858c91ba2655ull, -422, -108},  {0xdff9772470297ebdull, -396, -100},
    {0xa6dfbd9fb8e5b88full, -369, -92},   {0xf8a95fcf88747d94ull, -343, -84},
    {0xb94470938fa89bcfull, -316, -76},   {0x8a08f0f8bf0f156bull, -289, -68},
    {0xcdb02555653131b6ull, -263, -60},   {0x993fe2c6d07b7facull, -236, -52},
    {0xe45c10c42a2b3b06ull, -210, -44},   {0xaa242499697392d3ull, -183, -36},
    {0xfd87b5f28300ca0eull, -157, -28},   {0xbce5086492111aebull, -130, -20},
    {0x8cbccc096f5088ccull, -103, -12},   {0xd1b71758e219652cull, -77, -4},
    {0x9c40000000000000ull, -50, 4},      {0xe8d4a51000000000ull, -24, 12},
    {0xad78ebc5ac620000ull, 3, 20},       {0x813f3978f8940984ull, 30, 28},
    {0xc097ce7bc90715b3ull, 56, 36},      {0x8f7e32ce7bea5c70ull, 83, 44},
    {0xd5d238a4abe98068ull, 109, 52},     {0x9f4f2726179a2245ull, 136, 60},
    {0xed63a231d4c4fb27ull, 162, 68},     {0xb0de65388cc8ada8ull, 189, 76},
    {0x83c7088e1aab65dbull, 216, 84},     {0xc45d1df942711d9aull, 242, 92},
    {0x924d692ca61be758ull, 269, 100},    {0xda01ee641a708deaull, 295, 108},
    {0xa26da3999aef774aull, 322, 116},    {0xf209787bb47d6b85ull, 348, 124},
    {0xb454e4a179dd1877ull, 375, 132},    {0x865b86925b9bc5c2ull, 402, 140},
    {0xc83553c5c8965d3dull, 428, 148},    {0x952ab45cfa97a0b3ull, 455, 156},
    {0xde469fbd99a05fe3ull, 481, 164},    {0xa59bc234db398c25ull, 508, 172},
    {0xf6c69a72a3989f5cull, 534, 180},    {0xb7dcbf5354e9beceull, 561, 188},
    {0x88fcf317f22241e2ull, 588, 196},    {0xcc20ce9bd35c78a5ull, 614, 204},
    {0x98165af37b2153dfull, 641, 212},    {0xe2a0b5dc971f303aull, 667, 220},
    {0xa8d9d1535ce3b396ull, 694, 228},    {0xfb9b7cd9a4a7443cull, 720, 236},
    {0xbb764c4ca7a44410ull, 747, 244},    {0x8bab8eefb6409c1aull, 774, 252},
    {0xd01fef10a657842cull, 800, 260},    {0x9b10a4e5e9913129ull, 827, 268},
    {0xe7109bfba19c0c9dull, 853, 276},    {0xac2820d9623bf429ull, 880, 284},
    {0x80444b5e7aa7cf85ull, 907, 292},    {0xbf21e44003acdd2dull, 933, 300},
    {0x8e679c2f5e44ff8full, 960, 308},    {0xd433179d9c8cb841ull, 986, 316},
    {0x9e19db92b4e31ba9ull, 1013, 324},   {0xeb96bf6ebadf77d9ull, 1039, 332},
    {0xaf87023b9bf0ee6bull, 1066, 340},
};
constexpr int kncached = sizeof kcached / sizeof kcached[0];

// The window for the product's exponent: digits come from a 32-bit integer
// part and a fraction of at most 60 bits.
constexpr int kalpha = -60;
constexpr int kgamma = -32;

const cachedpow& pickpow(int e) {
    // The wanted decimal power, then the table entry at or above it.
    double dk = std::ceil((kalpha - e - 1) * 0.30102999566398114);
    int i = (static_cast<int>(dk) + 348 + 7) / 8;
    if (i < 0) i = 0;
    if (i >= kncached) i = kncached - 1;
    while (i + 1 < kncached && e + kcached[i].e + 64 < kalpha) ++i;
    while (i > 0 && e + kcached[i].e + 64 > kgamma) --i;
    return kcached[i];
}

// Moves the last digit down while the result stays inside the safe interval
// and gets closer to the true value w (distance wpw from the upper end).
void roundweed(char* buf, int len, uint64_t delta, uint64_t rest, uint64_t tenkappa, uint64_t wpw) {
    while (rest < wpw && delta - rest >= tenkappa &&
           (rest + tenkappa < wpw || wpw - rest > rest + tenkappa - wpw)) {
        buf[len - 1]--;
        rest += tenkappa;
    }
}

int digitgen(diyfp w, diyfp mp, uint64_t delta, char* buf, int* k) {
    const int shift = -mp.e;
    const uint64_t one = 1ull << shift;
    const uint64_t wpw = mp.f - w.f;
    uint32_t p1 = static_cast<uint32_t>(mp.f >> shift);
    uint64_t p2 = mp.f & (one - 1);
    int kappa = countdigits(p1);
    int len = 0;
    while (kappa > 0) {
        uint32_t div = static_cast<uint32_t>(kpow10[kappa - 1]);
        uint32_t d = p1 / div;
        p1 %= div;
        if (d || len) buf[len++] = static_cast<char>('0' + d);
        --kappa;
        uint64_t rest = (static_cast<uint64_t>(p1) << shift) + p2;
        if (rest <= delta) {
            *k += kappa;
            roundweed(buf, len, delta, rest, kpow10[kappa] << shift, wpw);
            return len;
        }
    }
    for (;;) {
        p2 *= 10;
        delta *= 10;
        char d = static_cast<char>(p2 >> shift);
        if (d || len) buf[len++] = static_cast<char>('0' + d);
        p2 &= one - 1;
        --kappa;
        if (p2 < delta) {
            *k += kappa;
            uint64_t scale = -kappa < 20 ? kpow10[-kappa] : 0;
            roundweed(buf, len, delta, p2, one, wpw * scale);
            return len;
        }
    }
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

// Grisu2 keeps away from the very ends of the rounding interval, so in a
// small share of cases (about 1 in 1000 random doubles) its digits are longer
// than needed, sometimes by two or three.  Long results are therefore tried
// with fewer digits, rounded, and a shorter text is kept when it reads back
// as the same double.  Only the shortest-form path (|x| <= 1e-6 or >= 2^63)
// gets here, so the cost of strtod stays off the common path.
// Drops the last of n digits, rounding up when up is set; returns the new
// count (trailing zeros removed) and adjusts *k.
int dropdigit(const char* d, int n, int k, bool up, char* t, int* kout) {
    int m = n - 1;
    std::memcpy(t, d, m);
    int kk = k + 1;
    if (up) {
        int i = m - 1;
        while (i >= 0 && t[i] == '9') t[i--] = '0';
        if (i < 0) {
            // 99..9 rounds up to 100..0: one more power of ten.
            t[0] = '1';
            ++kk;
        } else {
            t[i]++;
        }
    }
    while (m > 1 && t[m - 1] == '0') {
        --m;
        ++kk;
    }
    *kout = kk;
    return m;
}

bool readsback(double v, const char* t, int m, int k) {
    char s[48];
    std::memcpy(s, t, m);
    int len = m;
    s[len++] = 'e';
    len += static_cast<int>(fmti64(s + len, k));
    s[len] = 0;
    return std::strtod(s, nullptr) == v;
}

int shorten(double v, char* d, int n, int* k) {
    while (n > 1) {
        char t[32];
        int kk;
        // The nearer neighbour first; at a tie or near the interval's edge
        // the other one may be the one that reads back.
        bool up = d[n - 1] >= '5';
        int m = dropdigit(d, n, *k, up, t, &kk);
        if (!readsback(v, t, m, kk)) {
            m = dropdigit(d, n, *k, !up, t, &kk);
            if (!readsback(v, t, m, kk)) break;
        }
        std::memcpy(d, t, m);
        n = m;
        *k = kk;
    }
    return n;
}

}  // namespace

size_t fmtu64(char* buf, uint64_t v) noexcept {
    // Long numbers (times in milliseconds have 13 digits) are cut into
    // groups of eight so that the divisions stay 32-bit.
    constexpr uint64_t e8 = 100000000ull, e16 = e8 * e8;
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

int grisu2(double v, char* digits, int* k) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    const uint64_t frac = bits & ((1ull << 52) - 1);
    const int bexp = static_cast<int>((bits >> 52) & 0x7ff);
    diyfp w;
    if (bexp == 0) {
        w = {frac, 1 - 1075};
    } else {
        w = {frac | (1ull << 52), bexp - 1075};
    }
    // Boundaries halfway to the neighbours; the lower one is closer when v
    // is a power of two (the neighbour below has a smaller exponent).
    diyfp mp = normalize({(w.f << 1) + 1, w.e - 1});
    diyfp mm =
        (frac == 0 && bexp > 1) ? diyfp{(w.f << 2) - 1, w.e - 2} : diyfp{(w.f << 1) - 1, w.e - 1};
    mm.f <<= mm.e - mp.e;
    mm.e = mp.e;
    w = normalize(w);

    const cachedpow& c = pickpow(mp.e);
    const diyfp cp = {c.f, c.e};
    diyfp ww = mul(w, cp);
    diyfp wp = mul(mp, cp);
    diyfp wm = mul(mm, cp);
    // The products may be off by one unit: keep only what is surely inside.
    wp.f--;
    wm.f++;
    *k = -c.k;
    return digitgen(ww, wp, wp.f - wm.f, digits, k);
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
    return fmtshortest(buf, v);
}

size_t fmtshortest(char* buf, double v) noexcept {
    if (std::isnan(v)) {
        std::memcpy(buf, "NaN", 3);
        return 3;
    }
    if (std::isinf(v)) {
        std::memcpy(buf, "inf", 3);
        return 3;
    }
    if (v == 0) {
        std::memcpy(buf, "0.0", 3);
        return 3;
    }
    char* o = buf;
    if (v < 0) *o++ = '-';
    char d[24];
    int k = 0;
    int n = grisu2(std::fabs(v), d, &k);
    if (n >= 16) n = shorten(std::fabs(v), d, n, &k);
    return static_cast<size_t>(o - buf) + layout(o, d, n, k);
}

}  // namespace zo
