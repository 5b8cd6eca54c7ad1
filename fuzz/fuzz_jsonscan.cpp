// Fuzz target: the shallow JSON reader on arbitrary text.  Every key and
// value lies inside the text; nested values are scanned again (a few levels
// deep), and every getter, the escape decoder and the number readers take
// every entry.
#include <cstdlib>
#include <string_view>

#include "base/jsonscan.h"
#include "fuzz/fuzzmain.h"

namespace {

void inside(std::string_view all, const char* p, uint32_t n) {
    if (n == 0) return;
    if (p < all.data() || p + n > all.data() + all.size()) std::abort();
}

void walk(std::string_view text, int depth) {
    zo::jsonscan js;
    if (!js.scan(text)) return;
    for (const zo::jsonentry& e : js) {
        inside(text, e.key, e.keylen);
        inside(text, e.val, e.vallen);
        if (e.keylen > zo::jsonscan::maxkey) std::abort();
        zo::string out;
        int32_t i = 0;
        double d = 0;
        int64_t l = 0;
        if (e.keylen) {
            js.gettext(e.keyview(), out);
            js.getint(e.keyview(), i);
            js.getdouble(e.keyview(), d);
        }
        out.clear();
        zo::jsonunescape(e.valview(), out);
        zo::jsonreadint64(e.valview(), l);
        zo::jsonreaddouble(e.valview(), d);
        if (depth < 4 && (e.type == zo::JSON_OBJECT || e.type == zo::JSON_ARRAY))
            walk(e.valview(), depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    walk(text, 0);
    return 0;
}
