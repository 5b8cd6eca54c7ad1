#include "cache/cachemaint.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::exists;
using cachetest::reclog;
using cachetest::slurp;
using cachetest::spit;
using cachetest::testenv;
using cachetest::tmpdir;

constexpr int64_t base = 1700000400;  // a period start

// Records what the replay hands to the database.  With hold, blocks stay in
// flight until the test settles them.
class recsink : public historysink {
  public:
    void inserthistory(tagvalarray* body) override {
        ++inserts;
        for (const tagval& v : body->items) names.emplace_back(v.name.view());
        delete body;
        if (hold) ++held;
    }
    void putsoe(const soearray& body) override {
        ++soeputs;
        for (const soerec& r : body.items) soetexts.emplace_back(r.f236.view());
    }
    bool replayfull() override { return held >= 2; }
    uint32_t replayinflight() override { return held; }
    bool hold = false;
    uint32_t held = 0;
    int inserts = 0;
    int soeputs = 0;
    std::vector<std::string> names;
    std::vector<std::string> soetexts;
};

class CacheMaintTest : public ::testing::Test {
  protected:
    CacheMaintTest() : env(base + 1), scope(&env), cache(&log) {
        cache.configure(dir.path, 100, 8);
    }
    std::string pathof(int64_t stamp) { return dir.path + "ioch_" + std::to_string(stamp); }

    // Hands one block of integer values of the given tag names to the cache
    // at the current clock; the file stays open.
    void putvalues(const std::vector<std::string>& names, int64_t ms = 0, int64_t vint = 0) {
        tagvalarray a;
        for (const auto& n : names) {
            tagval v;
            v.name = n.c_str();
            v.time = ms;
            v.vtype = 1;
            v.vint = vint;
            a.items.append(std::move(v));
        }
        cache.puttagvals(&a);
    }
    // Caches one block of the given tag names at second t.
    void cacheat(int64_t t, const std::vector<std::string>& names) {
        int64_t keep = env.ms;
        env.setsec(t);
        putvalues(names, t * 1000, 7);
        cache.closewriter();
        env.ms = keep;
    }
    // Steps once per simulated second for n seconds.
    void run(cachemaint& m, int n, bool connected = true, bool gapudp = false) {
        for (int i = 0; i < n; ++i) {
            env.advance(1);
            // Several cycles per second, as the writer thread does.
            while (m.step(connected, gapudp)) {
            }
        }
    }

    tmpdir dir;
    testenv env;
    zo::scopedenv scope;
    reclog log;
    localcache cache;
    recsink sink;
};

TEST_F(CacheMaintTest, ReplaysOldestFirstAndDeletesEachBeforeTheNext) {
    cacheat(1800 + 5, {"c1", "c2"});
    cacheat(600 + 5, {"a1"});
    cacheat(1200 + 5, {"b1", "b2", "b3"});
    cachemaint m(&cache, &sink, &log);
    run(m, 10);  // one file per scan
    EXPECT_EQ((std::vector<std::string>{"a1"}), sink.names);
    run(m, 20);
    EXPECT_EQ((std::vector<std::string>{"a1", "b1", "b2", "b3", "c1", "c2"}), sink.names);
    EXPECT_FALSE(exists(pathof(600)));
    EXPECT_FALSE(exists(pathof(1200)));
    EXPECT_FALSE(exists(pathof(1800)));
    int del600 = log.find("delete local cache file " + pathof(600) + " success");
    int open1200 = log.find("open cache file " + pathof(1200) + " success.");
    int del1200 = log.find("delete local cache file " + pathof(1200) + " success");
    int open1800 = log.find("open cache file " + pathof(1800) + " success.");
    ASSERT_GE(del600, 0);
    EXPECT_LT(del600, open1200);
    EXPECT_LT(open1200, del1200);
    EXPECT_LT(del1200, open1800);
    EXPECT_EQ(1, log.count("30 insert history tagval records 3"));
    EXPECT_EQ(0, log.count("SOE records"));
}

