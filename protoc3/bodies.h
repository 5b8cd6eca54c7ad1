// bodies.h - the message bodies and records exchanged with the IO server.
//
//   body_login            login request (funid 2001) and reply (2002)
//   body_unkown           control order, registrations, texts (2004, 3211,
//                         3212, 3512, 3308)
//   body_objarray<T>      an array of records: pbo_tagval (3202, 3204, 3208,
//                         3214), pbo_soe (3210), pbo_process_runinfo (3206)
//   pbo_tagval            one value of one tag
//   pbo_soe               one sequence-of-events record
//   pbo_process_runinfo   the run information of this process
//
// Every class follows the rules of pbwire.h.  Fields are plain public
// members; fields that have no name of their own are called after their
// field number (f230 is field 230).  Each class's serialize writes its
// fields in the fixed order the IO server expects, which is not field-number
// order; the classes of integers and texts only (pbo_soe,
// pbo_process_runinfo, body_login, body_unkown) state that order once, in
// fields(), and encode and decode by it (zo::cls_fieldlist).  Class-specific
// rules:
//   - pbo_tagval writes only the value field that belongs to vtype: vint for
//     1, 2, 4; vdouble for 3 and 5, always, even 0.0; vbytes for 6 and 7 (a
//     byte field: no UTF-8 check, a leading zero byte is data).  parse keeps
//     every value field that arrives.  time and vint are signed 64-bit
//     members carried as their 64-bit pattern; a 32-bit value is
//     sign-extended into vint by whoever fills it.
//   - pbo_process_runinfo's clear() sets f170 to 1, not 0.
//   - body_unkown leaves out empty texts of strs (they do not survive a round
//     trip); one non-UTF-8 element fails the whole encode or decode.
//   - body_objarray leaves out elements whose size is 0.  An element that
//     fails to decode fails the array's parse, and the reason stays in the
//     discarded element: the array's own errcode is left at 0.
//
// Objects, their texts and their arrays take memory from zo_alloc.  Records
// copy and move by value; a moved-from record holds no buffers.  Arrays move
// only.
//
// Thread-safety: an object belongs to one thread at a time.
#pragma once
#include <cstdint>
#include <cstring>

#include "base/array_.h"
#include "base/string_.h"
#include "protoc3/pbwire.h"

namespace zo {

// ---- pbo_tagval --------------------------------------------------------------

template <class S>
class pbo_tagval final : public zo::cls_protoc3<S> {
  public:
    static constexpr uint32_t itemfield = 1;  // its field number inside an array

    int64_t time = 0;      // 1, varint
    S name;                // 2, text
    uint32_t quality = 0;  // 3
    uint32_t vtype = 0;    // 7; 1..7, see above
    int64_t vint = 0;      // 4, for vtype 1, 2, 4
    double vdouble = 0;    // 5, wire type 1, for vtype 3, 5
    S vbytes;              // 6, bytes, for vtype 6, 7

    pbo_tagval() = default;

    void clear() override {
        time = 0;
        name.clear();
        quality = 0;
        vtype = 0;
        vint = 0;
        vdouble = 0;
        vbytes.clear();
    }

    // An upper bound of size(), cheap to take: arrays reserve with it and
    // write each element once.
    uint64_t maxsize() const { return 40ull + name.size() + vbytes.size(); }

    uint32_t size() const override {
        uint32_t n = zo::field_size64(1, static_cast<uint64_t>(time)) + zo::text_size(18, name) +
                     zo::field_size32(3, quality) + zo::field_size32(7, vtype);
        switch (vtype) {
            case 1:
            case 2:
            case 4:
                n += zo::field_size64(4, static_cast<uint64_t>(vint));
                break;
            case 3:
            case 5:
                n += 9;
                break;
            case 6:
            case 7:
                if (vbytes.size()) n += 1 + zo::varint_size32(vbytes.size()) + vbytes.size();
                break;
            default:
                break;
        }
        return n;
    }

