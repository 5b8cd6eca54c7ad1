// pbwire.h - the protobuf wire codec under every protocol-3 message.
//
// We use protobuf's wire format only (keys, wire types 0, 1, 2 and 5,
// base-128 varints, little-endian fixed values); each message is a
// hand-written class that knows its own fields.  The IO server on the other
// end was not written by us, so the byte-level rules below are fixed:
//   - integers are written from the unsigned pattern of their width: a
//     negative 32-bit value takes 5 bytes, never protobuf's 10;
//   - an integer equal to 0 and a text that is empty or starts with a zero
//     byte are absent (there are no "has" flags);
//   - texts are checked for UTF-8 on encode and on decode (errcode 3),
//     byte fields are not;
//   - unknown fields of wire types 0, 1, 2, 5 are skipped; groups (3, 4) and
//     wire types 6, 7 fail the decode (errcode 2), as does any truncation, a
//     key or length varint longer than 5 bytes and a value varint longer than
//     10 bytes.
//
// Class family: zo::base_protobuf holds errcode; zo::msg_protoc3 is the
// interface the decoder drives (clear, size, on_* handlers, parse);
// zo::cls_protoc3<S> adds serialize over the byte string type S and default
// handlers that accept and ignore a field; zo::cls_fieldlist<M, S> derives
// size, serialize and the handlers from a list of M's integer and text
// fields.  A message's size() must equal the number of bytes its serialize()
// appends; the package builder checks that.
//
// Writers never fail: a byte string that cannot grow leaves its output
// short, and a fixbuf drops what does not fit (the records written into a
// fixbuf come from fixed-size database records and stay within capacity).
//
// Thread-safety: message objects belong to one thread at a time; the free
// functions keep no state.
#pragma once
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/alloc.h"

namespace zo {

// The longest varints we write or read: a 32-bit value (and any key or
// length) takes at most 5 bytes, a 64-bit value at most 10.
constexpr int varint32max = 5;
constexpr int varint64max = 10;

enum pberror : uint32_t {
    PBERR_NONE = 0,
    PBERR_ENCODE = 1,  // not set by any operation of ours
    PBERR_DECODE = 2,  // malformed or truncated input
    PBERR_UTF8 = 3,    // a text field is not UTF-8
    PBERR_MEMORY = 4,  // not set by any operation of ours
};

// Text of an error code: "" for 0, "unknown" for codes we do not know.
const char* pberrtext(uint32_t code) noexcept;

// True when [p, p+n) is UTF-8 by the rules of this codec (overlong 3- and
// 4-byte forms and surrogates pass).  A null p is valid.  With n == 0 the
// bytes up to the first zero byte are checked (fixed-size name fields).
bool utf8_check(const void* p, uint32_t n) noexcept;

// utf8_check with the common all-ASCII case settled inline (n > 0).
inline bool utf8_fast(const void* ptr, uint32_t n) noexcept {
    const uint8_t* p = static_cast<const uint8_t*>(ptr);
    uint64_t acc = 0;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & 0x8080808080808080ull) == 0 || utf8_check(ptr, n);
}

// ---- sizes ----------------------------------------------------------------

inline uint32_t varint_size32(uint32_t v) noexcept {
    if (v < (1u << 7)) return 1;
    if (v < (1u << 14)) return 2;
    if (v < (1u << 21)) return 3;
    if (v < (1u << 28)) return 4;
    return 5;
}
inline uint32_t varint_size64(uint64_t v) noexcept {
    if (v < (1ull << 32)) return varint_size32(static_cast<uint32_t>(v));
    uint32_t bits = 64 - static_cast<uint32_t>(__builtin_clzll(v));
    return (bits + 6) / 7;
}
// 0 for a zero value, else the bytes of key (wire type 0) and value.
inline uint32_t field_size32(uint32_t field, uint32_t v) noexcept {
    return v ? varint_size32(field * 8) + varint_size32(v) : 0;
}
inline uint32_t field_size64(uint32_t field, uint64_t v) noexcept {
    return v ? varint_size32(field * 8) + varint_size64(v) : 0;
}
// A text is present when it is not empty and its first byte is not 0.
template <class S>
inline bool text_present(const S& t) noexcept {
    return t.size() != 0 && t.data()[0] != 0;
}
// key is the whole key (field number x 8 + 2).
template <class S>
inline uint32_t text_size(uint32_t key, const S& t) noexcept {
    return text_present(t) ? varint_size32(key) + varint_size32(t.size()) + t.size() : 0;
}
// An embedded message: 0 when the item's own size is 0.
template <class M>
inline uint32_t item_size(const M& item, uint32_t field) noexcept {
    uint32_t n = item.size();
    return n ? varint_size32(field * 8 + 2) + varint_size32(n) + n : 0;
}

