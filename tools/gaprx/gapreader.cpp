#include "tools/gaprx/gapreader.h"

#include <cstring>

#include "base/lz4block.h"
#include "protoc3/pbwire.h"

using namespace zo;

namespace {

using namespace gapwire;

// The visitors below are driven by zo::pbdecode: it walks the wire format
// and calls on_* per field; a handler returns false to refuse the message.
struct visitor {
    uint32_t errcode = 0;
    void clear() {}
    bool on_varint(uint32_t, uint64_t) { return true; }
    bool on_fixed32(uint32_t, const uint8_t*) { return true; }
    bool on_fixed64(uint32_t, const uint8_t*) { return true; }
    bool on_bytes(uint32_t, const uint8_t*, uint32_t) { return true; }
};

// A text into a zero-terminated field of width bytes; false when it does
// not fit with its zero byte.
bool totext(char* field, size_t width, const uint8_t* p, uint32_t n) {
    if (n >= width) return false;
    std::memcpy(field, p, n);
    field[n] = 0;
    return true;
}

struct headvisitor : visitor {
    uint32_t mark = 0;
    uint32_t funid = 0;
    bool on_varint(uint32_t f, uint64_t v) {
        if (f == 1) mark = static_cast<uint32_t>(v);
        if (f == 2) funid = static_cast<uint32_t>(v);
        return true;
    }
};

struct authvisitor : visitor {
    uint32_t key = 0;
    const uint8_t* user = nullptr;
    const uint8_t* hash = nullptr;
    bool on_varint(uint32_t f, uint64_t v) {
        if (f == 1) key = static_cast<uint32_t>(v);
        return true;
    }
    bool on_bytes(uint32_t f, const uint8_t* p, uint32_t n) {
        // A block of another length is simply not a block of ours: the
        // credential check refuses it.
        if (f == 2) user = n == authblock ? p : nullptr;
        if (f == 3) hash = n == authblock ? p : nullptr;
        return true;
    }
};

struct valvisitor : visitor {
    oxa_valrec* r;
    uint32_t i32 = 0;
    uint64_t i64 = 0;
    uint32_t f32 = 0;
    uint64_t f64 = 0;
    explicit valvisitor(oxa_valrec* rec) : r(rec) { std::memset(r, 0, sizeof *r); }
    bool on_varint(uint32_t f, uint64_t v) {
        switch (f) {
            case 2:
                r->time = unzigzag64(v);
                break;
            case 3:
                r->type = static_cast<int8_t>(v);
                break;
            case 4:
                i32 = static_cast<uint32_t>(v);
                break;
            case 6:
                i64 = v;
                break;
            case 8:
                r->quality = static_cast<int8_t>(v);
                break;
            case 9:
                r->flag = static_cast<int8_t>(v);
                break;
            default:
                break;
        }
        return true;
    }
    bool on_fixed32(uint32_t f, const uint8_t* p) {
        if (f == 5) f32 = zo::pbraw::loadle32(p);
        return true;
    }
    bool on_fixed64(uint32_t f, const uint8_t* p) {
        if (f == 7) f64 = zo::pbraw::loadle64(p);
        return true;
    }
    bool on_bytes(uint32_t f, const uint8_t* p, uint32_t n) {
        return f != 1 || totext(r->name, sizeof r->name, p, n);
    }
    // The value of the type, once all fields are in; false for a type that
    // has no value record.
    bool finish() {
        switch (r->type) {
            case 1:
            case 2:
                r->v.i32 = unzigzag32(i32);
                return true;
            case 3:
                std::memcpy(&r->v.f32, &f32, 4);
                return true;
            case 4:
                r->v.i64 = unzigzag64(i64);
                return true;
            case 5:
                std::memcpy(&r->v.f64, &f64, 8);
                return true;
            default:
                return false;
        }
    }
};

struct objvisitor : visitor {
    oxa_objrec* r;
    uint32_t length = 0;
    explicit objvisitor(oxa_objrec* rec) : r(rec) { std::memset(r, 0, sizeof *r); }
    bool on_varint(uint32_t f, uint64_t v) {
        switch (f) {
            case 2:
                r->time = unzigzag64(v);
                break;
            case 3:
                r->type = static_cast<int8_t>(v);
                break;
            case 4:
                r->extra = static_cast<uint32_t>(v);
                break;
            case 8:
                r->quality = static_cast<int8_t>(v);
                break;
            case 9:
                r->flag = static_cast<int8_t>(v);
                break;
            default:
                break;
        }
        return true;
    }
    bool on_bytes(uint32_t f, const uint8_t* p, uint32_t n) {
        if (f == 1) return totext(r->name, sizeof r->name, p, n);
        if (f == 5) {
            if (n > maxobjdata) return false;
            std::memcpy(r->data, p, n);
            length = n;  // the zero byte after the data is there from the memset
        }
        return true;
    }
    bool finish() {
        r->length = static_cast<uint16_t>(length);
        return r->type == 6 || r->type == 7;
    }
};

struct soevisitor : visitor {
    oxa_soerec* r;
    explicit soevisitor(oxa_soerec* rec) : r(rec) { std::memset(r, 0, sizeof *r); }
    bool on_varint(uint32_t f, uint64_t v) {
        uint32_t lo = static_cast<uint32_t>(v);
        switch (f) {
            case 1:
                r->f231 = lo;
                break;
            case 2:
                r->f230 = static_cast<uint64_t>(unzigzag64(v));
                break;
            case 3:
                r->f232 = static_cast<uint32_t>(unzigzag32(lo));
                break;
            case 4:
                r->f233 = static_cast<uint16_t>(unzigzag32(lo));
                break;
            case 5:
                r->f235 = static_cast<uint32_t>(unzigzag32(lo));
                break;
            case 9:
                r->f239 = static_cast<uint8_t>(unzigzag32(lo));
                break;
            case 10:
                r->f240 = static_cast<uint8_t>(unzigzag32(lo));
                break;
            default:
                break;
        }
        return true;
    }
    bool on_bytes(uint32_t f, const uint8_t* p, uint32_t n) {
        switch (f) {
            case 6:
                return totext(r->f236, sizeof r->f236, p, n);
            case 7:
                return totext(r->f237, sizeof r->f237, p, n);
            case 8:
                // The bytes of f238 and, by their count, f234.
                if (n > maxsoebytes) return false;
                std::memcpy(r->f238, p, n);
                r->f234 = static_cast<uint16_t>(n);
                return true;
            default:
                return true;
        }
    }
    bool finish() { return true; }  // every field is its own
};

struct msgvisitor : visitor {
    gapmsg* m;
    bool head = false;
    uint32_t mark = 0;
    bool auth = false;
    authvisitor a;
    explicit msgvisitor(gapmsg* msg) : m(msg) {}

