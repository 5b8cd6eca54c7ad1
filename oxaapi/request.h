// request.h - reading the JSON requests of the library and writing its
// responses.
//
// A request is an object with "request" (its name), "seqno", and either
// "vals" (an array of value objects with "T", "N", "Q", "DT", "V") or
// "tags" (an array of tag names).  "T" is milliseconds since 1970 UTC as a
// number, or local time as the text "YYYY/MM/DD hh:mm:ss.mmm".  Reading
// checks each value against its type; a value that does not pass becomes a
// tag error (name and OXA_TAGERR_* code) instead of a row.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "oxaapi/backend.h"

namespace oxa {

struct tagerr {
    std::string name;
    int code = 0;
};

struct request {
    std::string name;
    int32_t seqno = 0;
    std::vector<tagrow> rows;  // values that passed the checks, in order
    std::vector<tagerr> errs;  // values that did not
    std::vector<std::string> tags;
};

// False, with the reason in *why, when text is not a JSON object carrying a
// "request" name, or its "vals"/"tags" member is not an array.
bool parserequest(std::string_view text, request* out, std::string* why);

// Local time "YYYY/MM/DD hh:mm:ss[.mmm]" to milliseconds since 1970 UTC.
bool parselocaltime(std::string_view text, int64_t* ms);

// {"status":0,"response":NAME,"seqno":N,"dups":D,"vals":[{"N":"tag","E":code}...]}
// with "dups" (values whose name and time history held already) only when
// D is not 0.
std::string okresponse(std::string_view name, int32_t seqno, const std::vector<tagerr>& errs,
                       size_t dups = 0);
// {"status":S,"response":NAME,"seqno":N,"message":MSG}
std::string errresponse(int status, std::string_view name, int32_t seqno, std::string_view msg);

}  // namespace oxa

namespace oxa {

// Only the "request" name and "seqno" of a text (empty and 0 when absent),
// for answering a request that is dropped unexecuted.
void peekrequest(std::string_view text, std::string* name, int32_t* seqno);

}  // namespace oxa
