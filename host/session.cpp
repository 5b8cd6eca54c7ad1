// The session with the IO server (session.h): logging in, cutting the
// received bytes into packages and acting on each by its function number.
// Everything here runs on the main thread inside the IPC client's poll
// passes.
#include "host/session.h"

#include <unistd.h>

#include <new>

#include "base/env.h"
#include "host/procstat.h"
#include "protoc3/funid.h"

namespace zo {

namespace {

constexpr uint32_t recvroom = 32000;
constexpr uint32_t valreserve = 100;
constexpr uint32_t soereserve = 8;

}  // namespace

session::session(zo::ipcwrk& client, zo::udplog& log, velmarinst& link)
    : client_(client),
      log_(log),
      link_(link),
      pid_(static_cast<uint32_t>(::getpid())),
      starttime_(zo::nowms()),
      lastinfosec_(zo::nowsec()) {}

session::~session() = default;

int32_t session::buildpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                          zo::string& pkg) {
    pb3head head;
    head.ver = protover;
    head.funid = funid;
    head.seqno = seq_.next();
    if (!pkgpb3::makepkg(head, body, pkg)) {
        log_.wlog(zo::LOG_ERR, "pkgpb3::makepkg failed @ %s. %s", where, body.errmsg());
        return -1;
    }
    return 0;
}

int32_t session::sendpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                         const char* sendfail) {
    zo::string pkg;
    if (buildpkg(funid, body, where, pkg) != 0) return -1;
    int32_t r = sendall(pkg);
    if (r < 0) log_.wlog(zo::LOG_ERR, "%s", sendfail);
    return r;
}

int32_t session::sendall(const zo::string& pkg) {
    int32_t n = client_.send(pkg.data(), pkg.size(), &log_);
    if (n < 0) return -1;
    return n == 0 && pkg.size() > 0 ? 1 : 0;
}

void session::onconnect() {
    // A new connection starts a new byte stream: nothing of the old one counts.
    newstream();
    log_.wlog(zo::LOG_INF, "Quorvane ipc connected.");

    loginbody body;
    body.f121 = instname_;
    body.f125 = 2;
    body.f133 = 50;
    // No resend: without a reply the client's 15 s limit ends the connection.
    sendpkg(fn_login, body, "onconnect()", "send login failed.");
}

void session::ondisconnect() {
    // Control packages still in the client's buffer go with the connection.
    settlectrl();
    size_t pkgs = ctrlsent_.size() - ctrlsentfrom_, records = 0;
    for (size_t i = ctrlsentfrom_; i < ctrlsent_.size(); ++i) records += ctrlsent_[i].records;
    ctrlsent_.clear();
    ctrlsentfrom_ = 0;
    if (records) {
        ctrllost_ += records;
        log_.wlog(zo::LOG_WRN,
                  "dbctrlout lost %zu records in %zu packages not sent before the disconnect, "
                  "%llu lost since start.",
                  records, pkgs, static_cast<unsigned long long>(ctrllost_));
    }
    // One loss after a login (or the very first failed connect) is reported
    // once; a refused login is followed by no line.
    if (discstate_ == discnone) {
        log_.wlog(zo::LOG_WRN, "Quorvane ipc disconnect");
        discstate_ = discreported;
    }
    logintime_ = 0;
}

int32_t session::onrecv(const char* data, int32_t length) {
    zo::string out;
    out.reserve(recvroom);
    int r = pkgpb3::splitpkg(split_, data, length > 0 ? static_cast<uint32_t>(length) : 0u, out);
    while (r == 1) {
        if (dispatch(out) == -1) return -1;
        if (split_.wpos - split_.rpos < 8) return 0;
        r = pkgpb3::splitpkg(split_, nullptr, 0, out);
    }
    if (r == 0) return 0;
    log_.wlog(zo::LOG_ERR, "split pkg failed @onrecv.");
    log_.wlog(zo::LOG_ERR,
              "ipc stream out of step: %s; %u received bytes dropped with the connection.",
              split_.lasterr, split_.wpos - split_.rpos);
    return -1;
}

void session::do_ctrlorder(const zo::string& pkg, const pb3head& head) {
    unkownbody body;
    if (!pkgpb3::parsebody(pkg, head, body)) {
        ++counts_.pkgsrefused;
        log_.wlog(zo::LOG_ERR, "do_ctrlorder parse body_unkown failed from io-server. %s",
                  body.errmsg());
        return;
    }
    if (body.vi32 == unkownbody::PROCESS_CTRL_EXIT) {
        // The console loop ends after the current poll pass.
        exitordered_ = true;
        log_.wlog(zo::LOG_INF, "read ctrl order PROCESS_CTRL_EXIT from io-server.");
    }
}

