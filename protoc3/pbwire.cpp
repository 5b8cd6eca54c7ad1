// pbwire.cpp - error texts, the UTF-8 check and the fixbuf writers.
#include "protoc3/pbwire.h"

#include <cstring>

namespace zo {

const char* pberrtext(uint32_t code) noexcept {
    switch (code) {
        case PBERR_NONE:
            return "";
        case PBERR_ENCODE:
            return "encode failed";
        case PBERR_DECODE:
            return "decode failed";
        case PBERR_UTF8:
            return "string is not utf8 encode";
        case PBERR_MEMORY:
            return "memory error";
        default:
            return "unknown";
    }
}

bool utf8_check(const void* ptr, uint32_t n) noexcept {
    if (!ptr) return true;
    const uint8_t* p = static_cast<const uint8_t*>(ptr);
    size_t len = n ? n : std::strlen(static_cast<const char*>(ptr));
    const uint8_t* end = p + len;
    // Names are mostly ASCII: one pass that only ORs words together settles
    // those; anything else takes the byte-wise walk below.
    {
        uint64_t acc = 0;
        const uint8_t* q = p;
        for (; end - q >= 8; q += 8) {
            uint64_t w;
            std::memcpy(&w, q, 8);
            acc |= w;
        }
        for (; q < end; ++q) acc |= *q;
        if ((acc & 0x8080808080808080ull) == 0) return true;
    }
    int pending = 0;
    while (p < end) {
        // Names are mostly ASCII: skip 8 plain bytes at a time.
        if (pending == 0 && end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        uint8_t c = *p++;
        if (pending) {
            if ((c & 0xC0) != 0x80) return false;
            --pending;
        } else if (c < 0x80) {
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            pending = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            pending = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            pending = 3;
        } else {
            return false;  // 0x80..0xBF alone, 0xC0, 0xC1, above 0xF4
        }
    }
    return pending == 0;
}

namespace {

template <uint32_t N>
void fixvarint(fixbuf<N>& b, uint64_t v) noexcept {
    do {
        if (b.used >= N) return;
        uint8_t byte = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
        if (v) byte |= 0x80;
        b.data[b.used++] = byte;
    } while (v);
}

template <uint32_t N>
void fixlenbytes(fixbuf<N>& b, const void* p, uint32_t n) noexcept {
    fixvarint(b, n);
    if (p && n && static_cast<uint64_t>(b.used) + n <= N) {
        std::memcpy(b.data + b.used, p, n);
        b.used += n;
    }
}

}  // namespace

bool put_varint32(fixbuf1k& b, uint32_t v) noexcept {
    return fixvarint(b, v), true;
}
bool put_varint64(fixbuf1k& b, uint64_t v) noexcept {
    return fixvarint(b, v), true;
}
bool put_lenbytes(fixbuf1k& b, const void* p, uint32_t n) noexcept {
    return fixlenbytes(b, p, n), true;
}
bool put_fixed32(fixbuf1k& b, uint32_t v) noexcept {
    if (b.used + 4 <= fixbuf1k::capacity) {
        pbraw::fixed32(b.data + b.used, v);
        b.used += 4;
    }
    return true;
}
bool put_fixed64(fixbuf1k& b, uint64_t v) noexcept {
    if (b.used + 8 <= fixbuf1k::capacity) {
        pbraw::fixed64(b.data + b.used, v);
        b.used += 8;
    }
    return true;
}
bool put_varint32(fixbuf2k& b, uint32_t v) noexcept {
    return fixvarint(b, v), true;
}
bool put_varint64(fixbuf2k& b, uint64_t v) noexcept {
    return fixvarint(b, v), true;
}
bool put_lenbytes(fixbuf2k& b, const void* p, uint32_t n) noexcept {
    return fixlenbytes(b, p, n), true;
}

}  // namespace zo
