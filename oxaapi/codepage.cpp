#include "oxaapi/codepage.h"

#include <iconv.h>

#include <cstring>

#include "base/charset.h"
#include "oxaapi/oxaapi.h"

namespace oxa {

namespace {

// UTF-8 to code page 936; the length, or -1 when a character has no code
// there, the text is not UTF-8, or the result passes cap bytes.
int tocp936(std::string_view s, char* out, size_t cap) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* in = const_cast<char*>(s.data());
    size_t inleft = s.size();
    char* o = out;
    size_t oleft = cap;
    size_t rc = iconv(cd, &in, &inleft, &o, &oleft);
    if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &o, &oleft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inleft != 0) return -1;
    return static_cast<int>(o - out);
}

}  // namespace

int ctrlname(std::string_view name, char* field, const char** why) {
    // Code page 936 takes at least one byte for every three of UTF-8 (the
    // euro sign: 3 to 1), so a longer name cannot fit the record.
    constexpr size_t maxutf8 = 3 * OXA_NAMEMAX;
    char gbk[maxutf8];
    char back[maxutf8 + 1];
    const char* reason = nullptr;
    int n = -1;
    if (name.empty()) {
        reason = "empty name";
    } else if (std::memchr(name.data(), 0, name.size())) {
        reason = "a zero byte in the name";
    } else if (!zo::isutf8(name.data(), name.size())) {
        reason = "not UTF-8";
    } else if (name.size() > maxutf8 || ((n = tocp936(name, gbk, sizeof gbk)) > OXA_NAMEMAX)) {
        reason = "longer than 79 bytes in code page 936";
    } else if (n < 0) {
        reason = "a character that code page 936 does not have";
    } else {
        const int m = zo::gbktoutf8(gbk, static_cast<size_t>(n), back, sizeof back, true);
        if (m < 0 || std::string_view(back, static_cast<size_t>(m)) != name) {
            reason = "a character that code page 936 gives back as another";
        }
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