namespace {

// Makes a heap body and decodes the package into it; null (logged with who
// sent it and the body's class name) when it does not decode.
template <class B>
B* heapbody(zo::ilog* log, const zo::string& pkg, const pb3head& head, uint32_t reserve,
            const char* from, const char* what) {
    B* body = new (std::nothrow) B();
    if (!body) {
        ZO_LOG(log, zo::LOG_ERR, "msg(funid=%d,seqno=%d,subno=%d) from io-server: no memory.",
               static_cast<int>(head.funid), static_cast<int>(head.seqno),
               static_cast<int>(head.subno));
        return nullptr;
    }
    if constexpr (requires { body->items; }) {
        body->items.reserve(reserve);
    }
    if (!pkgpb3::parsebody(pkg, head, *body)) {
        ZO_LOG(log, zo::LOG_ERR, "msg(funid=%d,seqno=%d,subno=%d) from %s parse %s failed. %s ",
               static_cast<int>(head.funid), static_cast<int>(head.seqno),
               static_cast<int>(head.subno), from, what, body->errmsg());
        delete body;
        return nullptr;
    }
    return body;
}

}  // namespace

int32_t session::dispatch(const zo::string& pkg) {
    ++counts_.pkgsreceived;
    pb3head head;
    if (!pkgpb3::parsehead(pkg, head)) {
        ++counts_.pkgsrefused;
        // parsehead also refuses a head that decodes but is not acceptable;
        // only a failed decode leaves a reason in errcode.
        if (head.errcode != 0) {
            log_.wlog(zo::LOG_ERR, "parse pb3msg_head failed.");
        } else {
            log_.wlog(zo::LOG_ERR,
                      "pb3msg_head error(ver = %d, encode = %u,srcsize = %u) from IOServer.",
                      static_cast<int>(head.ver), head.encode, head.srcsize);
        }
        return -1;
    }

    switch (head.funid) {
        case fn_loginreply: {
            loginbody body;
            if (!pkgpb3::parsebody(pkg, head, body)) {
                ++counts_.pkgsrefused;
                log_.wlog(zo::LOG_ERR, "parse pb3msg_body_login failed from zelserver. %s ",
                          body.errmsg());
                return -1;
            }
            if (body.retcode != 0) {
                // Stays connected, not logged in: the client's 15 s limit
                // ends the connection unless the IO server closes it first.
                log_.wlog(zo::LOG_ERR, "login io-server failed. retcode = %d, retmsg = %s",
                          static_cast<int>(body.retcode), body.retmsg.c_str());
                discstate_ = discrefused;
                return 0;
            }
            loginval_ = static_cast<int32_t>(body.f95);
            logintime_ = zo::nowms();
            client_.state = zo::ipcwrk::loggedin;
            discstate_ = discnone;
            log_.wlog(zo::LOG_INF, "login io-server success.");
            return 0;
        }
        case fn_ctrlorder:
            do_ctrlorder(pkg, head);
            return 0;
        case fn_values:
        case fn_values2:
        case fn_values3: {
            tagvalbody* body = heapbody<tagvalbody>(&log_, pkg, head, valreserve, "io-server",
                                                    "body_objarray<pbo_tagval<>>");
            if (!body) {
                ++counts_.pkgsrefused;
                return 0;
            }
            counts_.valsreceived += body->items.size();
            queueval(body);
            return 0;
        }
        case fn_soe: {
            soebody* body = heapbody<soebody>(&log_, pkg, head, soereserve, "io-server",
                                              "body_objarray<pbo_soe<>>");
            if (!body) {
                ++counts_.pkgsrefused;
                return 0;
            }
            counts_.soesreceived += body->items.size();
            queuesoe(body);
            return 0;
        }
        case fn_regtags:
        case fn_unregtags: {
            regbody* body = heapbody<regbody>(&log_, pkg, head, 0, "zelserver", "body_unkown");
            if (!body) {
                ++counts_.pkgsrefused;
                return 0;
            }
            size_t tags = body->strs.size();
            // vi32 is how the link instance tells a withdrawal from a
            // registration.
            if (head.funid == fn_unregtags) body->vi32 = fn_unregtags;
            int queued = static_cast<int>(queuereg(body));
            log_.wlog(zo::LOG_DBG,
                      head.funid == fn_unregtags ? "putreagwtagdel tags %zu, num_buf_pkgs = %d"
                                                 : "putreagwtag tags %zu, num_buf_pkgs = %d",
                      tags, queued);
            return 0;
        }
        case fn_dbmsg: {
            unkownbody body;
            if (!pkgpb3::parsebody(pkg, head, body)) {
                ++counts_.pkgsrefused;
                log_.wlog(zo::LOG_ERR,
                          "msg(funid=%d,seqno=%d,subno=%d) from zelserver parse body_unkown "
                          "failed. %s ",
                          static_cast<int>(head.funid), static_cast<int>(head.seqno),
                          static_cast<int>(head.subno), body.errmsg());
                return 0;
            }
            putdbmsg(body.vstr.data(), static_cast<int>(body.vstr.size()));
            return 0;
        }
        default:
            ++counts_.pkgsrefused;
            log_.wlog(zo::LOG_ERR, "unkown pb3 request funid = %d from zelserver.",
                      static_cast<int>(head.funid));
            return 0;
    }
}

