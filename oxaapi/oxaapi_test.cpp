// The library through its C interface, against real SQLite files.
#include "oxaapi/oxaapi.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/jsonscan.h"
#include "oxaapi/testutil.h"

namespace {

using oxatest::query;
using oxatest::recorder;
using oxatest::statusof;

class oxaapitest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle = oxa_create();
        ASSERT_GE(handle, 0);
        rec.handle = handle;
        ASSERT_EQ(oxa_setmessagenotify(handle, recorder::onstatus, &rec), 0);
        ASSERT_EQ(oxa_initwritetodevice(handle, recorder::onvalue, &rec, recorder::onobject, &rec),
                  0);
        // Short intervals keep reconnect cases fast; the library's behaviour
        // does not depend on their length.
        ASSERT_EQ(oxa_setintervals(handle, 20, 10), 0);
        path = dir.file("rt.db");
    }
    void TearDown() override {
        if (handle >= 0) oxa_destory(handle);
    }
    static std::string urlof(const std::string& p) { return "sqlite://localhost" + p; }
    void connect() {
        ASSERT_EQ(oxa_connectex(handle, urlof(path).c_str(), "", "", 0), 0);
        ASSERT_TRUE(rec.waitcode(OXA_CONNECTED));
    }
    int call(const std::string& text) {
        return oxa_callmsg(handle, text.data(), static_cast<int>(text.size()), recorder::onresponse,
                           &rec);
    }
    std::string roundtrip(const std::string& text) {
        return rec.roundtrip([&] { return call(text); });
    }

    zotest::tmpdir dir;
    recorder rec;
    int handle = -1;
    std::string path;
};

