#include "dblink/velmarinst.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/env.h"
#include "cache/localcache.h"
#include "dblink/fakeoxa_test.h"
#include "dblink/fakes_test.h"
#include "dblink/gapsink_test.h"

namespace {

soebody* soes(uint32_t n) {
    auto* b = new soebody;
    for (uint32_t i = 0; i < n; ++i) {
        soerec s;
        s.f230 = 100 + i;
        s.f236 = "soe";
        b->items.append(std::move(s));
    }
    return b;
}

regbody* reg(uint32_t funid, std::initializer_list<const char*> names) {
    auto* r = new regbody;
    r->vi32 = funid;
    for (const char* n : names) r->strs.append(zo::string(n));
    return r;
}

class VelmarinstTest : public ::testing::Test {
  protected:
    std::string config(const std::string& body) { return dir_.write("link.ini", body); }
    std::string onelink(const std::string& extra = "") {
        return config(R"({"dblinks":[{"node":"n1","url":"sqlite://localhost/tmp/a.db",)"
                      R"("user":"u1","pswd":"p1"}])" +
                      extra + "}");
    }
    // An instance loaded with one link but not started, so that the test
    // runs each cycle itself; connected unless asked otherwise.
    velmarinst& ready(bool connected = true) {
        inst_.emplace(&log_, oxa_.table());
        EXPECT_TRUE(inst_->testprepare(onelink().c_str()));
        if (connected) velmarinst::on_status(velmarinst::statusconnected, "", &*inst_);
        return *inst_;
    }
    std::string request(size_t i) {
        std::lock_guard<std::mutex> g(oxa_.mu);
        return i < oxa_.requests.size() ? oxa_.requests[i] : std::string();
    }
    size_t requests() {
        std::lock_guard<std::mutex> g(oxa_.mu);
        return oxa_.requests.size();
    }

