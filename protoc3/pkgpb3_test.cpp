// Package framing: byte-exact packages, the splitter and its buffer policy,
// header checks, body opening with LZ4, the sequence counter, and every
// golden package cut at every offset.
#include "protoc3/pkgpb3.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protoc3/bodies.h"
#include "protoc3/testutil_test.h"

namespace {

using namespace pbtest;

// The login request of instance "simu1", seqno 1.
const bytes loginpkg = {
    0xF3, 0x79, 0x97, 0x0E, 0x24, 0x00, 0x00, 0x00,  // prefix
    0xA0, 0x06, 0xAC, 0x02, 0xA8, 0x06, 0xD1, 0x0F,
    0xB0, 0x06, 0x01, 0xD0, 0x06, 0x0E,  // head: ver 300, funid 2001, seqno 1, srcsize 14
    0xCA, 0x07, 0x05, 's',  'i',  'm',  'u',  '1',
    0xE8, 0x07, 0x02, 0xA8, 0x08, 0x32};  // body: 121 "simu1", 125 = 2, 133 = 50
const std::vector<size_t> loginbodycuts = {0, 8, 11, 14};

// Registration request: funid 3211, seqno 2, empty body.
const bytes emptypkg = {0xF3, 0x79, 0x97, 0x0B, 0x13, 0x00, 0x00, 0x00, 0xA0, 0x06,
                        0xAC, 0x02, 0xA8, 0x06, 0x8B, 0x19, 0xB0, 0x06, 0x02};

// A body_unkown whose vstr holds n letters 'a'.
unkownbody bodyofletters(uint32_t n) {
    unkownbody u;
    u.vstr.append(n, 'a');
    return u;
}

bytes rawpkg512() {
    bytes b = {0xF3, 0x79, 0x97, 0x0F, 0x17, 0x02, 0x00, 0x00, 0xA0, 0x06, 0xAC, 0x02, 0xA8, 0x06,
               0x8E, 0x19, 0xB0, 0x06, 0x03, 0xD0, 0x06, 0x80, 0x04, 0xB2, 0x0C, 0xFC, 0x03};
    b.insert(b.end(), 508, 'a');
    return b;
}

class pkgtest : public ::testing::Test {
  protected:
    bool build(uint32_t funid, zo::cls_protoc3<zo::string>& body, zo::string& out) {
        pb3head h;
        h.ver = 300;
        h.funid = funid;
        h.seqno = seq.next();
        return pkgpb3::makepkg(h, body, out);
    }
    // Feeds bytes and collects every package the splitter gives back.
    std::vector<bytes> splitall(const bytes& in, size_t chunk) {
        std::vector<bytes> got;
        zo::string out;
        for (size_t off = 0; off < in.size(); off += chunk) {
            size_t n = std::min(chunk, in.size() - off);
            int r = pkgpb3::splitpkg(sp, in.data() + off, static_cast<uint32_t>(n), out);
            while (r == 1) {
                got.push_back(tobytes(out));
                r = pkgpb3::splitpkg(sp, nullptr, 0, out);
            }
            EXPECT_EQ(r, 0);
        }
        return got;
    }

