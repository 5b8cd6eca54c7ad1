// pkgpb3.h - package framing on the link to the IO server.
//
// A package is an 8-byte prefix, the encoded header pb3msg_head, then the
// encoded body, raw up to 512 bytes and one LZ4 block (block format, no
// frame) above:
//   0  0xF3            magic
//   1  0x79            magic ('y')
//   2  0x97            protocol byte of protocol-3 packages
//   3  hdrlen          length of the encoded head, 0..255
//   4  total           whole package length incl. the prefix, u32 LE
//   8  head           hdrlen bytes
//   8+hdrlen  body     total - 8 - hdrlen bytes
//
// Sending: seqcounter::next() for the seqno, then pkgpb3::makepkg.
// Receiving: pkgpb3::splitpkg with each chunk of received bytes, and while it
// returns 1: parsehead, parsebody into the body class the funid calls for,
// then splitpkg again without new bytes.
//
// Limits of our own: the IO server's framing bounds total only by its 32-bit
// width; we refuse a declared total above maxpkgtotal (64 MiB) as a stream out
// of step, and a compressed body whose declared srcsize is above maxsrcsize
// fails to open, so that a hostile or broken peer cannot make us allocate
// without bound.
//
// The declared total is also checked against the head as soon as the head
// has arrived, before any wait for the body: a raw body must be srcsize
// bytes long when srcsize is set, an LZ4 body at most LZ4_COMPRESSBOUND
// (srcsize) bytes and not empty.  A total that disagrees is a stream out of
// step at once, and so is a package still incomplete whose head does not
// decode or does not give its body's size (LZ4 without srcsize, an unknown
// encode); such a head in a package that is here whole goes on to parsehead.
//
// Thread-safety: everything here runs on the thread of the IO client's poll
// loop; a pkgsplit belongs to one connection and is not shared.
#pragma once
#include <cassert>
#include <cstdint>

#include "base/alloc.h"
#include "base/lz4block.h"
#include "base/string_.h"
#include "protoc3/funid.h"
#include "protoc3/pbwire.h"

namespace zo {

// ---- the header message -------------------------------------------------------

template <class S>
class pb3msg_head final : public zo::cls_fieldlist<pb3msg_head<S>, S> {
  public:
    uint32_t ver = 0;      // 100: 300 in every package, both ways
    uint32_t funid = 0;    // 101
    uint32_t seqno = 0;    // 102
    S f103;                // 103: not set by us, ignored when received
    S f104;                // 104: in the login reply a text the session keeps
    S f107;                // 107: not set by us, ignored when received
    uint32_t encode = 0;   // 105: 0 raw body, 1 one LZ4 block
    uint32_t srcsize = 0;  // 106: body length before compression
    uint32_t subno = 0;    // 108

    template <class Self, class F>
    static auto fields(Self& m, F&& f) {
        using zo::asint, zo::astext;
        return f(asint(100, m.ver), asint(101, m.funid), asint(102, m.seqno), asint(108, m.subno),
                 astext(103, m.f103), astext(104, m.f104), astext(107, m.f107),
                 asint(105, m.encode), asint(106, m.srcsize));
    }

    void clear() override {
        ver = funid = seqno = encode = srcsize = subno = 0;
        f103.clear();
        f104.clear();
        f107.clear();
    }

    bool parse(const void* data, uint32_t n) { return zo::pbdecode(*this, data, n); }
};

using pb3head = pb3msg_head<zo::string>;

// ---- sequence numbers ---------------------------------------------------------

// One per process; every package we originate takes next(): 1, 2, ...,
// 0x7FFFFFFE, then 1 again.  Not thread-safe: the poll-loop thread owns it.
class seqcounter {
  public:
    uint32_t next() noexcept {
        if (++v_ >= 0x7FFFFFFFu) v_ = 1;
        return v_;
    }
    uint32_t last() const noexcept { return v_; }
    void set(uint32_t v) noexcept { v_ = v; }  // tests start near the wrap

  private:
    uint32_t v_ = 0;
};

// ---- the splitter -------------------------------------------------------------

// Received bytes not yet cut into packages, for one connection.  The buffer
// comes from zo_alloc; it grows only when new bytes would not fit (to
// max(1.5 x what must be kept, 8000) bytes, compacting), and a buffer of
// 32769 bytes or more is given back once it has been drained.
struct pkgsplit {
    uint8_t protocol = 0x97;    // the protocol byte packages must carry
    uint32_t rpos = 0;          // first unconsumed byte
    uint32_t wpos = 0;          // just past the last received byte
    uint32_t capacity = 0;      // size of buffer
    uint8_t* buffer = nullptr;  // may be null
    // Why the last call returned -1, for the caller's log line.
    const char* lasterr = "";
    char why[96] = {};  // lasterr's text when it carries numbers

    pkgsplit() = default;
    pkgsplit(const pkgsplit&) = delete;
    pkgsplit& operator=(const pkgsplit&) = delete;
    ~pkgsplit() { reset(); }

    // Releases the buffer and zeroes the counts; done at every new connection.
    void reset() noexcept;

    // Appends n bytes (discards them when memory cannot be had).
    void feed(const void* data, uint32_t n) noexcept;
    // 1 with *total set when a whole package starts at rpos, 0 when more
    // bytes are needed, -1 when the stream is out of step (nothing consumed).
    int peek(uint32_t* total) noexcept;
    // Consumes total bytes at rpos (after peek returned 1).
    void consume(uint32_t total) noexcept;

    // The invariant every call keeps: rpos <= wpos <= capacity, and a buffer
    // behind any capacity.
    bool wellformed() const noexcept {
        return rpos <= wpos && wpos <= capacity && (buffer || capacity == 0);
    }