    tmpdir dir_;
    zotest::reclog log_;
    fakeoxa oxa_;
    std::optional<velmarinst> inst_;  // after what it uses: destroyed first
};

// ---- start and stop ------------------------------------------------------------

TEST_F(VelmarinstTest, StartFailsOnMissingBrokenOrUnusableConfig) {
    velmarinst inst(&log_, oxa_.table());
    std::string missing = dir_.path + "none.ini";
    EXPECT_EQ(inst.start(missing.c_str(), "simu1"), -1);
    EXPECT_EQ(log_.countexact("load config " + missing + " failed.", zo::LOG_ERR), 1);
    std::string broken = config("dblinks: none");
    EXPECT_EQ(inst.start(broken.c_str(), "simu1"), -1);
    EXPECT_EQ(log_.countexact("load config " + broken + " failed.", zo::LOG_ERR), 1);
    std::string p = config(R"({"dblinks":[{"node":"n","url":"ws://127.0.0.1:1","user":"u"}]})");
    EXPECT_EQ(inst.start(p.c_str(), "simu1"), -1);
    EXPECT_EQ(log_.countexact(p + " uplink config error.", zo::LOG_ERR), 1);
    EXPECT_TRUE(oxa_.calls.empty());
    inst.stop();  // nothing started: nothing to do
    EXPECT_EQ(log_.count("stop Quorvane thread"), 0);
}

TEST_F(VelmarinstTest, StartFailsWhenLibraryRefuses) {
    std::string p = onelink();
    {
        oxa_.createresult = -1;
        velmarinst inst(&log_, oxa_.table());
        EXPECT_EQ(inst.start(p.c_str(), "simu1"), -1);
        EXPECT_EQ(oxa_.count("connectex"), 0);
    }
    {
        oxa_.createresult = 3;
        oxa_.connectresult = -5;
        velmarinst inst(&log_, oxa_.table());
        EXPECT_EQ(inst.start(p.c_str(), "simu1"), -1);
        EXPECT_EQ(
            log_.countexact("oxa_connectex sqlite://localhost/tmp/a.db asynchronous connection "
                            "failed.",
                            zo::LOG_ERR),
            1);
        EXPECT_EQ(oxa_.count("destory"), 1);
        inst.stop();
        EXPECT_EQ(oxa_.count("disconnect"), 0);  // the handle is gone already
        zo::string url;
        inst.curdburl(url);
        EXPECT_TRUE(url.empty());
    }
}

TEST_F(VelmarinstTest, StartRegistersCallbacksAndStopReleases) {
    std::string cache = dir_.path + "a/b/cache";
    std::string p = onelink(R"(,"cache_path":")" + cache + R"(","cache_maxsize":50)");
    velmarinst inst(&log_, oxa_.table());
    ASSERT_EQ(inst.start(p.c_str(), "simu1"), 0);
    EXPECT_EQ(oxa_.calls, (std::vector<std::string>{"create", "setmessagenotify",
                                                    "initwritetodevice", "connectex"}));
    EXPECT_EQ(oxa_.url, "sqlite://localhost/tmp/a.db");
    EXPECT_EQ(oxa_.user, "u1");
    EXPECT_EQ(oxa_.pswd, "p1");
    EXPECT_EQ(oxa_.lasthandle, 5);
    EXPECT_FALSE(inst.isconnected());
    EXPECT_EQ(log_.countexact("create local cache " + cache + "/ success.", zo::LOG_INF), 1);
    EXPECT_EQ(log_.countexact("local cache limit: 100 MBytes, 8 hours", zo::LOG_INF), 1);
    EXPECT_EQ(log_.countexact("start Quorvane thread success.", zo::LOG_INF), 1);
    EXPECT_TRUE(std::filesystem::is_directory(cache));

    inst.stop();
    inst.stop();
    EXPECT_EQ(log_.countexact("stop Quorvane thread success."), 1);
    EXPECT_EQ(oxa_.count("disconnect"), 1);
    EXPECT_EQ(oxa_.count("destory"), 1);
}

TEST_F(VelmarinstTest, StartWithoutCacheAndWithBrokenCachePath) {
    {
        velmarinst inst(&log_, oxa_.table());
        ASSERT_EQ(inst.start(onelink().c_str(), "simu1"), 0);
        EXPECT_EQ(log_.countexact("no config local cache for dblink simu1.", zo::LOG_INF), 1);
    }
    // A file where a directory should be: the start goes on without cache.
    std::string file = dir_.write("plainfile", "x");
    velmarinst inst(&log_, oxa_.table());
    ASSERT_EQ(inst.start(onelink(R"(,"cache_path":")" + file + R"(/sub")").c_str(), "simu1"), 0);
    EXPECT_EQ(log_.countexact("create local cache " + file + "/sub/ failed.", zo::LOG_ERR), 1);
}

// gapudp mode: no library call at all, connected at once, every kind of
// package handled by the one-way link, what the rings still hold at stop
// sent as well, a cache file of an earlier run deleted (history cannot go
// one way), the link closed by stop.
TEST_F(VelmarinstTest, GapudpModeSendsEverythingWithoutTheLibrary) {
    const int64_t period = 1700000400;  // a period stamp
    zo::fakeclockenv clock((period - 600 + 5) * 1000);
    zo::scopedenv scope(&clock);
    std::string cache = dir_.path + "cache";
    {
        std::filesystem::create_directories(cache);
        localcache old(&log_);
        old.configure(cache + "/", 100, 8);
        std::unique_ptr<tagvalbody> v(tagvalues(2));
        old.puttagvals(v.get());
        old.closewriter();
    }
    ASSERT_EQ(countcached(cache), 2u);
    clock.setms((period + 5) * 1000);

    dgramsink sink;
    std::string p = config(R"({"dblinks":[{"node":"n1","url":")" + sink.url() +
                           R"(","user":"u1","pswd":"p1"}],"cache_path":")" + cache + "\"}");
    velmarinst inst(&log_, oxa_.table());
    inst.pushval(tagvalues(3));
    inst.pushval(tagvalues(2, 6, 4));
    inst.pushsoe(soes(40));
    inst.pushreg(reg(3212, {"a"}));
    ASSERT_EQ(inst.start(p.c_str(), "simu1"), 0);
    EXPECT_TRUE(inst.gapudpmode());
    EXPECT_TRUE(inst.isconnected());
    EXPECT_TRUE(inst.takestatechanged());
    zo::string url;
    inst.curdburl(url);
    EXPECT_EQ(url.view(), sink.url());
    // values (3), objects (2), SOE (32 and 8): four datagrams.
    std::vector<std::string> got;
    for (int i = 0; i < 100 && got.size() < 4; ++i) {
        for (std::string& d : sink.take(100)) got.push_back(d);
    }
    EXPECT_EQ(got.size(), 4u);

    // The writer sees the seconds go by until the scan finds the file.
    for (int i = 0; i < 2000 && countcached(cache) > 0; ++i) {
        clock.advancems(1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(countcached(cache), 0u);
    EXPECT_EQ(log_.countexact("udp channel can't insert history, delete the cache file"), 1);
    EXPECT_EQ(log_.countexact("dropped 2 tag values (no history through gapudp)."), 1);

    // Packages of 256 values and of 32 SOE records make one datagram each
    // (two value packages merge into two); the stop sends what waits.
    for (int i = 0; i < 300; ++i) {
        inst.pushval(tagvalues(256));
        if (i % 10 == 0) inst.pushsoe(soes(32));
    }
    inst.stop();
    EXPECT_EQ(inst.testgap().sentcount(), 4u + 300 + 30);
    EXPECT_EQ(inst.testgap().failedcount(), 0u);
    EXPECT_TRUE(oxa_.calls.empty());
    EXPECT_EQ(countcached(cache), 0u);
    EXPECT_EQ(log_.countexact("start oxalink " + sink.url() + " success.", zo::LOG_INF), 1);
    EXPECT_EQ(log_.countexact("close gapudp " + sink.url() + " ", zo::LOG_DBG), 1);
    EXPECT_EQ(log_.count("registration of 1 tags discarded"), 1);

    // A link the gapudp side cannot open fails the start.
    velmarinst bad(&log_, oxa_.table());
    std::string zero = config(R"({"dblinks":[{"node":"n1","url":"gapudp://127.0.0.1",)"
                              R"("user":"u1","pswd":"p1"}]})");
    EXPECT_EQ(bad.start(zero.c_str(), "simu1"), -1);
    EXPECT_EQ(log_.countexact("oxa link url(gapudp://127.0.0.1) uport error", zo::LOG_ERR), 1);
    EXPECT_FALSE(bad.gapudpmode());
    EXPECT_TRUE(oxa_.calls.empty());
}

// ---- connection state --------------------------------------------------------

TEST_F(VelmarinstTest, StatusCallbackTracksConnection) {
    velmarinst inst(&log_, oxa_.table());
    ASSERT_EQ(inst.start(onelink().c_str(), "simu1"), 0);
    for (int i = 0; i < 10; ++i) oxa_.status(60002, "directory does not exist (/tmp/x)");
    // Status and reason tell the operator what to fix.
    EXPECT_EQ(
        log_.countexact("oxa sqlite://localhost/tmp/a.db connect failed, status 60002, directory "
                        "does not exist (/tmp/x).",
                        zo::LOG_ERR),
        1);
    EXPECT_FALSE(inst.isconnected());
    EXPECT_FALSE(inst.takestatechanged());

    oxa_.curdbresult = 1;  // only one link: the first is named anyway
    oxa_.status(60001);
    EXPECT_TRUE(inst.isconnected());
    EXPECT_TRUE(inst.takestatechanged());
    EXPECT_FALSE(inst.takestatechanged());
    EXPECT_EQ(log_.countexact("oxa sqlite://localhost/tmp/a.db connected success.", zo::LOG_INF),
              1);

    oxa_.status(12345);  // unknown codes change nothing
    EXPECT_TRUE(inst.isconnected());
    EXPECT_FALSE(inst.takestatechanged());

    oxa_.status(60003, "history: disk I/O error");
    EXPECT_FALSE(inst.isconnected());
    EXPECT_TRUE(inst.takestatechanged());
    EXPECT_EQ(
        log_.countexact("oxa sqlite://localhost/tmp/a.db disconnect, status 60003, history: disk "
                        "I/O error.",
                        zo::LOG_INF),
        1);

    // A new run of failures is reported again, once; no reason, no comma.
    oxa_.status(60002);
    oxa_.status(60002);
    EXPECT_EQ(log_.countexact("oxa sqlite://localhost/tmp/a.db connect failed, status 60002."), 1);
    velmarinst::on_status(60001, "", nullptr);  // no instance: ignored
}

TEST_F(VelmarinstTest, SlaveAndCurrentDatabaseUrl) {
    velmarinst inst(&log_, oxa_.table());
    zo::string url;
    inst.curdburl(url);
    EXPECT_TRUE(url.empty());
    std::string two = config(R"({"dblinks":[
        {"node":"n1","url":"ws://127.0.0.1:7000","user":"u1","pswd":"p1"},
        {"node":"n2","url":"ws://127.0.0.1:7001","user":"u2","pswd":"p2"}]})");
    ASSERT_EQ(inst.start(two.c_str(), "simu1"), 0);
    EXPECT_EQ(oxa_.url, "ws://127.0.0.1:7000");
    // The second link is announced as the slave database.
    EXPECT_EQ(oxa_.count("setslavedb"), 1);
    EXPECT_EQ(oxa_.slavehost, "127.0.0.1");
    EXPECT_EQ(oxa_.slaveport, 7001);
    EXPECT_EQ(oxa_.slaveuser, "u2");
    EXPECT_EQ(oxa_.slavepswd, "p2");
    inst.curdburl(url);
    EXPECT_EQ(url.view(), "ws://127.0.0.1:7000");
    oxa_.curdbresult = 1;
    inst.curdburl(url);
    EXPECT_EQ(url.view(), "ws://127.0.0.1:7001");
    oxa_.status(60001);
    EXPECT_EQ(log_.countexact("oxa ws://127.0.0.1:7001 connected success."), 1);
    inst.stop();
    inst.curdburl(url);
    EXPECT_TRUE(url.empty());

    // One link, the library naming a second database: no url, not a stale one.
    velmarinst one(&log_, oxa_.table());
    ASSERT_EQ(one.start(onelink().c_str(), "simu1"), 0);
    url = "stale";
    one.curdburl(url);
    EXPECT_TRUE(url.empty());
}

