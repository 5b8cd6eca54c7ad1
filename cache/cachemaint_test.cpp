#include "cache/cachemaint.h"

#include <gtest/gtest.h>

#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::names;

constexpr int64_t base = 1700000400;  // a period start

// Records what the replay hands to the database.  With hold, blocks stay in
// flight until the test settles them.
class recsink : public historysink {
  public:
    void inserthistory(tagvalarray* body) override {
        for (const tagval& v : body->items) got.emplace_back(v.name.view());
        delete body;
        if (hold) ++held;
    }
    void putsoe(const soearray& body) override {
        for (const soerec& r : body.items) soes.emplace_back(r.f236.view());
    }
    bool replayfull() override { return held >= 2; }
    uint32_t replayinflight() override { return held; }
    bool hold = false;
    uint32_t held = 0;
    names got;
    names soes;
};

class CacheMaintTest : public cachetest::fixture {
  protected:
    CacheMaintTest() : fixture(base + 1) {}

    // Caches one block of the given tag names at second t.
    void cacheat(int64_t t, const names& tags) {
        int64_t keep = env.ms;
        env.setsec(t);
        putvalues(tags);
        cache.closewriter();
        env.ms = keep;
    }
    // Steps n simulated seconds, several cycles a second as the writer does.
    void run(cachemaint& m, int n, bool connected = true) {
        for (int i = 0; i < n; ++i) {
            env.advance(1);
            while (m.step(connected, false)) {
            }
        }
    }

    recsink sink;
};

// One file per scan (every 10 s), oldest first, each deleted before the next
// is opened; a file that cannot be opened is deleted too.
TEST_F(CacheMaintTest, ReplaysOldestFirstAndDeletesEachBeforeTheNext) {
    const int64_t o = base - 2400;  // four ended periods, none too old
    cacheat(o + 1805, {"d1"});
    cacheat(o + 1205, {"c1", "c2"});
    cacheat(o + 5, {"a1"});
    cacheat(o + 605, {"b1", "b2", "b3"});
    env.failread.insert(pathof(o + 1200));
    cachemaint m(&cache, &sink, &log);
    const size_t got[] = {1, 4, 4, 5};  // values replayed after each scan
    for (int k = 0; k < 4; ++k) {
        run(m, 10);
        EXPECT_EQ(got[k], sink.got.size());
        for (int j = 0; j < 4; ++j) EXPECT_EQ(j > k, has(o + 600 * j)) << k << " " << j;
    }
    EXPECT_EQ((names{"a1", "b1", "b2", "b3", "d1"}), sink.got);
    EXPECT_EQ(1, log.count("open cache file " + pathof(o + 1200) + " failed."));
}

// The tick at a period's end closes the writer's file; the replay takes it
// from eleven seconds into the next period on, never before.
TEST_F(CacheMaintTest, NothingBeforeElevenSecondsIntoTheNextPeriod) {
    env.setsec(base + 100);
    putvalues({"x"});
    cachemaint m(&cache, &sink, &log);
    run(m, 499);
    EXPECT_TRUE(cache.writer.isopen());
    run(m, 1);  // base + 600
    EXPECT_FALSE(cache.writer.isopen());
    run(m, 10);  // the scan at base + 610 is too early
    EXPECT_EQ(0, log.count("open cache file"));
    run(m, 10);
    EXPECT_EQ(1u, sink.got.size());
    // The edge from the other side: a scan exactly 11 s into the period.
    cacheat(base + 630, {"y"});
    env.setsec(base + 1201);
    cachemaint again(&cache, &sink, &log);
    run(again, 10);
    EXPECT_EQ(2u, sink.got.size());
}

// A file of five blocks: the replay reads only while the database is
// connected and the sink takes more, and the file goes only when every block
// is settled, also across a lost connection with the file open.
TEST_F(CacheMaintTest, FileGoesOnlyWhenEveryBlockIsSettledAndNoMoreThanTheSinkTakes) {
    for (int i = 0; i < 5; ++i) cacheat(605 + i, {"v" + std::to_string(i)});
    sink.hold = true;
    cachemaint m(&cache, &sink, &log);
    struct {
        int held;  // set before the row's seconds, -1: as it is
        int seconds;
        bool connected;
        int inserts;  // so far
        bool there;   // the file
    } steps[] = {{-1, 30, false, 0, true}, {-1, 10, true, 2, true}, {0, 15, false, 2, true},
                 {1, 1, true, 3, true},    {0, 5, true, 5, true},   {1, 20, true, 5, true},
                 {0, 1, false, 5, true},   {0, 1, true, 5, false}};
    for (const auto& s : steps) {
        SCOPED_TRACE(&s - steps);
        if (s.held >= 0) sink.held = s.held;
        run(m, s.seconds, s.connected);
        EXPECT_EQ(static_cast<size_t>(s.inserts), sink.got.size());
        EXPECT_EQ(s.there, has(600));
        EXPECT_EQ(!s.there, log.count("insert history tagval records 5") == 1);
    }
    EXPECT_EQ((names{"v0", "v1", "v2", "v3", "v4"}), sink.got);
}