    seqcounter seq;
    pkgsplit sp;
};

// ---- building ----------------------------------------------------------------

TEST_F(pkgtest, goldenpackages) {
    loginbody l;
    l.f121 = zs("simu1");
    l.f125 = 2;
    l.f133 = 50;
    zo::string out;
    ASSERT_TRUE(build(2001, l, out));
    EXPECT_EQ(hexof(out), hexof(loginpkg));
    unkownbody u;  // an empty body, seqno 2: the package is its head
    ASSERT_TRUE(build(3211, u, out));
    EXPECT_EQ(hexof(out), hexof(emptypkg));
}

TEST_F(pkgtest, bodyof512staysrawand513iscompressed) {
    seq.set(2);
    unkownbody u = bodyofletters(508);
    ASSERT_EQ(u.size(), 512u);
    zo::string out;
    ASSERT_TRUE(build(3214, u, out));
    EXPECT_EQ(hexof(out), hexof(rawpkg512()));

    unkownbody v = bodyofletters(509);
    ASSERT_EQ(v.size(), 513u);
    ASSERT_TRUE(build(3214, v, out));
    // Head: ver, funid, seqno 4, encode 1, srcsize 513 (encode before srcsize).
    const bytes head = {0xA0, 0x06, 0xAC, 0x02, 0xA8, 0x06, 0x8E, 0x19, 0xB0,
                        0x06, 0x04, 0xC8, 0x06, 0x01, 0xD0, 0x06, 0x81, 0x04};
    ASSERT_GT(out.size(), 8u + head.size());
    const uint8_t* p = out.bytes();
    EXPECT_EQ(hexof(p, 4), "F3 79 97 12 ");
    EXPECT_EQ(zo::pbraw::loadle32(p + 4), out.size());
    EXPECT_EQ(hexof(p + 8, head.size()), hexof(head));
    // The body is one LZ4 block of the encoding.
    std::vector<char> plain(513);
    int n =
        LZ4_decompress_safe(out.data() + 26, plain.data(), static_cast<int>(out.size() - 26), 513);
    ASSERT_EQ(n, 513);
    zo::string want;
    ASSERT_TRUE(v.serialize(want));
    EXPECT_EQ(std::memcmp(plain.data(), want.data(), 513), 0);
    EXPECT_LT(out.size(), 100u);  // letters compress well
}

TEST_F(pkgtest, makepkgfailures) {
    zo::string out;
    loginbody l;
    l.f121 = zs("\xC3\x28");
    EXPECT_FALSE(build(2001, l, out));
    EXPECT_STREQ(l.errmsg(), "string is not utf8 encode");
    // The same in a compressed body.
    unkownbody u = bodyofletters(600);
    u.vstr2 = zs("\xFF");
    EXPECT_FALSE(build(3214, u, out));
    EXPECT_EQ(u.errcode, 3u);
    // A head above 255 bytes.
    pb3head h;
    h.ver = 300;
    h.f103.append(250, 'x');
    unkownbody e;
    EXPECT_FALSE(pkgpb3::makepkg(h, e, out));
    h.f103.resize(240);
    EXPECT_TRUE(pkgpb3::makepkg(h, e, out));
    EXPECT_EQ(static_cast<uint8_t>(out.data()[3]), out.size() - 8);
}

TEST_F(pkgtest, sequencecounterwraps) {
    EXPECT_EQ(seq.next(), 1u);
    EXPECT_EQ(seq.next(), 2u);
    seq.set(0x7FFFFFFDu);
    EXPECT_EQ(seq.next(), 0x7FFFFFFEu);
    EXPECT_EQ(seq.next(), 1u);
    EXPECT_EQ(seq.next(), 2u);
}

// ---- splitting ---------------------------------------------------------------

TEST_F(pkgtest, twopackagesinonechunk) {
    bytes two = loginpkg;
    two.insert(two.end(), emptypkg.begin(), emptypkg.end());
    zo::string out;
    ASSERT_EQ(pkgpb3::splitpkg(sp, two.data(), static_cast<uint32_t>(two.size()), out), 1);
    EXPECT_EQ(hexof(out), hexof(loginpkg));
    ASSERT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 1);
    EXPECT_EQ(hexof(out), hexof(emptypkg));
    EXPECT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 0);
    // Any chunking gives the same packages.
    bytes many;
    for (int i = 0; i < 20; ++i) {
        many.insert(many.end(), loginpkg.begin(), loginpkg.end());
        bytes big = rawpkg512();
        many.insert(many.end(), big.begin(), big.end());
    }
    for (size_t chunk : {1u, 7u, 100u, 555u, 30720u}) {
        auto got = splitall(many, chunk);
        ASSERT_EQ(got.size(), 40u) << chunk;
        EXPECT_EQ(got[0], loginpkg);
        EXPECT_EQ(got[39], rawpkg512());
        EXPECT_EQ(sp.rpos, sp.wpos);  // nothing left over
    }
}

TEST_F(pkgtest, outofstepprefixes) {
    zo::string out;
    const bytes cases[] = {
        {0xF3, 0x79, 0x96, 0x00, 0x08, 0x00, 0x00, 0x00},  // protocol byte
        {0xF4, 0x79, 0x97, 0x00, 0x08, 0x00, 0x00, 0x00},  // magic
        {0xF3, 0x78, 0x97, 0x00, 0x08, 0x00, 0x00, 0x00},  // magic
        {0xF3, 0x79, 0x97, 20, 27, 0x00, 0x00, 0x00},      // total below hdrlen + 8
        {0xF3, 0x79, 0x97, 0, 7, 0x00, 0x00, 0x00},        // total below the prefix
    };
    for (const bytes& b : cases) {
        pkgsplit s;
        EXPECT_EQ(pkgpb3::splitpkg(s, b.data(), 8, out), -1) << hexof(b);
        EXPECT_STRNE(s.lasterr, "");
        // Nothing is consumed: asking again gives the same answer.
        EXPECT_EQ(pkgpb3::splitpkg(s, nullptr, 0, out), -1);
        EXPECT_EQ(s.wpos - s.rpos, 8u);
    }
    // Fewer than 8 bytes of garbage: not yet judged.
    pkgsplit s;
    EXPECT_EQ(pkgpb3::splitpkg(s, "\x01\x02\x03", 3, out), 0);
    // A good package followed by garbage: the package, then -1.
    bytes b = loginpkg;
    b.insert(b.end(), {0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(pkgpb3::splitpkg(sp, b.data(), static_cast<uint32_t>(b.size()), out), 1);
    EXPECT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), -1);
}