const char snaps1[] =
    "{\"request\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":["
    "{\"T\":1700000000100,\"N\":\"p.i\",\"Q\":1,\"DT\":1,\"V\":42},"
    "{\"T\":1700000000100,\"N\":\"p.f\",\"DT\":3,\"V\":0.1},"
    "{\"T\":1700000000100,\"N\":\"p.d\",\"DT\":5,\"V\":2.5},"
    "{\"T\":1700000000100,\"N\":\"p.l\",\"DT\":4,\"V\":8589934592},"
    "{\"T\":1700000000100,\"N\":\"p.s\",\"DT\":6,\"V\":\"on\"},"
    "{\"T\":1700000000100,\"N\":\"p.b\",\"DT\":7,\"V\":\"AAE=\"}]}";

TEST_F(oxaapitest, writesnapsfillssnapshotandhistory) {
    connect();
    std::string r = roundtrip(snaps1);
    EXPECT_EQ(r, "{\"status\":0,\"response\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":[]}");
    EXPECT_EQ(query(path, "SELECT count(*) FROM snapshot"), "6");
    EXPECT_EQ(query(path, "SELECT count(*) FROM history"), "6");
    EXPECT_EQ(query(path,
                    "SELECT group_concat(name || ':' || typeof(value), ' ') FROM "
                    "(SELECT * FROM snapshot ORDER BY name)"),
              "p.b:blob p.d:real p.f:real p.i:integer p.l:integer p.s:text");
    EXPECT_EQ(query(path,
                    "SELECT time || ',' || quality || ',' || type || ',' || value "
                    "FROM snapshot WHERE name = 'p.i'"),
              "1700000000100,1,1,42");
    EXPECT_EQ(query(path, "SELECT value = CAST(0.1 AS REAL) FROM snapshot WHERE name = 'p.f'"),
              "0");
    EXPECT_EQ(query(path, "SELECT hex(value) FROM snapshot WHERE name = 'p.b'"), "0001");
}

TEST_F(oxaapitest, insertaddshistoryandmovessnapshotonlyforward) {
    connect();
    roundtrip(
        "{\"request\":\"oxa_writesnaps\",\"seqno\":1,\"vals\":["
        "{\"T\":5000,\"N\":\"h\",\"DT\":5,\"V\":5.0}]}");
    std::string r = roundtrip(
        "{\"request\":\"oxa_insert\",\"seqno\":2,\"vals\":["
        "{\"T\":3000,\"N\":\"h\",\"DT\":5,\"V\":3.0},{\"T\":4000,\"N\":\"h\",\"DT\":5,\"V\":4.0},"
        "{\"T\":3000,\"N\":\"fresh\",\"DT\":1,\"V\":7}]}");
    EXPECT_EQ(statusof(r), 0);
    EXPECT_EQ(query(path, "SELECT count(*) FROM history WHERE name = 'h'"), "3");
    EXPECT_EQ(query(path, "SELECT time FROM snapshot WHERE name = 'h'"), "5000");
    // A tag seen first in history gets its snapshot too.
    EXPECT_EQ(query(path, "SELECT value FROM snapshot WHERE name = 'fresh'"), "7");
    roundtrip(
        "{\"request\":\"oxa_insert\",\"seqno\":3,\"vals\":["
        "{\"T\":6000,\"N\":\"h\",\"DT\":5,\"V\":6.0}]}");
    EXPECT_EQ(query(path, "SELECT time || ':' || value FROM snapshot WHERE name = 'h'"),
              "6000:6.0");
    // The same block again (a replay after a crash): nothing doubles, and the
    // answer counts what history had already.
    r = roundtrip(
        "{\"request\":\"oxa_insert\",\"seqno\":4,\"vals\":["
        "{\"T\":3000,\"N\":\"h\",\"DT\":5,\"V\":3.0},{\"T\":7000,\"N\":\"h\",\"DT\":5,\"V\":7.0},"
        "{\"T\":3000,\"N\":\"fresh\",\"DT\":1,\"V\":7}]}");
    EXPECT_EQ(r, "{\"status\":0,\"response\":\"oxa_insert\",\"seqno\":4,\"dups\":2,\"vals\":[]}");
    EXPECT_EQ(query(path, "SELECT count(*) FROM history"), "6");
}

TEST_F(oxaapitest, badrequestsareansweredwitherrors) {
    connect();
    const std::pair<const char*, int> bad[] = {
        {"{\"request\":\"oxa_writesnaps\",\"seqno\":9,\"vals\":[{\"N\":", OXA_STATUS_BADREQUEST},
        {"not json at all", OXA_STATUS_BADREQUEST},
        {"{\"request\":\"oxa_dropall\",\"seqno\":4}", OXA_STATUS_UNKNOWN},
    };
    for (auto& [text, status] : bad) EXPECT_EQ(statusof(roundtrip(text)), status) << text;
    std::string r = roundtrip(
        "{\"request\":\"oxa_writesnaps\",\"seqno\":5,\"vals\":["
        "{\"T\":1,\"N\":\"good\",\"DT\":1,\"V\":1},{\"T\":1,\"N\":\"odd\",\"DT\":11,\"V\":1}]}");
    EXPECT_EQ(r,
              "{\"status\":0,\"response\":\"oxa_writesnaps\",\"seqno\":5,\"vals\":["
              "{\"N\":\"odd\",\"E\":2}]}");
    EXPECT_EQ(query(path, "SELECT group_concat(name) FROM snapshot"), "good");
    EXPECT_EQ(oxa_callmsg(handle, nullptr, 0, recorder::onresponse, &rec), OXA_ERR_ARG);
    EXPECT_EQ(oxa_callmsg(handle, "{}", -1, recorder::onresponse, &rec), OXA_ERR_ARG);
}

TEST_F(oxaapitest, soeputwritesrecordsatonce) {
    std::vector<oxa_soerec> recs(2);
    std::memset(recs.data(), 0, recs.size() * sizeof(oxa_soerec));
    EXPECT_EQ(oxa_soeput(handle, recs.data(), 2), OXA_ERR_NOTCONNECTED);
    connect();
    recs[0].f230 = 1700000000123;
    std::strcpy(recs[0].f236, "feeder 1");
    recs[1].f239 = 9;
    EXPECT_EQ(oxa_soeput(handle, recs.data(), 2), 0);
    // Synchronous: the rows are there when the call returns.
    EXPECT_EQ(query(path, "SELECT count(*) FROM soe"), "2");
    EXPECT_EQ(query(path, "SELECT f230 || ',' || f236 FROM soe ORDER BY id LIMIT 1"),
              "1700000000123,feeder 1");
    EXPECT_EQ(oxa_soeput(handle, recs.data(), -1), OXA_ERR_ARG);
    EXPECT_EQ(oxa_soeput(handle, nullptr, 1), OXA_ERR_ARG);
}

TEST_F(oxaapitest, controlwritesreachthecallbacks) {
    connect();
    const char reg[] = "{\"request\":\"oxa_regctrltags_put\",\"seqno\":0,\"tags\":[\"c1\",\"c2\"]}";
    ASSERT_EQ(oxa_putmsg(handle, reg, sizeof reg - 1), 0);
    // An answered request after the message proves the message ran.
    roundtrip("{\"request\":\"oxa_insert\",\"seqno\":1,\"vals\":[]}");
    EXPECT_EQ(query(path, "SELECT group_concat(name) FROM (SELECT name FROM ctrltags ORDER BY 1)"),
              "c1,c2");
    EXPECT_EQ(query(path,
                    "INSERT INTO ctrlwrites(name, time, quality, type, value) VALUES"
                    "('c3', 1700000000150, 0, 1, 1),"  // not a control tag
                    "('c1', 1700000000150, 3, 5, 12.5),"
                    "('c2', 1700000000250, 0, 6, 'open'),"
                    "('c1', 1700000000350, 0, 3, 0.1)"),
              "");
    ASSERT_TRUE(rec.wait([&] { return rec.vals.size() >= 2 && rec.objs.size() >= 1; }));
    {
        std::lock_guard<std::mutex> lk(rec.mu);
        EXPECT_STREQ(rec.vals[0].name, "c1");
        EXPECT_EQ(rec.vals[0].time, 17000000001);  // milliseconds / 100
        EXPECT_EQ(rec.vals[0].type, 5);
        EXPECT_EQ(rec.vals[0].quality, 3);
        EXPECT_EQ(rec.vals[0].v.f64, 12.5);
        EXPECT_EQ(rec.vals[1].type, 3);
        EXPECT_EQ(rec.vals[1].v.f32, 0.1f);
        EXPECT_EQ(rec.objs[0], "c2=open");
    }
    ASSERT_TRUE(rec.wait(
        [&] { return query(path, "SELECT count(*) FROM ctrlwrites WHERE delivered = 1") == "3"; }));
    EXPECT_EQ(query(path, "SELECT delivered FROM ctrlwrites WHERE name = 'c3'"), "0");

    // Unregistered, c1 gets nothing more; c3 registered now gets its write.
    const char swap[] = "{\"request\":\"oxa_regctrltags_del\",\"seqno\":0,\"tags\":[\"c1\"]}";
    ASSERT_EQ(oxa_putmsg(handle, swap, sizeof swap - 1), 0);
    std::string put3 = "{\"request\":\"oxa_regctrltags_put\",\"seqno\":0,\"tags\":[\"c3\"]}";
    EXPECT_EQ(statusof(roundtrip(put3)), 0);
    EXPECT_EQ(query(path,
                    "INSERT INTO ctrlwrites(name, time, type, value) VALUES"
                    "('c1', 1, 1, 5)"),
              "");
    ASSERT_TRUE(rec.wait([&] { return rec.vals.size() >= 3; }));
    EXPECT_STREQ(rec.vals[2].name, "c3");
    EXPECT_EQ(rec.vals[2].v.i32, 1);
    EXPECT_EQ(query(path, "SELECT delivered FROM ctrlwrites WHERE name = 'c1' AND time = 1"), "0");
}

// A name that a record could not carry back exactly is refused at
// registration with a per-tag error; a write for one registered by an older
// library is refused, never handed over under a cut or changed name.
TEST_F(oxaapitest, controltagnamesthatcannotcomebackarerefused) {
    connect();
    const std::string emoji = "emo\xf0\x9f\x98\x80", longname(80, 'n');
    const std::string han = "\xe6\xb5\x8b\xe8\xaf\x95";  // B2 E2 CA D4 in code page 936
    EXPECT_EQ(roundtrip(R"({"request":"oxa_regctrltags_put","seqno":0,"tags":[")" + emoji +
                        R"(",")" + longname + R"(",")" + han + R"("]})"),
              R"({"status":0,"response":"oxa_regctrltags_put","seqno":0,"vals":[{"N":")" + emoji +
                  R"(","E":6},{"N":")" + longname + R"(","E":6}]})");
    EXPECT_EQ(query(path, "SELECT group_concat(name) FROM ctrltags"), han);

    EXPECT_EQ(query(path, "INSERT INTO ctrltags VALUES('" + longname + "')"), "");
    EXPECT_EQ(query(path, "INSERT INTO ctrlwrites(name, time, type, value) VALUES ('" + longname +
                              "', 1, 1, 7), ('" + han + "', 1, 1, 8)"),
              "");
    ASSERT_TRUE(rec.wait([&] { return !rec.vals.empty(); }));
    ASSERT_TRUE(rec.wait(
        [&] { return query(path, "SELECT delivered FROM ctrlwrites WHERE value = 7") == "-1"; }));
    std::lock_guard<std::mutex> lk(rec.mu);
    ASSERT_EQ(rec.vals.size(), 1u);
    EXPECT_STREQ(rec.vals[0].name, "\xb2\xe2\xca\xd4");
    EXPECT_EQ(rec.vals[0].v.i32, 8);
}

