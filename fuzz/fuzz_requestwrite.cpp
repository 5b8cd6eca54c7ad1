// Fuzz target: our writer and the client library's reader must agree.  A tag
// value made from the input (any name and text bytes, any numbers, every
// type) is written as the value object of a request, the way the link
// writes it, and read back by the library's request reader: the row must
// carry the same name, time, quality, type and value, for both time forms.
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
    if (r.name != t.name.view()) std::abort();
    if (r.time != (t.time > 0 ? t.time : 0)) std::abort();
    if (r.quality != static_cast<int32_t>(t.quality)) std::abort();
    if (r.type != static_cast<int32_t>(t.vtype)) std::abort();
    switch (t.vtype) {
        case 1:
        case 2:
            if (r.i != static_cast<int32_t>(t.vint)) std::abort();
            break;
        case 3:
            if (!samedouble(r.d, static_cast<double>(static_cast<float>(t.vdouble)))) std::abort();
            break;
        case 4:
            if (r.i != t.vint) std::abort();
            break;
        case 5:
            if (!samedouble(r.d, t.vdouble)) std::abort();
            break;
        default:
            if (r.bytes != t.vbytes.view()) std::abort();
            break;
    }
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

#ifndef ZO_LIBFUZZER
// The replay driver has no initialisation hook of its own.
static const int zo_init = LLVMFuzzerInitialize(nullptr, nullptr);
#endif
