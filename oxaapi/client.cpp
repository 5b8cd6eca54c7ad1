#include "oxaapi/client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "oxaapi/codepage.h"
#include "oxaapi/request.h"

namespace oxa {

namespace {

constexpr size_t ctrlbatch = 256;

int64_t asint(const tagrow& r) {
    switch (r.kind) {
        case VAL_INT:
            return r.i;
        case VAL_REAL:
            return static_cast<int64_t>(r.d);
        case VAL_TEXT:
            return std::strtoll(r.bytes.c_str(), nullptr, 10);
        default:
            return 0;
    }
}

double asreal(const tagrow& r) {
    switch (r.kind) {
        case VAL_INT:
            return static_cast<double>(r.i);
        case VAL_REAL:
            return r.d;
        case VAL_TEXT:
            return std::strtod(r.bytes.c_str(), nullptr);
        default:
            return 0;
    }
}

std::string asbytes(const tagrow& r) {
    switch (r.kind) {
        case VAL_INT:
            return std::to_string(r.i);
        case VAL_REAL: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", r.d);
            return buf;
        }
        case VAL_TEXT:
        case VAL_BLOB:
            return r.bytes;
        default:
            return std::string();
    }
}

// Record time unit: 100 ms, truncated toward zero as the program expects.
int64_t rectime(int64_t ms) {
    return ms / 100;
}

}  // namespace

client::client() {
    wakefd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

client::~client() {
    disconnect();
    if (wakefd_ >= 0) ::close(wakefd_);
}

void client::wake() {
    cv_.notify_all();
    if (wakefd_ >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(wakefd_, &one, sizeof one);  // a full counter wakes too
        (void)n;
    }
}

void client::idle(std::chrono::steady_clock::time_point until,
                  std::chrono::steady_clock::time_point* nextpoll) {
    int fd = db_->waitfd();
    if (fd < 0 || wakefd_ < 0) {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait_until(lk, until, [&] { return stop_ || !q_.empty(); });
        return;
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (stop_ || !q_.empty()) return;
    }
    // Whatever wakes us after the look above writes wakefd_, so nothing is
    // missed between it and the poll.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                    .count();
    pollfd p[2] = {{fd, POLLIN, 0}, {wakefd_, POLLIN, 0}};
    if (::poll(p, 2, left > 0 ? static_cast<int>(left) + 1 : 0) > 0) {
        // The database has something for us (a notification): look now.
        if (p[0].revents) *nextpoll = std::chrono::steady_clock::now();
        uint64_t n;
        if (p[1].revents) {
            ssize_t r = ::read(wakefd_, &n, sizeof n);
            (void)r;
        }
    }
}

void client::setnotify(oxa_statusfn fn, void* user) {
    std::lock_guard<std::mutex> lk(mu_);
    statusfn_ = fn;
    statususer_ = user;
}

void client::setctrl(oxa_valuefn valfn, void* valctx, oxa_objectfn objfn, void* objctx) {
    std::lock_guard<std::mutex> lk(mu_);
    valfn_ = valfn;
    valctx_ = valctx;
    objfn_ = objfn;
    objctx_ = objctx;
}

void client::setlog(oxa_logfn fn, void* user) {
    std::lock_guard<std::mutex> lk(mu_);
    logfn_ = fn;
    loguser_ = user;
}

void client::setintervals(int retryms, int pollms) {
    std::lock_guard<std::mutex> lk(mu_);
    if (retryms > 0) retryms_ = retryms;
    if (pollms > 0) pollms_ = pollms;
}

void client::setlimits(size_t jobs, size_t bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    if (jobs > 0) maxjobs_ = jobs;
    if (bytes > 0) maxbytes_ = bytes;
}

int client::connect(backendfactory factory) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (running_) return OXA_ERR_STATE;
        factory_ = std::move(factory);
        stop_ = false;
        stopping_.store(false, std::memory_order_release);
        backoff_ = false;
        running_ = true;
        try {
            th_ = std::thread([this] { run(); });
            return OXA_OK;
        } catch (const std::system_error&) {
            running_ = false;  // no exception leaves the library
        }
    }
    logf(10, "cannot start the library thread");
    return OXA_ERR_STATE;
}

