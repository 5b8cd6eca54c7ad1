// simserver.h - the IO-server side of the ipc link, for trying Quorvane
// without field devices and as the peer of tests and benchmarks.
//
// One listening TCP socket, at most one connection at a time (a second
// client waits in the backlog until the first has gone).  On a connection
// the server waits for the login (funid 2001) and answers it (2002, field 95
// set, or a refusal with --refuse-login).  After a successful login it
// registers the control tags (3212), then sends tag values (3202) and SOE
// records (3210) at the configured rates, and the exit order (2004, vi32 91)
// when --exit-after has passed since the login.  It prints one line per
// run-information report (3206) and per control value (3214) it receives,
// and answers the request for the write tags (3211) with the list again.
//
// Values are batched into packages of alternately few and many values, so
// that at ordinary rates both raw bodies and LZ4 bodies (over 512 bytes)
// travel.  A value counts as sent once its package is queued for the
// socket; what a vanished peer had not read yet is lost with it.
//
// Time comes from the clock seam (zo::nowms), so a test can move it: rates,
// --exit-after and --duration all follow the installed env.
//
// The run ends when --duration has passed, when the peer closes the link
// after the exit order, or when stop() is called; queued bytes are then
// given a short chance to leave before the socket closes.
//
// Thread-safety: a simserver belongs to one thread (the one that calls
// open() and pass()/run()), except stop(), which any thread or a signal
// handler may call.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/string_.h"
#include "tools/iosim/options.h"
#include "tools/iosim/simproto.h"
#include "tools/iosim/valuegen.h"

namespace iosim {

struct simstats {
    // Sent.
    uint64_t values = 0;
    uint64_t soe = 0;
    uint64_t valpkgs = 0;     // 3202 packages
    uint64_t soepkgs = 0;     // 3210 packages
    uint64_t rawpkgs = 0;     // packages of all kinds with a raw body
    uint64_t lz4pkgs = 0;     // packages of all kinds with an LZ4 body
    uint64_t regpkgs = 0;     // 3212 packages
    uint64_t exitorders = 0;  // 2004 packages
    uint64_t bytesout = 0;
    // Received.
    uint64_t connections = 0;
    uint64_t logins = 0;      // 2001 answered with success
    uint64_t refused = 0;     // 2001 answered with a refusal
    uint64_t runinfo = 0;     // 3206 packages
    uint64_t ctrlpkgs = 0;    // 3214 packages
    uint64_t ctrlvalues = 0;  // values in them
    uint64_t reggets = 0;     // 3211 packages
    uint64_t unknown = 0;     // other funids
    uint64_t bad = 0;         // packages or bodies that did not decode
    uint64_t bytesin = 0;
};

class simserver {
  public:
    // out receives the event lines (null: none).  REQUIRES: o outlives this.
    simserver(const simopts& o, FILE* out);
    ~simserver();
    simserver(const simserver&) = delete;
    simserver& operator=(const simserver&) = delete;

    // Resolves --listen and starts listening.  0, or -1 with the reason in
    // *err.
    int open(zo::string* err);
    // The port actually listened on (useful with port 0).
    uint16_t port() const { return port_; }

    // One pass: waits at most waitms for socket events, handles them, and
    // sends what is due.  False once the run is over.
    bool pass(int waitms);
    // Passes until the run is over.  0, or 1 after a runtime failure.
    int run();
    // Ends the run at the next pass.  Async-signal-safe.
    void stop() { stop_.store(true, std::memory_order_relaxed); }

    const simstats& stats() const { return st_; }
    // "iosim: sent values=N soe=M ...; received connections=C ..." (no line feed).
    void summary(zo::string* out) const;

  private:
    void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void acceptone();
    void closeconn(const char* why);
    bool readsome();
    bool flushout();
    void onpackage(const zo::string& pkg);
    void onlogin(const zo::pb3head& head, const zo::string& pkg);
    void sendregs();
    void sendexit();
    void senddue(int64_t now);
    bool queuepkg(const zo::string& pkg, bool lz4);
    // Fills up to cap items of a through fill(i, item), builds and queues one
    // package.  The number of items queued; 0 when nothing could be sent.
    template <class array, class filler>
    uint32_t sendbatch(uint32_t funid, array& a, uint32_t cap, filler fill);
    uint32_t nextseq();
    void finish();

    const simopts& o_;
    FILE* out_;
    bool tty_ = false;
    valuegen gen_;
    // Per tag, the time of its last value, for the whole run: a tag's
    // times strictly increase, so (name, time) never repeats.
    std::vector<int64_t> lasttime_;
    std::atomic<bool> stop_{false};
    bool over_ = false;
    int failed_ = 0;

    int lfd_ = -1;
    int cfd_ = -1;
    uint16_t port_ = 0;
    int64_t startms_ = 0;

    // Per connection.
    splitter split_;
    zo::string outbuf_;
    uint32_t outpos_ = 0;
    bool loggedin_ = false;
    int64_t loginms_ = 0;
    bool exitsent_ = false;
    int64_t exitms_ = 0;
    uint64_t valbase_ = 0;  // st_.values at the login (rate counts from there)
    uint64_t soebase_ = 0;
    int64_t lastflushms_ = 0;  // when the last value package was queued
    uint64_t batchno_ = 0;

    uint32_t seqno_ = 0;
    simstats st_;
    zo::string pkg_;  // scratch for building and splitting
};

}  // namespace iosim
