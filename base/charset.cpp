#include "base/charset.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>

namespace zo {

bool isutf8(const char* p, size_t n) noexcept {
    if (!p) return true;
    if (n == 0) n = std::strlen(p);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    size_t need = 0;  // continuation bytes still expected
    for (size_t i = 0; i < n; ++i) {
        // Names are mostly ASCII: pass 8 plain bytes at a time.
        if (need == 0 && n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 7;
                continue;
            }
        }
        unsigned c = s[i];
        if (need) {
            if (c < 0x80 || c > 0xBF) return false;
            --need;
            continue;
        }
        if (c < 0x80) continue;
        if (c < 0xC2 || c > 0xF4) return false;  // stray continuation, C0/C1, F5+
        need = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    }
    return need == 0;
}

namespace {

// glibc knows the Microsoft table as CP936; GBK is the same but for 0x80.
iconv_t opengbk() {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "GBK");
    return cd;
}

}  // namespace

int gbktoutf8(const char* text, size_t n, char* out, size_t cap, bool exact) noexcept {
    out[0] = 0;
    if (!text || n == 0) return 0;
    iconv_t cd = opengbk();
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* in = const_cast<char*>(text);
    size_t inleft = n;
    char* o = out;
    size_t oleft = cap - 1;
    int result = 0;
    while (inleft > 0) {
        size_t r = iconv(cd, &in, &inleft, &o, &oleft);
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG || exact) {
            result = -1;
            break;
        }
        // EILSEQ or a sequence cut at the end: one '?' for the bad byte, go on.
        if (oleft == 0) {
            result = -1;
            break;
        }
        *o++ = '?';
        --oleft;
        ++in;
        --inleft;
    }
    iconv_close(cd);
    if (result < 0) {
        out[0] = 0;
        return -1;
    }
    *o = 0;
    return static_cast<int>(o - out);
}

}  // namespace zo
