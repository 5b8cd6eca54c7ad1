// Package framing: the splitter and its buffer policy, header checks, body
// opening with LZ4, and the golden packages (with the sequence counter and
// liblz4 as the oracle of the LZ4 body) cut at every offset.
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

// The login request of instance "simu1", seqno 1: prefix; head ver 300,
// funid 2001, seqno 1, srcsize 14; body 121 "simu1", 125 = 2, 133 = 50.
const bytes loginpkg = unhex(
    "F3 79 97 0E 24 00 00 00 A0 06 AC 02 A8 06 D1 0F B0 06 01 D0 06 0E "
    "CA 07 05 73 69 6D 75 31 E8 07 02 A8 08 32");
// Registration request: funid 3211, seqno 2, empty body.
const bytes emptypkg = unhex("F3 79 97 0B 13 00 00 00 A0 06 AC 02 A8 06 8B 19 B0 06 02");

unkownbody bodyofletters(uint32_t n) {
    unkownbody u;
    u.vstr.append(n, 'a');
    return u;
}
// funid 3214, seqno 3, a raw body of 512 bytes: 508 letters in field 198.
bytes rawpkg512() {
    bytes b =
        unhex("F3 79 97 0F 17 02 00 00 A0 06 AC 02 A8 06 8E 19 B0 06 03 D0 06 80 04 B2 0C FC 03");
    b.insert(b.end(), 508, 'a');
    return b;
}
bytes withtotal(bytes b, uint32_t total) {
    zo::pbraw::fixed32(b.data() + 4, total);
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
    // Feeds bytes in chunks and collects every package the splitter gives back.
    std::vector<bytes> splitall(const bytes& in, size_t chunk) {
        std::vector<bytes> got;
        zo::string out;
        for (size_t off = 0; off < in.size(); off += chunk) {
            size_t n = std::min(chunk, in.size() - off);
            int r = pkgpb3::splitpkg(sp, in.data() + off, static_cast<uint32_t>(n), out);
            for (; r == 1; r = pkgpb3::splitpkg(sp, nullptr, 0, out)) got.push_back(tobytes(out));
            EXPECT_EQ(r, 0);
        }
        return got;
    }
    // funid 3214, seqno 4: 509 letters, a body of 513 bytes in one LZ4 block.
    bytes lzpkg() {
        seq.set(3);
        unkownbody v = bodyofletters(509);
        zo::string out;
        EXPECT_TRUE(build(3214, v, out));
        return tobytes(out);
    }
    int split(pkgsplit& s, const bytes& b, size_t n) {
        zo::string out;
        return pkgpb3::splitpkg(s, b.data(), static_cast<uint32_t>(n), out);
    }

    seqcounter seq;
    pkgsplit sp;
};

TEST_F(pkgtest, makepkgfailures) {
    zo::string out;
    loginbody l;
    l.f121 = "\xC3\x28";
    EXPECT_FALSE(build(2001, l, out));
    EXPECT_STREQ(l.errmsg(), "string is not utf8 encode");
    pb3head h;  // a head above 255 bytes
    h.ver = 300;
    h.f103.append(250, 'x');
    unkownbody e;
    EXPECT_FALSE(pkgpb3::makepkg(h, e, out));
    h.f103.resize(240);
    EXPECT_TRUE(pkgpb3::makepkg(h, e, out));
    EXPECT_EQ(static_cast<uint8_t>(out.data()[3]), out.size() - 8);
}