TEST_F(pkgtest, declaredtotalabovetheboundisoutofstep) {
    zo::string out;
    uint32_t big = pkgpb3::maxpkgtotal + 1;
    bytes b = {0xF3, 0x79, 0x97, 0x00, 0, 0, 0, 0};
    zo::pbraw::fixed32(b.data() + 4, big);
    EXPECT_EQ(pkgpb3::splitpkg(sp, b.data(), 8, out), -1);
    EXPECT_LT(sp.capacity, 1u << 20);  // nothing was sized from the claim
    // At the bound it is waited for.
    pkgsplit s;
    zo::pbraw::fixed32(b.data() + 4, pkgpb3::maxpkgtotal);
    EXPECT_EQ(pkgpb3::splitpkg(s, b.data(), 8, out), 0);
    EXPECT_LT(s.capacity, 1u << 20);
}

// A flipped bit in a declared total must not make the splitter wait for
// bytes that are really the packages behind: the head decides as soon as it
// is here.
TEST_F(pkgtest, totalthattheheaddoesnotvouchforisoutofstepwhentheheadarrives) {
    zo::string lz;
    unkownbody letters = bodyofletters(2000);
    ASSERT_TRUE(build(3308, letters, lz));
    const bytes lzpkg = tobytes(lz);
    pb3head h;
    ASSERT_TRUE(pkgpb3::parsehead(lz, h));
    ASSERT_EQ(h.encode, 1u);
    const uint32_t bound = 8 + lzpkg[3] + LZ4_COMPRESSBOUND(h.srcsize);
    auto withtotal = [](bytes b, uint32_t total) {
        zo::pbraw::fixed32(b.data() + 4, total);
        return b;
    };
    // hdrlen 2 holding a key of wire type 7; hdrlen 2 with encode 1 and no srcsize.
    const bytes undecodable = {0xF3, 0x79, 0x97, 0x02, 0x00, 0x01, 0x00, 0x00, 0x0F, 0x01};
    const bytes nosize = {0xF3, 0x79, 0x97, 0x03, 0x00, 0x01, 0x00, 0x00, 0xC8, 0x06, 0x01};
    const bytes rawnosize = {0xF3, 0x79, 0x97, 0x03, 0x00, 0x01, 0x00, 0x00, 0xA0, 0x06, 0x01};
    struct {
        const char* what;
        bytes b;
        int result;
    } cases[] = {
        {"raw, bit 22 of the total flipped", withtotal(loginpkg, 36 | (1u << 22)), -1},
        {"raw, one byte more", withtotal(loginpkg, 37), -1},
        {"raw, one byte less", withtotal(loginpkg, 35), -1},
        {"raw, as declared", loginpkg, 0},
        {"LZ4, bit 22 flipped", withtotal(lzpkg, static_cast<uint32_t>(lzpkg.size()) ^ (1u << 22)),
         -1},
        {"LZ4, above the bound", withtotal(lzpkg, bound + 1), -1},
        {"LZ4, empty body", withtotal(lzpkg, 8 + lzpkg[3]), -1},
        {"LZ4, at the bound", withtotal(lzpkg, bound), 0},
        {"a head that does not decode", undecodable, -1},
        {"LZ4 without srcsize", nosize, -1},
        {"raw without srcsize is waited for", rawnosize, 0},
    };
    for (const auto& c : cases) {
        pkgsplit s;
        zo::string out;
        // Only the prefix and the head: the body has not come yet.
        EXPECT_EQ(pkgpb3::splitpkg(s, c.b.data(), 8u + c.b[3], out), c.result) << c.what;
        if (c.result < 0) {
            EXPECT_STRNE(s.lasterr, "") << c.what;
        }
    }
}

