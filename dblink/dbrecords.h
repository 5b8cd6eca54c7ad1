// dbrecords.h - conversions between the records of the IO server (tag
// values, SOE records) and the fixed records of the database client library
// (104-byte value, 1104-byte object and 512-byte SOE records of oxaapi.h).
//
// Toward the database: names and texts are cut to their fields on UTF-8
// character boundaries, times are divided by 100 (truncating toward zero),
// type and quality keep their low 8 bits, a type-3 value is narrowed to a
// float, object data is cut to 999 bytes.  From the database: names are
// converted from code page 936 to UTF-8 exactly (a byte sequence that is not
// code page 936 fails the record) and times multiplied by 100.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstdint>

#include "dblink/dbtypes.h"
#include "oxaapi/oxaapi.h"

namespace zo {

// Which database record a tag value becomes.
enum dbreckind { DBREC_NONE = 0, DBREC_VALUE = 1, DBREC_OBJECT = 2 };
dbreckind reckind(uint32_t vtype);

// Fill the whole record (bytes this program does not use are zeroed).
// REQUIRES: reckind(t.vtype) is DBREC_VALUE or DBREC_OBJECT respectively.
void tovalrec(const tagval& t, oxa_valrec& r);
void toobjrec(const tagval& t, oxa_objrec& r);
void tosoerec(const soerec& s, oxa_soerec& r);

// A tag value from a record the library handed over.  False (t untouched,
// *why set when why is not null) when the record's type has no value, an
// object's length is not 1..999, or its name does not convert exactly.
bool fromvalrec(const oxa_valrec& r, tagval& t, const char** why = nullptr);
bool fromobjrec(const oxa_objrec& r, tagval& t, const char** why = nullptr);

}  // namespace zo
