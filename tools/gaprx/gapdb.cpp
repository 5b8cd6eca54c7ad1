#include "tools/gaprx/gapdb.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/jsonscan.h"
#include "dblink/oxawrite.h"

namespace {

// A request is handed over once it holds this much text.
constexpr uint32_t maxtext = 64000;
// Between two attempts on a full queue or an absent database.
constexpr auto retrypause = std::chrono::milliseconds(5);
// Record times count 100 ms steps.
constexpr int64_t timestep = 100;

int64_t tomillis(int64_t t) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) * timestep);  // wraps, never traps
}

}  // namespace

// What the response callback needs of one request.
struct gapdb::request {
    gapdb* db;
    uint32_t values;
};

gapdb::gapdb(zo::ilog* log, waitfn keepwaiting) : log_(log), keepwaiting_(std::move(keepwaiting)) {}

gapdb::~gapdb() {
    close();
}

bool gapdb::open(const std::string& dburl, const std::string& user, const std::string& pswd,
                 std::string* err) {
    url_ = dburl;
    int h = oxa_create();
    if (h < 0) {
        *err = "the database library has no handle to give";
        return false;
    }
    oxa_setmessagenotify(h, on_status, this);
    int r = oxa_connectex(h, dburl.c_str(), user.c_str(), pswd.c_str(), 0);
    if (r != 0) {
        *err = r == OXA_ERR_URL ? "the database URL names no database the library can open"
                                : "the database connection could not be started";
        oxa_destory(h);
        return false;
    }
    handle_ = h;
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
    uint32_t bad = 0;
    zo::jsonscan top;
    int32_t status = -1;
    if (text && length > 0 && top.scan(text, static_cast<size_t>(length)))
        top.getint("status", status);
    if (status != 0) {
        bad = req->values;
        zo::string message;
        top.gettext("message", message);
        ZO_LOG(db->log_, zo::LOG_ERR, "oxa_writesnaps error %d, %s: %u values not written",
               static_cast<int>(status), message.c_str(), req->values);
    } else if (const zo::jsonentry* vals = top.find("vals"); vals && vals->type == zo::JSON_ARRAY) {
        // Only the values the database refused are listed.
        zo::jsonscan arr;
        zo::jsonscan obj;
        zo::string tag;
        if (arr.scan(vals->val, vals->vallen)) {
            for (const zo::jsonentry& el : arr) {
                int32_t e = 0;
                if (!obj.scan(el.val, el.vallen) || !obj.getint("E", e) || e == 0) continue;
                ++bad;
                obj.gettext("N", tag);
                ZO_LOG(db->log_, zo::LOG_ERR, "oxa_writesnaps tag %s error %d", tag.c_str(),
                       static_cast<int>(e));
            }
        }
        if (bad > req->values) bad = req->values;
    }
    db->valsbad_.fetch_add(bad, std::memory_order_acq_rel);
    db->valsok_.fetch_add(req->values - bad, std::memory_order_acq_rel);
    delete req;
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
        text_.appendf("{\"request\":\"oxa_writesnaps\",\"seqno\":%llu,\"vals\":[",
                      static_cast<unsigned long long>(requests_.load() + 1));
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

void gapdb::flush() {
    if (pending_ == 0) return;
    text_.append("]}");
    auto* req = new request{this, pending_};
    bool waited = false;
    for (;;) {
        int r =
            oxa_callmsg(handle_, text_.data(), static_cast<int>(text_.size()), on_response, req);
        if (r == 0) {
            requests_.fetch_add(1, std::memory_order_acq_rel);
            break;
        }
        if (r == OXA_ERR_QUEUEFULL && pause()) {
            if (!waited) ZO_LOG(log_, zo::LOG_DBG, "the database queue is full; waiting");
            waited = true;
            continue;
        }
        ZO_LOG(log_, zo::LOG_ERR, "oxa_writesnaps error %d: %u values not written", r, pending_);
        valsbad_.fetch_add(pending_, std::memory_order_acq_rel);
        delete req;
        break;
    }
    text_.clear();
    pending_ = 0;
}

void gapdb::putsoes(const oxa_soerec* recs, uint32_t n) {
    if (n == 0) return;
    flush();
    soesin_ += n;
    for (;;) {
        int r = oxa_soeput(handle_, recs, static_cast<int>(n));
        if (r == 0) {
            soesok_ += n;
            return;
        }
        // While the database is away, or still busy with the queue in front
        // of it, the records wait here.
        if ((r == OXA_ERR_NOTCONNECTED || r == OXA_ERR_QUEUEFULL) && pause()) continue;
        ZO_LOG(log_, zo::LOG_ERR, "oxa_soeput error %d: %u SOE records not written", r, n);
        soesbad_ += n;
        return;
    }
}

bool gapdb::drain(int maxms) {
    flush();
    auto quiet = std::chrono::milliseconds(maxms);
    auto end = std::chrono::steady_clock::now() + quiet;
    uint64_t seen = answered_.load(std::memory_order_acquire);
    while (seen < requests_.load(std::memory_order_acquire)) {
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
    return true;
}

void gapdb::close() {
    if (handle_ < 0) return;
    flush();
    closing_ = true;
    // Answers every request still waiting (as failed when it never ran).
    oxa_destory(handle_);
    handle_ = -1;
    connected_.store(false, std::memory_order_release);
}