// Out of step: the splitter says -1 and consumes nothing.  A total that the
// head does not vouch for is judged as soon as the head is here, so a flipped
// bit does not make it wait for bytes that are really the packages behind.
TEST_F(pkgtest, whatthesplittermakesofaprefixandahead) {
    const bytes lz = lzpkg();
    const uint32_t bound = 8 + lz[3] + LZ4_COMPRESSBOUND(513);
    const uint32_t maxtotal = pkgpb3::maxpkgtotal;
    struct {
        const char* what;
        bytes b;
        int result;
    } cases[] = {
        {"protocol byte", unhex("F3 79 96 00 08 00 00 00"), -1},
        {"magic", unhex("F4 79 97 00 08 00 00 00"), -1},
        {"magic", unhex("F3 78 97 00 08 00 00 00"), -1},
        {"total below hdrlen + 8", unhex("F3 79 97 14 1B 00 00 00"), -1},
        {"total below the prefix", unhex("F3 79 97 00 07 00 00 00"), -1},
        {"total above the bound", withtotal(unhex("F3 79 97 00 00 00 00 00"), maxtotal + 1), -1},
        {"total at the bound", withtotal(unhex("F3 79 97 00 00 00 00 00"), maxtotal), 0},
        {"fewer than 8 bytes", unhex("01 02 03"), 0},
        {"raw, bit 22 of the total flipped", withtotal(loginpkg, 36 | (1u << 22)), -1},
        {"raw, one byte more", withtotal(loginpkg, 37), -1},
        {"raw, one byte less", withtotal(loginpkg, 35), -1},
        {"raw, as declared", loginpkg, 0},
        {"LZ4, bit 22 flipped", withtotal(lz, static_cast<uint32_t>(lz.size()) ^ (1u << 22)), -1},
        {"LZ4, above the bound", withtotal(lz, bound + 1), -1},
        {"LZ4, empty body", withtotal(lz, 8 + lz[3]), -1},
        {"LZ4, at the bound", withtotal(lz, bound), 0},
        {"a head that does not decode", unhex("F3 79 97 02 00 01 00 00 0F 01"), -1},
        {"LZ4 without srcsize", unhex("F3 79 97 03 00 01 00 00 C8 06 01"), -1},
        {"raw without srcsize is waited for", unhex("F3 79 97 03 00 01 00 00 A0 06 01"), 0},
    };
    for (const auto& c : cases) {
        pkgsplit s;
        // Only the prefix and the head: the body has not come yet.
        const size_t n = std::min<size_t>(c.b.size(), c.b.size() < 8 ? 3 : 8u + c.b[3]);
        EXPECT_EQ(split(s, c.b, n), c.result) << c.what;
        EXPECT_EQ(std::strcmp(s.lasterr, "") != 0, c.result < 0) << c.what;
        EXPECT_EQ(split(s, c.b, 0), c.result) << c.what;  // asking again: the same
        EXPECT_EQ(s.wpos - s.rpos, n) << c.what;
        EXPECT_LT(s.capacity, 1u << 20) << c.what;  // nothing was sized from a claim
    }
    // A good package followed by garbage: the package, then -1.
    bytes b = loginpkg;
    b.insert(b.end(), 8, 0);
    EXPECT_EQ(split(sp, b, b.size()), 1);
    EXPECT_EQ(split(sp, b, 0), -1);
}

// The buffer starts at 8000 bytes (or 1.5 x the chunk), kept when drained; a
// package larger than the buffer grows it (keeping what was unconsumed) and a
// buffer of 32769 bytes or more is given back once drained.
TEST_F(pkgtest, bufferpolicy) {
    zo::string out;
    ASSERT_EQ(split(sp, loginpkg, loginpkg.size()), 1);
    EXPECT_EQ(sp.capacity, 8000u);
    EXPECT_EQ(sp.rpos + sp.wpos, 0u);
    unkownbody u;
    for (int i = 0; i < 3000; ++i) u.vstr.appendf("%08x|", i * 2654435761u);
    zo::string big;
    ASSERT_TRUE(build(3214, u, big));
    ASSERT_GT(big.size(), 20000u);
    bytes stream = loginpkg;
    stream.insert(stream.end(), big.bytes(), big.bytes() + big.size());
    stream.insert(stream.end(), big.bytes(), big.bytes() + big.size());
    ASSERT_EQ(split(sp, stream, 5000), 1);  // the login
    EXPECT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 0);
    ASSERT_EQ(pkgpb3::splitpkg(sp, stream.data() + 5000,
                               static_cast<uint32_t>(stream.size() - 5000), out),
              1);
    EXPECT_EQ(hexof(out), hexof(big));
    EXPECT_GE(sp.capacity, 32769u);
    EXPECT_EQ(sp.rpos, big.size());  // compacted when it grew: the login bytes are gone
    ASSERT_EQ(pkgpb3::splitpkg(sp, nullptr, 0, out), 1);
    EXPECT_EQ(sp.buffer, nullptr);
    EXPECT_EQ(sp.capacity, 0u);
}

// Heads behind a good prefix: ver 300, encode 0 or 1 (with a srcsize).
TEST_F(pkgtest, headchecks) {
    struct {
        const char* head;
        bool ok;
        uint32_t errcode;
    } cases[] = {
        {"A0 06 AC 02 A8 06 D1 0F", true, 0},         // ver 300, funid 2001
        {"A0 06 AC 02 D0 06 09", true, 0},            // srcsize 9
        {"A0 06 AC 02 C8 06 01 D0 06 09", true, 0},   // encode 1
        {"A0 06 AD 02", false, 0},                    // ver 301
        {"A0 06 AB 02 C8 06 01 D0 06 63", false, 0},  // ver 299
        {"", false, 0},                               // no ver
        {"A0 06 AC 02 C8 06 02 D0 06 09", false, 0},  // encode 2
        {"A0 06 AC 02 C8 06 01", false, 0},           // LZ4 without srcsize
        {"A0 86", false, 2},                          // undecodable
        {"A0 06 AC 02 BA 06 01 FF", false, 3},        // a text that is not UTF-8
    };
    for (const auto& c : cases) {
        bytes b = unhex(c.head);
        b.insert(b.begin(), {0xF3, 0x79, 0x97, static_cast<uint8_t>(b.size()), 0, 0, 0, 0});
        b = withtotal(b, static_cast<uint32_t>(b.size()));
        pb3head g;
        EXPECT_EQ(pkgpb3::parsehead(b.data(), static_cast<uint32_t>(b.size()), g), c.ok) << c.head;
        EXPECT_EQ(g.errcode, c.errcode) << c.head;
    }
}

