// gapdb.h - gaprx's side of the database: the records of accepted messages
// go through the client library (oxaapi.h) the way the link writes them on
// the near side: tag values and object values as "oxa_writesnaps" requests
// (snapshot and history), SOE records through oxa_soeput.  Each value is the
// link's own JSON value object (addvalueobject of dblink/oxawrite.h, "T" in
// milliseconds), so the far side gets the same texts as a near one.
//
// Values are gathered into one request until it holds 64000 bytes of text
// or flush() is called (gaprx flushes whenever its socket has nothing more
// to read).  Every request stays ours until the library answers it, and its
// text in flight is bounded by half the library's queue, so the library's
// queue does not refuse it.  The answer decides:
//   - status 0: written; values listed with an "E" count as failed, those
//     counted in "dups" (history held their name and time already) as such;
//   - status 3 or 4 (the database failed as a whole, or went away before or
//     while it ran: nothing written): the request is sent again, as an
//     "oxa_insert" (history first, the snapshot moved only by a later time,
//     so a newer value written meanwhile is not set back), by the next
//     flush(), putsoes() or drain();
//   - any other status, or an answer that does not read: failed.
// SOE records refused with OXA_ERR_NOTCONNECTED (the database is away, or
// was lost while it wrote them), OXA_ERR_QUEUEFULL or OXA_ERR_DB (a failure
// of the whole write: nothing written) are tried again.  History and SOE
// writes are idempotent in the library, so sending again cannot double a
// row.  The waits last for as long as keepwaiting() says (gaprx lets them
// wait until it is told to stop, and then while the database still
// answers); what is given up then is counted as failed and logged, as are
// the requests close() finds unanswered.
//
// Record times are in 100 ms steps; the requests carry milliseconds (times
// 100).  A quality travels as its low 8 bits (a signed byte on the wire) and
// is written as 0..255, so the common 192 ("good") arrives as the near side
// would have written it.
//
// Counters: values (and object values) and SOE records handed over, written
// (answered without error), already in history (dups), failed (refused by
// the database, or given up), and values sent again.
//
// Thread-safety: all calls from one thread (gaprx's main thread); the
// response callback runs on the library's thread and only counts, or hands
// a request back for sending again, under the lock.  The counters may be
// read from any thread.  The logger must take lines from both.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ilog.h"
#include "base/string_.h"
#include "dblink/dbtypes.h"
#include "dblink/oxafuncs.h"
#include "oxaapi/oxaapi.h"

class gapdb {
  public:
    // True while a write may wait on; checked between attempts.
    using waitfn = std::function<bool()>;

    // fns: the client library's calls; null means the real oxaapi.
    gapdb(zo::ilog* log, waitfn keepwaiting, const zo::oxafuncs* fns = nullptr);
    ~gapdb();
    gapdb(const gapdb&) = delete;
    gapdb& operator=(const gapdb&) = delete;

    // Creates the handle and starts the connection (which completes on the
    // library's thread).  False with the reason in *err.
    bool open(const std::string& dburl, const std::string& user, const std::string& pswd,
              std::string* err);
    bool connected() const { return connected_.load(std::memory_order_acquire); }

    void addval(const oxa_valrec& r);
    void addobj(const oxa_objrec& r);
    // Sends again what came back as not written, then hands the request
    // being gathered to the library.
    void flush();
    // Writes SOE records (after the values gathered so far).
    void putsoes(const oxa_soerec* recs, uint32_t n);
    // Waits until every request handed over was answered as written or
    // refused, sending again what came back as not written; false when no
    // answer came for maxms (a database that is away).
    bool drain(int maxms);
    // True while requests wait for an answer or for being sent again (the
    // caller then flushes now and then without new values).
    bool busy() const;
    // Disconnects; requests still waiting are counted as failed.
    void close();

    // Requests the library has answered so far (any thread).
    uint64_t answered() const { return answered_.load(std::memory_order_acquire); }
    uint64_t valsin() const { return valsin_; }
    uint64_t valswritten() const { return valsok_.load(std::memory_order_acquire); }
    uint64_t valsdup() const { return valsdup_.load(std::memory_order_acquire); }
    uint64_t valsfailed() const { return valsbad_.load(std::memory_order_acquire); }
    uint64_t valsresent() const { return valsagain_.load(std::memory_order_acquire); }
    uint64_t soesin() const { return soesin_; }
    uint64_t soeswritten() const { return soesok_; }
    uint64_t soesfailed() const { return soesbad_; }

  private:
    struct request;
    static void on_status(int code, const char* reason, void* self);
    static void on_response(const char* text, int length, void* req);
    // The scratch value's name, time, quality and type from a record.
    template <class R>
    void head(const R& r);
    // The scratch value into the request; the request goes once it is long
    // enough.
    void add();
    // Hands req to the library, waiting while the bound is reached or the
    // queue is full; counts it as failed and frees it when that is given up.
    void handover(request* req);
    // Sends again the requests that came back as not written.
    void resend();
    // Waits a little; false when keepwaiting() says to give up.
    bool pause();

    zo::ilog* log_;
    waitfn keepwaiting_;
    const zo::oxafuncs* oxa_;
    int handle_ = -1;
    std::string url_;
    std::atomic<bool> connected_{false};
    std::atomic<int> laststatus_{0};
    std::atomic<bool> closing_{false};
    zo::string text_;
    uint32_t pending_ = 0;  // values in text_
    uint32_t valsat_ = 0;   // where the values' array starts in text_
    zo::tagval scratch_;
    int64_t bound_ = 0;  // text in flight, at most
    std::atomic<int64_t> inflight_{0};
    std::atomic<uint64_t> requests_{0};
    std::atomic<uint64_t> answered_{0};
    uint64_t valsin_ = 0;
    std::atomic<uint64_t> valsok_{0};
    std::atomic<uint64_t> valsdup_{0};
    std::atomic<uint64_t> valsbad_{0};
    std::atomic<uint64_t> valsagain_{0};
    uint64_t soesin_ = 0;
    uint64_t soesok_ = 0;
    uint64_t soesbad_ = 0;
    // Answered as not written, to be sent again (shared with the callback).
    mutable std::mutex mu_;
    std::vector<request*> again_;
};
