#include "oxaapi/codepage.h"

#include <iconv.h>

#include <cstring>

#include "oxaapi/oxaapi.h"

namespace oxa {

namespace {

// UTF-8 to code page 936 (a stateless code: nothing to flush); the length, or
// -1 when a character has no code there, the text is not UTF-8, or the
// result passes cap bytes.
int tocp936(std::string_view s, char* out, size_t cap) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* in = const_cast<char*>(s.data());
    size_t inleft = s.size();
    char* o = out;
    size_t oleft = cap;
    const size_t rc = iconv(cd, &in, &inleft, &o, &oleft);
    iconv_close(cd);
    return rc == static_cast<size_t>(-1) ? -1 : static_cast<int>(o - out);
}

}  // namespace

int ctrlname(std::string_view name, char* field, const char** why) {
    // Code page 936 takes at least one byte for every three of UTF-8 (the
    // euro sign: 3 to 1), so a longer name cannot fit the record.  Each
    // character it has, it gives a code of its own (glibc's table, checked
    // for every code point up to U+2FFFF), and the program decodes with the
    // same table (zo::gbktoutf8): what converts and fits comes back exactly.
    constexpr size_t maxutf8 = 3 * OXA_NAMEMAX;
    char gbk[maxutf8];
    const char* reason = nullptr;
    int n = -1;
    if (name.empty()) {
        reason = "empty name";
    } else if (std::memchr(name.data(), 0, name.size())) {
        reason = "a zero byte in the name";
    } else if (name.size() > maxutf8 || (n = tocp936(name, gbk, sizeof gbk)) > OXA_NAMEMAX) {
        reason = "longer than 79 bytes in code page 936";
    } else if (n < 0) {
        reason = "not UTF-8, or a character that code page 936 does not have";
    }
    if (reason) {
        if (why) *why = reason;
        return OXA_TAGERR_CTRLNAME;
    }
    if (field) {
        std::memcpy(field, gbk, static_cast<size_t>(n));
        field[n] = 0;
    }
    return 0;
}

}  // namespace oxa
