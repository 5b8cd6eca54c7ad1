// pbwire.cpp - error texts, the UTF-8 check and the fixbuf writers.
#include "protoc3/pbwire.h"

#include <cstring>

#include "base/charset.h"

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

// The process has one UTF-8 rule; protocol texts follow it too.
bool utf8_check(const void* ptr, uint32_t n) noexcept {
    return isutf8(static_cast<const char*>(ptr), n);
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
