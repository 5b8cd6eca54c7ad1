// oxalink_gapudp.h - the one-way UDP link across a network gap (a data diode
// or a one-way firewall): tag values and SOE records go out as datagrams to
// a receiver on the far side (tools/gaprx), which writes them into the
// database.  Nothing comes back: no answers, no control tags, no
// registrations, no history.
//
// One datagram carries one protobuf message, compressed as one LZ4 block,
// behind a 24-byte header of big-endian words:
//
//   offset  0   A9 02 01 01          magic
//           4   dgramseq             1, 2, 3, ... for the life of the process
//                                    (0 is skipped when it wraps)
//           8   bodylen              bytes of the compressed body
//          12   rawlen               bytes of the message before compression
//          16   CRC-32 of the body
//          20   CRC-32 of bytes 0..19
//          24   body                 LZ4 block of rawlen bytes
//
// The message (field numbers; zz = zigzag, as protobuf's sint types):
//
//   6 head   { 1: 53682 (always)  2: funid  33 values, 34 objects, 35 SOE }
//   5 auth   { 1: key (left out when 0)
//              2: userblock XOR key (48 bytes)  3: hashblock XOR key (48 bytes) }
//   then one of, repeated, one embedded message per record:
//   1 vals   { 1 name  2 zz time  8 quality  9 flag  3 type
//              4 zz int32 (types 1, 2)  5 float (type 3, always)
//              6 zz int64 (type 4)      7 double (type 5, always) }
//   2 objs   { 1 name  2 zz time  3 type  4 extra  8 quality  9 flag
//              5 data (1..1000 bytes) }
//   4 soes   { 1 f231  2 zz f230  3 zz f232  4 zz (int16) f233  5 zz f235
//              6 f236  7 f237  8 f238 bytes, f234 of them (1..239)
//              9 zz (int8) f239  10 zz (int8) f240 }
//
// Integers equal to 0 and empty texts are left out, except where "always"
// says otherwise; quality, flag and type are sign-extended from their byte.
// The key is authcount * gapwire::keyconst, authcount counting every message
// built from 1 (gapwire.h has the blocks; docs/gapudp.md has everything a
// receiver needs, with a whole datagram in hex).
//
// Values are batched: write_batch merges packages while no object value has
// come and fewer than 320 values are gathered, then sends messages of at
// most 256 values and 16 object values; write_soe sends 32 SOE records per
// message.  A datagram that cannot be compressed or sent is lost without a
// line of its own (the link is one-way: nobody could be told, and nothing
// is retried); the records lost so, and tag values of types outside 1..7,
// are counted and logged by flushcounts() at warning level:
//   "dropped %llu tag values (gapudp send failed)."
//   "dropped %llu soe records (gapudp send failed)."
//   "dropped %llu tag values (type outside 1..7)."
// close() logs the totals of the link's life at debug level.
//
// Ownership: the object owns its socket; the logger is borrowed and must
// outlive it.  Packages handed to write_batch are deleted by it.
//
// Thread-safety: none needed.  open() runs before the link's writer thread
// starts, close() after it was joined; in between only the writer thread
// calls send(), write_batch() and write_soe().
#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <functional>

#include "base/array_.h"
#include "base/ilog.h"
#include "base/string_.h"
#include "dblink/dbtypes.h"
#include "dblink/gapwire.h"
#include "oxaapi/oxaapi.h"

namespace zo {

class oxalink_gapudp {
  public:
    // Where write_batch takes the next package from: the link's value ring
    // while the link is connected; null when there is none.
    using nextfn = std::function<tagvalbody*()>;

    explicit oxalink_gapudp(zo::ilog* log);
    ~oxalink_gapudp();
    oxalink_gapudp(const oxalink_gapudp&) = delete;
    oxalink_gapudp& operator=(const oxalink_gapudp&) = delete;

    // 0 when the socket is ready; -1 with the reason in the log (none for an
    // empty or null argument).  url is gapudp://HOST:PORT.
    int open(const char* url, const char* user, const char* pswd);
    // Compresses and frames one message and sends it as one datagram; true
    // when the socket took it.
    bool send(const zo::string& message);
    // Sends the tag values of the package in slot and of the packages next()
    // gives while the batch may still grow; deletes each and leaves slot
    // null.  Values of types outside 1..7 are dropped (counted, and logged
    // at close).
    void write_batch(tagvalbody*& slot, const nextfn& next);
    // Sends the SOE records of one package.
    void write_soe(const soebody& body);
    // Logs the records dropped since the last call (nothing when none were).
    void flushcounts();
    // Logs what flushcounts() has not yet, then closes the socket (logging
    // "close gapudp URL " at debug level); does nothing when it is not open.
    void close();

    bool isopen() const { return sock >= 0; }
    const zo::string& linkurl() const { return url; }
    uint32_t lastseq() const { return dgramseq; }
    uint64_t sentcount() const { return sent; }
    uint64_t failedcount() const { return failed; }

  private:
    // Builds and sends one message of funid with the n records at recs;
    // counts them as lost when it cannot.
    template <class R>
    void sendchunk(uint32_t funid, const R* recs, uint32_t n);

    zo::ilog* log;
    zo::string url;
    int sock = -1;
    sockaddr_storage dest{};
    socklen_t destlen = 0;
    uint8_t authuser[gapwire::authblock];
    uint8_t authhash[gapwire::authblock];
    uint32_t dgramseq = 0;
    uint32_t authcount = 0;
    // Reused from call to call.
    zo::array_<oxa_valrec> valrecs;
    zo::array_<oxa_objrec> objrecs;
    zo::array_<oxa_soerec> soerecs;
    zo::string message;
    zo::string dgram;
    // Datagrams sent, datagrams lost to compression or the socket, records
    // dropped (tag values of types outside 1..7, or no memory for a batch).
    uint64_t sent = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    // Not logged yet: tag values and SOE records not sent (a datagram lost,
    // no memory), tag values of types outside 1..7.
    uint64_t unsentvals = 0;
    uint64_t unsentsoes = 0;
    uint64_t badtypes = 0;
};

}  // namespace zo
