// gaprx's datagram reader: messages written by Google's protobuf
// (dblink/gapmsg_oracle_test.proto) and framed with liblz4 and zlib read back
// field for field; every check refuses what it is there for, in its order;
// a good datagram cut at any offset or with any bit flipped is refused.
#include "tools/gaprx/gapreader.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <zlib.h>

#include <functional>
#include <memory>
#include <random>
#include <string>

#include "dblink/gapauth_test.h"
#include "gapmsg_oracle_test.pb.h"

namespace {

using gaporacle::Msg;

constexpr uint32_t keyconst = 0x9E3779B1u;  // docs/gapudp.md

void put32(std::string& d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<char>(v >> (24 - 8 * i));
}
uint32_t crc(const std::string& d, size_t at, size_t n) {
    return static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(d.data()) + at, n));
}
// The header's CRCs made right again after a test changed a field.
void fixcrcs(std::string& d) {
    put32(d, 16, crc(d, 24, d.size() - 24));
    put32(d, 20, crc(d, 0, 20));
}
std::string frame(const std::string& raw, uint32_t seq) {
    std::string d(24 + LZ4_COMPRESSBOUND(raw.size()), '\0');
    int n = LZ4_compress_default(raw.data(), d.data() + 24, static_cast<int>(raw.size()),
                                 static_cast<int>(d.size() - 24));
    d.resize(24 + static_cast<size_t>(n));
    d.replace(0, 4, "\xA9\x02\x01\x01");
    put32(d, 4, seq);
    put32(d, 8, static_cast<uint32_t>(n));
    put32(d, 12, static_cast<uint32_t>(raw.size()));
    fixcrcs(d);
    return d;
}

// A message of funid with the credentials "op" / "pw" at authcount n.
Msg message(uint32_t funid, uint32_t authcount = 7, const std::string& user = "op",
            const std::string& pswd = "pw") {
    Msg m;
    m.mutable_head()->set_mark(53682);
    m.mutable_head()->set_funid(funid);
    uint32_t key = authcount * keyconst;
    m.mutable_auth()->set_key(key);
    m.mutable_auth()->set_user(xored(userblock(user), key));
    m.mutable_auth()->set_hash(xored(hashblock(pswd), key));
    return m;
}
std::string datagram(const Msg& m, uint32_t seq = 3) {
    return frame(m.SerializeAsString(), seq);
}
Msg onevalue() {
    Msg m = message(33);
    gaporacle::Val* v = m.add_vals();
    v->set_name("t1");
    v->set_type(1);
    v->set_i32(-5);
    return m;
}

class readertest : public ::testing::Test {
  protected:
    gapreader reader{"op", "pw"};
    std::unique_ptr<gapmsg> msg{new gapmsg};
    gapverdict read(const std::string& d) {
        return reader.read(reinterpret_cast<const uint8_t*>(d.data()), d.size(), msg.get());
    }
};

