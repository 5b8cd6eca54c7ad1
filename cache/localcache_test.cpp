#include "cache/localcache.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::reclog;
using cachetest::testenv;
using cachetest::tmpdir;

constexpr int64_t t0 = 1700000400;

tagval makeval(int i, uint32_t namelen = 12) {
    tagval v;
    std::string name = "tag" + std::to_string(i);
    name.resize(std::max<size_t>(name.size(), namelen), 'x');
    v.name = name;
    v.time = 17000004000000 + i;
    v.vtype = 5;
    v.vdouble = i * 0.5;
    v.quality = static_cast<uint32_t>(i % 3);
    return v;
}

class LocalCacheTest : public ::testing::Test {
  protected:
    LocalCacheTest() : env(t0 + 1), scope(&env), cache(&log) {
        cache.configure(std::string_view(dir.path).substr(0, dir.path.size() - 1), 100, 2);
    }
    std::string pathof(int64_t stamp) { return dir.path + "ioch_" + std::to_string(stamp); }
    // Every block of the file of stamp, decoded.
    struct blocks {
        std::vector<int> kinds;
        std::vector<uint32_t> sizes;
        std::vector<tagval> vals;
        std::vector<soerec> soes;
    };
    blocks readback(int64_t stamp) {
        blocks out;
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir.path);
        EXPECT_EQ(0, rd.openread(stamp, &log));
        zo::string b;
        for (int k; (k = rd.readblock(b, &log)) >= 0;) {
            out.kinds.push_back(k);
            out.sizes.push_back(b.size());
            if (k == 0) {
                tagvalarray a;
                EXPECT_TRUE(a.parse(b.data(), b.size()));
                for (auto& v : a.items) out.vals.push_back(std::move(v));
            } else {
                soearray a;
                EXPECT_TRUE(a.parse(b.data(), b.size()));
                for (auto& v : a.items) out.soes.push_back(std::move(v));
            }
        }
        return out;
    }

    tmpdir dir;
    testenv env;
    zo::scopedenv scope;
    reclog log;
    localcache cache;
};

TEST_F(LocalCacheTest, ConfigureSetsDirectoryWithSlashAndLimits) {
    EXPECT_EQ(dir.path, std::string(cache.directory.view()));
    EXPECT_EQ(dir.path, std::string(cache.writer.directory().view()));
    EXPECT_EQ(dir.path, std::string(cache.reader.directory().view()));
    EXPECT_EQ(100, cache.maxsize);
    EXPECT_EQ(2, cache.maxhour);
    cache.configure("", 5000, 9);  // an empty directory changes nothing
    EXPECT_EQ(100, cache.maxsize);
    EXPECT_EQ(dir.path, std::string(cache.directory.view()));

    localcache fresh;
    EXPECT_EQ(1000, fresh.maxsize);
    EXPECT_EQ(8, fresh.maxhour);
    EXPECT_FALSE(fresh.hasdirectory());
    tagvalarray a;
    a.items.append(makeval(1));
    fresh.puttagvals(&a);  // no directory: nothing, anywhere
    EXPECT_EQ(0, env.appendopens);
}

TEST_F(LocalCacheTest, TagValuesAndSoeRoundTripAsBlocksOfTheirKind) {
    tagvalarray a;
    for (int i = 0; i < 50; ++i) a.items.append(makeval(i));
    a.items[7].vtype = 7;
    a.items[7].vbytes = std::string_view("\x00\x01\x02", 3);
    cache.puttagvals(&a);
    soearray s;
    soerec r;
    r.f230 = 1234567;
    r.f236 = "station";
    r.f238 = "breaker open";
    r.f240 = 3;
    s.items.append(std::move(r));
    cache.putsoes(&s);

    blocks b = readback(t0);
    ASSERT_EQ(2u, b.kinds.size());
    EXPECT_EQ(0, b.kinds[0]);
    EXPECT_EQ(1, b.kinds[1]);
    ASSERT_EQ(50u, b.vals.size());
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(a.items[i].name, b.vals[i].name);
        EXPECT_EQ(a.items[i].time, b.vals[i].time);
        EXPECT_EQ(a.items[i].quality, b.vals[i].quality);
        EXPECT_EQ(a.items[i].vtype, b.vals[i].vtype);
    }
    EXPECT_EQ(3u, b.vals[7].vbytes.size());
    EXPECT_EQ(24.5, b.vals[49].vdouble);
    ASSERT_EQ(1u, b.soes.size());
    EXPECT_EQ(1234567u, b.soes[0].f230);
    EXPECT_EQ(b.soes[0].f238.view(), "breaker open");
    EXPECT_EQ(3u, b.soes[0].f240);
}