TEST_F(pkgtest, smallestpackageissplitbutitsheadisrejected) {
    bytes b = {0xF3, 0x79, 0x97, 0x00, 0x08, 0x00, 0x00, 0x00};
    zo::string out;
    ASSERT_EQ(pkgpb3::splitpkg(sp, b.data(), 8, out), 1);
    EXPECT_EQ(out.size(), 8u);
    pb3head h;
    EXPECT_FALSE(pkgpb3::parsehead(out, h));
    EXPECT_EQ(h.errcode, 0u);  // decoded, but ver is absent
}

TEST_F(pkgtest, bufferpolicy) {
    zo::string out;
    // First bytes: at least 8000, or 1.5 x the chunk.
    ASSERT_EQ(pkgpb3::splitpkg(sp, loginpkg.data(), 10, out), 0);
    EXPECT_GE(sp.capacity, 8000u);
    uint8_t* first = sp.buffer;
    ASSERT_EQ(pkgpb3::splitpkg(sp, loginpkg.data() + 10, 26, out), 1);
    // A small buffer is kept after draining.
    EXPECT_EQ(sp.buffer, first);
    EXPECT_EQ(sp.rpos, 0u);
    EXPECT_EQ(sp.wpos, 0u);

    // A package larger than the buffer grows it (keeping what was unconsumed)
    // and a buffer of 32769 bytes or more is given back once drained.
    unkownbody u;
    for (int i = 0; i < 3000; ++i) u.vstr.appendf("%08x|", i * 2654435761u);
    zo::string big;
    ASSERT_TRUE(build(3214, u, big));
    ASSERT_GT(big.size(), 20000u);
    bytes stream = loginpkg;
    stream.insert(stream.end(), big.bytes(), big.bytes() + big.size());
    stream.insert(stream.end(), big.bytes(), big.bytes() + big.size());
    ASSERT_EQ(pkgpb3::splitpkg(sp, stream.data(), 5000, out), 1);  // the login
    EXPECT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 0);
    ASSERT_EQ(pkgpb3::splitpkg(sp, stream.data() + 5000,
                               static_cast<uint32_t>(stream.size() - 5000), out),
              1);
    EXPECT_EQ(hexof(out), hexof(big));
    EXPECT_GE(sp.capacity, 32769u);
    EXPECT_EQ(sp.rpos, big.size());  // compacted when it grew: the login bytes are gone
    ASSERT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 1);
    EXPECT_EQ(hexof(out), hexof(big));
    EXPECT_EQ(sp.buffer, nullptr);
    EXPECT_EQ(sp.capacity, 0u);

    sp.reset();
    EXPECT_EQ(sp.buffer, nullptr);
    EXPECT_EQ(sp.wpos, 0u);
}

// ---- head and body -------------------------------------------------------------

TEST_F(pkgtest, headchecks) {
    auto pkgwith = [](pb3head& h) {
        zo::string hb;
        EXPECT_TRUE(h.serialize(hb));
        bytes b = {0xF3, 0x79, 0x97, static_cast<uint8_t>(hb.size()), 0, 0, 0, 0};
        b.insert(b.end(), hb.bytes(), hb.bytes() + hb.size());
        zo::pbraw::fixed32(b.data() + 4, static_cast<uint32_t>(b.size()));
        return b;
    };
    struct c {
        uint32_t ver, encode, srcsize;
        bool ok;
    } cases[] = {{300, 0, 0, true},  {300, 0, 9, true},  {300, 1, 9, true}, {301, 0, 0, false},
                 {300, 2, 9, false}, {300, 1, 0, false}, {0, 0, 0, false},  {299, 1, 99, false}};
    for (const c& k : cases) {
        pb3head h;
        h.ver = k.ver;
        h.encode = k.encode;
        h.srcsize = k.srcsize;
        h.subno = 5;
        h.f104 = zs("kept");
        bytes b = pkgwith(h);
        pb3head g;
        EXPECT_EQ(pkgpb3::parsehead(b.data(), static_cast<uint32_t>(b.size()), g), k.ok)
            << k.ver << " " << k.encode << " " << k.srcsize;
        EXPECT_EQ(g.errcode, 0u);
        EXPECT_EQ(g.subno, 5u);
        EXPECT_EQ(g.f104.view(), "kept");
    }
    // An undecodable head.
    bytes b = {0xF3, 0x79, 0x97, 0x02, 0x0A, 0x00, 0x00, 0x00, 0xA0, 0x86};
    pb3head g;
    EXPECT_FALSE(pkgpb3::parsehead(b.data(), 10, g));
    EXPECT_EQ(g.errcode, 2u);
    // A head whose text is not UTF-8.
    bytes t = {0xF3, 0x79, 0x97, 0x04, 0x0C, 0x00, 0x00, 0x00, 0xBA, 0x06, 0x01, 0xFF};
    EXPECT_FALSE(pkgpb3::parsehead(t.data(), 12, g));
    EXPECT_EQ(g.errcode, 3u);
}

