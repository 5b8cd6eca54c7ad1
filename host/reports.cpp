// The host's own packages to the IO server, all sent from ontimer(), which
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
#include <cerrno>
#include <cstring>
#include <new>

#include "base/env.h"
#include "host/procstat.h"
#include "host/velmarhost.h"
#include "protoc3/funid.h"

void velmarhost::ontimer() {
    if (metrics.due(zo::nowms())) writemetrics();
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
    settlectrl();
    if (!heldctrl.items.empty()) {
        // Values refused by a full send buffer (or cut off by a drop) go
        // first, whole, once logged in and there is room for them.
        if (state == 2 && room() >= heldsize) sendctrl(heldctrl);
        return;
    }
    // Drained on every pass, logged in or not: values written while the IO
    // server is away are dropped, not sent late.
    tagvalbody body(tagval::itemfield);
    drainctrl(&body);
    if (body.items.empty()) return;
    if (state != 2) {
        ctrllost += body.items.size();
        log.wlog(zo::LOG_WRN, "dbctrlout dropped %zu records, io-server not logged in.",
                 static_cast<size_t>(body.items.size()));
        return;
    }
    sendctrl(body);
}

void velmarhost::sendctrl(tagvalbody& body) {
    size_t records = body.items.size();
    zo::string pkg;
    if (buildpkg(fn_dbctrlout, body, "do_dbctrlout()", pkg) != 0) {
        ctrllost += records;
        log.wlog(zo::LOG_WRN, "dbctrlout lost %zu records that do not make a package.", records);
        heldctrl.items.clear();
        return;
    }
    int32_t r = sendall(pkg);
    if (r == 0) {
        heldctrl.items.clear();
        ctrlsent.append(ctrlpkg{accepted(), static_cast<uint32_t>(records)});
        log.wlog(zo::LOG_DBG, "send dbctrlout to io-server records %zu.", records);
        return;
    }
    // Refused whole (the buffer is full) or not sent at all (the connection
    // dropped): nothing of it is on the stream, so it is kept for later.
    if (r < 0) log.wlog(zo::LOG_ERR, "send dbctrlout to io-server failed.");
    if (&body != &heldctrl) heldctrl.items = std::move(body.items);
    heldsize = pkg.size();
}

void velmarhost::settlectrl() {
    uint64_t out = written();
    while (ctrlsentfrom < ctrlsent.size() && ctrlsent[ctrlsentfrom].end <= out) ++ctrlsentfrom;
    if (ctrlsentfrom == ctrlsent.size()) {
        ctrlsent.clear();
        ctrlsentfrom = 0;
    }
}

size_t velmarhost::drainctrl(tagvalbody* body) {
    return link.drainctrl(body);
}

void velmarhost::writemetrics() {
    metricsnap m;
    m.pkgsreceived = pkgsreceived;
    m.pkgsrefused = pkgsrefused;
    m.valsreceived = valsreceived;
    m.soesreceived = soesreceived;
    link.stats(&m.link);
    m.connected = link.isconnected();
    int64_t now = zo::nowms();
    scancache(link.cfg().cache_path.view(), now / 1000, &m);
    int64_t since = m.link.lastwritems > 0 ? m.link.lastwritems : starttime;
    m.lastwriteage = now > since ? (now - since) / 1000 : 0;
    m.rssbytes = procstat::workingset();
    m.cpushare = procstat::samplecpu(metricscpu) / 10000.0;
    zo::string text;
    text.reserve(8192);
    metricstext(m, instname.view(), text);
    if (metrics.write(text)) {
        if (metricsfailing)
            log.wlog(zo::LOG_INF, "metrics %s written again.", metrics.path().c_str());
        metricsfailing = false;
    } else if (!metricsfailing) {
        metricsfailing = true;
        log.wlog(zo::LOG_ERR, "write metrics %s failed, %s.", metrics.path().c_str(),
                 std::strerror(errno));
    }
}
