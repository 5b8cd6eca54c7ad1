#include "base/jsonwrite.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/base64.h"
#include "base/numtext.h"

namespace zo {

namespace {

// The escape letter of each byte that needs one, else 0.
struct esctable {
    char v[256];
    constexpr esctable() : v() {
        v[8] = 'b';
        v[9] = 't';
        v[10] = 'n';
        v[12] = 'f';
        v[13] = 'r';
        v['"'] = '"';
        v['/'] = '/';
        v['\\'] = '\\';
    }
};
constexpr esctable kesc;

// Grows out by at most extra bytes and returns where they start; the caller
// writes and then cuts the string to its real end with finish().  Null when
// the string cannot grow (it is then unchanged).
char* open(zo::string& out, size_t extra, uint32_t& old) {
    old = out.size();
    if (extra > zo::string::maxreserve - old) return nullptr;
    if (!out.resize(old + static_cast<uint32_t>(extra))) return nullptr;
    return out.data() + old;
}

void finish(zo::string& out, uint32_t old, const char* base, const char* end) {
    out.truncate(old + static_cast<uint32_t>(end - base));
}

char* putesc(char* o, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char e = kesc.v[static_cast<uint8_t>(s[i])];
        if (e) {
            *o++ = '\\';
            *o++ = e;
        } else {
            *o++ = s[i];
        }
    }
    return o;
}

}  // namespace

bool jsonneedsescape(std::string_view s) {
    // Eight bytes at a time: a byte below 14 (8, 9, 10, 12 and 13 among
    // them) or equal to '"', '/' or '\\' sends the word to the exact test.
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const char* p = s.data();
    size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        const uint64_t q = w ^ (ones * '"'), sl = w ^ (ones * '/'), bs = w ^ (ones * '\\');
        const uint64_t hit =
            ((w - ones * 14) | (q - ones) | (sl - ones) | (bs - ones)) & ~w & highs;
        if (hit) {
            for (int i = 0; i < 8; ++i) {
                if (kesc.v[static_cast<uint8_t>(p[i])]) return true;
            }
        }
    }
    for (; n; ++p, --n) {
        if (kesc.v[static_cast<uint8_t>(*p)]) return true;
    }
    return false;
}

jsonroom::jsonroom(zo::string& out, size_t max) noexcept : out_(out) {
    b_ = o_ = open(out, max, old_);
}

jsonroom::~jsonroom() {
    if (b_) finish(out_, old_, b_, o_);
}

char* jsonroom::escape(char* o, std::string_view s) noexcept {
    return putesc(o, s.data(), s.size());
}

void jsonaddtext(zo::string& out, int& counter, std::string_view key, std::string_view value) {
    if (value.empty()) return;
    jsonroom(out, jsonroom::textroom(key.size(), value.size())).text(counter, key, value);
}

void jsonaddint(zo::string& out, int& counter, std::string_view key, int32_t value) {
    if (value == 0) return;
    jsonroom(out, jsonroom::numroom(key.size())).integer(counter, key, value);
}

void jsonaddtime(zo::string& out, int& counter, int64_t ms, int form) {
    if (ms <= 0) return;
    jsonroom(out, jsonroom::timeroom).time(counter, ms, form);
}

void jsonaddbytes(zo::string& out, int& counter, std::string_view bytes) {
    if (bytes.empty()) return;
    jsonroom(out, jsonroom::bytesroom(bytes.size())).bytes(counter, bytes);
}

void jsonaddshortest(zo::string& out, int& counter, std::string_view key, double v) {
    jsonroom(out, jsonroom::numroom(key.size())).shortest(counter, key, v);
}

void jsonaddkey(zo::string& out, int& counter, std::string_view key) {
    jsonroom(out, jsonroom::keyroom(key.size())).key(counter, key);
}

void jsonaddint64(zo::string& out, int64_t v) {
    char buf[numtextmax];
    out.append(buf, static_cast<uint32_t>(fmti64(buf, v)));
}

void jsonadddouble(zo::string& out, double v) {
    char buf[numtextmax];
    out.append(buf, static_cast<uint32_t>(fmtdouble(buf, v)));
}

void jsonaddshortest(zo::string& out, double v) {
    uint32_t old;
    char* b = open(out, numtextmax, old);
    if (!b) return;
    finish(out, old, b, b + fmtshortest(b, v));
}

void jsonaddescaped(zo::string& out, char c) {
    const char e = kesc.v[static_cast<uint8_t>(c)];
    if (e) {
        const char two[2] = {'\\', e};
        out.append(two, 2);
    } else {
        out.append(c);
    }
}

void jsonaddesctext(zo::string& out, std::string_view s) {
    if (!jsonneedsescape(s)) {
        out.append(s);
        return;
    }
    uint32_t old;
    char* b = open(out, 2 * s.size(), old);
    if (!b) return;
    finish(out, old, b, putesc(b, s.data(), s.size()));
}

size_t fmtjsontime(char* buf, int64_t ms, int form) {
    if (form == JSONTIME_MS) return fmti64(buf, ms);
    // Floor division, so that a time before 1970 keeps positive milliseconds.
    int64_t sec = ms / 1000;
    int msec = static_cast<int>(ms % 1000);
    if (msec < 0) {
        msec += 1000;
        --sec;
    }
    const time_t t = static_cast<time_t>(sec);
    struct tm tmv;
    const bool ok = localtime_r(&t, &tmv) != nullptr;
    int n;
    if (form == JSONTIME_ISO) {
        if (!ok) {
            std::memcpy(buf, "\"\"", 2);
            return 2;
        }
        if (msec) {
            n = std::snprintf(buf, jsontimemax, "\"%d-%02d-%02dT%02d:%02d:%02d.%03d",
                              tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
                              tmv.tm_min, tmv.tm_sec, msec);
        } else {
            n = std::snprintf(buf, jsontimemax, "\"%d-%02d-%02dT%02d:%02d:%02d", tmv.tm_year + 1900,
                              tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
        }
        if (n < 0 || n > static_cast<int>(jsontimemax) - 8) n = 0;
        // The standard-time offset (seconds west of UTC after tzset); daylight
        // saving and minutes of the offset are left out on purpose.
        const long east = -timezone;
        const long aeast = east < 0 ? -east : east;
        if (aeast < 3600) {
            buf[n++] = 'Z';
        } else {
            const long h = aeast / 3600 > 99 ? 99 : aeast / 3600;
            buf[n++] = east > 0 ? '+' : '-';
            buf[n++] = static_cast<char>('0' + h / 10);
            buf[n++] = static_cast<char>('0' + h % 10);
            std::memcpy(buf + n, ":00", 3);
            n += 3;
        }
        buf[n++] = '"';
        return static_cast<size_t>(n);
    }
    if (!ok) {
        tmv = {};
        tmv.tm_year = 70;
        tmv.tm_mday = 1;
    }
    n = std::snprintf(buf, jsontimemax, "\"%4d/%02d/%02d %02d:%02d:%02d.%03d\"", tmv.tm_year + 1900,
                      tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, msec);
    if (n < 0 || n >= static_cast<int>(jsontimemax)) n = 0;
    return static_cast<size_t>(n);
}

}  // namespace zo