// ---- raw writers (caller guarantees room) -----------------------------------

namespace pbraw {
inline uint8_t* varint32(uint8_t* p, uint32_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
}
inline uint8_t* varint64(uint8_t* p, uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
}
inline uint8_t* fixed32(uint8_t* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return p + 4;
}
inline uint8_t* fixed64(uint8_t* p, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    return p + 8;
}
inline uint8_t* lenbytes(uint8_t* p, const void* s, uint32_t n) noexcept {
    p = varint32(p, n);
    if (n && s) std::memcpy(p, s, n);
    return p + n;
}
inline uint64_t loadle64(const uint8_t* p) noexcept {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint32_t loadle32(const uint8_t* p) noexcept {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace pbraw

// ---- writers to a byte string ----------------------------------------------
// Each appends at the end and returns true; bytes that find no room are left
// out (the string keeps its length).

template <class S>
inline bool put_varint32(S& out, uint32_t v) noexcept {
    uint8_t b[varint32max];
    out.append(b, static_cast<uint32_t>(pbraw::varint32(b, v) - b));
    return true;
}
template <class S>
inline bool put_varint64(S& out, uint64_t v) noexcept {
    uint8_t b[varint64max];
    out.append(b, static_cast<uint32_t>(pbraw::varint64(b, v) - b));
    return true;
}
// The length as a varint, then the bytes (only the length for null or 0).
template <class S>
inline bool put_lenbytes(S& out, const void* p, uint32_t n) noexcept {
    put_varint32(out, n);
    if (p && n) out.append(p, n);
    return true;
}
template <class S>
inline bool put_fixed64(S& out, uint64_t v) noexcept {
    uint8_t b[8];
    pbraw::fixed64(b, v);
    out.append(b, 8);
    return true;
}

// ---- fixed-capacity buffer ---------------------------------------------------

template <uint32_t N>
struct fixbuf {
    static constexpr uint32_t capacity = N;
    uint32_t used = 0;
    uint8_t data[N];
};
using fixbuf1k = fixbuf<1024>;
using fixbuf2k = fixbuf<2048>;

// Varint writers write byte by byte and stop at the capacity; put_lenbytes
// copies its bytes only when all of them fit; put_fixed32/64 (1024-byte
// buffer only) write only when all 4 or 8 bytes fit.  All return true.
bool put_varint32(fixbuf1k& b, uint32_t v) noexcept;
bool put_varint64(fixbuf1k& b, uint64_t v) noexcept;
bool put_lenbytes(fixbuf1k& b, const void* p, uint32_t n) noexcept;
bool put_fixed32(fixbuf1k& b, uint32_t v) noexcept;
bool put_fixed64(fixbuf1k& b, uint64_t v) noexcept;
bool put_varint32(fixbuf2k& b, uint32_t v) noexcept;
bool put_varint64(fixbuf2k& b, uint64_t v) noexcept;
bool put_lenbytes(fixbuf2k& b, const void* p, uint32_t n) noexcept;

// ---- the class family --------------------------------------------------------

class base_protobuf {
  public:
    base_protobuf() noexcept = default;
    base_protobuf(const base_protobuf&) noexcept = default;
    base_protobuf& operator=(const base_protobuf&) noexcept = default;
    virtual ~base_protobuf() = default;

    // A message made with new (a body on its way through a ring) takes its
    // memory from zo_alloc, like its texts and arrays.
    static void* operator new(size_t n) {
        void* p = zo_alloc(n);
        if (!p) throw std::bad_alloc();
        return p;
    }
    static void* operator new(size_t n, const std::nothrow_t&) noexcept { return zo_alloc(n); }
    static void operator delete(void* p) noexcept { zo_free(p); }

    const char* errmsg() const noexcept { return pberrtext(errcode); }

    // The last error of an encode or decode on this object (pberror).
    uint32_t errcode = 0;
};

class msg_protoc3 : public base_protobuf {
  public:
    // Every field to its default.
    virtual void clear() = 0;
    // Exact number of bytes serialize() appends.
    virtual uint32_t size() const = 0;
    // One field of wire type 2, 0, 5, 1 arrived.  Return false to stop the
    // decode (having set errcode where the reason is known).
    virtual bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) = 0;
    virtual bool on_varint(uint32_t field, uint64_t v) = 0;
    virtual bool on_fixed32(uint32_t field, const uint8_t* p) = 0;
    virtual bool on_fixed64(uint32_t field, const uint8_t* p) = 0;

    // Decodes a whole encoded message: errcode = 0, clear(), then field by
    // field.  Null or 0 bytes give the empty message.  On false errcode says
    // why and the object holds the fields read before the failure.
    bool parse(const void* data, uint32_t n);
};

// Reads a varint of at most maxbytes bytes at p (< end).  Returns the
// position after it, or null on truncation or an over-long varint.
inline const uint8_t* pbgetvarint(const uint8_t* p, const uint8_t* end, uint64_t* v,
                                  int maxbytes) noexcept {
    uint64_t r = 0;
    for (int i = 0; i < maxbytes; ++i) {
        if (p == end) return nullptr;
        uint8_t b = *p++;
        r |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            *v = r;
            return p;
        }
    }
    return nullptr;
}

// The decode loop over a message type M; with a final M the handler calls are
// direct.  msg_protoc3::parse is pbdecode<msg_protoc3>.
template <class M>
inline bool pbdecode(M& m, const void* data, uint32_t n) {
    m.errcode = PBERR_NONE;
    m.clear();
    if (!data || n == 0) return true;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint8_t* end = p + n;
    while (p < end) {
        uint64_t key;
        if (*p < 0x80) {
            key = *p++;
        } else if (!(p = pbgetvarint(p, end, &key, varint32max))) {
            m.errcode = PBERR_DECODE;
            return false;
        }
        uint32_t field = static_cast<uint32_t>(key) >> 3;
        bool ok;
        switch (key & 7) {
            case 0: {
                uint64_t v;
                if (p < end && *p < 0x80) {
                    v = *p++;
                } else if (!(p = pbgetvarint(p, end, &v, varint64max))) {
                    m.errcode = PBERR_DECODE;
                    return false;
                }
                ok = m.on_varint(field, v);
                break;
            }
            case 1:
                if (end - p < 8) {
                    m.errcode = PBERR_DECODE;
                    return false;
                }
                ok = m.on_fixed64(field, p);
                p += 8;
                break;
            case 2: {
                uint64_t len;
                if (!(p = pbgetvarint(p, end, &len, varint32max)) ||
                    (len & 0xFFFFFFFFu) > static_cast<uint64_t>(end - p)) {
                    m.errcode = PBERR_DECODE;
                    return false;
                }
                uint32_t l = static_cast<uint32_t>(len);
                ok = m.on_bytes(field, p, l);
                p += l;
                break;
            }
            case 5:
                if (end - p < 4) {
                    m.errcode = PBERR_DECODE;
                    return false;
                }
                ok = m.on_fixed32(field, p);
                p += 4;
                break;
            default:  // groups and undefined wire types
                m.errcode = PBERR_DECODE;
                return false;
        }
        if (!ok) return false;
    }
    return true;
}

inline bool msg_protoc3::parse(const void* data, uint32_t n) {
    return pbdecode(*this, data, n);
}

template <class S>
class cls_protoc3 : public msg_protoc3 {
  public:
    using string_type = S;

