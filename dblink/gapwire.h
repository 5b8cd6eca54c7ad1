// gapwire.h - the names and helpers of the gapudp datagram that the sender
// (dblink/oxalink_gapudp.h, which draws the datagram) and the receiver
// (tools/gaprx) share: sizes, field numbers, the key constant, the two
// 48-byte authentication blocks, zigzag, big-endian words and CRC-32.
//
// The key is authcount * keyconst modulo 2^32.  keyconst is odd, so it has an
// inverse modulo 2^32 (keyinverse) and a receiver gets authcount back as
// key * keyinverse.  The key hides nothing from someone who reads this file:
// it tells a receiver which datagrams it has already taken, and the blocks
// tell it that the sender was configured with the user and password it
// expects.  It is not encryption.
//
// Thread-safety: constants and pure functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zo {

namespace gapwire {

// ---- the 24-byte header -------------------------------------------------------

constexpr uint32_t headsize = 24;
constexpr uint8_t magic[4] = {0xA9, 0x02, 0x01, 0x01};
// Byte offsets of the big-endian header words.
constexpr uint32_t at_dgramseq = 4;
constexpr uint32_t at_bodylen = 8;
constexpr uint32_t at_rawlen = 12;
constexpr uint32_t at_bodycrc = 16;
constexpr uint32_t at_headcrc = 20;  // CRC-32 of bytes 0..19
// The largest UDP payload over IPv4.
constexpr uint32_t maxdatagram = 65507;
// A message of a full chunk of the largest records stays below this many
// bytes before compression (256 x 123, 16 x 1122 or 32 x 540, plus head and
// auth); a receiver refuses a header that declares more.
constexpr uint32_t maxraw = 65536;

// ---- the message ------------------------------------------------------------------

// Top-level fields, in the order they are written: head, auth, then the
// records of one kind.
constexpr uint32_t f_head = 6;
constexpr uint32_t f_auth = 5;
constexpr uint32_t f_vals = 1;
constexpr uint32_t f_objs = 2;
constexpr uint32_t f_soes = 4;
// Inside head: field 1 is always headmark, field 2 the function number.
constexpr uint32_t headmark = 53682;
constexpr uint32_t funid_vals = 33;
constexpr uint32_t funid_objs = 34;
constexpr uint32_t funid_soes = 35;
// Records per message, and the merge limit of the value batch.
constexpr uint32_t valchunk = 256;
constexpr uint32_t objchunk = 16;
constexpr uint32_t soechunk = 32;
constexpr uint32_t mergelimit = 320;
// Bytes of the embedded buffer each record is assembled in.
constexpr uint32_t valbuf = 1024;
constexpr uint32_t objbuf = 2048;
constexpr uint32_t soebuf = 1024;
// The longest bytes field of an object message and of an SOE message.
constexpr uint32_t maxobjdata = 1000;
constexpr uint32_t maxsoebytes = 239;

// ---- the key and the authentication blocks ------------------------------------------

constexpr uint32_t authblock = 48;
constexpr uint32_t keyconst = 0x9E3779B1u;  // odd: invertible modulo 2^32

// The inverse of an odd number modulo 2^32 (Newton's iteration: each step
// doubles the number of correct low bits; 5 steps from 3 bits give 96).
constexpr uint32_t inverse32(uint32_t a) {
    uint32_t x = a;  // correct to 3 bits for any odd a
    for (int i = 0; i < 5; ++i) x *= 2u - a * x;
    return x;
}
constexpr uint32_t keyinverse = inverse32(keyconst);
static_assert((keyconst & 1u) == 1u, "the key constant must be odd");
static_assert(keyconst * keyinverse == 1u, "keyinverse inverts keyconst modulo 2^32");

inline uint32_t keyof(uint32_t authcount) {
    return authcount * keyconst;
}
inline uint32_t authcountof(uint32_t key) {
    return key * keyinverse;
}

// Byte i = 0x47 + i, then the user name (at most 47 bytes) and a zero byte.
void userblock(std::string_view user, uint8_t out[authblock]);
// Byte i = 0x33 + i, then the 32 upper-case hex digits of the MD5 digest of
// the whole password and a zero byte.
void hashblock(std::string_view pswd, uint8_t out[authblock]);
// out = in with every little-endian 32-bit word XORed with key (the same
// call undoes it).  in and out may be the same.
void xorblock(const uint8_t in[authblock], uint32_t key, uint8_t out[authblock]);

// ---- integers -------------------------------------------------------------------------

inline uint32_t zigzag32(int32_t n) {
    return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31);
}
inline uint64_t zigzag64(int64_t n) {
    return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}
inline int32_t unzigzag32(uint32_t v) {
    return static_cast<int32_t>((v >> 1) ^ (0u - (v & 1u)));
}
inline int64_t unzigzag64(uint64_t v) {
    return static_cast<int64_t>((v >> 1) ^ (0ull - (v & 1ull)));
}

inline void storebe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint32_t loadbe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320, initial value
// and final XOR 0xFFFFFFFF), computed by zlib.
uint32_t crc32of(const void* p, size_t n);

}  // namespace gapwire

}  // namespace zo
