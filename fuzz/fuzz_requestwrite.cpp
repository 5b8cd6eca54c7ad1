// Fuzz target: our writer and the client library's reader agree.  A tag
// value made from the input (any bytes, any numbers, every type) is written
// as the link writes it and read back by the library's request reader, with
// the same name, time, quality, type and value, for both time forms.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "dblink/oxawrite.h"
#include "fuzz/fuzzmain.h"
#include "oxaapi/request.h"

namespace {

template <class T>
T take(const uint8_t*& p, size_t& n) {
    T v{};
    size_t k = n < sizeof v ? n : sizeof v;
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
}

bool samedouble(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

void check(const tagval& t, bool inttimes) {
    zo::string text;
    text.append("{\"request\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":[");
    addvalueobject(text, t, inttimes);
    text.append("]}");
    oxa::request rq;
    std::string why;
    if (!oxa::parserequest(text.view(), &rq, &why)) std::abort();
    if (rq.rows.size() != 1 || !rq.errs.empty()) std::abort();
    const oxa::tagrow& r = rq.rows[0];
    if (r.name != t.name.view() || r.time != (t.time > 0 ? t.time : 0) ||
        r.quality != static_cast<int32_t>(t.quality) || r.type != static_cast<int32_t>(t.vtype))
        std::abort();
    // Types 1 and 2 keep 32 bits, 3 a float, 4 and 5 all; 6 and 7 bytes.
    const double f = static_cast<float>(t.vdouble);
    bool same = t.vtype <= 2   ? r.i == static_cast<int32_t>(t.vint)
                : t.vtype == 3 ? samedouble(r.d, f)
                : t.vtype == 4 ? r.i == t.vint
                : t.vtype == 5 ? samedouble(r.d, t.vdouble)
                               : r.bytes == t.vbytes.view();
    if (!same) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Local times are read back in the zone they were written in; UTC has
    // no hour that occurs twice.
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const uint8_t* p = data;
    size_t n = size;
    tagval t;
    t.vtype = 1 + take<uint8_t>(p, n) % 7;
    t.quality = take<uint32_t>(p, n);
    t.time = take<int64_t>(p, n);
    t.vint = take<int64_t>(p, n);
    t.vdouble = take<double>(p, n);
    size_t namelen = take<uint8_t>(p, n);
    if (namelen > n) namelen = n;
    t.name.assign(reinterpret_cast<const char*>(p), static_cast<uint32_t>(namelen));
    t.vbytes.assign(reinterpret_cast<const char*>(p + namelen), static_cast<uint32_t>(n - namelen));
    if (t.name.empty()) return 0;  // a value without a name is refused by design
    check(t, true);
    // Local-time texts cover the years 1970..9999 with whole milliseconds.
    if (t.time <= 0 || t.time < 253402300800000LL) check(t, false);
    return 0;
}
