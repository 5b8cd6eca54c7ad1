#include "tools/gaprx/gapdb.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/jsonscan.h"
#include "dblink/oxawrite.h"

using namespace zo;

namespace {

// A request is handed over once it holds this much text.
constexpr uint32_t maxtext = 64000;
// Text in flight, at most, when the library does not tell its queue's bound.
constexpr int64_t defaultbound = 32 << 20;
const char* const snapsname = "oxa_writesnaps";
const char* const insertname = "oxa_insert";
// Between two attempts on a full queue or an absent database.
constexpr auto retrypause = std::chrono::milliseconds(5);
// Record times count 100 ms steps.
constexpr int64_t timestep = 100;

int64_t tomillis(int64_t t) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) * timestep);  // wraps, never traps
}

}  // namespace

// One request handed to the library and not answered yet, or answered as
// not written and waiting to be sent again.
struct gapdb::request {
    gapdb* db;
    uint32_t values;
    uint32_t valsat;  // where the values' array starts in text
    bool insert;      // text is an "oxa_insert" request
    zo::string text;
};

gapdb::gapdb(zo::ilog* log, waitfn keepwaiting, const oxafuncs* fns)
    : log_(log), keepwaiting_(std::move(keepwaiting)), oxa_(fns ? fns : oxadefault()) {}

gapdb::~gapdb() {
    close();
}

bool gapdb::open(const std::string& dburl, const std::string& user, const std::string& pswd,
                 std::string* err) {
    url_ = dburl;
    int h = oxa_->create();
    if (h < 0) {
        *err = "the database library has no handle to give";
        return false;
    }
    oxa_->setmessagenotify(h, on_status, this);
    int r = oxa_->connectex(h, dburl.c_str(), user.c_str(), pswd.c_str(), 0);
    if (r != 0) {
        *err = r == OXA_ERR_URL ? "the database URL names no database the library can open"
                                : "the database connection could not be started";
        oxa_->destory(h);
        return false;
    }
    handle_ = h;
    // After the connect: the URL may set the queue's bound.  Half of it
    // leaves room for the request that crosses the bound.
    int64_t q = oxa_->queuebytes ? oxa_->queuebytes(h) : 0;
    bound_ = q > 0 ? q / 2 : defaultbound;
    return true;
}

void gapdb::on_status(int code, const char* reason, void* self) {
    auto* db = static_cast<gapdb*>(self);
    const char* why = reason && *reason ? reason : "";
    int last = db->laststatus_.exchange(code, std::memory_order_acq_rel);
    switch (code) {
        case OXA_CONNECTED:
            db->connected_.store(true, std::memory_order_release);
            ZO_LOG(db->log_, zo::LOG_INF, "database %s connected.", db->url_.c_str());
            break;
        case OXA_CONNECTFAIL:
            // One line per run of failed attempts.
            if (last != OXA_CONNECTFAIL) {
                ZO_LOG(db->log_, zo::LOG_ERR, "database %s connect failed: %s", db->url_.c_str(),
                       why);
            }
            break;
        case OXA_DISCONNECTED:
            db->connected_.store(false, std::memory_order_release);
            // Our own close is no news.
            ZO_LOG(db->log_, db->closing_ ? zo::LOG_DBG : zo::LOG_WRN,
                   "database %s disconnected: %s", db->url_.c_str(), why);
            break;
        default:
            break;
    }
}