int client::disconnect() {
    {
        std::unique_lock<std::mutex> lk(mu_);
        if (!running_) return OXA_OK;
        if (th_.get_id() == std::this_thread::get_id()) return OXA_ERR_STATE;
        if (stop_) {
            // Another caller is joining the thread (a thread is joined only
            // once): wait until it is done.
            cv_.wait(lk, [&] { return !running_; });
            return OXA_OK;
        }
        stop_ = true;
        stopping_.store(true, std::memory_order_release);
    }
    wake();
    th_.join();
    {
        std::lock_guard<std::mutex> lk(mu_);
        running_ = false;
        stop_ = false;
    }
    cv_.notify_all();
    return OXA_OK;
}

int client::call(const char* text, size_t n, oxa_responsefn fn, void* user, bool respond) {
    job j;
    j.text.assign(text, n);
    j.fn = fn;
    j.user = user;
    j.respond = respond;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (n > maxbytes_) return OXA_ERR_ARG;
        if (!running_ || stop_) return OXA_ERR_NOTCONNECTED;
        if (q_.size() >= maxjobs_ || qbytes_ + n > maxbytes_) return OXA_ERR_QUEUEFULL;
        qbytes_ += n;
        q_.push_back(std::move(j));
    }
    wake();
    return OXA_OK;
}

int client::soeput(const oxa_soerec* recs, int n) {
    if (n < 0 || (n > 0 && !recs)) return OXA_ERR_ARG;
    if (n == 0) return OXA_OK;
    soewait w{recs, n, OXA_OK, false};
    std::unique_lock<std::mutex> lk(mu_);
    if (!running_ || stop_ || !connected()) return OXA_ERR_NOTCONNECTED;
    if (th_.get_id() == std::this_thread::get_id()) return OXA_ERR_STATE;
    job j;
    j.soe = &w;
    q_.push_back(std::move(j));
    cv_.notify_all();
    if (wakefd_ >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(wakefd_, &one, sizeof one);  // a full counter wakes too
        (void)n;
    }
    donecv_.wait(lk, [&] { return w.done; });
    return w.rc;
}

void client::run() {
    auto nextpoll = std::chrono::steady_clock::now();
    for (;;) {
        int retryms, pollms;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (stop_) break;
            retryms = retryms_;
            pollms = pollms_;
        }
        if (!db_) {
            failsoe();
            if (backoff_) {
                backoff_ = false;
                std::unique_lock<std::mutex> lk(mu_);
                cv_.wait_for(lk, std::chrono::milliseconds(retryms), [&] { return stop_; });
                continue;
            }
            if (tryopen()) {
                nextpoll = std::chrono::steady_clock::now();
                continue;
            }
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_for(lk, std::chrono::milliseconds(retryms), [&] { return stop_; });
            continue;
        }
        job j;
        bool have = false;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (!q_.empty()) {
                j = std::move(q_.front());
                q_.pop_front();
                qbytes_ -= j.text.size();
                have = true;
            }
        }
        if (have) execute(j);
        auto now = std::chrono::steady_clock::now();
        if (db_ && now >= nextpoll) {
            if (db_->check() != DB_OK) {
                lose(db_->error());
                continue;
            }
            pollctrl();
            nextpoll = now + std::chrono::milliseconds(pollms);
        }
        if (!have && db_) idle(nextpoll, &nextpoll);
    }
    if (db_) {
        db_->close();
        db_.reset();
        connected_.store(false, std::memory_order_release);
        notify(OXA_DISCONNECTED, "disconnected by the program");
    }
    dropall();
}

