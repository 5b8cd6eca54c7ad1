#include "dblink/gapwire.h"

#include <zlib.h>

#include <cstring>

#include "base/md5.h"

namespace zo {

namespace gapwire {

namespace {

// The longest user name a block keeps: one byte stays for the zero.
constexpr size_t maxuser = authblock - 1;

}  // namespace

void userblock(std::string_view user, uint8_t out[authblock]) {
    for (uint32_t i = 0; i < authblock; ++i) out[i] = static_cast<uint8_t>(0x47 + i);
    size_t n = user.size() < maxuser ? user.size() : maxuser;
    std::memcpy(out, user.data(), n);
    out[n] = 0;
}

void hashblock(std::string_view pswd, uint8_t out[authblock]) {
    for (uint32_t i = 0; i < authblock; ++i) out[i] = static_cast<uint8_t>(0x33 + i);
    char hex[33];
    zo::md5hex(pswd.data(), pswd.size(), hex, true);
    std::memcpy(out, hex, sizeof hex);  // the 32 digits and their zero byte
}

void xorblock(const uint8_t in[authblock], uint32_t key, uint8_t out[authblock]) {
    for (uint32_t i = 0; i < authblock; i += 4) {
        out[i] = in[i] ^ static_cast<uint8_t>(key);
        out[i + 1] = in[i + 1] ^ static_cast<uint8_t>(key >> 8);
        out[i + 2] = in[i + 2] ^ static_cast<uint8_t>(key >> 16);
        out[i + 3] = in[i + 3] ^ static_cast<uint8_t>(key >> 24);
    }
}

uint32_t crc32of(const void* p, size_t n) {
    // zlib takes at most a uInt per call; our datagrams are far smaller.
    uLong c = crc32(0L, Z_NULL, 0);
    const auto* b = static_cast<const Bytef*>(p);
    while (n > 0) {
        uInt step = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
        c = crc32(c, b, step);
        b += step;
        n -= step;
    }
    return static_cast<uint32_t>(c);
}

}  // namespace gapwire

}  // namespace zo
