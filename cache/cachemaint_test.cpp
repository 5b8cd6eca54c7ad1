#include "cache/cachemaint.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::exists;
using names = std::vector<std::string>;

constexpr int64_t base = 1700000400;  // a period start

// Records what the replay hands to the database.  With hold, blocks stay in
// flight until the test settles them.
class recsink : public historysink {
  public:
    void inserthistory(tagvalarray* body) override {
        ++inserts;
        for (const tagval& v : body->items) got.emplace_back(v.name.view());
        delete body;
        if (hold) ++held;
    }
    void putsoe(const soearray& body) override {
        ++soeputs;
        for (const soerec& r : body.items) soes.emplace_back(r.f236.view());
    }
    bool replayfull() override { return held >= 2; }
    uint32_t replayinflight() override { return held; }
    bool hold = false;
    uint32_t held = 0;
    int inserts = 0;
    int soeputs = 0;
    names got;
    names soes;
};

class CacheMaintTest : public cachetest::fixture {
  protected:
    CacheMaintTest() : fixture(base + 1), cache(&log) { cache.configure(dir.path, 100, 8); }

    // Hands one block of integer values of the given tag names to the cache
    // at the current clock; the file stays open.
    void putvalues(const names& tags) {
        tagvalarray a;
        for (const auto& n : tags) {
            tagval v;
            v.name = n.c_str();
            v.vtype = 1;
            a.items.append(std::move(v));
        }
        cache.puttagvals(&a);
    }
    // Caches one block of the given tag names at second t.
    void cacheat(int64_t t, const names& tags) {
        int64_t keep = env.ms;
        env.setsec(t);
        putvalues(tags);
        cache.closewriter();
        env.ms = keep;
    }
    // Steps n simulated seconds, several cycles a second as the writer does.
    void run(cachemaint& m, int n, bool connected = true, bool gapudp = false) {
        for (int i = 0; i < n; ++i) {
            env.advance(1);
            while (m.step(connected, gapudp)) {
            }
        }
    }

    localcache cache;
    recsink sink;
};

// One file per scan, oldest first, each deleted before the next is opened;
// a file that cannot be opened is deleted too.
TEST_F(CacheMaintTest, ReplaysOldestFirstAndDeletesEachBeforeTheNext) {
    const int64_t o = base - 2400;  // four ended periods, none too old
    cacheat(o + 1805, {"d1"});
    cacheat(o + 1205, {"c1", "c2"});
    cacheat(o + 5, {"a1"});
    cacheat(o + 605, {"b1", "b2", "b3"});
    env.failread.insert(pathof(o + 1200));
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ((names{"a1"}), sink.got);
    run(m, 40);
    EXPECT_EQ((names{"a1", "b1", "b2", "b3", "d1"}), sink.got);
    for (int64_t s : {o, o + 600, o + 1200, o + 1800}) EXPECT_FALSE(exists(pathof(s))) << s;
    std::vector<int> at;  // each file is opened, then deleted, before the next
    for (int64_t s : {o, o + 600, o + 1200}) {
        at.push_back(log.find("open cache file " + pathof(s)));
        at.push_back(log.find("delete local cache file " + pathof(s) + " success"));
    }
    at.push_back(log.find("open cache file " + pathof(o + 1800) + " success."));
    EXPECT_GE(at[0], 0);
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
    EXPECT_EQ(1, log.count("open cache file " + pathof(o + 1200) + " failed."));
    EXPECT_EQ(1, log.count("30 insert history tagval records 3"));
    EXPECT_EQ(0, log.count("SOE records"));
}

TEST_F(CacheMaintTest, NothingBeforeElevenSecondsIntoTheNextPeriod) {
    cacheat(base + 30, {"x"});
    env.setsec(base + 100);
    {
        cachemaint m(&cache, &sink, &log);
        run(m, 500);  // up to base + 600: still its own period
        EXPECT_TRUE(sink.got.empty());
    }
    // Scans fall on base+600+10 (too early) and base+600+20.
    env.setsec(base + 600);
    {
        cachemaint m(&cache, &sink, &log);
        run(m, 10);
        EXPECT_EQ(0, log.count("open cache file"));
        run(m, 10);
        EXPECT_EQ(1u, sink.got.size());
    }
    // The edge from the other side: a scan exactly 11 s into the period.
    cacheat(base + 630, {"y"});
    env.setsec(base + 1201);
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ(2u, sink.got.size());
}

