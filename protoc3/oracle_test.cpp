// Google's protobuf as an independent oracle: what we encode, its generated
// code must decode to the same values (and re-encode to the same size), and
// what it encodes we must decode.  Where our wire form deliberately differs
// from what Google's code would write (32-bit values as 5-byte varints, the
// 0.0 double always present, our own field order) the difference is asserted.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "oracle_test.pb.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

namespace {

std::string str(const zo::string& s) {
    return std::string(s.data(), s.size());
}
// What a text field looks like after the trip: absent when empty or when it
// starts with a zero byte.
std::string sent(const zo::string& s) {
    return zo::text_present(s) ? str(s) : std::string();
}
zo::string zs(const std::string& s) {
    return zo::string(s.data(), static_cast<uint32_t>(s.size()));
}

class oracletest : public ::testing::Test {
  protected:
    std::mt19937_64 rng{20261205};

    uint64_t pick64() {
        switch (rng() % 5) {
            case 0:
                return 0;
            case 1:
                return rng() % 200;
            case 2:
                return static_cast<uint64_t>(-static_cast<int64_t>(rng() % 1000));
            case 3:
                return 1700000000000ull + rng() % 100000000ull;
            default:
                return rng();
        }
    }
    uint32_t pick32() { return static_cast<uint32_t>(pick64()); }
    // Valid UTF-8 of 0 to 40 bytes mixing ASCII, 2-, 3- and 4-byte forms.
    std::string utf8text() {
        static const char* parts[] = {
            "a", "Z", ".", "_", "9", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "Tag", "Unit"};
        std::string s;
        size_t n = rng() % 12;
        for (size_t i = 0; i < n; ++i) s += parts[rng() % 10];
        if (rng() % 20 == 0) s.insert(s.begin(), '\0');  // not sent
        return s;
    }
    std::string anybytes() {
        std::string s(rng() % 12, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    }
    double anydouble() {
        switch (rng() % 4) {
            case 0:
                return 0.0;
            case 1:
                return -0.0;
            case 2:
                return static_cast<double>(static_cast<int64_t>(rng())) / 7.0;
            default: {
                double d;
                uint64_t bits = rng() & ~(0x7FFull << 52);  // finite, any sign
                std::memcpy(&d, &bits, 8);
                return d;
            }
        }
    }
    void filltagval(tagval& t) {
        t.time = static_cast<int64_t>(pick64());
        t.name = zs(utf8text());
        t.quality = pick32();
        t.vtype = static_cast<uint32_t>(rng() % 9);
        t.vint = static_cast<int64_t>(pick64());
        t.vdouble = anydouble();
        t.vbytes = zs(anybytes());
    }
    // Ours -> Google: serialize writes size() bytes, Google's code reads
    // them, and re-encodes them to as many bytes (nothing unknown or lost).
    template <class M, class G>
    static ::testing::AssertionResult ours2google(M& m, G& g) {
        zo::string out;
        if (!m.serialize(out)) return ::testing::AssertionFailure() << m.errmsg();
        if (m.size() != out.size())
            return ::testing::AssertionFailure() << "size " << m.size() << ", wrote " << out.size();
        if (!g.ParseFromArray(out.data(), static_cast<int>(out.size())))
            return ::testing::AssertionFailure() << "Google's code cannot read it";
        if (g.ByteSizeLong() != out.size())
            return ::testing::AssertionFailure() << "Google's size " << g.ByteSizeLong();
        return ::testing::AssertionSuccess();
    }
    template <class G, class M>
    static ::testing::AssertionResult google2ours(const G& g, M& m) {
        std::string b = g.SerializeAsString();
        if (m.parse(b.data(), static_cast<uint32_t>(b.size())))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << m.errmsg();
    }
    static bool sameb(double a, double b) { return std::memcmp(&a, &b, 8) == 0; }

    // Ours -> Google for one tag value: only the value field of vtype travels.
    void expectsame(const tagval& t, const oracle::TagVal& g) {
        EXPECT_EQ(g.time(), t.time);
        EXPECT_EQ(g.name(), sent(t.name));
        EXPECT_EQ(g.quality(), t.quality);
        EXPECT_EQ(g.vtype(), t.vtype);
        bool isint = t.vtype == 1 || t.vtype == 2 || t.vtype == 4;
        bool isdbl = t.vtype == 3 || t.vtype == 5;
        bool isbytes = t.vtype == 6 || t.vtype == 7;
        EXPECT_EQ(g.vint(), isint ? t.vint : 0);
        EXPECT_EQ(g.has_vdouble(), isdbl);  // present even when 0.0
        if (isdbl) {
            EXPECT_TRUE(sameb(g.vdouble(), t.vdouble));
        }
        EXPECT_EQ(g.vbytes(), isbytes ? str(t.vbytes) : std::string());
    }
};

TEST_F(oracletest, tagvalarraysbothways) {
    for (int round = 0; round < 300; ++round) {
        tagvalarray a;
        a.retcode = pick32();
        a.f131 = pick32();
        a.f132 = pick64();
        a.retmsg = zs(utf8text());
        int n = static_cast<int>(rng() % 30);
        for (int i = 0; i < n; ++i) {
            tagval* t = a.items.emplace();
            filltagval(*t);
            EXPECT_GE(t->maxsize(), t->size());  // serialize's room comes from maxsize
        }
        oracle::TagValArray g;
        ASSERT_TRUE(ours2google(a, g));
        EXPECT_EQ(g.retcode(), a.retcode);
        EXPECT_EQ(g.f131(), a.f131);
        EXPECT_EQ(g.f132(), a.f132);
        EXPECT_EQ(g.retmsg(), sent(a.retmsg));
        int k = 0;
        for (const tagval& t : a.items) {
            if (t.size() == 0) continue;  // left out
            ASSERT_LT(k, g.items_size());
            expectsame(t, g.items(k++));
        }
        EXPECT_EQ(k, g.items_size());

        // Google -> ours: every field that arrives is kept.
        oracle::TagValArray h;
        h.set_retcode(pick32());
        h.set_f132(pick64());
        h.set_retmsg(utf8text());
        for (int i = static_cast<int>(rng() % 30); i > 0; --i) {
            oracle::TagVal* v = h.add_items();
            v->set_time(static_cast<int64_t>(pick64()));
            v->set_name(utf8text());
            v->set_quality(pick32());
            v->set_vtype(pick32());
            v->set_vint(static_cast<int64_t>(pick64()));
            if (rng() % 2) v->set_vdouble(anydouble());
            v->set_vbytes(anybytes());
        }
        tagvalarray d;
        ASSERT_TRUE(google2ours(h, d));
        EXPECT_EQ(d.retcode, h.retcode());
        EXPECT_EQ(d.f132, h.f132());
        EXPECT_EQ(str(d.retmsg), h.retmsg());
        ASSERT_EQ(static_cast<int>(d.items.size()), h.items_size());
        for (int i = 0; i < h.items_size(); ++i) {
            const oracle::TagVal& v = h.items(i);
            const tagval& t = d.items[i];
            EXPECT_EQ(t.time, v.time());
            EXPECT_EQ(str(t.name), v.name());
            EXPECT_EQ(t.quality, v.quality());
            EXPECT_EQ(t.vtype, v.vtype());
            EXPECT_EQ(t.vint, v.vint());
            EXPECT_TRUE(sameb(t.vdouble, v.has_vdouble() ? v.vdouble() : 0.0));
            EXPECT_EQ(str(t.vbytes), v.vbytes());
        }
    }
}

TEST_F(oracletest, soeandruninfobothways) {
    for (int round = 0; round < 300; ++round) {
        soearray a;
        for (int i = static_cast<int>(rng() % 5); i > 0; --i) {
            soerec* s = a.items.emplace();
            s->f230 = pick64();
            s->f231 = pick32();
            s->f232 = pick32();
            s->f233 = pick32();
            s->f234 = pick32();
            s->f235 = pick32();
            s->f236 = zs(utf8text());
            s->f237 = zs(utf8text());
            s->f238 = zs(utf8text());
            s->f239 = pick32();
            s->f240 = pick32();
            EXPECT_GE(s->maxsize(), s->size());
        }
        oracle::SoeArray g;
        ASSERT_TRUE(ours2google(a, g));
        int k = 0;
        for (const soerec& s : a.items) {
            if (s.size() == 0) continue;
            const oracle::Soe& o = g.items(k++);
            EXPECT_EQ(o.f230(), s.f230);
            EXPECT_EQ(o.f231(), s.f231);
            EXPECT_EQ(o.f232(), s.f232);
            EXPECT_EQ(o.f233(), s.f233);
            EXPECT_EQ(o.f234(), s.f234);
            EXPECT_EQ(o.f235(), s.f235);
            EXPECT_EQ(o.f236(), sent(s.f236));
            EXPECT_EQ(o.f237(), sent(s.f237));
            EXPECT_EQ(o.f238(), sent(s.f238));
            EXPECT_EQ(o.f239(), s.f239);
            EXPECT_EQ(o.f240(), s.f240);
        }
        EXPECT_EQ(k, g.items_size());
        soearray back;
        ASSERT_TRUE(google2ours(g, back));
        EXPECT_EQ(back.size(), g.ByteSizeLong());  // same fields, same sizes

        runinfoarray r;
        runinfo* e = r.items.emplace();
        e->f160 = zs(utf8text());
        e->f161 = pick32();
        e->f162 = pick32();
        e->f163 = pick32();
        e->f164 = pick32();
        e->f165 = pick64();
        e->f166 = pick64();
        e->f167 = pick64();
        e->f168 = pick64();
        e->f169 = zs(utf8text());
        e->f170 = pick32();
        e->f171 = pick32();
        e->f172 = pick32();
        e->f173 = pick32();
        e->f174 = pick32();
        EXPECT_GE(e->maxsize(), e->size());
        oracle::RunInfoArray gr;
        ASSERT_TRUE(ours2google(r, gr));
        ASSERT_EQ(gr.process_info_size(), 1);
        const oracle::RunInfo& o = gr.process_info(0);
        EXPECT_EQ(o.f160(), sent(e->f160));
        EXPECT_EQ(o.f161(), e->f161);
        EXPECT_EQ(o.f165(), e->f165);
        EXPECT_EQ(o.f168(), e->f168);
        EXPECT_EQ(o.f169(), sent(e->f169));
        EXPECT_EQ(o.f170(), e->f170);
        EXPECT_EQ(o.f174(), e->f174);
        runinfoarray rb;
        ASSERT_TRUE(google2ours(gr, rb));
        ASSERT_EQ(rb.items.size(), 1u);
        // A 0 in field 170 is absent on the wire and comes back as 1.
        EXPECT_EQ(rb.items[0].f170, e->f170 ? e->f170 : 1u);
        EXPECT_EQ(rb.items[0].f163, e->f163);
        EXPECT_EQ(rb.items[0].f167, e->f167);
    }
}

TEST_F(oracletest, loginunkownandheadbothways) {
    for (int round = 0; round < 300; ++round) {
        loginbody l;
        l.f93 = pick32();
        l.retcode = pick32();
        l.f125 = pick32();
        l.f133 = pick32();
        l.f94 = pick32();
        l.f95 = pick32();
        l.f97 = pick32();
        l.f96 = pick32();
        l.f121 = zs(utf8text());
        l.f122 = zs(utf8text());
        l.retmsg = zs(utf8text());
        l.f150 = zs(utf8text());
        oracle::Login gl;
        ASSERT_TRUE(ours2google(l, gl));
        EXPECT_EQ(gl.f93(), l.f93);
        EXPECT_EQ(gl.retcode(), l.retcode);
        EXPECT_EQ(gl.f95(), l.f95);
        EXPECT_EQ(gl.f96(), l.f96);
        EXPECT_EQ(gl.f121(), sent(l.f121));
        EXPECT_EQ(gl.retmsg(), sent(l.retmsg));
        EXPECT_EQ(gl.f150(), sent(l.f150));
        loginbody lb;
        ASSERT_TRUE(google2ours(gl, lb));
        EXPECT_EQ(lb.f133, l.f133);
        EXPECT_EQ(str(lb.f122), sent(l.f122));

        unkownbody u;
        u.sid = zs(utf8text());
        u.vi32 = pick32();
        u.retcode = pick32();
        u.vi64 = pick64();
        u.vstr = zs(utf8text());
        u.vstr2 = zs(utf8text());
        u.retmsg = zs(utf8text());
        std::vector<std::string> want;
        for (int i = static_cast<int>(rng() % 6); i > 0; --i) {
            std::string s = utf8text();
            u.strs.append(zs(s));
            if (!s.empty() && s[0] != 0) want.push_back(s);
        }
        oracle::Unkown gu;
        ASSERT_TRUE(ours2google(u, gu));
        EXPECT_EQ(gu.vi32(), u.vi32);
        EXPECT_EQ(gu.vi64(), u.vi64);
        EXPECT_EQ(gu.sid(), sent(u.sid));
        EXPECT_EQ(gu.vstr2(), sent(u.vstr2));
        ASSERT_EQ(gu.strs_size(), static_cast<int>(want.size()));
        for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(gu.strs(static_cast<int>(i)), want[i]);
        gu.add_strs("");  // Google writes empty elements; we keep them on receipt
        unkownbody ub;
        ASSERT_TRUE(google2ours(gu, ub));
        ASSERT_EQ(ub.strs.size(), want.size() + 1);
        EXPECT_EQ(ub.strs[static_cast<uint32_t>(want.size())].size(), 0u);
        EXPECT_EQ(str(ub.vstr), sent(u.vstr));

        pb3head h;
        h.ver = pick32();
        h.funid = pick32();
        h.seqno = pick32();
        h.f103 = zs(utf8text());
        h.f104 = zs(utf8text());
        h.f107 = zs(utf8text());
        h.encode = pick32();
        h.srcsize = pick32();
        h.subno = pick32();
        oracle::Head gh;
        ASSERT_TRUE(ours2google(h, gh));
        EXPECT_EQ(gh.ver(), h.ver);
        EXPECT_EQ(gh.subno(), h.subno);
        EXPECT_EQ(gh.srcsize(), h.srcsize);
        EXPECT_EQ(gh.f107(), sent(h.f107));
        pb3head hb;
        ASSERT_TRUE(google2ours(gh, hb));
        EXPECT_EQ(hb.encode, h.encode);
        EXPECT_EQ(hb.funid, h.funid);
        EXPECT_EQ(str(hb.f104), sent(h.f104));
    }
}

// ---- where we differ on purpose ---------------------------------------------------

TEST_F(oracletest, negative32bitvaluestakefivebytes) {
    oracle::Int32Probe g;
    g.set_v(-1);
    EXPECT_EQ(g.ByteSizeLong(), 11u);  // Google: key + 10 bytes
    tagval t;
    t.quality = static_cast<uint32_t>(-1);  // a 32-bit field
    zo::string out;
    ASSERT_TRUE(t.serialize(out));
    EXPECT_EQ(out.size(), 6u);  // ours: key + 5 bytes
    // Google's parser reads our 5-byte form of an int32 back as -1.
    oracle::Int32Probe r;
    const char five[] = {0x08, '\xFF', '\xFF', '\xFF', '\xFF', 0x0F};
    ASSERT_TRUE(r.ParseFromArray(five, 6));
    EXPECT_EQ(r.v(), -1);
    // And we read Google's 10-byte form as the low 32 bits.
    std::string ten = g.SerializeAsString();
    tagval q;
    const std::string asquality = std::string("\x18", 1) + ten.substr(1);
    ASSERT_TRUE(q.parse(asquality.data(), static_cast<uint32_t>(asquality.size())));
    EXPECT_EQ(q.quality, 0xFFFFFFFFu);
}

TEST_F(oracletest, zerodoubleisalwayssentfortypes3and5) {
    for (uint32_t vtype : {3u, 5u}) {
        tagval t;
        t.vtype = vtype;
        t.vdouble = 0.0;
        zo::string out;
        ASSERT_TRUE(t.serialize(out));
        oracle::TagVal g;
        ASSERT_TRUE(g.ParseFromArray(out.data(), static_cast<int>(out.size())));
        EXPECT_TRUE(g.has_vdouble());
        // Without presence Google's code would leave the 0.0 out: 9 bytes less.
        g.clear_vdouble();
        EXPECT_EQ(g.ByteSizeLong() + 9, out.size());
    }
}

}  // namespace
