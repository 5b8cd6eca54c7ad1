#include "dblink/ctrlstore.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/charset.h"
#include "dblink/dbrecords.h"

namespace zo {

namespace {

// Copies the library's record (it may reuse its own) with its name ended,
// unless the list is at its bound.  *run: refused, the refusals of the run
// so far (this one included); kept, the refusals that came before it.
template <class R, class L>
bool keepcopy(std::mutex& mu, L& list, size_t bound, R* rec, uint64_t* refusals, uint64_t* run) {
    std::lock_guard<std::mutex> g(mu);
    rec->name[OXA_NAMEMAX] = 0;
    if (list.size() >= bound || !list.append(R(*rec))) {
        *run = ++*refusals;
        return false;
    }
    *run = *refusals;
    *refusals = 0;
    return true;
}

// The record's name in UTF-8 for a log line: always readable, a byte that is
// not code page 936 shown as '?'.
struct logname {
    explicit logname(const char* gbk) {
        if (zo::gbktoutf8(gbk, strnlen(gbk, OXA_NAMEMAX + 1), text, sizeof text) < 0) {
            std::memcpy(text, "?", 2);
        }
    }
    char text[3 * (OXA_NAMEMAX + 1) + 1];
};

}  // namespace

ctrlstore::ctrlstore(zo::ilog* log) : log_(log) {
    vals_.reserve(64);
    objs_.reserve(16);
}

bool ctrlstore::on_value_ctrl(oxa_valrec* rec, void* store) {
    auto* self = static_cast<ctrlstore*>(store);
    if (!self || !rec) return true;
    uint64_t run = 0;
    const bool kept = keepcopy(self->mu_, self->vals_, maxvals, rec, &self->refusals_, &run);
    const logname name(rec->name);
    self->note(kept, run, name.text);
    if (kept) ZO_LOG(self->log_, zo::LOG_INF, "read value ctrl tag %s", name.text);
    return kept;
}

bool ctrlstore::on_object_ctrl(oxa_objrec* rec, void* store) {
    auto* self = static_cast<ctrlstore*>(store);
    if (!self || !rec) return true;
    uint64_t run = 0;
    const bool kept = keepcopy(self->mu_, self->objs_, maxobjs, rec, &self->refusals_, &run);
    const logname name(rec->name);
    self->note(kept, run, name.text);
    if (kept) {
        ZO_LOG(self->log_, zo::LOG_INF, "read object ctrl tag %s, size %u", name.text,
               static_cast<unsigned>(rec->length));
    }
    return kept;
}

void ctrlstore::note(bool kept, uint64_t run, const char* name) {
    if (kept && run) {
        ZO_LOG(log_, zo::LOG_INF,
               "ctrl store takes control writes again, %llu offers refused meanwhile",
               static_cast<unsigned long long>(run));
    } else if (!kept && run == 1) {
        // Only the first refusal of a run: the library offers the same
        // writes again every few tens of milliseconds while the store is full.
        ZO_LOG(log_, zo::LOG_WRN,
               "ctrl store full, ctrl tag %s and the writes behind it wait in the database", name);
    }
}

size_t ctrlstore::drainctrl(tagvalbody* body) {
    if (!body) return 0;
    size_t added = 0;
    // Records that cannot become tag values, said after the lock is gone.
    std::vector<std::pair<std::string, const char*>> dropped;
    {
        std::lock_guard<std::mutex> g(mu_);
        body->items.reserve(body->items.size() + vals_.size() + objs_.size());
        auto take = [&](const auto& r, auto convert) {
            tagval t;
            const char* why = "no memory";
            if (convert(r, t, &why) && body->items.append(std::move(t))) {
                ++added;
            } else {
                dropped.emplace_back(logname(r.name).text, why);
            }
        };
        for (const oxa_valrec& r : vals_) take(r, fromvalrec);
        for (const oxa_objrec& r : objs_) take(r, fromobjrec);
        vals_.clear();
        objs_.clear();
    }
    for (const auto& d : dropped) {
        ZO_LOG(log_, zo::LOG_WRN, "ctrl tag %s dropped: %s", d.first.c_str(), d.second);
    }
    return added;
}

size_t ctrlstore::pending() {
    std::lock_guard<std::mutex> g(mu_);
    return vals_.size() + objs_.size();
}

}  // namespace zo
