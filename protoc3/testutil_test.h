// testutil_test.h - helpers shared by the protoc3 tests: byte vectors, their
// hex text for readable golden comparisons.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/string_.h"

// The product's types are named without their namespace in tests.
using namespace zo;

namespace pbtest {

using bytes = std::vector<uint8_t>;

// "AC 02 " style: each byte in upper-case hex and a space.
inline std::string hexof(const void* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", static_cast<const uint8_t*>(p)[i]);
        s += b;
    }
    return s;
}
template <class B>  // bytes or a zo::string
inline std::string hexof(const B& b) {
    return hexof(b.data(), b.size());
}
// The bytes of "AC 02 ..." text (pairs of hex digits, spaces between).
inline bytes unhex(const char* h) {
    bytes b;
    for (unsigned v; std::sscanf(h, " %2x", &v) == 1; h += std::strspn(h, " ") + 2) b.push_back(v);
    return b;
}
inline bytes tobytes(const zo::string& s) {
    return bytes(s.bytes(), s.bytes() + s.size());
}

}  // namespace pbtest