// Values and objects are read back field for field end to end by
// tests/gap_e2e_test.cpp; SOE records only here.
TEST_F(readertest, ReadsEverySoeFieldGoogleWrites) {
    std::mt19937_64 rng(1212);
    auto any = [&](std::initializer_list<int64_t> l) { return *(l.begin() + rng() % l.size()); };
    Msg s = message(35, 3);
    for (int i = 0; i < 32; ++i) {
        gaporacle::Soe* r = s.add_soes();
        r->set_f230(static_cast<int64_t>(rng()));
        r->set_f231(static_cast<uint32_t>(rng()));
        r->set_f232(static_cast<int32_t>(any({INT32_MIN, -1, 5})));
        r->set_f233(static_cast<int32_t>(any({-32768, -1, 32767})));
        r->set_f235(-i);
        r->set_f236(std::string(79, 'x'));
        r->set_f237(std::string(i, 'y'));
        r->set_f238(std::string(i == 31 ? 239 : i * 7 % 240, 'z'));
        r->set_f239(static_cast<int32_t>(any({-128, -1, 127})));
        r->set_f240(-i);
    }
    Msg o = message(34);
    o.add_objs()->set_type(7);
    ASSERT_EQ(GAP_ACCEPT, read(datagram(o)));  // objects alone are a message too
    ASSERT_EQ(GAP_ACCEPT, read(datagram(s, 9)));
    EXPECT_EQ(std::make_tuple(9u, 3u, 35u, 32u),
              std::make_tuple(msg->dgramseq, msg->authcount, msg->funid, msg->nsoes));
    for (int i = 0; i < 32; ++i) {
        const gaporacle::Soe& w = s.soes(i);
        const oxa_soerec& r = msg->soes[i];
        EXPECT_EQ(
            std::make_tuple(w.f230(), w.f231(), w.f232(), w.f233(), w.f239(), w.f240()),
            std::make_tuple(static_cast<int64_t>(r.f230), r.f231, static_cast<int32_t>(r.f232),
                            static_cast<int32_t>(static_cast<int16_t>(r.f233)),
                            static_cast<int32_t>(static_cast<int8_t>(r.f239)),
                            static_cast<int32_t>(static_cast<int8_t>(r.f240))));
        EXPECT_EQ(
            std::make_tuple(w.f236(), w.f237(), w.f238()),
            std::make_tuple(std::string(r.f236), std::string(r.f237), std::string(r.f238, r.f234)));
    }
}

