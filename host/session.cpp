// The session with the IO server: logging in when the IPC link connects,
// cutting the received bytes into packages, and acting on each package by its
// function number.  Everything here runs on the main thread inside the IPC
// client's poll passes.
//
// Packages are acted on whether or not the login has succeeded: tag values,
// SOE records and registrations are queued for the link instance in any
// state.  A body put on a queue belongs to the queue from then on.
#include <new>

#include "base/env.h"
#include "host/velmarhost.h"
#include "protoc3/funid.h"

namespace {

constexpr uint32_t recvroom = 32000;
constexpr uint32_t valreserve = 100;
constexpr uint32_t soereserve = 8;

}  // namespace

int32_t velmarhost::buildpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                             zo::string& pkg) {
    pb3head head;
    head.ver = protover;
    head.funid = funid;
    head.seqno = nextseqno();
    if (!pkgpb3::makepkg(head, body, pkg)) {
        log.wlog(zo::LOG_ERR, "pkgpb3::makepkg failed @ %s. %s", where, body.errmsg());
        return -1;
    }
    return 0;
}

int32_t velmarhost::sendpkg(uint32_t funid, zo::cls_protoc3<zo::string>& body, const char* where,
                            const char* sendfail) {
    zo::string pkg;
    if (buildpkg(funid, body, where, pkg) != 0) return -1;
    int32_t r = sendall(pkg);
    if (r < 0) log.wlog(zo::LOG_ERR, "%s", sendfail);
    return r;
}

int32_t velmarhost::sendall(const zo::string& pkg) {
    int32_t n = send(pkg.data(), pkg.size(), &log);
    if (n < 0) return -1;
    return n == 0 && pkg.size() > 0 ? 1 : 0;
}

void velmarhost::onconnect() {
    // A new connection starts a new byte stream: nothing of the old one counts.
    split.reset();
    log.wlog(zo::LOG_INF, "Quorvane ipc connected.");

    loginbody body;
    body.f121 = instname;
    body.f125 = 2;
    body.f133 = 50;
    // No resend: without a reply the client's 15 s limit ends the connection.
    sendpkg(fn_login, body, "onconnect()", "send login failed.");
}

void velmarhost::ondisconnect() {
    // Control packages still in the client's buffer go with the connection.
    settlectrl();
    size_t pkgs = ctrlsent.size() - ctrlsentfrom, records = 0;
    for (size_t i = ctrlsentfrom; i < ctrlsent.size(); ++i) records += ctrlsent[i].records;
    ctrlsent.clear();
    ctrlsentfrom = 0;
    if (records) {
        ctrllost += records;
        log.wlog(zo::LOG_WRN,
                 "dbctrlout lost %zu records in %zu packages not sent before the disconnect, "
                 "%llu lost since start.",
                 records, pkgs, static_cast<unsigned long long>(ctrllost));
    }
    // One loss after a login (or the very first failed connect) is reported
    // once; a refused login (discstate 1) is followed by no line.
    if (discstate == 0) {
        log.wlog(zo::LOG_WRN, "Quorvane ipc disconnect");
        discstate = 2;
    }
    logintime = 0;
}

int32_t velmarhost::onrecv(const char* data, int32_t length) {
    zo::string out;
    out.reserve(recvroom);
    int r = pkgpb3::splitpkg(split, data, length > 0 ? static_cast<uint32_t>(length) : 0u, out);
    while (r == 1) {
        if (dispatch(out) == -1) return -1;
        if (split.wpos - split.rpos < 8) return 0;
        r = pkgpb3::splitpkg(split, nullptr, 0, out);
    }
    if (r == 0) return 0;
    log.wlog(zo::LOG_ERR, "split pkg failed @onrecv.");
    log.wlog(zo::LOG_ERR,
             "ipc stream out of step: %s; %u received bytes dropped with the connection.",
             split.lasterr, split.wpos - split.rpos);
    return -1;
}

