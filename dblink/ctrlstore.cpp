#include "dblink/ctrlstore.h"

#include "dblink/dbrecords.h"

namespace {

// Copies the library's record (it may reuse its own) with its name ended;
// false when there is no memory for the copy.
template <class R, class L>
bool keepcopy(std::mutex& mu, L& list, R* rec) {
    std::lock_guard<std::mutex> g(mu);
    rec->name[OXA_NAMEMAX] = 0;
    return list.append(R(*rec));
}

}  // namespace

ctrlstore::ctrlstore(zo::ilog* log) : log_(log) {
    vals_.reserve(64);
    objs_.reserve(16);
}

bool ctrlstore::on_value_ctrl(oxa_valrec* rec, void* store) {
    auto* self = static_cast<ctrlstore*>(store);
    if (!self || !rec) return true;
    if (keepcopy(self->mu_, self->vals_, rec)) {
        ZO_LOG(self->log_, zo::LOG_INF, "read value ctrl tag %s", rec->name);
    } else {
        ZO_LOG(self->log_, zo::LOG_ERR, "no memory for value ctrl tag %s, value lost", rec->name);
    }
    return true;
}

bool ctrlstore::on_object_ctrl(oxa_objrec* rec, void* store) {
    auto* self = static_cast<ctrlstore*>(store);
    if (!self || !rec) return true;
    if (keepcopy(self->mu_, self->objs_, rec)) {
        ZO_LOG(self->log_, zo::LOG_INF, "read object ctrl tag %s, size %u", rec->name,
               static_cast<unsigned>(rec->length));
    } else {
        ZO_LOG(self->log_, zo::LOG_ERR, "no memory for object ctrl tag %s, value lost", rec->name);
    }
    return true;
}

size_t ctrlstore::drainctrl(tagvalbody* body) {
    if (!body) return 0;
    size_t added = 0;
    std::lock_guard<std::mutex> g(mu_);
    body->items.reserve(body->items.size() + vals_.size() + objs_.size());
    for (const oxa_valrec& r : vals_) {
        tagval t;
        if (fromvalrec(r, t) && body->items.append(std::move(t))) ++added;
    }
    for (const oxa_objrec& r : objs_) {
        tagval t;
        if (fromobjrec(r, t) && body->items.append(std::move(t))) ++added;
    }
    vals_.clear();
    objs_.clear();
    return added;
}

size_t ctrlstore::pending() {
    std::lock_guard<std::mutex> g(mu_);
    return vals_.size() + objs_.size();
}
