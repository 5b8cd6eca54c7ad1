// testutil_test.h - helpers shared by the protoc3 tests: byte vectors, their
// hex text for readable golden comparisons, and zo::string makers.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/string_.h"

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
inline std::string hexof(const zo::string& s) {
    return hexof(s.data(), s.size());
}
inline std::string hexof(const bytes& b) {
    return hexof(b.data(), b.size());
}

inline bytes tobytes(const zo::string& s) {
    return bytes(s.bytes(), s.bytes() + s.size());
}
inline zo::string zs(const char* s) {
    return zo::string(s, static_cast<uint32_t>(std::strlen(s)));
}
inline zo::string zs(const void* p, uint32_t n) {
    return zo::string(p, n);
}

}  // namespace pbtest