    // Appends the message's fields in the class's fixed order.  False (with
    // errcode set, the output keeping what was appended) only when a text
    // field fails the UTF-8 check.
    virtual bool serialize(S& out) = 0;

    bool on_bytes(uint32_t, const uint8_t*, uint32_t) override { return true; }
    bool on_varint(uint32_t, uint64_t) override { return true; }
    bool on_fixed32(uint32_t, const uint8_t*) override { return true; }
    bool on_fixed64(uint32_t, const uint8_t*) override { return true; }

  protected:
    // A text field's payload into target: empty empties it without a check;
    // otherwise UTF-8 checked (errcode 3 and false on failure).
    bool get_text(const uint8_t* p, uint32_t n, S& target) {
        if (n == 0) {
            target.clear();
            return true;
        }
        if (!utf8_fast(p, n)) {
            errcode = PBERR_UTF8;
            return false;
        }
        target.assign(p, n);
        return true;
    }
    static void get_bytes(const uint8_t* p, uint32_t n, S& target) { target.assign(p, n); }

    // Raw encoders used by serialize once size() bytes are reserved.  Each
    // writes exactly what the matching size function counts.
    static void w32(uint8_t*& p, uint32_t key, uint32_t v) noexcept {
        if (v) p = pbraw::varint32(pbraw::varint32(p, key), v);
    }
    static void w64(uint8_t*& p, uint32_t key, uint64_t v) noexcept {
        if (v) p = pbraw::varint64(pbraw::varint32(p, key), v);
    }
    bool wtext(uint8_t*& p, uint32_t key, const S& t) noexcept {
        if (!text_present(t)) return true;
        if (!utf8_fast(t.data(), t.size())) {
            errcode = PBERR_UTF8;
            return false;
        }
        p = pbraw::lenbytes(pbraw::varint32(p, key), t.data(), t.size());
        return true;
    }

