#include "tools/iosim/valuegen.h"

#include <cmath>
#include <string_view>

namespace iosim {

valuegen::valuegen(uint32_t tags, const typelist& types) : tags_(tags ? tags : 1), types_(types) {
    if (types_.empty()) types_.push_back(5);
}

void valuegen::tagname(uint32_t tag, zo::string* out) {
    out->clear();
    out->appendf("iosim.t%04u", tag + 1);
}

void valuegen::ctrlname(uint32_t tag, zo::string* out) {
    out->clear();
    out->appendf("iosim.c%04u", tag + 1);
}

void valuegen::value(uint64_t n, int64_t ms, simval* v) const {
    uint32_t tag = static_cast<uint32_t>(n % tags_);
    uint64_t step = n / tags_;
    tagname(tag, &v->name);
    v->time = ms;
    // Every 50th step of a tag is bad, so that quality travels as more than
    // one constant.
    v->quality = (step % 50 == 49) ? 0 : goodquality;
    v->vtype = vtypeof(tag);
    v->vint = 0;
    v->vdouble = 0;
    v->vbytes.clear();
    double phase = static_cast<double>(step % 3600) * 0.1 + tag;
    switch (v->vtype) {
        case 1:
        case 2:
            // Negative values too: the receiver must sign-extend.
            v->vint = static_cast<int64_t>((step * 37 + tag * 11) % 2001) - 1000;
            break;
        case 3:
            // Exactly representable as a float, so it survives the narrowing
            // to the database's 32-bit float unchanged.
            v->vdouble = static_cast<float>(100.0 * std::sin(phase));
            break;
        case 4: {
            int64_t m = 1000000000000LL + static_cast<int64_t>(step % 1000000) * 1000 + tag;
            v->vint = (step % 2) ? -m : m;
            break;
        }
        case 5:
            v->vdouble = 1000.0 * std::sin(phase * 0.5) + tag;
            break;
        case 6:
            v->vbytes.appendf("state %llu of %s", static_cast<unsigned long long>(step),
                              v->name.c_str());
            break;
        default: {
            // Raw bytes with a zero and a 0xFF in them: no text rules apply.
            unsigned char b[8] = {0x00,
                                  0xFF,
                                  static_cast<unsigned char>(tag),
                                  static_cast<unsigned char>(step),
                                  static_cast<unsigned char>(step >> 8),
                                  0x7F,
                                  0x80,
                                  0x0A};
            v->vbytes.append(b, sizeof b);
            break;
        }
    }
}

void valuegen::soe(uint64_t n, int64_t ms, simsoe* s) const {
    uint32_t point = static_cast<uint32_t>(n % 16);
    s->f230 = static_cast<uint64_t>(ms);
    s->f231 = static_cast<uint32_t>(n);
    s->f232 = static_cast<uint32_t>((n / 16) % 2);
    s->f233 = 1;
    s->f234 = point + 1;
    s->f235 = static_cast<uint32_t>(ms % 1000 + (ms < 0 ? 1000 : 0));
    s->f236.clear();
    s->f236.appendf("iosim.soe%04u", point + 1);
    s->f237.clear();
    s->f237.appendf("breaker %u %s", point + 1, s->f232 ? "closed" : "opened");
    s->f238.assign(std::string_view("iosim"));
    s->f239 = 1;
    s->f240 = (point % 3) + 1;
}

}  // namespace iosim
