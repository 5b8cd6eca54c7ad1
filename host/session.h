// session.h - the session with the IO server: logging in when the IPC link
// connects, cutting the received bytes into packages, acting on each package
// by its function number, numbering the packages we originate, and the
// periodic reports to the IO server.
//
// The host owns one session and hands it the events of its IPC client
// (onconnect, onrecv, ondisconnect, ontimer); the session sends through that
// client and sets the client's state to 2 on a successful login.
//
// Packages are acted on whether or not the login has succeeded: tag values,
// SOE records and registrations are queued for the link instance in any
// state.  A body put on a queue belongs to the queue from then on.
//
// Control output goes in whole packages only.  Drained values are held while
// their package does not fit the client's send buffer (nothing more is
// drained meanwhile: the store fills and the database keeps the rest of the
// writes undelivered); a package the client took is tracked until its last
// byte reached the socket, and one still in the client's buffer at a
// disconnect is counted as lost.
//
// Thread-safety: none.  Every member, like every event of the IPC client,
// belongs to the client's owner thread (the main thread of the process).
//
// REQUIRES: the client, the logger and the link instance outlive the session.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/array_.h"
#include "base/string_.h"
#include "base/udplog.h"
#include "dblink/velmarinst.h"
#include "ipc/ipcwrk.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

namespace zo {

class session {
  public:
    // What the session last reported about the connection, so that one loss
    // is reported once and a refused login is followed by no loss line.
    enum discstates : int32_t {
        discnone = 0,      // logged in, or nothing reported yet
        discrefused = 1,   // the login was refused
        discreported = 2,  // the loss was reported
    };

    session(zo::ipcwrk& client, zo::udplog& log, velmarinst& link);
    virtual ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    // The name the session logs in with and reports run information under.
    void setinstname(const zo::string& name) { instname_ = name; }

    // The IPC client's events, handed on by the host (see zo::ipcwrk).
    // onrecv returns -1 to have the connection dropped.
    void onconnect();
    int32_t onrecv(const char* data, int32_t length);
    void ondisconnect();
    void ontimer();

    // Forgets the received bytes not yet cut into packages; every new
    // connection starts a new byte stream.
    void newstream() { split_.reset(); }

    // True once the IO server's exit order arrived.
    bool exitordered() const { return exitordered_; }
    int32_t discstate() const { return discstate_; }
    // ms since 1970 of the last login; 0 while not logged in.
    int64_t logintime() const { return logintime_; }
    // Field 95 of the last login reply.
    int32_t loginval() const { return loginval_; }
    // ms since 1970 at construction.
    int64_t starttime() const { return starttime_; }

    // What the session counted since start, for the metrics file.
    struct counts {
        uint64_t pkgsreceived = 0;  // packages cut out of the stream
        uint64_t pkgsrefused = 0;   // of those, packages not acted on
        uint64_t valsreceived = 0;  // tag values queued for the link
        uint64_t soesreceived = 0;  // SOE records queued for the link
    };
    const counts& counted() const { return counts_; }

  protected:
    // The session's way into the link instance.  Virtual so that tests can
    // watch what is queued and play the database's part without one.
    virtual void queueval(tagvalbody* body);
    virtual void queuesoe(soebody* body);
    virtual size_t queuereg(regbody* body);
    virtual void putdbmsg(const char* text, int length);
    virtual size_t drainctrl(tagvalbody* body);

  private:
    // Acts on one package cut out by the splitter; -1 asks for the
    // connection to be dropped.
    int32_t dispatch(const zo::string& pkg);
    void do_ctrlorder(const zo::string& pkg, const pb3head& head);
    // The periodic reports: control values out (3214) and run
    // information (3206).
    void do_dbctrlout();
    void do_updateruninfo();
    void sendctrl(tagvalbody& body);
    void settlectrl();

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

    zo::ipcwrk& client_;
    zo::udplog& log_;
    velmarinst& link_;
    zo::string instname_;
    uint32_t pid_;
    int64_t starttime_;    // ms since 1970 at construction
    int64_t lastinfosec_;  // second of the last run-information report
    seqcounter seq_;       // of the packages we originate
    pkgsplit split_;       // received bytes not yet cut into packages (0x97)
    int32_t discstate_ = discnone;
    int64_t logintime_ = 0;
    int32_t loginval_ = 0;
    bool exitordered_ = false;
    uint64_t cpustate_[2] = {0, 0};  // previous system and process CPU totals
    counts counts_;

    tagvalbody heldctrl_;    // drained values waiting for room, or for the next login
    uint32_t heldsize_ = 0;  // the size of their package when it was refused
    struct ctrlpkg {
        uint64_t end;  // the client's accepted() just behind the package
        uint32_t records;
    };
    zo::array_<ctrlpkg> ctrlsent_;  // taken by the client, not yet known to be on the socket
    size_t ctrlsentfrom_ = 0;       // first entry of ctrlsent_ still in question
    uint64_t ctrllost_ = 0;         // control values lost, since start
};

}  // namespace zo