void gapdb::on_response(const char* text, int length, void* user) {
    auto* req = static_cast<request*>(user);
    gapdb* db = req->db;
    const char* name = req->insert ? insertname : snapsname;
    uint32_t bad = 0;
    uint32_t dups = 0;
    bool again = false;
    zo::jsonscan top;
    int32_t status = -1;  // an answer that does not read cannot say it was written
    if (text && length > 0 && top.scan(text, static_cast<size_t>(length)))
        top.getint("status", status);
    if (status != 0) {
        zo::string message;
        top.gettext("message", message);
        // Nothing was written, and writing it again cannot double a row.
        again = (status == OXA_STATUS_DBERROR || status == OXA_STATUS_DISCONNECTED) &&
                !db->closing_.load(std::memory_order_acquire);
        if (!again) bad = req->values;
        ZO_LOG(db->log_, again ? zo::LOG_WRN : zo::LOG_ERR,
               "%s error %d, %s: %u values not written%s", name, static_cast<int>(status),
               message.c_str(), req->values, again ? ", sent again" : "");
    } else {
        int32_t d = 0;
        if (top.getint("dups", d) && d > 0) dups = static_cast<uint32_t>(d);
        // Only the values the database refused are listed.
        if (const zo::jsonentry* vals = top.find("vals"); vals && vals->type == zo::JSON_ARRAY) {
            zo::jsonscan arr;
            zo::jsonscan obj;
            zo::string tag;
            if (arr.scan(vals->val, vals->vallen)) {
                for (const zo::jsonentry& el : arr) {
                    int32_t e = 0;
                    if (!obj.scan(el.val, el.vallen) || !obj.getint("E", e) || e == 0) continue;
                    ++bad;
                    obj.gettext("N", tag);
                    ZO_LOG(db->log_, zo::LOG_ERR, "%s tag %s error %d", name, tag.c_str(),
                           static_cast<int>(e));
                }
            }
        }
        if (bad > req->values) bad = req->values;
        if (dups > req->values - bad) dups = req->values - bad;
    }
    db->inflight_.fetch_sub(req->text.size(), std::memory_order_acq_rel);
    if (again) {
        std::lock_guard<std::mutex> g(db->mu_);
        db->again_.push_back(req);
    } else {
        db->valsbad_.fetch_add(bad, std::memory_order_acq_rel);
        db->valsdup_.fetch_add(dups, std::memory_order_acq_rel);
        db->valsok_.fetch_add(req->values - bad - dups, std::memory_order_acq_rel);
        delete req;
    }
    // After the hand-back: who sees every request answered sees it too.
    db->answered_.fetch_add(1, std::memory_order_acq_rel);
}

// The head of the scratch tag value from the members value and object
// records share.
template <class R>
void gapdb::head(const R& r) {
    tagval& t = scratch_;
    t.clear();
    t.name.assign(r.name, static_cast<uint32_t>(strnlen(r.name, sizeof r.name)));
    t.time = tomillis(r.time);
    t.quality = static_cast<uint8_t>(r.quality);  // see the file comment
    t.vtype = static_cast<uint32_t>(static_cast<int32_t>(r.type));
}

void gapdb::add() {
    if (text_.empty()) {
        text_.reserve(maxtext + 4096);
        // The library answers by the callback's own pointer, so the sequence
        // number only tells requests apart in its log.
        text_.appendf("{\"request\":\"%s\",\"seqno\":%llu,\"vals\":", snapsname,
                      static_cast<unsigned long long>(requests_.load() + 1));
        valsat_ = text_.size();
        text_.append('[');
    } else {
        text_.append(',');
    }
    addvalueobject(text_, scratch_, true);
    ++pending_;
    ++valsin_;
    if (text_.size() >= maxtext) flush();
}

void gapdb::addval(const oxa_valrec& r) {
    head(r);
    tagval& t = scratch_;
    switch (r.type) {
        case 1:
        case 2:
            t.vint = r.v.i32;
            break;
        case 3:
            t.vdouble = r.v.f32;  // narrowed back to the same float by the writer
            break;
        case 4:
            t.vint = r.v.i64;
            break;
        default:
            t.vdouble = r.v.f64;
            break;
    }
    add();
}

void gapdb::addobj(const oxa_objrec& r) {
    head(r);
    scratch_.vbytes.assign(r.data, r.length <= sizeof r.data ? r.length : sizeof r.data);
    add();
}

bool gapdb::pause() {
    if (keepwaiting_ && !keepwaiting_()) return false;
    std::this_thread::sleep_for(retrypause);
    return true;
}

