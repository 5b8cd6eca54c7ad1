// velmarinst.h - the database link instance and its writer thread.
//
// One object per process, owned by the host.  start() loads the link
// configuration and opens the link: the database through the client library
// (client mode), or the one-way UDP link when the first link's URL has the
// scheme "gapudp" (gapudp mode, oxalink_gapudp.h).  Then it starts the
// writer thread, which takes the packages the IPC session queued and hands
// them to the writer (oxawriter.h) or to the gapudp link.
//
// Client mode: while the database is not connected, and while the writer
// has as much in flight as it may (the database is slower than the IO
// server), tag values and SOE records go to the local cache (counted as
// dropped when there is none) and registrations are discarded; the cache is
// replayed as history once the database is back, at the database's pace
// (cache/).  Without a cache, a writer that has as much in flight as it may
// leaves the values in their ring, whose drop-oldest rule counts what is
// lost.
//
// gapudp mode: no client library, no writer requests, no control tags, no
// registrations.  The link is connected from start to stop; the writer
// cycle hands tag values to oxalink_gapudp::write_batch (which merges
// further packages from the value ring) and SOE records to write_soe.
// Cache files found then cannot become history and are deleted, what they
// held counted as dropped (cachemaint.h).
//
// Ownership: a package pushed into a ring belongs to the ring; the writer
// thread deletes what it pops.  stop() hands what is still in flight or in
// the value and SOE rings to the cache (client mode) or sends it through the
// gapudp link before closing it (gapudp mode).  The instance owns the
// library handle, the writer and the gapudp link.  The logger is the host's
// and must outlive the instance.
//
// Which thread may call what:
//  - start(), stop(), the destructor: the main thread, not concurrently.
//  - pushval(), pushsoe(), pushreg(): any thread (the IPC session); each takes
//    only its ring's lock.
//  - isconnected(), takestatechanged(), curdburl(), drainctrl(), stats(): the
//    main thread (run information, control output, metrics), while the
//    instance lives.
//  - run(): only the writer thread, or any one thread while the writer
//    thread is not running.
//  - on_status, the writer's response callback, the control callbacks: the
//    client library's threads.
//
// REQUIRES: the handle, the mode, the configuration and the gapudp socket
// change only while the writer thread is not running (start() sets them
// before it starts the thread, stop() clears them after the join).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "base/ilog.h"
#include "base/string_.h"
#include "cache/cachemaint.h"
#include "cache/localcache.h"
#include "dblink/ctrlstore.h"
#include "dblink/dbtypes.h"
#include "dblink/link_config.h"
#include "dblink/oxafuncs.h"
#include "dblink/oxalink_gapudp.h"
#include "dblink/oxawriter.h"
#include "dblink/pkgring.h"
#include "ipc/thread.h"

namespace zo {

class velmarinst : public zo::thread {
  public:
    static constexpr int statusconnected = 60001;
    static constexpr int statusfailed = 60002;
    static constexpr int statusdisconnected = 60003;

    // fns: the client library's calls; null means the real oxaapi.  Tests
    // hand in a table of their own.
    explicit velmarinst(zo::ilog* log, const oxafuncs* fns = nullptr);
    ~velmarinst() override;
    velmarinst(const velmarinst&) = delete;
    velmarinst& operator=(const velmarinst&) = delete;

    // 0 on success; -1 with the reason in the log.  A failed start leaves no
    // thread and no handle.
    int start(const char* cfgpath, const char* instname);
    // Stops and joins the writer thread, then closes the library handle or
    // the gapudp link.
    // Does nothing when the thread is not running (twice, or before start).
    void stop();

    // Queue a package for the writer thread; the ring takes ownership (null
    // is ignored).  A full ring drops its oldest package.  pushreg returns the
    // number of registration packages queued after the push.
    void pushval(tagvalbody* body) { valq.push(body); }
    void pushsoe(soebody* body) { soeq.push(body); }
    size_t pushreg(regbody* body) { return regq.push(body); }

    // Moves the control values the database handed over into body->items.
    size_t drainctrl(tagvalbody* body) { return ctrl.drainctrl(body); }

    // Hands a message to the database without waiting for an answer (the
    // IO server's texts for the database), an empty one too; ignored without
    // a handle.
    void putmsg(const char* text, int length);