// ---- the writer's cycle --------------------------------------------------------

TEST_F(VelmarinstTest, DisconnectedCycleCountsWhatItCannotCache) {
    velmarinst& inst = ready(false);
    inst.pushval(tagvalues(3));
    inst.pushsoe(soes(2));
    EXPECT_EQ(inst.pushreg(reg(3212, {"a"})), 1u);
    inst.testcycle();
    EXPECT_TRUE(oxa_.requests.empty());
    EXPECT_TRUE(oxa_.soes.empty());
    EXPECT_TRUE(oxa_.puts.empty());
    inst.testflushcounts();
    EXPECT_EQ(log_.countexact("dropped 3 tag values (no local cache).", zo::LOG_WRN), 1);
    EXPECT_EQ(log_.countexact("dropped 2 soe records (no local cache).", zo::LOG_WRN), 1);
    EXPECT_EQ(log_.count("registration of 1 tags discarded"), 1);
    EXPECT_EQ(inst.valqsize(), 0u);
    inst.testcycle();  // nothing left: an idle cycle
}

TEST_F(VelmarinstTest, ConnectedCycleWritesOneOfEachKind) {
    velmarinst& inst = ready();
    inst.testhandle(5);
    inst.pushval(tagvalues(2));
    inst.pushval(tagvalues(1));
    inst.pushsoe(soes(2));
    inst.pushreg(reg(3212, {"a", "b"}));
    inst.testcycle();
    ASSERT_EQ(requests(), 1u);
    EXPECT_EQ(request(0),
              R"({"request":"oxa_writesnaps","seqno":16777218,"vals":[)"
              R"({"T":1000,"N":"tag0","DT":1,"V":1},{"T":1000,"N":"tag1","DT":1,"V":2}]})");
    // Other rings had packages this cycle: the second value package waits.
    EXPECT_EQ(inst.valqsize(), 1u);
    ASSERT_EQ(oxa_.soes.size(), 1u);
    ASSERT_EQ(oxa_.soes[0].size(), 2u);
    EXPECT_EQ(oxa_.soes[0][1].f230, 101u);
    EXPECT_STREQ(oxa_.soes[0][0].f236, "soe");
    ASSERT_EQ(oxa_.puts.size(), 1u);
    EXPECT_EQ(oxa_.puts[0], R"({"request":"oxa_regctrltags_put","seqno":0,"tags":["a","b"]})");
    EXPECT_EQ(oxa_.lasthandle, 5);

    inst.testcycle();
    ASSERT_EQ(requests(), 2u);
    EXPECT_NE(request(1).find("\"seqno\":16777219"), std::string::npos);
    // Empty packages are deleted without a write.
    inst.pushval(new tagvalbody);
    inst.pushsoe(new soebody);
    inst.pushreg(new regbody);
    inst.testcycle();
    EXPECT_EQ(requests(), 2u);
    EXPECT_EQ(oxa_.soes.size(), 1u);
    EXPECT_EQ(oxa_.puts.size(), 1u);
}

