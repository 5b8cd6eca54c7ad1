#include "oxaapi/codepage.h"

#include <iconv.h>

#include <cstring>

namespace oxa {

std::string tocp936(std::string_view utf8) {
    bool ascii = true;
    for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(utf8);
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inleft = utf8.size();
    char* o = out.data();
    size_t oleft = out.size();
    size_t rc = iconv(cd, &in, &inleft, &o, &oleft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inleft != 0) return std::string(utf8);
    out.resize(out.size() - oleft);
    return out;
}

void cutcp936(std::string_view s, char* field, size_t width) {
    if (width == 0) return;
    size_t n = 0;
    while (n < s.size()) {
        size_t step = static_cast<unsigned char>(s[n]) >= 0x81 && n + 1 < s.size() ? 2 : 1;
        if (n + step > width - 1) break;
        n += step;
    }
    std::memcpy(field, s.data(), n);
    field[n] = 0;
}

}  // namespace oxa