TEST_F(CacheMaintTest, NothingBeforeElevenSecondsIntoTheNextPeriod) {
    // The file of the period starting at base; the clock inside it.
    cacheat(base + 30, {"x"});
    env.setsec(base + 100);
    {
        cachemaint m(&cache, &sink, &log);
        run(m, 500);  // up to base + 600: still its own period
        EXPECT_FALSE(cache.reader.isopen());
        EXPECT_TRUE(sink.names.empty());
    }
    // Scans fall on base+600+10 (too early) and base+600+20.
    env.setsec(base + 600);
    {
        cachemaint m(&cache, &sink, &log);
        run(m, 10);
        EXPECT_EQ(0, log.count("open cache file"));
        run(m, 10);
        EXPECT_EQ(1, log.count("open cache file"));
        EXPECT_EQ(1u, sink.names.size());
    }
    // The edge from the other side: a scan exactly 11 s into the period.
    cacheat(base + 630, {"y"});
    env.setsec(base + 1201);
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ(2u, sink.names.size());
}

TEST_F(CacheMaintTest, ReplayOnlyWhileConnectedAndResumesAfterAnOutage) {
    for (int i = 0; i < 3; ++i) cacheat(600 + i, {"v" + std::to_string(i)});
    cachemaint m(&cache, &sink, &log);
    run(m, 30, false);
    EXPECT_TRUE(sink.names.empty());
    EXPECT_FALSE(cache.reader.isopen());
    // Open, then one block, then the connection is lost with the file open.
    while (!cache.reader.isopen()) {
        env.advance(1);
        m.step(true, false);
    }
    EXPECT_EQ(1, m.step(true, false));
    EXPECT_EQ(1u, sink.names.size());
    EXPECT_EQ(0, m.step(false, false));
    run(m, 15, false);
    EXPECT_TRUE(cache.reader.isopen());
    run(m, 1, true);
    EXPECT_EQ((std::vector<std::string>{"v0", "v1", "v2"}), sink.names);
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, FileGoesOnlyWhenEveryBlockIsSettledAndNoMoreThanTheSinkTakes) {
    for (int i = 0; i < 5; ++i) cacheat(605 + i, {"v" + std::to_string(i)});
    sink.hold = true;
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ(2, sink.inserts);  // the sink is full
    sink.held = 1;
    run(m, 1);
    EXPECT_EQ(3, sink.inserts);
    sink.held = 0;
    run(m, 5);
    EXPECT_EQ(5, sink.inserts);
    EXPECT_TRUE(exists(pathof(600)));  // read to its end, two blocks unsettled
    EXPECT_EQ(0, log.count("insert history tagval records"));
    sink.held = 1;
    run(m, 20);
    EXPECT_TRUE(exists(pathof(600)));
    sink.held = 0;
    run(m, 1);
    EXPECT_FALSE(exists(pathof(600)));
    EXPECT_EQ(1, log.count("insert history tagval records 5"));
}

