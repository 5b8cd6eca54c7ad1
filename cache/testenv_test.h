// testenv_test.h - what every cache test starts from: a directory of its own
// (tests/support), an env with a clock that moves only when told and file
// faults on demand, a store configured there and a reader of its files.
#pragma once

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "cache/localcache.h"
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

class testenv : public zo::envwrapper {
  public:
    explicit testenv(int64_t startsec) : envwrapper(zo::env::defaultenv()), ms(startsec * 1000) {}
    int64_t nowms() override { return ms; }
    void setsec(int64_t s) { ms = s * 1000; }
    void advance(int64_t s) { ms += s * 1000; }

    std::unique_ptr<zo::appendfile> openappend(const std::string& p) override {
        auto f = target()->openappend(p);
        if (f && diskfull) return std::make_unique<fullfile>(std::move(f), tornbytes);
        return f;
    }
    std::unique_ptr<zo::readfile> openread(const std::string& p) override {
        return failread.count(p) ? nullptr : target()->openread(p);
    }

    int64_t ms;
    bool diskfull = false;
    size_t tornbytes = 0;
    std::set<std::string> failread;  // paths whose open for reading fails
};

using names = std::vector<std::string>;

class fixture : public ::testing::Test {
  protected:
    // The store gets the directory without its slash, which it adds.
    explicit fixture(int64_t startsec) : env(startsec), scope(&env), cache(&log) {
        rd.setdirectory(dir.path);
        cache.configure(std::string_view(dir.path).substr(0, dir.path.size() - 1), 100, 8);
    }
    // Hands the store one batch of values of the given tag names at the
    // current clock; the file stays open.
    void putvalues(const names& tags) {
        tagvalarray a;
        for (const auto& n : tags) {
            tagval* v = a.items.emplace();
            v->name = n.c_str();
            v->vtype = 1;
        }
        cache.puttagvals(&a);
    }
    std::string pathof(int64_t stamp) const { return dir.path + "ioch_" + std::to_string(stamp); }
    bool has(int64_t stamp) const { return std::filesystem::exists(pathof(stamp)); }
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
    localcache cache;
};

}  // namespace cachetest