TEST_F(oxaapitest, longobjectwritesarecut) {
    connect();
    std::string reg = "{\"request\":\"oxa_regctrltags_put\",\"tags\":[\"big\"]}";
    EXPECT_EQ(statusof(roundtrip(reg)), 0);
    EXPECT_EQ(query(path,
                    "INSERT INTO ctrlwrites(name, time, type, value) VALUES"
                    "('big', 0, 7, randomblob(1500)), ('big', 0, 6, ''),"
                    "('big', 0, 42, 1)"),
              "");
    ASSERT_TRUE(rec.wait([&] { return rec.objlens.size() >= 2; }));
    EXPECT_EQ(rec.objlens[0], OXA_OBJDATAMAX);
    EXPECT_EQ(rec.objlens[1], 0);
    // A type without a record is refused, not delivered again and again.
    ASSERT_TRUE(rec.wait(
        [&] { return query(path, "SELECT delivered FROM ctrlwrites WHERE type = 42") == "-1"; }));
}

TEST_F(oxaapitest, connectsoncethedirectoryappears) {
    struct lines {
        std::mutex mu;
        std::vector<std::pair<int, std::string>> v;
    } logged;
    ASSERT_EQ(oxa_setlog(
                  handle,
                  [](int level, const char* text, void* u) {
                      auto* l = static_cast<lines*>(u);
                      std::lock_guard<std::mutex> lk(l->mu);
                      l->v.emplace_back(level, text);
                  },
                  &logged),
              0);
    path = dir.file("later/rt.db");
    ASSERT_EQ(oxa_connectex(handle, urlof(path).c_str(), "", "", 0), 0);
    ASSERT_TRUE(rec.waitcode(OXA_CONNECTFAIL, 2));
    // Accepted while the database is away, written once it is there.
    ASSERT_EQ(call("{\"request\":\"oxa_writesnaps\",\"seqno\":77,\"vals\":["
                   "{\"T\":1,\"N\":\"w\",\"DT\":1,\"V\":1}]}"),
              0);
    ASSERT_EQ(::mkdir(dir.file("later").c_str(), 0755), 0);
    ASSERT_TRUE(rec.waitcode(OXA_CONNECTED));
    ASSERT_TRUE(rec.waitresponses(1));
    EXPECT_EQ(statusof(rec.responses[0]), 0);
    EXPECT_EQ(query(path, "SELECT value FROM snapshot WHERE name = 'w'"), "1");
    {
        std::lock_guard<std::mutex> lk(rec.mu);
        EXPECT_FALSE(rec.reasons[0].empty());
    }
    oxa_disconnect(handle);
    // Repeated failures with one reason give one error line.
    std::lock_guard<std::mutex> lk(logged.mu);
    int errors = 0, fails = 0;
    for (auto& [level, text] : logged.v) {
        if (text.find("connect failed") == std::string::npos) continue;
        ++fails;
        errors += level == 10;
    }
    EXPECT_GE(fails, 2);
    EXPECT_EQ(errors, 1);
}

