// codepage.h - tag names toward the program's control callbacks are in code
// page 936 (GBK), as the program expects from this library.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace oxa {

// The UTF-8 text in code page 936; a text that cannot be converted (bad
// UTF-8, a character outside the code page) is returned unchanged.
std::string tocp936(std::string_view utf8);

// Copies s into a field of width bytes as at most width - 1 bytes and a zero
// byte, never splitting a two-byte character of code page 936.
void cutcp936(std::string_view s, char* field, size_t width);

}  // namespace oxa
