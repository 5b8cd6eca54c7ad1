#include "dblink/dbrecords.h"

#include <cstring>
#include <string_view>

#include "base/charset.h"
#include "dblink/textconv.h"

namespace zo {

namespace {

// The library's names are code page 936; ours are UTF-8.  A name comes back
// exactly or not at all: a byte that is not code page 936 fails it rather
// than become '?', which would make it another tag's name.
bool nametoutf8(const char* field, size_t width, zo::string& out) {
    size_t n = strnlen(field, width);
    if (n == 0) {
        out.clear();
        return true;
    }
    // A byte there is at most three here (the euro sign).
    char buf[3 * sizeof oxa_valrec{}.name + 1];
    int len = zo::gbktoutf8(field, n, buf, sizeof buf, true);
    if (len < 0) return false;
    return out.assign(buf, static_cast<uint32_t>(len));
}

// Zeroes the whole record and fills the members value and object records
// share.
template <class R>
void tohead(const tagval& t, R& r) {
    std::memset(&r, 0, sizeof r);
    cuttext(r.name, sizeof r.name, t.name.view());
    r.time = t.time / 100;
    r.type = static_cast<int8_t>(t.vtype);
    r.quality = static_cast<int8_t>(t.quality);
}

// The members value and object records share, the other way; false (t
// untouched) when the name does not convert.
template <class R>
bool fromhead(const R& r, tagval& t) {
    zo::string name;
    if (!nametoutf8(r.name, sizeof r.name, name)) return false;
    t.clear();
    t.name = std::move(name);
    t.time = static_cast<int64_t>(static_cast<uint64_t>(r.time) * 100u);  // wraps, never traps
    t.quality = static_cast<uint32_t>(static_cast<int32_t>(r.quality));
    t.vtype = static_cast<uint32_t>(static_cast<int32_t>(r.type));
    return true;
}

}  // namespace

dbreckind reckind(uint32_t vtype) {
    if (vtype >= 1 && vtype <= 5) return DBREC_VALUE;
    if (vtype == 6 || vtype == 7) return DBREC_OBJECT;
    return DBREC_NONE;
}

void tovalrec(const tagval& t, oxa_valrec& r) {
    tohead(t, r);
    switch (t.vtype) {
        case 1:
        case 2:
            r.v.i32 = static_cast<int32_t>(t.vint);
            break;
        case 3:
            r.v.f32 = static_cast<float>(t.vdouble);
            break;
        case 4:
            r.v.i64 = t.vint;
            break;
        case 5:
            r.v.f64 = t.vdouble;
            break;
        default:
            break;
    }
}

void toobjrec(const tagval& t, oxa_objrec& r) {
    tohead(t, r);
    uint32_t n = t.vbytes.size();
    if (n > OXA_OBJDATAMAX) n = OXA_OBJDATAMAX;
    if (n) std::memcpy(r.data, t.vbytes.data(), n);
    r.data[n] = 0;
    r.length = static_cast<uint16_t>(n);
}

void tosoerec(const soerec& s, oxa_soerec& r) {
    std::memset(&r, 0, sizeof r);
    r.f230 = s.f230;
    r.f231 = s.f231;
    r.f232 = s.f232;
    r.f233 = static_cast<uint16_t>(s.f233);
    r.f234 = static_cast<uint16_t>(s.f234);
    r.f235 = s.f235;
    cuttext(r.f236, sizeof r.f236, s.f236.view());
    cuttext(r.f237, sizeof r.f237, s.f237.view());
    cuttext(r.f238, sizeof r.f238, s.f238.view());
    r.f239 = static_cast<uint8_t>(s.f239);
    r.f240 = static_cast<uint8_t>(s.f240);
}

bool fromvalrec(const oxa_valrec& r, tagval& t, const char** why) {
    const char* bad = nullptr;
    if (r.type < 1 || r.type > 5) {
        bad = "no value of its type";
    } else if (!fromhead(r, t)) {
        bad = "name not code page 936";
    }
    if (bad) {
        if (why) *why = bad;
        return false;
    }
    switch (r.type) {
        case 1:
        case 2:
            t.vint = r.v.i32;
            break;
        case 3:
            t.vdouble = r.v.f32;
            break;
        case 4:
            t.vint = r.v.i64;
            break;
        default:
            t.vdouble = r.v.f64;
            break;
    }
    return true;
}

bool fromobjrec(const oxa_objrec& r, tagval& t, const char** why) {
    const char* bad = nullptr;
    if (r.length < 1 || r.length > OXA_OBJDATAMAX) {
        bad = "length outside 1..999";
    } else if (!fromhead(r, t)) {
        bad = "name not code page 936";
    } else if (!t.vbytes.assign(r.data, r.length)) {
        bad = "no memory";
    }
    if (bad && why) *why = bad;
    return bad == nullptr;
}

}  // namespace zo