// The link instance reads its handle for putmsg itself: a message goes to
// the database only when a client-library handle exists (never in gapudp
// mode).
void session::queueval(tagvalbody* body) {
    link_.pushval(body);
}
void session::queuesoe(soebody* body) {
    link_.pushsoe(body);
}
size_t session::queuereg(regbody* body) {
    return link_.pushreg(body);
}
void session::putdbmsg(const char* text, int length) {
    link_.putmsg(text, length);
}

// ---- the reports ----------------------------------------------------------------
//
// The session's own packages to the IO server, all sent from ontimer(), which
// the IPC client calls at the start of every poll pass on the main thread:
//  - control values that operators wrote into the database (3214), drained
//    on every pass and sent only while logged in;
//  - run information (3206) once for every new second a pass sees, and at
//    every change of the database connection;
//  - the request for the write tags (3211) in the pass that takes a change
//    of the database connection while both the database and the IO server
//    are connected.
// A package goes out whole or not at all (see zo::ipcwrk::send).  Run
// information and the write-tag request are not retried: a refused or
// failed one is counted by the client or logged, and the next pass goes
// on.  Control values are not given up so easily: see do_dbctrlout.
void session::ontimer() {
    do_dbctrlout();
    if (link_.takestatechanged()) {
        do_updateruninfo();
        if (link_.isconnected() && client_.state == zo::ipcwrk::loggedin) {
            unkownbody body;
            sendpkg(fn_regwtagget, body, "ontimer()", "send regwtag get failed.");
        }
        return;
    }
    int64_t sec = zo::nowsec();
    if (sec != lastinfosec_) {
        lastinfosec_ = sec;
        do_updateruninfo();
    }
}

void session::do_updateruninfo() {
    if (client_.state != zo::ipcwrk::loggedin) return;  // nothing is sampled while not logged in

    runinfoarray body(runinfo::itemfield);
    runinfo* r = body.process_info().emplace();
    if (!r) {
        log_.wlog(zo::LOG_ERR, "pkgpb3::makepkg failed @ do_updateruninfo(). %s", "no memory");
        return;
    }
    r->f160 = instname_;
    r->f161 = static_cast<uint32_t>(loginval_);
    r->f162 = pid_;
    r->f163 = procstat::samplecpu(cpustate_);
    r->f164 = 0;
    r->f165 = procstat::workingset();
    r->f166 = static_cast<uint64_t>(starttime_);
    r->f167 = static_cast<uint64_t>(logintime_);
    r->f168 = static_cast<uint64_t>(zo::nowms());
    link_.curdburl(r->f169);
    r->f170 = 2;
    r->f171 = 50;
    r->f172 = link_.isconnected() ? 0 : 3;

    sendpkg(fn_runinfo, body, "do_updateruninfo()", "send runinfo failed.");
}

void session::do_dbctrlout() {
    settlectrl();
    if (!heldctrl_.items.empty()) {
        // Values refused by a full send buffer (or cut off by a drop) go
        // first, whole, once logged in and there is room for them.
        if (client_.state == zo::ipcwrk::loggedin && client_.room() >= heldsize_)
            sendctrl(heldctrl_);
        return;
    }
    // Drained on every pass, logged in or not: values written while the IO
    // server is away are dropped, not sent late.
    tagvalbody body(tagval::itemfield);
    drainctrl(&body);
    if (body.items.empty()) return;
    if (client_.state != zo::ipcwrk::loggedin) {
        ctrllost_ += body.items.size();
        log_.wlog(zo::LOG_WRN, "dbctrlout dropped %zu records, io-server not logged in.",
                  static_cast<size_t>(body.items.size()));
        return;
    }
    sendctrl(body);
}

void session::sendctrl(tagvalbody& body) {
    size_t records = body.items.size();
    zo::string pkg;
    if (buildpkg(fn_dbctrlout, body, "do_dbctrlout()", pkg) != 0) {
        ctrllost_ += records;
        log_.wlog(zo::LOG_WRN, "dbctrlout lost %zu records that do not make a package.", records);
        heldctrl_.items.clear();
        return;
    }
    int32_t r = sendall(pkg);
    if (r == 0) {
        heldctrl_.items.clear();
        ctrlsent_.append(ctrlpkg{client_.accepted(), static_cast<uint32_t>(records)});
        log_.wlog(zo::LOG_DBG, "send dbctrlout to io-server records %zu.", records);
        return;
    }
    // Refused whole (the buffer is full) or not sent at all (the connection
    // dropped): nothing of it is on the stream, so it is kept for later.
    if (r < 0) log_.wlog(zo::LOG_ERR, "send dbctrlout to io-server failed.");
    if (&body != &heldctrl_) heldctrl_.items = std::move(body.items);
    heldsize_ = pkg.size();
}

void session::settlectrl() {
    uint64_t out = client_.written();
    while (ctrlsentfrom_ < ctrlsent_.size() && ctrlsent_[ctrlsentfrom_].end <= out) ++ctrlsentfrom_;
    if (ctrlsentfrom_ == ctrlsent_.size()) {
        ctrlsent_.clear();
        ctrlsentfrom_ = 0;
    }
}

size_t session::drainctrl(tagvalbody* body) {
    return link_.drainctrl(body);
}

}  // namespace zo
