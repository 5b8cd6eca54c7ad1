#include "dblink/velmarinst.h"

#include <strings.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "base/env.h"
#include "base/url.h"

namespace zo {

namespace {

// The writer thread's nap when a cycle found nothing to do.
constexpr auto idlesleep = std::chrono::milliseconds(50);
// Seconds between returns of unused heap memory to the system.
constexpr int64_t trimevery = 10;

bool isgapudp(const zo::string& scheme) {
    return scheme.size() == 6 && strncasecmp(scheme.data(), "gapudp", 6) == 0;
}

}  // namespace

velmarinst::velmarinst(zo::ilog* lg, const oxafuncs* fns)
    : log(lg), oxa(fns ? fns : oxadefault()), valq(lg), soeq(lg), regq(lg), ctrl(lg) {
    tick[0] = tick[1] = zo::nowsec();
}

velmarinst::~velmarinst() {
    // The writer thread runs our run(): it must end before our members go.
    stop();
}

int velmarinst::start(const char* cfgpath, const char* instname) {
    if (started) return 0;
    const char* path = cfgpath ? cfgpath : "";
    if (!config.load_config(path)) {
        ZO_LOG(log, zo::LOG_ERR, "load config %s failed.", path);
        return -1;
    }
    if (!config.check_uplink()) {
        ZO_LOG(log, zo::LOG_ERR, "%s uplink config error.", path);
        return -1;
    }
    const dblink_cfg& first = config.dblinks[0];
    zo::url u;
    gapmode = u.parse(first.url.data(), first.url.size()) && isgapudp(u.scheme);
    if (gapmode) {
        // One way only: the link is "connected" for as long as it runs.
        if (gapudp.open(first.url.data(), first.user.data(), first.pswd.data()) != 0) {
            gapmode = false;
            return -1;
        }
        connected.exchange(1, std::memory_order_acq_rel);
        statechanged.exchange(1, std::memory_order_acq_rel);
    } else if (startclient(first) != 0) {
        return -1;
    }

    if (config.cache_path.empty()) {
        ZO_LOG(log, zo::LOG_INF, "no config local cache for dblink %s.", instname ? instname : "");
    } else if (!makedirs(config.cache_path)) {
        ZO_LOG(log, zo::LOG_ERR, "create local cache %s failed.", config.cache_path.data());
    } else {
        ZO_LOG(log, zo::LOG_INF, "create local cache %s success.", config.cache_path.data());
        cache.configure(config.cache_path.view(), config.cache_maxsize, config.cache_maxhour);
        ZO_LOG(log, zo::LOG_INF, "local cache limit: %d MBytes, %d hours", config.cache_maxsize,
               config.cache_maxhour);
    }

    if (!zo::thread::start()) {
        // Without its writer the process has no purpose: the caller ends it.
        ZO_LOG(log, zo::LOG_ERR, "start Quorvane thread failed.");
        closelinks(true);
        return -1;
    }
    started = true;
    ZO_LOG(log, zo::LOG_INF, "start Quorvane thread success.");
    return 0;
}

int velmarinst::startclient(const dblink_cfg& first) {
    int h = oxa->create();
    if (h < 0) return -1;
    if (!config.slave_host.empty() && config.slave_port != 0) {
        const dblink_cfg& slave = config.dblinks[1];
        oxa->setslavedb(h, config.slave_host.data(), config.slave_port, slave.user.data(),
                        slave.pswd.data());
    }
    handle.store(h, std::memory_order_release);
    oxa->setmessagenotify(h, on_status, this);
    oxa->initwritetodevice(h, ctrlstore::on_value_ctrl, &ctrl, ctrlstore::on_object_ctrl, &ctrl);
    if (oxa->connectex(h, first.url.data(), first.user.data(), first.pswd.data(), 0) != 0) {
        ZO_LOG(log, zo::LOG_ERR, "oxa_connectex %s asynchronous connection failed.",
               first.url.data());
        oxa->destory(h);
        handle.store(-1, std::memory_order_release);
        return -1;
    }
    // After the connect: the URL may set the library's queue bound.
    writer.sethandle(h);
    return 0;
}

void velmarinst::closelinks(bool disconnect) {
    int h = handle.load(std::memory_order_acquire);
    if (h >= 0) {
        if (disconnect) oxa->disconnect(h);
        oxa->destory(h);
        handle.store(-1, std::memory_order_release);
        writer.sethandle(-1);
    }
    gapudp.close();  // logs "close gapudp URL " when it was open
}

void velmarinst::stop() {
    if (!started) return;
    zo::thread::stop();
    started = false;
    ZO_LOG(log, zo::LOG_INF, "stop Quorvane thread success.");
    if (gapmode) {
        // The link is open until the end: what still waits in the rings
        // goes out with the rest instead of into a cache that could never
        // replay it.
        while (tagvalbody* v = valq.pop()) sendgap(v);
        while (soebody* e = soeq.pop()) {
            gapudp.write_soe(*e);
            delete e;
        }
        writer.flushcounts();
        cache.closewriter();
        closelinks(false);
        publish();
        return;
    }
    int h = handle.load(std::memory_order_acquire);
    if (h >= 0) {
        // Answers every request still queued; what was not written goes to
        // the cache below, to be replayed at the next start.
        oxa->disconnect(h);
    }
    writer.settle();
    // What still waits in the rings is cached too, not thrown away with them.
    while (tagvalbody* v = valq.pop()) writer.spill(v);
    while (soebody* e = soeq.pop()) {
        writer.spill(*e);
        delete e;
    }
    writer.flushcounts();
    cache.closewriter();  // what was cached reaches the disk before the process ends
    closelinks(false);
    publish();
}

void velmarinst::publish() {
    std::lock_guard<std::mutex> g(statsmu);
    published.vals = writer.valflow();
    published.soes = writer.soeflow();
    localcache::lostcount lc = cache.losttotal();
    published.cachelostvals = lc.vals;
    published.cachelostsoes = lc.soes;
    published.removedvals = maint.removedvals();
    published.removedsoes = maint.removedsoes();
    published.lastwritems = writer.lastwritems();
}

void velmarinst::stats(stats_t* out) {
    {
        std::lock_guard<std::mutex> g(statsmu);
        *out = published;
    }
    out->ringlostvals = valq.lostrecords();
    out->ringlostsoes = soeq.lostrecords();
    out->valqueued = valq.size();
    out->soequeued = soeq.size();
    out->valslots = valq.slots - 1;
    out->soeslots = soeq.slots - 1;
    int h = handle.load(std::memory_order_acquire);
    out->curdb = h >= 0 ? oxa->curdb(h) : -1;
}

void velmarinst::putmsg(const char* text, int length) {
    int h = handle.load(std::memory_order_acquire);
    if (h < 0 || length < 0) return;
    // An empty message goes on as well: what it means is the library's
    // business.
    if (!text || length == 0) {
        text = "";
        length = 0;
    }
    oxa->putmsg(h, text, length);
}

void velmarinst::run() {
    writer.settle();
    int64_t now = zo::nowsec();
    if (now != lastsecond) {
        lastsecond = now;
        writer.flushcounts();
        gapudp.flushcounts();
        publish();
        // After a burst (a replay, an outage at full rate) the memory goes
        // back to the system instead of staying with the heap.
        if (now % trimevery == 0) zo::zo_trim();
    }
    bool conn = connected.load(std::memory_order_acquire) != 0;
    // Without a cache, values the writer cannot take yet wait in their ring.
    bool hold = !gapmode && conn && writer.livefull() && !cache.hasdirectory();
    tagvalbody* val = hold ? nullptr : valq.pop();
    soebody* soe = soeq.pop();
    regbody* reg = regq.pop();
    if (!val && !soe && !reg) {
        // In gapudp mode no answer comes: a plain nap.
        if (maintaincache() == 0) writer.waitanswer(idlesleep);
        return;
    }
    if (val) {
        if (gapmode) {
            sendgap(val);
        } else if (!connected.load(std::memory_order_acquire) || writer.livefull()) {
            // The database is away, or slower than the IO server: the cache
            // takes the values, and the replay brings them to history later.
            writer.spill(val);
        } else {
            writer.write_snapshots(val, soe != nullptr || reg != nullptr);
        }
    }
    if (soe) {
        if (gapmode) {
            if (!soe->items.empty()) gapudp.write_soe(*soe);
        } else if (!connected.load(std::memory_order_acquire)) {
            writer.spill(*soe);
        } else {
            writer.write_soe(*soe);
        }
        delete soe;
    }
    if (reg) {
        if (gapmode) {
            ZO_LOG(log, zo::LOG_DBG,
                   "gapudp link has no ctrl tags, registration of %zu tags discarded.",
                   reg->strs.size());
        } else if (connected.load(std::memory_order_acquire) && !reg->strs.empty()) {
            writer.register_ctrltags(*reg);
        } else {
            ZO_LOG(log, zo::LOG_DBG,
                   "dblink not connected, ctrl tag registration of %zu tags "
                   "discarded.",
                   reg->strs.size());
        }
        delete reg;
    }
    maintaincache();
}

void velmarinst::sendgap(tagvalbody* val) {
    if (val->items.empty()) {
        delete val;
        return;
    }
    // connected stays 1 in gapudp mode; the link merges while it is.
    gapudp.write_batch(
        val, [this] { return connected.load(std::memory_order_acquire) ? valq.pop() : nullptr; });
}

int velmarinst::maintaincache() {
    return maint.step(connected.load(std::memory_order_acquire) != 0, gapmode);
}

bool velmarinst::makedirs(const zo::string& path) {
    zo::env* e = zo::env::current();
    std::string p(path.view());
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (p.empty()) return true;  // the root
    if (e->isdir(p)) return true;
    for (size_t pos = 1; pos <= p.size(); ++pos) {
        if (pos == p.size() || p[pos] == '/') {
            std::string part = p.substr(0, pos);
            if (!e->isdir(part) && !e->makedir(part)) return false;
        }
    }
    return true;
}

void velmarinst::on_status(int code, const char* reason, void* inst) {
    auto* self = static_cast<velmarinst*>(inst);
    if (!self) return;
    const link_config& c = self->config;
    size_t i = 0;
    if (c.dblinks.size() > 1) {
        int cur = self->oxa->curdb(self->handle.load(std::memory_order_acquire));
        i = cur > 0 ? 1 : 0;
    }
    const char* url = c.dblinks.empty() ? "" : c.dblinks[static_cast<uint32_t>(i)].url.data();
    // The library's reason tells the operator what to fix.
    const char* why = reason ? reason : "";
    const char* sep = *why ? ", " : "";
    switch (code) {
        case statusconnected:
            self->connected.exchange(1, std::memory_order_acq_rel);
            self->statechanged.exchange(1, std::memory_order_acq_rel);
            ZO_LOG(self->log, zo::LOG_INF, "oxa %s connected success.", url);
            self->laststatus.store(code, std::memory_order_release);
            break;
        case statusfailed:
            if (self->laststatus.exchange(code, std::memory_order_acq_rel) != statusfailed) {
                ZO_LOG(self->log, zo::LOG_ERR, "oxa %s connect failed, status %d%s%s.", url, code,
                       sep, why);
            }
            break;
        case statusdisconnected:
            self->connected.exchange(0, std::memory_order_acq_rel);
            self->statechanged.exchange(1, std::memory_order_acq_rel);
            ZO_LOG(self->log, zo::LOG_INF, "oxa %s disconnect, status %d%s%s.", url, code, sep,
                   why);
            self->laststatus.store(code, std::memory_order_release);
            break;
        default:
            break;
    }
}

void velmarinst::curdburl(zo::string& out) {
    out.clear();
    int h = handle.load(std::memory_order_acquire);
    if (h < 0) {
        if (gapmode && !config.dblinks.empty()) out = config.dblinks[0].url;
        return;
    }
    if (oxa->curdb(h) != 0) {
        if (config.dblinks.size() >= 2) out = config.dblinks[1].url;
        return;
    }
    if (!config.dblinks.empty()) out = config.dblinks[0].url;
}

}  // namespace zo
