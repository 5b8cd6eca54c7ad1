// gapauth_test.h - the auth blocks of a gapudp datagram built the plain way,
// as the expectation for the sender's tests and the input for the
// receiver's: 48 bytes, the user (at most 47 bytes, then a zero) or the
// password's MD5 in hex, over a fixed filler, XORed word by word with the
// key.  Included by *_test.cpp only.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>

#include "base/md5.h"

inline std::string xored(std::string b, uint32_t key) {
    for (size_t i = 0; i + 4 <= b.size(); i += 4)
        for (int k = 0; k < 4; ++k) b[i + k] = static_cast<char>(b[i + k] ^ (key >> (8 * k)));
    return b;
}

inline std::string userblock(const std::string& user) {
    std::string b(48, '\0');
    for (int i = 0; i < 48; ++i) b[i] = static_cast<char>(0x47 + i);
    size_t n = std::min<size_t>(user.size(), 47);
    b.replace(0, n, user, 0, n);
    b[n] = 0;
    return b;
}

inline std::string hashblock(const std::string& pswd) {
    std::string b(48, '\0');
    for (int i = 0; i < 48; ++i) b[i] = static_cast<char>(0x33 + i);
    char hex[33];
    zo::md5hex(pswd.data(), pswd.size(), hex);
    b.replace(0, 33, hex, 33);
    return b;
}
