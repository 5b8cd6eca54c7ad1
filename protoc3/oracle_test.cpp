// Google's protobuf as an independent oracle, through the code generated from
// the public description of the messages (docs/protocol.proto): what Google's
// code encodes we must decode, and what we then encode its code must read
// back to the same message.  Where our wire form deliberately differs from
// what Google's code would write (the 0.0 double always present, our own
// field order) the difference is asserted.  docs/wire.md shows one whole
// package in hex, which must be what our encoder makes.
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "protoc3/testutil_test.h"
#include "protocol.pb.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
namespace pub = quorvane::protocol3;

class oracletest : public ::testing::Test {
  protected:
    std::mt19937_64 rng{20261205};

    // 0, small, small negative, a time in ms, or any 64 bits.
    uint64_t pick64() {
        const uint64_t r = rng();
        const uint64_t picks[] = {0, r % 200, 0 - r % 1000, 1700000000000ull + r % 100000000ull, r};
        return picks[rng() % 5];
    }
    // Valid UTF-8 of 0 to 40 bytes mixing ASCII, 2-, 3- and 4-byte forms.
    std::string utf8text() {
        static const char* parts[] = {
            "a", "Z", ".", "_", "9", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "Tag", "Unit"};
        std::string s;
        for (size_t n = rng() % 12; n > 0; --n) s += parts[rng() % 10];
        return s;
    }
    std::string anybytes() {
        std::string s(rng() % 12, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    }
    double anydouble() {
        double d = rng() % 3 ? -0.0 : 0.0;
        if (rng() % 3 == 1) d = static_cast<double>(static_cast<int64_t>(rng())) / 7.0;
        uint64_t bits = rng() & ~(0x7FFull << 52);  // finite, any sign
        if (rng() % 3 == 2) std::memcpy(&d, &bits, 8);
        return d;
    }
    // Random values in every field, as our classes carry them: a tag value
    // holds only the value field of its vtype (a double even at 0.0), run
    // information field 170 is never 0 (absent on the wire, 1 after decode),
    // and repeated texts are not empty (ours leaves empty ones out).
    void fill(Message& g) {
        const auto* r = g.GetReflection();
        for (int i = 0; i < g.GetDescriptor()->field_count(); ++i) {
            const FieldDescriptor* f = g.GetDescriptor()->field(i);
            if (f->is_repeated()) {
                for (int n = static_cast<int>(rng() % 8); n > 0; --n) {
                    if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
                        fill(*r->AddMessage(&g, f));
                    } else {
                        r->AddString(&g, f, "x" + utf8text());
                    }
                }
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_UINT32) {
                r->SetUInt32(&g, f, static_cast<uint32_t>(pick64()));
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_UINT64) {
                r->SetUInt64(&g, f, pick64());
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_INT64) {
                r->SetInt64(&g, f, static_cast<int64_t>(pick64()));
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_STRING) {
                r->SetString(&g, f,
                             f->type() == FieldDescriptor::TYPE_BYTES ? anybytes() : utf8text());
            }
        }
        if (auto* t = dynamic_cast<pub::TagValue*>(&g)) {
            t->set_vtype(1 + static_cast<uint32_t>(rng() % 8));  // 8: no value field
            const uint32_t v = t->vtype();
            if (v != 1 && v != 2 && v != 4) t->clear_vint();
            if (v == 3 || v == 5) t->set_vdouble(anydouble());
            if (v != 6 && v != 7) t->clear_vbytes();
        }
        if (auto* i = dynamic_cast<pub::RunInfo*>(&g)) i->set_f170(i->f170() | 1);
    }
    // Google's bytes decode in ours, which encodes size() bytes that Google's
    // code reads back to the same message of the same size.
    template <class M, class G>
    void roundtrip() {
        G g;
        fill(g);
        const std::string b = g.SerializeAsString();
        M m;
        ASSERT_TRUE(m.parse(b.data(), static_cast<uint32_t>(b.size()))) << m.errmsg();
        zo::string out;
        ASSERT_TRUE(m.serialize(out)) << m.errmsg();
        ASSERT_EQ(m.size(), out.size());
        G back;
        ASSERT_TRUE(back.ParseFromArray(out.data(), static_cast<int>(out.size())));
        EXPECT_TRUE(MessageDifferencer::Equals(back, g)) << "sent:\n"
                                                         << g.DebugString() << "came back:\n"
                                                         << back.DebugString();
        EXPECT_EQ(back.ByteSizeLong(), out.size());
        if constexpr (requires { m.items; }) {
            for (const auto& e : m.items) EXPECT_GE(e.maxsize(), e.size());  // serialize's room
        }
    }
};

