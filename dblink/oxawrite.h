// oxawrite.h - the JSON value object of the database requests.
//
// One object per tag value, members in this order, each left out as noted:
//   "T"  time: milliseconds as a number (integer times) or the local-time text
//        "YYYY/MM/DD hh:mm:ss.mmm"; left out when <= 0
//   "N"  name (escaped); left out when empty
//   "Q"  quality, signed; left out when 0
//   "DT" vtype, signed; left out when 0
//   "V"  by vtype: 1, 2 the low 32 bits of vint (left out when 0); 3 the
//        float nearest to vdouble, written as the shortest text of that float
//        widened back to a double; 4 vint (left out when 0); 5 vdouble,
//        shortest text (also 0); 6 vbytes as a string (left out when empty);
//        7 vbytes in base64 (left out when empty); other types: no "V".
//        The shortest text is zo::fmtshortest's: the fewest digits that read
//        back as the same double, "NaN", "inf" and "-inf" as such.
// The request texts themselves are built by the writer (oxawriter.h).
//
// Thread-safety: pure functions; any thread.
#pragma once
#include "base/string_.h"
#include "dblink/dbtypes.h"

namespace zo {

// Appends "{...}" for t.
void addvalueobject(zo::string& out, const tagval& t, bool inttimes);

}  // namespace zo
