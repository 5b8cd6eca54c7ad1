// cachemaint.h - the cache maintenance step of the link's writer thread:
// roll-over, size and age limits, and the replay of cached files as history.
//
// step() is called once per cycle of the writer thread.  When the wall-clock
// second has changed it rolls the writer over (closing the file of a period
// that has ended) and, every 30 seconds, enforces the limits: at most one
// file is removed per check, the oldest by its period stamp, when the oldest
// is maxhour hours old or the files together reach maxsize MBytes; the
// newest file is never removed, nor the file being replayed (the next oldest
// goes instead).  The limits act while the database is connected too, since
// values that the database cannot take fast enough go to the cache then.
// The records of a removed file are counted and logged as dropped.
//
// While the database is connected, step() replays one block per call: every
// 10 seconds it looks for the oldest file of an earlier period (and not
// before 11 seconds into the current period, by which time the writer has
// closed the file of the period just ended), then reads it a block per call,
// handing tag values to historysink::inserthistory and SOE records to
// historysink::putsoe - no more while the sink is full, so the replay runs
// at the database's pace.  At the file's end (the reader passes over a
// damaged block and goes on with the blocks behind it) it waits until the
// sink has settled every block of the file, and only then deletes it: a
// crash before that replays the file again, which the database's idempotent
// history writes absorb.  A file found while the link writes through gapudp
// cannot be inserted as history and is deleted.
//
// Time comes from zo::nowsec() (tests move it through zo::env).
//
// Ownership: the cache, the sink and the logger are borrowed and must
// outlive the object.
//
// Thread-safety: none; only the link's writer thread calls step().  The
// connected flag is read by the caller and passed in at each call.
#pragma once
#include <cstdint>
#include <vector>

#include "base/ilog.h"
#include "base/string_.h"
#include "cache/localcache.h"
#include "protoc3/bodies.h"

namespace zo {

// Where replayed records go; the link's writer implements it with its
// history insert ("oxa_insert") and its SOE writer (oxa_soeput).  A block
// handed over stays "in flight" until the database has answered it and its
// records are in history, or back in the cache, or counted as dropped.
class historysink {
  public:
    virtual ~historysink() = default;
    // One block of tag values; takes ownership of body.
    virtual void inserthistory(tagvalarray* body) = 0;
    // One block of SOE records, settled before the call returns.
    virtual void putsoe(const soearray& body) = 0;
    // True while no further block may be handed over.
    virtual bool replayfull() = 0;
    // Blocks handed over and not settled yet.
    virtual uint32_t replayinflight() = 0;
};

class cachemaint {
  public:
    // Reads the clock: the first tick comes with the next second.
    cachemaint(localcache* cache, historysink* sink, zo::ilog* lg);

    // One step.  connected: the database can be written; gapudp: the link
    // writes through the one-way UDP transport.  1 when the replay did work
    // (the caller goes on without a pause), else 0.
    int step(bool connected, bool gapudp);

    // Removes the oldest file when a limit is reached (at most one).
    void enforcelimits();
    // Opens, reads one block of, or deletes a cache file; 1 when it did.
    int replay(bool connected, bool gapudp);

    // Records handed over from the file being read (for tests and logs).
    uint32_t historyvals() const { return histvals; }
    uint32_t historysoes() const { return histsoes; }
    // Records of the files removed unreplayed (limits, gapudp), since
    // construction.
    uint64_t removedvals() const { return lostvals; }
    uint64_t removedsoes() const { return lostsoes; }

  private:
    struct entry {
        int64_t stamp;
        int64_t size;
    };
    // Stamps and sizes of the cache files; minlen is the shortest name
    // accepted, prefixonly asks for names that start with "ioch_" (else
    // names that contain it).
    void scan(uint32_t minlen, bool prefixonly, bool wantsize, std::vector<entry>* out);
    void endfile();
    void undecoded();
    // Tag values and SOE records in the file of stamp, added to *vals and
    // *soes.
    void countrecords(int64_t stamp, uint64_t* vals, uint64_t* soes);
    void lost(uint64_t vals, uint64_t soes, const char* why);

    localcache* cache;
    historysink* sink;
    zo::ilog* log;
    int64_t lasttick;
    uint32_t seconds = 0;
    uint32_t lastscan = 0;
    uint32_t histvals = 0;
    uint32_t histsoes = 0;
    uint64_t lostvals = 0;
    uint64_t lostsoes = 0;
    bool atend = false;  // the open file is read to its end (or damage)
    zo::string block;
    soearray soes;
};

}  // namespace zo
