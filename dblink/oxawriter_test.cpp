// The writer on its own, against the recording stand-in for the client
// library: request texts and batching, and where values go by what the
// library answers - released, back to the cache, or counted as dropped.
#include "dblink/oxawriter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "dblink/fakeoxa_test.h"
#include "dblink/fakes_test.h"

namespace {

int countof(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

class OxaWriterTest : public ::testing::Test {
  protected:
    OxaWriterTest() { w.sethandle(5); }
    void withcache() { cache.configure(dir.path, 100, 8); }
    // One live request of n values.
    void sendone(uint32_t n = 3) {
        tagvalbody* b = tagvalues(n);
        w.write_snapshots(b, true);
    }
    std::string request(size_t i) {
        std::lock_guard<std::mutex> g(oxa.mu);
        return i < oxa.requests.size() ? oxa.requests[i] : std::string();
    }
    size_t requests() {
        std::lock_guard<std::mutex> g(oxa.mu);
        return oxa.requests.size();
    }

    tmpdir dir;
    zotest::reclog log;
    fakeoxa oxa;
    oxawriter::valring valq{&log};
    std::atomic<uint8_t> connected{1};
    localcache cache{&log};
    oxawriter w{&log, oxa.table(), &valq, &connected, &cache};
};

// ---- request texts and batching ---------------------------------------------------

TEST_F(OxaWriterTest, PackagesShareARequestUntilMoreThan80Objects) {
    for (int i = 0; i < 4; ++i) valq.push(tagvalues(10));
    tagvalbody* first = tagvalues(10);
    w.write_snapshots(first, false);
    ASSERT_EQ(requests(), 1u);
    EXPECT_EQ(countof(request(0), "\"N\":"), 50);
    EXPECT_EQ(valq.size(), 0u);

    // 50 objects per package: the request closes after the second (100 > 80).
    for (int i = 0; i < 4; ++i) valq.push(tagvalues(50, 6, 4));
    tagvalbody* objs = tagvalues(50, 6, 4);
    w.write_snapshots(objs, false);
    ASSERT_EQ(requests(), 4u);
    EXPECT_EQ(countof(request(1), "\"DT\":6"), 100);
    EXPECT_EQ(countof(request(2), "\"DT\":6"), 100);
    EXPECT_EQ(countof(request(3), "\"DT\":6"), 50);
    // 80 objects do not close a request.
    valq.push(tagvalues(40, 7, 4));
    tagvalbody* more = tagvalues(40, 7, 4);
    w.write_snapshots(more, false);
    ASSERT_EQ(requests(), 5u);
    EXPECT_EQ(countof(request(4), "\"DT\":7"), 80);
}

TEST_F(OxaWriterTest, TenRequestsThenOtherRingsGetTheirTurn) {
    // Each package alone is over 64,000 bytes of text.
    for (int i = 0; i < 14; ++i) valq.push(tagvalues(1, 6, 64000));
    tagvalbody* first = tagvalues(1, 6, 64000);
    w.write_snapshots(first, false);
    EXPECT_EQ(requests(), 10u);
    EXPECT_EQ(valq.size(), 5u);
    for (size_t i = 0; i < 10; ++i) {
        std::string r = request(i);
        EXPECT_EQ(r.compare(r.size() - 2, 2, "]}"), 0);
        EXPECT_NE(r.find("\"seqno\":" + std::to_string(16777218 + i) + ","), std::string::npos);
    }
    // With another ring waiting, only the package in hand goes.
    tagvalbody* one = valq.pop();
    w.write_snapshots(one, true);
    EXPECT_EQ(requests(), 11u);
    EXPECT_EQ(valq.size(), 4u);
}

TEST_F(OxaWriterTest, TimeFormFollowsTheDatabaseVersion) {
    for (int version : {5103, 5104}) {
        oxa.inverresult = version;
        tagvalbody* b = tagvalues(1);
        b->items[0].time = 1706659200250;
        w.write_snapshots(b, true);
    }
    ASSERT_EQ(requests(), 2u);
    EXPECT_NE(request(0).find("\"T\":\"20"), std::string::npos) << request(0);
    EXPECT_NE(request(1).find("\"T\":1706659200250"), std::string::npos) << request(1);
}

TEST_F(OxaWriterTest, SequenceNumberWrapsAndIsSharedWithHistory) {
    w.setseqno(2147483645);
    sendone(1);
    w.inserthistory(tagvalues(2));
    w.inserthistory(tagvalues(1));
    ASSERT_EQ(requests(), 3u);
    EXPECT_NE(request(0).find("\"seqno\":2147483646,"), std::string::npos);
    EXPECT_EQ(request(1).rfind(R"({"request":"oxa_insert","seqno":16777217,"vals":[{)", 0), 0u);
    EXPECT_EQ(countof(request(1), "\"N\":"), 2);
    EXPECT_NE(request(2).find("\"seqno\":16777218,"), std::string::npos);
    w.inserthistory(new tagvalbody);  // nothing to insert: no request
    EXPECT_EQ(requests(), 3u);
}

TEST_F(OxaWriterTest, RegistrationTexts) {
    std::unique_ptr<regbody> del(new regbody);
    del->vi32 = 3512;
    del->strs.append(zo::string("a"));
    del->strs.append(zo::string("b"));
    w.register_ctrltags(*del);
    std::unique_ptr<regbody> put(new regbody);
    put->vi32 = 3212;
    put->strs.append(zo::string("q\"uote"));
    put->strs.append(zo::string("sl/ash"));
    w.register_ctrltags(*put);
    ASSERT_EQ(oxa.puts.size(), 2u);
    EXPECT_EQ(oxa.puts[0], R"({"request":"oxa_regctrltags_del","seqno":0,"tags":["a","b"]})");
    EXPECT_EQ(oxa.puts[1],
              R"({"request":"oxa_regctrltags_put","seqno":0,"tags":["q\"uote","sl\/ash"]})");
    EXPECT_EQ(log.countexact("oxa_regctrltags_del size60, tags 2", zo::LOG_DBG), 1);