void velmarhost::do_ctrlorder(const zo::string& pkg, const pb3head& head) {
    unkownbody body;
    if (!pkgpb3::parsebody(pkg, head, body)) {
        ++pkgsrefused;
        log.wlog(zo::LOG_ERR, "do_ctrlorder parse body_unkown failed from io-server. %s",
                 body.errmsg());
        return;
    }
    if (body.vi32 == unkownbody::PROCESS_CTRL_EXIT) {
        // The console loop ends after the current poll pass.
        exitflag = exitorder;
        log.wlog(zo::LOG_INF, "read ctrl order PROCESS_CTRL_EXIT from io-server.");
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

int32_t velmarhost::dispatch(const zo::string& pkg) {
    ++pkgsreceived;
    pb3head head;
    if (!pkgpb3::parsehead(pkg, head)) {
        ++pkgsrefused;
        // parsehead also refuses a head that decodes but is not acceptable;
        // only a failed decode leaves a reason in errcode.
        if (head.errcode != 0) {
            log.wlog(zo::LOG_ERR, "parse pb3msg_head failed.");
        } else {
            log.wlog(zo::LOG_ERR,
                     "pb3msg_head error(ver = %d, encode = %u,srcsize = %u) from IOServer.",
                     static_cast<int>(head.ver), head.encode, head.srcsize);
        }
        return -1;
    }

    switch (head.funid) {
        case fn_loginreply: {
            loginbody body;
            if (!pkgpb3::parsebody(pkg, head, body)) {
                ++pkgsrefused;
                log.wlog(zo::LOG_ERR, "parse pb3msg_body_login failed from zelserver. %s ",
                         body.errmsg());
                return -1;
            }
            if (body.retcode != 0) {
                // Stays at state 1: the client's 15 s limit ends the
                // connection unless the IO server closes it first.
                log.wlog(zo::LOG_ERR, "login io-server failed. retcode = %d, retmsg = %s",
                         static_cast<int>(body.retcode), body.retmsg.c_str());
                discstate = 1;
                return 0;
            }
            loginval = static_cast<int32_t>(body.f95);
            logintime = zo::nowms();
            state = 2;
            discstate = 0;
            log.wlog(zo::LOG_INF, "login io-server success.");
            return 0;
        }
        case fn_ctrlorder:
            do_ctrlorder(pkg, head);
            return 0;
        case fn_values:
        case fn_values2:
        case fn_values3: {
            tagvalbody* body = heapbody<tagvalbody>(&log, pkg, head, valreserve, "io-server",
                                                    "body_objarray<pbo_tagval<>>");
            if (!body) {
                ++pkgsrefused;
                return 0;
            }
            valsreceived += body->items.size();
            queueval(body);
            return 0;
        }
        case fn_soe: {
            soebody* body = heapbody<soebody>(&log, pkg, head, soereserve, "io-server",
                                              "body_objarray<pbo_soe<>>");
            if (!body) {
                ++pkgsrefused;
                return 0;
            }
            soesreceived += body->items.size();
            queuesoe(body);
            return 0;
        }
        case fn_regtags:
        case fn_unregtags: {
            regbody* body = heapbody<regbody>(&log, pkg, head, 0, "zelserver", "body_unkown");
            if (!body) {
                ++pkgsrefused;
                return 0;
            }
            size_t tags = body->strs.size();
            // vi32 is how the link instance tells a withdrawal from a
            // registration.
            if (head.funid == fn_unregtags) body->vi32 = fn_unregtags;
            int queued = static_cast<int>(queuereg(body));
            log.wlog(zo::LOG_DBG,
                     head.funid == fn_unregtags ? "putreagwtagdel tags %zu, num_buf_pkgs = %d"
                                                : "putreagwtag tags %zu, num_buf_pkgs = %d",
                     tags, queued);
            return 0;
        }
        case fn_dbmsg: {
            unkownbody body;
            if (!pkgpb3::parsebody(pkg, head, body)) {
                ++pkgsrefused;
                log.wlog(zo::LOG_ERR,
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
            ++pkgsrefused;
            log.wlog(zo::LOG_ERR, "unkown pb3 request funid = %d from zelserver.",
                     static_cast<int>(head.funid));
            return 0;
    }
}

// The link instance reads its handle for putmsg itself: a message goes to
// the database only when a client-library handle exists (never in gapudp
// mode).
void velmarhost::queueval(tagvalbody* body) {
    link.pushval(body);
}
void velmarhost::queuesoe(soebody* body) {
    link.pushsoe(body);
}
size_t velmarhost::queuereg(regbody* body) {
    return link.pushreg(body);
}
void velmarhost::putdbmsg(const char* text, int length) {
    link.putmsg(text, length);
}