// SOE blocks go to putsoe; blocks of other kinds, that do not decode or hold
// nothing are passed over.
TEST_F(CacheMaintTest, EveryKindOfBlockGoesWhereItBelongs) {
    env.setsec(605);
    soearray s;
    for (const char* n : {"soe0", "soe1", "soe2"}) s.items.emplace()->f236 = n;
    cache.putsoes(&s);
    cache.writer.writeblock(7, "\x0a\x02\x08\x01", 4);  // an unknown kind
    cache.writer.writeblock(0, "\x0a\x05\x08", 3);      // does not decode
    cache.writer.writeblock(0, "\x92\x05\x01\x41", 4);  // decodes to no items
    putvalues({"after"});
    cache.closewriter();
    env.setsec(base + 100);
    cachemaint m(&cache, &sink, &log);
    run(m, 10);
    EXPECT_EQ((names{"soe0", "soe1", "soe2"}), sink.soes);
    EXPECT_EQ((names{"after"}), sink.got);
    EXPECT_EQ(1, log.count(pathof(600) + ": a block of 3 bytes does not decode, passed over."));
    EXPECT_FALSE(has(600));
}

// The limits at their edges: the oldest of three files goes at an age of one
// hour, or when they hold 100 MiB together (sizes as the env reports them),
// one file per check; files that are empty (ioch_99, the oldest of all) or
// not ours do not count.  The files are sparse: only their sizes matter.
TEST_F(CacheMaintTest, LimitsAtTheirEdgesRemoveOneOldestFilePerCheck) {
    const int64_t half = 50LL * 1048576;
    struct {
        int64_t now;
        int64_t sizes[3];
        bool oldestgoes;
    } rows[] = {{base + 3599, {1, 1, 1}, false},            // an hour less a second
                {base + 3600, {1, 1, 1}, true},             // an hour
                {base + 1300, {half, half - 2, 1}, false},  // a byte short of the size
                {base + 1300, {half, half - 2, 2}, true}};  // the size exactly
    cache.maxhour = 1;
    dir.write("ioch_abc", "zz");
    dir.write("other_5", "zz");
    dir.write("ioch_99", "");
    std::filesystem::create_directory(dir.path + "ioch_7");
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        for (int i = 0; i < 3; ++i) {
            cacheat(base + 600 * i + 5, {"a"});
            std::filesystem::resize_file(pathof(base + 600 * i), r.sizes[i]);
        }
        env.setsec(r.now);
        cachemaint m(&cache, &sink, &log);
        m.enforcelimits();
        EXPECT_EQ(r.oldestgoes, !has(base));
        EXPECT_TRUE(has(base + 600) && has(99) && std::filesystem::exists(dir.path + "ioch_abc"));
    }
}

// Limits are checked every 30 s; what a removed file held is counted as
// dropped, and the file being replayed stays while the next oldest goes.
TEST_F(CacheMaintTest, LimitsEveryThirtySecondsNeverOnTheFileBeingReplayed) {
    cache.maxhour = 1;
    cacheat(605, {std::string(200, 'a'), "a2"});  // an entry with a two-byte length
    for (int64_t s : {1205, 1805, 2405}) cacheat(s, {std::to_string(s)});
    cachemaint m(&cache, &sink, &log);
    run(m, 29, false);
    EXPECT_TRUE(has(600));
    run(m, 1, false);
    EXPECT_FALSE(has(600));
    EXPECT_EQ(1, log.count("20 dropped 2 tag values (cache limit)."));
    sink.hold = true;
    run(m, 30, true);
    EXPECT_EQ((names{"1205"}), sink.got);
    EXPECT_TRUE(has(1200) && has(2400));
    EXPECT_FALSE(has(1800));
    EXPECT_EQ(1, log.count("local cache uplimit, delete " + pathof(1800) + " success"));
}

}  // namespace