TEST_F(pkgtest, lz4bodysizedfromsrcsize) {
    unkownbody u;
    for (int i = 0; i < 200; ++i) u.vstr.appendf("%d,", i);
    zo::string pkg;
    ASSERT_TRUE(build(3308, u, pkg));
    pb3head h;
    ASSERT_TRUE(pkgpb3::parsehead(pkg, h));
    ASSERT_EQ(h.encode, 1u);
    uint32_t truesize = h.srcsize;

    unkownbody d;
    // srcsize well below the true size: the buffer is too small, open fails.
    h.srcsize = truesize / 2;
    EXPECT_FALSE(pkgpb3::parsebody(pkg, h, d));
    EXPECT_EQ(d.errcode, 2u);
    // srcsize larger than the true size: decodes from the true size.
    h.srcsize = truesize * 3;
    d.vstr.clear();
    ASSERT_TRUE(pkgpb3::parsebody(pkg, h, d));
    EXPECT_EQ(d.vstr.view(), u.vstr.view());
    // Exactly the true size.
    h.srcsize = truesize;
    ASSERT_TRUE(pkgpb3::parsebody(pkg, h, d));
    // A claimed size above the bound is refused without allocating it.
    h.srcsize = pkgpb3::maxsrcsize + 1;
    EXPECT_FALSE(pkgpb3::parsebody(pkg, h, d));
    // A damaged block fails cleanly.
    h.srcsize = truesize;
    zo::string bad = pkg;
    bad.data()[bad.size() - 1] ^= 0x5A;
    bad.data()[8 + static_cast<uint8_t>(bad.data()[3]) + 1] ^= 0xFF;
    pkgpb3::parsebody(bad, h, d);  // must not read or write out of bounds
    // A raw body is decoded in place.
    pb3head r;
    ASSERT_TRUE(pkgpb3::parsehead(loginpkg.data(), static_cast<uint32_t>(loginpkg.size()), r));
    loginbody l;
    ASSERT_TRUE(pkgpb3::parsebody(loginpkg.data(), static_cast<uint32_t>(loginpkg.size()), r, l));
    EXPECT_EQ(l.f121.view(), "simu1");
    EXPECT_EQ(l.f133, 50u);
}

// Every golden package cut at every offset: the splitter waits, parsehead and
// parsebody fail cleanly on what they are given (raw bodies decode exactly at
// field boundaries), and nothing reads past the cut (ASan builds check that).
TEST_F(pkgtest, cutateveryoffset) {
    unkownbody v = bodyofletters(509);
    zo::string lz;
    seq.set(3);
    ASSERT_TRUE(build(3214, v, lz));
    struct golden {
        bytes b;
        std::vector<size_t> bodycuts;  // empty: an LZ4 body
    } goldens[] = {
        {loginpkg, loginbodycuts}, {emptypkg, {0}}, {rawpkg512(), {0, 512}}, {tobytes(lz), {}}};
    for (const golden& g : goldens) {
        const size_t hdrend = 8 + g.b[3];
        for (size_t n = 0; n < g.b.size(); ++n) {
            std::vector<uint8_t> cut(g.b.begin(), g.b.begin() + n);
            pkgsplit s;
            zo::string out;
            EXPECT_EQ(pkgpb3::splitpkg(s, cut.data(), static_cast<uint32_t>(n), out), 0) << n;
            pb3head h;
            bool hok = pkgpb3::parsehead(cut.data(), static_cast<uint32_t>(n), h);
            if (n < hdrend) {
                EXPECT_FALSE(hok) << n;
                continue;
            }
            ASSERT_TRUE(hok) << n;
            unkownbody u;
            bool bok = pkgpb3::parsebody(cut.data(), static_cast<uint32_t>(n), h, u);
            if (g.bodycuts.empty()) {
                EXPECT_FALSE(bok) << "lz4 body cut at " << n;
            } else {
                bool boundary =
                    std::find(g.bodycuts.begin(), g.bodycuts.end(), n - hdrend) != g.bodycuts.end();
                EXPECT_EQ(bok, boundary) << n;
            }
        }
        // The whole package.
        pkgsplit s;
        zo::string out;
        EXPECT_EQ(pkgpb3::splitpkg(s, g.b.data(), static_cast<uint32_t>(g.b.size()), out), 1);
    }
}

}  // namespace