  private:
    // Whether the head at p (arrived, avail bytes unconsumed) agrees with
    // the declared total; lasterr says why not.
    bool vouched(const uint8_t* p, uint32_t total, uint32_t avail) noexcept;
};

namespace pkgpb3 {

constexpr uint8_t magic0 = 0xF3;
constexpr uint8_t magic1 = 0x79;
constexpr uint8_t protocol3 = 0x97;
constexpr uint32_t rawlimit = 512;  // bodies up to this many bytes go raw
constexpr uint32_t maxpkgtotal = 64u << 20;
constexpr uint32_t maxsrcsize = 64u << 20;

// Builds a whole package into out.  head has ver, funid and seqno set by the
// caller; makepkg sets its encode and srcsize.  false (out undefined, nothing
// to send) when the head is above 255 bytes, a serialize fails (body.errmsg()
// says why), a length differs from size(), or compression fails.
template <class S>
bool makepkg(pb3msg_head<S>& head, zo::cls_protoc3<S>& body, S& out) {
    uint32_t n = body.size();
    head.srcsize = n;
    head.encode = n > rawlimit ? 1 : 0;
    uint32_t h = head.size();
    if (h > 255) return false;
    out.clear();
    if (!out.append(8u, '\0')) return false;
    head.errcode = 0;
    if (!head.serialize(out) || out.size() != h + 8) return false;
    if (head.encode == 0) {
        if (!out.reserve(h + 8 + n)) return false;
        body.errcode = 0;
        if (!body.serialize(out) || out.size() != h + 8 + n) return false;
    } else {
        S tmp;
        if (!tmp.reserve(n)) return false;
        body.errcode = 0;
        if (!body.serialize(tmp) || tmp.size() != n) return false;
        uint32_t bound = zo::lz4block::bound(n);
        if (static_cast<uint64_t>(h) + 8 + bound > 0xFFFFFF00u || !out.resize(h + 8 + bound))
            return false;
        int c = zo::lz4block::compress(tmp.data(), n, out.data() + h + 8, bound);
        if (c <= 0) return false;
        out.truncate(h + 8 + static_cast<uint32_t>(c));
    }
    uint32_t total = out.size();
    uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
    p[0] = magic0;
    p[1] = magic1;
    p[2] = protocol3;
    p[3] = static_cast<uint8_t>(h);
    zo::pbraw::fixed32(p + 4, total);
    return true;
}

// Appends data (if any) to the splitter and cuts out one package into out
// (prefix included).  1: out holds one package; 0: more bytes needed; -1: the
// stream is out of step (wrong magic or protocol byte, total below
// hdrlen + 8, total above maxpkgtotal, a total the head does not vouch for;
// state.lasterr says which) and nothing is consumed.  Call with null/0 to take the next buffered
// package.
template <class S>
int splitpkg(pkgsplit& state, const void* data, uint32_t length, S& out) {
    if (data && length) state.feed(data, length);
    assert(state.wellformed());
    uint32_t total = 0;
    int r = state.peek(&total);
    if (r != 1) return r;
    assert(total <= state.wpos - state.rpos);
    if (!out.assign(state.buffer + state.rpos, total)) {
        state.lasterr = "no memory for a package";
        return -1;
    }
    state.consume(total);
    assert(state.wellformed());
    return 1;
}

// Decodes and checks the head of one package.  false with head.errcode != 0
// when the head cannot be decoded (or the package is shorter than its
// prefix says); false with head.errcode == 0 when it decoded but is not
// acceptable: ver must be 300, encode 0, or 1 with srcsize not 0.
template <class S>
bool parsehead(const void* pkg, uint32_t len, pb3msg_head<S>& head) {
    const uint8_t* p = static_cast<const uint8_t*>(pkg);
    if (!p || len < 8 || len < 8u + p[3]) {
        head.clear();
        head.errcode = zo::PBERR_DECODE;
        return false;
    }
    if (!head.parse(p + 8, p[3])) return false;
    if (head.ver != protover) return false;
    return head.encode == 0 || (head.encode == 1 && head.srcsize != 0);
}
template <class S>
bool parsehead(const S& pkg, pb3msg_head<S>& head) {
    return parsehead(pkg.data(), pkg.size(), head);
}

// Opens the body of a package whose head passed parsehead and decodes it.
// A raw body is decoded in place; an LZ4 body is decompressed into a buffer
// of (srcsize rounded down to 8) + 8 bytes and decoded from the true
// decompressed length (which is not compared with srcsize).  false: body's
// errcode says why; a failed decompression or an srcsize above maxsrcsize
// counts as "decode failed".  An array whose element failed keeps errcode 0.
struct bodyview {
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    void* owned = nullptr;  // the decompression buffer, released by the caller
};
// The body bytes of a package: in place when raw, decompressed when LZ4.
// false when the package is shorter than its prefix, encode is neither 0 nor
// 1, srcsize is above maxsrcsize, or decompression fails.
bool bodybytes(const void* pkg, uint32_t len, uint32_t encode, uint32_t srcsize,
               bodyview* v) noexcept;

template <class S, class B>
bool parsebody(const void* pkg, uint32_t len, const pb3msg_head<S>& head, B& body) {
    bodyview v;
    if (!bodybytes(pkg, len, head.encode, head.srcsize, &v)) {
        body.clear();
        body.errcode = zo::PBERR_DECODE;
        return false;
    }
    bool ok = body.parse(v.p, v.n);
    zo::zo_free(v.owned);
    return ok;
}
template <class S, class B>
bool parsebody(const S& pkg, const pb3msg_head<S>& head, B& body) {
    return parsebody(pkg.data(), pkg.size(), head, body);
}

}  // namespace pkgpb3

}  // namespace zo
