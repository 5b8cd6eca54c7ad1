#include "dblink/velmarinst.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "dblink/fakeoxa_test.h"
#include "dblink/fakes_test.h"

namespace {

soebody* soes(uint32_t n) {
    auto* b = new soebody;
    for (uint32_t i = 0; i < n; ++i) b->items.emplace()->f230 = 100 + i;
    return b;
}

regbody* reg(std::initializer_list<const char*> names, uint32_t kind = 3212) {
    auto* r = new regbody;
    r->vi32 = kind;
    for (const char* n : names) r->strs.append(zo::string(n));
    return r;
}

class VelmarinstTest : public ::testing::Test {
  protected:
    std::string config(const std::string& body) { return dir_.write("link.ini", body); }
    std::string onelink(const std::string& extra = "",
                        const std::string& url = "sqlite://localhost/a.db") {
        return config(R"({"dblinks":[{"node":"n1","url":")" + url +
                      R"(","user":"u1","pswd":"p1"}])" + extra + "}");
    }
    size_t requests() {
        std::lock_guard<std::mutex> g(oxa_.mu);
        return oxa_.requests.size();
    }

    tmpdir dir_;
    zotest::reclog log_;
    fakeoxa oxa_;
};

// ---- start and stop ------------------------------------------------------------

// A start says what it did or why it failed ("@" stands for the
// configuration's directory).  A failed one leaves no handle behind; the
// cache the configuration names is made with its parents, and where it
// cannot be made the link starts without it; stop, or the destructor,
// releases the handle once.
TEST_F(VelmarinstTest, StartSaysWhatItDidAndStopReleasesOnce) {
    const std::string db = R"("url":"sqlite://localhost/a.db","user":"u1")";
    const std::string ok = db + R"(,"pswd":"p")";
    const struct {
        std::string link, extra;
        int createresult, connectresult;
        bool started;
        std::string line;
        int destroys;
    } rows[] = {
        {db, "", 5, 0, false, "@link.ini uplink config error.", 0},
        {ok, "", -1, 0, false, "", 0},
        {ok, "", 3, -5, false,
         "oxa_connectex sqlite://localhost/a.db asynchronous connection failed.", 2},
        // gapudp without a port: no library call at all.
        {R"("url":"gapudp://127.0.0.1","user":"u1","pswd":"p")", "", 5, 0, false,
         "oxa link url(gapudp://127.0.0.1) uport error", 0},
        // Started; this one is stopped by the destructor.
        {ok, "", 5, 0, true, "no config local cache for dblink simu1.", 1},
        {ok, R"(,"cache_path":"@a/b/cache","cache_maxsize":50)", 5, 0, true,
         "create local cache @a/b/cache/ success.", 1},
        {ok, R"(,"cache_path":"@plainfile/sub")", 5, 0, true,
         "create local cache @plainfile/sub/ failed.", 1},
    };
    dir_.write("plainfile", "x");
    for (auto r : rows) {
        for (std::string* t : {&r.extra, &r.line})
            if (size_t at = t->find('@'); at != std::string::npos) t->replace(at, 1, dir_.path);
        SCOPED_TRACE(r.line);
        std::string path = config(R"({"dblinks":[{"node":"n1",)" + r.link + "}]" + r.extra + "}");
        oxa_.calls.clear();
        oxa_.createresult = r.createresult;
        oxa_.connectresult = r.connectresult;
        log_.reset();
        {
            velmarinst inst(&log_, oxa_.table());
            // The second start: already running, or failing again.
            for (int i = 0; i < 2; ++i)
                EXPECT_EQ(inst.start(path.c_str(), "simu1"), r.started ? 0 : -1);
            EXPECT_EQ(log_.countexact(r.line), r.line.empty() ? 0 : r.started ? 1 : 2);
            EXPECT_EQ(inst.testhascache(), r.extra.find("a/b") != std::string::npos);
            for (int i = 0; i < 100; ++i) inst.pushval(tagvalues(1));
            if (!r.started || !r.extra.empty()) {
                inst.stop();  // stopped, or nothing started: nothing to do
                inst.stop();
            }
        }
        EXPECT_EQ(log_.count("stop Quorvane thread success."), r.started);
        EXPECT_EQ(oxa_.count("disconnect"), r.started);
        EXPECT_EQ(oxa_.count("destory"), r.destroys);
    }
}

// gapudp mode (end to end in gap_e2e): no library call at all, connected at
// once, what the rings still hold at stop sent as well.
TEST_F(VelmarinstTest, GapudpModeSendsEverythingWithoutTheLibrary) {
    zotest::heldport sink{SOCK_DGRAM};
    const std::string gapurl = "gapudp://127.0.0.1:" + std::to_string(sink.port);
    velmarinst inst(&log_, oxa_.table());
    inst.pushreg(reg({"a"}));
    ASSERT_EQ(inst.start(onelink("", gapurl).c_str(), "simu1"), 0);
    EXPECT_TRUE(inst.gapudpmode() && inst.isconnected() && inst.takestatechanged());
    // Packages of 256 values and of 32 SOE records make one datagram each
    // (two value packages merge into two); the stop sends what waits.
    for (int i = 0; i < 300; ++i) {
        inst.pushval(tagvalues(256));
        if (i % 10 == 0) inst.pushsoe(soes(32));
    }
    inst.stop();
    EXPECT_EQ(inst.testgap().sentcount(), 300u + 30);
    EXPECT_TRUE(oxa_.calls.empty());
    EXPECT_EQ(log_.count("registration of 1 tags discarded"), 1);
}

