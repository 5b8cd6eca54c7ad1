// gapreader.h - gaprx's check and decode of one gapudp datagram (the layout
// is drawn in dblink/oxalink_gapudp.h and docs/gapudp.md).
//
// read() checks, in this order, and stops at the first that fails:
//   short    fewer than 24 bytes
//   magic    bytes 0..3 are not A9 02 01 01
//   headcrc  the CRC-32 at 20 does not match bytes 0..19
//   bodylen  the body length is 0 or not the datagram's length minus 24
//   bodycrc  the CRC-32 at 16 does not match the body
//   rawlen   the declared message length is 0 or above 65536, or the block
//            decompresses to another length
//   lz4      the body is not an LZ4 block of at most 65536 bytes
//   decode   the message breaks the protobuf wire rules, has no head of
//            53682 and a known function number, holds records of another
//            kind than its function number, more records than a chunk
//            (256, 16, 32), or a record that cannot be one of ours (a name
//            or text longer than its field, a value type outside 1..5, an
//            object type other than 6 and 7, object data over 1000 bytes,
//            SOE bytes over 239)
//   auth     no auth, or its blocks, with the key's XOR undone, are not the
//            ones made from the user and password we were given
// and then fills the message: header words, the key and the authcount it
// stands for, and the records as the database's fixed records (text fields
// zero-terminated, unused bytes zero).  Whether the authcount was seen
// before is the caller's question (authwindow.h).
//
// Bounds for any input: nothing is allocated after construction; a message
// decompresses into a fixed 64 KiB buffer and its records into fixed arrays
// of chunk size; each byte is looked at a bounded number of times.
//
// Thread-safety: an object belongs to one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dblink/gapwire.h"
#include "oxaapi/oxaapi.h"

enum gapverdict : int {
    GAP_ACCEPT = 0,
    GAP_SHORT,
    GAP_MAGIC,
    GAP_HEADCRC,
    GAP_BODYLEN,
    GAP_BODYCRC,
    GAP_RAWLEN,
    GAP_LZ4,
    GAP_DECODE,
    GAP_AUTH,
    GAP_REPLAY,  // decided by authwindow, counted with the others
    GAP_VERDICTS
};

// "ok", "short", "magic", ... as in the list above; "replay".
const char* verdictname(int v);

// One decoded message.
struct gapmsg {
    uint32_t dgramseq = 0;
    uint32_t bodycrc = 0;
    uint32_t funid = 0;  // 33, 34 or 35
    uint32_t key = 0;
    uint32_t authcount = 0;
    uint32_t nvals = 0;
    uint32_t nobjs = 0;
    uint32_t nsoes = 0;
    oxa_valrec vals[zo::gapwire::valchunk];
    oxa_objrec objs[zo::gapwire::objchunk];
    oxa_soerec soes[zo::gapwire::soechunk];
};

class gapreader {
  public:
    // user and pswd: what the sender must have been configured with.
    gapreader(std::string_view user, std::string_view pswd);

    // GAP_ACCEPT with msg filled, or the first check that failed (msg then
    // holds what was read so far and must not be used).
    gapverdict read(const uint8_t* data, size_t n, gapmsg* msg);

  private:
    uint8_t user_[zo::gapwire::authblock];
    uint8_t hash_[zo::gapwire::authblock];
    uint8_t raw_[zo::gapwire::maxraw];
};