// One row per check, in the order they run: each breaks only what its check
// is for, so an earlier check that looked too far would take it instead.
TEST_F(readertest, EachCheckRefusesWhatItIsFor) {
    using change = std::function<void(std::string&)>;
    auto remessage = [](std::function<void(Msg&)> f) -> change {
        return [f](std::string& d) {
            Msg m = onevalue();
            f(m);
            d = datagram(m);
        };
    };
    struct row {
        const char* what;
        change c;
        gapverdict want;
    };
    auto vals = [](Msg& m, int funid) {
        m.mutable_head()->set_funid(funid);
        m.clear_vals();
    };
    // clang-format off
    const row rows[] = {
        {"23 bytes", [](std::string& d) { d.resize(23); }, GAP_SHORT},
        {"a header alone", [](std::string& d) { d.resize(24); put32(d, 8, 0); fixcrcs(d); }, GAP_BODYLEN},
        {"magic", [](std::string& d) { d[1] = 3; fixcrcs(d); }, GAP_MAGIC},
        {"a header byte", [](std::string& d) { d[5] ^= 1; }, GAP_HEADCRC},
        {"body length", [](std::string& d) { put32(d, 8, d.size() - 23); fixcrcs(d); }, GAP_BODYLEN},
        {"one byte more", [](std::string& d) { d += 'x'; put32(d, 20, crc(d, 0, 20)); }, GAP_BODYLEN},
        {"a body byte", [](std::string& d) { d[30] ^= 0x40; }, GAP_BODYCRC},
        {"raw length", [](std::string& d) { put32(d, 12, 1); fixcrcs(d); }, GAP_RAWLEN},
        {"raw length over 64 KiB", [](std::string& d) { put32(d, 12, 65537); fixcrcs(d); }, GAP_RAWLEN},
        {"not LZ4", [](std::string& d) {
             d.replace(24, std::string::npos, "\xF0\xFF\xFF\xFF"); put32(d, 8, 4); fixcrcs(d); }, GAP_LZ4},
        {"expands past 64 KiB", [](std::string& d) {
             d = frame(std::string(70000, 'a'), 1); put32(d, 12, 65536); fixcrcs(d); }, GAP_LZ4},
        {"wire type 3", [](std::string& d) { d = frame(std::string("\x0B", 1), 1); }, GAP_DECODE},
        {"no head", remessage([](Msg& m) { m.clear_head(); }), GAP_DECODE},
        {"wrong mark", remessage([](Msg& m) { m.mutable_head()->set_mark(53683); }), GAP_DECODE},
        {"funid 36", remessage([](Msg& m) { m.mutable_head()->set_funid(36); }), GAP_DECODE},
        {"values in an SOE message", remessage([](Msg& m) { m.mutable_head()->set_funid(35); }), GAP_DECODE},
        {"257 values", remessage([](Msg& m) { for (int i = 0; i < 256; ++i) *m.add_vals() = m.vals(0); }), GAP_DECODE},
        {"value type 6", remessage([](Msg& m) { m.mutable_vals(0)->set_type(6); }), GAP_DECODE},
        {"80-byte name", remessage([](Msg& m) { m.mutable_vals(0)->set_name(std::string(80, 'n')); }), GAP_DECODE},
        {"object type 5", remessage([&](Msg& m) { vals(m, 34); m.add_objs()->set_type(5); }), GAP_DECODE},
        {"1001 object bytes", remessage([&](Msg& m) {
             vals(m, 34); auto* o = m.add_objs(); o->set_type(7); o->set_data(std::string(1001, 'd')); }), GAP_DECODE},
        {"240 SOE bytes", remessage([&](Msg& m) { vals(m, 35); m.add_soes()->set_f238(std::string(240, 's')); }), GAP_DECODE},
        {"no auth", remessage([](Msg& m) { m.clear_auth(); }), GAP_AUTH},
        {"47-byte block", remessage([](Msg& m) { m.mutable_auth()->mutable_user()->resize(47); }), GAP_AUTH},
        {"another user", remessage([](Msg& m) { *m.mutable_auth() = message(33, 7, "oq").auth(); }), GAP_AUTH},
        {"another password", remessage([](Msg& m) { *m.mutable_auth() = message(33, 7, "op", "pW").auth(); }), GAP_AUTH},
        {"another key", remessage([](Msg& m) { m.mutable_auth()->set_key(8 * keyconst); }), GAP_AUTH},
    };
    // clang-format on
    // Fields we do not know, of every wire type, are skipped wherever they
    // stand: top level, head, auth, records.
    const std::string unknown(
        "\x68\x01\x71\x01\x02\x03\x04\x05\x06\x07\x08\x7D\x01\x02\x03\x04\x62\x01x", 19);
    Msg u = onevalue();
    u.mutable_head()->ParseFromString(u.head().SerializeAsString() + unknown);
    u.mutable_auth()->ParseFromString(u.auth().SerializeAsString() + unknown);
    u.mutable_vals(0)->ParseFromString(u.vals(0).SerializeAsString() + unknown);
    ASSERT_EQ(GAP_ACCEPT, read(frame(u.SerializeAsString() + unknown, 1)));
    EXPECT_EQ(-5, msg->vals[0].v.i32);
    Msg us = message(35);
    us.add_soes()->ParseFromString(std::string("\x08\x07", 2) + unknown);
    us.add_soes()->ParseFromString(unknown);
    ASSERT_EQ(GAP_ACCEPT, read(datagram(us)));
    ASSERT_EQ(2u, msg->nsoes);
    EXPECT_EQ(7u, msg->soes[0].f231);

    ASSERT_EQ(GAP_ACCEPT, read(datagram(onevalue())));
    EXPECT_EQ(7u, msg->authcount);
    EXPECT_EQ(-5, msg->vals[0].v.i32);
    for (const row& r : rows) {
        std::string d = datagram(onevalue());
        r.c(d);
        EXPECT_EQ(r.want, read(d)) << r.what << ": " << verdictname(read(d));
    }
}

TEST_F(readertest, ACutOrAFlippedBitIsNeverTaken) {
    Msg m = onevalue();
    for (int i = 0; i < 40; ++i) *m.add_vals() = m.vals(0);
    std::string good = datagram(m);
    ASSERT_EQ(GAP_ACCEPT, read(good));
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(GAP_ACCEPT, read(good.substr(0, n))) << "cut at " << n;
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::string d = good;
        d[bit / 8] = static_cast<char>(d[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_NE(GAP_ACCEPT, read(d)) << "bit " << bit;
    }
}

}  // namespace
