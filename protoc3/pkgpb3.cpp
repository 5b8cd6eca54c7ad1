// pkgpb3.cpp - the splitter's buffer policy and the LZ4 steps.
#include "protoc3/pkgpb3.h"

#include <cstdio>
#include <cstring>

namespace zo {

void pkgsplit::reset() noexcept {
    zo::zo_free(buffer);
    buffer = nullptr;
    rpos = wpos = capacity = 0;
}

void pkgsplit::feed(const void* data, uint32_t n) noexcept {
    if (!data || n == 0) return;
    uint32_t keep = wpos - rpos;
    if (buffer && static_cast<uint64_t>(wpos) + n <= capacity) {
        std::memcpy(buffer + wpos, data, n);
        wpos += n;
        return;
    }
    uint64_t need = static_cast<uint64_t>(keep) + n;
    uint64_t want = need + need / 2;
    if (want < 8000) want = 8000;
    // The 32-bit counts cannot describe more; such bytes are discarded like
    // bytes for which no memory could be had.
    if (want > 0xFFFFFFF0u) {
        if (need > 0xFFFFFFF0u) return;
        want = need;
    }
    auto* nb = static_cast<uint8_t*>(zo::zo_alloc(static_cast<size_t>(want)));
    if (!nb) return;
    if (keep) std::memcpy(nb, buffer + rpos, keep);
    std::memcpy(nb + keep, data, n);
    zo::zo_free(buffer);
    buffer = nb;
    capacity = static_cast<uint32_t>(want);
    rpos = 0;
    wpos = keep + n;
}

int pkgsplit::peek(uint32_t* total) noexcept {
    if (wpos - rpos < 8) return 0;
    const uint8_t* p = buffer + rpos;
    if (p[0] != pkgpb3::magic0 || p[1] != pkgpb3::magic1) {
        lasterr = "bad magic";
        return -1;
    }
    if (p[2] != protocol) {
        lasterr = "bad protocol byte";
        return -1;
    }
    uint32_t t = zo::pbraw::loadle32(p + 4);
    if (t < 8u + p[3]) {
        lasterr = "total below the head's end";
        return -1;
    }
    if (t > pkgpb3::maxpkgtotal) {
        lasterr = "total above the package bound";
        return -1;
    }
    uint32_t avail = wpos - rpos;
    if (avail >= 8u + p[3] && !vouched(p, t, avail)) return -1;
    if (t > avail) return 0;
    *total = t;
    return 1;
}

bool pkgsplit::vouched(const uint8_t* p, uint32_t total, uint32_t avail) noexcept {
    // Once the head is here, the declared total must agree with it: a total
    // with one bit flipped would otherwise have us wait for megabytes that
    // are really the packages behind, and swallow them.
    pb3head head;
    uint32_t hl = p[3];
    uint32_t body = total - 8 - hl;
    bool decoded = head.parse(p + 8, hl);
    if (decoded && head.encode == 0 && head.srcsize != 0 && body != head.srcsize) {
        std::snprintf(why, sizeof why, "total %u does not fit its raw body of %u bytes", total,
                      head.srcsize);
        lasterr = why;
        return false;
    }
    if (decoded && head.encode == 1 && head.srcsize != 0 &&
        (body == 0 || head.srcsize > zo::lz4block::maxinput ||
         body > zo::lz4block::bound(head.srcsize))) {
        std::snprintf(why, sizeof why,
                      "total %u does not fit its LZ4 body of %u bytes before compression", total,
                      head.srcsize);
        lasterr = why;
        return false;
    }
    // A head that cannot say how long its body is (it does not decode, or
    // it is one parsehead refuses) is not waited for: if its package is
    // here whole, parsehead reports it.
    bool says = decoded && (head.encode == 0 || (head.encode == 1 && head.srcsize != 0));
    if (!says && total > avail) {
        lasterr =
            decoded ? "a head that does not give the body's size" : "a head that does not decode";
        return false;
    }
    return true;
}

void pkgsplit::consume(uint32_t total) noexcept {
    rpos += total;
    if (rpos >= wpos) {
        rpos = wpos = 0;
        if (capacity >= 32769) reset();
    }
}

namespace pkgpb3 {

bool bodybytes(const void* pkg, uint32_t len, uint32_t encode, uint32_t srcsize,
               bodyview* v) noexcept {
    const uint8_t* p = static_cast<const uint8_t*>(pkg);
    if (!p || len < 8 || len < 8u + p[3]) return false;
    const uint8_t* body = p + 8 + p[3];
    uint32_t blen = len - 8 - p[3];
    if (encode == 0) {
        v->p = body;
        v->n = blen;
        v->owned = nullptr;
        return true;
    }
    if (encode != 1 || srcsize == 0 || srcsize > maxsrcsize) return false;
    size_t want = (srcsize & ~7u) + 8;
    void* buf = zo::zo_alloc(want);
    if (!buf) return false;
    size_t cap = zo::zo_usable(buf);
    if (cap > 0x7FFFFFFFu) cap = want;
    int r = zo::lz4block::decompress(body, blen, buf, static_cast<uint32_t>(cap));
    if (r < 1) {
        zo::zo_free(buf);
        return false;
    }
    v->p = static_cast<const uint8_t*>(buf);
    v->n = static_cast<uint32_t>(r);
    v->owned = buf;
    return true;
}

}  // namespace pkgpb3

}  // namespace zo