    // Raw write after room for size() bytes is known to exist.
    bool writeto(uint8_t*& p) {
        namespace raw = zo::pbraw;
        this->w64(p, 8, static_cast<uint64_t>(time));
        if (!this->wtext(p, 18, name)) return false;
        this->w32(p, 24, quality);
        this->w32(p, 56, vtype);
        switch (vtype) {
            case 1:
            case 2:
            case 4:
                this->w64(p, 32, static_cast<uint64_t>(vint));
                break;
            case 3:
            case 5: {
                uint64_t bits;
                std::memcpy(&bits, &vdouble, 8);
                *p++ = 41;
                p = raw::fixed64(p, bits);
                break;
            }
            case 6:
            case 7:
                if (vbytes.size()) {
                    *p++ = 50;
                    p = raw::lenbytes(p, vbytes.data(), vbytes.size());
                }
                break;
            default:
                break;
        }
        return true;
    }

    bool serialize(S& out) override {
        return this->serializewith(out, size(), [this](uint8_t*& p) { return writeto(p); });
    }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }

    bool on_varint(uint32_t field, uint64_t v) override {
        switch (field) {
            case 1:
                time = static_cast<int64_t>(v);
                break;
            case 3:
                quality = static_cast<uint32_t>(v);
                break;
            case 4:
                vint = static_cast<int64_t>(v);
                break;
            case 7:
                vtype = static_cast<uint32_t>(v);
                break;
            default:
                break;
        }
        return true;
    }
    bool on_fixed64(uint32_t field, const uint8_t* p) override {
        if (field == 5) {
            uint64_t bits = zo::pbraw::loadle64(p);
            std::memcpy(&vdouble, &bits, 8);
        }
        return true;
    }
    bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) override {
        if (field == 2) return this->get_text(p, n, name);
        if (field == 6) this->get_bytes(p, n, vbytes);
        return true;
    }
};

// ---- pbo_soe -----------------------------------------------------------------

template <class S>
class pbo_soe final : public zo::cls_fieldlist<pbo_soe<S>, S> {
  public:
    static constexpr uint32_t itemfield = 1;

    uint64_t f230 = 0;  // 64-bit at the database
    uint32_t f231 = 0;
    uint32_t f232 = 0;
    uint32_t f233 = 0;  // low 16 bits at the database
    uint32_t f234 = 0;  // low 16 bits at the database
    uint32_t f235 = 0;
    S f236;             // text, at most 79 bytes at the database
    S f237;             // text, at most 159 bytes at the database
    S f238;             // text, at most 239 bytes at the database
    uint32_t f239 = 0;  // low 8 bits at the database
    uint32_t f240 = 0;  // low 8 bits at the database

    template <class Self, class F>
    static auto fields(Self& m, F&& f) {
        using zo::asint, zo::astext;
        return f(astext(236, m.f236), astext(237, m.f237), astext(238, m.f238), asint(230, m.f230),
                 asint(231, m.f231), asint(232, m.f232), asint(233, m.f233), asint(234, m.f234),
                 asint(235, m.f235), asint(239, m.f239), asint(240, m.f240));
    }

    void clear() override {
        f230 = 0;
        f231 = f232 = f233 = f234 = f235 = f239 = f240 = 0;
        f236.clear();
        f237.clear();
        f238.clear();
    }

    uint64_t maxsize() const { return 128ull + f236.size() + f237.size() + f238.size(); }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }
};

// ---- pbo_process_runinfo -----------------------------------------------------

template <class S>
class pbo_process_runinfo final : public zo::cls_fieldlist<pbo_process_runinfo<S>, S> {
  public:
    static constexpr uint32_t itemfield = 67;

    S f160;             // instance name
    uint32_t f161 = 0;  // field 95 of the last login reply
    uint32_t f162 = 0;  // process id
    uint32_t f163 = 0;  // CPU share since the previous report
    uint32_t f164 = 0;
    uint64_t f165 = 0;  // working set in bytes
    uint64_t f166 = 0;  // start time, ms since 1970
    uint64_t f167 = 0;  // last login, ms since 1970
    uint64_t f168 = 0;  // report time, ms since 1970
    S f169;             // URL of the database in use
    uint32_t f170 = 1;  // 1 after clear, so 0 cannot be carried
    uint32_t f171 = 0;
    uint32_t f172 = 0;  // 0 database connected, else 3
    uint32_t f173 = 0;
    uint32_t f174 = 0;

