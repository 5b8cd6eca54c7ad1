#include "cache/localcache.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

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

class LocalCacheTest : public cachetest::fixture {
  protected:
    LocalCacheTest() : fixture(t0 + 1), cache(&log) {
        cache.configure(std::string_view(dir.path).substr(0, dir.path.size() - 1), 100, 2);
    }
    // Every block of the file of t0, decoded: kinds, decoded sizes, records.
    struct blocks {
        std::vector<int> kinds;
        std::vector<uint32_t> sizes;
        std::vector<tagval> vals;
        std::vector<soerec> soes;
    };
    blocks readback() {
        blocks out;
        for (std::string b : readall(t0)) {
            const bool soe = b[0] == '#';
            if (soe) b.erase(0, 1);
            out.kinds.push_back(soe);
            out.sizes.push_back(static_cast<uint32_t>(b.size()));
            tagvalarray a;
            soearray s;
            EXPECT_TRUE(soe ? s.parse(b.data(), b.size()) : a.parse(b.data(), b.size()));
            for (auto& v : a.items) out.vals.push_back(std::move(v));
            for (auto& r : s.items) out.soes.push_back(std::move(r));
        }
        return out;
    }

    localcache cache;
};

// (The fixture gives the directory without its slash.)
TEST_F(LocalCacheTest, ConfigureAddsTheSlashAndAnEmptyDirectoryChangesNothing) {
    EXPECT_EQ(dir.path, std::string(cache.reader.directory().view()));
    cache.configure("", 5000, 9);
    EXPECT_EQ(100, cache.maxsize);
    EXPECT_EQ(dir.path, std::string(cache.directory.view()));
    localcache fresh;
    tagvalarray a;
    a.items.append(makeval(1));
    fresh.puttagvals(&a);  // no directory: nothing, anywhere
    EXPECT_EQ(0, env.appendopens);
}

// Values and SOE records come back from blocks of their kind, in order; a
// large batch is cut into blocks that fit, also before bulky values.
TEST_F(LocalCacheTest, BatchesComeBackInBlocksThatFitAndKeepOrder) {
    tagvalarray a;
    const int n = 6000;
    for (int i = 0; i < n; ++i) a.items.append(makeval(i, 20 + i % 70));
    for (int i = 100; i < n; i += 997) {
        a.items[i].vtype = 6;
        a.items[i].vbytes = std::string(30000, 'b');
    }
    cache.puttagvals(&a);
    soearray s;
    soerec r;
    r.f230 = 1234567;
    r.f238 = "breaker open";
    s.items.append(std::move(r));
    cache.putsoes(&s);

    blocks b = readback();
    ASSERT_GT(b.kinds.size(), 5u);
    EXPECT_EQ(1, b.kinds.back());
    EXPECT_EQ(0, b.kinds[b.kinds.size() - 2]);
    for (uint32_t sz : b.sizes) EXPECT_LE(sz, cachefile::maxraw);
    ASSERT_EQ(static_cast<size_t>(n), b.vals.size());
    for (int i = 0; i < n; ++i) {
        const tagval &x = a.items[i], &y = b.vals[i];
        ASSERT_TRUE(x.name == y.name && x.time == y.time && x.quality == y.quality &&
                    x.vtype == y.vtype && (x.vtype != 5 || x.vdouble == y.vdouble) &&
                    x.vbytes.size() == y.vbytes.size())
            << i;
    }
    ASSERT_EQ(1u, b.soes.size());
    EXPECT_EQ(1234567u, b.soes[0].f230);
    EXPECT_EQ(b.soes[0].f238.view(), "breaker open");
    EXPECT_EQ(0u, cache.droppedrecords() + cache.writefailures());
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
    blocks b = readback();
    ASSERT_EQ(2u, b.vals.size());
    EXPECT_EQ(b.vals[0].name, std::string_view(makeval(1).name.view()));
    EXPECT_EQ(b.vals[1].name, std::string_view(makeval(4).name.view()));
    EXPECT_EQ(2u, cache.droppedrecords());
    EXPECT_EQ(2u, cache.losttotal().vals);  // in the metrics as tag values
    EXPECT_EQ(1, log.count("does not encode"));
    EXPECT_EQ(1, log.count("too large for a block"));
}

TEST_F(LocalCacheTest, EmptyBatchCreatesNoFileButClosesEndedPeriod) {
    tagvalarray empty;
    cache.puttagvals(&empty);
    cache.putsoes(nullptr);
    EXPECT_EQ(0, env.appendopens);
    tagvalarray a;
    a.items.append(makeval(1));
    cache.puttagvals(&a);
    EXPECT_TRUE(cache.writer.isopen());
    env.advance(600);
    cache.puttagvals(&empty);
    EXPECT_FALSE(cache.writer.isopen());
    EXPECT_EQ(1, env.appendopens);
}

// Every record in a block that could not be appended is counted, once.
TEST_F(LocalCacheTest, FullDiskLosesBlocksButNotTheProcess) {
    env.diskfull = true;
    tagvalarray a;
    for (int i = 0; i < 20000; ++i) a.items.append(makeval(i));
    cache.puttagvals(&a);
    EXPECT_GT(cache.writefailures(), 1u);
    EXPECT_EQ(1, log.count("write cache file"));
    uint64_t vals = 0, soes = 0;
    cache.takelost(&vals, &soes);
    EXPECT_EQ(20000u, vals);
    EXPECT_EQ(0u, soes);
    EXPECT_EQ(20000u, cache.losttotal().vals);
    cache.takelost(&vals, &soes);
    EXPECT_EQ(0u, vals);
}

}  // namespace
