// The gapudp sender, checked on the wire: datagrams are caught on a loopback
// socket, their header checked with zlib's crc32, their body opened with
// liblz4 and the message read by Google's protobuf (gapmsg_oracle_test.proto),
// then compared with the database records the sender was given.
#include "dblink/oxalink_gapudp.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "base/md5.h"
#include "dblink/dbrecords.h"
#include "dblink/fakes_test.h"
#include "dblink/gapauth_test.h"
#include "dblink/gapsink_test.h"
#include "gapmsg_oracle_test.pb.h"

namespace {

using gaporacle::Msg;

uint32_t be32(const std::string& d, size_t at) {
    auto* p = reinterpret_cast<const uint8_t*>(d.data()) + at;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// One datagram opened by independent code; the message and its raw bytes.
struct opened {
    uint32_t seq = 0;
    std::string raw;
    Msg msg;
};

::testing::AssertionResult open(const std::string& d, opened* o) {
    if (d.size() < 24) return ::testing::AssertionFailure() << "short datagram";
    if (d.compare(0, 4, "\xA9\x02\x01\x01") != 0) return ::testing::AssertionFailure() << "magic";
    auto* b = reinterpret_cast<const Bytef*>(d.data());
    if (be32(d, 20) != crc32(crc32(0, nullptr, 0), b, 20))
        return ::testing::AssertionFailure() << "header CRC";
    uint32_t bodylen = be32(d, 8);
    if (bodylen != d.size() - 24) return ::testing::AssertionFailure() << "body length";
    if (be32(d, 16) != crc32(crc32(0, nullptr, 0), b + 24, bodylen))
        return ::testing::AssertionFailure() << "body CRC";
    o->seq = be32(d, 4);
    o->raw.assign(be32(d, 12), '\0');
    int n = LZ4_decompress_safe(d.data() + 24, o->raw.data(), static_cast<int>(bodylen),
                                static_cast<int>(o->raw.size()));
    if (n != static_cast<int>(o->raw.size())) return ::testing::AssertionFailure() << "LZ4";
    if (!o->msg.ParseFromString(o->raw)) return ::testing::AssertionFailure() << "protobuf";
    return ::testing::AssertionSuccess();
}

tagval value(const std::string& name, uint32_t vtype, int64_t vint, double vdouble = 0) {
    tagval t;
    t.name = zo::string(name.data(), static_cast<uint32_t>(name.size()));
    t.time = 1700000000000;
    t.quality = 192;
    t.vtype = vtype;
    t.vint = vint;
    t.vdouble = vdouble;
    if (vtype >= 6) t.vbytes = "abc";
    return t;
}

tagvalbody* package(std::initializer_list<uint32_t> types, uint32_t repeat = 1) {
    auto* b = new tagvalbody;
    for (uint32_t r = 0; r < repeat; ++r)
        for (uint32_t vt : types) b->items.append(value("t" + std::to_string(r), vt, r + 1, 0.5));
    return b;
}

class gapudptest : public ::testing::Test {
  protected:
    dgramsink sink;
    zotest::reclog log;
    oxalink_gapudp link{&log};
    std::deque<tagvalbody*> queue;  // what write_batch may take next

    void SetUp() override { ASSERT_EQ(0, link.open(sink.url().c_str(), "ab", "pw")); }
    void TearDown() override {
        for (tagvalbody* b : queue) delete b;
    }

    void batch(tagvalbody* first) {
        link.write_batch(first, [this]() -> tagvalbody* {
            if (queue.empty()) return nullptr;
            tagvalbody* b = queue.front();
            queue.pop_front();
            return b;
        });
        EXPECT_EQ(nullptr, first);
    }
    std::vector<opened> received() {
        std::vector<opened> out;
        for (const std::string& d : sink.take()) {
            out.emplace_back();
            EXPECT_TRUE(open(d, &out.back()));
        }
        return out;
    }
};

// The first datagram of a process, byte for byte (docs/gapudp.md shows the
// same bytes): one value t1 = 5 of type 1 at 1700000000000 ms, quality 192,
// user "ab", password "pw".
TEST_F(gapudptest, FirstDatagramIsGoldenAndTheSecondCountsOn) {
    auto* b = new tagvalbody;
    b->items.append(value("t1", 1, 5));
    batch(b);
    batch(package({1}));
    std::vector<std::string> d = sink.take();
    ASSERT_EQ(2u, d.size());
    std::string hex;
    for (unsigned char c : d[0]) {
        char h[4];
        snprintf(h, sizeof h, "%02x", c);
        hex += h;
    }
    EXPECT_EQ(
        "a902010100000001000000810000008a5a6c41c45ddcddd8fb56320608b2a303"
        "10212a6a08b1f3ddf1091230d01b37d4fa357ad0fe2966cce22d62c8e6216ec4"
        "ea256ac0ee1956fcd21d52f8d6115ef4da155af0de0946ecc20d42e81a30893f"
        "72aaf24806aa844805a6803a07a7853801ab864172a8f53d75d8843c72dab146"
        "00f0070a140a0274311080a8bbd47e40c0ffffff0f1801200a",
        hex);
    opened a, c;
    ASSERT_TRUE(open(d[0], &a));
    ASSERT_TRUE(open(d[1], &c));
    EXPECT_EQ(1u, a.seq);
    EXPECT_EQ(2u, c.seq);
    EXPECT_EQ(gapwire::keyof(1), a.msg.auth().key());
    EXPECT_EQ(gapwire::keyof(2), c.msg.auth().key());
    EXPECT_EQ(1u, gapwire::authcountof(c.msg.auth().key()) - 1);
    EXPECT_EQ(53682u, a.msg.head().mark());
    EXPECT_EQ(33u, a.msg.head().funid());
}

TEST_F(gapudptest, AuthBlocksAreTheFilledUserAndDigestXoredWithTheKey) {
    struct row {
        std::string user, pswd;
    } rows[] = {{"ab", "pw"},
                {std::string(60, 'u'), "secret"},
                {"\xE4\xB8\xAD\xE6\x96\x87", std::string(100, 'p')}};
    for (const row& r : rows) {
        dgramsink s;
        oxalink_gapudp l(&log);
        ASSERT_EQ(0, l.open(s.url().c_str(), r.user.c_str(), r.pswd.c_str()));
        tagvalbody* b = package({5});
        l.write_batch(b, nullptr);
        std::vector<std::string> d = s.take();
        ASSERT_EQ(1u, d.size());
        opened o;
        ASSERT_TRUE(open(d[0], &o));
        uint32_t key = o.msg.auth().key();
        EXPECT_EQ(userblock(r.user), xored(o.msg.auth().user(), key)) << r.user;
        EXPECT_EQ(hashblock(r.pswd), xored(o.msg.auth().hash(), key)) << r.pswd;
    }
    // The two-letter name, spelled out: 'a' 'b' 0 then the filler from 0x4A.
    std::string two = userblock("ab");
    EXPECT_EQ(std::string("ab\0\x4A\x4B", 5), two.substr(0, 5));
    EXPECT_EQ('\x76', two[47]);
}

// How records are cut into messages and packages merged into batches.
TEST_F(gapudptest, ChunksAndMergesAsTheBatchRulesSay) {
    struct row {
        const char* what;
        std::vector<tagvalbody*> packages;  // the first is handed over, the rest queued
        std::vector<std::pair<uint32_t, int>> messages;  // funid, records
        size_t leftqueued;
    };
    auto types = [](uint32_t n, uint32_t vt) {
        auto* b = new tagvalbody;
        for (uint32_t i = 0; i < n; ++i) b->items.append(value("v", vt, i));
        return b;
    };
    auto mixed = [] {
        auto* b = package({1, 2, 3, 4, 5}, 2);
        b->items.append(value("o", 6, 0));
        return b;
    };
    std::vector<row> rows;
    rows.push_back({"700 values", {types(700, 1)}, {{33, 256}, {33, 256}, {33, 188}}, 0});
    rows.push_back({"an object ends the merge", {mixed(), types(5, 1)}, {{33, 10}, {34, 1}}, 1});
    rows.push_back({"merged until 320 values",
                    {types(100, 5), types(100, 5), types(100, 5), types(100, 5), types(100, 5)},
                    {{33, 256}, {33, 144}},
                    1});
    rows.push_back({"40 objects", {types(40, 7)}, {{34, 16}, {34, 16}, {34, 8}}, 0});
    rows.push_back({"types outside 1..7 are dropped", {types(3, 9), types(2, 0)}, {}, 0});
    for (row& r : rows) {
        for (size_t i = 1; i < r.packages.size(); ++i) queue.push_back(r.packages[i]);
        batch(r.packages[0]);
        std::vector<opened> got = received();
        ASSERT_EQ(r.messages.size(), got.size()) << r.what;
        for (size_t i = 0; i < got.size(); ++i) {
            const Msg& m = got[i].msg;
            EXPECT_EQ(r.messages[i].first, m.head().funid()) << r.what;
            EXPECT_EQ(r.messages[i].second, m.vals_size() + m.objs_size()) << r.what;
        }
        EXPECT_EQ(r.leftqueued, queue.size()) << r.what;
        for (tagvalbody* b : queue) delete b;
        queue.clear();
    }
    link.flushcounts();
    EXPECT_EQ(1, log.countexact("dropped 5 tag values (type outside 1..7).", zo::LOG_WRN));
    auto* s = new soebody;
    for (int i = 0; i < 70; ++i) s->items.emplace()->f231 = static_cast<uint32_t>(i + 1);
    link.write_soe(*s);
    delete s;
    std::vector<opened> got = received();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(32, got[0].msg.soes_size());
    EXPECT_EQ(6, got[2].msg.soes_size());
    EXPECT_EQ(35u, got[2].msg.head().funid());
}

TEST_F(gapudptest, ZeroValuesFollowThePresenceRules) {
    auto* b = new tagvalbody;
    b->items.append(value("f", 3, 0, 0.0));
    b->items.append(value("i", 1, 0));
    b->items.append(value("d", 5, 0, 0.0));
    b->items.append(value("l", 4, 0));
    batch(b);
    std::vector<opened> got = received();
    ASSERT_EQ(1u, got.size());
    const Msg& m = got[0].msg;
    ASSERT_EQ(4, m.vals_size());
    EXPECT_TRUE(m.vals(0).has_f32());
    EXPECT_NE(std::string::npos, got[0].raw.find(std::string("\x2D\0\0\0\0", 5)));
    EXPECT_FALSE(m.vals(1).has_i32());
    EXPECT_TRUE(m.vals(2).has_f64());
    EXPECT_FALSE(m.vals(3).has_i64());
}

// Records of every kind with the values a plant sends and the extremes of
// each field, against what Google's code reads.
TEST_F(gapudptest, EveryRecordFieldReadsBackThroughTheOracle) {
    std::mt19937_64 rng(20261212);
    auto pick = [&](std::initializer_list<int64_t> l) { return *(l.begin() + rng() % l.size()); };
    const char* pieces[] = {
        "a", "Z", ".", "\\", "\"", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
    auto text = [&](size_t max) {
        std::string s;
        size_t n = rng() % max;
        while (s.size() < n) s += pieces[rng() % 8];
        return s;
    };
    auto* vals = new tagvalbody;
    auto* objs = new tagvalbody;
    for (int i = 0; i < 300; ++i) {
        tagval t;
        t.name = text(110);
        t.time = pick({0, 1, -1, 1700000000012, INT64_MIN, INT64_MAX, static_cast<int64_t>(rng())});
        t.quality = static_cast<uint32_t>(pick({0, 192, 255, 128, -1, 0x1234567}));
        t.vtype = static_cast<uint32_t>(1 + rng() % 7);
        t.vint = pick(
            {0, 1, -1, INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX, static_cast<int64_t>(rng())});
        uint64_t bits = rng();
        std::memcpy(&t.vdouble, &bits, 8);
        if (i % 5 == 0) t.vdouble = pick({0, 1, -1}) * 0.1;
        if (t.vtype >= 6) {
            std::string d(rng() % 1200, '\0');
            for (char& c : d) c = static_cast<char>(rng());
            t.vbytes = zo::string(d.data(), static_cast<uint32_t>(d.size()));
            objs->items.append(std::move(t));
        } else {
            vals->items.append(std::move(t));
        }
    }
    auto* soes = new soebody;
    for (int i = 0; i < 50; ++i) {
        soerec* s = soes->items.emplace();
        s->f230 = rng();
        s->f231 = static_cast<uint32_t>(rng());
        s->f232 = static_cast<uint32_t>(pick({0, -1, INT32_MIN, INT32_MAX}));
        s->f233 = static_cast<uint32_t>(pick({0, 0x7FFF, 0x8000, 0xFFFF, 0x12345}));
        s->f234 = static_cast<uint32_t>(pick({0, 1, 5, 239, 240, 0x10005}));
        s->f235 = static_cast<uint32_t>(rng());
        s->f236 = text(100);
        s->f237 = text(200);
        s->f238 = text(300);
        s->f239 = static_cast<uint32_t>(pick({0, 1, 0x7F, 0x80, 0xFF, 0x1FF}));
        s->f240 = static_cast<uint32_t>(pick({0, 0x80}));
    }
    // The records the sender works from (conversions tested in dbrecords).
    std::vector<oxa_valrec> vr(vals->items.size());
    for (size_t i = 0; i < vr.size(); ++i) tovalrec(vals->items[i], vr[i]);
    std::vector<oxa_objrec> orr(objs->items.size());
    for (size_t i = 0; i < orr.size(); ++i) toobjrec(objs->items[i], orr[i]);
    std::vector<oxa_soerec> sr(soes->items.size());
    for (size_t i = 0; i < sr.size(); ++i) tosoerec(soes->items[i], sr[i]);

    link.write_batch(vals, nullptr);
    link.write_batch(objs, nullptr);
    link.write_soe(*soes);
    delete soes;
    size_t vi = 0, oi = 0, si = 0;
    for (const opened& o : received()) {
        for (const gaporacle::Val& v : o.msg.vals()) {
            ASSERT_LT(vi, vr.size());
            const oxa_valrec& r = vr[vi++];
            EXPECT_EQ(std::string(r.name), v.name());
            EXPECT_EQ(r.time, v.time());
            EXPECT_EQ(r.quality, v.quality());
            EXPECT_EQ(r.flag, v.flag());
            EXPECT_EQ(r.type, v.type());
            switch (r.type) {
                case 1:
                case 2:
                    EXPECT_EQ(r.v.i32, v.i32());
                    EXPECT_EQ(r.v.i32 != 0, v.has_i32());
                    break;
                case 3: {
                    ASSERT_TRUE(v.has_f32());
                    float f = v.f32();
                    EXPECT_EQ(0, std::memcmp(&r.v.f32, &f, 4));
                    break;
                }
                case 4:
                    EXPECT_EQ(r.v.i64, v.i64());
                    break;
                default: {
                    ASSERT_TRUE(v.has_f64());
                    double d = v.f64();
                    EXPECT_EQ(0, std::memcmp(&r.v.f64, &d, 8));
                }
            }
        }
        for (const gaporacle::Obj& v : o.msg.objs()) {
            ASSERT_LT(oi, orr.size());
            const oxa_objrec& r = orr[oi++];
            EXPECT_EQ(std::string(r.name), v.name());
            EXPECT_EQ(r.time, v.time());
            EXPECT_EQ(r.type, v.type());
            EXPECT_EQ(r.quality, v.quality());
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data), r.length), v.data());
        }
        for (const gaporacle::Soe& v : o.msg.soes()) {
            ASSERT_LT(si, sr.size());
            const oxa_soerec& r = sr[si++];
            EXPECT_EQ(r.f230, static_cast<uint64_t>(v.f230()));
            EXPECT_EQ(r.f231, v.f231());
            EXPECT_EQ(static_cast<int32_t>(r.f232), v.f232());
            EXPECT_EQ(static_cast<int16_t>(r.f233), v.f233());
            EXPECT_EQ(static_cast<int32_t>(r.f235), v.f235());
            EXPECT_EQ(std::string(r.f236), v.f236());
            EXPECT_EQ(std::string(r.f237), v.f237());
            std::string bytes = r.f234 >= 1 && r.f234 <= 239 ? std::string(r.f238, r.f234) : "";
            EXPECT_EQ(bytes, v.f238());
            EXPECT_EQ(static_cast<int8_t>(r.f239), v.f239());
            EXPECT_EQ(static_cast<int8_t>(r.f240), v.f240());
        }
    }
    EXPECT_EQ(vr.size(), vi);
    EXPECT_EQ(orr.size(), oi);
    EXPECT_EQ(sr.size(), si);
}

