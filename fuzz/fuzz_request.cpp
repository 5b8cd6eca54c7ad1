// Fuzz target: the client library's request reader on arbitrary text, and
// the responses written for what it read.  A request that reads must name
// itself, every row must carry a name and a type its value kind fits, and
// the response texts must read back as JSON objects.
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/jsonscan.h"
#include "fuzz/fuzzmain.h"
#include "oxaapi/request.h"

namespace {

// The value kind of a tag type, -1 for a type that does not exist.
int kindof(int type) {
    static const int kinds[] = {-1,           oxa::VAL_INT,  oxa::VAL_INT,  oxa::VAL_REAL,
                                oxa::VAL_INT, oxa::VAL_REAL, oxa::VAL_TEXT, oxa::VAL_BLOB};
    return type >= 1 && type <= 7 ? kinds[type] : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string name;
    int32_t seqno = 0;
    oxa::peekrequest(text, &name, &seqno);

    oxa::request rq;
    std::string why;
    if (!oxa::parserequest(text, &rq, &why)) {
        if (why.empty()) std::abort();
        return 0;
    }
    for (const oxa::tagrow& r : rq.rows) {
        if (r.name.empty() || kindof(r.type) != r.kind) std::abort();
        if ((r.type == 1 || r.type == 2) && (r.i < INT32_MIN || r.i > INT32_MAX)) std::abort();
    }
    for (const oxa::tagerr& e : rq.errs) {
        if (e.code < OXA_TAGERR_NAME || e.code > OXA_TAGERR_DB) std::abort();
    }
    zo::jsonscan js;
    std::string ok = oxa::okresponse(rq.name, rq.seqno, rq.errs);
    if (!js.scan(ok) || !js.find("status")) std::abort();
    std::string bad = oxa::errresponse(OXA_STATUS_BADREQUEST, rq.name, rq.seqno, why);
    if (!js.scan(bad) || !js.find("message")) std::abort();
    return 0;
}