bool client::tryopen() {
    std::string err;
    std::unique_ptr<backend> b = factory_ ? factory_(&err) : nullptr;
    if (b) {
        b->setstop(&stopping_);
        b->setlog([this](int level, const std::string& text) { logf(level, "%s", text.c_str()); });
    }
    if (b && b->open() == DB_OK) {
        std::string notice = b->takenotice();
        if (!notice.empty()) logf(30, "%s", notice.c_str());
        db_ = std::move(b);
        ctrldirty_ = true;
        lastfail_.clear();
        openedat_ = std::chrono::steady_clock::now();
        curdb_.store(db_->current(), std::memory_order_release);
        connected_.store(true, std::memory_order_release);
        logf(30, "database connected%s", db_->current() ? " (the standby)" : "");
        notify(OXA_CONNECTED, "");
        return true;
    }
    if (b) err = b->error();
    // A database that stays away fails every retry with the same reason; say
    // it once at error level.
    logf(err == lastfail_ ? 40 : 10, "database connect failed: %s", err.c_str());
    lastfail_ = err;
    notify(OXA_CONNECTFAIL, err);
    return false;
}

void client::lose(std::string why) {
    int retryms;
    {
        std::lock_guard<std::mutex> lk(mu_);
        retryms = retryms_;
    }
    backoff_ = std::chrono::steady_clock::now() - openedat_ < std::chrono::milliseconds(retryms);
    if (db_) {
        db_->rollback();
        db_->close();
        db_.reset();
    }
    connected_.store(false, std::memory_order_release);
    logf(10, "database lost: %s", why.c_str());
    notify(OXA_DISCONNECTED, why);
    failsoe();
}

void client::execute(job& j) {
    if (j.soe) {
        soewait* w = j.soe;
        int rc = db_->begin();
        for (int i = 0; rc == DB_OK && i < w->n; ++i) {
            rc = db_->putsoe(w->recs[i]);
            if (rc == DB_DUP) rc = DB_OK;  // written before: nothing to add
        }
        if (rc == DB_OK) rc = db_->commit();
        if (rc != DB_OK) {
            std::string why = db_->error();
            logf(10, "soe write of %d records failed: %s", w->n, why.c_str());
            if (rc == DB_LOST) {
                // Nothing was written; the caller may write them again once
                // the database is back.
                finishsoe(w, OXA_ERR_NOTCONNECTED);
                lose(why);
                return;
            }
            db_->rollback();
        }
        finishsoe(w, rc == DB_OK ? OXA_OK : OXA_ERR_DB);
        return;
    }
    request rq;
    std::string why;
    if (!parserequest(j.text, &rq, &why)) {
        answer(j, errresponse(OXA_STATUS_BADREQUEST, rq.name, rq.seqno, why),
               OXA_STATUS_BADREQUEST);
        return;
    }
    int rc;
    std::vector<tagerr> errs;
    size_t dups = 0;
    if (rq.name == "oxa_writesnaps" || rq.name == "oxa_insert") {
        rc = writevalues(rq, &errs, &dups, &why);
    } else if (rq.name == "oxa_regctrltags_put" || rq.name == "oxa_regctrltags_del") {
        rc = writetags(rq, rq.name == "oxa_regctrltags_put", &errs, &why);
    } else {
        answer(j, errresponse(OXA_STATUS_UNKNOWN, rq.name, rq.seqno, "unknown request"),
               OXA_STATUS_UNKNOWN);
        return;
    }
    if (rc == DB_OK) {
        answer(j, okresponse(rq.name, rq.seqno, errs, dups), 0);
        return;
    }
    if (rc == DB_LOST) {
        // Rolled back, or a commit whose outcome is unknown: either way the
        // request may be sent again, since history writes are idempotent.
        answer(j,
               errresponse(OXA_STATUS_DISCONNECTED, rq.name, rq.seqno,
                           "connection lost while the request ran: " + why),
               OXA_STATUS_DISCONNECTED);
        lose(why);
        return;
    }
    answer(j, errresponse(OXA_STATUS_DBERROR, rq.name, rq.seqno, why), OXA_STATUS_DBERROR);
}