TEST_F(CacheMaintTest, SoeBlocksGoToSoePutAndOtherKindsAreSkipped) {
    env.setsec(605);
    soearray s;
    for (int i = 0; i < 4; ++i) {
        soerec r;
        r.f236 = ("soe" + std::to_string(i)).c_str();
        r.f231 = 1;
        s.items.append(std::move(r));
    }
    cache.putsoes(&s);
    cache.writer.writeblock(7, "\x0a\x02\x08\x01", 4);  // an unknown kind
    cache.writer.writeblock(0, "\x0a\x05\x08", 3);      // does not decode
    cache.writer.writeblock(0, "\x92\x05\x01\x41", 4);  // decodes to no items
    putvalues({"after"});
    cache.closewriter();
    env.setsec(base + 100);
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ((std::vector<std::string>{"soe0", "soe1", "soe2", "soe3"}), sink.soetexts);
    EXPECT_EQ(1, sink.soeputs);
    EXPECT_EQ((std::vector<std::string>{"after"}), sink.names);
    EXPECT_EQ(1, log.count("insert history SOE records 4"));
    EXPECT_EQ(1, log.count("insert history tagval records 1"));
    EXPECT_EQ(1, log.count(pathof(600) + ": a block of 3 bytes does not decode, passed over."));
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, DamagedSecondBlockIsPassedOverAndTheBlocksBehindReplayed) {
    cacheat(605, {"good1", "good2"});
    cacheat(606, {"lost"});
    cacheat(607, {"kept"});
    std::string f = slurp(pathof(600));
    uint32_t first = 8 + (static_cast<uint8_t>(f[6]) | static_cast<uint8_t>(f[7]) << 8);
    f[first] = 0x11;  // bad magic of the second block
    spit(pathof(600), f);
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ((std::vector<std::string>{"good1", "good2", "kept"}), sink.names);
    EXPECT_EQ(1, log.count("cache file " + pathof(600) + " blk error."));
    EXPECT_EQ(1, log.count("bytes of damaged blocks passed over, resumed at offset"));
    EXPECT_EQ(1, log.count("insert history tagval records 3"));
    EXPECT_EQ(1, log.count("delete local cache file " + pathof(600) + " success"));
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, TruncatedLastBlockAtEveryOffset) {
    cacheat(605, {"one"});
    cacheat(606, {"two", "three"});
    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) many.push_back("tag.number." + std::to_string(i));
    cacheat(607, many);  // compressed (128 bytes and more)
    const std::string whole = slurp(pathof(600));
    size_t b1 = 8 + (static_cast<uint8_t>(whole[6]) | static_cast<uint8_t>(whole[7]) << 8);
    size_t b2 =
        b1 + 8 + (static_cast<uint8_t>(whole[b1 + 6]) | static_cast<uint8_t>(whole[b1 + 7]) << 8);
    ASSERT_EQ(2, whole[b2 + 2]);
    for (size_t cut = b2; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        spit(pathof(600), whole.substr(0, cut));
        recsink s;
        log.reset();
        env.setsec(base + 100);
        cachemaint m(&cache, &s, &log);
        run(m, 10);
        ASSERT_EQ((std::vector<std::string>{"one", "two", "three"}), s.names);
        EXPECT_FALSE(exists(pathof(600)));
        EXPECT_EQ(1, log.count("insert history tagval records 3"));
    }
}

TEST_F(CacheMaintTest, FileThatCannotBeOpenedIsDeleted) {
    cacheat(605, {"a"});
    cacheat(1205, {"b"});
    env.failread.insert(pathof(600));
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ(1, log.count("10 open cache file " + pathof(600) + " failed."));
    EXPECT_EQ(1, log.count("delete local cache file " + pathof(600) + " success"));
    EXPECT_FALSE(exists(pathof(600)));
    run(m, 10);
    EXPECT_EQ((std::vector<std::string>{"b"}), sink.names);
}