TEST_F(VelmarinstTest, DisconnectInTheMiddleOfABatch) {
    velmarinst& inst = ready(false);
    inst.testhandle(5);
    ASSERT_EQ(oxa_.table()->setmessagenotify(5, velmarinst::on_status, &inst), 0);
    oxa_.status(60001);
    oxa_.statusoncall = 60003;  // the first send loses the database
    oxa_.answerstatus = 4;      // and its request is not written
    inst.testcache(dir_.path, 100, 8);
    for (int i = 0; i < 4; ++i) inst.pushval(tagvalues(1, 6, 64000));
    inst.testcycle();
    EXPECT_EQ(requests(), 1u);
    EXPECT_FALSE(inst.isconnected());
    EXPECT_EQ(inst.valqsize(), 3u);  // nothing more was taken from the ring
    inst.testcycle();                // the answer sends its package to the cache, the next follows
    inst.testcycle();
    EXPECT_EQ(inst.valqsize(), 1u);
    inst.testflushcounts();
    EXPECT_EQ(log_.count("dropped"), 0);
}

// The IO server's messages reach the library as they are, an empty one too
// (its text may have no storage at all); without a handle nothing is called.
TEST_F(VelmarinstTest, MessagesGoToTheLibraryEvenEmpty) {
    velmarinst& inst = ready(false);
    inst.putmsg("lost", 4);
    inst.testhandle(5);
    inst.putmsg("{\"cmd\":1}", 9);
    inst.putmsg(nullptr, 0);
    inst.putmsg("", 0);
    EXPECT_EQ(oxa_.puts, (std::vector<std::string>{"{\"cmd\":1}", "", ""}));
}