    template <class V, class R>
    static bool record(R* arr, uint32_t& count, uint32_t cap, const uint8_t* p, uint32_t n) {
        if (count >= cap) return false;
        V v(&arr[count]);
        if (!zo::pbdecode(v, p, n) || !v.finish()) return false;
        ++count;
        return true;
    }

    bool on_bytes(uint32_t f, const uint8_t* p, uint32_t n) {
        switch (f) {
            case f_head: {
                headvisitor h;
                if (!zo::pbdecode(h, p, n)) return false;
                head = true;
                mark = h.mark;
                m->funid = h.funid;
                return true;
            }
            case f_auth:
                auth = true;
                return zo::pbdecode(a, p, n);
            case f_vals:
                return record<valvisitor>(m->vals, m->nvals, valchunk, p, n);
            case f_objs:
                return record<objvisitor>(m->objs, m->nobjs, objchunk, p, n);
            case f_soes:
                return record<soevisitor>(m->soes, m->nsoes, soechunk, p, n);
            default:
                return true;
        }
    }

    // The records must be of the message's kind.
    bool consistent() const {
        if (!head || mark != headmark) return false;
        switch (m->funid) {
            case funid_vals:
                return m->nobjs == 0 && m->nsoes == 0;
            case funid_objs:
                return m->nvals == 0 && m->nsoes == 0;
            case funid_soes:
                return m->nvals == 0 && m->nobjs == 0;
            default:
                return false;
        }
    }
};

}  // namespace

const char* verdictname(int v) {
    static const char* const names[GAP_VERDICTS] = {"ok",      "short",   "magic",  "headcrc",
                                                    "bodylen", "bodycrc", "rawlen", "lz4",
                                                    "decode",  "auth",    "replay"};
    return v >= 0 && v < GAP_VERDICTS ? names[v] : "unknown";
}

gapreader::gapreader(std::string_view user, std::string_view pswd) {
    userblock(user, user_);
    hashblock(pswd, hash_);
}

gapverdict gapreader::read(const uint8_t* d, size_t n, gapmsg* m) {
    if (n < headsize) return GAP_SHORT;
    if (std::memcmp(d, magic, sizeof magic) != 0) return GAP_MAGIC;
    if (crc32of(d, at_headcrc) != loadbe32(d + at_headcrc)) return GAP_HEADCRC;
    uint32_t bodylen = loadbe32(d + at_bodylen);
    if (bodylen == 0 || bodylen != n - headsize) return GAP_BODYLEN;
    m->bodycrc = loadbe32(d + at_bodycrc);
    if (crc32of(d + headsize, bodylen) != m->bodycrc) return GAP_BODYCRC;
    uint32_t rawlen = loadbe32(d + at_rawlen);
    if (rawlen == 0 || rawlen > maxraw) return GAP_RAWLEN;
    int got = zo::lz4block::decompress(d + headsize, bodylen, raw_, sizeof raw_);
    if (got < 0) return GAP_LZ4;
    if (static_cast<uint32_t>(got) != rawlen) return GAP_RAWLEN;

    m->dgramseq = loadbe32(d + at_dgramseq);
    m->funid = m->key = m->authcount = 0;
    m->nvals = m->nobjs = m->nsoes = 0;
    msgvisitor v(m);
    if (!zo::pbdecode(v, raw_, rawlen) || !v.consistent()) return GAP_DECODE;

    if (!v.auth || !v.a.user || !v.a.hash) return GAP_AUTH;
    uint8_t block[authblock];
    xorblock(v.a.user, v.a.key, block);
    if (std::memcmp(block, user_, authblock) != 0) return GAP_AUTH;
    xorblock(v.a.hash, v.a.key, block);
    if (std::memcmp(block, hash_, authblock) != 0) return GAP_AUTH;
    m->key = v.a.key;
    m->authcount = authcountof(v.a.key);
    return GAP_ACCEPT;
}
