#include "dblink/oxawriter.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/array_.h"
#include "base/env.h"
#include "base/jsonscan.h"
#include "base/jsonwrite.h"
#include "dblink/dbrecords.h"
#include "dblink/oxawrite.h"

namespace zo {

namespace {

// A request is closed once, after a package, it holds this much text or
// more than maxobjects object values; one write_snapshots closes at most
// maxrounds requests before the SOE and registration rings get their turn.
constexpr uint32_t maxtext = 64000;
constexpr uint32_t maxobjects = 80;
constexpr int maxrounds = 10;
// Versions of the database from this one on read "T" as milliseconds.
constexpr int inttimeversion = 5104;

const char* const snapsname = "oxa_writesnaps";
const char* const insertname = "oxa_insert";
const char* const nocache = "no local cache";
const char* const refusedby = "refused by the database";

}  // namespace

// One request handed to the library and not settled yet.  The answer fills
// result, refusedvals and dups on the library's thread; everything else is
// set before the hand-over and read again only on the writer thread.
struct oxawriter::flight {
    oxawriter* owner = nullptr;
    flight* prev = nullptr;
    flight* next = nullptr;
    int32_t seqno = 0;
    bool history = false;
    outcome result = pending;
    uint32_t bytes = 0;
    uint32_t values = 0;
    uint32_t objects = 0;
    uint32_t refusedvals = 0;
    uint32_t dups = 0;
    zo::array_<tagvalbody*> pkgs;