int client::writevalues(request& rq, std::vector<tagerr>* errs, size_t* dups,
                        std::string* why) {
    *errs = std::move(rq.errs);
    bool insert = rq.name == "oxa_insert";
    std::vector<rowrefusal> refused;
    int rc = db_->begin();
    if (rc == DB_OK) rc = db_->putrows(rq.rows, insert, &refused, dups);
    for (const rowrefusal& r : refused) {
        const std::string& tag = rq.rows[r.index].name;
        logf(20, "%s: tag %s refused: %s", rq.name.c_str(), tag.c_str(), r.why.c_str());
        errs->push_back(tagerr{tag, OXA_TAGERR_DB});
    }
    if (rc == DB_OK) rc = db_->commit();
    if (rc != DB_OK) {
        *why = db_->error();
        if (rc == DB_FAIL) db_->rollback();
    }
    return rc;
}

int client::writetags(request& rq, bool add, std::vector<tagerr>* errs, std::string* why) {
    int rc = db_->begin();
    size_t n = 0;
    for (size_t i = 0; rc == DB_OK && i < rq.tags.size(); ++i) {
        const char* bad = nullptr;
        // A name whose control writes could not come back under it is never
        // registered (codepage.h); removing one is always allowed.
        if (add && ctrlname(rq.tags[i], nullptr, &bad) != 0) {
            logf(20, "%s: tag %s refused: %s", rq.name.c_str(), rq.tags[i].c_str(), bad);
            errs->push_back(tagerr{rq.tags[i], OXA_TAGERR_CTRLNAME});
            continue;
        }
        rc = db_->putctrltag(rq.tags[i], add);
        ++n;
    }
    if (rc == DB_OK) rc = db_->commit();
    if (rc != DB_OK) {
        *why = db_->error();
        if (rc == DB_FAIL) db_->rollback();
        return rc;
    }
    // Writes that waited for one of these tags are due now.
    ctrldirty_ = true;
    logf(40, "%s: %zu tags", rq.name.c_str(), n);
    return DB_OK;
}

void client::answer(const job& j, const std::string& resp, int status) {
    if (status != 0) logf(10, "request failed: %s", resp.c_str());
    if (j.respond && j.fn) j.fn(resp.c_str(), static_cast<int>(resp.size()), j.user);
}

void client::finishsoe(soewait* w, int rc) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        w->rc = rc;
        w->done = true;
    }
    donecv_.notify_all();
}

void client::failsoe() {
    bool any = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto it = q_.begin(); it != q_.end();) {
            if (it->soe) {
                it->soe->rc = OXA_ERR_NOTCONNECTED;
                it->soe->done = true;
                it = q_.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
    }
    if (any) donecv_.notify_all();
}

void client::dropall() {
    failsoe();
    std::deque<job> left;
    {
        std::lock_guard<std::mutex> lk(mu_);
        left.swap(q_);
        qbytes_ = 0;
    }
    for (const job& j : left) {
        std::string name;
        int32_t seqno = 0;
        peekrequest(j.text, &name, &seqno);
        answer(j,
               errresponse(OXA_STATUS_DISCONNECTED, name, seqno,
                           "disconnected before the request ran"),
               OXA_STATUS_DISCONNECTED);
    }
}

void client::pollctrl() {
    oxa_valuefn valfn;
    oxa_objectfn objfn;
    {
        std::lock_guard<std::mutex> lk(mu_);
        valfn = valfn_;
        objfn = objfn_;
    }
    if (!valfn && !objfn) return;
    bool changed = db_->changed();
    if (!changed && !ctrldirty_) return;
    ctrldirty_ = false;
    std::vector<ctrlrow> rows;
    int rc = db_->pendingctrl(&rows, ctrlbatch);
    if (rc == DB_LOST) {
        lose(db_->error());
        return;
    }
    if (rc != DB_OK) {
        logf(20, "reading control writes failed: %s", db_->error().c_str());
        ctrldirty_ = true;
        return;
    }
    if (rows.size() == ctrlbatch) ctrldirty_ = true;
    std::vector<std::pair<int64_t, int>> marks;
    for (const ctrlrow& r : rows) {
        int state = 0;
        int d = deliver(r, &state);
        if (d == handedover) {
            marks.emplace_back(r.id, state);
        } else if (d == refused) {
            // The program cannot take more now: this write and the ones
            // behind it stay undelivered, in their order, for the next look.
            ctrldirty_ = true;
            break;
        }
    }
    if (marks.empty()) return;
    rc = db_->begin();
    for (size_t i = 0; rc == DB_OK && i < marks.size(); ++i)
        rc = db_->markctrl(marks[i].first, marks[i].second);
    if (rc == DB_OK) rc = db_->commit();
    if (rc == DB_LOST) {
        lose(db_->error());
    } else if (rc != DB_OK) {
        logf(20, "marking control writes failed: %s", db_->error().c_str());
        db_->rollback();
    }
}