void gapdb::handover(request* req) {
    const char* name = req->insert ? insertname : snapsname;
    auto size = static_cast<int64_t>(req->text.size());
    bool waited = false;
    for (;;) {
        // One request alone may exceed the bound; more may not.
        int64_t busy = inflight_.load(std::memory_order_acquire);
        if (busy > 0 && busy + size > bound_) {
            if (!pause()) break;
            continue;
        }
        // Counted before the call: the answer may come before it returns.
        inflight_.fetch_add(size, std::memory_order_acq_rel);
        requests_.fetch_add(1, std::memory_order_acq_rel);
        int r = oxa_->callmsg(handle_, req->text.data(), static_cast<int>(size), on_response, req);
        if (r == 0) return;  // req is the callback's now
        inflight_.fetch_sub(size, std::memory_order_acq_rel);
        requests_.fetch_sub(1, std::memory_order_acq_rel);
        if (r == OXA_ERR_QUEUEFULL && pause()) {
            if (!waited) ZO_LOG(log_, zo::LOG_DBG, "the database queue is full; waiting");
            waited = true;
            continue;
        }
        ZO_LOG(log_, zo::LOG_ERR, "%s error %d: %u values not written", name, r, req->values);
        break;
    }
    valsbad_.fetch_add(req->values, std::memory_order_acq_rel);
    delete req;
}

void gapdb::resend() {
    std::vector<request*> list;
    {
        std::lock_guard<std::mutex> g(mu_);
        list.swap(again_);
    }
    for (request* req : list) {
        if (!req->insert) {
            // History first and the snapshot only by a later time: values of
            // the same tags written since must not be set back.
            zo::string t;
            t.reserve(req->text.size());
            t.appendf("{\"request\":\"%s\",\"seqno\":%llu,\"vals\":", insertname,
                      static_cast<unsigned long long>(requests_.load() + 1));
            uint32_t at = t.size();
            t.append(req->text.data() + req->valsat, req->text.size() - req->valsat);
            req->text = std::move(t);
            req->valsat = at;
            req->insert = true;
        }
        valsagain_.fetch_add(req->values, std::memory_order_acq_rel);
        handover(req);
    }
}

void gapdb::flush() {
    resend();
    if (pending_ == 0) return;
    text_.append("]}");
    auto* req = new request{this, pending_, valsat_, false, std::move(text_)};
    pending_ = 0;
    handover(req);
}

void gapdb::putsoes(const oxa_soerec* recs, uint32_t n) {
    if (n == 0) return;
    flush();
    soesin_ += n;
    for (;;) {
        int r = oxa_->soeput(handle_, recs, static_cast<int>(n));
        if (r == 0) {
            soesok_ += n;
            return;
        }
        // While the database is away, was lost while it wrote them, is
        // still busy with the queue in front of them, or failed as a whole
        // (nothing written), the records wait here.
        if ((r == OXA_ERR_NOTCONNECTED || r == OXA_ERR_QUEUEFULL || r == OXA_ERR_DB) && pause())
            continue;
        ZO_LOG(log_, zo::LOG_ERR, "oxa_soeput error %d: %u SOE records not written", r, n);
        soesbad_ += n;
        return;
    }
}

bool gapdb::busy() const {
    // Answers first: a request handed back is listed before it is counted.
    if (answered_.load(std::memory_order_acquire) < requests_.load(std::memory_order_acquire))
        return true;
    std::lock_guard<std::mutex> g(mu_);
    return !again_.empty();
}

bool gapdb::drain(int maxms) {
    flush();
    auto quiet = std::chrono::milliseconds(maxms);
    auto end = std::chrono::steady_clock::now() + quiet;
    uint64_t seen = answered_.load(std::memory_order_acquire);
    for (;;) {
        resend();
        if (!busy()) return true;
        auto now = std::chrono::steady_clock::now();
        uint64_t a = answered_.load(std::memory_order_acquire);
        if (a != seen) {
            seen = a;  // a slow database that still answers is waited for
            end = now + quiet;
        } else if (now > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void gapdb::close() {
    if (handle_ < 0) return;
    flush();
    closing_ = true;
    // Answers every request still waiting, as not written: now counted as
    // failed.
    oxa_->disconnect(handle_);
    oxa_->destory(handle_);
    handle_ = -1;
    connected_.store(false, std::memory_order_release);
    uint64_t left = 0;
    std::lock_guard<std::mutex> g(mu_);
    for (request* req : again_) {
        left += req->values;
        delete req;
    }
    again_.clear();
    if (left) {
        valsbad_.fetch_add(left, std::memory_order_acq_rel);
        ZO_LOG(log_, zo::LOG_ERR, "%llu values not written are given up",
               static_cast<unsigned long long>(left));
    }
}
