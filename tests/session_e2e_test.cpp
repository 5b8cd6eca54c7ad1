// End-to-end test of the session with the IO server: the built Quorvane
// program against an IO server played by this test on loopback, with a
// SQLite database whose directory appears while the session is logged in.
// Every wait is bounded (against hanging only).
#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

class sessione2e : public qvtest {};

// Values a plant really sends, on the whole road into the database and
// back: packages raw, LZ4, cut in two and two in one send; doubles and
// floats with all their digits; texts and names ending in backslashes (in a
// value, a tag-error response and a registration); control tags whose names
// a record could not carry back (an emoji, more than 79 bytes in code page
// 936) next to ones it can; a cache path ending in backslashes.
TEST_F(sessione2e, EveryValueArrivesAsSentAndControlWritesComeBack) {
    ASSERT_NO_FATAL_FAILURE(prepare("db/rt.db", ""));
    const std::string cache = (pd.dir() / "c").string();
    ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl, cache + "\\\\"));
    spawn();
    ASSERT_TRUE(io.acceptlogin()) << logsrv.dump();
    EXPECT_EQ(io.loginhead.ver, 300u);
    EXPECT_EQ(io.loginhead.seqno, 1u);
    EXPECT_EQ(str(io.loginreq.f121), inst);
    EXPECT_EQ(io.loginreq.f125, 2u);
    EXPECT_EQ(io.loginreq.f133, 50u);
    ASSERT_TRUE(io.answerlogin(0, "", 5));
    EXPECT_TRUE(logsrv.waitfor("login io-server success.")) << logsrv.dump();
    EXPECT_TRUE(logsrv.waitfor("create local cache " + cache + "/ success.")) << logsrv.dump();

    // Run information while the database is away: field 172 is 3.
    pb3head head;
    zo::string pkg;
    ASSERT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
    runinfoarray info(67);
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
    ASSERT_EQ(info.items.size(), 1u);
    const auto& first = info.items[0];
    EXPECT_EQ(str(first.f160), inst);
    EXPECT_EQ(first.f161, 5u);
    EXPECT_EQ(first.f162, static_cast<uint32_t>(prog.pid));
    EXPECT_EQ(first.f170, 2u);
    EXPECT_EQ(first.f171, 50u);
    EXPECT_EQ(first.f172, 3u);

    // The database comes: the program asks for the write tags right behind
    // run information, which then names the database.
    fs::create_directories(pd.dir() / "db");
    uint32_t lastseq = 0;
    for (int i = 0; i < 100 && head.funid != 3211; ++i) {
        if (head.funid == 3206) lastseq = head.seqno;
        ASSERT_TRUE(io.next(&head, &pkg)) << logsrv.dump();
    }
    ASSERT_EQ(head.funid, 3211u) << logsrv.dump();
    EXPECT_EQ(head.seqno, lastseq + 1);
    ASSERT_TRUE(io.nextof(3206, &head, &pkg)) << logsrv.dump();
    ASSERT_TRUE(pkgpb3::parsebody(pkg, head, info));
    EXPECT_EQ(info.items[0].f172, 0u);
    EXPECT_EQ(str(info.items[0].f169), dburl);

    // The IO server answers with the control tags.
    const std::string bs = "ctl.a\\", han = "\xe6\xb5\x8b\xe8\xaf\x95";
    const std::string emoji = "emo\xf0\x9f\x98\x80", longname(80, 'n');
    unkownbody reg;
    for (const std::string& n : {bs, han, emoji, longname}) reg.strs.append(zo::string(n));
    ASSERT_TRUE(io.send(3212, reg));
    EXPECT_EQ(waitrows(dbpath, "SELECT name FROM ctrltags ORDER BY name", 2),
              (std::vector<std::string>{bs, han}));
    for (const std::string& n : {emoji, longname}) {
        EXPECT_TRUE(until([&] {
            logsrv.receive(0);
            return logsrv.findfrom("ctrl tag " + n + " refused: ", 0) >= 0;
        })) << logsrv.dump();
    }

    // Tag values: one raw package with every kind of real, a NaN, a text and
    // a type that does not exist (the database answers with a tag error).
    const int64_t t = 1700000000000LL;
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        uint32_t vtype;
        double v;
        double stored;
    } reals[] = {
        {"r.digits", 5, 0.123456789012345, 0.123456789012345},
        {"r.big", 5, 1013.2512345678, 1013.2512345678},
        {"r.small", 5, 1.5e-6, 1.5e-6},
        {"r.neginf", 5, -inf, -inf},
        {"r.float", 3, 0.1, static_cast<double>(0.1f)},
        {"r.floatdigits", 3, 1013.2512345678, static_cast<double>(1013.2512345678f)},
    };
    tagvalarray raw;
    raw.items.append(intvalue("e2e.raw1", 11, t));
    for (const auto& r : reals) {
        tagval v;
        v.name = r.name;
        v.time = t;
        v.vtype = r.vtype;
        v.vdouble = r.v;
        raw.items.append(std::move(v));
    }
    tagval nan, text, bad;
    nan.name = "r.nan";
    nan.vtype = 5;
    nan.vdouble = std::numeric_limits<double>::quiet_NaN();
    text.name = "txt\\";
    text.vtype = 6;
    text.vbytes = "C:\\data\\";
    bad.name = "bad\\\\";
    bad.vtype = 9;
    for (tagval* v : {&nan, &text, &bad}) raw.items.append(std::move(*v));
    ASSERT_TRUE(io.send(3202, raw));

    // An LZ4 package, one split across two sends, two in one send.
    tagvalarray big;
    for (int i = 0; i < 60; ++i) big.items.append(intvalue("e2e.lz" + std::to_string(i), i, t));
    std::string lz = package(3204, big, ++io.seq);
    pb3head lzhead;
    ASSERT_TRUE(pkgpb3::parsehead(lz.data(), static_cast<uint32_t>(lz.size()), lzhead));
    ASSERT_EQ(lzhead.encode, 1u);
    ASSERT_TRUE(io.sendbytes(lz));
    tagvalarray cut;
    cut.items.append(intvalue("e2e.cut", 33, t));
    std::string c = package(3208, cut, ++io.seq);
    ASSERT_TRUE(io.sendbytes(c.substr(0, 13)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(io.sendbytes(c.substr(13)));
    tagvalarray two1, two2;
    two1.items.append(intvalue("e2e.two1", 41, t));
    two2.items.append(intvalue("e2e.two2", 42, t));
    std::string firstpkg = package(3202, two1, ++io.seq);
    ASSERT_TRUE(io.sendbytes(firstpkg + package(3202, two2, ++io.seq)));

    std::vector<std::string> snaps = waitrows(
        dbpath, "SELECT name, value FROM snapshot WHERE name GLOB 'e2e.*' ORDER BY name", 64);
    EXPECT_EQ(snaps.size(), 64u) << logsrv.dump();
    for (const char* nv :
         {"e2e.raw1|11", "e2e.lz0|0", "e2e.lz59|59", "e2e.cut|33", "e2e.two1|41", "e2e.two2|42"})
        EXPECT_NE(std::find(snaps.begin(), snaps.end(), nv), snaps.end()) << nv;
    EXPECT_EQ(waitrows(dbpath, "SELECT value FROM history WHERE name = 'txt\\'", 1),
              (std::vector<std::string>{"C:\\data\\"}))
        << logsrv.dump();
    for (const auto& r : reals) {
        double got = 0;
        EXPECT_TRUE(sqlreal(
            dbpath, std::string("SELECT value FROM history WHERE name = '") + r.name + "'", &got))
            << r.name;
        EXPECT_EQ(got, r.stored) << r.name;
    }
    EXPECT_EQ(sqlone(dbpath, "SELECT typeof(value) FROM history WHERE name = 'r.nan'"), "null");
    EXPECT_TRUE(logsrv.waitfor("oxa_writesnaps tag bad\\\\ error 2")) << logsrv.dump();

    // An SOE record.
    soearray soe;
    soerec* s = soe.items.emplace();
    s->f236 = "breaker.7";
    s->f230 = 123456789;
    s->f231 = 3;
    ASSERT_TRUE(io.send(3210, soe));
    EXPECT_EQ(waitrows(dbpath, "SELECT f236, f230, f231 FROM soe", 1),
              (std::vector<std::string>{"breaker.7|123456789|3"}));

    // Operators write all four control tags: the two a record can carry come
    // back as 3214 with their types; the other two are in ctrltags only as
    // an older library would have put them, and are marked undeliverable.
    ASSERT_TRUE(sqlexec(
        dbpath, "INSERT INTO ctrltags VALUES ('" + emoji + "'), ('" + longname +
                    "'); INSERT INTO ctrlwrites(name, time, type, value) VALUES "
                    "('" +
                    bs + "', 1700000000000, 1, 42), ('" + han + "', 1700000000000, 5, 1.25), ('" +
                    emoji + "', 1700000000000, 1, 3), ('" + longname + "', 1700000000000, 1, 4)"));
    EXPECT_EQ(
        waitrows(dbpath, "SELECT name FROM ctrlwrites WHERE delivered = -1 ORDER BY value", 2),
        (std::vector<std::string>{emoji, longname}));
    std::map<std::string, tagval> ctrl;
    while (ctrl.size() < 2) {
        ASSERT_TRUE(io.nextof(3214, &head, &pkg)) << logsrv.dump();
        tagvalarray out;
        ASSERT_TRUE(pkgpb3::parsebody(pkg, head, out));
        for (auto& v : out.items) ctrl[str(v.name)] = std::move(v);
    }
    EXPECT_EQ(ctrl.size(), 2u);
    EXPECT_EQ(ctrl[bs].vtype, 1u);
    EXPECT_EQ(ctrl[bs].vint, 42);
    EXPECT_EQ(ctrl[han].vtype, 5u);
    EXPECT_EQ(ctrl[han].vdouble, 1.25);
    EXPECT_TRUE(logsrv.waitfor("read value ctrl tag " + han)) << logsrv.dump();
    ASSERT_TRUE(prog.stop());
}

}  // namespace
