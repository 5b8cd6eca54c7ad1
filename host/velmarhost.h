// velmarhost.h - the host object: owns the logger, the single-instance lock,
// the database link instance and the session with the IO server, and runs
// start-up, the console loop and the stop sequence.
//
// One object per process (a static in main.cpp); tests build their own.  The
// host is the TCP client to the IO server (zo::ipcwrk): its session callbacks
// (onconnect, onrecv, ondisconnect, ontimer) live in session.cpp.
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
#include "ipc/ipcwrk.h"
#include "protoc3/pkgpb3.h"

class console;

class velmarhost : public zo::ipcwrk {
  public:
    static constexpr const char* version = "Quorvane file version 1.0.3.4, build 2025-7-2";
    static constexpr int32_t exitorder = 71;  // exitflag value of the IO server's exit order

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

    int32_t exitflag = 0;
    uint32_t pid;
    zo::string instname;
    zo::udplog log;
    zo::string ipcurl;
    zo::string logurl;  // normalised, with "/<instname>" appended
    zo::string moddir;
    zo::string cachepath;  // stored only: the link takes its cache directory from its configuration
    int32_t seqno = 0;
    velmarinst link;
    pkgsplit split;         // received bytes of the IPC link not yet cut into packages (0x97)
    int32_t discstate = 0;  // 0 logged in or nothing yet, 1 login refused, 2 loss reported
    int64_t lastinfosec;    // second of the last run-information report
    int64_t starttime;      // ms since 1970 at construction
    int64_t logintime = 0;  // ms since 1970 of the last login; 0 while not logged in
    uint64_t cpustate[2] = {0, 0};  // previous system and process CPU totals
    int32_t loginval = 0;           // field 95 of the last login reply
    instancelock mutex;

    // The next sequence number of a package we originate: 1, 2, ...,
    // 0x7FFFFFFE, then 1 again.
    uint32_t nextseqno() {
        seqno = seqno >= 0x7FFFFFFE ? 1 : seqno + 1;
        return static_cast<uint32_t>(seqno);
    }
    // Hands a whole package to the IPC client, which takes all of it or none:
    // 0 taken, 1 refused because the send buffer is full (counted and logged
    // by the client), -1 no connection or the connection dropped.
    int32_t sendall(const zo::string& pkg);
    // Builds a package of ours (version, funid, next sequence number) around
    // body into pkg.  A failed build logs "pkgpb3::makepkg failed @ <where>.
    // <reason>" and gives -1, else 0.
    int32_t buildpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                     zo::string& pkg);
    // buildpkg, then sendall.  Returns what sendall does, or -1 for a failed
    // build; a failed send (-1) also logs sendfail.
    int32_t sendpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                    const char* sendfail);
    // Acts on one package cut out by the splitter (session.cpp).  -1 asks for
    // the connection to be dropped.
    int32_t dispatch(const zo::string& pkg);
    void do_ctrlorder(const zo::string& pkg, const pb3head& head);
    // The periodic reports (reports.cpp): control values out (3214) and run
    // information (3206).
    void do_dbctrlout();
    void do_updateruninfo();

    // Control output, whole packages only (reports.cpp).  Drained values are
    // held while their package does not fit the send buffer (nothing more is
    // drained meanwhile: the store fills and the database keeps the rest of
    // the writes undelivered); a package the client took is tracked until
    // its last byte reached the socket, and one still in the client's
    // buffer at a disconnect is counted as lost.
    tagvalbody heldctrl;    // drained values waiting for room, or for the next login
    uint32_t heldsize = 0;  // the size of their package when it was refused
    struct ctrlpkg {
        uint64_t end;  // accepted() just behind the package
        uint32_t records;
    };
    zo::array_<ctrlpkg> ctrlsent;  // taken by the client, not yet known to be on the socket
    size_t ctrlsentfrom = 0;       // first entry of ctrlsent still in question
    uint64_t ctrllost = 0;         // control values lost, since start
    void sendctrl(tagvalbody& body);
    void settlectrl();

    // The metrics file (metrics.h): what the session counted, since start.
    uint64_t pkgsreceived = 0;
    uint64_t pkgsrefused = 0;
    uint64_t valsreceived = 0;
    uint64_t soesreceived = 0;
    metricsfile metrics;
    uint64_t metricscpu[2] = {0, 0};  // previous CPU totals of the metrics' own samples
    bool metricsfailing = false;      // the last write failed (logged once per run of failures)
    // Gathers the counters and writes the file (reports.cpp).
    void writemetrics();

  protected:
    // Session with the IO server (session.cpp).
    void onconnect() override;
    int32_t onrecv(const char* data, int32_t length) override;
    void ondisconnect() override;
    void ontimer() override;

    // The session's way into the link instance (session.cpp, reports.cpp).
    // Virtual so that tests can watch what is queued and play the database's
    // part without one; main thread only.
    virtual void queueval(tagvalbody* body);
    virtual void queuesoe(soebody* body);
    virtual size_t queuereg(regbody* body);
    virtual void putdbmsg(const char* text, int length);
    virtual size_t drainctrl(tagvalbody* body);
};