TEST_F(oxaapitest, removedfilereconnectstoanewone) {
    connect();
    roundtrip("{\"request\":\"oxa_writesnaps\",\"vals\":[{\"T\":1,\"N\":\"a\",\"DT\":1,\"V\":1}]}");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_TRUE(rec.waitcode(OXA_DISCONNECTED));
    ASSERT_TRUE(rec.waitcode(OXA_CONNECTED, 2));
    EXPECT_EQ(statusof(roundtrip("{\"request\":\"oxa_writesnaps\",\"vals\":["
                                 "{\"T\":2,\"N\":\"b\",\"DT\":1,\"V\":2}]}")),
              0);
    EXPECT_EQ(query(path, "SELECT group_concat(name) FROM snapshot"), "b");
}

TEST_F(oxaapitest, destroyanswerseverypendingrequest) {
    path = dir.file("never/rt.db");
    ASSERT_EQ(oxa_connectex(handle, urlof(path).c_str(), "", "", 0), 0);
    for (int i = 0; i < 3; ++i) {
        std::string t =
            "{\"request\":\"oxa_insert\",\"seqno\":" + std::to_string(100 + i) + ",\"vals\":[]}";
        ASSERT_EQ(call(t), 0);
    }
    ASSERT_EQ(oxa_putmsg(handle, "{}", 2), 0);  // no answer wanted, none given
    EXPECT_EQ(oxa_destory(handle), 0);
    int h = handle;
    handle = -1;
    ASSERT_EQ(rec.responses.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        zo::jsonscan js;
        ASSERT_TRUE(js.scan(rec.responses[i]));
        int32_t status = 0, seqno = 0;
        js.getint("status", status);
        js.getint("seqno", seqno);
        EXPECT_EQ(status, OXA_STATUS_DISCONNECTED);
        EXPECT_EQ(seqno, 100 + i);
    }
    EXPECT_EQ(oxa_callmsg(h, "{}", 2, recorder::onresponse, &rec), OXA_ERR_HANDLE);
}

