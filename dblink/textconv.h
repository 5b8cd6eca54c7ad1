// textconv.h - the cut of a text into a fixed zero-terminated field of a
// database record without splitting a UTF-8 character.
//
// Thread-safety: pure function; any thread.
#pragma once
#include <cstddef>
#include <string_view>

namespace zo {

// Copies text into a field of width bytes: whole when shorter than width,
// else cut to at most width - 1 bytes, moving the cut back while the byte
// right after it is a UTF-8 continuation byte.  A zero byte follows the copy.
// Returns the number of text bytes copied.  REQUIRES: width >= 1.
size_t cuttext(char* field, size_t width, std::string_view text) noexcept;

}  // namespace zo