// ---- connection state --------------------------------------------------------

// The library's reason tells the operator what to fix; a run of failures is
// logged once; a change of the connection is taken once.
TEST_F(VelmarinstTest, StatusCallbackTracksConnection) {
    velmarinst inst(&log_, oxa_.table());
    ASSERT_EQ(inst.start(onelink().c_str(), "simu1"), 0);
    log_.reset();
    const struct {
        int code;
        const char* reason;
        bool connected, changed;
    } steps[] = {
        {60002, "no dir", false, false}, {60002, "no dir", false, false}, {60001, "", true, true},
        {12345, "", true, false},  // unknown codes change nothing
        {60003, "disk", false, true},    {60002, "", false, false},       {60002, "", false, false},
    };
    oxa_.curdbresult = 1;  // only one link: the first is named anyway
    for (const auto& s : steps) {
        oxa_.status(s.code, s.reason);
        EXPECT_EQ(inst.isconnected(), s.connected) << s.code;
        EXPECT_EQ(inst.takestatechanged(), s.changed) << s.code;
        EXPECT_FALSE(inst.takestatechanged());
    }
    // The lines themselves: cache_e2e and pg_e2e.
    EXPECT_EQ(log_.count("oxa sqlite://localhost/a.db connect failed, status 60002"), 2);
    EXPECT_EQ(log_.lines().size(), 4u);
    // One link, the library naming a second database: no url, not a stale one
    // (with a slave, its url: pg_e2e's failover).
    zo::string url("stale");
    inst.curdburl(url);
    EXPECT_TRUE(url.empty());
    velmarinst::on_status(60001, "", nullptr);  // no instance: ignored
}

// ---- the writer's cycle --------------------------------------------------------

// Disconnected, values and SOE records go to the cache (counted as dropped
// without one) and registrations are discarded; connected, one package of
// each ring a cycle, a value package taking no more from its ring while
// other rings had packages, empty packages deleted without a write.
TEST_F(VelmarinstTest, EachCycleWritesOrCountsOnePackageOfEachRing) {
    // Loaded but not started: the test runs each cycle itself.
    velmarinst inst(&log_, oxa_.table());
    ASSERT_TRUE(inst.testprepare(onelink().c_str()));
    inst.pushval(tagvalues(3));
    inst.pushsoe(soes(2));
    EXPECT_EQ(inst.pushreg(reg({"a"})), 1u);
    inst.putmsg("lost", 4);  // no handle: not called
    inst.testcycle();
    inst.testflushcounts();
    EXPECT_EQ(log_.countexact("dropped 3 tag values (no local cache).", zo::LOG_WRN), 1);
    EXPECT_EQ(log_.countexact("dropped 2 soe records (no local cache).", zo::LOG_WRN), 1);
    EXPECT_EQ(log_.count("registration of 1 tags discarded"), 1);
    EXPECT_TRUE(oxa_.calls.empty());

    velmarinst::on_status(velmarinst::statusconnected, "", &inst);
    inst.testhandle(5);
    for (int round = 0; round < 2; ++round) {
        inst.pushval(tagvalues(2));
        inst.pushval(round ? new tagvalbody : tagvalues(1));
        inst.pushsoe(round ? new soebody : soes(2));
        inst.pushreg(round ? new regbody : reg({"a", "b"}));
        inst.testcycle();
        EXPECT_EQ(inst.valqsize(), round + 1u);
    }
    // A deletion names its tags as they are, also those a registration
    // leaves out.
    inst.pushreg(reg({"sl/ash", "emo\xf0\x9f\x98\x80"}, 3512));
    inst.testcycle();
    EXPECT_EQ(requests(), 3u);
    EXPECT_EQ(oxa_.count("soeput"), 1);  // the records' fields: session_e2e
    // The IO server's messages reach the library as they are, an empty one
    // too (its text may have no storage at all).
    inst.putmsg(nullptr, 0);
    inst.putmsg("", 0);
    EXPECT_EQ(oxa_.puts, (std::vector<std::string>{
                             R"({"request":"oxa_regctrltags_put","seqno":0,"tags":["a","b"]})",
                             "{\"request\":\"oxa_regctrltags_del\",\"seqno\":0,"
                             "\"tags\":[\"sl\\/ash\",\"emo\xf0\x9f\x98\x80\"]}",
                             "", ""}));
}

// A full ring drops its oldest package, its records counted for the metrics
// (the line, at the bound of the value ring: host's session_test).
TEST_F(VelmarinstTest, AFullRingDropsItsOldestPackage) {
    velmarinst inst(&log_, oxa_.table());
    for (uint32_t i = 0; i < 512; ++i) inst.pushsoe(soes(i == 0 ? 3 : 1));
    velmarinst::stats_t st;
    inst.stats(&st);
    EXPECT_EQ(st.ringlostsoes, 3u);
    EXPECT_EQ(st.soequeued, 511u);
    EXPECT_EQ(log_.countexact("put chache full, lost one package records 3.", zo::LOG_WRN), 1);
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

}  // namespace
