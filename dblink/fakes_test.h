// fakes_test.h - what the dblink and host unit tests share beyond
// tests/support: a count of what the cache files hold and a body of
// numbered tag values.  Included by *_test.cpp only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "cache/cachefile.h"
#include "dblink/dbtypes.h"
#include "protoc3/bodies.h"
#include "tests/support/testsupport.h"

// Tag values and SOE records in the cache files of dir.
inline uint64_t countcached(const std::string& dir) {
    uint64_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ioch_", 0) != 0) continue;
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir + "/");
        if (rd.openread(std::strtoll(name.c_str() + 5, nullptr, 10), nullptr) != 0) continue;
        zo::string b;
        for (int k; (k = rd.readblock(b, nullptr)) >= 0;) {
            tagvalarray a;
            soearray s;
            if (k == 0 && a.parse(b.data(), b.size())) n += a.items.size();
            if (k == 1 && s.parse(b.data(), b.size())) n += s.items.size();
        }
    }
    return n;
}

// A body of n tag values "tag0".."tag<n-1>" of one type, values 1..n at
// time 1000, each with bytes bytes of 'x' when bytes is not 0.  The caller
// owns it.
inline tagvalbody* tagvalues(uint32_t n, uint32_t vtype = 1, uint32_t bytes = 0) {
    auto* b = new tagvalbody;
    for (uint32_t i = 0; i < n; ++i) {
        tagval t;
        t.name = "tag" + std::to_string(i);
        t.vtype = vtype;
        t.vint = i + 1;
        t.time = 1000;
        if (bytes) t.vbytes.append(bytes, 'x');
        b->items.append(std::move(t));
    }
    return b;
}

using zotest::tmpdir;