TEST_F(oracletest, everyRecordAndBodyTravelsBothWays) {
    for (int round = 0; round < 300; ++round) {
        roundtrip<tagvalarray, pub::TagValueArray>();
        roundtrip<soearray, pub::SoeArray>();
        roundtrip<runinfoarray, pub::RunInfoArray>();
        roundtrip<loginbody, pub::Login>();
        roundtrip<unkownbody, pub::Unkown>();
        roundtrip<pb3head, pub::Head>();
    }
}

// ---- where we differ on purpose ---------------------------------------------------

// A 32-bit value with its top bit set goes out in 5 bytes; Google's 10-byte
// form of the same bits (as an int64 or int32 writes it) arrives as its low
// 32 bits.
TEST_F(oracletest, negative32bitvalues) {
    pub::TagValue g;
    g.set_vint(-1);
    const std::string asquality = "\x18" + g.SerializeAsString().substr(1);
    tagval t;
    ASSERT_TRUE(t.parse(asquality.data(), static_cast<uint32_t>(asquality.size())));
    EXPECT_EQ(t.quality, 0xFFFFFFFFu);
    zo::string out;
    ASSERT_TRUE(t.serialize(out));
    EXPECT_EQ(pbtest::hexof(out), "18 FF FF FF FF 0F ");
    ASSERT_TRUE(g.ParseFromArray(out.data(), static_cast<int>(out.size())));
    EXPECT_EQ(g.quality(), 0xFFFFFFFFu);
}

// The bytes of the first ```hex block after the heading "## One package in
// hex" of docs/wire.md, each line up to a '#' comment.
std::string dochex() {
    std::ifstream in(std::string(ZO_SRCDIR) + "/docs/wire.md");
    const std::string doc{std::istreambuf_iterator<char>(in), {}};
    const size_t at = doc.find("```hex\n", doc.find("## One package in hex"));
    if (at == std::string::npos) return "";
    std::istringstream lines(doc.substr(at + 7, doc.find("\n```", at) - at - 7));
    std::string hex;
    for (std::string line; std::getline(lines, line);) hex += line.substr(0, line.find('#')) + " ";
    const pbtest::bytes b = pbtest::unhex(hex.c_str());
    return std::string(b.begin(), b.end());
}

// The package of docs/wire.md: three tag values of one scan (2026-07-29
// 04:40:00 UTC).  Google's code reads whatever our encoder makes (above).
TEST(protocoldoc, theHexInTheDocsIsWhatOurEncoderMakes) {
    tagvalarray body;
    const std::pair<const char*, uint32_t> tags[] = {
        {"plant.temp", 5}, {"plant.count", 4}, {"plant.state", 6}};
    for (const auto& [name, vtype] : tags) {
        tagval* t = body.items.emplace();
        t->time = 1785300000000;
        t->name = zo::string(name);
        t->quality = vtype == 6 ? 0 : 192;
        t->vtype = vtype;
    }
    body.items[0].vdouble = 21.5;
    body.items[1].vint = -2;
    body.items[2].vbytes = zo::string("open");
    pb3head h;
    h.ver = 300;
    h.funid = 3202;
    h.seqno = 7;
    zo::string ours;
    ASSERT_TRUE(pkgpb3::makepkg(h, body, ours));
    EXPECT_EQ(dochex(), std::string(ours.data(), ours.size())) << "docs/wire.md should show:\n"
                                                               << pbtest::hexof(ours);
}

}  // namespace
