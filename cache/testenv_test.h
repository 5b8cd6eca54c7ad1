// testenv_test.h - helpers of the cache tests: an env with a settable clock
// and file faults, and the fixture every cache test starts from (the logger
// and directory come from tests/support).
#pragma once

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "tests/support/testsupport.h"

namespace cachetest {

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The 16-bit little-endian number at off (the lengths of a block header).
inline uint32_t le16(const std::string& f, size_t off) {
    return static_cast<uint8_t>(f[off]) | (static_cast<uint8_t>(f[off + 1]) << 8);
}

inline bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

// An append file whose appends fail, as on a full disk; the first failing
// append may leave part of its bytes behind (a torn write).
class fullfile : public zo::appendfile {
  public:
    fullfile(std::unique_ptr<zo::appendfile> f, size_t tornbytes)
        : f_(std::move(f)), torn_(tornbytes) {}
    bool append(const void* p, size_t n) override {
        if (torn_) f_->append(p, std::min(n, torn_));
        torn_ = 0;
        errno = ENOSPC;
        return false;
    }
    bool sync() override { return f_->sync(); }
    bool close() override { return f_->close(); }
    uint64_t size() const override { return f_->size(); }
    bool truncate(uint64_t n) override { return f_->truncate(n); }

  private:
    std::unique_ptr<zo::appendfile> f_;
    size_t torn_;
};

// Real files, a clock that moves only when told, and faults on demand.
class testenv : public zo::envwrapper {
  public:
    explicit testenv(int64_t startsec) : envwrapper(zo::env::defaultenv()), ms(startsec * 1000) {}
    int64_t nowms() override { return ms; }
    void setsec(int64_t s) { ms = s * 1000; }
    void advance(int64_t s) { ms += s * 1000; }

    std::unique_ptr<zo::appendfile> openappend(const std::string& p) override {
        ++appendopens;
        if (failopenappend) return nullptr;
        auto f = target()->openappend(p);
        if (f && diskfull) return std::make_unique<fullfile>(std::move(f), tornbytes);
        return f;
    }
    std::unique_ptr<zo::readfile> openread(const std::string& p) override {
        if (failread.count(p)) return nullptr;
        return target()->openread(p);
    }
    int64_t filesize(const std::string& p) override {
        auto it = sizes.find(p);
        return it != sizes.end() ? it->second : target()->filesize(p);
    }
    bool removefile(const std::string& p) override {
        if (failremove) return false;
        return target()->removefile(p);
    }

    int64_t ms;
    bool failopenappend = false;
    bool diskfull = false;
    size_t tornbytes = 0;
    bool failremove = false;
    int appendopens = 0;
    std::set<std::string> failread;        // paths whose open for reading fails
    std::map<std::string, int64_t> sizes;  // sizes reported instead of the real ones
};

// What every cache test has: a directory of its own, a testenv installed
// from a given second on, and a logger.
class fixture : public ::testing::Test {
  protected:
    explicit fixture(int64_t startsec) : env(startsec), scope(&env) { rd.setdirectory(dir.path); }
    std::string pathof(int64_t stamp) const { return dir.path + "ioch_" + std::to_string(stamp); }
    // The bodies of every block of the file of stamp, in order; those of
    // kind 1 (SOE) are marked with a leading '#'.
    std::vector<std::string> readall(int64_t stamp) {
        std::vector<std::string> out;
        EXPECT_EQ(0, rd.openread(stamp, &log));
        zo::string b;
        for (int k; (k = rd.readblock(b, &log)) >= 0;)
            out.push_back((k == 1 ? "#" : "") + std::string(b.view()));
        return out;
    }

    zotest::tmpdir dir;
    testenv env;
    zo::scopedenv scope;
    zotest::reclog log;
    cachefile rd{cachefile::modereader};
};

}  // namespace cachetest
