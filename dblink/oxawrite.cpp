// The writers of the link instance in client mode: tag values as JSON
// requests through oxa_callmsg, SOE records through oxa_soeput, control-tag
// registrations through oxa_putmsg, and the response callback.

#include "dblink/oxawrite.h"

#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/jsonscan.h"
#include "base/jsonwrite.h"
#include "dblink/dbrecords.h"
#include "dblink/velmarinst.h"

namespace {

// A request is closed once, after a package, it holds this much text or
// more than maxobjects object values; one write_snapshots closes at most
// maxrounds requests before the SOE and registration rings get their turn.
constexpr uint32_t maxtext = 64000;
constexpr int maxobjects = 80;
constexpr int maxrounds = 10;
// Versions of the database from this one on read "T" as milliseconds.
constexpr int inttimeversion = 5104;

}  // namespace

void addvalueobject(zo::string& out, const tagval& t, bool inttimes) {
    using room = zo::jsonroom;
    const size_t data = t.vbytes.size();
    const size_t vroom = t.vtype == 6   ? room::textroom(1, data)
                         : t.vtype == 7 ? room::bytesroom(data)
                                        : room::numroom(1);
    room r(out, 2 + room::timeroom + room::textroom(1, t.name.size()) + room::numroom(1) +
                    room::numroom(2) + vroom);
    int c = 0;
    r.put('{');
    r.time(c, t.time, inttimes ? zo::JSONTIME_MS : zo::JSONTIME_LOCAL);
    r.text(c, "N", t.name.view());
    r.integer(c, "Q", static_cast<int32_t>(t.quality));
    r.integer(c, "DT", static_cast<int32_t>(t.vtype));
    switch (t.vtype) {
        case 1:
        case 2:
            r.integer(c, "V", static_cast<int32_t>(t.vint));
            break;
        case 3:
            r.shortest(c, "V", static_cast<double>(static_cast<float>(t.vdouble)));
            break;
        case 4:
            r.integer(c, "V", t.vint);
            break;
        case 5:
            r.shortest(c, "V", t.vdouble);
            break;
        case 6:
            r.text(c, "V", t.vbytes.view());
            break;
        case 7:
            r.bytes(c, t.vbytes.view());
            break;
        default:
            break;
    }
    r.put('}');
}

bool velmarinst::integertimes() {
    return oxa->curdb_inver(handle.load(std::memory_order_acquire)) >= inttimeversion;
}

void velmarinst::beginrequest(zo::string& text, const char* name) {
    reqseqno = reqseqno >= lastseqno ? firstseqno : reqseqno + 1;
    text.appendf("{\"request\":\"%s\",\"seqno\":%d,\"vals\":[", name, reqseqno);
}

void velmarinst::sendrequest(zo::string& text, const char* name) {
    text.append("]}");
    int r = oxa->callmsg(handle.load(std::memory_order_acquire), text.data(),
                         static_cast<int>(text.size()), on_response, this);
    if (r != 0) ZO_LOG(log, zo::LOG_ERR, "%s error %d", name, r);
}

void velmarinst::write_snapshots(tagvalbody*& slot, bool soe_pending, bool reg_pending) {
    static const char* const name = "oxa_writesnaps";
    bool inttimes = integertimes();
    zo::string text;
    text.reserve(maxtext);
    int rounds = maxrounds;
    int total = 0;
    int objects = 0;
    do {
        if (text.empty()) beginrequest(text, name);
        for (const tagval& t : slot->items) {
            if (total) text.append(',');
            addvalueobject(text, t, inttimes);
            ++total;
            if (t.vtype >= 6) ++objects;
        }
        if (objects > maxobjects || text.size() >= maxtext) {
            sendrequest(text, name);
            total = objects = 0;
            text.clear();
            --rounds;
        }
        delete slot;
        slot = nullptr;
        if (rounds != 0 && !soe_pending && !reg_pending) slot = valq.pop();
    } while (connected.load(std::memory_order_acquire) && slot && rounds > 0);
    if (total > 0) sendrequest(text, name);
}

void velmarinst::insert_history(const tagvalbody& body) {
    static const char* const name = "oxa_insert";
    bool inttimes = integertimes();
    zo::string text;
    text.reserve(maxtext);
    beginrequest(text, name);
    bool first = true;
    for (const tagval& t : body.items) {
        if (!first) text.append(',');
        first = false;
        addvalueobject(text, t, inttimes);
    }
    sendrequest(text, name);
}

void velmarinst::write_soe(const soebody& body) {
    uint32_t n = body.items.size();
    if (n == 0) return;
    auto* recs = static_cast<oxa_soerec*>(zo::zo_alloc(sizeof(oxa_soerec) * n));
    if (!recs) {
        ZO_LOG(log, zo::LOG_ERR, "no memory for %u soe records, records lost", n);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) tosoerec(body.items[i], recs[i]);
    int r = oxa->soeput(handle.load(std::memory_order_acquire), recs, static_cast<int>(n));
    zo::zo_free(recs);
    if (r != 0) ZO_LOG(log, zo::LOG_ERR, "oxa_soeput error %d", r);
}

void velmarinst::register_ctrltags(const regbody& body) {
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
            ZO_LOG(log, zo::LOG_WRN, "ctrl tag %.*s refused: %s", static_cast<int>(tag.size()),
                   tag.data(), why ? why : "");
            continue;
        }
        if (tags++) text.append(',');
        text.append('"');
        zo::jsonaddesctext(text, tag.view());
        text.append('"');
    }
    text.append("]}");
    oxa->putmsg(handle.load(std::memory_order_acquire), text.data(), static_cast<int>(text.size()));
    ZO_LOG(log, zo::LOG_DBG, "%s size%zu, tags %d", name, static_cast<size_t>(text.size()), tags);
}

void velmarinst::on_response(const char* text, int length, void* inst) {
    auto* self = static_cast<velmarinst*>(inst);
    if (!self || !text || length <= 0) return;
    zo::jsonscan top;
    if (!top.scan(text, static_cast<size_t>(length))) return;
    const zo::jsonentry* st = top.find("status");
    if (!st) return;
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
        ZO_LOG(self->log, zo::LOG_ERR, "%s error %d, %s", response.c_str(), status,
               message.c_str());
        return;
    }
    const zo::jsonentry* vals = top.find("vals");
    if (!vals || vals->type != zo::JSON_ARRAY) return;
    zo::jsonscan arr;
    if (!arr.scan(vals->val, vals->vallen)) return;
    zo::jsonscan obj;
    zo::string tag;
    for (const zo::jsonentry& el : arr) {
        if (!obj.scan(el.val, el.vallen)) continue;
        int32_t e = 0;
        if (obj.gettext("N", tag) && obj.getint("E", e) && e != 0) {
            ZO_LOG(self->log, zo::LOG_ERR, "%s tag %s error %d", response.c_str(), tag.c_str(), e);
        }
    }
}
