// dbtypes.h - the package types that cross from the IPC session to the
// database link, under the short names the link uses.
//
// tagvalbody: an array of tag values (function numbers 3202, 3204, 3208 and
// the control output 3214); soebody: an array of SOE records (3210);
// regbody: a control-tag registration (3212) or withdrawal (3512), whose
// strs hold the tag names and whose vi32 holds the function number.
//
// Thread-safety: packages belong to one thread at a time; ownership moves
// with the pointer through the rings.
#pragma once
#include <cstddef>

#include "base/string_.h"
#include "protoc3/bodies.h"

namespace zo {

using tagvalbody = tagvalarray;
using soebody = soearray;
using regbody = unkownbody;

// Record counts for the ring's "lost one package" warning.
inline size_t recordcount(const tagvalbody& b) {
    return b.items.size();
}
inline size_t recordcount(const soebody& b) {
    return b.items.size();
}
inline size_t recordcount(const regbody& b) {
    return b.strs.size();
}

}  // namespace zo