int client::deliver(const ctrlrow& r, int* state) {
    oxa_valuefn valfn;
    oxa_objectfn objfn;
    void *valctx, *objctx;
    {
        std::lock_guard<std::mutex> lk(mu_);
        valfn = valfn_;
        valctx = valctx_;
        objfn = objfn_;
        objctx = objctx_;
    }
    const tagrow& t = r.tag;
    // The name as the record carries it; a name that cannot come back as it
    // is (registered by an older library) is refused, never cut or changed.
    char name[OXA_NAMEMAX + 1] = {};
    const char* bad = nullptr;
    if (ctrlname(t.name, name, &bad) != 0) {
        logf(20, "control write %lld of tag %s refused: %s", static_cast<long long>(r.id),
             t.name.c_str(), bad);
        *state = -1;
        return handedover;
    }
    if (t.type >= 1 && t.type <= 5) {
        if (!valfn) return nocallback;
        oxa_valrec rec;
        std::memset(&rec, 0, sizeof rec);
        std::memcpy(rec.name, name, sizeof name);
        rec.time = rectime(t.time);
        rec.type = static_cast<int8_t>(t.type);
        rec.quality = static_cast<int8_t>(t.quality);
        if (t.type <= 2) {
            rec.v.i32 = static_cast<int32_t>(asint(t));
        } else if (t.type == 3) {
            rec.v.f32 = static_cast<float>(asreal(t));
        } else if (t.type == 4) {
            rec.v.i64 = asint(t);
        } else {
            rec.v.f64 = asreal(t);
        }
        if (!valfn(&rec, valctx)) return refused;
        *state = 1;
        return handedover;
    }
    if (t.type == 6 || t.type == 7) {
        if (!objfn) return nocallback;
        auto rec = std::make_unique<oxa_objrec>();
        std::memset(rec.get(), 0, sizeof *rec);
        std::memcpy(rec->name, name, sizeof name);
        rec->time = rectime(t.time);
        rec->type = static_cast<int8_t>(t.type);
        rec->quality = static_cast<int8_t>(t.quality);
        std::string data = asbytes(t);
        size_t n = data.size() < OXA_OBJDATAMAX ? data.size() : OXA_OBJDATAMAX;
        std::memcpy(rec->data, data.data(), n);
        rec->length = static_cast<uint16_t>(n);
        if (!objfn(rec.get(), objctx)) return refused;
        *state = 1;
        return handedover;
    }
    logf(20, "control write %lld of tag %s has type %d without a record; refused",
         static_cast<long long>(r.id), t.name.c_str(), t.type);
    *state = -1;
    return handedover;
}

void client::notify(int code, const std::string& reason) {
    oxa_statusfn fn;
    void* user;
    {
        std::lock_guard<std::mutex> lk(mu_);
        fn = statusfn_;
        user = statususer_;
    }
    if (fn) fn(code, reason.c_str(), user);
}

void client::logf(int level, const char* fmt, ...) {
    oxa_logfn fn;
    void* user;
    {
        std::lock_guard<std::mutex> lk(mu_);
        fn = logfn_;
        user = loguser_;
    }
    if (!fn) return;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fn(level, buf, user);
}

}  // namespace oxa
