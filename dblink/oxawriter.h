// oxawriter.h - the writer of the link in client mode: tag values as JSON
// requests through oxa_callmsg, SOE records through oxa_soeput, control-tag
// registrations through oxa_putmsg, and the bookkeeping that makes sure no
// value is lost on the way.
//
// Every request handed to the library stays the writer's until it is
// answered ("in flight"): the packages of a live "oxa_writesnaps" request,
// the block of a replayed "oxa_insert" request.  What the answer says
// decides where the values go:
//   - written (status 0): released.  Values the database refused one by one
//     ("E" in "vals") are counted as dropped; values whose name and time
//     history held already ("dups") are counted as such.
//   - not written because the database went away or failed as a whole
//     (status 3 or 4), or the call refused for a full queue or a missing
//     connection: the values go to the local cache ("spilled"), exactly like
//     values that arrive while the database is away, and reach history when
//     the cache is replayed.  Without a cache they are counted as dropped.
//   - refused for their content (status 1, 2, any other, an answer that
//     does not read): counted as dropped.
// SOE records are written synchronously and take the same three roads by
// the result of oxa_soeput.
//
// What is in flight is bounded: live requests start only while the text in
// flight is below inflightbound() (half the library's queue bound, at most
// maxinflight), so the library's queue is never what refuses; replayed
// blocks start only below the same bound and at most replaywindow at a
// time.  When the bound is reached
// the caller spills live packages to the cache (or, without a cache, leaves
// them in the ring, whose drop-oldest rule counts what is lost).
//
// Every drop is counted, and the counts are logged once a second at most
// (flushcounts), so that "values sent = rows in history + counted drops"
// can be checked from the log alone:
//   "dropped %llu tag values (%s)."     warning
//   "dropped %llu soe records (%s)."    warning
//   "%llu tag values already in history with the same name and time."  info
// with the reasons "no local cache", "refused by the database" and "cache
// write failed" (blocks the cache could not append, counted by the cache).
//
// Ownership: the writer owns the packages in flight and frees what is left
// on destruction.  The logger, the function table, the value ring, the
// connected flag and the cache are borrowed and must outlive the writer.
//
// Thread-safety:
//  - every member except on_response: the writer thread of the link, or any
//    one thread while the writer thread is not running;
//  - on_response: the client library's thread; it only parses the answer
//    and hands it to the writer thread under the writer's lock.
// REQUIRES: the destructor runs when no answer can come any more (after
// oxa_disconnect, which answers every request it holds).
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/ilog.h"
#include "base/string_.h"
#include "cache/cachemaint.h"
#include "cache/localcache.h"
#include "dblink/dbtypes.h"
#include "dblink/oxafuncs.h"
#include "dblink/pkgring.h"

namespace zo {

class oxawriter final : public historysink {
  public:
    using valring = pkgring<tagvalbody, 8192>;

    static constexpr int32_t firstseqno = 16777217;
    static constexpr int32_t lastseqno = 2147483646;
    // Text of live requests in flight, at most; less when the library's
    // queue is smaller than twice this.
    static constexpr size_t maxinflight = 2u << 20;
    // Replayed blocks in flight, at most.
    static constexpr uint32_t replaywindow = 4;

    oxawriter(zo::ilog* log, const oxafuncs* fns, valring* valq,
              const std::atomic<uint8_t>* connected, localcache* cache);
    ~oxawriter() override;
    oxawriter(const oxawriter&) = delete;
    oxawriter& operator=(const oxawriter&) = delete;

    // The library handle (-1: none).  Reads the library's queue bound.
    // REQUIRES: the writer thread is not running.
    void sethandle(int h);
    int handle() const { return handle_; }

    // Live tag values.  slot holds a popped package; the writer takes it and
    // may pop more from the ring (not when others_pending: an SOE or
    // registration package waits).  REQUIRES: !livefull().
    void write_snapshots(tagvalbody*& slot, bool others_pending);
    // True while live requests may not start (the bound is reached).
    bool livefull() const { return inflight_ >= bound_; }
    size_t inflightbound() const { return bound_; }
    size_t inflightbytes() const { return inflight_; }