TEST_F(CacheMaintTest, GapudpLinkDeletesFoundFiles) {
    cacheat(605, {"a"});
    cachemaint m(&cache, &sink, &log);
    run(m, 10, true, true);
    EXPECT_TRUE(sink.names.empty());
    EXPECT_EQ(1, log.count("30 udp channel can't insert history, delete the cache file"));
    EXPECT_EQ(1, log.count("dropped 1 tag values (no history through gapudp)."));
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, NoDirectoryNoWork) {
    localcache none;
    cachemaint m(&none, &sink, &log);
    for (int i = 0; i < 40; ++i) {
        env.advance(1);
        EXPECT_EQ(0, m.step(true, false));
        EXPECT_EQ(0, m.step(false, false));
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(CacheMaintTest, TickRollsTheWriterOverAtThePeriodEnd) {
    env.setsec(base + 598);
    cachemaint m(&cache, &sink, &log);
    putvalues({"n"});
    EXPECT_TRUE(cache.writer.isopen());
    run(m, 1);
    EXPECT_TRUE(cache.writer.isopen());
    run(m, 1);  // base + 600
    EXPECT_FALSE(cache.writer.isopen());
}

// Limits: exercised directly for their edges, and through step() for when
// they run.
TEST_F(CacheMaintTest, AgeLimitAtItsEdge) {
    cache.maxhour = 1;
    cacheat(base + 5, {"old"});
    cacheat(base + 1205, {"new"});
    cachemaint m(&cache, &sink, &log);
    env.setsec(base + 3599);
    m.enforcelimits();
    EXPECT_TRUE(exists(pathof(base)));
    env.setsec(base + 3600);
    m.enforcelimits();
    EXPECT_FALSE(exists(pathof(base)));
    EXPECT_EQ(1, log.count("30 local cache uplimit, delete " + pathof(base) + " success"));
    // The single file left is never removed, however old.
    env.setsec(base + 100 * 3600);
    m.enforcelimits();
    EXPECT_TRUE(exists(pathof(base + 1200)));
}

TEST_F(CacheMaintTest, SizeLimitAtItsEdgeRemovesOneOldestPerCheck) {
    cache.maxsize = 100;
    cacheat(base + 5, {"a"});
    cacheat(base + 605, {"b"});
    cacheat(base + 1205, {"c"});
    const int64_t limit = 100LL * 1048576;
    env.sizes[pathof(base)] = limit / 2;
    env.sizes[pathof(base + 600)] = limit / 2 - 2;
    env.sizes[pathof(base + 1200)] = 1;  // total: one byte short
    cachemaint m(&cache, &sink, &log);
    m.enforcelimits();
    EXPECT_EQ(0, log.count("uplimit"));
    env.sizes[pathof(base + 1200)] = 2;  // total: exactly the limit
    m.enforcelimits();
    EXPECT_FALSE(exists(pathof(base)));
    EXPECT_TRUE(exists(pathof(base + 600)));
    m.enforcelimits();  // now below again
    EXPECT_TRUE(exists(pathof(base + 600)));
    // Files that are empty or not ours do not count.
    spit(dir.path + "ioch_abc", "zz");
    spit(dir.path + "other_5", "zz");
    spit(dir.path + "ioch_99", "");
    std::filesystem::create_directory(dir.path + "ioch_7");
    m.enforcelimits();
    EXPECT_TRUE(exists(dir.path + "ioch_abc"));
    EXPECT_TRUE(exists(dir.path + "ioch_99"));
    EXPECT_EQ(1, log.count("uplimit"));
}

TEST_F(CacheMaintTest, LimitsEveryThirtySecondsNeverOnTheFileBeingReplayed) {
    cache.maxhour = 1;
    cacheat(605, {"a", "a2"});
    cacheat(1205, {"b"});
    cacheat(1805, {"c"});
    cacheat(2405, {"d"});
    env.failremove = true;  // a removal that fails is tried again 30 s later
    cachemaint m(&cache, &sink, &log);
    run(m, 29, false);
    EXPECT_EQ(0, log.count("uplimit"));
    run(m, 1, false);
    EXPECT_EQ(1, log.count("local cache uplimit, delete " + pathof(600) + " failed"));
    EXPECT_EQ(0, log.count("dropped"));
    env.failremove = false;
    run(m, 30, false);
    EXPECT_FALSE(exists(pathof(600)));
    EXPECT_TRUE(exists(pathof(1200)));
    // What a removed file held is counted.
    EXPECT_EQ(1, log.count("20 dropped 2 tag values (cache limit)."));
    // Connected, the file being replayed stays and the next oldest goes.
    sink.hold = true;
    log.reset();
    run(m, 30, true);
    EXPECT_EQ((std::vector<std::string>{"b"}), sink.names);
    EXPECT_TRUE(exists(pathof(1200)));
    EXPECT_FALSE(exists(pathof(1800)));
    EXPECT_TRUE(exists(pathof(2400)));
    EXPECT_EQ(1, log.count("local cache uplimit, delete " + pathof(1800) + " success"));
}

}  // namespace
