// valuegen.h - the values and SOE records iosim sends.
//
// The stream is deterministic: value number n (counted from 0 over the whole
// run) belongs to tag n % tags and is that tag's step n / tags, and its
// content depends only on tag, step and type.  So a test or a benchmark can
// recompute what should have arrived without recording it.  Tag i (from 0)
// is named "iosim.t0001" for i = 0 and has type types[i % types.size()].
//
// The records are plain structs here; the session turns them into protocol
// records (simserver.cpp), so this file needs no protocol code.
//
// Thread-safety: a valuegen is immutable after construction; the functions
// may be called from any thread.
#pragma once
#include <cstdint>

#include "base/string_.h"
#include "tools/iosim/options.h"

namespace iosim {

// One tag value.  Only the value field matching vtype is meaningful:
// vint for 1, 2 and 4, vdouble for 3 and 5, vbytes for 6 and 7.
struct simval {
    zo::string name;
    int64_t time = 0;  // milliseconds since 1970
    uint32_t quality = 0;
    uint32_t vtype = 0;
    int64_t vint = 0;
    double vdouble = 0;
    zo::string vbytes;
};

// One sequence-of-events record, by field number of the wire record.
struct simsoe {
    uint64_t f230 = 0;  // event time, milliseconds since 1970
    uint32_t f231 = 0;  // running record number (low 32 bits)
    uint32_t f232 = 0;  // new state, 0 or 1
    uint32_t f233 = 0;  // station number
    uint32_t f234 = 0;  // point number
    uint32_t f235 = 0;  // milliseconds part of the event time
    zo::string f236;    // point name
    zo::string f237;    // description
    zo::string f238;    // source device
    uint32_t f239 = 0;  // kind
    uint32_t f240 = 0;  // priority
};

class valuegen {
  public:
    static constexpr uint32_t goodquality = 192;

    // REQUIRES: tags >= 1 and types not empty, codes 1 to 7.
    valuegen(uint32_t tags, const typelist& types);

    uint32_t tags() const { return tags_; }
    uint32_t vtypeof(uint32_t tag) const { return types_[tag % types_.size()]; }

    // "iosim.t0001" for tag 0; more digits when the number needs them.
    static void tagname(uint32_t tag, zo::string* out);
    // "iosim.c0001" for control tag 0.
    static void ctrlname(uint32_t tag, zo::string* out);

    // Fills v with value number n stamped with time ms.
    void value(uint64_t n, int64_t ms, simval* v) const;
    // Fills s with SOE record number n stamped with time ms.
    void soe(uint64_t n, int64_t ms, simsoe* s) const;

  private:
    uint32_t tags_;
    typelist types_;
};

}  // namespace iosim
