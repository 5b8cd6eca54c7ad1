// gapdb.h - gaprx's side of the database: the records of accepted messages
// go through the client library (oxaapi.h) the way the link writes them on
// the near side: tag values and object values as "oxa_writesnaps" requests
// (snapshot and history), SOE records through oxa_soeput.  Each value is the
// link's own JSON value object (addvalueobject of dblink/oxawrite.h, "T" in
// milliseconds), so the far side gets the same texts as a near one.
//
// Values are gathered into one request until it holds 64000 bytes of text
// or flush() is called (gaprx flushes whenever its socket has nothing more
// to read).  Nothing is dropped for a full library queue or a database that
// is away: flush() and putsoes() wait and try again for as long as
// keepwaiting() says so (gaprx lets them wait until it is told to stop, and
// then while the database still answers); what is given up then is counted
// as failed and logged.  Record times are in 100 ms steps; the requests carry milliseconds
// (times 100).  A quality travels as its low 8 bits (a signed byte on the
// wire) and is written as 0..255, so the common 192 ("good") arrives as the
// near side would have written it.
//
// Counters: values (and object values) and SOE records handed over, written
// (answered without error), failed (refused by the database, or given up).
//
// Thread-safety: all calls from one thread (gaprx's main thread); the
// counters are also bumped by the library's response callback on its own
// thread and may be read from any thread.  The logger must take lines from
// both.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/ilog.h"
#include "base/string_.h"
#include "dblink/dbtypes.h"
#include "oxaapi/oxaapi.h"

class gapdb {
  public:
    // True while a write may wait on; checked between attempts.
    using waitfn = std::function<bool()>;

    gapdb(zo::ilog* log, waitfn keepwaiting);
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
    // Hands the request being gathered to the library.
    void flush();
    // Writes SOE records (after the values gathered so far).
    void putsoes(const oxa_soerec* recs, uint32_t n);
    // Waits until every request handed over was answered; false when no
    // answer came for maxms (a database that is away).
    bool drain(int maxms);
    // Disconnects; requests still waiting are answered as failed.
    void close();

    // Requests the library has answered so far (any thread).
    uint64_t answered() const { return answered_.load(std::memory_order_acquire); }
    uint64_t valsin() const { return valsin_; }
    uint64_t valswritten() const { return valsok_.load(std::memory_order_acquire); }
    uint64_t valsfailed() const { return valsbad_.load(std::memory_order_acquire); }
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
    // Waits a little; false when keepwaiting() says to give up.
    bool pause();

    zo::ilog* log_;
    waitfn keepwaiting_;
    int handle_ = -1;
    std::string url_;
    std::atomic<bool> connected_{false};
    std::atomic<int> laststatus_{0};
    std::atomic<bool> closing_{false};
    zo::string text_;
    uint32_t pending_ = 0;  // values in text_
    tagval scratch_;
    std::atomic<uint64_t> requests_{0};
    std::atomic<uint64_t> answered_{0};
    uint64_t valsin_ = 0;
    std::atomic<uint64_t> valsok_{0};
    std::atomic<uint64_t> valsbad_{0};
    uint64_t soesin_ = 0;
    uint64_t soesok_ = 0;
    uint64_t soesbad_ = 0;
};
