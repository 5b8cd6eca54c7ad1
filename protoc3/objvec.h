// objvec.h - the old name of zo::array_ (base/array_.h), the one growable
// array of the process.  Left only for code outside protoc3/ that still
// includes it; new code includes base/array_.h.  Remove this file once
// nothing includes it.
#pragma once
#include "base/array_.h"

namespace zo {

template <class T>
using objvec = array_<T>;

}  // namespace zo
