// The cache inside the link instance: what the writer's cycle caches while
// the database is away, and what it replays once it is back, with a
// recording stand-in for the client library and a clock the test moves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cache/testenv_test.h"
#include "dblink/fakeoxa_test.h"
#include "dblink/velmarinst.h"

namespace {

using cachetest::reclog;
using cachetest::testenv;
using cachetest::tmpdir;

constexpr int64_t base = 1700000400;

// What start() does, without the writer thread: the test runs the cycles.
bool prepare(velmarinst& inst, fakeoxa& oxa, const std::string& cfg, int h) {
    if (!inst.testprepare(cfg.c_str())) return false;
    inst.testhandle(h);
    oxa.table()->setmessagenotify(h, velmarinst::on_status, &inst);
    return true;
}

tagvalbody* values(int first, int n) {
    auto* b = new tagvalbody;
    for (int i = first; i < first + n; ++i) {
        tagval t;
        t.name = ("t" + std::to_string(i)).c_str();
        t.vtype = 1;
        t.vint = i;
        t.time = 1000;
        b->items.append(std::move(t));
    }
    return b;
}

int countof(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

class LinkCacheTest : public ::testing::Test {
  protected:
    LinkCacheTest() : env(base + 100), scope(&env) {}
    std::string config(const std::string& cachepath) {
        std::string p = dir.path + "link.ini";
        std::ofstream(p) << R"({"dblinks":[{"node":"n1","url":"sqlite://localhost/tmp/a.db",)"
                         << R"("user":"u1","pswd":"p1"}],"cache_path":")" << cachepath << "\"}";
        return p;
    }
    // The maintenance steps of n simulated seconds (a cycle with nothing
    // queued runs just that step; calling it directly skips the idle nap).
    void seconds(velmarinst& inst, int n) {
        for (int i = 0; i < n; ++i) {
            env.advance(1);
            while (inst.testsettle() + inst.testmaintain()) {
            }
        }
    }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(oxa.mu);
        return oxa.requests;
    }

    tmpdir dir;
    testenv env;
    zo::scopedenv scope;
    reclog log;
    fakeoxa oxa;
};

TEST_F(LinkCacheTest, OutageIsCachedAndReplayedExactlyOnce) {
    std::string cachedir = dir.path + "a/b/cache/";
    velmarinst inst(&log, oxa.table());
    ASSERT_TRUE(prepare(inst, oxa, config(cachedir), 5));
    ASSERT_TRUE(inst.testhascache());
    oxa.status(60002);
    inst.pushval(values(0, 3));
    inst.pushval(values(3, 2));
    auto* s = new soebody;
    soerec r;
    r.f236 = "s1";
    s->items.append(std::move(r));
    inst.pushsoe(s);
    inst.testcycle();
    inst.testcycle();
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(std::filesystem::exists(cachedir + "ioch_" + std::to_string(base)));
    EXPECT_EQ(0, log.count("dropped (no local cache)"));

    // Back, still in the same period: live values go straight to the
    // database; the cached file waits until the period is over.
    oxa.status(60001);
    inst.pushval(values(100, 1));
    inst.testcycle();
    seconds(inst, 100);
    ASSERT_EQ(1u, requests().size());
    EXPECT_NE(std::string::npos, requests()[0].find("oxa_writesnaps"));

    seconds(inst, 430);  // to 11 s and more into the next period
    std::vector<std::string> req = requests();
    std::string all;
    for (size_t i = 1; i < req.size(); ++i) {
        EXPECT_NE(std::string::npos, req[i].find("\"request\":\"oxa_insert\"")) << req[i];
        all += req[i];
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(1, countof(all, "\"N\":\"t" + std::to_string(i) + "\"")) << i;
    {
        std::lock_guard<std::mutex> g(oxa.mu);
        ASSERT_EQ(1u, oxa.soes.size());
        EXPECT_STREQ("s1", oxa.soes[0][0].f236);
    }
    EXPECT_EQ(1, log.count("insert history tagval records 5"));
    EXPECT_EQ(1, log.count("insert history SOE records 1"));
    EXPECT_TRUE(std::filesystem::is_empty(cachedir));
}

TEST_F(LinkCacheTest, AFileGoesOnlyOnceTheDatabaseHasItAndWhatItDidNotWriteComesBack) {
    std::string cachedir = dir.path + "cache/";
    velmarinst inst(&log, oxa.table());
    ASSERT_TRUE(prepare(inst, oxa, config(cachedir), 5));
    inst.pushval(values(0, 5));
    inst.testcycle();
    std::string first = cachedir + "ioch_" + std::to_string(base);
    ASSERT_TRUE(std::filesystem::exists(first));

    oxa.autoanswer = false;
    oxa.status(60001);
    seconds(inst, 530);  // the replay reads the file to its end
    ASSERT_EQ(1u, requests().size());
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_EQ(0, log.count("insert history"));

    // The database went away while it ran: the block is cached again, and
    // only now the file goes.
    oxa.answer(0, R"({"status":4,"response":"oxa_insert","message":"lost"})");
    seconds(inst, 1);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_EQ(1, log.count("insert history tagval records 5"));
    std::string again = cachedir + "ioch_" + std::to_string(base + 600);
    EXPECT_TRUE(std::filesystem::exists(again));

    // Replayed once more after its own period, and written this time.
    seconds(inst, 600);
    ASSERT_EQ(2u, requests().size());
    EXPECT_EQ(requests()[0].substr(requests()[0].find("\"vals\"")),
              requests()[1].substr(requests()[1].find("\"vals\"")));
    oxa.answer(1, R"({"status":0,"response":"oxa_insert","vals":[]})");
    seconds(inst, 1);
    EXPECT_TRUE(std::filesystem::is_empty(cachedir));
}

TEST_F(LinkCacheTest, CacheDirectoryThatCannotBeMadeLeavesLinkWithoutCache) {
    std::string blocker = dir.path + "file";
    std::ofstream(blocker) << "x";
    velmarinst inst(&log, oxa.table());
    ASSERT_TRUE(prepare(inst, oxa, config(blocker + "/cache/"), 5));
    EXPECT_FALSE(inst.testhascache());
    inst.pushval(values(0, 2));
    inst.testcycle();
    inst.testflushcounts();
    EXPECT_EQ(1, log.count("dropped 2 tag values (no local cache)."));
    oxa.status(60001);
    inst.pushval(values(2, 1));
    inst.testcycle();
    seconds(inst, 40);
    EXPECT_EQ(1u, requests().size());
}

}  // namespace
