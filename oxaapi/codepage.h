// codepage.h - the rule for the names of control tags.
//
// A control write reaches the program in a record whose name is the tag's
// name in code page 936 (GBK), at most OXA_NAMEMAX bytes, and the program
// turns it back into UTF-8.  A name may be a control tag only when that road
// gives it back exactly: it is UTF-8 without zero bytes, every character has
// a code in code page 936, and it takes at most OXA_NAMEMAX bytes there.  Any other name
// would come back cut or changed: an emoji as "?" or as other characters,
// a long name as a shorter tag nobody registered.  The registration refuses
// such names (per-tag error OXA_TAGERR_CTRLNAME) and the delivery of control
// writes refuses them too, whatever backend keeps the tags.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstddef>
#include <string_view>

namespace oxa {

// 0 when name passes the rule, then, with field not null, field holds its
// code page 936 form and a zero byte (OXA_NAMEMAX + 1 bytes).  Otherwise
// OXA_TAGERR_CTRLNAME, *why (when why is not null) says why, and field is
// left alone.
int ctrlname(std::string_view name, char* field, const char** why);

}  // namespace oxa