TEST_F(LocalCacheTest, LargeBatchIsCutIntoBlocksThatFitAndKeepOrder) {
    tagvalarray a;
    const int n = 6000;
    for (int i = 0; i < n; ++i) a.items.append(makeval(i, 20 + i % 70));
    // A few bulky values in between: a block must be cut before them, not
    // pushed past its limit by them.
    for (int i = 100; i < n; i += 997) {
        a.items[i].vtype = 6;
        a.items[i].vbytes = std::string(30000, 'b');
    }
    cache.puttagvals(&a);
    blocks b = readback(t0);
    ASSERT_GT(b.kinds.size(), 5u);
    for (uint32_t s : b.sizes) EXPECT_LE(s, cachefile::maxraw);
    ASSERT_EQ(static_cast<size_t>(n), b.vals.size());
    for (int i = 0; i < n; ++i) ASSERT_EQ(a.items[i].name, b.vals[i].name) << i;
    EXPECT_EQ(30000u, b.vals[100].vbytes.size());
    EXPECT_EQ(0u, cache.droppedrecords());
    EXPECT_EQ(0u, cache.writefailures());
}

TEST_F(LocalCacheTest, RecordsThatCannotBeCachedAreDroppedAlone) {
    tagvalarray a;
    a.items.append(makeval(1));
    tagval bad = makeval(2);
    bad.name = std::string_view("bad\xff\xfename", 9);  // not UTF-8
    a.items.append(std::move(bad));
    tagval huge = makeval(3);
    huge.vtype = 6;
    huge.vbytes = std::string(70000, 'h');
    a.items.append(std::move(huge));
    a.items.append(tagval());  // encodes to nothing: not written at all
    a.items.append(makeval(4));
    cache.puttagvals(&a);
    blocks b = readback(t0);
    ASSERT_EQ(2u, b.vals.size());
    EXPECT_EQ(b.vals[0].name, std::string_view(makeval(1).name.view()));
    EXPECT_EQ(b.vals[1].name, std::string_view(makeval(4).name.view()));
    EXPECT_EQ(2u, cache.droppedrecords());
    EXPECT_EQ(1, log.count("does not encode"));
    EXPECT_EQ(1, log.count("too large for a block"));
}

TEST_F(LocalCacheTest, EmptyBatchCreatesNoFileButClosesEndedPeriod) {
    tagvalarray empty;
    cache.puttagvals(&empty);
    cache.putsoes(nullptr);
    EXPECT_EQ(0, env.appendopens);
    EXPECT_FALSE(cache.writer.isopen());

    tagvalarray a;
    a.items.append(makeval(1));
    cache.puttagvals(&a);
    EXPECT_TRUE(cache.writer.isopen());
    env.advance(600);
    cache.puttagvals(&empty);
    EXPECT_FALSE(cache.writer.isopen());
    EXPECT_FALSE(cachetest::exists(pathof(t0 + 600)));
    EXPECT_EQ(1u, readback(t0).vals.size());
}

TEST_F(LocalCacheTest, FullDiskLosesBlocksButNotTheProcess) {
    env.diskfull = true;
    tagvalarray a;
    for (int i = 0; i < 20000; ++i) a.items.append(makeval(i));
    cache.puttagvals(&a);
    EXPECT_GT(cache.writefailures(), 1u);
    EXPECT_EQ(1, log.count("write cache file"));
    // Every lost record is counted, once.
    uint64_t vals = 0, soes = 0;
    cache.takelost(&vals, &soes);
    EXPECT_EQ(20000u, vals);
    EXPECT_EQ(0u, soes);
    cache.takelost(&vals, &soes);
    EXPECT_EQ(0u, vals);
}

}  // namespace
