// The gapudp sender, checked on the wire: datagrams are caught on a loopback
// socket, their header checked with zlib's crc32, their body opened with
// liblz4 and the message read by Google's protobuf (gapmsg_oracle_test.proto),
// then compared with the tag values and SOE records the sender was given
// (which also checks their conversion into the library's records).
#include "dblink/oxalink_gapudp.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <poll.h>
#include <zlib.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "dblink/fakes_test.h"
#include "dblink/gapauth_test.h"
#include "gapmsg_oracle_test.pb.h"

namespace {

using gaporacle::Msg;

uint32_t be32(const std::string& d, size_t at) {
    auto* p = reinterpret_cast<const uint8_t*>(d.data()) + at;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The first bytes of s that fit n, ending on a whole UTF-8 character.
std::string cut(const zo::string& s, size_t n) {
    if (s.size() <= n) return std::string(s.view());
    while (n > 0 && (s[static_cast<uint32_t>(n)] & 0xC0) == 0x80) --n;
    return std::string(s.view().substr(0, n));
}

// The checks of the header and body a receiver makes (which of them fails:
// tools/gaprx's reader tests).
bool open(const std::string& d, Msg* m) {
    if (d.size() < 24 || d.compare(0, 4, "\xA9\x02\x01\x01") != 0) return false;
    auto* b = reinterpret_cast<const Bytef*>(d.data());
    uint32_t bodylen = be32(d, 8);
    if (be32(d, 20) != crc32(0, b, 20) || bodylen != d.size() - 24 ||
        be32(d, 16) != crc32(0, b + 24, bodylen))
        return false;
    std::string raw(be32(d, 12), '\0');
    int n = LZ4_decompress_safe(d.data() + 24, raw.data(), static_cast<int>(bodylen),
                                static_cast<int>(raw.size()));
    return n == static_cast<int>(raw.size()) && m->ParseFromString(raw);
}

// The link sends to a loopback UDP socket; take() returns what has arrived,
// waiting up to 200 ms for the first datagram.
class gapudptest : public ::testing::Test {
  protected:
    zotest::heldport sink{SOCK_DGRAM, false, 1 << 20};
    zotest::reclog log;
    oxalink_gapudp link{&log};
    std::deque<tagvalbody*> queue;  // what write_batch may take next

    std::string url() const { return "gapudp://127.0.0.1:" + std::to_string(sink.port); }
    void SetUp() override { ASSERT_EQ(0, link.open(url().c_str(), "ab", "pw")); }
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
    std::vector<std::string> take() {
        std::vector<std::string> out;
        pollfd p{sink.fd, POLLIN, 0};
        while (::poll(&p, 1, out.empty() ? 200 : 0) > 0) {
            std::string b(70000, '\0');
            ssize_t n = ::recv(sink.fd, b.data(), b.size(), 0);
            if (n < 0) break;
            b.resize(static_cast<size_t>(n));
            out.push_back(b);
        }
        return out;
    }
    std::vector<Msg> received() {
        std::vector<Msg> out;
        for (const std::string& d : take()) {
            out.emplace_back();
            EXPECT_TRUE(open(d, &out.back()));
        }
        return out;
    }
};

// The first datagram of a process, byte for byte (docs/gapudp.md shows the
// same bytes): one value t1 = 5 of type 1 at 1700000000000 ms, quality 192,
// user "ab", password "pw".  The numbers and keys of the datagrams after it
// are checked by gaprx in gap_e2e.
TEST_F(gapudptest, FirstDatagramIsGoldenAndALongUserIsCut) {
    tagvalbody* b = tagvalues(1);
    b->items[0].name = "t1";
    b->items[0].time = 1700000000000;
    b->items[0].quality = 192;
    b->items[0].vint = 5;
    batch(b);
    std::vector<std::string> d = take();
    ASSERT_EQ(1u, d.size());
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
    Msg c;
    // Another user's blocks: the name cut at 47 bytes, any password's digest.
    const std::string user(60, 'u'), pswd = "\xE4\xB8\xAD\xE6\x96\x87";
    link.close();
    ASSERT_EQ(0, link.open(url().c_str(), user.c_str(), pswd.c_str()));
    batch(tagvalues(1));
    d = take();
    ASSERT_EQ(1u, d.size());
    ASSERT_TRUE(open(d[0], &c));
    EXPECT_EQ(userblock(user), xored(c.auth().user(), c.auth().key()));
    EXPECT_EQ(hashblock(pswd), xored(c.auth().hash(), c.auth().key()));
}

// How values are cut into messages and packages merged into batches (SOE
// records: EveryRecordField...).
TEST_F(gapudptest, ChunksAndMergesAsTheBatchRulesSay) {
    struct row {
        const char* what;
        std::vector<tagvalbody*> packages;  // the first is handed over, the rest queued
        std::vector<std::pair<uint32_t, int>> messages;  // funid, records
        size_t leftqueued;
    };
    tagvalbody* mixed = tagvalues(11, 5);
    mixed->items[10].vtype = 6;
    std::vector<row> rows;
    rows.push_back({"an object ends the merge", {mixed, tagvalues(5)}, {{33, 10}, {34, 1}}, 1});
    rows.push_back(
        {"merged until 320 values",
         {tagvalues(100), tagvalues(100), tagvalues(100), tagvalues(100), tagvalues(100)},
         {{33, 256}, {33, 144}},
         1});
    rows.push_back({"40 objects", {tagvalues(40, 7, 3)}, {{34, 16}, {34, 16}, {34, 8}}, 0});
    rows.push_back({"types outside 1..7 are dropped", {tagvalues(3, 9), tagvalues(2, 0)}, {}, 0});
    for (row& r : rows) {
        for (size_t i = 1; i < r.packages.size(); ++i) queue.push_back(r.packages[i]);
        batch(r.packages[0]);
        std::vector<Msg> got = received();
        ASSERT_EQ(r.messages.size(), got.size()) << r.what;
        for (size_t i = 0; i < got.size(); ++i) {
            const Msg& m = got[i];
            EXPECT_EQ(r.messages[i].first, m.head().funid()) << r.what;
            EXPECT_EQ(r.messages[i].second, m.vals_size() + m.objs_size()) << r.what;
        }
        EXPECT_EQ(r.leftqueued, queue.size()) << r.what;
        for (tagvalbody* b : queue) delete b;
        queue.clear();
    }
    link.flushcounts();
    EXPECT_EQ(1, log.countexact("dropped 5 tag values (type outside 1..7).", zo::LOG_WRN));
}

// Records of every kind with the values a plant sends and the extremes of
// each field, against what Google's code reads; 32 SOE records a message.
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
            std::string d(objs->items.size() == 3 ? 1 : rng() % 1200, '\0');  // 1: the least
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
    // What the fields must read, from what went in: texts cut on a
    // character boundary to their record's field, times in tenths of a
    // second, bytes and words kept as the record's width.
    const std::vector<tagval> wantvals(vals->items.begin(), vals->items.end());
    const std::vector<tagval> wantobjs(objs->items.begin(), objs->items.end());
    link.write_batch(vals, nullptr);
    link.write_batch(objs, nullptr);
    link.write_soe(*soes);
    size_t vi = 0, oi = 0, si = 0;
    std::vector<int> soemsgs;
    for (const Msg& o : received()) {
        if (o.soes_size()) soemsgs.push_back(o.soes_size() * 100 + o.head().funid());
        for (const gaporacle::Val& v : o.vals()) {
            ASSERT_LT(vi, wantvals.size());
            const tagval& t = wantvals[vi++];
            EXPECT_EQ(cut(t.name, 79), v.name());
            EXPECT_EQ(t.time / 100, v.time());
            EXPECT_EQ(static_cast<int8_t>(t.quality), v.quality());
            EXPECT_EQ(0, v.flag());
            EXPECT_EQ(t.vtype, static_cast<uint32_t>(v.type()));
            const int32_t i32 = static_cast<int32_t>(t.vint);
            const float f32 = static_cast<float>(t.vdouble), got32 = v.f32();
            const double got64 = v.f64();
            switch (t.vtype) {
                case 1:
                case 2:
                    EXPECT_EQ(i32, v.i32());
                    EXPECT_EQ(i32 != 0, v.has_i32());
                    break;
                case 3:
                    EXPECT_TRUE(v.has_f32() && std::memcmp(&f32, &got32, 4) == 0);
                    break;
                case 4:
                    EXPECT_EQ(t.vint, v.i64());
                    EXPECT_EQ(t.vint != 0, v.has_i64());
                    break;
                default:
                    EXPECT_TRUE(v.has_f64() && std::memcmp(&t.vdouble, &got64, 8) == 0);
            }
        }
        for (const gaporacle::Obj& v : o.objs()) {
            ASSERT_LT(oi, wantobjs.size());
            const tagval& t = wantobjs[oi++];
            EXPECT_EQ(cut(t.name, 79), v.name());
            EXPECT_EQ(t.time / 100, v.time());
            EXPECT_EQ(t.vtype, static_cast<uint32_t>(v.type()));
            EXPECT_EQ(static_cast<int8_t>(t.quality), v.quality());
            EXPECT_EQ(std::string(t.vbytes.view()).substr(0, 999), v.data());
        }
        for (const gaporacle::Soe& v : o.soes()) {
            ASSERT_LT(si, soes->items.size());
            const soerec& r = soes->items[si++];
            EXPECT_EQ(r.f230, static_cast<uint64_t>(v.f230()));
            EXPECT_EQ(r.f231, v.f231());
            EXPECT_EQ(static_cast<int32_t>(r.f232), v.f232());
            EXPECT_EQ(static_cast<int16_t>(r.f233), v.f233());
            EXPECT_EQ(static_cast<int32_t>(r.f235), v.f235());
            EXPECT_EQ(cut(r.f236, 79), v.f236());
            EXPECT_EQ(cut(r.f237, 159), v.f237());
            // f234 says how many bytes of the 240-byte field go.
            const uint16_t n = static_cast<uint16_t>(r.f234);
            const std::string field = cut(r.f238, 239) + std::string(240, '\0');
            EXPECT_EQ(n >= 1 && n <= 239 ? field.substr(0, n) : "", v.f238());
            EXPECT_EQ(static_cast<int8_t>(r.f239), v.f239());
            EXPECT_EQ(static_cast<int8_t>(r.f240), v.f240());
        }
    }
    EXPECT_EQ(wantvals.size(), vi);
    EXPECT_EQ(wantobjs.size(), oi);
    EXPECT_EQ(soes->items.size(), si);
    EXPECT_EQ(soemsgs, (std::vector<int>{3235, 1835}));  // funid 35
    delete soes;
}

TEST(gapudpopen, RefusesWhatItCannotUseAndCountsWhatTheSocketRefuses) {
    const struct {
        const char *url, *user, *pswd;
        std::vector<std::string> lines;
    } rows[] = {
        {"", "u", "p", {}},
        {"gapudp://127.0.0.1:9", "u", nullptr, {}},
        {"gapudp://:9", "u", "p", {"oxa link url gapudp://:9 parse error"}},
        {"udp://127.0.0.1:9", "u", "p", {"oxa link url(udp://127.0.0.1:9) protocol error"}},
    };
    for (const auto& r : rows) {
        zotest::reclog log;
        oxalink_gapudp l(&log);
        EXPECT_EQ(-1, l.open(r.url, r.user, r.pswd)) << r.url;
        EXPECT_FALSE(l.isopen());
        EXPECT_EQ(log.lines().size(), r.lines.size()) << r.url;
        for (const std::string& line : r.lines) EXPECT_EQ(log.countexact(line, zo::LOG_ERR), 1);
    }
    // The port missing: VelmarinstTest.StartSays...; the lines of an open
    // and a close: gap_e2e.
    zotest::reclog log;
    oxalink_gapudp l(&log);
    EXPECT_EQ(0, l.open("GAPUDP://127.0.0.1:9", "u", "p"));
    l.close();
    EXPECT_FALSE(l.send(zo::string("x")));
    // Datagrams the socket refuses (a broadcast address without the
    // broadcast option) are lost, and what they carried is counted.
    ASSERT_EQ(0, l.open("gapudp://255.255.255.255:9", "u", "p"));
    tagvalbody* b = tagvalues(300);
    l.write_batch(b, nullptr);
    soebody s;
    for (int i = 0; i < 40; ++i) s.items.emplace();
    l.write_soe(s);
    EXPECT_EQ(4u, l.failedcount());
    l.close();
    EXPECT_EQ(1, log.countexact("dropped 300 tag values (gapudp send failed).", zo::LOG_WRN));
    EXPECT_EQ(1, log.countexact("dropped 40 soe records (gapudp send failed).", zo::LOG_WRN));
}

}  // namespace
