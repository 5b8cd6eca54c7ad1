// Wire primitives: varints, sizes, the fixed buffers, the UTF-8 check and the
// decode loop with its failure rules.
#include "protoc3/pbwire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/string_.h"
#include "protoc3/testutil_test.h"

namespace zo {
namespace {

using namespace pbtest;

// A message that records what the decode loop hands it: field 1 u32,
// field 2 text, field 3 u64, field 4 double (wire type 1), field 5 fixed32.
class probe : public cls_protoc3<zo::string> {
  public:
    uint32_t a = 0;
    zo::string text;
    uint64_t b = 0;
    uint64_t dbits = 0;
    uint32_t f5 = 0;
    int clears = 0;
    int calls = 0;
    uint32_t failfield = 0;  // a handler for this field returns false

    void clear() override {
        ++clears;
        a = 0;
        text.clear();
        b = 0;
        dbits = 0;
        f5 = 0;
        calls = 0;
    }
    uint32_t size() const override {
        return field_size32(1, a) + text_size(18, text) + field_size64(3, b);
    }
    bool serialize(zo::string& out) override {
        return serializewith(out, size(), [this](uint8_t*& p) {
            w32(p, 8, a);
            if (!wtext(p, 18, text)) return false;
            w64(p, 24, b);
            return true;
        });
    }
    bool on_varint(uint32_t field, uint64_t v) override {
        ++calls;
        if (field == failfield) return false;
        if (field == 1) a = static_cast<uint32_t>(v);
        if (field == 3) b = v;
        return true;
    }
    bool on_bytes(uint32_t field, const uint8_t* p, uint32_t n) override {
        ++calls;
        if (field == failfield) return false;
        if (field == 2) return get_text(p, n, text);
        return true;
    }
    bool on_fixed64(uint32_t field, const uint8_t* p) override {
        ++calls;
        if (field == 4) dbits = pbraw::loadle64(p);
        return true;
    }
    bool on_fixed32(uint32_t field, const uint8_t* p) override {
        ++calls;
        if (field == 5) f5 = pbraw::loadle32(p);
        return true;
    }
};

bool parsebytes(msg_protoc3& m, const bytes& b) {
    return m.parse(b.data(), static_cast<uint32_t>(b.size()));
}

// ---- writers and sizes --------------------------------------------------------

TEST(pbwriters, goldenbytes) {
    struct {
        void (*put)(zo::string&);
        const char* hex;
    } cases[] = {
        {[](zo::string& s) { put_varint32(s, 300); }, "AC 02 "},
        {[](zo::string& s) { put_varint32(s, 0xFFFFFFFFu); }, "FF FF FF FF 0F "},
        {[](zo::string& s) { put_varint32(s, 0); }, "00 "},
        {[](zo::string& s) { put_varint64(s, ~0ull); }, "FF FF FF FF FF FF FF FF FF 01 "},
        // A negative 32-bit value goes out from its 32-bit pattern: 5 bytes.
        {[](zo::string& s) { put_varint32(s, static_cast<uint32_t>(-2)); }, "FE FF FF FF 0F "},
        {[](zo::string& s) { put_fixed64(s, 0x0102030405060708ull); }, "08 07 06 05 04 03 02 01 "},
        {[](zo::string& s) { put_lenbytes(s, "abc", 3); }, "03 61 62 63 "},
        {[](zo::string& s) { put_lenbytes(s, nullptr, 7); }, "07 "},  // only the length
        {[](zo::string& s) { put_lenbytes(s, "abc", 0); }, "00 "},
    };
    for (const auto& c : cases) {
        zo::string s;
        c.put(s);
        EXPECT_EQ(hexof(s), c.hex);
    }
}

TEST(pbwriters, sizefunctionsmatchwhatthewriterswrite) {
    std::vector<uint64_t> vals = {0, 1, 127, 128, 16383, 16384, ~0ull};
    for (int sh = 21; sh < 64; sh += 7) {
        vals.push_back((1ull << sh) - 1);
        vals.push_back(1ull << sh);
    }
    for (uint64_t v : vals) {
        zo::string s, t;
        put_varint64(s, v);
        EXPECT_EQ(varint_size64(v), s.size()) << v;
        put_varint32(t, static_cast<uint32_t>(v));
        EXPECT_EQ(varint_size32(static_cast<uint32_t>(v)), t.size()) << v;
    }
    EXPECT_EQ(field_size32(100, 0), 0u);
    EXPECT_EQ(field_size32(100, 300), 4u);  // key 800 (2 bytes) + 2
    EXPECT_EQ(field_size64(1, ~0ull), 11u);
    EXPECT_EQ(text_size(18, zo::string("abc")), 5u);
    EXPECT_EQ(text_size(18, zo::string("\0bc", 3)), 0u);  // leading zero byte: absent
    EXPECT_EQ(text_size(18, zo::string()), 0u);
}

// ---- fixbuf ----------------------------------------------------------------------

TEST(pbfixbuf, writersstopatthecapacity) {
    fixbuf1k b;
    b.used = 1023;
    put_varint32(b, 5);
    EXPECT_EQ(b.data[1023], 5);
    put_varint32(b, 6);
    put_varint64(b, 7);
    put_fixed32(b, 1);
    put_fixed64(b, 1);
    put_lenbytes(b, "x", 1);
    EXPECT_EQ(b.used, 1024u);

    // A multi-byte varint keeps the bytes that fit.
    b.used = 1022;
    put_varint32(b, 300);
    EXPECT_EQ(hexof(b.data + 1022, 2), "AC 02 ");
    // Fixed values are all or nothing; lenbytes writes its length, then
    // copies only when every byte fits.
    struct {
        uint32_t at;
        void (*put)(fixbuf1k&);
        uint32_t used;
    } cases[] = {
        {1021, [](fixbuf1k& f) { put_fixed32(f, 0x11223344); }, 1021},
        {1020, [](fixbuf1k& f) { put_fixed32(f, 0x11223344); }, 1024},
        {1017, [](fixbuf1k& f) { put_fixed64(f, 1); }, 1017},
        {1016, [](fixbuf1k& f) { put_fixed64(f, 0x0102030405060708ull); }, 1024},
        {1018, [](fixbuf1k& f) { put_lenbytes(f, "abcdef", 6); }, 1019},
        {1017, [](fixbuf1k& f) { put_lenbytes(f, "abcdef", 6); }, 1024},
    };
    for (const auto& c : cases) {
        b.used = c.at;
        c.put(b);
        EXPECT_EQ(b.used, c.used) << c.at;
        if (c.at == 1020) {
            EXPECT_EQ(hexof(b.data + 1020, 4), "44 33 22 11 ");
        }
    }
    EXPECT_EQ(hexof(b.data + 1016, 8), "08 06 61 62 63 64 65 66 ");

    fixbuf2k w;
    std::string big(2040, 'q');
    put_lenbytes(w, big.data(), 2040);
    EXPECT_EQ(w.used, 2042u);
    put_varint64(w, ~0ull);  // 10 bytes, 6 fit
    EXPECT_EQ(w.used, 2048u);
}

// ---- the decode loop -------------------------------------------------------------

TEST(pbdecode, emptyinputgivesdefaults) {
    probe m;
    m.a = 9;
    m.errcode = 3;
    EXPECT_TRUE(m.parse(nullptr, 0));
    EXPECT_EQ(m.a, 0u);
    EXPECT_EQ(m.errcode, 0u);
    EXPECT_EQ(m.clears, 1);
}

// Inputs that must fail with "decode failed".
TEST(pbdecode, malformedinputfails) {
    const bytes ten = {0x12, 0x0A, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
    for (const bytes& b : std::vector<bytes>{
             {0x0B, 0, 0, 0, 0, 0, 0, 0, 0},  // group and undefined wire types
             {0x0C, 0, 0, 0, 0, 0, 0, 0, 0},
             {0x0E, 0, 0, 0, 0, 0, 0, 0, 0},
             {0x0F, 0, 0, 0, 0, 0, 0, 0, 0},
             ten,                                         // length beyond the bytes left
             {0x12, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},  // length varint of 6 bytes
             {0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a'},   // huge declared length
             {0x88, 0x80, 0x80, 0x80, 0x80, 0x00, 0x01},  // key of 6 bytes
             {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x01},  // 11
             {0x08},                       // varint missing
             {0x08, 0x80},                 // varint runs off
             {0x88},                       // key runs off
             {0x21, 1, 2, 3, 4, 5, 6, 7},  // 7 of 8
             {0x2D, 1, 2, 3},              // 3 of 4
             {0x12},                       // length missing
             {0x12, 0x85},                 // length runs off
         }) {
        probe m;
        EXPECT_FALSE(parsebytes(m, b)) << hexof(b);
        EXPECT_EQ(m.errcode, 2u) << hexof(b);
        EXPECT_STREQ(m.errmsg(), "decode failed");
    }
    // What came before the bad field stays.
    probe m;
    EXPECT_FALSE(parsebytes(m, {0x08, 0x05, 0x0B}));
    EXPECT_EQ(m.a, 5u);
}

TEST(pbdecode, wellformededges) {
    probe m;
    EXPECT_TRUE(parsebytes(m, {0x12, 0x0A, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}));
    EXPECT_EQ(m.text.view(), "abcdefghij");
    // Key of five bytes (field 1, wire type 0, padded).
    EXPECT_TRUE(parsebytes(m, {0x88, 0x80, 0x80, 0x80, 0x00, 0x07}));
    EXPECT_EQ(m.a, 7u);
    EXPECT_TRUE(parsebytes(m, {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_EQ(m.b, ~0ull);
    // A 32-bit field takes the low 32 bits of a 64-bit value.
    EXPECT_TRUE(parsebytes(m, {0x08, 0x81, 0x80, 0x80, 0x80, 0x10}));
    EXPECT_EQ(m.a, 1u);
    EXPECT_TRUE(parsebytes(m, {0x21, 1, 2, 3, 4, 5, 6, 7, 8, 0x2D, 1, 2, 3, 4}));
    EXPECT_EQ(m.dbits, 0x0807060504030201ull);
    EXPECT_EQ(m.f5, 0x04030201u);
    // A later field overwrites an earlier one.
    EXPECT_TRUE(parsebytes(m, {0x08, 0x01, 0x08, 0x02}));
    EXPECT_EQ(m.a, 2u);
}

TEST(pbdecode, unknownfieldsareskipped) {
    // field 1 = 5, then unknown 9 of each wire type, then field 3 = 6.
    bytes b = {0x08, 0x05, 0x48, 0x96, 0x01,              // 9, varint
               0x49, 1,    2,    3,    4,    5, 6, 7, 8,  // 9, fixed64
               0x4A, 0x03, 'x',  'y',  'z',               // 9, bytes
               0x4D, 1,    2,    3,    4,                 // 9, fixed32
               0x18, 0x06};
    probe m;
    EXPECT_TRUE(parsebytes(m, b));
    EXPECT_EQ(m.a, 5u);
    EXPECT_EQ(m.b, 6u);
    EXPECT_EQ(m.calls, 6);
    // A known field with another wire type goes to that handler and is ignored.
    EXPECT_TRUE(parsebytes(m, {0x0A, 0x01, 'q', 0x10, 0x07}));
    EXPECT_EQ(m.a, 0u);
    EXPECT_EQ(m.text.size(), 0u);
}

TEST(pbdecode, handlerfailurestopswithoutareason) {
    probe m;
    m.failfield = 3;
    EXPECT_FALSE(parsebytes(m, {0x08, 0x01, 0x18, 0x02, 0x08, 0x03}));
    EXPECT_EQ(m.a, 1u);
    EXPECT_EQ(m.errcode, 0u);
}

TEST(pbdecode, textfieldsarecheckedandemptyisallowed) {
    probe m;
    EXPECT_FALSE(parsebytes(m, {0x12, 0x02, 0xC3, 0x28}));
    EXPECT_EQ(m.errcode, 3u);
    EXPECT_STREQ(m.errmsg(), "string is not utf8 encode");
    EXPECT_TRUE(parsebytes(m, {0x12, 0x03, 'a', 'b', 'c', 0x12, 0x00}));
    EXPECT_EQ(m.text.size(), 0u);
}

TEST(pbencode, textpresenceandutf8) {
    probe m;
    zo::string out;
    m.a = 0xFFFFFFFFu;
    m.text.assign("\0zz", 3);  // leading zero byte: not written
    EXPECT_TRUE(m.serialize(out));
    EXPECT_EQ(hexof(out), "08 FF FF FF FF 0F ");
    EXPECT_EQ(m.size(), out.size());

    out.clear();
    m.text.assign("\xC3\x28", 2);
    m.b = 1;
    EXPECT_FALSE(m.serialize(out));
    EXPECT_EQ(m.errcode, 3u);
    EXPECT_EQ(hexof(out), "08 FF FF FF FF 0F ");  // what came before the text
}

TEST(pberrors, texts) {
    base_protobuf b;
    const char* want[] = {
        "",        "encode failed", "decode failed", "string is not utf8 encode", "memory error",
        "unknown", "unknown"};
    for (uint32_t c = 0; c < 7; ++c) {
        b.errcode = c < 6 ? c : 12345;
        EXPECT_STREQ(b.errmsg(), want[c]);
    }
}

}  // namespace
}  // namespace zo
