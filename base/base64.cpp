#include "base/base64.h"

#include <cstdint>

namespace zo {

namespace {

constexpr char kalphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, 64 for '=', 255 for anything else.
struct decodetable {
    uint8_t v[256];
    constexpr decodetable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = 255;
        for (int i = 0; i < 64; ++i)
            v[static_cast<uint8_t>(kalphabet[i])] = static_cast<uint8_t>(i);
        v[static_cast<uint8_t>('=')] = 64;
    }
};
constexpr decodetable kdecode;

}  // namespace

size_t base64encode(const void* p, size_t n, char* dst) noexcept {
    const uint8_t* s = static_cast<const uint8_t*>(p);
    char* o = dst;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2];
        o[0] = kalphabet[v >> 18];
        o[1] = kalphabet[(v >> 12) & 63];
        o[2] = kalphabet[(v >> 6) & 63];
        o[3] = kalphabet[v & 63];
        o += 4;
    }
    if (i < n) {
        uint32_t v = uint32_t{s[i]} << 16;
        if (i + 1 < n) v |= uint32_t{s[i + 1]} << 8;
        o[0] = kalphabet[v >> 18];
        o[1] = kalphabet[(v >> 12) & 63];
        o[2] = i + 1 < n ? kalphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
        o += 4;
    }
    return static_cast<size_t>(o - dst);
}

bool base64encode(const void* p, size_t n, zo::string& out) noexcept {
    if (n == 0) return true;
    const size_t len = base64len(n);
    const uint32_t old = out.size();
    if (n > zo::string::maxreserve || len > zo::string::maxreserve - old) return false;
    if (!out.resize(old + static_cast<uint32_t>(len))) return false;
    base64encode(p, n, out.data() + old);
    return true;
}

bool base64decode(std::string_view text, zo::string& out) noexcept {
    const size_t n = text.size();
    if (n % 4 != 0) return false;
    if (n == 0) return true;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text.data());
    size_t pad = 0;
    if (s[n - 1] == '=') pad = s[n - 2] == '=' ? 2 : 1;
    const size_t bytes = n / 4 * 3 - pad;
    const uint32_t old = out.size();
    if (bytes > zo::string::maxreserve - old) return false;
    if (!out.resize(old + static_cast<uint32_t>(bytes))) return false;
    uint8_t* o = reinterpret_cast<uint8_t*>(out.data()) + old;
    for (size_t i = 0; i < n; i += 4) {
        const bool last = i + 4 == n;
        uint8_t a = kdecode.v[s[i]], b = kdecode.v[s[i + 1]];
        uint8_t c = kdecode.v[s[i + 2]], d = kdecode.v[s[i + 3]];
        bool bad = a > 63 || b > 63;
        if (last && pad == 2) {
            bad = bad || c != 64 || d != 64 || (b & 15) != 0;
        } else if (last && pad == 1) {
            bad = bad || c > 63 || d != 64 || (c & 3) != 0;
        } else {
            bad = bad || c > 63 || d > 63;
        }
        if (bad) {
            out.truncate(old);
            if (old == 0) out.release();
            return false;
        }
        uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12);
        *o++ = static_cast<uint8_t>(v >> 16);
        if (last && pad == 2) break;
        v |= uint32_t{c} << 6;
        *o++ = static_cast<uint8_t>(v >> 8);
        if (last && pad == 1) break;
        v |= d;
        *o++ = static_cast<uint8_t>(v);
    }
    return true;
}

}  // namespace zo