    template <class Self, class F>
    static auto fields(Self& m, F&& f) {
        using zo::asint, zo::astext;
        return f(astext(160, m.f160), asint(161, m.f161), asint(162, m.f162), asint(163, m.f163),
                 asint(164, m.f164), asint(170, m.f170), asint(171, m.f171), asint(165, m.f165),
                 asint(166, m.f166), asint(167, m.f167), asint(168, m.f168), astext(169, m.f169),
                 asint(172, m.f172), asint(173, m.f173), asint(174, m.f174));
    }

    void clear() override {
        f160.clear();
        f161 = f162 = f163 = f164 = 0;
        f165 = f166 = f167 = f168 = 0;
        f169.clear();
        f170 = 1;
        f171 = f172 = f173 = f174 = 0;
    }

    uint64_t maxsize() const { return 192ull + f160.size() + f169.size(); }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }
};

// ---- body_login --------------------------------------------------------------

template <class S>
class body_login final : public zo::cls_fieldlist<body_login<S>, S> {
  public:
    uint32_t f93 = 0;
    uint32_t retcode = 0;  // 91: login result, 0 = success
    uint32_t f125 = 0;     // 2 in the login request
    uint32_t f133 = 0;     // 50 in the login request
    uint32_t f94 = 0;
    uint32_t f95 = 0;  // in the reply; reported back as run-information field 161
    uint32_t f97 = 0;
    uint32_t f96 = 0;
    S f121;  // instance name in the login request
    S f122;
    S retmsg;  // 92: result text
    S f150;

    template <class Self, class F>
    static auto fields(Self& m, F&& f) {
        using zo::asint, zo::astext;
        return f(astext(121, m.f121), astext(122, m.f122), astext(92, m.retmsg),
                 astext(150, m.f150), asint(91, m.retcode), asint(93, m.f93), asint(125, m.f125),
                 asint(133, m.f133), asint(94, m.f94), asint(95, m.f95), asint(97, m.f97),
                 asint(96, m.f96));
    }

    void clear() override {
        f93 = retcode = f125 = f133 = f94 = f95 = f97 = f96 = 0;
        f121.clear();
        f122.clear();
        retmsg.clear();
        f150.clear();
    }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }
};

// ---- body_unkown -------------------------------------------------------------

template <class S>
class body_unkown final : public zo::cls_fieldlist<body_unkown<S>, S> {
  public:
    S sid;                 // 195
    uint32_t vi32 = 0;     // 196: in a control order the order code
    uint32_t retcode = 0;  // 91
    uint64_t vi64 = 0;     // 197
    S vstr;                // 198: the message text for the database (3308)
    S vstr2;               // 199
    S retmsg;              // 92
    zo::array_<S> strs;    // 9, repeated text: tag names in registrations

    // The order code of a control order that tells the process to exit.
    static constexpr uint32_t PROCESS_CTRL_EXIT = 91;

    template <class Self, class F>
    static auto fields(Self& m, F&& f) {
        using zo::asint, zo::astext, zo::astexts;
        return f(asint(196, m.vi32), asint(91, m.retcode), asint(197, m.vi64), astext(198, m.vstr),
                 astext(195, m.sid), astext(199, m.vstr2), astext(92, m.retmsg),
                 astexts(9, m.strs));
    }

    void clear() override {
        sid.clear();
        vi32 = retcode = 0;
        vi64 = 0;
        vstr.clear();
        vstr2.clear();
        retmsg.clear();
        strs.clear();
    }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }
};

// ---- body_objarray -----------------------------------------------------------

// T is one of the record classes above; the item field number (1 for tag
// values and SOE records, 67 for run information) is fixed when the object
// is made.  Callers reserve room in items before parsing large arrays.
template <class T, class S = typename T::string_type>
class body_objarray final : public zo::cls_protoc3<S> {
  public:
    uint32_t retcode = 0;  // 91
    uint32_t itemfield;    // not on the wire; set by the constructor
    uint32_t f131 = 0;
    uint64_t f132 = 0;
    S retmsg;             // 92
    zo::array_<T> items;  // called process_info in the run-information body

