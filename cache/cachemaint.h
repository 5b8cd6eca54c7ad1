// cachemaint.h - the cache maintenance step of the link's writer thread:
// roll-over, size and age limits, and the replay of cached files as history.
//
// step() is called once per cycle of the writer thread.  When the wall-clock
// second has changed it rolls the writer over (closing the file of a period
// that has ended) and, every 30 seconds while the database is not connected,
// enforces the limits: at most one file is removed per check, the oldest by
// its period stamp, when the oldest is maxhour hours old or the files
// together reach maxsize MBytes; a single file is never removed.
//
// While the database is connected, step() replays one block per call: every
// 10 seconds it looks for the oldest file of an earlier period (and not
// before 11 seconds into the current period, by which time the writer has
// closed the file of the period just ended), then reads it a block per call,
// handing tag values to historysink::inserthistory and SOE records to
// historysink::putsoe, and deletes the file at its end (the reader passes
// over a damaged block and goes on with the blocks behind it).  A file found
// while the link writes through gapudp cannot be inserted as history and is
// deleted.  What the database answers does not stop the replay.
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

// Where replayed records go; the link instance implements it with its
// history insert ("oxa_insert") and its SOE writer (oxa_soeput).
class historysink {
  public:
    virtual ~historysink() = default;
    virtual void inserthistory(const tagvalarray& body) = 0;
    virtual void putsoe(const soearray& body) = 0;
};

// Adapts a link object that has insert_history and write_soe.
template <class L>
class linksink final : public historysink {
  public:
    explicit linksink(L* l) : link(l) {}
    void inserthistory(const tagvalarray& body) override { link->insert_history(body); }
    void putsoe(const soearray& body) override { link->write_soe(body); }

  private:
    L* link;
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

    // Records replayed from the file being read (for tests and logs).
    uint32_t historyvals() const { return histvals; }
    uint32_t historysoes() const { return histsoes; }

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

    localcache* cache;
    historysink* sink;
    zo::ilog* log;
    int64_t lasttick;
    uint32_t seconds = 0;
    uint32_t lastscan = 0;
    uint32_t histvals = 0;
    uint32_t histsoes = 0;
    zo::string block;
    tagvalarray vals;
    soearray soes;
};