    // Names a control value could not come back under (not in code page
    // 936, more than 79 bytes there) are left out, one log line each.
    const std::string longname(80, 'n');
    std::unique_ptr<regbody> odd(new regbody);
    odd->vi32 = 3212;
    for (const std::string& n : {std::string("emo\xf0\x9f\x98\x80"), longname, std::string("ok")})
        odd->strs.append(zo::string(n.c_str()));
    w.register_ctrltags(*odd);
    ASSERT_EQ(oxa.puts.size(), 3u);
    EXPECT_EQ(oxa.puts[2], R"({"request":"oxa_regctrltags_put","seqno":0,"tags":["ok"]})");
    EXPECT_EQ(log.count("ctrl tag emo\xf0\x9f\x98\x80 refused: "), 1);
    EXPECT_EQ(log.count("ctrl tag " + longname + " refused: "), 1);
}

// ---- where the values go -------------------------------------------------------------

TEST_F(OxaWriterTest, TheAnswerDecidesWhereTheValuesGo) {
    withcache();
    oxa.autoanswer = false;
    struct {
        const char* answer;
        uint64_t written, spilled, dropped, dups;
        const char* line;  // logged at error level, "" for none
    } cases[] = {
        {R"({"status":0,"response":"oxa_writesnaps","vals":[]})", 3, 0, 0, 0, ""},
        {R"({"status":0,"response":"oxa_writesnaps","dups":2,"vals":[]})", 1, 0, 0, 2, ""},
        {R"({"status":0,"response":"oxa_writesnaps","vals":[{"N":"t1","E":5},{"N":"t2","E":0},)"
         R"({"N":"t3"},{"E":4}]})",
         1, 0, 2, 0, "oxa_writesnaps tag t1 error 5"},
        {R"({"status":3,"response":"oxa_writesnaps","message":"busy"})", 0, 3, 0, 0,
         "oxa_writesnaps error 3, busy"},
        {R"({"status":4,"response":"oxa_insert","message":"gone"})", 0, 3, 0, 0,
         "oxa_insert error 4, gone"},
        {R"({"STATUS":"2","response":"oxa_insert"})", 0, 0, 3, 0, "oxa_insert error 2, "},
        {R"({"status":1,"response":"oxa_writesnaps","message":"bad"})", 0, 0, 3, 0,
         "oxa_writesnaps error 1, bad"},
        {"not json", 0, 0, 3, 0, "does not read, 3 values dropped"},
        {R"({"response":"oxa_insert"})", 0, 0, 3, 0, "does not read, 3 values dropped"},
    };
    size_t i = 0;
    for (const auto& c : cases) {
        oxawriter::counts before = w.totals();
        sendone();
        EXPECT_EQ(w.inflightbytes(), request(i).size());
        oxa.answer(i++, c.answer);
        EXPECT_EQ(w.settle(), 1u);
        oxawriter::counts after = w.totals();
        EXPECT_EQ(after.written - before.written, c.written) << c.answer;
        EXPECT_EQ(after.spilled - before.spilled, c.spilled) << c.answer;
        EXPECT_EQ(after.dropped - before.dropped, c.dropped) << c.answer;
        EXPECT_EQ(after.dups - before.dups, c.dups) << c.answer;
        if (*c.line) {
            EXPECT_GE(log.count(c.line), 1) << c.answer;
        }
    }
    EXPECT_EQ(w.inflightbytes(), 0u);
    EXPECT_EQ(countcached(dir.path), 6u);

    // An answer cut anywhere settles its request too; a name ending in 0 to
    // 4 backslashes comes back whole.
    for (int run = 0; run <= 4; ++run) {
        const std::string golden = R"({"status":0,"response":"oxa_writesnaps","vals":[{"N":"t9)" +
                                   std::string(2 * run, '\\') + R"(","E":5}]})";
        for (size_t cut = 0; cut <= golden.size(); ++cut) {
            sendone(1);
            oxa.answer(i++, golden.substr(0, cut));
            EXPECT_EQ(w.settle(), 1u);
        }
        EXPECT_EQ(log.countexact("oxa_writesnaps tag t9" + std::string(run, '\\') + " error 5"), 1)
            << golden;
    }
    EXPECT_EQ(w.inflightbytes(), 0u);
    w.flushcounts();
    EXPECT_EQ(log.countexact("dropped " + std::to_string(w.totals().dropped) +
                                 " tag values (refused by the database).",
                             zo::LOG_WRN),
              1);
    EXPECT_EQ(
        log.countexact("2 tag values already in history with the same name and time.", zo::LOG_INF),
        1);
}

