// gaprx's database writer against the recording stand-in of the library:
// each answer the library can give, and where the values end up.
#include "tools/gaprx/gapdb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dblink/fakeoxa_test.h"
#include "dblink/fakes_test.h"

namespace {

oxa_valrec value(int i) {
    oxa_valrec r{};
    std::snprintf(r.name, sizeof r.name, "t%d", i);
    r.time = 1000 + i;
    r.type = 1;
    r.v.i32 = i;
    return r;
}

std::string valsof(const std::string& request) {
    size_t at = request.find("\"vals\":");
    return at == std::string::npos ? std::string() : request.substr(at);
}

struct answercase {
    const char* answer;  // to the first request of three values
    bool again;          // sent again, then answered as written
    uint64_t written, dups, failed;
};

TEST(gapdb, EachAnswerSendsTheValuesOnTheirWay) {
    const answercase cases[] = {
        {R"({"status":0,"dups":1,"vals":[{"N":"t1","E":5}]})", false, 1, 1, 1},
        {R"({"status":0,"dups":7})", false, 0, 3, 0},
        {R"({"status":4,"message":"connection lost"})", true, 3, 0, 0},
        {R"({"status":3,"message":"database is locked"})", true, 3, 0, 0},
        {R"({"status":1,"message":"bad request"})", false, 0, 0, 3},
        {R"({"status":2})", false, 0, 0, 3},
        {"not an answer", false, 0, 0, 3},
    };
    for (const answercase& c : cases) {
        SCOPED_TRACE(c.answer);
        fakeoxa oxa;
        oxa.autoanswer = false;
        zotest::reclog log;
        gapdb db(&log, nullptr, oxa.table());
        std::string err;
        ASSERT_TRUE(db.open("sqlite://localhost/tmp/x.db", "u", "p", &err));
        for (int i = 0; i < 3; ++i) db.addval(value(i));
        db.flush();
        ASSERT_EQ(oxa.requests.size(), 1u);
        EXPECT_EQ(oxa.requests[0].rfind(R"({"request":"oxa_writesnaps",)", 0), 0u);
        EXPECT_TRUE(db.busy());
        oxa.answer(0, c.answer);
        EXPECT_EQ(db.busy(), c.again);
        db.flush();
        if (c.again) {
            // The same values again; a snapshot written since must not be set
            // back, so as a history insert.
            ASSERT_EQ(oxa.requests.size(), 2u);
            EXPECT_EQ(oxa.requests[1].rfind(R"({"request":"oxa_insert",)", 0), 0u);
            EXPECT_EQ(valsof(oxa.requests[1]), valsof(oxa.requests[0]));
            EXPECT_EQ(db.valsresent(), 3u);
            oxa.answer(1, R"({"status":0})");
        }
        EXPECT_EQ(oxa.requests.size(), c.again ? 2u : 1u);
        EXPECT_FALSE(db.busy());
        EXPECT_TRUE(db.drain(1000));
        EXPECT_EQ(db.valswritten(), c.written);
        EXPECT_EQ(db.valsdup(), c.dups);
        EXPECT_EQ(db.valsfailed(), c.failed);
        EXPECT_EQ(db.valswritten() + db.valsdup() + db.valsfailed(), db.valsin());
    }
}

// At exit the library answers what it still holds as not written: those
// values are given up and counted, not sent into a closed handle.
TEST(gapdb, CloseCountsWhatIsStillUnansweredAsFailed) {
    fakeoxa oxa;
    oxa.autoanswer = false;
    zotest::reclog log;
    gapdb db(&log, nullptr, oxa.table());
    std::string err;
    ASSERT_TRUE(db.open("sqlite://localhost/tmp/x.db", "u", "p", &err));
    for (int i = 0; i < 4; ++i) db.addval(value(i));
    db.flush();
    db.addval(value(9));
    db.close();
    EXPECT_EQ(oxa.requests.size(), 2u);
    EXPECT_EQ(db.valsfailed(), 5u);
    EXPECT_EQ(db.valsresent(), 0u);
    EXPECT_EQ(oxa.count("destory"), 1);
}

}  // namespace