TEST_F(CacheMaintTest, ReplayOnlyWhileConnectedAndResumesAfterAnOutage) {
    for (int i = 0; i < 3; ++i) cacheat(600 + i, {"v" + std::to_string(i)});
    cachemaint m(&cache, &sink, &log);
    run(m, 30, false);
    EXPECT_FALSE(cache.reader.isopen());
    // Open, then one block, then the connection is lost with the file open.
    while (!cache.reader.isopen()) {
        env.advance(1);
        m.step(true, false);
    }
    EXPECT_EQ(1, m.step(true, false));
    EXPECT_EQ(0, m.step(false, false));
    run(m, 15, false);
    EXPECT_EQ(1u, sink.got.size());
    run(m, 1, true);
    EXPECT_EQ((names{"v0", "v1", "v2"}), sink.got);
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, FileGoesOnlyWhenEveryBlockIsSettledAndNoMoreThanTheSinkTakes) {
    for (int i = 0; i < 5; ++i) cacheat(605 + i, {"v" + std::to_string(i)});
    sink.hold = true;
    cachemaint m(&cache, &sink, &log);
    // (held blocks, seconds run, inserts so far, file still there)
    const int steps[][4] = {
        {-1, 10, 2, 1}, {1, 1, 3, 1}, {0, 5, 5, 1}, {1, 20, 5, 1}, {0, 1, 5, 0}};
    for (const auto& s : steps) {
        if (s[0] >= 0) sink.held = s[0];
        run(m, s[1]);
        EXPECT_EQ(s[2], sink.inserts);
        EXPECT_EQ(s[3] != 0, exists(pathof(600)));
        EXPECT_EQ(s[3] == 0, log.count("insert history tagval records 5") == 1);
    }
}

// SOE blocks go to putsoe; blocks of other kinds, that do not decode or hold
// nothing are passed over.
TEST_F(CacheMaintTest, EveryKindOfBlockGoesWhereItBelongs) {
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
    EXPECT_EQ((names{"soe0", "soe1", "soe2", "soe3"}), sink.soes);
    EXPECT_EQ(1, sink.soeputs);
    EXPECT_EQ((names{"after"}), sink.got);
    EXPECT_EQ(1, log.count("insert history SOE records 4"));
    EXPECT_EQ(1, log.count("insert history tagval records 1"));
    EXPECT_EQ(1, log.count(pathof(600) + ": a block of 3 bytes does not decode, passed over."));
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, TruncatedLastBlockAtEveryOffset) {
    cacheat(605, {"one"});
    cacheat(606, {"two", "three"});
    const size_t b2 = cachetest::slurp(pathof(600)).size();  // where the last block starts
    names many;
    for (int i = 0; i < 12; ++i) many.push_back("tag.number." + std::to_string(i));
    cacheat(607, many);  // compressed (128 bytes and more)
    const std::string whole = cachetest::slurp(pathof(600));
    ASSERT_EQ(2, whole[b2 + 2]);
    for (size_t cut = b2; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        dir.write("ioch_600", whole.substr(0, cut));
        recsink s;
        log.reset();
        env.setsec(base + 100);
        cachemaint m(&cache, &s, &log);
        run(m, 10);
        ASSERT_EQ((names{"one", "two", "three"}), s.got);
        EXPECT_FALSE(exists(pathof(600)));
        EXPECT_EQ(1, log.count("insert history tagval records 3"));
    }
}

TEST_F(CacheMaintTest, GapudpLinkDeletesFoundFiles) {
    cacheat(605, {"a"});
    cachemaint m(&cache, &sink, &log);
    run(m, 10, true, true);
    EXPECT_TRUE(sink.got.empty());
    EXPECT_EQ(1, log.count("30 udp channel can't insert history, delete the cache file"));
    EXPECT_EQ(1, log.count("dropped 1 tag values (no history through gapudp)."));
    EXPECT_FALSE(exists(pathof(600)));
}

TEST_F(CacheMaintTest, NoDirectoryNoWork) {
    localcache none;
    cachemaint m(&none, &sink, &log);
    for (int i = 0; i < 40; ++i) {
        env.advance(1);
        EXPECT_EQ(0, m.step(true, false) + m.step(false, false));
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(CacheMaintTest, TickRollsTheWriterOverAtThePeriodEnd) {
    env.setsec(base + 598);
    cachemaint m(&cache, &sink, &log);
    putvalues({"n"});
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
    for (int64_t s : {base, base + 600, base + 1200}) cacheat(s + 5, {"a"});
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
    m.enforcelimits();  // now below again
    EXPECT_TRUE(exists(pathof(base + 600)));
    // Files that are empty or not ours do not count.
    dir.write("ioch_abc", "zz");
    dir.write("other_5", "zz");
    dir.write("ioch_99", "");
    std::filesystem::create_directory(dir.path + "ioch_7");
    m.enforcelimits();
    EXPECT_TRUE(exists(dir.path + "ioch_abc"));
    EXPECT_TRUE(exists(dir.path + "ioch_99"));
    EXPECT_EQ(1, log.count("uplimit"));
}

TEST_F(CacheMaintTest, LimitsEveryThirtySecondsNeverOnTheFileBeingReplayed) {
    cache.maxhour = 1;
    cacheat(605, {"a", "a2"});
    for (int64_t s : {1205, 1805, 2405}) cacheat(s, {std::to_string(s)});
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
    EXPECT_EQ(1, log.count("20 dropped 2 tag values (cache limit)."));  // what it held
    // Connected, the file being replayed stays and the next oldest goes.
    sink.hold = true;
    log.reset();
    run(m, 30, true);
    EXPECT_EQ((names{"1205"}), sink.got);
    EXPECT_TRUE(exists(pathof(1200)));
    EXPECT_FALSE(exists(pathof(1800)));
    EXPECT_TRUE(exists(pathof(2400)));
    EXPECT_EQ(1, log.count("local cache uplimit, delete " + pathof(1800) + " success"));
}

}  // namespace
