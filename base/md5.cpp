#include "base/md5.h"

#include <cstring>

namespace zo {

namespace {

// Per-step shift amounts and the sine-derived constants of RFC 1321.
constexpr int kshift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t ksine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

}  // namespace

md5ctx::md5ctx() noexcept : s_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, bytes_(0) {}

void md5ctx::block(const uint8_t* p) noexcept {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = uint32_t{p[4 * i]} | (uint32_t{p[4 * i + 1]} << 8) | (uint32_t{p[4 * i + 2]} << 16) |
               (uint32_t{p[4 * i + 3]} << 24);
    }
    uint32_t a = s_[0], b = s_[1], c = s_[2], d = s_[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + ksine[i] + m[g], kshift[i]);
        a = t;
    }
    s_[0] += a;
    s_[1] += b;
    s_[2] += c;
    s_[3] += d;
}

void md5ctx::update(const void* p, size_t n) noexcept {
    const uint8_t* s = static_cast<const uint8_t*>(p);
    size_t have = static_cast<size_t>(bytes_ & 63);
    bytes_ += n;
    if (have) {
        size_t take = 64 - have < n ? 64 - have : n;
        std::memcpy(buf_ + have, s, take);
        s += take;
        n -= take;
        if (have + take < 64) return;
        block(buf_);
    }
    for (; n >= 64; s += 64, n -= 64) block(s);
    if (n) std::memcpy(buf_, s, n);
}

void md5ctx::final(uint8_t digest[16]) noexcept {
    const uint64_t bits = bytes_ * 8;
    static const uint8_t pad[64] = {0x80};
    size_t have = static_cast<size_t>(bytes_ & 63);
    update(pad, have < 56 ? 56 - have : 120 - have);
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
    update(len, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(s_[i] >> (8 * j));
    }
}

void md5(const void* p, size_t n, uint8_t digest[16]) noexcept {
    md5ctx c;
    c.update(p, n);
    c.final(digest);
}

void md5hex(const void* p, size_t n, char out[33], bool upper) noexcept {
    uint8_t d[16];
    md5(p, n, d);
    const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = hex[d[i] >> 4];
        out[2 * i + 1] = hex[d[i] & 15];
    }
    out[32] = 0;
}

}  // namespace zo