TEST_F(oxaapitest, handlestaysvalidforthelaststatus) {
    connect();
    ASSERT_EQ(oxa_destory(handle), 0);
    handle = -1;
    ASSERT_EQ(rec.codes.back(), OXA_DISCONNECTED);
    EXPECT_EQ(rec.curdbs.back(), 0);
    EXPECT_LT(oxa_curdb(rec.handle), 0);
}

TEST_F(oxaapitest, queueboundcomesfromtheurl) {
    EXPECT_EQ(oxa_queuebytes(handle), 64 << 20);
    const std::pair<const char*, int64_t> cases[] = {
        {"?queuebytes=2000000", 2000000},
        {"?x=1&queuebytes=5", 1 << 20},  // at least room for the largest requests
        {"?queuebytes=", -1},
        {"?queuebytes=12k", -1},
    };
    for (const auto& [query, want] : cases) {
        int h = oxa_create();
        ASSERT_GE(h, 0);
        int rc = oxa_connectex(h, (urlof(path) + query).c_str(), "", "", 0);
        EXPECT_EQ(rc, want < 0 ? OXA_ERR_URL : 0) << query;
        if (want > 0) {
            EXPECT_EQ(oxa_queuebytes(h), want) << query;
        }
        oxa_destory(h);
    }
}

TEST_F(oxaapitest, callsfollowthehandlesstate) {
    EXPECT_EQ(oxa_curdb(handle), 0);
    EXPECT_EQ(oxa_curdb_inver(handle), OXA_INVER);
    EXPECT_EQ(oxa_setslavedb(handle, "backup", 5432, "u", "p"), 0);
    EXPECT_EQ(call("{\"request\":\"oxa_insert\"}"), OXA_ERR_NOTCONNECTED);
    EXPECT_EQ(oxa_connectex(handle, "sqlite://elsewhere/tmp/x.db", "", "", 0), OXA_ERR_URL);
    EXPECT_EQ(oxa_connectex(handle, "sqlite://localhost/tmp/x.db", "", "", 1), OXA_ERR_ARG);
    connect();
    EXPECT_EQ(oxa_connectex(handle, urlof(path).c_str(), "", "", 0), OXA_ERR_STATE);
    EXPECT_EQ(oxa_disconnect(handle), 0);
    ASSERT_TRUE(rec.waitcode(OXA_DISCONNECTED));
    EXPECT_EQ(call("{\"request\":\"oxa_insert\"}"), OXA_ERR_NOTCONNECTED);
    // Connecting again after a disconnect works.
    ASSERT_EQ(oxa_connectex(handle, urlof(path).c_str(), "", "", 0), 0);
    ASSERT_TRUE(rec.waitcode(OXA_CONNECTED, 2));
    for (int bad : {-1, 5000}) {
        EXPECT_LT(oxa_queuebytes(bad), 0);
        EXPECT_LT(oxa_curdb(bad), 0);
        EXPECT_LT(oxa_curdb_inver(bad), 0);
        EXPECT_LT(oxa_setmessagenotify(bad, nullptr, nullptr), 0);
        EXPECT_LT(oxa_connectex(bad, "x", "", "", 0), 0);
        EXPECT_LT(oxa_putmsg(bad, "{}", 2), 0);
        EXPECT_LT(oxa_soeput(bad, nullptr, 0), 0);
        EXPECT_LT(oxa_disconnect(bad), 0);
        EXPECT_LT(oxa_destory(bad), 0);
    }
}

}  // namespace
