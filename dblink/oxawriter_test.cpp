// The writer on its own, against the recording stand-in for the client
// library: request texts and batching, and where values go by what the
// library answers - released, back to the cache, or counted as dropped.
#include "dblink/oxawriter.h"

#include <gtest/gtest.h>

#include <string>

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
    // One live request of n values.
    void sendone(uint32_t n = 3) {
        tagvalbody* b = tagvalues(n);
        w.write_snapshots(b, true);
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

// A request closes after the package that takes it over 80 objects or to
// 64,000 bytes of text; one call closes at most ten before the other rings
// get their turn, and only the package in hand goes while they wait.
TEST_F(OxaWriterTest, PackagesShareARequestUntilItIsFull) {
    const struct {
        uint32_t packages, values, vtype, bytes;
        bool others;
        std::vector<int> perrequest;  // values of each request
        size_t leftqueued;
    } rows[] = {
        {5, 10, 1, 0, false, {50}, 0},
        {5, 50, 6, 4, false, {100, 100, 50}, 0},  // 100 > 80
        {2, 40, 7, 4, false, {80}, 0},            // 80 objects do not close a request
        {15, 1, 6, 64000, false, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 5},
        {3, 10, 1, 0, true, {10}, 2},
    };
    size_t sent = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.packages * 1000 + r.values);
        for (uint32_t i = 1; i < r.packages; ++i) valq.push(tagvalues(r.values, r.vtype, r.bytes));
        tagvalbody* first = tagvalues(r.values, r.vtype, r.bytes);
        w.write_snapshots(first, r.others);
        ASSERT_EQ(oxa.requests.size(), sent + r.perrequest.size());
        for (int n : r.perrequest) {
            std::string q = oxa.requests.at(sent);
            EXPECT_EQ(countof(q, "\"DT\":" + std::to_string(r.vtype)), n);
            EXPECT_EQ(q.find(R"({"request":"oxa_writesnaps","seqno":)" +
                             std::to_string(oxawriter::firstseqno + 1 + sent) + ",\"vals\":[{"),
                      0u);
            EXPECT_EQ(q.compare(q.size() - 2, 2, "]}"), 0);
            ++sent;
        }
        EXPECT_EQ(valq.size(), r.leftqueued);
        while (tagvalbody* b = valq.pop()) delete b;
    }
}

// The sequence number wraps and is shared with history inserts; "T" is a
// number from database version 5104 on, local-time text before.
TEST_F(OxaWriterTest, SequenceNumberWrapsAndTimeFollowsTheDatabaseVersion) {
    w.setseqno(2147483645);
    oxa.inverresult = 5103;
    sendone(1);
    oxa.inverresult = 5104;
    w.inserthistory(tagvalues(2));
    w.inserthistory(new tagvalbody);  // nothing to insert: no request
    ASSERT_EQ(oxa.requests.size(), 2u);
    EXPECT_EQ(oxa.requests.at(0).rfind(
                  R"({"request":"oxa_writesnaps","seqno":2147483646,"vals":[{"T":")", 0),
              0u);
    EXPECT_EQ(oxa.requests.at(1).rfind(
                  R"({"request":"oxa_insert","seqno":16777217,"vals":[{"T":1000,)", 0),
              0u);
    EXPECT_EQ(countof(oxa.requests.at(1), "\"N\":"), 2);
}

// ---- where the values go -------------------------------------------------------------

// The call's result, or the answer to an accepted call, decides where the
// values go; an SOE write's result where the records go.
TEST_F(OxaWriterTest, TheAnswerDecidesWhereTheValuesGo) {
    cache.configure(dir.path, 100, 8);
    oxa.autoanswer = false;
    const struct {
        int callresult;
        const char* answer;
        uint64_t written, spilled, dropped, dups;
        const char* line;  // logged at error level, "" for none
    } cases[] = {
        {0, R"({"status":0,"response":"oxa_writesnaps","vals":[]})", 3, 0, 0, 0, ""},
        {0, R"({"status":0,"response":"oxa_writesnaps","dups":2,"vals":[]})", 1, 0, 0, 2, ""},
        {0,
         R"({"status":0,"response":"oxa_writesnaps","vals":[{"N":"t1","E":5},{"N":"t2","E":0},)"
         R"({"N":"t3"},{"E":4}]})",
         1, 0, 2, 0, "oxa_writesnaps tag t1 error 5"},
        {0, R"({"status":3,"response":"oxa_writesnaps","message":"busy"})", 0, 3, 0, 0,
         "oxa_writesnaps error 3, busy"},
        {0, R"({"status":4,"response":"oxa_insert","message":"gone"})", 0, 3, 0, 0,
         "oxa_insert error 4, gone"},
        {0, R"({"STATUS":"2","response":"oxa_insert"})", 0, 0, 3, 0, "oxa_insert error 2, "},
        {0, R"({"status":1,"response":"oxa_writesnaps","message":"bad"})", 0, 0, 3, 0,
         "oxa_writesnaps error 1, bad"},
        {0, "not json", 0, 0, 3, 0, "does not read, 3 values dropped"},
        {OXA_ERR_QUEUEFULL, "", 0, 3, 0, 0, "oxa_writesnaps error -4"},
        {OXA_ERR_NOTCONNECTED, "", 0, 3, 0, 0, ""},
        {OXA_ERR_ARG, "", 0, 0, 3, 0, ""},
        // SOE records: two.
        {OXA_ERR_NOTCONNECTED, nullptr, 0, 2, 0, 0, ""},
        {OXA_ERR_DB, nullptr, 0, 2, 0, 0, "oxa_soeput error -6"},
        {OXA_ERR_ARG, nullptr, 0, 0, 2, 0, ""},
    };
    soebody soe;
    soe.items.emplace()->f236 = "a";
    soe.items.emplace()->f236 = "b";
    size_t i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "soe");
        oxawriter::counts before = w.totals();
        (c.answer ? oxa.callresult : oxa.soeresult) = c.callresult;
        if (c.answer) sendone();
        if (!c.answer) w.write_soe(soe);
        if (c.answer && c.callresult == 0) {
            EXPECT_EQ(w.inflightbytes(), oxa.requests.at(i).size());
            oxa.answer(i++, c.answer);
            EXPECT_EQ(w.settle(), 1u);
        }
        oxawriter::counts after = w.totals();
        EXPECT_EQ(after.written - before.written, c.written);
        EXPECT_EQ(after.spilled - before.spilled, c.spilled);
        EXPECT_EQ(after.dropped - before.dropped, c.dropped);
        EXPECT_EQ(after.dups - before.dups, c.dups);
        EXPECT_GE(log.count(c.line), *c.line ? 1 : 0);
        EXPECT_EQ(w.inflightbytes(), 0u);
        oxa.callresult = oxa.soeresult = 0;
    }
    EXPECT_EQ(countcached(dir.path), 16u);

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
    EXPECT_EQ(log.countexact("dropped " + std::to_string(w.totals().dropped - 2) +
                                 " tag values (refused by the database).",
                             zo::LOG_WRN),
              1);
    EXPECT_EQ(
        log.countexact("2 tag values already in history with the same name and time.", zo::LOG_INF),
        1);
}

}  // namespace