TEST_F(pkgtest, lz4bodysizedfromsrcsize) {
    unkownbody u;
    for (int i = 0; i < 200; ++i) u.vstr.appendf("%d,", i);
    zo::string pkg;
    ASSERT_TRUE(build(3308, u, pkg));
    pb3head h;
    ASSERT_TRUE(pkgpb3::parsehead(pkg, h));
    ASSERT_EQ(h.encode, 1u);
    const uint32_t truesize = h.srcsize;
    unkownbody d;
    h.srcsize = truesize / 2;  // the buffer is too small: open fails
    EXPECT_FALSE(pkgpb3::parsebody(pkg, h, d));
    EXPECT_EQ(d.errcode, 2u);
    h.srcsize = truesize * 3;  // larger: decodes from the true size
    ASSERT_TRUE(pkgpb3::parsebody(pkg, h, d));
    EXPECT_EQ(d.vstr.view(), u.vstr.view());
    h.srcsize = truesize;
    ASSERT_TRUE(pkgpb3::parsebody(pkg, h, d));
    h.srcsize = pkgpb3::maxsrcsize + 1;  // refused without allocating it
    EXPECT_FALSE(pkgpb3::parsebody(pkg, h, d));
}

// The golden packages are what we build, and cut at every offset: the splitter waits, parsehead and
// parsebody fail cleanly on what they are given (raw bodies decode exactly at
// field boundaries), and nothing reads past the cut (ASan builds check that).
// All of them in one stream come out whole, however the stream is chunked.
TEST_F(pkgtest, goldenpackagescutateveryoffset) {
    loginbody l;
    ASSERT_TRUE(l.parse(loginpkg.data() + 22, 14));
    unkownbody e, r = bodyofletters(508);  // empty, and 512 bytes that stay raw
    zo::string out[3];
    ASSERT_TRUE(build(2001, l, out[0]) && build(3211, e, out[1]) && build(3214, r, out[2]));
    EXPECT_EQ(hexof(out[0]), hexof(loginpkg));
    EXPECT_EQ(hexof(out[1]), hexof(emptypkg));
    EXPECT_EQ(hexof(out[2]), hexof(rawpkg512()));
    seq.set(0x7FFFFFFDu);  // the sequence counter wraps from 0x7FFFFFFE to 1
    EXPECT_EQ(seq.next(), 0x7FFFFFFEu);
    EXPECT_EQ(seq.next(), 1u);
    // Above 512 bytes: encode 1 before srcsize 513, and a body of one block
    // that liblz4 reads.
    const bytes lz = lzpkg();
    EXPECT_EQ(hexof(lz.data() + 8, 18), "A0 06 AC 02 A8 06 8E 19 B0 06 04 C8 06 01 D0 06 81 04 ");
    std::vector<char> plain(513);
    ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(lz.data()) + 26, plain.data(),
                                  static_cast<int>(lz.size() - 26), 513),
              513);
    EXPECT_EQ(std::string(plain.data(), 513), "\xB2\x0C\xFD\x03" + std::string(509, 'a'));
    struct {
        bytes b;
        std::vector<size_t> bodycuts;  // empty: an LZ4 body
    } goldens[] = {{loginpkg, {0, 8, 11, 14}},
                   {emptypkg, {0}},
                   {rawpkg512(), {0, 512}},
                   {lz, {}},
                   {unhex("F3 79 97 00 08 00 00 00"), {}}};
    bytes stream;
    for (const auto& g : goldens) {
        const size_t hdrend = 8 + g.b[3];
        for (size_t n = 0; n < g.b.size(); ++n) {
            const bytes cut(g.b.begin(), g.b.begin() + n);
            pkgsplit s;
            EXPECT_EQ(split(s, cut, n), 0) << n;
            pb3head h;
            const bool hok = pkgpb3::parsehead(cut.data(), static_cast<uint32_t>(n), h);
            ASSERT_EQ(hok, n >= hdrend) << n;
            if (!hok) continue;
            unkownbody u;
            const bool bok = pkgpb3::parsebody(cut.data(), static_cast<uint32_t>(n), h, u);
            const auto& c = g.bodycuts;
            EXPECT_EQ(bok, std::find(c.begin(), c.end(), n - hdrend) != c.end()) << n;
        }
    }
    for (int k = 0; k < 8; ++k)
        for (const auto& g : goldens) stream.insert(stream.end(), g.b.begin(), g.b.end());
    // Any chunking of them all gives the same packages, and nothing is left over.
    for (size_t chunk : {1u, 7u, 100u, 555u, 30720u}) {
        auto got = splitall(stream, chunk);
        ASSERT_EQ(got.size(), 8 * std::size(goldens)) << chunk;
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], goldens[i % 5].b) << chunk;
        EXPECT_EQ(sp.rpos, sp.wpos);
    }
}

}  // namespace