    ~flight() {
        for (tagvalbody* p : pkgs) delete p;
    }
};

namespace {

template <class F>
void linkfront(F*& head, F* f) {
    f->prev = nullptr;
    f->next = head;
    if (head) head->prev = f;
    head = f;
}

template <class F>
void unlink(F*& head, F* f) {
    if (f->prev)
        f->prev->next = f->next;
    else
        head = f->next;
    if (f->next) f->next->prev = f->prev;
    f->prev = f->next = nullptr;
}

template <class F>
void freeall(F*& head) {
    while (F* f = head) {
        head = f->next;
        delete f;
    }
}

}  // namespace

oxawriter::oxawriter(zo::ilog* lg, const oxafuncs* fns, valring* valq,
                     const std::atomic<uint8_t>* connected, localcache* cache)
    : log_(lg), oxa_(fns), valq_(valq), connected_(connected), cache_(cache) {
    text_.reserve(maxtext + 4096);
}

oxawriter::~oxawriter() {
    std::lock_guard<std::mutex> g(mu_);
    freeall(pending_);
    freeall(answered_);
}

void oxawriter::sethandle(int h) {
    handle_ = h;
    bound_ = maxinflight;
    if (h < 0 || !oxa_->queuebytes) return;
    // Half the library's queue leaves room for the request that crosses the
    // bound and for the replayed blocks.
    int64_t q = oxa_->queuebytes(h);
    if (q > 0) bound_ = std::min(maxinflight, static_cast<size_t>(q / 2));
}

bool oxawriter::integertimes() {
    return oxa_->curdb_inver(handle_) >= inttimeversion;
}

oxawriter::flight* oxawriter::open(bool history) {
    auto* f = new flight;
    f->owner = this;
    f->history = history;
    seqno_ = seqno_ >= lastseqno ? firstseqno : seqno_ + 1;
    f->seqno = seqno_;
    text_.clear();
    text_.appendf("{\"request\":\"%s\",\"seqno\":%d,\"vals\":[", history ? insertname : snapsname,
                  seqno_);
    return f;
}

void oxawriter::addvalues(flight* f, const tagvalbody& body, bool inttimes) {
    for (const tagval& t : body.items) {
        if (f->values++) text_.append(',');
        addvalueobject(text_, t, inttimes);
        if (t.vtype >= 6) ++f->objects;
    }
}

void oxawriter::send(flight* f) {
    text_.append("]}");
    f->bytes = text_.size();
    if (f->history) ++replay_;
    inflight_ += f->bytes;
    {
        // Listed before the call: the answer may come before it returns.
        std::lock_guard<std::mutex> g(mu_);
        linkfront(pending_, f);
    }
    const char* name = f->history ? insertname : snapsname;
    int r = oxa_->callmsg(handle_, text_.data(), static_cast<int>(text_.size()), on_response, f);
    text_.clear();
    if (r == 0) return;
    // Refused: no answer will come.
    ZO_LOG(log_, zo::LOG_ERR, "%s error %d", name, r);
    {
        std::lock_guard<std::mutex> g(mu_);
        unlink(pending_, f);
    }
    f->result = r == OXA_ERR_ARG ? refused : notwritten;
    finish(f);
}

void oxawriter::write_snapshots(tagvalbody*& slot, bool others_pending) {
    assert(!livefull());
    bool inttimes = integertimes();
    int rounds = maxrounds;
    flight* f = nullptr;
    while (slot) {
        if (slot->items.empty()) {
            delete slot;
        } else {
            if (!f) f = open(false);
            addvalues(f, *slot, inttimes);
            f->pkgs.push_back(slot);
            if (f->objects > maxobjects || text_.size() >= maxtext) {
                send(f);
                f = nullptr;
                --rounds;
            }
        }
        slot = nullptr;
        if (rounds == 0 || others_pending || !connected_->load(std::memory_order_acquire) ||
            (!f && livefull()))
            break;
        slot = valq_->pop();
    }
    if (f) send(f);
}

void oxawriter::inserthistory(tagvalarray* body) {
    if (!body) return;
    if (body->items.empty()) {
        delete body;
        return;
    }
    flight* f = open(true);
    addvalues(f, *body, integertimes());
    f->pkgs.push_back(body);
    send(f);
}

void oxawriter::write_soe(const soebody& body) {
    writesoe(body, false);
}

void oxawriter::writesoe(const soebody& body, bool history) {
    uint32_t n = body.items.size();
    if (n == 0) return;
    auto* recs = static_cast<oxa_soerec*>(zo::zo_alloc(sizeof(oxa_soerec) * n));
    if (!recs) {
        ZO_LOG(log_, zo::LOG_ERR, "no memory for %u soe records", n);
        spill(body);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) tosoerec(body.items[i], recs[i]);
    int r = oxa_->soeput(handle_, recs, static_cast<int>(n));
    zo::zo_free(recs);
    if (r == 0) {
        (history ? soes_.replayed : soes_.written) += n;
        lastwrite_ = zo::nowms();
        return;
    }
    ZO_LOG(log_, zo::LOG_ERR, "oxa_soeput error %d", r);
    if (r == OXA_ERR_ARG) {
        (history ? soes_.replayrefused : soes_.refused) += n;
        dropsoe(n, refusedby);
    } else {
        spill(body);
    }
}

void oxawriter::register_ctrltags(const regbody& body) {
    const bool del = body.vi32 == 3512;
    const char* name = del ? "oxa_regctrltags_del" : "oxa_regctrltags_put";
    zo::string text;
    text.reserve(2000);
    text.appendf("{\"request\":\"%s\",\"seqno\":0,\"tags\":[", name);
    int tags = 0;
    for (const zo::string& tag : body.strs) {
        // A control value must come back under the name registered; the
        // library's rule says which names can (oxaapi.h, oxa_ctrlname).
        const char* why = nullptr;
        if (!del && oxa_ctrlname(tag.data(), static_cast<int>(tag.size()), &why) != 0) {
            ZO_LOG(log_, zo::LOG_WRN, "ctrl tag %.*s refused: %s", static_cast<int>(tag.size()),
                   tag.data(), why ? why : "");
            continue;
        }
        if (tags++) text.append(',');
        text.append('"');
        zo::jsonaddesctext(text, tag.view());
        text.append('"');
    }
    text.append("]}");
    oxa_->putmsg(handle_, text.data(), static_cast<int>(text.size()));
    ZO_LOG(log_, zo::LOG_DBG, "%s size%zu, tags %d", name, static_cast<size_t>(text.size()), tags);
}

void oxawriter::spill(tagvalbody* body) {
    if (!body) return;
    uint64_t n = body->items.size();
    if (n > 0) {
        if (cache_ && cache_->hasdirectory()) {
            cache_->puttagvals(body);
            totals_.spilled += n;
            vals_.cached += n;
        } else {
            vals_.nocache += n;
            drop(n, nocache);
        }
    }
    delete body;
}

void oxawriter::spill(const soebody& body) {
    uint64_t n = body.items.size();
    if (n == 0) return;
    if (cache_ && cache_->hasdirectory()) {
        cache_->putsoes(&body);
        totals_.spilled += n;
        soes_.cached += n;
    } else {
        soes_.nocache += n;
        dropsoe(n, nocache);
    }
}

void oxawriter::drop(uint64_t values, const char* why) {
    totals_.dropped += values;
    (why == nocache ? nocache_ : refusedvals_) += values;
}

void oxawriter::dropsoe(uint64_t records, const char* why) {
    totals_.dropped += records;
    (why == nocache ? nocachesoe_ : refusedsoe_) += records;
}

void oxawriter::finish(flight* f) {
    if (f->history) --replay_;
    inflight_ -= f->bytes;
    switch (f->result) {
        case written: {
            uint32_t bad = f->refusedvals + f->dups;
            uint64_t good = f->values > bad ? f->values - bad : 0;
            totals_.written += good;
            (f->history ? vals_.replayed : vals_.written) += good;
            (f->history ? vals_.replaydups : vals_.dups) += f->dups;
            (f->history ? vals_.replayrefused : vals_.refused) += f->refusedvals;
            if (good) lastwrite_ = zo::nowms();
            totals_.dups += f->dups;
            dupvals_ += f->dups;
            if (f->refusedvals) drop(f->refusedvals, refusedby);
            break;
        }
        case notwritten:
            for (tagvalbody*& p : f->pkgs) {
                spill(p);
                p = nullptr;
            }
            break;
        default:
            (f->history ? vals_.replayrefused : vals_.refused) += f->values;
            drop(f->values, refusedby);
            break;
    }
    delete f;
}

size_t oxawriter::settle() {
    flight* list;
    {
        std::lock_guard<std::mutex> g(mu_);
        list = answered_;
        answered_ = nullptr;
    }
    size_t n = 0;
    while (flight* f = list) {
        list = f->next;
        finish(f);
        ++n;
    }
    return n;
}

void oxawriter::waitanswer(std::chrono::milliseconds maxwait) {
    std::unique_lock<std::mutex> g(mu_);
    answered_cv_.wait_for(g, maxwait, [this] { return answered_ != nullptr; });
}

void oxawriter::flushcounts() {
    if (cache_) {
        uint64_t vals = 0, soes = 0;
        cache_->takelost(&vals, &soes);
        if (vals)
            ZO_LOG(log_, zo::LOG_WRN, "dropped %llu tag values (cache write failed).",
                   static_cast<unsigned long long>(vals));
        if (soes)
            ZO_LOG(log_, zo::LOG_WRN, "dropped %llu soe records (cache write failed).",
                   static_cast<unsigned long long>(soes));
    }
    if (nocache_)
        ZO_LOG(log_, zo::LOG_WRN, "dropped %llu tag values (%s).",
               static_cast<unsigned long long>(nocache_), nocache);
    if (refusedvals_)
        ZO_LOG(log_, zo::LOG_WRN, "dropped %llu tag values (%s).",
               static_cast<unsigned long long>(refusedvals_), refusedby);
    if (nocachesoe_)
        ZO_LOG(log_, zo::LOG_WRN, "dropped %llu soe records (%s).",
               static_cast<unsigned long long>(nocachesoe_), nocache);
    if (refusedsoe_)
        ZO_LOG(log_, zo::LOG_WRN, "dropped %llu soe records (%s).",
               static_cast<unsigned long long>(refusedsoe_), refusedby);
    if (dupvals_)
        ZO_LOG(log_, zo::LOG_INF, "%llu tag values already in history with the same name and time.",
               static_cast<unsigned long long>(dupvals_));
    nocache_ = refusedvals_ = dupvals_ = nocachesoe_ = refusedsoe_ = 0;
}

void oxawriter::on_response(const char* text, int length, void* user) {
    auto* f = static_cast<flight*>(user);
    if (!f) return;
    oxawriter* self = f->owner;
    // An answer that does not read cannot say the values were written.
    outcome result = refused;
    uint32_t refusedvals = 0;
    int32_t dups = 0;
    zo::jsonscan top;
    const zo::jsonentry* st = nullptr;
    if (text && length > 0 && top.scan(text, static_cast<size_t>(length))) st = top.find("status");
    if (!st) {
        ZO_LOG(self->log_, zo::LOG_ERR, "answer to request %d does not read, %u values dropped",
               f->seqno, f->values);
    } else {
        zo::string response;
        top.gettext("response", response);
        char num[32];
        size_t n = st->vallen < 31 ? st->vallen : 31;
        std::memcpy(num, st->val, n);
        num[n] = 0;
        int status = static_cast<int>(std::strtol(num, nullptr, 10));
        if (status != 0) {
            zo::string message;
            top.gettext("message", message);
            ZO_LOG(self->log_, zo::LOG_ERR, "%s error %d, %s", response.c_str(), status,
                   message.c_str());
            // The database failed as a whole or went away: nothing was
            // written, and writing it again cannot double a row.
            if (status == OXA_STATUS_DBERROR || status == OXA_STATUS_DISCONNECTED)
                result = notwritten;
        } else {
            result = written;
            if (top.getint("dups", dups) && dups < 0) dups = 0;
            const zo::jsonentry* vals = top.find("vals");
            zo::jsonscan arr;
            if (vals && vals->type == zo::JSON_ARRAY && arr.scan(vals->val, vals->vallen)) {
                zo::jsonscan obj;
                zo::string tag;
                for (const zo::jsonentry& el : arr) {
                    if (!obj.scan(el.val, el.vallen)) continue;
                    int32_t e = 0;
                    if (!obj.getint("E", e) || e == 0) continue;
                    ++refusedvals;
                    if (obj.gettext("N", tag))
                        ZO_LOG(self->log_, zo::LOG_ERR, "%s tag %s error %d", response.c_str(),
                               tag.c_str(), e);
                }
            }
        }
    }
    {
        std::lock_guard<std::mutex> g(self->mu_);
        f->result = result;
        f->refusedvals = refusedvals < f->values ? refusedvals : f->values;
        f->dups = static_cast<uint32_t>(dups) < f->values ? static_cast<uint32_t>(dups) : f->values;
        unlink(self->pending_, f);
        linkfront(self->answered_, f);
    }
    self->answered_cv_.notify_one();
}

}  // namespace zo