TEST(gapudpopen, RefusesWhatItCannotUseWithItsLine) {
    struct row {
        const char* url;
        const char* user;
        const char* pswd;
        const char* line;  // "" for none
    } rows[] = {
        {"", "u", "p", ""},
        {"gapudp://127.0.0.1:9", "", "p", ""},
        {"gapudp://127.0.0.1:9", "u", nullptr, ""},
        {"gapudp://:9", "u", "p", "oxa link url gapudp://:9 parse error"},
        {"udp://127.0.0.1:9", "u", "p", "oxa link url(udp://127.0.0.1:9) protocol error"},
        {"gapudp://127.0.0.1", "u", "p", "oxa link url(gapudp://127.0.0.1) uport error"},
    };
    for (const row& r : rows) {
        zotest::reclog log;
        oxalink_gapudp l(&log);
        EXPECT_EQ(-1, l.open(r.url, r.user, r.pswd)) << r.url;
        EXPECT_FALSE(l.isopen());
        std::vector<zotest::reclog::line> lines = log.lines();
        if (*r.line) {
            ASSERT_EQ(1u, lines.size()) << r.url;
            EXPECT_EQ(r.line, lines[0].text);
            EXPECT_EQ(zo::LOG_ERR, lines[0].level);
        } else {
            EXPECT_TRUE(lines.empty()) << r.url;
        }
    }
    zotest::reclog log;
    oxalink_gapudp l(&log);
    EXPECT_EQ(0, l.open("GAPUDP://127.0.0.1:9", "u", "p"));
    EXPECT_EQ(1, log.countexact("start oxalink GAPUDP://127.0.0.1:9 success.", zo::LOG_INF));
    l.close();
    l.close();
    EXPECT_EQ(1, log.countexact("close gapudp GAPUDP://127.0.0.1:9 ", zo::LOG_DBG));
    EXPECT_FALSE(l.send(zo::string("x")));
}

// Datagrams the socket refuses (a broadcast address without the broadcast
// option) are lost, and what they carried is counted in the log.
TEST(gapudpsend, RecordsOfRefusedDatagramsAreCounted) {
    zotest::reclog log;
    oxalink_gapudp l(&log);
    ASSERT_EQ(0, l.open("gapudp://255.255.255.255:9", "u", "p"));
    auto* b = new tagvalbody;
    for (int i = 0; i < 300; ++i) b->items.append(value("v", 1, i));
    l.write_batch(b, nullptr);
    soebody s;
    for (int i = 0; i < 40; ++i) s.items.emplace()->f231 = static_cast<uint32_t>(i + 1);
    l.write_soe(s);
    EXPECT_EQ(4u, l.failedcount());
    l.close();
    EXPECT_EQ(1, log.countexact("dropped 300 tag values (gapudp send failed).", zo::LOG_WRN));
    EXPECT_EQ(1, log.countexact("dropped 40 soe records (gapudp send failed).", zo::LOG_WRN));
}

}  // namespace