    // 1 while the database can be written.
    bool isconnected() const { return connected.load(std::memory_order_acquire) != 0; }
    // True once after every connection change (and at gapudp start); clears
    // the flag.
    bool takestatechanged() { return statechanged.exchange(0, std::memory_order_acq_rel) != 0; }
    // URL of the database in use (empty when none).
    void curdburl(zo::string& out);

    const link_config& cfg() const { return config; }
    bool gapudpmode() const { return gapmode; }

    // Callback registered with the client library (library threads).  The
    // reason (the library's text) goes into the log line.
    static void on_status(int code, const char* reason, void* inst);

    // Packages waiting in valq (tests, diagnostics).
    size_t valqsize() const { return valq.size(); }

    // Where the link's values and SOE records went, for the metrics: the
    // writer's and the cache's counts as the writer thread last published
    // them (once a second and at stop), the rings as they are now.
    struct stats_t {
        oxawriter::flow vals, soes;
        uint64_t ringlostvals = 0, ringlostsoes = 0;    // dropped by a full ring
        uint64_t cachelostvals = 0, cachelostsoes = 0;  // the cache could not take them
        uint64_t removedvals = 0, removedsoes = 0;      // cache files removed unreplayed
        int64_t lastwritems = 0;                        // 0: nothing written yet
        size_t valqueued = 0, soequeued = 0;            // packages in the rings
        size_t valslots = 0, soeslots = 0;              // packages the rings hold at most
        int curdb = -1;                                 // oxa_curdb; -1 without a handle
    };
    void stats(stats_t* out);

    // ---- hooks for tests, which run the writer's cycles themselves instead
    // of starting the writer thread.  Not for the program: main thread, and
    // only while the writer thread is not running.
    // Loads and checks the configuration as start() does and opens the local
    // cache it names, without opening a link; false when it does not load.
    bool testprepare(const char* cfgpath) {
        if (!config.load_config(cfgpath) || !config.check_uplink()) return false;
        if (!config.cache_path.empty() && makedirs(config.cache_path))
            cache.configure(config.cache_path.view(), config.cache_maxsize, config.cache_maxhour);
        return true;
    }
    // Takes h as the library handle (-1: none), as a connect would.
    void testhandle(int32_t h) {
        handle.store(h, std::memory_order_release);
        writer.sethandle(h);
    }
    // Opens the local cache in dir with limits in MB and hours.
    void testcache(std::string_view dir, int maxsizemb, int maxhours) {
        cache.configure(dir, maxsizemb, maxhours);
    }
    void testcycle() { run(); }                      // one cycle of the writer thread
    size_t testsettle() { return writer.settle(); }  // takes the answers in
    int testmaintain() { return maintaincache(); }
    void testflushcounts() { writer.flushcounts(); }
    bool testhascache() const { return cache.hasdirectory(); }
    const oxalink_gapudp& testgap() const { return gapudp; }

  private:
    void run() override;

    // The cache's maintenance step; non-zero when it did some work.
    int maintaincache();
    // Client mode: the library handle and the connection it starts; -1 (no
    // handle left) on failure.
    int startclient(const dblink_cfg& first);
    // gapudp mode: the tag values of val, and of the packages the link
    // merges in from valq, go out; val is deleted.
    void sendgap(tagvalbody* val);
    // Closes the library handle (disconnecting it first when asked) or the
    // gapudp link, whichever is open.
    void closelinks(bool disconnect);
    // Copies the writer thread's counts for stats().
    void publish();
    // Creates path and its missing parents.
    static bool makedirs(const zo::string& path);

    std::atomic<int32_t> handle{-1};  // read by the library's callbacks
    zo::ilog* log;
    const oxafuncs* oxa;
    link_config config;
    int64_t tick[2];
    std::atomic<uint8_t> connected{0};
    std::atomic<uint8_t> statechanged{0};
    pkgring<tagvalbody, 8192> valq;
    pkgring<soebody, 512> soeq;
    pkgring<regbody, 512> regq;
    ctrlstore ctrl;
    std::atomic<int32_t> laststatus{0};
    bool gapmode = false;
    bool started = false;
    oxalink_gapudp gapudp{log};  // its socket is open only in gapudp mode
    // The local cache, the writer and the cache's maintenance step (writer
    // thread only).
    localcache cache{log};
    oxawriter writer{log, oxa, &valq, &connected, &cache};
    cachemaint maint{&cache, &writer, log};
    int64_t lastsecond = 0;  // of the writer's last count flush
    std::mutex statsmu;
    stats_t published;  // under statsmu
};

}  // namespace zo