    // A decoded array holds at most this many elements (more fail the parse
    // with "decode failed").  Empty elements cost two bytes on the wire but a
    // whole record in memory, so without a cap a small, well-compressed
    // package could make us allocate gigabytes.
    uint32_t maxitems = 1u << 20;

    explicit body_objarray(uint32_t itemfield_ = T::itemfield) : itemfield(itemfield_) {}

    zo::array_<T>& process_info() { return items; }

    void clear() override {
        retcode = 0;
        f131 = 0;
        f132 = 0;
        retmsg.clear();
        items.clear();
    }

    uint32_t size() const override {
        using namespace zo;
        uint32_t n = text_size(92 * 8 + 2, retmsg) + field_size32(91, retcode) +
                     field_size32(131, f131) + field_size64(132, f132);
        for (const T& e : items) n += item_size(e, itemfield);
        return n;
    }

    // Writes every element once: its length is put in one byte before the
    // element is written and widened afterwards in the rare case that the
    // element took 128 bytes or more.  The room comes from the elements'
    // maxsize(), the length of out from what was written; so out grows by
    // exactly size() bytes.
    bool serialize(S& out) override {
        this->errcode = zo::PBERR_NONE;
        uint32_t key = itemfield * 8 + 2;
        uint32_t keylen = zo::varint_size32(key);
        uint64_t bound = zo::text_size(92 * 8 + 2, retmsg) + 40;
        for (const T& e : items) bound += e.maxsize() + keylen + 5;
        uint32_t len = out.size();
        if (len + bound > 0xFFFFFF00u || !out.reserve(static_cast<uint32_t>(len + bound)))
            return true;  // left short; the caller's length check reports it
        out.resize(static_cast<uint32_t>(len + bound));
        uint8_t* start = reinterpret_cast<uint8_t*>(out.data()) + len;
        uint8_t* p = start;
        bool ok = this->wtext(p, 92 * 8 + 2, retmsg);
        if (ok) {
            this->w32(p, 91 * 8, retcode);
            this->w32(p, 131 * 8, f131);
            this->w64(p, 132 * 8, f132);
            for (T& e : items) {
                e.errcode = zo::PBERR_NONE;
                uint8_t* k = zo::pbraw::varint32(p, key);
                uint8_t* body = k + 1;
                uint8_t* q = body;
                if (!e.writeto(q)) {
                    this->errcode = e.errcode;  // the log line names the reason
                    ok = false;
                    break;
                }
                uint32_t n = static_cast<uint32_t>(q - body);
                if (n == 0) continue;  // an empty element is left out
                if (n < 128) {
                    *k = static_cast<uint8_t>(n);
                    p = q;
                } else {
                    uint32_t vs = zo::varint_size32(n);
                    std::memmove(k + vs, body, n);
                    p = zo::pbraw::varint32(k, n) + n;
                }
            }
        }
        out.truncate(len + static_cast<uint32_t>(p - start));
        return ok;
    }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }

    bool on_varint(uint32_t field, uint64_t v) override {
        if (field == 91) retcode = static_cast<uint32_t>(v);
        if (field == 131) f131 = static_cast<uint32_t>(v);
        if (field == 132) f132 = v;
        return true;
    }
    bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) override {
        if (field == itemfield) {
            // Decoded in place at the end of the array, which is what making
            // a fresh element and moving it there amounts to.
            T* e = items.size() < maxitems ? items.emplace() : nullptr;
            if (!e) {
                this->errcode = zo::PBERR_DECODE;
                return false;
            }
            if (!e->parse(p, n)) {
                items.pop_back();
                return false;
            }
            return true;
        }
        if (field == 92) return this->get_text(p, n, retmsg);
        return true;
    }
};

// ---- the instantiations over zo::string ----------------------------------------

using tagval = pbo_tagval<zo::string>;
using soerec = pbo_soe<zo::string>;
using runinfo = pbo_process_runinfo<zo::string>;
using loginbody = body_login<zo::string>;
using unkownbody = body_unkown<zo::string>;
using tagvalarray = body_objarray<tagval>;
using soearray = body_objarray<soerec>;
using runinfoarray = body_objarray<runinfo>;

}  // namespace zo
