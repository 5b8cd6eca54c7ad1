// Wire primitives: varints, sizes, the fixed buffers, and the decode loop with
// its failure rules.
#include "protoc3/pbwire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/string_.h"
#include "protoc3/bodies.h"
#include "protoc3/testutil_test.h"

namespace zo {
namespace {

using namespace pbtest;

// A message that logs what the decode loop hands it ("v1=5 b2=abc "); field
// 2 is a text, and a varint in field 6 fails its handler.
class probe : public cls_protoc3<zo::string> {
  public:
    std::string log;

    void clear() override { log.clear(); }
    uint32_t size() const override { return 0; }
    bool serialize(zo::string&) override { return true; }
    bool on_varint(uint32_t field, uint64_t v) override {
        return note('v', field, v) && field != 6;
    }
    bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) override {
        zo::string t;
        if (field == 2 && !get_text(p, n, t)) return false;
        log += "b" + std::to_string(field) + "=" + std::string(p, p + n) + " ";
        return true;
    }
    bool on_fixed64(uint32_t field, const uint8_t* p) override {
        return note('d', field, pbraw::loadle64(p));
    }
    bool on_fixed32(uint32_t field, const uint8_t* p) override {
        return note('f', field, pbraw::loadle32(p));
    }
    bool note(char kind, uint32_t field, uint64_t v) {
        char s[40];
        std::snprintf(s, sizeof s, "%c%u=%llx ", kind, field, static_cast<unsigned long long>(v));
        log += s;
        return true;
    }
};

TEST(pbwriters, goldenbytesandtheirsizes) {
    zo::string s;
    put_varint32(s, 300);
    put_varint32(s, 0xFFFFFFFFu);
    put_varint32(s, 0);
    put_varint64(s, ~0ull);
    put_varint32(s, static_cast<uint32_t>(-2));  // from its 32-bit pattern: 5 bytes
    put_fixed64(s, 0x0102030405060708ull);
    put_lenbytes(s, "abc", 3);
    put_lenbytes(s, nullptr, 7);  // only the length
    put_lenbytes(s, "abc", 0);
    EXPECT_EQ(hexof(s),
              "AC 02 FF FF FF FF 0F 00 FF FF FF FF FF FF FF FF FF 01 FE FF FF FF 0F "
              "08 07 06 05 04 03 02 01 03 61 62 63 07 00 ");
    std::vector<uint64_t> vals = {0, 1, 127, 128, 16383, 16384, ~0ull};
    for (int sh = 21; sh < 64; sh += 7) {
        vals.push_back((1ull << sh) - 1);
        vals.push_back(1ull << sh);
    }
    for (uint64_t v : vals) {
        zo::string a, b;
        put_varint64(a, v);
        EXPECT_EQ(varint_size64(v), a.size()) << v;
        put_varint32(b, static_cast<uint32_t>(v));
        EXPECT_EQ(varint_size32(static_cast<uint32_t>(v)), b.size()) << v;
    }
}

// Varints keep the bytes that fit; fixed values are all or nothing; lenbytes
// writes its length, then copies only when every byte fits.
TEST(pbfixbuf, writersstopatthecapacity) {
    struct {
        uint32_t at;
        void (*put)(fixbuf1k&);
        uint32_t used;
        const char* tail;  // the bytes from `at` on
    } cases[] = {
        {1023, [](fixbuf1k& f) { put_varint32(f, 5), put_varint32(f, 6); }, 1024, "05 "},
        {1022, [](fixbuf1k& f) { put_varint32(f, 300); }, 1024, "AC 02 "},
        {1023, [](fixbuf1k& f) { put_varint64(f, 300); }, 1024, "AC "},
        {1021, [](fixbuf1k& f) { put_fixed32(f, 0x11223344); }, 1021, ""},
        {1020, [](fixbuf1k& f) { put_fixed32(f, 0x11223344); }, 1024, "44 33 22 11 "},
        {1017, [](fixbuf1k& f) { put_fixed64(f, 1); }, 1017, ""},
        {1016, [](fixbuf1k& f) { put_fixed64(f, 0x0102030405060708ull); }, 1024,
         "08 07 06 05 04 03 02 01 "},
        {1018, [](fixbuf1k& f) { put_lenbytes(f, "abcdef", 6); }, 1019, "06 "},
        {1017, [](fixbuf1k& f) { put_lenbytes(f, "abcdef", 6); }, 1024, "06 61 62 63 64 65 66 "},
    };
    for (const auto& c : cases) {
        fixbuf1k b;
        b.used = c.at;
        c.put(b);
        EXPECT_EQ(b.used, c.used) << c.at;
        EXPECT_EQ(hexof(b.data + c.at, b.used - c.at), c.tail) << c.at;
    }
}

// What the decode loop makes of each input: the result, what it handed on,
// and errcode.
TEST(pbdecode, inputsandwhatarrives) {
    struct {
        const char* in;
        bool ok;
        const char* log;
    } cases[] = {
        {"", true, "err=0"},
        {"12 0A 61 62 63 64 65 66 67 68 69 6A", true, "b2=abcdefghij err=0"},
        {"88 80 80 80 00 07", true, "v1=7 err=0"},  // a key of five bytes
        {"18 FF FF FF FF FF FF FF FF FF 01", true, "v3=ffffffffffffffff err=0"},
        {"21 01 02 03 04 05 06 07 08 2D 01 02 03 04", true, "d4=807060504030201 f5=4030201 err=0"},
        {"08 05 48 96 01 49 01 02 03 04 05 06 07 08 4A 03 78 79 7A 4D 01 02 03 04 18 06", true,
         "v1=5 v9=96 d9=807060504030201 b9=xyz f9=4030201 v3=6 err=0"},
        {"12 03 61 62 63 12 00", true, "b2=abc b2= err=0"},  // an empty text
        {"12 02 C3 28", false, "err=3"},                     // not UTF-8
        // A failing handler stops the loop without a reason; what came before stays.
        {"08 01 30 02 08 03", false, "v1=1 v6=2 err=0"},
        {"08 05 0B", false, "v1=5 err=2"},
        {"0B 00 00 00 00 00 00 00 00", false, "err=2"},  // groups and undefined wire types
        {"0F 00 00 00 00 00 00 00 00", false, "err=2"},
        {"12 0A 61 62 63 64 65 66 67 68 69", false, "err=2"},     // length beyond the bytes left
        {"12 80 80 80 80 80 00", false, "err=2"},                 // length varint of 6 bytes
        {"12 FF FF FF FF 0F 61", false, "err=2"},                 // huge declared length
        {"88 80 80 80 80 00 01", false, "err=2"},                 // key of 6 bytes
        {"18 FF FF FF FF FF FF FF FF FF 80 01", false, "err=2"},  // value of 11 bytes
        {"08", false, "err=2"},                                   // varint missing
        {"08 80", false, "err=2"},                                // varint runs off
        {"88", false, "err=2"},                                   // key runs off
        {"21 01 02 03 04 05 06 07", false, "err=2"},              // 7 of 8
        {"2D 01 02 03", false, "err=2"},                          // 3 of 4
        {"12", false, "err=2"},                                   // length missing
        {"12 85", false, "err=2"},                                // length runs off
    };
    for (const auto& c : cases) {
        probe m;
        m.log = "stale ";
        m.errcode = 3;
        const bytes in = unhex(c.in);
        EXPECT_EQ(m.parse(in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size())), c.ok)
            << c.in;
        EXPECT_EQ(m.log + "err=" + std::to_string(m.errcode), c.log) << c.in;
    }
}

// A text is left out when empty or when its first byte is 0 (the oracle's
// texts never start with one); one that is not UTF-8 fails the encode, which
// keeps what came before it.
TEST(pbencode, textpresenceandutf8) {
    unkownbody u;
    zo::string out;
    u.vi32 = 0xFFFFFFFFu;
    u.vstr.assign("\0zz", 3);
    EXPECT_TRUE(u.serialize(out));
    EXPECT_EQ(u.size(), out.size());
    u.vstr2 = "\xC3\x28";
    EXPECT_FALSE(u.serialize(out));
    EXPECT_EQ(hexof(out), "A0 0C FF FF FF FF 0F A0 0C FF FF FF FF 0F ");
}

}  // namespace
}  // namespace zo
