// The host's own packages to the IO server, all sent from ontimer(), which
// the IPC client calls at the start of every poll pass on the main thread:
//  - control values that operators wrote into the database (3214), drained
//    on every pass and sent only while logged in;
//  - run information (3206) once for every new second a pass sees, and at
//    every change of the database connection;
//  - the request for the write tags (3211) in the pass that takes a change
//    of the database connection while both the database and the IO server
//    are connected.
// Nothing is retried: a failed report is logged and the next pass goes on.
#include <new>

#include "base/env.h"
#include "host/procstat.h"
#include "host/velmarhost.h"
#include "protoc3/funid.h"

void velmarhost::ontimer() {
    do_dbctrlout();
    if (link.takestatechanged()) {
        do_updateruninfo();
        if (link.isconnected() && state == 2) {
            unkownbody body;
            sendpkg(fn_regwtagget, body, "ontimer()", "send regwtag get failed.");
        }
        return;
    }
    int64_t sec = zo::nowsec();
    if (sec != lastinfosec) {
        lastinfosec = sec;
        do_updateruninfo();
    }
}

void velmarhost::do_updateruninfo() {
    if (state != 2) return;  // nothing is sampled while not logged in

    runinfoarray body(runinfo::itemfield);
    runinfo* r = body.process_info().emplace();
    if (!r) {
        log.wlog(zo::LOG_ERR, "pkgpb3::makepkg failed @ do_updateruninfo(). %s", "no memory");
        return;
    }
    r->f160 = instname;
    r->f161 = static_cast<uint32_t>(loginval);
    r->f162 = pid;
    r->f163 = procstat::samplecpu(cpustate);
    r->f164 = 0;
    r->f165 = procstat::workingset();
    r->f166 = static_cast<uint64_t>(starttime);
    r->f167 = static_cast<uint64_t>(logintime);
    r->f168 = static_cast<uint64_t>(zo::nowms());
    link.curdburl(r->f169);
    r->f170 = 2;
    r->f171 = 50;
    r->f172 = link.isconnected() ? 0 : 3;

    sendpkg(fn_runinfo, body, "do_updateruninfo()", "send runinfo failed.");
}

void velmarhost::do_dbctrlout() {
    // Drained on every pass, logged in or not: values written while the IO
    // server is away are dropped, not sent late.
    tagvalbody body(tagval::itemfield);
    drainctrl(&body);
    if (body.items.empty() || state != 2) return;

    if (sendpkg(fn_dbctrlout, body, "do_dbctrlout()", "send dbctrlout to io-server failed.") != 0)
        return;
    log.wlog(zo::LOG_DBG, "send dbctrlout to io-server records %zu.",
             static_cast<size_t>(body.items.size()));
}

size_t velmarhost::drainctrl(tagvalbody* body) {
    return link.drainctrl(body);
}
