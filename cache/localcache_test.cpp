#include "cache/localcache.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::names;

constexpr int64_t t0 = 1700000400;

class LocalCacheTest : public cachetest::fixture {
  protected:
    LocalCacheTest() : fixture(t0 + 1) {}
    // The names of the values in the file of t0.
    names namesback() {
        names out;
        for (const std::string& b : readall(t0)) {
            tagvalarray a;
            EXPECT_TRUE(a.parse(b.data(), b.size()));
            for (const tagval& v : a.items) out.emplace_back(v.name.view());
        }
        return out;
    }
};

// A large batch is cut into blocks that fit, also before bulky values, and
// comes back in order; a record that does not encode or is too large for a
// block is dropped alone and counted (the values themselves: the cache's
// end-to-end runs, exactly once with their values and times).
TEST_F(LocalCacheTest, BatchesComeBackInBlocksThatFitAndOnlyBadRecordsAreDropped) {
    names want;
    tagvalarray a;
    for (int i = 0; i < 6000; ++i) {
        want.push_back("tag" + std::string(20 + i % 70, 'x') + "." + std::to_string(i));
        tagval* v = a.items.emplace();
        v->name = want[i].c_str();
        v->vtype = i % 997 == 100 ? 6 : 5;
        if (v->vtype == 6) v->vbytes = std::string(30000, 'b');
    }
    a.items.emplace()->name = std::string_view("bad\xff\xfename", 9);  // not UTF-8
    tagval* huge = a.items.emplace();
    huge->vtype = 6;
    huge->vbytes = std::string(70000, 'h');
    a.items.emplace();  // encodes to nothing: not written at all
    a.items.emplace()->name = "last";
    want.push_back("last");
    cache.puttagvals(&a);
    EXPECT_EQ(want, namesback());
    EXPECT_GT(readall(t0).size(), 5u);
    EXPECT_EQ(2u, cache.droppedrecords());
    EXPECT_EQ(2u, cache.losttotal().vals);  // in the metrics as tag values
    EXPECT_EQ(1, log.count("does not encode"));
    EXPECT_EQ(1, log.count("too large for a block"));
}

// Every record of a block that could not be appended is counted, once; the
// first failure of a run is logged.  With room again, writing resumes behind
// the last whole block (a torn append is cut off).
TEST_F(LocalCacheTest, FullDiskLosesCountedBlocksAndTheRestIsReadBack) {
    putvalues({"kept"});
    cache.closewriter();
    env.diskfull = true;
    env.tornbytes = 5;
    names many(20000, "v");
    putvalues(many);
    EXPECT_GT(cache.writefailures(), 1u);
    EXPECT_EQ(1, log.count("write cache file " + pathof(t0) + " failed"));
    uint64_t vals = 0, soes = 0;
    cache.takelost(&vals, &soes);
    EXPECT_EQ(20000u, vals);
    EXPECT_EQ(20000u, cache.losttotal().vals);
    env.diskfull = false;
    cache.closewriter();
    putvalues({"later"});
    EXPECT_EQ((names{"kept", "later"}), namesback());
}

}  // namespace