TEST_F(VelmarinstTest, AtTheBoundValuesGoToTheCacheOrWaitInTheirRing) {
    oxa_.autoanswer = false;
    oxa_.queuebytesresult = 1 << 20;  // 512 KB in flight at most: 9 requests of 64 KB
    std::filesystem::create_directories(dir_.path + "cache");
    for (bool withcache : {false, true}) {
        SCOPED_TRACE(withcache);
        size_t base = requests();
        velmarinst& inst = ready();
        inst.testhandle(5);
        if (withcache) inst.testcache(dir_.path + "cache", 100, 8);
        for (int i = 0; i < 20; ++i) inst.pushval(tagvalues(1, 6, 64000));
        inst.testcycle();
        EXPECT_EQ(requests() - base, 9u);
        inst.testcycle();
        inst.testcycle();
        EXPECT_EQ(requests() - base, 9u);
        // Without a cache the ring keeps them; with one, the cache takes one
        // package a cycle.
        EXPECT_EQ(inst.valqsize(), withcache ? 9u : 11u);
        for (size_t k = base; k < base + 9; ++k) oxa_.answer(k, R"({"status":0})");
        inst.testcycle();  // room again
        EXPECT_EQ(requests() - base, 18u);
        inst_.reset();
    }
}

// ---- with the writer thread ----------------------------------------------------------

TEST_F(VelmarinstTest, StopCachesWhatIsInFlightOrWaiting) {
    oxa_.autoanswer = false;
    std::string cache = dir_.path + "cache";
    velmarinst inst(&log_, oxa_.table());
    ASSERT_EQ(inst.start(onelink(R"(,"cache_path":")" + cache + "\"").c_str(), "simu1"), 0);
    oxa_.status(60001);
    for (int i = 0; i < 5; ++i) inst.pushval(tagvalues(2));
    for (int i = 0; i < 20000 && (requests() == 0 || inst.valqsize() > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(requests(), 1u);
    EXPECT_EQ(countcached(cache), 0u);
    // Values that are still in their ring at the stop are cached as well.
    oxa_.status(60003);
    for (int i = 0; i < 3; ++i) inst.pushval(tagvalues(2));
    inst.stop();
    EXPECT_EQ(countcached(cache), 16u);
    EXPECT_EQ(log_.count("dropped"), 0);
}

TEST_F(VelmarinstTest, DestructorStopsARunningInstance) {
    {
        velmarinst inst(&log_, oxa_.table());
        ASSERT_EQ(inst.start(onelink().c_str(), "simu1"), 0);
        EXPECT_EQ(inst.start(onelink().c_str(), "simu1"), 0);  // already running
        for (int i = 0; i < 100; ++i) inst.pushval(tagvalues(1));
    }
    EXPECT_EQ(log_.countexact("stop Quorvane thread success."), 1);
    EXPECT_EQ(oxa_.count("destory"), 1);
    EXPECT_EQ(oxa_.count("create"), 1);
}

}  // namespace