TEST_F(OxaWriterTest, ARefusedCallSpillsOrDropsAndAFailedSoeWriteSpills) {
    withcache();
    struct {
        int callresult, soeresult;
        uint64_t spilled, dropped;
    } cases[] = {
        {OXA_ERR_QUEUEFULL, 0, 3, 0},    {OXA_ERR_NOTCONNECTED, 0, 3, 0}, {OXA_ERR_ARG, 0, 0, 3},
        {0, OXA_ERR_NOTCONNECTED, 2, 0}, {0, OXA_ERR_DB, 2, 0},           {0, OXA_ERR_ARG, 0, 2},
    };
    std::unique_ptr<soebody> soe(new soebody);
    soe->items.emplace()->f236 = "a";
    soe->items.emplace()->f236 = "b";
    for (const auto& c : cases) {
        oxa.callresult = c.callresult;
        oxa.soeresult = c.soeresult;
        oxawriter::counts before = w.totals();
        if (c.callresult) sendone();
        if (c.soeresult) w.write_soe(*soe);
        EXPECT_EQ(w.totals().spilled - before.spilled, c.spilled) << c.callresult << c.soeresult;
        EXPECT_EQ(w.totals().dropped - before.dropped, c.dropped) << c.callresult << c.soeresult;
        EXPECT_EQ(w.inflightbytes(), 0u);
    }
    EXPECT_EQ(log.countexact("oxa_writesnaps error -4", zo::LOG_ERR), 1);
    EXPECT_EQ(log.countexact("oxa_soeput error -6", zo::LOG_ERR), 1);
    EXPECT_EQ(countcached(dir.path), 10u);
}

TEST_F(OxaWriterTest, InFlightStaysBelowHalfTheLibraryQueue) {
    oxa.autoanswer = false;
    struct {
        int64_t queue;
        size_t bound;
    } cases[] = {{64 << 20, oxawriter::maxinflight},
                 {5 << 20, oxawriter::maxinflight},
                 {1 << 20, 512 << 10}};
    size_t answered = 0;
    for (const auto& c : cases) {
        oxa.queuebytesresult = c.queue;
        w.sethandle(5);
        EXPECT_EQ(w.inflightbound(), c.bound);
        size_t sent = requests();
        while (!w.livefull()) {
            tagvalbody* b = tagvalues(1, 6, 64000);
            w.write_snapshots(b, true);
        }
        EXPECT_LT(w.inflightbytes(), c.bound + 65000);
        while (answered < requests()) oxa.answer(answered++, R"({"status":0})");
        EXPECT_EQ(w.settle(), requests() - sent);
        EXPECT_FALSE(w.livefull());
        EXPECT_EQ(w.inflightbytes(), 0u);
    }
    // Replayed blocks have a window of their own, inside the same bound.
    for (uint32_t i = 0; i < oxawriter::replaywindow; ++i) {
        EXPECT_FALSE(w.replayfull());
        w.inserthistory(tagvalues(2));
    }
    EXPECT_TRUE(w.replayfull());
    EXPECT_EQ(w.replayinflight(), oxawriter::replaywindow);
    while (answered < requests()) oxa.answer(answered++, R"({"status":0})");
    w.settle();
    EXPECT_EQ(w.replayinflight(), 0u);
}

TEST_F(OxaWriterTest, AnswersFromTheLibraryThreadWhileTheWriterSends) {
    oxa.autoanswer = false;
    constexpr size_t total = 400;
    std::atomic<bool> done{false};
    std::thread library([&] {
        size_t next = 0;
        while (next < total) {
            size_t have;
            {
                std::lock_guard<std::mutex> g(oxa.mu);
                have = oxa.unanswered.size();
            }
            while (next < have) oxa.answer(next++, R"({"status":0})");
            std::this_thread::yield();
        }
        done = true;
    });
    for (size_t i = 0; i < total; ++i) {
        sendone(2);
        w.settle();
    }
    while (!done) w.waitanswer(std::chrono::milliseconds(5));
    library.join();
    w.settle();
    EXPECT_EQ(w.totals().written, 2 * total);
    EXPECT_EQ(w.inflightbytes(), 0u);
}

}  // namespace