    // SOE records, written at once; spilled or counted when that fails.
    void write_soe(const soebody& body);
    void register_ctrltags(const regbody& body);

    // Values that cannot go to the database now: to the cache, or counted
    // as dropped without one.  Takes ownership of body.
    void spill(tagvalbody* body);
    void spill(const soebody& body);

    // Takes the answers that came since the last call and sends their values
    // on their way (released, spilled, counted).  Returns how many.
    size_t settle();
    // Waits until an answer comes or maxwait has passed.
    void waitanswer(std::chrono::milliseconds maxwait);
    // Logs the counts gathered since the last call (nothing when all are 0).
    void flushcounts();

    // Replay (historysink): one "oxa_insert" request per block.
    void inserthistory(tagvalarray* body) override;
    void putsoe(const soearray& body) override { writesoe(body, true); }
    bool replayfull() override { return replay_ >= replaywindow || livefull(); }
    uint32_t replayinflight() override { return replay_; }

    int32_t lastseq() const { return seqno_; }
    void setseqno(int32_t v) { seqno_ = v; }

    // Response callback given to oxa_callmsg; user is the request's record.
    static void on_response(const char* text, int length, void* user);

    // Counts since construction (tests, diagnostics).
    struct counts {
        uint64_t written = 0;  // values answered as written
        uint64_t spilled = 0;  // values sent to the cache (or dropped without one)
        uint64_t dropped = 0;  // values and SOE records counted as dropped
        uint64_t dups = 0;     // values whose name and time history held
    };
    counts totals() const { return totals_; }

    // Where the values (or SOE records) handed to the writer went, since
    // construction, for the metrics.  Live ones (from the IO server) end as
    // written, dups, cached, nocache or refused; replayed ones (read from
    // the cache) as replayed, replaydups, replayrefused or cached again.
    struct flow {
        uint64_t written = 0;  // live, answered as written
        uint64_t dups = 0;     // live, history held their name and time already
        uint64_t cached = 0;   // handed to the cache (replayed ones not written: again)
        uint64_t nocache = 0;  // live, dropped: no cache
        uint64_t refused = 0;  // live, refused by the database
        uint64_t replayed = 0;
        uint64_t replaydups = 0;
        uint64_t replayrefused = 0;
    };
    flow valflow() const { return vals_; }
    flow soeflow() const { return soes_; }
    // nowms() of the last answer that wrote something; 0 before the first.
    int64_t lastwritems() const { return lastwrite_; }

  private:
    struct flight;
    enum outcome : uint8_t { pending, written, notwritten, refused };

    flight* open(bool history);
    void addvalues(flight* f, const tagvalbody& body, bool inttimes);
    void send(flight* f);
    void finish(flight* f);
    void drop(uint64_t values, const char* why);
    void dropsoe(uint64_t records, const char* why);
    void writesoe(const soebody& body, bool history);
    bool integertimes();

    zo::ilog* log_;
    const oxafuncs* oxa_;
    valring* valq_;
    const std::atomic<uint8_t>* connected_;
    localcache* cache_;
    int handle_ = -1;
    int32_t seqno_ = firstseqno;
    size_t bound_ = maxinflight;
    zo::string text_;  // the request being built, reused

    // Writer thread only.
    size_t inflight_ = 0;  // text bytes of live requests not settled
    uint32_t replay_ = 0;  // replayed blocks not settled
    counts totals_;
    flow vals_, soes_;
    int64_t lastwrite_ = 0;
    // Drops and dups not logged yet, by reason.
    uint64_t nocache_ = 0, refusedvals_ = 0, dupvals_ = 0;
    uint64_t nocachesoe_ = 0, refusedsoe_ = 0;

    // Shared with the library's thread.
    std::mutex mu_;
    std::condition_variable answered_cv_;
    flight* pending_ = nullptr;   // handed over, not answered (list)
    flight* answered_ = nullptr;  // answered, not settled (list)
};

}  // namespace zo