    // Runs write(p) over n = size() bytes reserved at the end of out.  The
    // string gets the length that was actually written, so a failed text
    // leaves what came before it.  When out cannot grow nothing is appended
    // and the result is true: the caller's length check catches it.
    template <class W>
    bool serializewith(S& out, uint32_t n, W&& write) {
        errcode = PBERR_NONE;
        if (n == 0) return true;
        uint32_t len = out.size();
        if (static_cast<uint64_t>(len) + n > 0xFFFFFF00u || !out.reserve(len + n)) return true;
        out.resize(len + n);
        uint8_t* start = reinterpret_cast<uint8_t*>(out.data()) + len;
        uint8_t* p = start;
        bool ok = write(p);
        out.truncate(len + static_cast<uint32_t>(p - start));
        return ok;
    }
};

// ---- messages whose fields are a plain list -----------------------------------

// One field of such a list, naming the member that holds it: an unsigned or
// signed integer of 32 or 64 bits (wire type 0, written from its unsigned
// pattern), a text, or a repeated text (an array of texts, such as
// zo::array_<S>, each element one occurrence of the field; empty elements are
// left out).  The members are const in the lists size() walks.
template <class T>
struct intfield {
    uint32_t field;
    T& v;
};
template <class S>
struct textfield {
    uint32_t field;
    S& v;
};
template <class A>
struct textsfield {
    uint32_t field;
    A& v;
};
template <class T>
intfield<T> asint(uint32_t field, T& v) noexcept {
    static_assert(std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
    return {field, v};
}
template <class S>
textfield<S> astext(uint32_t field, S& v) noexcept {
    return {field, v};
}
template <class A>
textsfield<A> astexts(uint32_t field, A& v) noexcept {
    return {field, v};
}

// A message whose fields are only integers and texts.  M names them once, in
// the order serialize writes them (the IO server's order, which is not
// field-number order):
//     template <class Self, class F>
//     static auto fields(Self& m, F&& f) {
//         return f(zo::astext(236, m.f236), zo::asint(230, m.f230), ...);
//     }
// and size, serialize, writeto and the decode handlers follow from that
// list, so the four cannot disagree.  A repeated text whose element cannot be
// had fails the decode with "decode failed".  M still writes its own clear().
// writeto is the raw write after room for size() bytes is known to exist;
// it stops at the first text that fails the UTF-8 check.
template <class M, class S>
class cls_fieldlist : public cls_protoc3<S> {
  public:
    uint32_t size() const override {
        return M::fields(self(), [](auto... f) { return (0u + ... + fieldsize(f)); });
    }

    bool writeto(uint8_t*& p) {
        return M::fields(self(), [this, &p](auto... f) { return (write(p, f) && ...); });
    }

    bool serialize(S& out) override {
        return this->serializewith(out, size(), [this](uint8_t*& p) { return writeto(p); });
    }

    bool on_varint(uint32_t field, uint64_t v) final {
        M::fields(self(), [field, v](auto... f) { (setint(f, field, v), ...); });
        return true;
    }
    bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) final {
        return M::fields(self(), [this, field, p, n](auto... f) {
            bool ok = true;
            (void)(taketext(f, field, p, n, &ok) || ...);
            return ok;
        });
    }

  private:
    M& self() noexcept { return static_cast<M&>(*this); }
    const M& self() const noexcept { return static_cast<const M&>(*this); }

    template <class T>
    static uint32_t fieldsize(intfield<T> f) noexcept {
        if constexpr (sizeof(T) == 8) {
            return field_size64(f.field, static_cast<uint64_t>(f.v));
        } else {
            return field_size32(f.field, static_cast<uint32_t>(f.v));
        }
    }
    template <class X>
    static uint32_t fieldsize(textfield<X> f) noexcept {
        return text_size(f.field * 8 + 2, f.v);
    }
    template <class A>
    static uint32_t fieldsize(textsfield<A> f) noexcept {
        uint32_t n = 0;
        for (const auto& t : f.v) n += text_size(f.field * 8 + 2, t);
        return n;
    }

    template <class T>
    bool write(uint8_t*& p, intfield<T> f) noexcept {
        if constexpr (sizeof(T) == 8) {
            this->w64(p, f.field * 8, static_cast<uint64_t>(f.v));
        } else {
            this->w32(p, f.field * 8, static_cast<uint32_t>(f.v));
        }
        return true;
    }
    template <class X>
    bool write(uint8_t*& p, textfield<X> f) noexcept {
        return this->wtext(p, f.field * 8 + 2, f.v);
    }
    template <class A>
    bool write(uint8_t*& p, textsfield<A> f) noexcept {
        for (const auto& t : f.v)
            if (!this->wtext(p, f.field * 8 + 2, t)) return false;
        return true;
    }

    template <class T>
    static void setint(intfield<T> f, uint32_t field, uint64_t v) noexcept {
        if (f.field == field) f.v = static_cast<T>(v);
    }
    template <class X>
    static void setint(textfield<X>, uint32_t, uint64_t) noexcept {}
    template <class A>
    static void setint(textsfield<A>, uint32_t, uint64_t) noexcept {}

    // True when f is the field that arrived; *ok then tells whether it took.
    template <class T>
    static bool taketext(intfield<T>, uint32_t, const uint8_t*, uint32_t, bool*) noexcept {
        return false;
    }
    template <class X>
    bool taketext(textfield<X> f, uint32_t field, const uint8_t* p, uint32_t n, bool* ok) {
        if (f.field != field) return false;
        *ok = this->get_text(p, n, f.v);
        return true;
    }
    template <class A>
    bool taketext(textsfield<A> f, uint32_t field, const uint8_t* p, uint32_t n, bool* ok) {
        if (f.field != field) return false;
        S* e = f.v.emplace();
        if (!e) {
            this->errcode = PBERR_DECODE;
            *ok = false;
        } else if (!(*ok = this->get_text(p, n, *e))) {
            f.v.pop_back();
        }
        return true;
    }
};

}  // namespace zo
