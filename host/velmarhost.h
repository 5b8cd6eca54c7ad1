// velmarhost.h - the host object: owns the logger, the single-instance lock,
// the database link instance and the session with the IO server, and runs
// start-up, the console loop and the stop sequence.
//
// One object per process (a static in main.cpp); tests build their own.  The
// host is the TCP client to the IO server (zo::ipcwrk, inherited privately so
// that only the host and its session drive the connection) and hands the
// client's events (onconnect, onrecv, ondisconnect, ontimer) to its session
// (session.h).
//
// Lifecycle: constructed (nothing open) -> start() (logger open, lock held,
// link instance started, endpoint set) -> runconsole() -> stop().  A start()
// that fails after the link instance started leaves it running; the link's
// own destructor stops it at exit.
//
// Which thread may call what: everything, including every session callback,
// on the main thread.  The only thing other threads touch is the link
// instance (its writer thread and the database library's threads), through
// the link's own queues and flags.
#pragma once
#include <cstdint>

#include "base/string_.h"
#include "base/udplog.h"
#include "dblink/velmarinst.h"
#include "host/instancelock.h"
#include "host/metrics.h"
#include "host/session.h"
#include "ipc/ipcwrk.h"

namespace zo {

class console;

class velmarhost : private zo::ipcwrk {
  public:
    static constexpr const char* version = "Quorvane file version 1.0.3.4, build 2025-7-2";

    velmarhost();
    ~velmarhost() override;

    // Start-up.  Texts are zero-terminated; null or empty gives an empty
    // member; cachepath may be null.  0 on success, -1 on failure, each
    // failure printed on standard output or logged with its reason.
    int start(const char* ipcurl, const char* logurl, const char* moddir, const char* instname,
              const char* cfgfile, const char* cachepath, int32_t level);

    // The stop sequence: logs "recv sigval = N" when sig is not 0, stops the
    // link instance, logs "stopped gracefully.\n" and closes the log socket.
    void stop(int sig);

    // The console loop: one poll pass, then until the exit order arrives,
    // 'q'/'Q' is typed, or a stop signal is recorded, one poll pass after
    // another.  No pass runs without waiting: when the client has no socket,
    // the loop waits up to 100 ms on the console instead.  On the exit order
    // SIGTERM is set to be ignored before returning.  Returns the signal that
    // ended the loop, or 0.
    int runconsole(console& con);

    // Read-only views for tests and diagnostics.
    const zo::string& instname() const { return instname_; }
    const zo::string& ipcurl() const { return ipcurl_; }
    const zo::string& logurl() const { return logurl_; }  // normalised, "/<instname>" appended
    const zo::string& moddir() const { return moddir_; }
    // Stored only: the link takes its cache directory from its configuration.
    const zo::string& cachepath() const { return cachepath_; }
    int loglevel() { return log_.getlevel(); }
    bool logopen() const { return log_.isopen(); }
    bool locked() const { return mutex_.held(); }
    const zo::string& clientname() const { return name; }  // the IPC client's name in its lines

  protected:
    // The IPC client's events go to the session.
    void onconnect() override { session_.onconnect(); }
    int32_t onrecv(const char* data, int32_t length) override {
        return session_.onrecv(data, length);
    }
    void ondisconnect() override { session_.ondisconnect(); }
    // The metrics file when it is due, then the session's reports.
    void ontimer() override;

  private:
    // Gathers the counters and writes the metrics file (metrics.h).
    void writemetrics();

    zo::string instname_;
    zo::udplog log_;
    zo::string ipcurl_;
    zo::string logurl_;
    zo::string moddir_;
    zo::string cachepath_;
    velmarinst link_;
    instancelock mutex_;
    session session_;  // after what it uses
    metricsfile metrics_;
    uint64_t metricscpu_[2] = {0, 0};  // previous CPU totals of the metrics' own samples
    bool metricsfailing_ = false;      // the last write failed (logged once per run of failures)
};

}  // namespace zo
